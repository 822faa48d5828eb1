// Registration bodies: validation and the list layout.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>

namespace crw::server {

// Longest player name or id accepted, and echoed back.
constexpr std::size_t kMaxNameBytes = 256;

// Parses a JSON object or array; false for anything else, including raw control bytes and nesting too deep to be
// honest input.
bool parseJson(const std::string& text, Json::Value& out);

// Compact one-line JSON.
std::string toJson(const Json::Value& value);

// JSON string literal (with quotes) for already valid UTF-8 text.
std::string quoteJson(const std::string& text);

bool isValidUtf8(const std::string& text);

struct ValidatedRegistration {
    bool ok = false;
    std::string error; // what is wrong, for the 400 text
    std::string idString;
    std::string name;
    Json::Value entry; // the list layout: the body without "Type", MMR and Range as strings
};

ValidatedRegistration validateRegistration(const std::string& body);

// The /RequestInvite body: who is asked (searcher) and who asks (user).
struct InviteRequest {
    bool ok = false;
    std::string error;
    std::string searcherName;
    std::string searcherId;
    std::string userName;
    std::string userId;
};

InviteRequest parseInviteRequest(const std::string& body);

// The frame pushed to a searcher; the plug-in looks for the exact opening bytes, so no spacing is allowed.
std::string inviteNotification(const std::string& userId, const std::string& userName);

// What a frame received on a WebSocket asks for: it is not JSON, it names no player, or it claims the named one.
struct RegistrationFrame {
    enum Kind { NotJson, NoId, Claim } kind = NotJson;
    std::string id;
};
RegistrationFrame parseRegistrationFrame(const std::string& payload);

extern const char* const kBadMessageText;

} // namespace crw::server
