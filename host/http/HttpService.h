#pragma once
// The hosts' HTTP service: GET without a body for the plain send, POST with
// the JSON body for the JSON send. Completions run on threads of this service,
// exactly once per request; a transfer that fails completes with 418 and the
// transport's error text. The transport is libcurl on Linux, WinHTTP on Windows.
#include <chrono>
#include <memory>

#include "crwhost/HostBackend.h"

namespace crwhost {

class HttpService {
public:
    explicit HttpService(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for every transfer in flight and its completion.
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    void send(CurlRequest request, HttpCallback callback, bool json);
    // Blocks until no transfer is in flight and no completion is running.
    void drain();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace crwhost
