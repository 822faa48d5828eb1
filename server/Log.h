// A bounded log written by a thread of its own, so that a stalled reader never holds up an I/O thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace crw::server {

// The current UTC time as ISO 8601 with milliseconds: "2026-01-31T23:59:59.123Z".
std::string utcTimestamp();

class AsyncLog {
public:
    // `sink` gets each line on the log's thread; empty means standard output.
    AsyncLog(std::function<void(const std::string&)> sink, std::size_t capacity);
    ~AsyncLog(); // writes what is queued, then joins

    // Never blocks on the reader: when the queue is full the line is dropped and counted.
    void write(std::string line);
    std::uint64_t dropped() const;

private:
    void run();

    const std::function<void(const std::string&)> sink_;
    const std::size_t capacity_;
    // queue_, dropped_, reported_ and stop_ are guarded by mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    std::uint64_t dropped_ = 0;
    std::uint64_t reported_ = 0;
    bool stop_ = false;
    bool idle_ = false;  // the writer waits for a first line (and is the only one to be woken)
    std::thread thread_; // last: starts once the members above exist
};

} // namespace crw::server
