#include "WsTap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace crwtest {

namespace {

int loopbackSocket(int port, bool listenOn, int* boundPort)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (listenOn) {
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
            ::close(fd);
            throw std::runtime_error("bind");
        }
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        *boundPort = ntohs(addr.sin_port);
    } else if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int WsTap::Frame::closeCode() const
{
    if (payload.size() < 2) {
        return 1005;
    }
    return (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
}

std::string WsTap::Frame::closeReason() const { return payload.size() > 2 ? payload.substr(2) : ""; }

WsTap::WsTap(int upstreamPort) : upstreamPort_(upstreamPort)
{
    listenFd_ = loopbackSocket(0, true, &port_);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

WsTap::~WsTap()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        for (int fd : fds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& t : threads) {
        t.join();
    }
    ::close(listenFd_);
    for (int fd : fds_) {
        ::close(fd);
    }
}

int WsTap::connections()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

std::vector<WsTap::Frame> WsTap::clientFrames()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

bool WsTap::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    // pred locks through the accessors, so it runs unlocked; the counter makes
    // sure nothing recorded in between is missed.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen = seq_;
        }
        if (pred()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_until(lock, deadline, [&] { return seq_ != seen; })) {
            lock.unlock();
            return pred();
        }
    }
}

void WsTap::acceptLoop()
{
    for (;;) {
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        int server = loopbackSocket(upstreamPort_, false, nullptr);
        std::lock_guard<std::mutex> lock(mutex_);
        fds_.push_back(client);
        if (quit_ || server < 0) {
            ::shutdown(client, SHUT_RDWR);
            if (server >= 0) {
                ::close(server);
            }
            continue;
        }
        fds_.push_back(server);
        lastClient_ = client;
        ++connections_;
        ++seq_;
        cv_.notify_all();
        threads_.emplace_back([this, client, server] { pump(client, server, true); });
        threads_.emplace_back([this, client, server] { pump(server, client, false); });
    }
}

void WsTap::pump(int from, int to, bool fromClient)
{
    std::string buffer;
    bool handshakeDone = false;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(from, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        if (fromClient) {
            buffer.append(chunk, static_cast<std::size_t>(n));
            record(buffer, handshakeDone);
        }
        std::unique_lock<std::mutex> writeLock(clientWriteMutex_, std::defer_lock);
        if (!fromClient) {
            writeLock.lock();
        }
        for (ssize_t sent = 0; sent < n;) {
            const ssize_t k = ::send(to, chunk + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
            if (k <= 0) {
                break;
            }
            sent += k;
        }
    }
    // Either side gone: end both directions so the other pump returns too.
    ::shutdown(from, SHUT_RDWR);
    ::shutdown(to, SHUT_RDWR);
}

void WsTap::closeFromServer(int code, const std::string& reason)
{
    int client;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client = lastClient_;
    }
    // Server frames are not masked; a reason under 124 bytes fits the short length.
    std::string frame;
    frame += static_cast<char>(0x88);
    frame += static_cast<char>(2 + reason.size());
    frame += static_cast<char>((code >> 8) & 0xff);
    frame += static_cast<char>(code & 0xff);
    frame += reason;
    std::lock_guard<std::mutex> lock(clientWriteMutex_);
    ::send(client, frame.data(), frame.size(), MSG_NOSIGNAL);
}

void WsTap::record(std::string& buffer, bool& handshakeDone)
{
    if (!handshakeDone) {
        const auto end = buffer.find("\r\n\r\n");
        if (end == std::string::npos) {
            return;
        }
        buffer.erase(0, end + 4);
        handshakeDone = true;
    }
    for (;;) {
        if (buffer.size() < 2) {
            return;
        }
        const auto b0 = static_cast<unsigned char>(buffer[0]);
        const auto b1 = static_cast<unsigned char>(buffer[1]);
        std::size_t pos = 2;
        uint64_t length = b1 & 0x7f;
        if (length == 126 || length == 127) {
            const std::size_t bytes = length == 126 ? 2 : 8;
            if (buffer.size() < pos + bytes) {
                return;
            }
            length = 0;
            for (std::size_t i = 0; i < bytes; ++i) {
                length = (length << 8) | static_cast<unsigned char>(buffer[pos + i]);
            }
            pos += bytes;
        }
        const bool masked = (b1 & 0x80) != 0;
        unsigned char mask[4] = {};
        if (masked) {
            if (buffer.size() < pos + 4) {
                return;
            }
            for (int i = 0; i < 4; ++i) {
                mask[i] = static_cast<unsigned char>(buffer[pos + i]);
            }
            pos += 4;
        }
        if (buffer.size() < pos + length) {
            return;
        }
        Frame frame;
        frame.opcode = b0 & 0x0f;
        frame.payload = buffer.substr(pos, length);
        for (std::size_t i = 0; masked && i < frame.payload.size(); ++i) {
            frame.payload[i] = static_cast<char>(frame.payload[i] ^ mask[i % 4]);
        }
        buffer.erase(0, pos + length);
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(std::move(frame));
        ++seq_;
        cv_.notify_all();
    }
}

} // namespace crwtest
