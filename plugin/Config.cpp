#include "plugin/Prelude.h"

#include <fstream>
#include <sstream>

#include <json/json.h>

#include "bakkesmod/wrappers/ImageWrapper.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"

namespace {

// A member that is missing, or not a string or boolean, reads as empty text.
std::string memberText(const Json::Value& root, const char* key)
{
    if (!root.isObject() || !root.isMember(key)) {
        return "";
    }
    const Json::Value& v = root[key];
    if (v.isString()) {
        return v.asString();
    }
    if (v.isBool()) {
        return v.asBool() ? "true" : "false";
    }
    return "";
}

} // namespace

void CRW::loadConfig()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    dataFolder = gameWrapper->GetDataFolder() / "CRW";
    texts = englishTexts;
    registerSettings = crw::SearcherSettings::fromFixedLists(playlists, regions, languages);
    filterSettings = crw::SearcherSettings::fromFixedLists(playlists, regions, languages);

    const std::string fileName = dataFolder.string() + "/config.json";
    std::ifstream in(fileName, std::ios::binary);
    if (!in.good()) {
        saveConfig();
        HasSeeNewUpdateAlert = false;
        loadImages();
        return;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();

    Json::Value root;
    Json::Reader reader;
    reader.parse(text, root, true);

    const std::string version = memberText(root, "PluginVersion");
    const std::string seen = memberText(root, "HasSeeNewUpdateAlert");
    const std::string language = memberText(root, "Language");
    HasSeeNewUpdateAlert = version == pluginVersion && seen == "true";
    if (language == "French") {
        texts = frenchTexts;
    }
    loadImages();
}

void CRW::saveConfig()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    const std::filesystem::path path = dataFolder / "config.json";
    const std::string text = "{\"PluginVersion\":\"" + pluginVersion + "\", \"HasSeeNewUpdateAlert\":\"" +
                             (HasSeeNewUpdateAlert ? "true" : "false") + "\", \"Language\":\"" + texts.languageName +
                             "\"}";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        out << text;
        out.close();
    }
    if (out.good()) {
        crw::LOG("Saved config !");
    } else {
        crw::LOG("Could not save the config to {}", path.string());
    }
}

void CRW::setLanguage(bool french)
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    texts = french ? frenchTexts : englishTexts;
    saveConfig();
}

void CRW::loadImages()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    const std::filesystem::path images = dataFolder / "images";
    auto load = [](const std::filesystem::path& path) { return std::make_shared<ImageWrapper>(path, false, true); };

    static const char* const kPlaylistFiles[] = {"2v2_ranked", "3v3_ranked", "2v2_casual", "3v3_casual", "tournament",
                                                 "rumble",     "dropshot",   "hoops",      "snowday",    "other"};
    refreshImage = load(images / "refresh.png");
    playlistImages.assign(std::size(kPlaylistFiles), crw::PlaylistImages{});
    for (std::size_t i = 0; i < std::size(kPlaylistFiles); ++i) {
        playlistImages[i].image = load(images / "Playlists" / (std::string(kPlaylistFiles[i]) + ".png"));
    }
    for (std::size_t i = 0; i < std::size(kPlaylistFiles); ++i) {
        playlistImages[i].greyedImage = load(images / "Playlists" / (std::string(kPlaylistFiles[i]) + "_greyed.png"));
    }
    voiceChatOnImage = load(images / "VoiceChat" / "voice_chat_on.png");
    voiceChatOffImage = load(images / "VoiceChat" / "voice_chat_off.png");
    voiceChatAnyImage = load(images / "VoiceChat" / "voice_chat_any.png");
    voiceChatImages.clear();
    voiceChatImages.push_back(voiceChatAnyImage);
    voiceChatImages.push_back(voiceChatOnImage);
    voiceChatImages.push_back(voiceChatOffImage);
}
