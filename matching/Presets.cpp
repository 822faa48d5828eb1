// Named copies of a settings record, one JSON file each in the presets folder.
#include "plugin/Prelude.h"

#include <fstream>
#include <system_error>

#include "matching/JsonRead.h"
#include "net/JsonText.h"
#include "plugin/CRW.h"
#include "plugin/Files.h"
#include "plugin/Globals.h"
#include "plugin/TextBounds.h"

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

constexpr std::size_t kPresetMaxBytes = 1024 * 1024;
// Row texts the plug-in writes are short fixed names and MMR numbers; a hand
// edit cannot make the editor draw more than this.
constexpr std::size_t kRowTextBytes = 64;
// The menu draws one entry per file every frame it is open.
constexpr std::size_t kMaxListedPresets = 256;

// A preset has no more rows than the editor's fixed lists; the rows beyond
// them are cut, so files the plug-in wrote load unchanged.
std::size_t maxPlaylistRows() { return crw::fixedPlaylists().size(); }

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
    const std::filesystem::path path = folder / crw::utf8Path(name + ".json");
    const std::string text = buildPresetJson(settings);

    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        crw::LOG("Preset not saved to {} : {}", crw::pathText(path), ec.message());
        return;
    }

    // A preset that is a link is written through only to a regular file that
    // exists; a link to nothing stays as it is, so nothing is created
    // wherever it points.
    if (crw::isLink(path)) {
        std::string why;
        if (!crw::writeSmallFile(path, text, why)) {
            crw::LOG("Preset not saved to {} : {}", crw::pathText(path), why);
            return;
        }
        crw::LOG("Saved preset : {}", crw::pathText(path));
        return;
    }

    // Written aside and renamed over the old file, so a failed write leaves
    // the previous preset of that name intact.
    const std::filesystem::path temp = folder / crw::utf8Path("." + name + ".json.tmp");
    std::string why;
    const bool written = crw::writeSmallFile(temp, text, why);
    if (written) {
        std::filesystem::rename(temp, path, ec);
    }
    if (!written || ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored); // a link goes, never its target
        crw::LOG("Preset not saved to {} : {}", crw::pathText(path), written ? ec.message() : why);
        return;
    }
    crw::LOG("Saved preset : {}", crw::pathText(path));
}

std::vector<crw::PlaylistSetting> CRW::parsePresetPlaylists(const Json::Value& array)
{
    std::vector<crw::PlaylistSetting> rows;
    if (!array.isArray()) {
        return rows;
    }
    const std::size_t limit = maxPlaylistRows();
    for (Json::ArrayIndex i = 0; i < array.size() && rows.size() < limit; ++i) {
        const Json::Value& element = array[i];
        if (!element.isObject()) {
            continue;
        }
        crw::PlaylistSetting row;
        row.name = crw::utf8Prefix(textOf(member(element, "name")), kRowTextBytes);
        row.id = intOr(member(element, "id"), 0);
        row.mmr = crw::utf8Prefix(textOf(member(element, "mmr")), kRowTextBytes);
        int32_t range = 0;
        row.range = crw::matching::parseInt32Prefix(textOf(member(element, "range")), range) ? range : 0;
        row.enabled = enabledOf(element);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<crw::NamedFlag> CRW::parsePresetFlags(const Json::Value& array, std::size_t maxRows)
{
    std::vector<crw::NamedFlag> rows;
    if (!array.isArray()) {
        return rows;
    }
    for (Json::ArrayIndex i = 0; i < array.size() && rows.size() < maxRows; ++i) {
        const Json::Value& element = array[i];
        if (!element.isObject()) {
            continue;
        }
        rows.push_back(
            crw::NamedFlag{crw::utf8Prefix(textOf(member(element, "name")), kRowTextBytes), enabledOf(element)});
    }
    return rows;
}

bool CRW::presetFromText(const std::string& text, crw::SearcherSettings& loaded, std::string& why)
{
    Json::Value root;
    if (!crw::matching::parseStrict(text, root) || !root.isObject()) {
        why = text.empty() ? "the file is empty" : "the file is not a JSON object";
        return false;
    }
    loaded = crw::SearcherSettings();
    loaded.setTitle(textOf(member(root, "title")));
    loaded.playlists = parsePresetPlaylists(member(root, "playlists"));
    loaded.regions = parsePresetFlags(member(root, "regions"), crw::fixedRegions().size());
    loaded.languages = parsePresetFlags(member(root, "languages"), crw::fixedLanguages().size());
    // The editor indexes its voice-chat images by this value.
    const int32_t voiceChat = intOr(member(root, "voiceChat_currentImage"), 0);
    loaded.voiceChat = voiceChat >= 0 && voiceChat <= 2 ? voiceChat : 0;
    return true;
}

bool CRW::loadPreset(std::filesystem::path path, crw::SearcherSettings& settings)
{
    // Read and parsed without the state lock: the file may be slow or huge.
    std::string text;
    std::string why;
    crw::SearcherSettings loaded;
    if (crw::readSmallFile(path, kPresetMaxBytes, text, why) != crw::ReadResult::Ok ||
        !presetFromText(text, loaded, why)) {
        // The settings being edited stay as they are.
        const std::string label = crw::pathText(path.filename().stem());
        crw::LOG("Preset not loaded from {} : {}", crw::pathText(path), why);
        showToast("CRW", "The preset \"" + label + "\" could not be loaded : " + why, 4.0f, "default");
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    settings = loaded;
    return true;
}

std::vector<crw::PresetEntry> CRW::listPresets() const
{
    std::vector<crw::PresetEntry> entries;
    std::error_code ec;
    std::filesystem::directory_iterator it(presetsFolder(), ec);
    for (; !ec && it != std::filesystem::directory_iterator() && entries.size() < kMaxListedPresets; it.increment(ec)) {
        const std::filesystem::path& path = it->path();
        // Only what loading would accept: a regular file (or a link to one)
        // named *.json; a lone ".json" is a preset saved with an empty name.
        const std::string name = crw::pathText(path.filename());
        const bool json = name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0;
        std::error_code typeError;
        if (!json || !std::filesystem::is_regular_file(it->status(typeError)) || typeError) {
            continue;
        }
        // stem() keeps a lone ".json" whole, as a dot-file has no extension.
        entries.push_back(crw::PresetEntry{crw::pathText(path.filename().stem()), path});
    }
    return entries;
}
