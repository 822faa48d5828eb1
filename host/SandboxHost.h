#pragma once
// The sandbox's host services: console, game thread, binds, cvars, hooks,
// toasts, HTTP over libcurl, images, and the player's profile.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HttpService.h"
#include "Images.h"
#include "Options.h"
#include "crwhost/HostBackend.h"

class CVarManagerWrapper;
class GameWrapper;

namespace sandbox {

inline constexpr const char* kPartyJoinEvent = "Function ProjectX.Parties_X.HandleUserJoined";
inline constexpr const char* kToastCvar = "cl_notifications_enabled_beta";
// Toasts shown at once, and how much of their texts.
inline constexpr std::size_t kMaxToasts = 4;
inline constexpr std::size_t kToastTitleBytes = 64;
inline constexpr std::size_t kToastTextBytes = 256;

struct Toast {
    std::string title, text;
    std::chrono::steady_clock::time_point until;
};

struct ConsoleLine {
    uint64_t seq;
    std::string text;
};

class SandboxHost : public crwhost::HostBackend {
public:
    SandboxHost(Profile profile, std::filesystem::path dataFolder, bool withGL, bool echo);
    ~SandboxHost() override;

    std::shared_ptr<CVarManagerWrapper> cvarManager;
    std::shared_ptr<GameWrapper> gameWrapper;
    Images& images() { return images_; }

    // Game thread. Queues a job and returns its number; waitGame blocks until it has run.
    uint64_t post(std::function<void()> job);
    bool gameDone(uint64_t seq);
    void waitGame(uint64_t seq);
    void stopGameThread();

    // Console. A command typed by the user or a script: echoed, then run on the game thread.
    uint64_t runCommand(const std::string& command);
    uint64_t fireEvent(const std::string& eventName);
    void forgetPluginCallbacks();

    // Lines numbered first and later (numbers count every line ever logged).
    std::vector<ConsoleLine> consoleSince(uint64_t first);
    uint64_t consoleEnd();
    // Blocks until a line numbered >= seq exists, or the deadline passes, or wake() is called.
    void waitConsole(uint64_t seq, std::chrono::steady_clock::time_point deadline);
    void wake();
    void clearConsole();
    uint64_t consoleGeneration(); // bumped by every clear

    // Menus toggled by "togglemenu NAME". The render thread reads them each frame.
    bool menuOpen(const std::string& name);
    void setMenuOpen(const std::string& name, bool open);
    void setPluginMenuName(const std::string& name);

    // Binds: the command of a key name, if any.
    std::optional<std::string> bindFor(const std::string& key);
    std::vector<std::pair<std::string, std::string>> allBinds();

    // Toasts still to be shown at now.
    std::vector<Toast> liveToasts();
    int cvar(const std::string& name);

    // The user asked to quit ("quit" command).
    bool quitRequested() const { return quit_.load(); }
    void requestQuit();

    // With strict set, a plug-in call that breaks a host rule also ends the run.
    void setStrict(bool strict) { strict_.store(strict); }
    bool ruleBroken() const { return ruleBroken_.load(); }

    void drainHttp();
    // Closed while unloading: the plug-in's Execute jobs and HTTP requests are dropped from then on.
    void setPluginGate(bool open) { pluginGate_.store(open); }

    // HostBackend
    void log(const std::string& text) override;
    void registerNotifier(const std::string& name, crwhost::NotifierCallback callback, const std::string& description,
                          unsigned char permissions) override;
    void executeCommand(const std::string& command, bool log) override;
    void setBind(const std::string& key, const std::string& command) override;
    bool hasCvar(const std::string& name) override;
    int getCvarInt(const std::string& name) override;
    void setCvarInt(const std::string& name, int value) override;
    void execute(std::function<void()> job) override;
    void hookEvent(const std::string& eventName, std::function<void(std::string)> callback) override;
    void toast(const std::string& title, const std::string& text, const std::string& texture, float timeout,
               unsigned char toastType, float width, float height) override;
    std::filesystem::path dataFolder() override;
    std::string uniqueIdString() override;
    std::string playerName() override;
    float playerMMR(const std::string& uniqueId, int playlistId) override;
    int fnameIndexByString(const std::string& text) override;
    void sendHttp(CurlRequest request, crwhost::HttpCallback callback, bool json) override;
    unsigned long long imageCreate(const std::filesystem::path& path, bool canvasLoad, bool imguiLoad) override;
    void* imageTexture(unsigned long long handle) override;
    void imageRelease(unsigned long long handle) override;
    void gameThreadCall(const char* call) override;

private:
    void gameLoop();
    void dispatch(const std::string& command); // game thread
    bool toggleMenuCommand(const std::string& command);
    bool pushToast(const std::string& title, const std::string& text, float seconds); // false when toasts are off

    const Profile profile_;
    const std::filesystem::path dataFolder_;
    const bool echo_;
    Images images_;

    // Game queue.
    std::mutex gameMutex_;
    std::condition_variable gameCv_;
    std::deque<std::pair<uint64_t, std::function<void()>>> jobs_;
    uint64_t posted_ = 0;
    uint64_t done_ = 0;
    bool stopping_ = false;
    std::thread gameThread_;
    std::thread::id gameThreadId_; // set in the constructor, read-only afterwards

    // Console and host state.
    std::mutex mutex_;
    std::condition_variable consoleCv_;
    std::deque<ConsoleLine> lines_;
    uint64_t nextLine_ = 0;
    uint64_t wakeCount_ = 0;
    uint64_t consoleGeneration_ = 0;
    std::map<std::string, crwhost::NotifierCallback> notifiers_;
    std::multimap<std::string, std::function<void(std::string)>> hooks_;
    std::map<std::string, int> cvars_;
    std::map<std::string, std::string> binds_;
    std::map<std::string, bool> menus_;
    std::string pluginMenu_ = "CRW";
    std::vector<Toast> toasts_;
    std::map<std::string, int> fnames_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> pluginGate_{true};
    std::atomic<bool> strict_{false};
    std::atomic<bool> ruleBroken_{false};

    std::unique_ptr<crwhost::HttpService> http_;
};

// Splits a command line on blanks; double quotes group words.
std::vector<std::string> splitCommand(const std::string& command);

} // namespace sandbox
