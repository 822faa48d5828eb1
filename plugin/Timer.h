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

    Timer(int32_t intervalMs, std::function<void()> action);
    // Ends a running countdown without running its action, and joins the thread.
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Does nothing while running; otherwise counts down anew from now.
    void start();
    void stop();

    bool isRunning() const;
    Clock::time_point startTime() const;
    int32_t interval() const { return interval_; }

private:
    void run();

    const int32_t interval_;
    const std::function<void()> action_;

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
