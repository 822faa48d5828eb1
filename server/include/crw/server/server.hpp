// Crewfinder matchmaking server: HTTP and WebSocket on one port.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace crw::server {

struct ServerOptions {
    // A /register that no WebSocket claims within this time is forgotten.
    std::chrono::milliseconds pendingTimeout{30000};
    std::chrono::milliseconds headerTimeout{10000};
    std::chrono::milliseconds bodyTimeout{10000};
    // Idle WebSocket connections are pinged; one that stays silent this long is dropped.
    std::chrono::milliseconds wsIdleTimeout{60000};
    // How long stop() waits for clients to answer the 1001 close before cutting them off.
    std::chrono::milliseconds stopGrace{2000};
    std::size_t maxBodyBytes = 64 * 1024;
    std::size_t maxConnections = 512;
    unsigned ioThreads = 2;
    // Made-up searchers held by the server itself, so that a fresh list is not empty.
    unsigned demoSearchers = 0;
    // One line per request; empty means standard output.
    std::function<void(const std::string&)> log;
};

class Server {
public:
    explicit Server(ServerOptions options = {});
    ~Server(); // stops if running
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, listens and starts the I/O threads; returns the bound port (port 0 picks a free one).
    // Throws std::runtime_error when the address is invalid or cannot be bound, or when already running.
    unsigned short start(const std::string& bindAddress, unsigned short port);

    // Closes every WebSocket with 1001, every HTTP connection, and joins the I/O threads. Idempotent.
    void stop();

    bool running() const;
    unsigned short port() const;

    // Number of players currently in the list (demo searchers included).
    std::size_t listedCount() const;
    // Number of registrations waiting for their WebSocket.
    std::size_t pendingCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace crw::server
