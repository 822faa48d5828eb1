#include "CurlHttp.h"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <curl/curl.h>

namespace crwhost {

namespace {

// Answers larger than this are refused rather than held in memory.
constexpr std::size_t kMaxResponseBytes = 32u * 1024u * 1024u;

void globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t appendBody(char* data, size_t size, size_t count, void* userdata)
{
    auto* body = static_cast<std::string*>(userdata);
    const size_t bytes = size * count;
    if (body->size() + bytes > kMaxResponseBytes) {
        return 0; // aborts the transfer with a write error
    }
    body->append(data, bytes);
    return bytes;
}

// One blocking transfer; returns the code and text the completion gets.
std::pair<int, std::string> transfer(const CurlRequest& request, bool json, long timeoutMs)
{
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return {418, "curl_easy_init failed"};
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string body;
    curl_slist* headers = nullptr;

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    // Only web addresses: a URL must never reach local files or other schemes.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    if (json) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    for (const auto& header : request.headers) {
        headers = curl_slist_append(headers, (header.first + ": " + header.second).c_str());
    }
    if (headers != nullptr) {
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    }

    const CURLcode result = curl_easy_perform(curl);
    std::pair<int, std::string> outcome;
    if (result != CURLE_OK) {
        outcome = {418, errorBuffer[0] != '\0' ? std::string(errorBuffer) : std::string(curl_easy_strerror(result))};
    } else {
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        outcome = {static_cast<int>(code), std::move(body)};
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return outcome;
}

} // namespace

// A thread per transfer: a completion may block for a long time (the
// registration waits for its socket) without holding up other requests.
struct CurlHttp::Impl {
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

CurlHttp::CurlHttp(std::chrono::milliseconds timeout) : impl_(std::make_unique<Impl>())
{
    globalInit();
    impl_->timeoutMs = static_cast<long>(timeout.count());
}

CurlHttp::~CurlHttp()
{
    drain();
    impl_->reap();
}

void CurlHttp::send(CurlRequest request, HttpCallback callback, bool json)
{
    impl_->reap();
    Impl* d = impl_.get();
    std::unique_lock<std::mutex> lock(d->mutex);
    const uint64_t id = d->nextId++;
    ++d->active;
    std::thread worker;
    try {
        worker = std::thread([d, id, json, request, callback] {
            auto outcome = transfer(request, json, d->timeoutMs);
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

void CurlHttp::drain()
{
    {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        impl_->idle.wait(lock, [this] { return impl_->active == 0; });
    }
    impl_->reap();
}

} // namespace crwhost
