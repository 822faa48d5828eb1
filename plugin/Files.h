#pragma once
// Reading the plug-in's own small files, which another program or a hand edit
// may have replaced by anything: a FIFO, a device, a link, a huge file.
#include <cstddef>
#include <filesystem>
#include <string>

namespace crw {

enum class ReadResult {
    Ok,
    Missing,    // nothing of that name
    NotRegular, // a folder, FIFO, device or socket (links are followed)
    TooLarge,   // larger than the limit
    Unreadable, // exists but cannot be opened or read
};

// Reads a regular file of at most maxBytes into text. It never blocks on a
// FIFO and never reads more than maxBytes + 1 bytes. why is set on failure.
ReadResult readSmallFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& text, std::string& why);

// True when path exists as something other than a regular file, so that
// writing to it could block (FIFO) or reach a device.
bool existsButNotRegular(const std::filesystem::path& path);

// Replaces the content of a regular file, or creates it. A link is followed
// only to a regular file that exists: a link to nothing is refused rather
// than creating its target, which may lie anywhere. Never blocks on a FIFO.
// why is set on failure.
bool writeSmallFile(const std::filesystem::path& path, const std::string& text, std::string& why);

// True when path itself is a link (not followed).
bool isLink(const std::filesystem::path& path);

// A path from text that is UTF-8 on every platform (names typed in the UI).
std::filesystem::path utf8Path(const std::string& text);
// A path as UTF-8 text for logs and labels.
std::string pathText(const std::filesystem::path& path);

} // namespace crw
