#include "Registration.h"

#include <json/reader.h>
#include <json/writer.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>

namespace crw::server {

const char* const kBadMessageText = "Websocket Server: | Error: bad message, message is not a good json !";

namespace {

const std::set<std::string> kPlaylists = {"Ranked-2v2", "Ranked-3v3", "Casual-2v2", "Casual-3v3", "Tournament",
                                          "Rumble",     "Dropshot",   "Hoops",      "Snowday",    "Other"};

const std::set<std::string> kRegions = {"Europe",           "US-East",       "US-West",     "Asia-SE Mainland",
                                        "Asia-SE Maritime", "Asia-East",     "Middle-East", "Oceania",
                                        "South Africa",     "South America", "India"};

const std::set<std::string> kLanguages = {
    "Albanian",   "Arabic",   "Bulgarian", "Chinese",   "Croatian",   "Czech",      "Danish",    "Dutch",
    "English",    "Estonian", "Finnish",   "French",    "German",     "Greek",      "Hungarian", "Indonesian",
    "Irish",      "Italian",  "Japanese",  "Korean",    "Lithuanian", "Macedonian", "Norwegian", "Polish",
    "Portuguese", "Romanian", "Russian",   "Serbian",   "Slovak",     "Slovenian",  "Spanish",   "Swedish",
    "Thai",       "Turkish",  "Ukrainian", "Vietnamese"};

constexpr std::size_t kMaxTitleBytes = 127; // the plug-in keeps the title in a 128-byte buffer
constexpr std::size_t kMaxNumberText = 32;

// Accepts a JSON string, or a number which is kept as its text form.
bool scalarText(const Json::Value& v, std::string& out)
{
    if (v.isString()) {
        out = v.asString();
        return true;
    }
    if (v.isInt64()) {
        out = std::to_string(v.asInt64());
        return true;
    }
    if (v.isDouble()) {
        out = fmt::format("{}", v.asDouble());
        return true;
    }
    return false;
}

bool parseDecimal(const std::string& s, double& out)
{
    if (s.empty() || s.size() > kMaxNumberText || std::isspace(static_cast<unsigned char>(s[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(s.c_str(), &end);
    return errno == 0 && end == s.c_str() + s.size() && std::isfinite(out) &&
           s.find_first_of("xXnNiI") == std::string::npos; // no hex, nan or inf spellings
}

bool parseInt32(const std::string& s, long& out)
{
    if (s.empty() || s.size() > kMaxNumberText || std::isspace(static_cast<unsigned char>(s[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtol(s.c_str(), &end, 10);
    return errno == 0 && end == s.c_str() + s.size() && out >= INT_MIN && out <= INT_MAX;
}

// "Regions" or "Languages": names from the fixed list, or the single "Any".
bool validNameList(const Json::Value& v, const std::set<std::string>& allowed, const char* key, std::string& error,
                   Json::Value& out)
{
    if (!v.isArray() || v.empty()) {
        error = fmt::format("\"{}\" must be a non-empty array of names (or [\"Any\"])", key);
        return false;
    }
    out = Json::Value(Json::arrayValue);
    std::set<std::string> seen;
    for (const auto& item : v) {
        if (!item.isString()) {
            error = fmt::format("\"{}\" must hold only strings", key);
            return false;
        }
        const std::string name = item.asString();
        if (name == "Any") {
            if (v.size() != 1) {
                error = fmt::format("\"{}\": \"Any\" must stand alone", key);
                return false;
            }
        } else if (!allowed.count(name)) {
            error = fmt::format("\"{}\": unknown name \"{}\"", key, isValidUtf8(name) ? name : "?");
            return false;
        }
        if (!seen.insert(name).second) {
            error = fmt::format("\"{}\": \"{}\" is listed twice", key, name);
            return false;
        }
        out.append(name);
    }
    return true;
}

bool validPlaylists(const Json::Value& v, std::string& error, Json::Value& out)
{
    if (!v.isArray() || v.empty()) {
        error = "\"Playlists\" must be a non-empty array";
        return false;
    }
    out = Json::Value(Json::arrayValue);
    std::set<std::string> seen;
    for (const auto& item : v) {
        if (!item.isObject() || !item["Playlist"].isString()) {
            error = "each playlist must be an object with a \"Playlist\" name";
            return false;
        }
        const std::string name = item["Playlist"].asString();
        if (!kPlaylists.count(name)) {
            error = fmt::format("unknown playlist \"{}\"", isValidUtf8(name) ? name : "?");
            return false;
        }
        if (!seen.insert(name).second) {
            error = fmt::format("playlist \"{}\" is listed twice", name);
            return false;
        }
        std::string mmr, range;
        if (!scalarText(item["MMR"], mmr) || mmr.size() > kMaxNumberText || !isValidUtf8(mmr)) {
            error = fmt::format("playlist \"{}\": \"MMR\" is missing or not a short text", name);
            return false;
        }
        // "Other" carries whatever text the player kept; real playlists carry a number the host reported.
        double mmrValue = 0;
        if (name != "Other" && !parseDecimal(mmr, mmrValue)) {
            error = fmt::format("playlist \"{}\": \"MMR\" is not a number", name);
            return false;
        }
        long rangeValue = 0;
        if (!scalarText(item["Range"], range) || !parseInt32(range, rangeValue)) {
            error = fmt::format("playlist \"{}\": \"Range\" is not an integer", name);
            return false;
        }
        Json::Value row(Json::objectValue);
        row["Playlist"] = name;
        row["MMR"] = mmr;
        row["Range"] = std::to_string(rangeValue);
        out.append(row);
    }
    return true;
}

// Text shown to other players: control characters (escaped ones included, as they arrive decoded) and the
// characters that reorder the text around them would let one entry garble or disguise what follows it.
bool displayable(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x20 || c == 0x7F)
            return false;
        if (c == 0xC2 && p + 1 < end && p[1] >= 0x80 && p[1] <= 0x9F) // C1 controls
            return false;
        if (c == 0xE2 && p + 2 < end) {
            const unsigned cp = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069))
                return false;
        }
        ++p;
    }
    return true;
}

} // namespace

bool parseJson(const std::string& text, Json::Value& out)
{
    // JSON has no room for raw control bytes; a NUL would also end the text early for some readers. Tab and line
    // breaks are spacing between tokens, never part of a string; DEL is refused in strings alongside them.
    bool inString = false, escaped = false;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 && (inString || (c != '\t' && c != '\n' && c != '\r')))
            return false;
        if (!inString) {
            inString = c == '"';
        } else if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '"') {
            inString = false;
        } else if (c == 0x7F) {
            return false;
        }
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = 64;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        return reader->parse(text.data(), text.data() + text.size(), &out, &errors);
    } catch (const std::exception&) { // JsonCpp throws past its stack limit
        return false;
    }
}

std::string toJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

bool isValidUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        unsigned c = *p;
        std::size_t len;
        unsigned cp;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < len)
            return false;
        for (std::size_t i = 1; i < len; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        const unsigned minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += len;
    }
    return true;
}

std::string quoteJson(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
                out += fmt::format("\\u{:04x}", c);
            else
                out += ch;
        }
    }
    out += '"';
    return out;
}

ValidatedRegistration validateRegistration(const std::string& body)
{
    ValidatedRegistration r;
    Json::Value root;
    if (!parseJson(body, root) || !root.isObject()) {
        r.error = "the body is not a JSON object";
        return r;
    }
    if (!root["Type"].isString() || root["Type"].asString() != "Register") {
        r.error = "\"Type\" must be \"Register\"";
        return r;
    }
    const Json::Value& title = root["Title"];
    if (!title.isString()) {
        r.error = "\"Title\" is missing";
        return r;
    }
    const std::string titleText = title.asString();
    if (titleText.empty()) {
        r.error = "\"Title\" is empty";
        return r;
    }
    if (titleText.size() > kMaxTitleBytes) {
        r.error = fmt::format("\"Title\" is longer than {} bytes", kMaxTitleBytes);
        return r;
    }
    if (!isValidUtf8(titleText)) {
        r.error = "\"Title\" is not valid UTF-8";
        return r;
    }
    if (!displayable(titleText)) {
        r.error = "\"Title\" holds control or text-direction characters";
        return r;
    }
    const Json::Value& creator = root["Creator"];
    if (!creator.isObject() || !creator["Name"].isString() || !creator["IdString"].isString()) {
        r.error = "\"Creator\" must be an object with \"Name\" and \"IdString\" texts";
        return r;
    }
    r.name = creator["Name"].asString();
    r.idString = creator["IdString"].asString();
    if (r.idString.empty()) {
        r.error = "\"Creator\".\"IdString\" is empty";
        return r;
    }
    if (r.name.size() > kMaxNameBytes || r.idString.size() > kMaxNameBytes) {
        r.error = fmt::format("\"Creator\" texts are limited to {} bytes", kMaxNameBytes);
        return r;
    }
    if (!isValidUtf8(r.name) || !isValidUtf8(r.idString)) {
        r.error = "\"Creator\" texts are not valid UTF-8";
        return r;
    }
    if (!displayable(r.name)) {
        r.error = "\"Creator\".\"Name\" holds control or text-direction characters";
        return r;
    }
    Json::Value playlists, regions, languages;
    if (!validPlaylists(root["Playlists"], r.error, playlists) ||
        !validNameList(root["Regions"], kRegions, "Regions", r.error, regions) ||
        !validNameList(root["Languages"], kLanguages, "Languages", r.error, languages))
        return r;
    const Json::Value& voice = root["VoiceChat"];
    if (!voice.isString() || (voice.asString() != "any" && voice.asString() != "true" && voice.asString() != "false")) {
        r.error = "\"VoiceChat\" must be \"any\", \"true\" or \"false\"";
        return r;
    }
    Json::Value entry(Json::objectValue);
    entry["Title"] = titleText;
    entry["Creator"]["Name"] = r.name;
    entry["Creator"]["IdString"] = r.idString;
    entry["Playlists"] = playlists;
    entry["Regions"] = regions;
    entry["Languages"] = languages;
    entry["VoiceChat"] = voice.asString();
    r.entry = std::move(entry);
    r.ok = true;
    return r;
}

InviteRequest parseInviteRequest(const std::string& body)
{
    InviteRequest r;
    Json::Value root;
    if (!parseJson(body, root) || !root.isObject()) {
        r.error = "the body is not a JSON object";
        return r;
    }
    const Json::Value& searcher = root["Searcher"];
    const Json::Value& user = root["User"];
    if (!searcher.isObject() || !searcher["IdString"].isString() || !user.isObject() || !user["IdString"].isString() ||
        (searcher.isMember("Name") && !searcher["Name"].isString()) ||
        (user.isMember("Name") && !user["Name"].isString())) {
        r.error = "the body needs \"Searcher\" and \"User\" objects with \"Name\" and \"IdString\" texts";
        return r;
    }
    r.searcherName = searcher["Name"].asString();
    r.searcherId = searcher["IdString"].asString();
    r.userName = user["Name"].asString();
    r.userId = user["IdString"].asString();
    if (r.userId.empty()) {
        r.error = "\"User\".\"IdString\" is empty";
        return r;
    }
    if (r.userName.size() > kMaxNameBytes || r.userId.size() > kMaxNameBytes || !isValidUtf8(r.userName) ||
        !isValidUtf8(r.userId) || !isValidUtf8(r.searcherName) || !isValidUtf8(r.searcherId)) {
        r.error = "\"User\" or \"Searcher\" texts are too long or not valid UTF-8";
        return r;
    }
    if (!displayable(r.userName)) {
        r.error = "\"User\".\"Name\" holds control or text-direction characters";
        return r;
    }
    r.ok = true;
    return r;
}

RegistrationFrame parseRegistrationFrame(const std::string& payload)
{
    RegistrationFrame frame;
    Json::Value root;
    if (!parseJson(payload, root))
        return frame;
    frame.kind = RegistrationFrame::NoId;
    if (root.isObject()) {
        const Json::Value& creator = root["Creator"];
        if (creator.isObject() && creator["IdString"].isString())
            frame.id = creator["IdString"].asString();
        else if (root["IdString"].isString())
            frame.id = root["IdString"].asString();
    }
    if (!frame.id.empty())
        frame.kind = RegistrationFrame::Claim;
    return frame;
}

std::string inviteNotification(const std::string& userId, const std::string& userName)
{
    return "{\"type\":\"InviteNotification\",\"IdString\":" + quoteJson(userId) + ",\"Name\":" + quoteJson(userName) +
           "}";
}

} // namespace crw::server
