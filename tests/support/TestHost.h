#pragma once
// A host for tests: records what the plug-in asks of it, runs game-thread
// jobs in order on a thread of its own, and sends HTTP for real (libcurl, or
// WinHTTP on Windows).
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpService.h"
#include "crwhost/HostBackend.h"

class CRW;
class CVarManagerWrapper;
class GameWrapper;

namespace crwtest {

struct ToastRecord {
    std::string title, text, texture;
    float timeout;
    int cvarWhenShown; // value of the toast switch at the moment the toast was shown
    bool onGameThread;
};

class TestHost : public crwhost::HostBackend {
public:
    TestHost();
    ~TestHost() override;

    // Player profile.
    std::string name = "TestPlayer";
    std::string id = "Epic|00000000000000000000000000000001|0";
    std::map<int, float> mmr; // playlist id -> MMR
    std::filesystem::path dataDir;

    // Blocks until the game-thread queue is empty and idle.
    void drainGame();
    // Waits for HTTP completions and game jobs to settle (a few rounds, since one may queue the other).
    void settle();
    // Waits (bounded) until a log line containing text appears; true when found.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout);
    // Waits (bounded) until pred() holds, re-checked whenever the host records something
    // or finishes a game job. Conditions on plug-in state must lock its stateMutex.
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

    std::vector<std::string> logs();
    std::vector<ToastRecord> toasts();
    std::vector<std::string> commands();
    std::vector<std::pair<std::string, std::string>> binds();
    std::vector<std::string> fnameTexts();
    std::vector<std::string> gameThreadFnameTexts(); // those made on the game thread
    void clearRecords();
    bool onGameThread() const;

    // Fires a hooked event on the game thread.
    void fireEvent(const std::string& eventName);
    // Runs a console command on the game thread (notifiers), as the host console would.
    void runCommand(const std::string& command);
    void setCvar(const std::string& name, int value);
    int cvar(const std::string& name);
    void forgetPluginCallbacks(); // at unload: notifiers and hooks of the plug-in go away

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

    // Requests as the plug-in handed them over (before the transport).
    struct HttpRecord {
        CurlRequest request;
        bool json;
    };
    std::vector<HttpRecord> httpRequests();
    // When set, requests are answered by this instead of going over the network.
    std::function<void(const CurlRequest&, bool json, crwhost::HttpCallback)> httpOverride;
    // Called with each later log line on the logging thread, after it is recorded.
    void setLogHook(std::function<void(const std::string&)> hook);

    std::shared_ptr<CVarManagerWrapper> cvarManager;
    std::shared_ptr<GameWrapper> gameWrapper;

private:
    std::function<void(const std::string&)> logHook_; // guarded by mutex_
    void gameLoop();
    void notify();

    mutable std::mutex mutex_;
    std::condition_variable cv_;       // game queue and idle state
    std::condition_variable recordCv_; // any new record
    std::deque<std::function<void()>> jobs_;
    bool busy_ = false;
    uint64_t recordSeq_ = 0; // bumped on every record and finished job
    bool quit_ = false;
    std::thread::id gameThreadId_;
    std::vector<std::string> logs_, commands_, fnames_, gameFnames_;
    std::vector<ToastRecord> toasts_;
    std::vector<std::pair<std::string, std::string>> binds_;
    std::map<std::string, int> cvars_;
    std::map<std::string, crwhost::NotifierCallback> notifiers_;
    std::multimap<std::string, std::function<void(std::string)>> hooks_;
    std::vector<HttpRecord> http_;
    std::map<unsigned long long, std::filesystem::path> images_;
    unsigned long long nextImage_ = 1;
    std::thread gameThread_;
    std::unique_ptr<crwhost::HttpService> transport_;
};

// A loaded plug-in object on a test host: host installed, object built,
// handles filled, onLoad run. Tears down in the safe order.
class PluginFixture {
public:
    explicit PluginFixture(std::filesystem::path dataDir = {}, bool load = true);
    ~PluginFixture();
    TestHost& host() { return *host_; }
    CRW& plugin() { return *plugin_; }
    std::shared_ptr<CRW> pluginPtr() { return plugin_; }
    const std::filesystem::path& dataDir() const { return dataDir_; }
    void unload(); // destroys the plug-in object now

private:
    std::filesystem::path dataDir_;
    bool ownsDir_ = false;
    std::unique_ptr<TestHost> host_;
    std::shared_ptr<CRW> plugin_;
};

// A fresh empty folder under the system temp folder.
std::filesystem::path makeTempDir(const std::string& prefix);

} // namespace crwtest
