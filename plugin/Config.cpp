#include "plugin/Prelude.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <json/json.h>

#include "bakkesmod/wrappers/ImageWrapper.h"
#include "matching/JsonRead.h"
#include "plugin/CRW.h"
#include "plugin/Files.h"
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

constexpr std::size_t kConfigMaxBytes = 64 * 1024;

} // namespace

namespace crw {

ConfigValues parseConfig(const std::string& text)
{
    ConfigValues values;
    Json::Value root;
    if (!matching::parseStrict(text, root)) {
        // Anything short of a whole JSON document reads as an empty file.
        return values;
    }
    values.version = memberText(root, "PluginVersion");
    values.seen = memberText(root, "HasSeeNewUpdateAlert");
    values.language = memberText(root, "Language");
    return values;
}

} // namespace crw

void CRW::loadConfig()
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    dataFolder = gameWrapper->GetDataFolder() / "CRW";
    texts = englishTexts;
    registerSettings = crw::SearcherSettings::fromFixedLists(playlists, regions, languages);
    filterSettings = crw::SearcherSettings::fromFixedLists(playlists, regions, languages);

    const std::filesystem::path path = dataFolder / "config.json";
    std::string text;
    std::string why;
    const crw::ReadResult read = crw::readSmallFile(path, kConfigMaxBytes, text, why);
    if (read == crw::ReadResult::Missing) {
        saveConfig();
        HasSeeNewUpdateAlert = false;
        loadImages();
        return;
    }
    if (read != crw::ReadResult::Ok) {
        // Left as it is: it may hold the player's choices we cannot see now.
        crw::LOG("Config not read from {} : {}", crw::pathText(path), why);
        HasSeeNewUpdateAlert = false;
        loadImages();
        return;
    }

    const crw::ConfigValues values = crw::parseConfig(text);
    HasSeeNewUpdateAlert = values.version == pluginVersion && values.seen == "true";
    if (values.language == "French") {
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
    // Never through a link to nothing (its target could be anywhere) nor into
    // a FIFO or device.
    std::string why;
    if (crw::writeSmallFile(path, text, why)) {
        crw::LOG("Saved config !");
    } else {
        crw::LOG("Could not save the config to {} : {}", crw::pathText(path), why);
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
