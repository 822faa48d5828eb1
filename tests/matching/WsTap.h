#pragma once
// A TCP relay between the plug-in's WebSocket and the server that forwards
// every byte unchanged and records the frames the plug-in sends.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace crwtest {

class WsTap {
public:
    struct Frame {
        int opcode = 0; // 1 text, 8 close
        std::string payload;
        int closeCode() const; // for close frames
        std::string closeReason() const;
    };

    // Listens on a free loopback port and relays to the given one.
    explicit WsTap(int upstreamPort);
    ~WsTap();
    WsTap(const WsTap&) = delete;
    WsTap& operator=(const WsTap&) = delete;

    int port() const { return port_; }
    int connections();
    std::vector<Frame> clientFrames(); // plug-in to server, in order
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    // Sends a close frame to the plug-in on the latest connection, as if the server had.
    void closeFromServer(int code, const std::string& reason);

private:
    void acceptLoop();
    void pump(int from, int to, bool fromClient);
    void record(std::string& buffer, bool& handshakeDone);

    int upstreamPort_;
    int listenFd_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool quit_ = false;
    int connections_ = 0;
    uint64_t seq_ = 0; // bumped on every record
    std::vector<Frame> frames_;
    std::vector<int> fds_;
    int lastClient_ = -1;
    std::mutex clientWriteMutex_; // keeps an injected frame from splitting a relayed one
    std::vector<std::thread> threads_;
    std::thread acceptThread_;
};

} // namespace crwtest
