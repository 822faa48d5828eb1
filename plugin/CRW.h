#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bakkesmod/plugin/PluginSettingsWindow.h"
#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/plugin/pluginwindow.h"
#include "matching/MatchingState.h"
#include "net/NetState.h"
#include "net/WebsocketEndpoint.h"
#include "plugin/Records.h"
#include "plugin/Texts.h"
#include "plugin/Timer.h"
#include "ui/UiState.h"

namespace Json {
class Value;
}
namespace crw::matching {
class JsonStream;
}
struct ImVec2;
struct ImVec4;

namespace crw {

// Countdown lengths in milliseconds. Tests shorten them through setIntervals
// before a plug-in object is constructed.
struct Intervals {
    int32_t stillThere = 600000;
    int32_t stillThereTimeout = 60000;
    int32_t clearSearchers = 60000;
    int32_t refresh = 1500;
    int32_t invite = 10000;
};
void setIntervals(const Intervals& intervals);
Intervals currentIntervals();

// The server's IPv4 address and port: the build's address on port 3000,
// unless CRW_SERVER_ADDRESS ("host:port") points elsewhere.
struct ServerAddress {
    std::string host;
    int port = 3000;
};
ServerAddress serverAddressFromEnvironment();

// One entry of the "Load Preset" menu.
struct PresetEntry {
    std::string label;
    std::filesystem::path path;
};

// The three members of config.json as text; empty when missing or when the
// text is not one whole JSON document.
struct ConfigValues {
    std::string version;
    std::string seen;
    std::string language;
};
ConfigValues parseConfig(const std::string& text);

} // namespace crw

class CRW : public BakkesMod::Plugin::BakkesModPlugin,
            public BakkesMod::Plugin::PluginSettingsWindow,
            public BakkesMod::Plugin::PluginWindow {
public:
    CRW();
    explicit CRW(const crw::Intervals& intervals);
    ~CRW() override;

    // Host interfaces (plugin/)
    void onLoad() override;
    void RenderSettings() override; // ui/
    std::string GetPluginName() override;
    void SetImGuiContext(std::uintptr_t ctx) override;
    void Render() override; // ui/
    std::string GetMenuName() override;
    std::string GetMenuTitle() override;
    bool ShouldBlockInput() override;
    bool IsActiveOverlay() override;
    void OnOpen() override;
    void OnClose() override;

    // Plug-in shell (plugin/)
    void showToast(std::string title, std::string text, float seconds, std::string texture);
    void loadConfig();
    void saveConfig();
    void loadImages();
    void setLanguage(bool french); // copies the table and saves the configuration

    // Requests (net/)
    void CheckAPI();
    void OnCheckAPIResult(int code, std::string result);
    void GetSearchers();
    void Register();
    void UpdateRegistration();
    void RequestInvite(crw::Searcher& searcher);
    void OnInviteResult(int code, std::string result);
    std::string BuildRegistrationBody(crw::SearcherSettings& settings);
    std::string reportedText(const std::string& response) const;
    static std::string errorText(int code, const std::string& tail);

    // Searcher list and visibility (matching/)
    void OnSearchersResult(std::map<std::string, float> userMMRByPlaylist, int code, std::string result,
                           uint64_t requestSeq);
    // Parses a "/list" answer and keeps the visible searchers, with the log
    // lines of each; touches no state.
    static std::vector<crw::Searcher> collectVisibleSearchers(const std::string& result,
                                                              const std::map<std::string, float>& userMMRByPlaylist);
    // Read from a stream at the value; rows past the cap or repeating a name are counted in dropped, and
    // problem names the first range that is not a 32-bit integer.
    static std::vector<crw::PlaylistSetting> ParsePlaylists(crw::matching::JsonStream& json, std::string& problem,
                                                            std::size_t& dropped);
    static std::vector<std::string> ParseNameList(crw::matching::JsonStream& json);
    void ClearSearchers();
    crw::PlaylistImages imagesForPlaylist(const std::string& name) const;
    // True when the player's MMR lies in one of the searcher's playlist ranges.
    // reason is set when the searcher cannot be evaluated at all.
    static bool isSearcherVisible(const crw::Searcher& searcher, const std::map<std::string, float>& userMMR,
                                  std::string* reason = nullptr);
    // Room for every playlist the game has had, and for those newer clients will register.
    static constexpr std::size_t kMaxPlaylistRows = 32;
    // One "/list" entry or registration body, cut to the bounds; problem says why it cannot be used.
    static crw::Searcher readSearcher(crw::matching::JsonStream& json, std::string& problem, std::size_t& droppedRows);

    // Filters and keyword (matching/)
    void ApplyFilters();
    static bool keywordMatches(const std::string& lowerTitle, const std::string& lowerKeyword);
    static std::string asciiLower(std::string text);

    // Registration lifecycle (matching/)
    // False (and logged) while a registration is in flight or active; else marks one in flight.
    bool beginRegistration();
    void OnRegisterResult(int code, std::string result, std::string body);
    // The "crw_ws_closedconnection_bad" notifier.
    void OnConnectionClosedBadly();
    void OnUpdateResult(int code, std::string result, std::string body);
    void Stop();
    void AskStillThere();
    void ForceStop();
    crw::Searcher searcherFromBody(const std::string& body);

    // Presets (matching/)
    std::string buildPresetJson(const crw::SearcherSettings& settings);
    void savePreset(std::string name, const crw::SearcherSettings& settings);
    // False, with a log line and a toast, when the file cannot be read or is
    // not a preset; settings are then left unchanged.
    bool loadPreset(std::filesystem::path path, crw::SearcherSettings& settings);
    static bool presetFromText(const std::string& text, crw::SearcherSettings& loaded, std::string& why);
    static std::vector<crw::PlaylistSetting> parsePresetPlaylists(const Json::Value& array);
    // At most maxRows rows: the editor draws no more than its fixed lists.
    static std::vector<crw::NamedFlag> parsePresetFlags(const Json::Value& array, std::size_t maxRows = 64);
    std::vector<crw::PresetEntry> listPresets() const;
    std::filesystem::path presetsFolder() const;

    // Interface (ui/)
    void renderCRW();
    void renderSearcherList();
    void renderMessagePopup(crw::MessagePopup& popup);
    void renderStillThereCheck();
    void renderPopupQueue();
    void renderCheckModal();
    bool colorButton(const char* label, const ImVec2& size, float fontSize, const ImVec4& color,
                     const ImVec4& hoveredColor);
    bool rotatingImageButton(const char* id, void* texture, const ImVec2& size, float inset, const ImVec4& tint,
                             const ImVec4& background, const ImVec4& hoveredBackground, float angle);
    static void centerNextItem(float itemWidth, float availableWidth = -1.f);
    void renderSearcherListHeader();
    void renderSearcher(crw::Searcher& searcher, bool isOwnEntry);
    void renderConfirmPopup(const char* id, const std::string& message, std::function<void()> onYes,
                            std::function<void()> onNo);
    void renderRegisterPopup();
    void renderEditRegistrationPopup();
    void renderSearcherSettings(const char* id, crw::SearcherSettings& settings, bool showRanges, bool showTitle);
    void renderFilterPopup();
    void renderPresetsPopup(crw::SearcherSettings& settings);
    void setKeyBind();
    void renderUpdateNotice();
    void renderHowToUse();
    void linkWidget(const std::string& url);
    static void underlineLastItem(const ImVec4& color);

    // ---------------------------------------------------------------------
    // State.
    //
    // Thread-safety rule: every member from `pluginVersion` down to
    // `howToUseRequested` (and the extra members after it) is read or written
    // only while holding `stateMutex`. Render and RenderSettings hold it for
    // the whole frame, so nothing else may hold it for long: completions and
    // jobs do their real work (parsing, testing, logging, copying) without it
    // and take it only to check that their result is still wanted and swap it
    // in. It is recursive, so an operation may call another that locks it
    // again. It is never held while waiting on the network or on another
    // thread (a WebSocket close is handed to the I/O thread, not awaited);
    // the host calls made under it (log, Execute, HTTP send, toasts, close)
    // only queue work. Timer actions run with it
    // held (the timers are built with it as their guard), so a timer stopped
    // under it never acts afterwards. The fixed lists, the text tables and
    // the intervals do not change after construction.
    // ---------------------------------------------------------------------
    mutable std::recursive_mutex stateMutex;

    // Completions that wait on another thread without stateMutex count
    // themselves here; the destructor wakes them and waits until none is left.
    // Guarded by its own mutex, never taken while waiting for stateMutex.
    struct Lifetime {
        std::mutex mutex;
        std::condition_variable idle;
        int busy = 0;
        bool closing = false;
    } lifetime;

    std::string pluginVersion = "1.0";
    bool HasSeeNewUpdateAlert = true;
    std::string serverAddress; // the address text without scheme or port; the "couldn't reach" test looks for it
    std::string serverUrl;
    std::string websocketUrl;
    websocket_endpoint endpoint;
    std::filesystem::path dataFolder;
    crw::TextTable texts;
    crw::TextTable englishTexts;
    crw::TextTable frenchTexts;
    std::shared_ptr<ImageWrapper> refreshImage;
    std::vector<crw::PlaylistImages> playlistImages;
    std::shared_ptr<ImageWrapper> voiceChatOnImage;
    std::shared_ptr<ImageWrapper> voiceChatOffImage;
    std::shared_ptr<ImageWrapper> voiceChatAnyImage;
    std::vector<std::shared_ptr<ImageWrapper>> voiceChatImages;
    crw::Intervals intervals;
    crw::Timer stillThereTimer;
    crw::Timer stillThereTimeoutTimer;
    crw::Timer clearSearchersTimer;
    bool canRefresh = true;
    crw::Timer refreshTimer;
    bool canRequestInvite = true;
    crw::Timer inviteTimer;
    crw::ConfirmPopup stillThereCheck;
    crw::MessagePopup stopTimeoutPopup{"Stop Timeout", "", false};
    crw::MessagePopup creatingPopup{"Creating", "", false};
    crw::MessagePopup stoppingPopup{"Stopping", "", false};
    crw::MessagePopup updatePopup{"Update", "", false};
    crw::MessagePopup requestInvitePopup{"Request Invite", "", false};
    crw::MessagePopup getSearchersPopup{"Get Searchers", "", false};
    crw::MessagePopup wsClientBadMessagePopup{"WsClientBadMessage", "", false};
    bool isRegistered = false;
    crw::Searcher mySearcher;
    std::vector<crw::PlaylistSetting> playlists;
    std::vector<crw::NamedFlag> regions;
    std::vector<crw::NamedFlag> languages;
    crw::SearcherSettings registerSettings;
    crw::SearcherSettings editSettings;
    crw::SearcherSettings editBaseline;
    crw::SearcherSettings filterSettings;
    std::vector<crw::Searcher> allSearchers;
    std::vector<crw::Searcher> searchers;
    bool isLoadingSearchers = false;
    float refreshAngle = 0.f;
    crw::MessagePopup checkAPIPopup{"Check API", "", false};
    bool isWindowOpen = false;
    std::string windowTitle;
    bool howToUseRequested = false;

    // Extra state, same rule.
    uint64_t listRequestSeq = 0;          // the latest "/list" request; older completions are dropped
    std::vector<std::string> lowerTitles; // lower-cased titles of `searchers`, rebuilt when the list changes
    uint64_t searchersVersion = 0;        // bumped on every change of `searchers`
    uint64_t lowerTitlesVersion = ~0ull;
    bool rotatingHovered = false; // hover state of the refresh widget in the previous frame
    crw::NetState netState;
    crw::MatchingState matchingState;
    crw::UiState uiState;
};
