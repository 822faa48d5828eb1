#include "HttpTransfer.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>

namespace crwhost::detail {

namespace {

struct HandleCloser {
    void operator()(void* h) const { WinHttpCloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

std::wstring widen(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
    return out;
}

// WinHTTP's text for its error codes lives in winhttp.dll, not the system table.
std::string errorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_FROM_HMODULE;
    const DWORD length = FormatMessageW(flags, GetModuleHandleW(L"winhttp.dll"), code, 0,
                                        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) {
        text = narrow(std::wstring(buffer, length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
            text.pop_back();
        }
    }
    LocalFree(buffer);
    if (text.empty()) {
        text = "WinHTTP error " + std::to_string(code);
    }
    return text;
}

} // namespace

std::pair<int, std::string> transfer(const CurlRequest& request, bool json, long timeoutMs)
{
    const std::wstring url = widen(request.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    // WinHTTP itself knows only http and https, so a URL never reaches a local file.
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        return {418, "Unsupported or malformed URL: " + request.url};
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) {
        path = L"/";
    }
    const std::string where = narrow(host) + " port " + std::to_string(parts.nPort);
    auto failed = [&where](const char* what) {
        return std::pair<int, std::string>{418, std::string(what) + " " + where + ": " + errorText(GetLastError())};
    };

    Handle session(WinHttpOpen(L"crw-host", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return {418, "WinHttpOpen failed: " + errorText(GetLastError())};
    }
    const int ms = static_cast<int>(timeoutMs);
    WinHttpSetTimeouts(session.get(), ms, ms, ms, ms);
    Handle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) {
        return failed("Failed to connect to");
    }
    Handle req(WinHttpOpenRequest(connection.get(), json ? L"POST" : L"GET", path.c_str(), nullptr,
                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                  parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    if (!req) {
        return failed("Failed to connect to");
    }
    // Waiting for the answer has a limit of its own, which the session's
    // timeouts do not set (on Wine it is unbounded otherwise).
    DWORD responseMs = static_cast<DWORD>(ms);
    WinHttpSetOption(req.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs, sizeof(responseMs));
    std::wstring headers;
    for (const auto& header : request.headers) {
        headers += widen(header.first + ": " + header.second) + L"\r\n";
    }
    if (!headers.empty()) {
        WinHttpAddRequestHeaders(req.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
    }
    void* body = json && !request.body.empty() ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
    const DWORD bodySize = json ? static_cast<DWORD>(request.body.size()) : 0;
    if (!WinHttpSendRequest(req.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, bodySize, bodySize, 0) ||
        !WinHttpReceiveResponse(req.get(), nullptr)) {
        return failed("Failed to connect to");
    }

    DWORD code = 0;
    DWORD size = sizeof(code);
    if (!WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
        return failed("No status from");
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(req.get(), buffer, sizeof(buffer), &got)) {
            return failed("Failure reading the answer of");
        }
        if (got == 0) {
            break;
        }
        if (text.size() + got > kMaxResponseBytes) {
            return {418, "Answer of " + where + " larger than " + std::to_string(kMaxResponseBytes) + " bytes"};
        }
        text.append(buffer, got);
    }
    return {static_cast<int>(code), std::move(text)};
}

} // namespace crwhost::detail
