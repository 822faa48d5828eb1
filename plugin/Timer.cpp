#include "plugin/Prelude.h"

#include "plugin/Timer.h"

namespace crw {

Timer::Timer(int32_t intervalMs, std::function<void()> action, std::recursive_mutex* guard)
    : interval_(intervalMs), action_(std::move(action)), guard_(guard)
{
}

Timer::~Timer() { shutdown(); }

void Timer::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        running_ = false;
        ++generation_;
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Destroyed from inside its own action: nothing of ours is touched after the action returns.
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void Timer::start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || quit_) {
        return;
    }
    running_ = true;
    ++generation_;
    startTime_ = Clock::now();
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
    cv_.notify_all();
}

void Timer::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) {
            ++generation_;
        }
        running_ = false;
        stopTime_ = Clock::now();
    }
    cv_.notify_all();
}

bool Timer::isRunning() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

Timer::Clock::time_point Timer::startTime() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return startTime_;
}

void Timer::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        cv_.wait(lock, [this] { return quit_ || running_; });
        if (quit_) {
            break;
        }
        const uint64_t generation = generation_;
        const auto deadline = startTime_ + std::chrono::milliseconds(interval_);
        // Wakes early only when stopped, restarted or destroyed.
        cv_.wait_until(lock, deadline, [&] { return quit_ || generation_ != generation; });
        if (quit_ || generation_ != generation || !running_) {
            continue;
        }
        std::unique_lock<std::recursive_mutex> guarded;
        if (guard_ != nullptr) {
            // Callers stop and start under the guard, then take our lock:
            // take them in that order, and check again once both are held.
            lock.unlock();
            guarded = std::unique_lock<std::recursive_mutex>(*guard_);
            lock.lock();
            if (quit_ || generation_ != generation || !running_) {
                continue;
            }
        }
        running_ = false;
        stopTime_ = Clock::now();
        ++generation_;
        lock.unlock();
        if (action_) {
            action_();
        }
        if (guarded.owns_lock()) {
            guarded.unlock();
        }
        lock.lock();
    }
}

} // namespace crw
