#pragma once
// Bounds for text that comes from outside (server answers, files) before it
// is stored, drawn or logged.
#include <cstddef>
#include <string>

namespace crw {

// The longest prefix of at most maxBytes that does not split a UTF-8 character.
std::string utf8Prefix(const std::string& text, std::size_t maxBytes);

// Server text as a popup shows it: at most kPopupTextBytes bytes, control
// characters other than line breaks replaced by a space.
constexpr std::size_t kPopupTextBytes = 512;
std::string popupText(const std::string& text);

// A payload as a log line carries it: whole up to kLogPayloadBytes, otherwise
// that much of its start and its length.
constexpr std::size_t kLogPayloadBytes = 2048;
std::string logPayload(const std::string& text);

} // namespace crw
