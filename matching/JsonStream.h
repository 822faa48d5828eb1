#pragma once
// A pull reader for JSON from outside that keeps only what it is asked for:
// values are read or skipped one at a time, so a large answer never becomes a
// tree. It lexes like JsonCpp's reader (comments, string escapes), so comments
// and strings cannot hide nesting from its depth limit.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace crw::matching {

class JsonStream {
public:
    static constexpr int kMaxDepth = 32;

    // The text must outlive the stream.
    explicit JsonStream(std::string_view text) : text_(text) {}
    explicit JsonStream(std::string&&) = delete;

    // False once the text broke the grammar or nested too deep; every read
    // after that yields nothing.
    bool ok() const { return ok_; }

    // The first byte of the next token, after white space and comments; 0 at
    // the end or after an error.
    char peek();

    // Objects: beginObject() when peek() is '{', then nextKey() until it
    // returns false; after each key, read or skip exactly one value.
    void beginObject();
    bool nextKey(std::string& key);

    // Arrays: beginArray() when peek() is '[', then nextElement() until it
    // returns false; after each true, read or skip exactly one value.
    void beginArray();
    bool nextElement();

    // The next value as JsonCpp's asString gives it (strings decoded, numbers
    // and booleans in text form; null, objects and arrays empty), cut to at
    // most maxBytes on a UTF-8 boundary.
    void readText(std::string& out, std::size_t maxBytes);

    void skipValue();

private:
    void fail();
    void open(char kind);
    // Skips a string, number or literal; its bytes are [begin, pos_).
    bool skipScalar(std::size_t& begin);
    bool skipString();
    bool endOf(char kind);

    std::string_view text_;
    std::size_t pos_ = 0;
    bool ok_ = true;
    int depth_ = 0;
    std::array<char, kMaxDepth + 1> kinds_{};  // '{' or '[' per open level
    std::array<bool, kMaxDepth + 1> first_{};  // no member or element read yet at that level
};

// One whole JSON value (what may follow it is ignored, as JsonCpp's reader
// does), nested at most JsonStream::kMaxDepth deep.
bool isWholeJson(std::string_view text);

} // namespace crw::matching
