#include "plugin/Prelude.h"

#include "plugin/TextBounds.h"

#include <fmt/format.h>

namespace crw {

std::string utf8Prefix(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t n = maxBytes;
    // Step back over continuation bytes so that a character is never split.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return text.substr(0, n);
}

std::string popupText(const std::string& text)
{
    std::string out = utf8Prefix(text, kPopupTextBytes);
    for (char& ch : out) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\n') || c == 0x7f) {
            ch = ' ';
        }
    }
    return out;
}

std::string logPayload(const std::string& text)
{
    if (text.size() <= kLogPayloadBytes) {
        return text;
    }
    return fmt::format("{}... ({} bytes)", utf8Prefix(text, kLogPayloadBytes), text.size());
}

} // namespace crw
