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

bool isLink(const std::filesystem::path& path)
{
    std::error_code ec;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}

#ifdef _WIN32

bool writeSmallFile(const std::filesystem::path& path, const std::string& text, std::string& why)
{
    std::error_code ec;
    const auto own = std::filesystem::symlink_status(path, ec);
    const auto target = std::filesystem::status(path, ec);
    if (std::filesystem::is_symlink(own) && !std::filesystem::exists(target)) {
        why = "a link to nothing";
        return false;
    }
    if (std::filesystem::exists(target) && !std::filesystem::is_regular_file(target)) {
        why = "not a regular file";
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        out << text;
        out.close();
    }
    if (!out.good()) {
        why = "the file could not be written";
        return false;
    }
    return true;
}

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

namespace {

bool writeAll(int fd, const std::string& text, std::string& why)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            why = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool writeSmallFile(const std::filesystem::path& path, const std::string& text, std::string& why)
{
    // An existing file first, without O_CREAT: a link is followed only to a
    // target that is there. The type is checked on the descriptor before
    // anything is cut.
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
        // Missing, or a link to nothing: O_EXCL refuses to create through a
        // link, even one put there after the first open.
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd < 0 && errno == EEXIST) {
            why = isLink(path) ? "a link to nothing" : "it appeared while being created";
            return false;
        }
    }
    if (fd < 0) {
        why = errno == ENXIO ? "not a regular file" : std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (::ftruncate(fd, 0) != 0) {
        why = std::strerror(errno);
    } else {
        ok = writeAll(fd, text, why);
    }
    if (::close(fd) != 0 && ok) {
        why = std::strerror(errno);
        ok = false;
    }
    return ok;
}

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
