// The registry of a node in a cluster: pending registrations and listings live in Redis, each node keeps a mirror of
// every listing (kept current by published changes) and the sockets of its own players.
#pragma once

#include "ClusterMessages.h"
#include "RedisClient.h"
#include "Registry.h"

#include <boost/asio/steady_timer.hpp>

#include <stdexcept>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <unordered_map>

namespace crw::server {

class Metrics;

struct RedisRegistryOptions {
    std::string host = "127.0.0.1";
    unsigned short port = 6379;
    std::string password; // AUTH on every connection when set
    unsigned db = 0;      // SELECT
    // Starts every key and channel of the cluster, so that several clusters can share one Redis.
    std::string prefix = "crw:";
    std::string nodeId;
    // Liveness: refreshed every heartbeat, gone after nodeTtl; a survivor sweeps a node that is gone.
    std::chrono::milliseconds heartbeat{1000};
    std::chrono::milliseconds nodeTtl{5000};
    // How long a request waits for Redis before it is answered 503 (an invite: also for the node holding the socket).
    std::chrono::milliseconds callTimeout{1000};
    // Link health: a message through both connections this often; the link is dropped when one is not back in time.
    std::chrono::milliseconds pingInterval{1000};
    std::chrono::milliseconds pingTimeout{3000};
    // Connection news ("redis: ...").
    std::function<void(std::string)> log;
    // Called once, on the client's thread, when this node must stop: its id is held by another live process.
    std::function<void(std::string)> fatal;
    // The limits hold across the cluster.
    RegistryLimits limits;
};

// Requests never wait on an I/O thread: each call is handed to the Redis thread and completes there when its script
// answers or its time-out fires (Unavailable). A claim whose answer comes after its time-out is released at once;
// one whose answer never comes is dropped by the restore that follows the reconnection.
class RedisRegistry : public Registry {
public:
    RedisRegistry(RedisRegistryOptions options, Metrics* metrics);
    ~RedisRegistry() override;

    void start();
    // Takes this node's listings out of Redis (a node that stops says goodbye), fails every call still waiting and
    // stops the client.
    void shutdown();

    // Whether this process holds its node id in the cluster. A second process started with a live node's id waits
    // until that node's liveness could have run out, then is refused: it lists nobody and never touches that node's
    // listings.
    enum class Identity { Unknown, Held, Waiting, Refused };
    Identity identity() const { return identity_.load(); }
    // Waits until the id is held or refused, or up to `limit`; gives up early while Redis cannot be reached.
    Identity waitIdentity(std::chrono::milliseconds limit);

    void addPending(const std::string& id, Json::Value entry, const std::string& address,
                    Done<Register> done) override;
    void claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
               const std::string& address, Done<Claim> done) override;
    void release(const std::string& id, std::uint64_t sessionId) override;
    void update(const std::string& id, Json::Value entry, const std::string& address, Done<Update> done) override;
    // Counts the invite against the asker's and the target's limits (cluster-wide) and hands the frame to the
    // target's socket, wherever it is; a frame for another node is answered with what that node did with it.
    void deliverInvite(const std::string& id, const std::string& frame, const std::string& address,
                       Done<InviteResult> done) override;
    // Held by this server itself, on this node only.
    void addDemo(const std::string& id, Json::Value entry) override;
    // Every node's players in listing order; rebuilt once per change.
    std::shared_ptr<const std::string> listBody() override;
    ListStats listStats() override;
    // Redis expires pending registrations itself.
    std::size_t dropExpiredPending() override { return 0; }
    void clear() override;
    std::size_t listedCount() const override;
    std::size_t pendingCount() const override { return pendingCount_.load(); }
    // What Redis answered when it last refused the connection (a wrong password, say); empty when it never did.
    std::string refusal() const;
    bool available() const { return client_.connected() && identity_.load() == Identity::Held; }
    const std::string& nodeId() const { return options_.nodeId; }
    RedisClient& client() { return client_; }

private:
    struct Item {
        std::uint64_t order = 0;
        std::string node; // empty for the demo searchers
        std::string socket;
        std::string name;
        std::string entry; // compact JSON of the list entry
        std::uint32_t hash = 0;
        std::string network; // what its share of "/list" counts by
    };
    // A socket of this node. `order` and `entry` are what a restore puts back: the last the change feed said for this
    // socket's listing, whichever node accepted the change.
    struct Owner {
        std::string socket;
        std::weak_ptr<FrameSink> sink;
        std::string address;
        std::uint64_t order = 0;
        std::string entry;
    };
    // What Redis held at one change number, from the heartbeat.
    struct Check {
        std::uint64_t ev = 0;
        std::uint64_t count = 0;
        std::uint32_t digest = 0;
    };
    using Evicted = std::vector<std::shared_ptr<FrameSink>>;
    enum class Applied { Ok, Old, Gap, Diverged };

    // A call waiting for Redis: completed once, by its answer or by its time-out (with `failed`).
    struct OpBase {
        explicit OpBase(boost::asio::io_context& ioc) : timer(ioc) {}
        virtual ~OpBase() = default;
        virtual void fail() = 0;
        std::uint64_t id = 0;
        boost::asio::steady_timer timer;
    };
    template <class T>
    struct Op;

    // Runs `work` on the Redis thread; `refuse` instead when the registry has shut down.
    void onRedisThread(std::function<void()> work, std::function<void()> refuse);
    // On the Redis thread: a call that fails with `failed` unless finished within the call time-out.
    template <class T>
    std::shared_ptr<Op<T>> open(Done<T> done, T failed);
    // Completes the call unless it already ended; false when it had (timed out, or shut down).
    template <class T>
    bool finish(Op<T>& op, T value);
    void forget(std::uint64_t id);
    void eval(const char* script, std::vector<std::string> args, RedisClient::Callback callback);
    std::string socketName(std::uint64_t sessionId) const;
    // On the Redis thread: runs `then` once this node has applied change `ev` (or the link went down).
    void afterApplied(std::uint64_t ev, std::function<void()> then);
    // Runs the waiters whose change is applied; every one with `all` (the link went down, or the counter was reset).
    void runAppliedWaiters(bool all = false);
    void setIdentity(Identity identity);
    void failEverything();

    // On the client's thread.
    void onMessage(const std::string& channel, const std::string& payload);
    void onInviteAnswer(const std::string& payload);
    void onReady();
    void onLost();
    void onRefused(const std::string& why);
    std::string lua(const char* script) const { return prelude_ + script; }
    Applied applyEvent(const ChangeEvent& event, Evicted& evicted);
    void applySnapshot(const RedisReply& reply);
    void applySnapshotLocked(const RedisReply& reply);
    void heartbeat();
    void onHeartbeat(const RedisReply& reply, std::chrono::steady_clock::time_point sent);
    // Redis's clock, in ms, by which a call opened now must have run; 0 while Redis's clock is not known yet.
    std::int64_t redisDeadline() const;
    void measureClock(std::chrono::steady_clock::time_point sent, std::int64_t redisMs);
    void restore();
    void onTwin();
    // Puts this node's players back and rebuilds the mirror from a full snapshot; `delay` for a retry.
    void resync(const char* why, std::chrono::milliseconds delay = {});
    void resyncNow(const char* why);
    void badMessage(const char* what, const std::string& payload);
    std::string networkKey(const Listing& l) const;
    static void evict(const Evicted& sinks);

    // Callers hold mutex_.
    void putItem(const std::string& id, Item item);
    void eraseItem(const std::string& id);
    void adopt(const std::string& id, const Item& item, Evicted& evicted);
    // Whether the mirror matches what Redis held at `check`, and this node's sockets match its listings.
    bool consistent(const Check& check) const;
    bool ownConsistent() const;
    // A discrepancy counts only when the next check still sees one: changes in flight explain a single one.
    bool suspect(bool mismatch);

    const RedisRegistryOptions options_;
    Metrics* const metrics_;
    // Publish/subscribe ignores databases: channels carry the database number besides the prefix.
    const std::string channels_;
    const std::string prelude_; // the scripts' common part, after the key and channel prefixes
    const std::string events_;
    const std::string boot_; // tells this process's sockets from those of an earlier one with the same node id
    RedisClient client_;
    std::atomic<Identity> identity_{Identity::Unknown};

    // Client's thread only.
    std::optional<boost::asio::steady_timer> beat_;
    std::optional<boost::asio::steady_timer> resyncTimer_;
    std::chrono::milliseconds resyncBackoff_{0};
    std::optional<std::chrono::steady_clock::time_point> twinSince_;
    std::chrono::steady_clock::time_point lastBadLog_{};
    std::uint64_t badSinceLog_ = 0;
    // Redis's clock minus the steady clock, in ms, measured by the heartbeat.
    std::optional<std::int64_t> redisClockOffset_;

    // Redis thread only: the calls still waiting (by id; an invite's id is also its answer token), invites waiting
    // for the node that holds the socket, and calls waiting for their own change to come back.
    std::unordered_map<std::uint64_t, std::shared_ptr<OpBase>> ops_;
    std::unordered_map<std::uint64_t, std::weak_ptr<Op<InviteResult>>> invites_;
    std::multimap<std::uint64_t, std::function<void()>> appliedWaiters_;
    std::uint64_t nextOp_ = 0;
    bool closed_ = false;

    // Every member below is guarded by mutex_: requests come from the I/O threads, changes from the client's thread.
    mutable std::mutex mutex_;
    std::condition_variable identityChanged_;
    std::string refusal_;
    std::unordered_map<std::string, Item> items_;
    std::map<std::pair<std::uint64_t, std::string>, const Item*> ordered_;
    std::unordered_map<std::string, Owner> owners_;
    mutable std::shared_ptr<const std::string> snapshot_; // null when a change has not been serialised yet
    ListStats stats_;                                     // of snapshot_
    std::uint64_t appliedEv_ = 0;
    bool syncing_ = false; // a snapshot is on its way; events wait in held_
    std::vector<ChangeEvent> held_;
    std::uint32_t digest_ = 0;   // XOR of the hashes of every node's listings in items_
    std::uint64_t nodeItems_ = 0; // listings in items_ that belong to a node (not demo searchers)
    std::optional<Check> pendingCheck_; // compared once the feed reaches its change number
    bool suspect_ = false;

    std::atomic<std::size_t> pendingCount_{0};
};

} // namespace crw::server
