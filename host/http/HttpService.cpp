#include "HttpService.h"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "HttpTransfer.h"

namespace crwhost {

// A thread per transfer: a completion may block for a long time (the
// registration waits for its socket) without holding up other requests.
struct HttpService::Impl {
    long timeoutMs = 10000;
    std::mutex mutex;
    std::condition_variable idle;
    std::map<uint64_t, std::thread> threads;
    std::vector<uint64_t> finished; // threads done with their work, not joined yet
    uint64_t nextId = 0;
    std::size_t active = 0;

    // Joins the threads that have finished; never called on one of them.
    void reap()
    {
        std::vector<std::thread> done;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (uint64_t id : finished) {
                auto it = threads.find(id);
                if (it != threads.end()) {
                    done.push_back(std::move(it->second));
                    threads.erase(it);
                }
            }
            finished.clear();
        }
        for (auto& t : done) {
            t.join();
        }
    }
};

HttpService::HttpService(std::chrono::milliseconds timeout) : impl_(std::make_unique<Impl>())
{
    impl_->timeoutMs = static_cast<long>(timeout.count());
}

HttpService::~HttpService()
{
    drain();
    impl_->reap();
}

void HttpService::send(CurlRequest request, HttpCallback callback, bool json)
{
    impl_->reap();
    Impl* d = impl_.get();
    std::unique_lock<std::mutex> lock(d->mutex);
    const uint64_t id = d->nextId++;
    ++d->active;
    std::thread worker;
    try {
        worker = std::thread([d, id, json, request, callback] {
            auto outcome = detail::transfer(request, json, d->timeoutMs);
            if (callback) {
                try {
                    callback(outcome.first, std::move(outcome.second));
                } catch (...) {
                    // A throwing completion must not take the process down.
                }
            }
            {
                std::lock_guard<std::mutex> done(d->mutex);
                d->finished.push_back(id);
                --d->active;
            }
            d->idle.notify_all();
        });
    } catch (const std::system_error& e) {
        // No thread to be had: complete here rather than never.
        --d->active;
        lock.unlock();
        d->idle.notify_all();
        if (callback) {
            callback(418, e.what());
        }
        return;
    }
    // Registered before the worker can report itself finished: it needs this lock.
    d->threads.emplace(id, std::move(worker));
}

void HttpService::drain()
{
    {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        impl_->idle.wait(lock, [this] { return impl_->active == 0; });
    }
    impl_->reap();
}

} // namespace crwhost
