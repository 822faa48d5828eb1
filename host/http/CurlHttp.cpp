// Placeholder until the libcurl service lands: every transfer fails.
#include "CurlHttp.h"

namespace crwhost {

struct CurlHttp::Impl {};
CurlHttp::CurlHttp(std::chrono::milliseconds) : impl_(std::make_unique<Impl>()) {}
CurlHttp::~CurlHttp() = default;
void CurlHttp::send(CurlRequest request, HttpCallback callback, bool)
{
    if (callback) {
        callback(418, "Failed to connect to " + request.url);
    }
}
void CurlHttp::drain() {}

} // namespace crwhost
