#pragma once
// One-shot countdown whose action runs on the timer's own thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace crw {

class Timer {
public:
    using Clock = std::chrono::steady_clock;

    // With a guard, the action runs holding it, and only if no stop or start
    // came in while the countdown waited for it: callers that stop or start
    // the timer under the same lock can rely on a stop being final.
    Timer(int32_t intervalMs, std::function<void()> action, std::recursive_mutex* guard = nullptr);
    // Ends a running countdown without running its action, and joins the thread.
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Does nothing while running; otherwise counts down anew from now.
    void start();
    void stop();
    // Stops for good and joins the countdown thread (waiting for an action
    // that runs). Must not be called with the guard held. Later starts do nothing.
    void shutdown();

    bool isRunning() const;
    Clock::time_point startTime() const;
    int32_t interval() const { return interval_; }

private:
    void run();

    const int32_t interval_;
    const std::function<void()> action_;
    std::recursive_mutex* const guard_;

    // All fields below are guarded by mutex_; the action runs without it held.
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool running_ = false;
    bool quit_ = false;
    uint64_t generation_ = 0; // bumped by every start and stop, so an old countdown never fires
    Clock::time_point startTime_{};
    Clock::time_point stopTime_{};
    std::thread thread_;
};

} // namespace crw
