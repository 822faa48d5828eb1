#include "TestHost.h"

#include <random>

#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"

namespace crwtest {

std::filesystem::path makeTempDir(const std::string& prefix)
{
    std::random_device rd;
    std::mt19937_64 gen(rd());
    for (;;) {
        auto dir = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(gen()));
        if (std::filesystem::create_directories(dir)) {
            return dir;
        }
    }
}

TestHost::TestHost()
{
    cvars_["cl_notifications_enabled_beta"] = 1;
    cvarManager = std::make_shared<CVarManagerWrapper>(this);
    gameWrapper = std::make_shared<GameWrapper>(this);
    transport_ = std::make_unique<crwhost::HttpService>();
    gameThread_ = std::thread([this] { gameLoop(); });
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return gameThreadId_ != std::thread::id(); });
}

TestHost::~TestHost()
{
    transport_.reset(); // waits for transfers still in flight
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    gameThread_.join();
}

void TestHost::notify()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++recordSeq_;
    }
    recordCv_.notify_all();
}

void TestHost::gameLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    gameThreadId_ = std::this_thread::get_id();
    cv_.notify_all();
    for (;;) {
        cv_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
        if (jobs_.empty() && quit_) {
            return;
        }
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        job();
        lock.lock();
        busy_ = false;
        ++recordSeq_;
        cv_.notify_all();
        recordCv_.notify_all();
    }
}

bool TestHost::onGameThread() const { return std::this_thread::get_id() == gameThreadId_; }

void TestHost::drainGame()
{
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void TestHost::settle()
{
    for (int i = 0; i < 4; ++i) {
        transport_->drain();
        drainGame();
    }
}

bool TestHost::waitForLog(const std::string& text, std::chrono::milliseconds timeout)
{
    return waitFor(
        [&] {
            for (const auto& l : logs()) {
                if (l.find(text) != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

bool TestHost::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    // pred runs without the host's lock, so it may call the accessors; the
    // record counter makes sure no record made meanwhile is missed.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen = recordSeq_;
        }
        if (pred()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (!recordCv_.wait_until(lock, deadline, [&] { return recordSeq_ != seen; })) {
            lock.unlock();
            return pred();
        }
    }
}

std::vector<std::string> TestHost::logs()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
}
std::vector<ToastRecord> TestHost::toasts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return toasts_;
}
std::vector<std::string> TestHost::commands()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}
std::vector<std::pair<std::string, std::string>> TestHost::binds()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return binds_;
}
std::vector<std::string> TestHost::fnameTexts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fnames_;
}
std::vector<std::string> TestHost::gameThreadFnameTexts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return gameFnames_;
}
std::vector<TestHost::HttpRecord> TestHost::httpRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return http_;
}
void TestHost::clearRecords()
{
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.clear();
    commands_.clear();
    fnames_.clear();
    gameFnames_.clear();
    toasts_.clear();
    binds_.clear();
    http_.clear();
}

void TestHost::fireEvent(const std::string& eventName)
{
    execute([this, eventName] {
        std::vector<std::function<void(std::string)>> callbacks;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto range = hooks_.equal_range(eventName);
            for (auto it = range.first; it != range.second; ++it) {
                callbacks.push_back(it->second);
            }
        }
        for (auto& cb : callbacks) {
            cb(eventName);
        }
    });
}

void TestHost::runCommand(const std::string& command) { executeCommand(command, true); }

void TestHost::setCvar(const std::string& name, int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cvars_[name] = value;
}

int TestHost::cvar(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cvars_[name];
}

void TestHost::forgetPluginCallbacks()
{
    std::lock_guard<std::mutex> lock(mutex_);
    notifiers_.clear();
    hooks_.clear();
}

void TestHost::log(const std::string& text)
{
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        logs_.push_back(text);
        hook = logHook_;
    }
    notify();
    if (hook) {
        hook(text);
    }
}

void TestHost::setLogHook(std::function<void(const std::string&)> hook)
{
    std::lock_guard<std::mutex> lock(mutex_);
    logHook_ = std::move(hook);
}

void TestHost::registerNotifier(const std::string& name, crwhost::NotifierCallback callback, const std::string&,
                                unsigned char)
{
    std::lock_guard<std::mutex> lock(mutex_);
    notifiers_[name] = std::move(callback);
}

void TestHost::executeCommand(const std::string& command, bool)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(command);
    }
    notify();
    // Commands run on the game thread, like the real console.
    execute([this, command] {
        crwhost::NotifierCallback cb;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = notifiers_.find(command);
            if (it != notifiers_.end()) {
                cb = it->second;
            }
        }
        if (cb) {
            cb({command});
        }
    });
}

void TestHost::setBind(const std::string& key, const std::string& command)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        binds_.emplace_back(key, command);
    }
    notify();
}

bool TestHost::hasCvar(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cvars_.count(name) != 0;
}

int TestHost::getCvarInt(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cvars_[name];
}

void TestHost::setCvarInt(const std::string& name, int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cvars_[name] = value;
}

void TestHost::execute(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_all();
}

void TestHost::hookEvent(const std::string& eventName, std::function<void(std::string)> callback)
{
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_.emplace(eventName, std::move(callback));
}

void TestHost::toast(const std::string& title, const std::string& text, const std::string& texture, float timeout,
                     unsigned char, float, float)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        toasts_.push_back(ToastRecord{title, text, texture, timeout, cvars_["cl_notifications_enabled_beta"],
                                      std::this_thread::get_id() == gameThreadId_});
    }
    notify();
}

std::filesystem::path TestHost::dataFolder() { return dataDir; }
std::string TestHost::uniqueIdString() { return id; }
std::string TestHost::playerName() { return name; }

float TestHost::playerMMR(const std::string&, int playlistId)
{
    auto it = mmr.find(playlistId);
    return it == mmr.end() ? 0.f : it->second;
}

int TestHost::fnameIndexByString(const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fnames_.push_back(text);
        if (std::this_thread::get_id() == gameThreadId_) {
            gameFnames_.push_back(text);
        }
    }
    notify();
    return 0;
}

void TestHost::sendHttp(CurlRequest request, crwhost::HttpCallback callback, bool json)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        http_.push_back(HttpRecord{request, json});
    }
    notify();
    // A finished completion counts as news for waitFor, as a finished game job
    // does: its last change of state may come after its last log line.
    auto done = [this, callback = std::move(callback)](int code, std::string body) {
        callback(code, std::move(body));
        notify();
    };
    if (httpOverride) {
        httpOverride(request, json, std::move(done));
        return;
    }
    transport_->send(std::move(request), std::move(done), json);
}

unsigned long long TestHost::imageCreate(const std::filesystem::path& path, bool, bool)
{
    std::lock_guard<std::mutex> lock(mutex_);
    images_[nextImage_] = path;
    return nextImage_++;
}

void* TestHost::imageTexture(unsigned long long handle)
{
    // No GPU here: a loaded image is a non-null token that is never sampled.
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = images_.find(handle);
    if (it == images_.end() || !std::filesystem::exists(it->second)) {
        return nullptr;
    }
    return reinterpret_cast<void*>(static_cast<uintptr_t>(handle));
}

void TestHost::imageRelease(unsigned long long handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    images_.erase(handle);
}

PluginFixture::PluginFixture(std::filesystem::path dataDir, bool load)
{
    if (dataDir.empty()) {
        dataDir_ = makeTempDir("crw-test");
        ownsDir_ = true;
        std::filesystem::create_directories(dataDir_ / "CRW" / "presets");
    } else {
        dataDir_ = std::move(dataDir);
    }
    host_ = std::make_unique<TestHost>();
    host_->dataDir = dataDir_;
    crwhost::SetHostBackend(host_.get());
    plugin_ = std::make_shared<CRW>();
    plugin_->cvarManager = host_->cvarManager;
    plugin_->gameWrapper = host_->gameWrapper;
    if (load) {
        host_->execute([this] { plugin_->onLoad(); });
        host_->drainGame();
    }
}

void PluginFixture::unload()
{
    if (!plugin_) {
        return;
    }
    host_->settle();
    host_->forgetPluginCallbacks();
    host_->drainGame();
    plugin_.reset();
    host_->drainGame();
}

PluginFixture::~PluginFixture()
{
    unload();
    crw::setGlobalHandles(nullptr, nullptr);
    crwhost::SetHostBackend(nullptr);
    host_.reset();
    if (ownsDir_) {
        std::error_code ec;
        std::filesystem::remove_all(dataDir_, ec);
    }
}

} // namespace crwtest
