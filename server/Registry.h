// Who is waiting for a socket and who is listed: the seam between the sessions and where listings are kept.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace crw::server {

// Something an invite notification can be pushed to (a WebSocket session). Callable from any thread.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Queues one text frame; false (and nothing queued) when the sink's outgoing queue is full.
    virtual bool trySend(std::string text) = 0;
    // The cluster no longer lists this socket's player (swept, taken over, removed by a fault): the socket is closed
    // so that the player hears it instead of holding a listing that is gone.
    virtual void unlisted() {}
};

// Thrown by a registry whose shared store cannot be reached; the request is answered 503.
struct RegistryUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Every method may be called from any I/O thread at once; implementations do their own locking.
//
// Ownership rule: a registration belongs to the address that made it. While an id is pending or listed from one
// address, a /register or a socket claim for it from another address is refused and nothing of it changes; from
// the same address a new /register replaces the pending one, and its claim replaces the listing.
class Registry {
public:
    virtual ~Registry() = default;

    enum class Register { Pending, TakenElsewhere, TooManyPending };
    // `entry` is the list layout of the registration (validated).
    virtual Register addPending(const std::string& id, Json::Value entry, const std::string& address) = 0;

    enum class Claim { Listed, NotPending, TakenElsewhere };
    // Moves a pending registration into the list, held by the given socket.
    virtual Claim claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
                        const std::string& address) = 0;

    // Drops the listing only if this session still holds it, so that a stale socket cannot remove a newer one.
    virtual void release(const std::string& id, std::uint64_t sessionId) = 0;

    enum class Update { Updated, NotListed, WrongAddress };
    // Replaces a listed entry in place, only from the address that holds it.
    virtual Update update(const std::string& id, Json::Value entry, const std::string& address) = 0;

    enum class Invite { Delivered, NotListed, QueueFull, RateLimited };
    struct InviteResult {
        Invite outcome = Invite::NotListed;
        std::string name; // the listed player's name, when listed
    };
    // Pushes `frame` to the listed player's socket (demo entries accept without a socket). Rate-limited per target.
    virtual InviteResult deliverInvite(const std::string& id, const std::string& frame) = 0;

    // A made-up entry held by the server itself; nobody can update, claim or remove it.
    virtual void addDemo(const std::string& id, Json::Value entry) = 0;

    // The whole "/list" answer, {"Searchers":[...]} in listing order. Immutable and shared: built once per change
    // of the listings, so a request costs no copy of any entry.
    virtual std::shared_ptr<const std::string> listBody() = 0;

    // Forgets pending registrations past their time; returns how many.
    virtual std::size_t dropExpiredPending() = 0;
    virtual void clear() = 0;
    virtual std::size_t listedCount() const = 0;
    virtual std::size_t pendingCount() const = 0;
};

struct RegistryLimits {
    // A /register that no WebSocket claims within this time is forgotten.
    std::chrono::milliseconds pendingTimeout{30000};
    std::size_t maxPending = 20000;
    std::size_t maxPendingPerAddress = 16;
    // Invites toward one player: a bucket of `inviteBurstPerTarget`, refilled at this rate.
    double invitesPerTargetPerSecond = 5;
    double inviteBurstPerTarget = 20;
};

} // namespace crw::server
