#pragma once
// Text helpers for the request bodies.
#include <string>

namespace crw {

// JSON string content: quote, backslash and control characters escaped,
// every other byte copied as it is.
std::string jsonEscape(const std::string& text);

// Fixed notation cut (not rounded) after the first decimal: 1234.96 -> "1234.9".
std::string truncatedMMRText(float mmr);

} // namespace crw
