#include "SandboxHost.h"

#include <cstdio>

#include "bakkesmod/wrappers/GameWrapper.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

namespace sandbox {

namespace {
constexpr size_t kMaxConsoleLines = 20000;
constexpr const char* kInvitePrefix = "invite ";
} // namespace

std::vector<std::string> splitCommand(const std::string& command)
{
    std::vector<std::string> out;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (char c : command) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) {
                out.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        out.push_back(word);
    }
    return out;
}

SandboxHost::SandboxHost(Profile profile, std::filesystem::path dataFolder, bool withGL, bool echo)
    : profile_(std::move(profile)), dataFolder_(std::move(dataFolder)), echo_(echo), images_(withGL)
{
    cvars_[kToastCvar] = 1;
    cvarManager = std::make_shared<CVarManagerWrapper>(this);
    gameWrapper = std::make_shared<GameWrapper>(this);
    http_ = std::make_unique<crwhost::HttpService>();
    gameThread_ = std::thread([this] { gameLoop(); });
    gameThreadId_ = gameThread_.get_id();
}

SandboxHost::~SandboxHost()
{
    http_.reset(); // waits for transfers in flight; their completions may still post game jobs
    stopGameThread();
}

// ---- game thread -------------------------------------------------------------------------------------------------

void SandboxHost::gameLoop()
{
    std::unique_lock<std::mutex> lock(gameMutex_);
    for (;;) {
        gameCv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return; // stopping and nothing left
        }
        auto [seq, job] = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        if (job) {
            job();
        }
        job = nullptr; // captured state goes away on the game thread too
        lock.lock();
        done_ = seq;
        gameCv_.notify_all();
        lock.unlock();
        wake();
        lock.lock();
    }
}

uint64_t SandboxHost::post(std::function<void()> job)
{
    uint64_t seq;
    {
        std::lock_guard<std::mutex> lock(gameMutex_);
        if (stopping_) {
            return done_;
        }
        seq = ++posted_;
        jobs_.emplace_back(seq, std::move(job));
    }
    gameCv_.notify_all();
    return seq;
}

bool SandboxHost::gameDone(uint64_t seq)
{
    std::lock_guard<std::mutex> lock(gameMutex_);
    return done_ >= seq || (stopping_ && jobs_.empty());
}

void SandboxHost::waitGame(uint64_t seq)
{
    std::unique_lock<std::mutex> lock(gameMutex_);
    gameCv_.wait(lock, [&] { return done_ >= seq; }); // jobs posted before a stop still run
}

void SandboxHost::stopGameThread()
{
    {
        std::lock_guard<std::mutex> lock(gameMutex_);
        stopping_ = true;
    }
    gameCv_.notify_all();
    if (gameThread_.joinable()) {
        gameThread_.join();
    }
}

void SandboxHost::gameThreadCall(const char* call)
{
    if (std::this_thread::get_id() == gameThreadId_) {
        return;
    }
    log(std::string("host rule: ") + call +
        " called off the game thread; the game would misbehave. Hand it over with GameWrapper::Execute.");
    if (strict_.load()) {
        ruleBroken_.store(true);
        requestQuit();
    }
}

void SandboxHost::execute(std::function<void()> job)
{
    if (!pluginGate_.load()) {
        return; // unloading: the plug-in's late work is dropped, not run against a dying object
    }
    post(std::move(job));
}

// ---- console ----------------------------------------------------------------------------------------------------

void SandboxHost::log(const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(ConsoleLine{nextLine_++, text});
        if (lines_.size() > kMaxConsoleLines) {
            lines_.pop_front();
        }
        if (echo_) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }
    consoleCv_.notify_all();
}

std::vector<ConsoleLine> SandboxHost::consoleSince(uint64_t first)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ConsoleLine> out;
    if (lines_.empty() || first >= nextLine_) {
        return out;
    }
    // Numbers are consecutive, so the first wanted line is found by offset.
    const uint64_t front = lines_.front().seq;
    const size_t start = first > front ? static_cast<size_t>(first - front) : 0;
    out.assign(lines_.begin() + static_cast<std::ptrdiff_t>(start), lines_.end());
    return out;
}

uint64_t SandboxHost::consoleEnd()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return nextLine_;
}

void SandboxHost::waitConsole(uint64_t seq, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t wakes = wakeCount_;
    consoleCv_.wait_until(lock, deadline, [&] { return nextLine_ > seq || wakeCount_ != wakes || quit_.load(); });
}

void SandboxHost::wake()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++wakeCount_;
    }
    consoleCv_.notify_all();
}

void SandboxHost::clearConsole()
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    ++consoleGeneration_;
}

uint64_t SandboxHost::consoleGeneration()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return consoleGeneration_;
}

void SandboxHost::requestQuit()
{
    quit_.store(true);
    wake();
}

void SandboxHost::registerNotifier(const std::string& name, crwhost::NotifierCallback callback, const std::string&,
                                   unsigned char)
{
    std::lock_guard<std::mutex> lock(mutex_);
    notifiers_[name] = std::move(callback);
}

void SandboxHost::hookEvent(const std::string& eventName, std::function<void(std::string)> callback)
{
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_.emplace(eventName, std::move(callback));
}

void SandboxHost::forgetPluginCallbacks()
{
    std::lock_guard<std::mutex> lock(mutex_);
    notifiers_.clear();
    hooks_.clear();
}

uint64_t SandboxHost::runCommand(const std::string& command)
{
    log("] " + command);
    return post([this, command] { dispatch(command); });
}

void SandboxHost::executeCommand(const std::string& command, bool logIt)
{
    if (logIt) {
        log("] " + command);
    }
    // A menu toggle takes effect before the next frame, so a window that
    // closes itself is not drawn (and toggled back) once more meanwhile.
    if (toggleMenuCommand(command)) {
        return;
    }
    post([this, command] { dispatch(command); });
}

uint64_t SandboxHost::fireEvent(const std::string& eventName)
{
    return post([this, eventName] {
        std::vector<std::function<void(std::string)>> callbacks;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto range = hooks_.equal_range(eventName);
            for (auto it = range.first; it != range.second; ++it) {
                callbacks.push_back(it->second);
            }
        }
        if (callbacks.empty()) {
            log("No hook on " + eventName);
        }
        for (auto& callback : callbacks) {
            callback(eventName);
        }
    });
}

bool SandboxHost::toggleMenuCommand(const std::string& command)
{
    const auto words = splitCommand(command);
    if (words.empty() || (words[0] != "togglemenu" && words[0] != "openmenu" && words[0] != "closemenu")) {
        return false;
    }
    if (words.size() != 2) {
        log("usage: " + words[0] + " MENU");
        return true;
    }
    const std::string& name = words[1];
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        known = name == pluginMenu_ || name == "settings" || name == "console";
        if (known) {
            bool& open = menus_[name];
            open = words[0] == "togglemenu" ? !open : words[0] == "openmenu";
        }
    }
    if (!known) {
        log("Unknown menu: " + name);
    }
    return true;
}

void SandboxHost::dispatch(const std::string& command)
{
    const auto words = splitCommand(command);
    if (words.empty()) {
        return;
    }
    const std::string& name = words[0];
    if (toggleMenuCommand(command)) {
        return;
    }
    if (name == "bind") {
        if (words.size() < 3) {
            log("usage: bind KEY COMMAND");
            return;
        }
        std::string rest;
        for (size_t i = 2; i < words.size(); ++i) {
            rest += (i > 2 ? " " : "") + words[i];
        }
        setBind(words[1], rest);
        return;
    }
    if (name == "unbind") {
        if (words.size() != 2) {
            log("usage: unbind KEY");
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        binds_.erase(words[1]);
        return;
    }
    if (name == "party" && words.size() == 2 && words[1] == "join") {
        fireEvent(kPartyJoinEvent);
        return;
    }
    if (name == "event") {
        if (words.size() < 2) {
            log("usage: event NAME");
            return;
        }
        std::string rest;
        for (size_t i = 1; i < words.size(); ++i) {
            rest += (i > 1 ? " " : "") + words[i];
        }
        fireEvent(rest);
        return;
    }
    if (name == "clear") {
        clearConsole();
        return;
    }
    if (name == "quit" || name == "exit") {
        requestQuit();
        return;
    }
    if (name == "help") {
        log("Commands: togglemenu MENU, openmenu MENU, closemenu MENU, bind KEY COMMAND, unbind KEY, party join, "
            "event NAME, CVAR [VALUE], clear, quit, and the plug-in's notifiers.");
        return;
    }

    crwhost::NotifierCallback notifier;
    bool isCvar = false;
    int cvarValue = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = notifiers_.find(name); it != notifiers_.end()) {
            notifier = it->second;
        } else if (auto c = cvars_.find(name); c != cvars_.end()) {
            isCvar = true;
            cvarValue = c->second;
        }
    }
    if (notifier) {
        notifier(words);
        return;
    }
    if (isCvar) {
        if (words.size() == 1) {
            log(name + " = " + std::to_string(cvarValue));
            return;
        }
        char* end = nullptr;
        const long value = std::strtol(words[1].c_str(), &end, 10);
        if (words[1].empty() || *end != '\0' || value < -2147483647L || value > 2147483647L) {
            log(name + " wants an integer");
            return;
        }
        setCvarInt(name, static_cast<int>(value));
        return;
    }
    log("Unknown command: " + name);
}

// ---- menus, binds, cvars, toasts ---------------------------------------------------------------------------------

bool SandboxHost::menuOpen(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = menus_.find(name);
    return it != menus_.end() && it->second;
}

void SandboxHost::setMenuOpen(const std::string& name, bool open)
{
    std::lock_guard<std::mutex> lock(mutex_);
    menus_[name] = open;
}

void SandboxHost::setPluginMenuName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pluginMenu_ = name;
}

void SandboxHost::setBind(const std::string& key, const std::string& command)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        binds_[key] = command;
    }
    log("Bound " + key + " to \"" + command + "\"");
}

std::optional<std::string> SandboxHost::bindFor(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = binds_.find(key);
    if (it == binds_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<std::pair<std::string, std::string>> SandboxHost::allBinds()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {binds_.begin(), binds_.end()};
}

bool SandboxHost::hasCvar(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cvars_.count(name) != 0;
}

int SandboxHost::getCvarInt(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cvars_.find(name);
    return it == cvars_.end() ? 0 : it->second;
}

void SandboxHost::setCvarInt(const std::string& name, int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cvars_[name] = value;
}

int SandboxHost::cvar(const std::string& name) { return getCvarInt(name); }

namespace {

// At most maxBytes, without splitting a UTF-8 character.
std::string cutText(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return text.substr(0, n);
}

} // namespace

bool SandboxHost::pushToast(const std::string& title, const std::string& text, float seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (cvars_[kToastCvar] == 0) {
        return false;
    }
    if (!(seconds > 0.f && seconds < 600.f)) {
        seconds = 3.5f;
    }
    toasts_.push_back(
        Toast{cutText(title, kToastTitleBytes), cutText(text, kToastTextBytes),
              std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000.f))});
    // Only the newest few are kept: a plug-in may toast in a loop.
    if (toasts_.size() > kMaxToasts) {
        toasts_.erase(toasts_.begin(), toasts_.end() - kMaxToasts);
    }
    return true;
}

void SandboxHost::toast(const std::string& title, const std::string& text, const std::string&, float timeout,
                        unsigned char, float, float)
{
    if (pushToast(title, text, timeout)) {
        log("[toast] " + cutText(title, kToastTitleBytes) + ": " + cutText(text, kToastTextBytes));
    }
}

std::vector<Toast> SandboxHost::liveToasts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    std::vector<Toast> kept;
    for (auto& t : toasts_) {
        if (t.until > now) {
            kept.push_back(t);
        }
    }
    toasts_ = kept;
    return kept;
}

// ---- game ------------------------------------------------------------------------------------------------------

std::filesystem::path SandboxHost::dataFolder() { return dataFolder_; }
std::string SandboxHost::uniqueIdString() { return profile_.id; }
std::string SandboxHost::playerName() { return profile_.name; }

float SandboxHost::playerMMR(const std::string&, int playlistId)
{
    auto it = profile_.mmr.find(playlistId);
    return it == profile_.mmr.end() ? 0.f : it->second;
}

int SandboxHost::fnameIndexByString(const std::string& text)
{
    // The game turns "invite <id>" into a party invite; here it becomes visible instead.
    if (text.rfind(kInvitePrefix, 0) == 0) {
        const std::string line = "Invite request from " + text.substr(std::char_traits<char>::length(kInvitePrefix));
        log(line);
        pushToast("Crewfinder", line, 5.f);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, inserted] = fnames_.emplace(text, static_cast<int>(fnames_.size()) + 1);
    return it->second;
}

void SandboxHost::sendHttp(CurlRequest request, crwhost::HttpCallback callback, bool json)
{
    if (!pluginGate_.load()) {
        return;
    }
    http_->send(std::move(request), std::move(callback), json);
}

void SandboxHost::drainHttp() { http_->drain(); }

unsigned long long SandboxHost::imageCreate(const std::filesystem::path& path, bool, bool)
{
    return images_.create(path);
}
void* SandboxHost::imageTexture(unsigned long long handle) { return images_.texture(handle); }
void SandboxHost::imageRelease(unsigned long long handle) { images_.release(handle); }

} // namespace sandbox
