#pragma once
// Plain records shared by the whole plug-in.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ImageWrapper;

namespace crw {

struct PlaylistSetting {
    std::string name = "Ranked-2v2";
    int32_t id = 11;
    std::string mmr = "-1";
    int32_t range = 0;
    bool enabled = false;
};

struct NamedFlag {
    std::string name;
    bool enabled = false;
};

// One registered player as the server lists them.
struct Searcher {
    std::string title;
    std::string creatorName;
    std::string creatorIdString;
    std::vector<PlaylistSetting> playlists;
    std::vector<std::string> regions;
    std::vector<std::string> languages;
    std::string voiceChat;
};

// Playlists are left out on purpose: the own entry is recognised in the
// server's list even when the MMR texts differ.
bool operator==(const Searcher& a, const Searcher& b);
inline bool operator!=(const Searcher& a, const Searcher& b) { return !(a == b); }

constexpr std::size_t kTitleSize = 128;

// The editable form of a registration or of a filter.
struct SearcherSettings {
    char title[kTitleSize] = {};
    std::vector<PlaylistSetting> playlists;
    std::vector<NamedFlag> regions;
    std::vector<NamedFlag> languages;
    int32_t voiceChat = 0;

    // Built from the fixed lists, none selected.
    static SearcherSettings fromFixedLists(const std::vector<PlaylistSetting>& playlists,
                                           const std::vector<NamedFlag>& regions,
                                           const std::vector<NamedFlag>& languages);

    std::string titleText() const; // up to the first zero byte
    void setTitle(const std::string& text); // cut to 127 bytes without splitting a UTF-8 character

    std::vector<PlaylistSetting> selectedPlaylists() const;
    std::vector<NamedFlag> selectedRegions() const;
    std::vector<NamedFlag> selectedLanguages() const;
};

void resetSettings(SearcherSettings& settings);
// mmr texts are not compared: they are refreshed from the host on every send.
bool settingsEqual(const SearcherSettings& a, const SearcherSettings& b);

// 0 either, 1 on, 2 off; anything else has no text.
std::string voiceChatText(int32_t value);

struct MessagePopup {
    std::string title;
    std::string message;
    bool open = false;
};

struct ConfirmPopup {
    std::string title;
    std::string message;
    std::function<void()> onYes;
    std::function<void()> onNo;
    bool open = false;
};

struct PlaylistImages {
    std::shared_ptr<ImageWrapper> image;
    std::shared_ptr<ImageWrapper> greyedImage;
};

} // namespace crw
