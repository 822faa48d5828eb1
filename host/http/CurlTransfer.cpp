#include "HttpTransfer.h"

#include <mutex>

#include <curl/curl.h>

namespace crwhost::detail {

namespace {

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

} // namespace

// One blocking transfer; returns the code and text the completion gets.
std::pair<int, std::string> transfer(const CurlRequest& request, bool json, long timeoutMs)
{
    globalInit();
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

} // namespace crwhost::detail
