#include "plugin/Prelude.h"

#include "matching/JsonStream.h"

#include <cstring>

#include <json/json.h>

namespace crw::matching {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Numbers other than plain integers are rare in what the server sends;
// JsonCpp reads them so that their text is exactly what its tree would give.
bool decodeScalar(std::string_view token, std::string& out)
{
    Json::Value value;
    try {
        Json::Reader reader;
        if (!reader.parse(token.data(), token.data() + token.size(), value, false)) {
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    out = value.isString() || value.isNumeric() || value.isBool() ? value.asString() : std::string();
    return true;
}

bool hexDigits(std::string_view text, std::size_t& i, unsigned& value)
{
    if (text.size() - i < 4) {
        return false;
    }
    value = 0;
    for (const std::size_t end = i + 4; i < end; ++i) {
        const char h = text[i];
        const unsigned digit = h >= '0' && h <= '9'   ? unsigned(h - '0')
                               : h >= 'a' && h <= 'f' ? unsigned(h - 'a' + 10)
                               : h >= 'A' && h <= 'F' ? unsigned(h - 'A' + 10)
                                                      : 16u;
        if (digit == 16u) {
            return false;
        }
        value = value * 16 + digit;
    }
    return true;
}

void appendUtf8(unsigned cp, std::string& out)
{
    if (cp <= 0x7F) {
        out += static_cast<char>(cp);
    } else if (cp <= 0x7FF) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp <= 0xFFFF) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// String content decoded as JsonCpp's reader decodes it: a high surrogate
// takes the next \u along whatever it holds, a lone low one is kept.
bool decodeEscapes(std::string_view content, std::string& out)
{
    out.clear();
    out.reserve(content.size());
    for (std::size_t i = 0; i < content.size();) {
        const char c = content[i++];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i == content.size()) {
            return false;
        }
        const char e = content[i++];
        switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            unsigned cp = 0;
            if (!hexDigits(content, i, cp)) {
                return false;
            }
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                unsigned low = 0;
                if (content.size() - i < 6 || content[i] != '\\' || content[i + 1] != 'u') {
                    return false;
                }
                i += 2;
                if (!hexDigits(content, i, low)) {
                    return false;
                }
                cp = 0x10000 + ((cp & 0x3FF) << 10) + (low & 0x3FF);
            }
            appendUtf8(cp, out);
            break;
        }
        default: return false;
        }
    }
    return true;
}

std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes) {
        return text.size();
    }
    std::size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return n;
}

} // namespace

void JsonStream::fail()
{
    ok_ = false;
    pos_ = text_.size();
}

char JsonStream::peek()
{
    while (ok_ && pos_ < text_.size()) {
        const char c = text_[pos_];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++pos_;
        } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
            const std::size_t end = text_.find("*/", pos_ + 2);
            if (end == std::string_view::npos) {
                fail();
            } else {
                pos_ = end + 2;
            }
        } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
            const std::size_t end = text_.find_first_of("\r\n", pos_ + 2);
            pos_ = end == std::string_view::npos ? text_.size() : end + 1;
        } else {
            return c;
        }
    }
    return 0;
}

void JsonStream::open(char kind)
{
    if (depth_ == kMaxDepth) {
        fail();
        return;
    }
    ++pos_;
    ++depth_;
    kinds_[depth_] = kind;
    first_[depth_] = true;
}

void JsonStream::beginObject()
{
    if (peek() != '{') {
        fail();
        return;
    }
    open('{');
}

void JsonStream::beginArray()
{
    if (peek() != '[') {
        fail();
        return;
    }
    open('[');
}

// Consumes the separator before the next member or element of the innermost
// level, or its closing bracket; true once the level is closed (or broken).
bool JsonStream::endOf(char kind)
{
    if (!ok_ || depth_ == 0 || kinds_[depth_] != kind) {
        fail();
        return true;
    }
    const char close = kind == '{' ? '}' : ']';
    const char c = peek();
    if (first_[depth_]) {
        first_[depth_] = false;
        if (c == close) {
            ++pos_;
            --depth_;
            return true;
        }
        return false;
    }
    if (c == close) {
        ++pos_;
        --depth_;
        return true;
    }
    if (c != ',') {
        fail();
        return true;
    }
    ++pos_;
    return false;
}

bool JsonStream::nextKey(std::string& key)
{
    if (endOf('{')) {
        return false;
    }
    if (peek() != '"') {
        fail();
        return false;
    }
    readText(key, std::string::npos);
    if (peek() != ':') {
        fail();
        return false;
    }
    ++pos_;
    return ok_;
}

bool JsonStream::nextElement()
{
    return !endOf('[') && ok_;
}

bool JsonStream::skipString()
{
    // At the opening quote; a backslash always takes the next byte along.
    for (std::size_t i = pos_ + 1; i < text_.size(); ++i) {
        const char c = text_[i];
        if (c == '\\') {
            ++i;
        } else if (c == '"') {
            pos_ = i + 1;
            return true;
        }
    }
    fail();
    return false;
}

bool JsonStream::skipScalar(std::size_t& begin)
{
    const char c = peek();
    begin = pos_;
    if (c == '"') {
        return skipString();
    }
    if (c == '-' || isDigit(c)) {
        // The digits, fraction and exponent as JsonCpp's reader takes them.
        ++pos_;
        auto digits = [&] {
            while (pos_ < text_.size() && isDigit(text_[pos_])) {
                ++pos_;
            }
        };
        digits();
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            digits();
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
                ++pos_;
            }
            digits();
        }
        return true;
    }
    for (const char* word : {"true", "false", "null"}) {
        const std::size_t n = std::strlen(word);
        if (text_.compare(pos_, n, word) == 0) {
            pos_ += n;
            return true;
        }
    }
    fail();
    return false;
}

void JsonStream::skipValue()
{
    // Without recursion: the depth limit alone bounds what a skip holds.
    const int base = depth_;
    do {
        const char c = peek();
        if (c == '{' || c == '[') {
            open(c);
        } else {
            std::size_t begin = 0;
            skipScalar(begin);
        }
        // Close every level that ends here, then step into the next member or element.
        while (ok_ && depth_ > base) {
            const char kind = kinds_[depth_];
            if (endOf(kind)) {
                continue;
            }
            if (kind == '{') {
                if (peek() != '"' || !skipString() || peek() != ':') {
                    fail();
                } else {
                    ++pos_;
                }
            }
            break;
        }
    } while (ok_ && depth_ > base);
}

void JsonStream::readText(std::string& out, std::size_t maxBytes)
{
    out.clear();
    const char c = peek();
    if (c == '{' || c == '[') {
        skipValue();
        return;
    }
    std::size_t begin = 0;
    if (!skipScalar(begin)) {
        return;
    }
    const std::string_view token = text_.substr(begin, pos_ - begin);
    if (c == '"' && token.find('\\') == std::string_view::npos) {
        const std::string_view content = token.substr(1, token.size() - 2);
        out.assign(content.data(), utf8PrefixLength(content, maxBytes));
        return;
    }
    if (c == '"') {
        if (!decodeEscapes(token.substr(1, token.size() - 2), out)) {
            fail();
            return;
        }
        out.resize(utf8PrefixLength(out, maxBytes));
        return;
    }
    if (c == 't' || c == 'f') {
        out.assign(token.data(), token.size());
        return;
    }
    if (c == 'n') {
        return;
    }
    if (c != '"' && token.size() <= 18 && token.find_first_of(".eE", 1) == std::string_view::npos &&
        (isDigit(c) || token.size() > 1)) {
        // A plain integer, the common number: its value in decimal, as the tree gives it.
        long long value = 0;
        for (std::size_t i = c == '-' ? 1 : 0; i < token.size(); ++i) {
            value = value * 10 + (token[i] - '0');
        }
        out = std::to_string(c == '-' ? -value : value);
        out.resize(utf8PrefixLength(out, maxBytes));
        return;
    }
    if (!decodeScalar(token, out)) {
        fail();
        return;
    }
    out.resize(utf8PrefixLength(out, maxBytes));
}

bool isWholeJson(std::string_view text)
{
    JsonStream json(text);
    json.skipValue();
    return json.ok();
}

} // namespace crw::matching
