#include "Log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace crw::server {

namespace {
constexpr std::chrono::milliseconds kGather{5};
}

std::string utcTimestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
    return text;
}

AsyncLog::AsyncLog(std::function<void(const std::string&)> sink, std::size_t capacity)
    : sink_(std::move(sink)), capacity_(capacity), thread_([this] { run(); })
{
}

AsyncLog::~AsyncLog()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void AsyncLog::write(std::string line)
{
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= capacity_) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(line));
        wake = idle_;
        idle_ = false;
    }
    // The writer drains the whole queue each time, so only a writer waiting for a first line needs waking.
    if (wake)
        wake_.notify_one();
}

std::uint64_t AsyncLog::dropped() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void AsyncLog::run()
{
    std::deque<std::string> batch;
    std::string text;
    for (;;) {
        std::uint64_t newlyDropped = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // Under load, a short pause lets lines gather into one write instead of one wake-up per line.
            wake_.wait_for(lock, kGather, [this] { return stop_; });
            idle_ = true;
            wake_.wait(lock, [this] { return stop_ || !queue_.empty() || dropped_ != reported_; });
            idle_ = false;
            if (queue_.empty() && dropped_ == reported_ && stop_)
                return;
            batch.swap(queue_);
            newlyDropped = dropped_ - reported_;
            reported_ = dropped_;
        }
        if (newlyDropped)
            batch.push_front(utcTimestamp() + " - log: " + std::to_string(newlyDropped) + " lines dropped, the reader is too slow");
        if (sink_) {
            for (const auto& line : batch)
                sink_(line);
        } else {
            text.clear();
            for (const auto& line : batch) {
                text += line;
                text += '\n';
            }
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        }
        batch.clear();
    }
}

} // namespace crw::server
