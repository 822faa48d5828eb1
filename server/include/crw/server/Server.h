// Crewfinder matchmaking server: HTTP and WebSocket on one port.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace crw::server {

struct ServerOptions {
    // A /register that no WebSocket claims within this time is forgotten.
    std::chrono::milliseconds pendingTimeout{30000};
    // Also how long a keep-alive connection may sit idle between requests.
    std::chrono::milliseconds headerTimeout{10000};
    std::chrono::milliseconds bodyTimeout{10000};
    // Idle WebSocket connections are pinged; one that stays silent this long is dropped.
    std::chrono::milliseconds wsIdleTimeout{60000};
    // A WebSocket that holds no listing this long after its handshake is closed with 1008.
    std::chrono::milliseconds wsClaimTimeout{5000};
    // A WebSocket whose writes make no progress this long is dropped.
    std::chrono::milliseconds wsWriteStall{20000};
    // Kernel send buffer of each WebSocket in bytes (0: the system's, which grows up to megabytes per socket).
    std::size_t wsSendBuffer = 0;
    // How long stop() waits for clients to answer the 1001 close before cutting them off.
    std::chrono::milliseconds stopGrace{2000};
    std::size_t maxBodyBytes = 64 * 1024;
    // Room for 10,000 listed players, their list requests and some headroom.
    std::size_t maxConnections = 12000;
    // Connections from one address; a fair share, so that one client cannot lock everyone out.
    std::size_t maxPerAddress = 32;
    // The same for one network (see networkBitsV4/V6): a household or an office behind one range gets a few
    // addresses' worth, a range someone rents gets no more.
    std::size_t maxPerNetwork = 128;
    std::size_t maxPending = 20000;
    std::size_t maxPendingPerAddress = 16;
    std::size_t maxPendingPerNetwork = 64;
    // Limits that count per address also count per network: an IPv4 address's first bits, an IPv6 address's.
    unsigned networkBitsV4 = 24;
    unsigned networkBitsV6 = 64;
    // Invites sent from one address, and received by one player: a burst, refilled at a steady rate.
    double invitesPerAddressPerSecond = 2;
    double inviteBurstPerAddress = 10;
    double invitesPerTargetPerSecond = 5;
    double inviteBurstPerTarget = 20;
    // "/list" never holds more than this many bytes nor entries (the plug-in reads 8 MiB and keeps 20,000); when
    // the listings do not fit, each network gets a fair share and the rest goes to the most recently registered.
    std::size_t listBudgetBytes = 7 * 1024 * 1024 + 512 * 1024;
    std::size_t listBudgetEntries = 20000;
    unsigned ioThreads = 2;
    // HOST:PORT of the Redis shared by the nodes of a cluster; empty for a single node that needs no Redis.
    std::string redis;
    // This node's name in the cluster; empty means "hostname:port".
    std::string nodeId;
    // Redis shared with others: AUTH password (empty: none), database number, and the start of every key and channel
    // of this cluster (clusters with different prefixes never see each other).
    std::string redisPassword;
    unsigned redisDb = 0;
    std::string redisPrefix = "crw:";
    // A node whose liveness in Redis is older than this is taken for dead and its listings are swept.
    std::chrono::milliseconds nodeTtl{5000};
    // Balancers (addresses or CIDR ranges) whose connections start with a PROXY protocol header (v1 or v2) naming
    // the client; a connection from one without a valid header is closed. Nobody else may send such a header.
    std::vector<std::string> trustedProxies;
    // Called (from a thread of the server's) when a running node must stop because another live process holds its
    // node id; the caller then stops the server.
    std::function<void(const std::string&)> onFatal;
    // How long a request waits for Redis (and an invite for the node holding the socket) before it is answered 503.
    std::chrono::milliseconds redisTimeout{1000};
    // Where "/metrics" is answered: empty for the public port (an embedded server), "off" for nowhere, or
    // "ADDRESS:PORT" for a listener of its own that answers nothing else (port 0 picks a free one).
    std::string metricsBind;
    // Made-up searchers held by the server itself, so that a fresh list is not empty.
    unsigned demoSearchers = 0;
    // One line per request, written by a thread of its own; empty means standard output.
    std::function<void(const std::string&)> log;
    // Lines waiting for a slow log reader; past this they are dropped and counted.
    std::size_t logQueueLines = 10000;
};

class Server {
public:
    explicit Server(ServerOptions options = {});
    ~Server(); // stops if running
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, listens and starts the I/O threads; returns the bound port (port 0 picks a free one).
    // Throws std::runtime_error when the address is invalid or cannot be bound, when already running, or when
    // another live node of the cluster holds this node's id.
    unsigned short start(const std::string& bindAddress, unsigned short port);

    // Closes every WebSocket with 1001, every HTTP connection, and joins the I/O threads. Idempotent.
    void stop();

    // Starts a drain: "/health" answers 503 so that a balancer sends new players elsewhere, and "/register" is
    // refused; the players already here are served as before (and stay listed in a cluster) until they leave.
    void drain();
    // Waits until no player's WebSocket is left, stop() runs, or the time is up; true when none is left.
    bool waitDrained(std::chrono::milliseconds limit);

    bool running() const;
    unsigned short port() const;
    // The port of the "/metrics" listener; 0 when it has none.
    unsigned short metricsPort() const;

    // Number of players currently in the list (demo searchers included).
    std::size_t listedCount() const;
    // Number of registrations waiting for their WebSocket.
    std::size_t pendingCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace crw::server
