// State shared by the listener and every session of one running server.
#pragma once

#include "crw/server/Server.h"
#include "LocalRegistry.h"
#include "Log.h"
#include "Metrics.h"
#include "NetworkBooks.h"
#include "ProxyProtocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace crw::server {

// A live connection; shutdown() may be called from any thread and must hop onto the session's strand.
class Session {
public:
    virtual ~Session() = default;
    virtual void shutdown() = 0;

    // What admission looks at when the server is full and must choose a connection to give up. Written by the
    // session's strand, read under Core's sessions lock: atomics, so that neither waits for the other.
    void touch() { lastActive_.store(std::chrono::steady_clock::now().time_since_epoch().count()); }
    void holdsListing(bool held) { listed_.store(held); }
    std::int64_t lastActive() const { return lastActive_.load(); }
    bool listed() const { return listed_.load(); }

private:
    std::atomic<std::int64_t> lastActive_{std::chrono::steady_clock::now().time_since_epoch().count()};
    std::atomic<bool> listed_{false};
};

// Token buckets keyed by address. Callable from any thread.
class RateLimiter {
public:
    RateLimiter(double perSecond, double burst) : perSecond_(perSecond), burst_(burst) {}
    // Takes one token; false when the address has none left.
    bool take(const std::string& address);
    // Forgets addresses whose bucket is full again.
    void prune();

private:
    struct Bucket {
        double tokens;
        std::chrono::steady_clock::time_point at;
    };
    const double perSecond_;
    const double burst_;
    std::mutex mutex_; // guards buckets_
    std::unordered_map<std::string, Bucket> buckets_;
};

class RedisRegistry;

class Core {
public:
    explicit Core(ServerOptions opts);

    const ServerOptions options;
    const TrustedProxies trustedProxies;
    Registry& registry() { return *registry_; }
    // The registry of a node in a cluster; null for a single node.
    RedisRegistry* cluster() { return cluster_; }
    Metrics metrics;
    RateLimiter invitesFromAddress;

    // Every line starts with the UTC time and the node's name ("-" for a single node).
    void log(const std::string& line);

    enum class Admit { Ok, Stopping, Full, AddressFull };
    // Registers a live session; `handoff` (a connection changing hands) is never refused for numbers. When the
    // server is full, a newcomer whose network holds fewer connections than the busiest one takes the place of
    // that network's idlest connection without a listing.
    Admit addSession(std::weak_ptr<Session> session, bool handoff, const std::string& address, std::uint64_t& id);
    void removeSession(std::uint64_t id);
    bool stopping() const;
    std::size_t sessionCount() const;

    // Counted here and logged by the listener once a second, not a line each.
    std::atomic<std::uint64_t> refusedFull{0};
    std::atomic<std::uint64_t> refusedAddress{0};
    // Tells the listener of a refusal made after accepting (a balancer's client, known once its header is read).
    // Set before the I/O threads start, read-only after.
    std::function<void()> onLateRefusal;

    // Marks the server as stopping and returns every live session.
    std::vector<std::shared_ptr<Session>> beginStop();
    // Waits until every session is gone or the time is up.
    bool waitForSessions(std::chrono::milliseconds limit);

    // A draining node takes no new players and reports unhealthy; it serves the ones it has as before.
    std::atomic<bool> draining{false};
    // Listings held by this node's sockets: counted for the shutdown line.
    std::atomic<std::size_t> listingsHeld{0};
    std::size_t webSocketCount() const;
    // Waits until no WebSocket is left, the server stops, or the time is up; true when none is left.
    bool waitForWebSockets(std::chrono::milliseconds limit);

private:
    struct Entry {
        std::weak_ptr<Session> session;
        std::string address;
        std::string network;
        bool webSocket;
    };
    // Takes off the books the idlest unlisted session of one of the busiest networks holding more than `than`
    // sessions; `victim` is then the session to shut (null when it was already going). False when there is none.
    // Every session it looked at is kept in `looked`, for the caller to let go of after the lock.
    bool evictLocked(std::size_t than, std::shared_ptr<Session>& victim, std::vector<std::shared_ptr<Session>>& looked);
    void forgetLocked(std::unordered_map<std::uint64_t, Entry>::iterator it);
    AsyncLog log_;
    std::unique_ptr<Registry> registry_;
    RedisRegistry* cluster_ = nullptr; // the same object as registry_, when clustered
    const std::string node_; // this node's name in log lines
    // sessions_, books_, webSockets_, nextSessionId_ and stopping_ are guarded by sessionsMutex_.
    mutable std::mutex sessionsMutex_;
    std::condition_variable sessionsGone_;
    std::unordered_map<std::uint64_t, Entry> sessions_;
    NetworkBooks<std::uint64_t> books_; // session ids
    std::size_t webSockets_ = 0;
    std::uint64_t nextSessionId_ = 1;
    bool stopping_ = false;
};

// Per-connection bookkeeping: unregisters the session when the last handler lets go of it.
class SessionSlot {
public:
    SessionSlot() = default;
    SessionSlot(std::shared_ptr<Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}
    SessionSlot(SessionSlot&& other) noexcept : core_(std::move(other.core_)), id_(other.id_) { other.id_ = 0; }
    SessionSlot& operator=(SessionSlot&& other) noexcept
    {
        reset();
        core_ = std::move(other.core_);
        id_ = other.id_;
        other.id_ = 0;
        return *this;
    }
    ~SessionSlot() { reset(); }
    void reset()
    {
        if (id_ && core_)
            core_->removeSession(id_);
        id_ = 0;
    }
    std::uint64_t id() const { return id_; }

private:
    std::shared_ptr<Core> core_;
    std::uint64_t id_ = 0;
};

} // namespace crw::server
