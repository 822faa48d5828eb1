// Named copies of a settings record, one JSON file each in the presets folder.
#include "plugin/Prelude.h"

#include <fstream>
#include <sstream>
#include <system_error>


#include "matching/JsonRead.h"
#include "net/JsonText.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"

using crw::matching::member;
using crw::matching::textOf;

namespace {

// Why a preset name cannot be a file name of the presets folder, or empty.
std::string nameProblem(const std::string& name)
{
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '/' || c == '\\' || c == ':') {
            return "it holds a path separator";
        }
        if (c < 0x20 || c == 0x7f) {
            return "it holds a control character";
        }
    }
    if (name.find("..") != std::string::npos) {
        return "it holds \"..\"";
    }
    return "";
}

int32_t intOr(const Json::Value& v, int32_t fallback) { return v.isInt() ? v.asInt() : fallback; }

bool enabledOf(const Json::Value& row) { return textOf(member(row, "enabled")) == "true"; }

} // namespace

std::filesystem::path CRW::presetsFolder() const
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    return dataFolder / "presets";
}

std::string CRW::buildPresetJson(const crw::SearcherSettings& settings)
{
    std::string text = "{\"title\":\"" + crw::jsonEscape(settings.titleText()) + "\",\"playlists\":[";
    for (std::size_t i = 0; i < settings.playlists.size(); ++i) {
        const auto& row = settings.playlists[i];
        if (i > 0) {
            text += ",";
        }
        text += "{\"name\":\"" + crw::jsonEscape(row.name) + "\",\"id\":" + std::to_string(row.id) + ",\"mmr\":\"" +
                crw::jsonEscape(row.mmr) + "\",\"range\":" + std::to_string(row.range) +
                ",\"enabled\":" + (row.enabled ? "true" : "false") + "}";
    }
    auto appendFlags = [&text](const std::vector<crw::NamedFlag>& rows) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (i > 0) {
                text += ",";
            }
            text += "{\"name\":\"" + crw::jsonEscape(rows[i].name) +
                    "\",\"enabled\":" + (rows[i].enabled ? "true" : "false") + "}";
        }
    };
    text += "],\"regions\":[";
    appendFlags(settings.regions);
    text += "],\"languages\":[";
    appendFlags(settings.languages);
    text += "],\"voiceChat_currentImage\":" + std::to_string(settings.voiceChat) + "}";
    return text;
}

void CRW::savePreset(std::string name, const crw::SearcherSettings& settings)
{
    const std::string problem = nameProblem(name);
    if (!problem.empty()) {
        crw::LOG("Preset not saved, \"{}\" is not a usable name : {}", name, problem);
        return;
    }
    const std::filesystem::path folder = presetsFolder();
    const std::filesystem::path path = folder / (name + ".json");
    const std::string text = buildPresetJson(settings);

    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        crw::LOG("Preset not saved to {} : {}", path.string(), ec.message());
        return;
    }

    // Written aside and renamed over the old file, so a failed write leaves
    // the previous preset of that name intact.
    const std::filesystem::path temp = folder / ("." + name + ".json.tmp");
    bool written = false;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) {
            out << text;
            out.close();
            written = out.good();
        }
    }
    if (written) {
        std::filesystem::rename(temp, path, ec);
    }
    if (!written || ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        crw::LOG("Preset not saved to {} : {}", path.string(),
                 written ? ec.message() : "the file could not be written");
        return;
    }
    crw::LOG("Saved preset : {}", path.string());
}

std::vector<crw::PlaylistSetting> CRW::parsePresetPlaylists(const Json::Value& array)
{
    std::vector<crw::PlaylistSetting> rows;
    if (!array.isArray()) {
        return rows;
    }
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        const Json::Value& element = array[i];
        if (!element.isObject()) {
            continue;
        }
        crw::PlaylistSetting row;
        row.name = textOf(member(element, "name"));
        row.id = intOr(member(element, "id"), 0);
        row.mmr = textOf(member(element, "mmr"));
        int32_t range = 0;
        row.range = crw::matching::parseInt32Prefix(textOf(member(element, "range")), range) ? range : 0;
        row.enabled = enabledOf(element);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<crw::NamedFlag> CRW::parsePresetFlags(const Json::Value& array)
{
    std::vector<crw::NamedFlag> rows;
    if (!array.isArray()) {
        return rows;
    }
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        const Json::Value& element = array[i];
        if (!element.isObject()) {
            continue;
        }
        rows.push_back(crw::NamedFlag{textOf(member(element, "name")), enabledOf(element)});
    }
    return rows;
}

void CRW::loadPreset(std::filesystem::path path, crw::SearcherSettings& settings)
{
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::stringstream buffer;
            buffer << in.rdbuf();
            text = buffer.str();
        }
    }
    const Json::Value root = crw::matching::parseLenient(text);

    crw::SearcherSettings loaded;
    loaded.setTitle(textOf(member(root, "title")));
    loaded.playlists = parsePresetPlaylists(member(root, "playlists"));
    loaded.regions = parsePresetFlags(member(root, "regions"));
    loaded.languages = parsePresetFlags(member(root, "languages"));
    // The editor indexes its voice-chat images by this value.
    const int32_t voiceChat = intOr(member(root, "voiceChat_currentImage"), 0);
    loaded.voiceChat = voiceChat >= 0 && voiceChat <= 2 ? voiceChat : 0;

    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    settings = loaded;
}

std::vector<crw::PresetEntry> CRW::listPresets() const
{
    std::vector<crw::PresetEntry> entries;
    std::error_code ec;
    std::filesystem::directory_iterator it(presetsFolder(), ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::filesystem::path& path = it->path();
        // stem() keeps a lone ".json" whole, as a dot-file has no extension.
        entries.push_back(crw::PresetEntry{path.filename().stem().string(), path});
    }
    return entries;
}
