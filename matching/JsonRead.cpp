#include "plugin/Prelude.h"

#include "matching/JsonRead.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace crw::matching {

bool parseStrict(const std::string& text, Json::Value& root)
{
    root = Json::Value();
    // Checked before parsing: the reader recurses once per level and throws only at 1,000.
    if (!isWholeJson(text)) {
        return false;
    }
    bool ok = false;
    try {
        Json::Reader reader;
        ok = reader.parse(text, root, true);
    } catch (const std::exception&) {
        ok = false; // nesting deeper than the reader's stack limit
    }
    if (!ok) {
        root = Json::Value();
    }
    return ok;
}

const Json::Value& member(const Json::Value& v, const char* key)
{
    static const Json::Value null;
    if (!v.isObject()) {
        return null;
    }
    const Json::Value* found = v.find(key, key + std::char_traits<char>::length(key));
    return found ? *found : null;
}

std::string textOf(const Json::Value& v)
{
    if (v.isString() || v.isNumeric() || v.isBool()) {
        return v.asString();
    }
    return "";
}

namespace {
bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
} // namespace

bool parseInt32Prefix(const std::string& text, int32_t& out)
{
    std::size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t firstDigit = i;
    int64_t value = 0;
    const int64_t limit =
        negative ? -int64_t(std::numeric_limits<int32_t>::min()) : std::numeric_limits<int32_t>::max();
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > limit) {
            return false;
        }
        ++i;
    }
    if (i == firstDigit) {
        return false;
    }
    out = static_cast<int32_t>(negative ? -value : value);
    return true;
}

bool parseFloatPrefix(const std::string& text, float& out)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(begin, &end);
    if (end == begin) {
        return false;
    }
    // Underflow also sets ERANGE but gives a usable value near zero.
    if (errno == ERANGE && std::isinf(value)) {
        return false;
    }
    out = value;
    return true;
}

} // namespace crw::matching
