#pragma once
// The hosts' HTTP service over libcurl: GET without a body for the plain
// send, POST with the JSON body for the JSON send. Completions run on threads
// of this service, exactly once per request; a transfer that fails completes
// with 418 and curl's error text.
#include <chrono>
#include <memory>

#include "crwhost/HostBackend.h"

namespace crwhost {

class CurlHttp {
public:
    explicit CurlHttp(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for every transfer in flight and its completion.
    ~CurlHttp();
    CurlHttp(const CurlHttp&) = delete;
    CurlHttp& operator=(const CurlHttp&) = delete;

    void send(CurlRequest request, HttpCallback callback, bool json);
    // Blocks until no transfer is in flight and no completion is running.
    void drain();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace crwhost
