// Who is waiting for a socket and who is listed: the seam between the sessions and where listings are kept.
#pragma once

#include "ListBudget.h"

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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

// Every method may be called from any I/O thread at once; implementations do their own locking.
//
// Calls that may need a shared store take a completion handler instead of answering at once. The handler runs
// exactly once, either inline (an in-memory registry) or on the registry's own thread, when the answer comes or the
// call's time-out fires; it must not block (a session hands the result to its own strand). `Unavailable` means the
// store did not answer in time or cannot be reached: the change is then known not to have been made, or is undone
// when the late answer comes, so that a refused claim never leaves a listing behind.
//
// Ownership rule: a registration belongs to the address that made it. While an id is pending or listed from one
// address, a /register or a socket claim for it from another address is refused and nothing of it changes; from
// the same address a new /register replaces the pending one, and its claim replaces the listing.
class Registry {
public:
    template <class T>
    using Done = std::function<void(T)>;

    virtual ~Registry() = default;

    enum class Register { Pending, TakenElsewhere, TooManyPending, Unavailable };
    // `entry` is the list layout of the registration (validated). When the registrations waiting are at their cap,
    // one from a network holding fewer than the busiest network takes the place of that network's oldest.
    virtual void addPending(const std::string& id, Json::Value entry, const std::string& address,
                            Done<Register> done) = 0;

    enum class Claim { Listed, NotPending, TakenElsewhere, Unavailable };
    // Moves a pending registration into the list, held by the given socket.
    virtual void claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
                       const std::string& address, Done<Claim> done) = 0;

    // Drops the listing only if this session still holds it, so that a stale socket cannot remove a newer one.
    // Never waits: a store that is away is cleaned up when it comes back.
    virtual void release(const std::string& id, std::uint64_t sessionId) = 0;

    // `Unavailable` for an update may hide one that was made late; sending it again is harmless.
    enum class Update { Updated, NotListed, WrongAddress, Unavailable };
    // Replaces a listed entry in place, only from the address that holds it.
    virtual void update(const std::string& id, Json::Value entry, const std::string& address,
                        Done<Update> done) = 0;

    enum class Invite {
        Delivered,      // handed to the player's socket
        NotListed,      // nobody listed under that id, or the socket is going away
        QueueFull,      // the player's socket has too many frames waiting
        RateLimited,    // the player receives too many invites
        AddressLimited, // the asker sends too many (checked here only by a registry shared by several nodes)
        Unavailable,    // the store did not answer in time; nothing was sent
        NoAnswer,       // the node holding the socket did not say in time what it did with the frame
    };
    struct InviteResult {
        Invite outcome = Invite::NotListed;
        std::string name; // the listed player's name, when listed
    };
    // Pushes `frame` to the listed player's socket (demo entries accept without a socket). Rate-limited per target,
    // with the target's share split among the networks asking, and per asking address when the registry is shared
    // by several nodes.
    virtual void deliverInvite(const std::string& id, const std::string& frame, const std::string& address,
                               Done<InviteResult> done) = 0;

    // A made-up entry held by the server itself; nobody can update, claim or remove it.
    virtual void addDemo(const std::string& id, Json::Value entry) = 0;

    // The whole "/list" answer, {"Searchers":[...]} in listing order. Immutable and shared: built once per change
    // of the listings, so a request costs no copy of any entry. Never waits for a store.
    virtual std::shared_ptr<const std::string> listBody() = 0;
    struct ListStats {
        std::size_t bytes = 0;
        std::size_t entries = 0;
        std::size_t leftOut = 0; // listed, but not in the answer for want of room
    };
    // What the current answer holds (building it if a change has not been serialised yet).
    virtual ListStats listStats() = 0;

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
    std::size_t maxPendingPerNetwork = 64;
    // The network an address counts in (see networkOf).
    unsigned networkBitsV4 = 24;
    unsigned networkBitsV6 = 64;
    // Invites toward one player: a bucket of `inviteBurstPerTarget`, refilled at this rate.
    double invitesPerTargetPerSecond = 5;
    double inviteBurstPerTarget = 20;
    // Invites from one address; counted by the registry only when it is shared by several nodes.
    double invitesPerAddressPerSecond = 2;
    double inviteBurstPerAddress = 10;
    // What "/list" may hold, shared per network (the first bits of the address that holds a listing).
    ListBudget listBudget;
};

} // namespace crw::server
