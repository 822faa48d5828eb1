#include "plugin/Prelude.h"

#include "plugin/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace crw {

std::filesystem::path utf8Path(const std::string& text) { return std::filesystem::u8path(text); }

std::string pathText(const std::filesystem::path& path)
{
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool existsButNotRegular(const std::filesystem::path& path)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}

#ifdef _WIN32

ReadResult readSmallFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& text, std::string& why)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        why = "no such file";
        return ReadResult::Missing;
    }
    if (!std::filesystem::is_regular_file(status)) {
        why = "not a regular file";
        return ReadResult::NotRegular;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot be opened";
        return ReadResult::Unreadable;
    }
    text.assign(maxBytes + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) {
        why = "read error";
        return ReadResult::Unreadable;
    }
    if (text.size() > maxBytes) {
        why = "larger than " + std::to_string(maxBytes) + " bytes";
        return ReadResult::TooLarge;
    }
    return ReadResult::Ok;
}

#else

ReadResult readSmallFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& text, std::string& why)
{
    text.clear();
    // Non-blocking, so that opening a FIFO returns at once; the type is then
    // checked on the open descriptor, not on a name that may change meanwhile.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        why = std::strerror(err);
        return err == ENOENT || err == ENOTDIR ? ReadResult::Missing : ReadResult::Unreadable;
    }
    struct stat st {};
    ReadResult result = ReadResult::Ok;
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        result = ReadResult::Unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        result = ReadResult::NotRegular;
    } else if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        why = "larger than " + std::to_string(maxBytes) + " bytes";
        result = ReadResult::TooLarge;
    } else {
        // Sized by the file, and checked again while reading: it may grow.
        text.resize(static_cast<std::size_t>(st.st_size) + 1);
        std::size_t got = 0;
        for (;;) {
            if (got == text.size()) {
                if (got > maxBytes) {
                    break;
                }
                text.resize(std::min(maxBytes + 1, got * 2));
            }
            const ssize_t n = ::read(fd, &text[got], text.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                why = std::strerror(errno);
                result = ReadResult::Unreadable;
                break;
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
        if (result == ReadResult::Ok && got > maxBytes) {
            why = "larger than " + std::to_string(maxBytes) + " bytes";
            result = ReadResult::TooLarge;
        }
    }
    ::close(fd);
    if (result != ReadResult::Ok) {
        text.clear();
    }
    return result;
}

#endif

} // namespace crw
