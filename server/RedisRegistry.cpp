#include "RedisRegistry.h"


#include "Metrics.h"
#include "Network.h"
#include "RedisScripts.h"
#include "Registration.h"

#include <boost/asio/post.hpp>

#include <fmt/format.h>

#include <future>
#include <random>

namespace crw::server {

namespace {

// Changes held while a snapshot is on its way; past this they are dropped and the gap that follows asks for another.
constexpr std::size_t kMaxHeld = 100000;
constexpr std::chrono::milliseconds kMinResync{100};
constexpr std::chrono::milliseconds kMaxResync{8000};

std::string bootToken()
{
    std::random_device rd;
    return fmt::format("{:08x}{:08x}", rd(), rd());
}

std::string word(const RedisReply& r, std::size_t i = 0)
{
    if (r.type == RedisReply::Type::Array)
        return i < r.elements.size() ? r.elements[i].str : std::string();
    return i == 0 ? r.str : std::string();
}

std::uint64_t integer(const RedisReply& r, std::size_t i)
{
    if (r.type != RedisReply::Type::Array || i >= r.elements.size())
        return 0;
    const auto& e = r.elements[i];
    return e.type == RedisReply::Type::Integer ? static_cast<std::uint64_t>(e.integer)
                                               : std::strtoull(e.str.c_str(), nullptr, 10);
}

RedisClient::Options clientOptions(const RedisRegistryOptions& o, const std::string& channels)
{
    RedisClient::Options c;
    c.host = o.host;
    c.port = o.port;
    c.healthChannel = fmt::format("{}h:{}:{}", channels, o.nodeId, bootToken());
    c.password = o.password;
    c.db = o.db;
    c.pingInterval = o.pingInterval;
    c.pingTimeout = o.pingTimeout;
    return c;
}

std::int64_t steadyMs(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

} // namespace

template <class T>
struct RedisRegistry::Op : OpBase {
    Op(boost::asio::io_context& ioc, Done<T> d, T f) : OpBase(ioc), done(std::move(d)), failed(f) {}
    void fail() override { complete(failed); }
    bool complete(T value)
    {
        if (!done)
            return false;
        auto d = std::move(done);
        done = nullptr;
        d(std::move(value));
        return true;
    }
    Done<T> done;
    T failed; // the outcome of a time-out at this stage of the call
};

RedisRegistry::RedisRegistry(RedisRegistryOptions options, Metrics* metrics)
    : options_(std::move(options)), metrics_(metrics),
      channels_(options_.db ? fmt::format("{}db{}:", options_.prefix, options_.db) : options_.prefix),
      prelude_(fmt::format("local P, C = '{}', '{}'\n{}", options_.prefix, channels_, scripts::kPrelude)),
      events_(channels_ + "events"),
      boot_(bootToken()),
      client_(clientOptions(options_, channels_),
              {events_, channels_ + "i:" + options_.nodeId, channels_ + "r:" + options_.nodeId},
              RedisClient::Handlers{[this](const std::string& c, const std::string& p) { onMessage(c, p); },
                                    [this] { onReady(); }, [this] { onLost(); },
                                    [this](const std::string& why) { onRefused(why); }})
{
}

RedisRegistry::~RedisRegistry()
{
    failEverything();
    client_.stop();
}

void RedisRegistry::start() { client_.start(); }

void RedisRegistry::shutdown()
{
    // Calls still waiting fail first: a claim that lands late is then taken out by the goodbye that follows it.
    failEverything();
    // A process that never held its id leaves the listings under it alone: they are another process's.
    if (client_.connected() && identity_.load() == Identity::Held)
        client_.call({"EVAL", lua(scripts::kGoodbye), "0", options_.nodeId, boot_},
                     options_.callTimeout);
    client_.stop();
}

RedisRegistry::Identity RedisRegistry::waitIdentity(std::chrono::milliseconds limit)
{
    const auto start = std::chrono::steady_clock::now();
    auto decided = [this] {
        const Identity i = identity_.load();
        return i == Identity::Held || i == Identity::Refused || !refusal_.empty();
    };
    std::unique_lock<std::mutex> lock(mutex_);
    identityChanged_.wait_until(lock, start + std::min(limit, 2 * options_.callTimeout), decided);
    if (!decided() && identity_.load() == Identity::Unknown && !client_.connected())
        return identity_.load();
    identityChanged_.wait_until(lock, start + limit, decided);
    return identity_.load();
}

std::string RedisRegistry::refusal() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return refusal_;
}

void RedisRegistry::onRefused(const std::string& why)
{
    if (options_.log)
        options_.log(fmt::format("redis: {}:{} refused the connection: {}", options_.host, options_.port, why));
    std::lock_guard<std::mutex> lock(mutex_);
    refusal_ = why;
    identityChanged_.notify_all();
}

void RedisRegistry::setIdentity(Identity identity)
{
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
    identityChanged_.notify_all();
}

// Nothing may stay waiting once the client stops: a call's handler holds its session, which holds the server.
void RedisRegistry::failEverything()
{
    if (!client_.running())
        return;
    std::promise<void> done;
    boost::asio::post(client_.context(), [this, &done] {
        closed_ = true;
        auto ops = std::move(ops_);
        ops_.clear();
        invites_.clear();
        auto waiters = std::move(appliedWaiters_);
        appliedWaiters_.clear();
        for (auto& [id, op] : ops) {
            op->timer.cancel();
            op->fail();
        }
        for (auto& [ev, then] : waiters)
            then();
        done.set_value();
    });
    done.get_future().wait();
}

void RedisRegistry::onRedisThread(std::function<void()> work, std::function<void()> refuse)
{
    // The client runs what is still queued when it stops, so `refuse` is reached even then.
    boost::asio::post(client_.context(), [this, work = std::move(work), refuse = std::move(refuse)] {
        if (closed_)
            refuse();
        else
            work();
    });
}

template <class T>
std::shared_ptr<RedisRegistry::Op<T>> RedisRegistry::open(Done<T> done, T failed)
{
    auto op = std::make_shared<Op<T>>(client_.context(), std::move(done), failed);
    op->id = ++nextOp_;
    ops_[op->id] = op;
    op->timer.expires_after(options_.callTimeout);
    op->timer.async_wait([this, weak = std::weak_ptr<Op<T>>(op)](boost::system::error_code ec) {
        auto op = weak.lock();
        if (ec || !op)
            return;
        forget(op->id);
        op->fail();
    });
    return op;
}

template <class T>
bool RedisRegistry::finish(Op<T>& op, T value)
{
    if (!op.done)
        return false;
    forget(op.id);
    op.timer.cancel();
    return op.complete(std::move(value));
}

void RedisRegistry::forget(std::uint64_t id)
{
    ops_.erase(id);
    invites_.erase(id);
}

void RedisRegistry::eval(const char* script, std::vector<std::string> args, RedisClient::Callback callback)
{
    // Under an id another process holds, this node's changes would land among that node's listings.
    if (identity_.load() != Identity::Held)
        return callback(RedisReply::error("this node does not hold its id in the cluster"));
    args.insert(args.begin(), {"EVAL", lua(script), "0"});
    client_.send(std::move(args), std::move(callback));
}

std::string RedisRegistry::socketName(std::uint64_t sessionId) const { return fmt::format("{}.{}", boot_, sessionId); }

// A change made through this node shows in its own list before the request is answered.
void RedisRegistry::afterApplied(std::uint64_t ev, std::function<void()> then)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (appliedEv_ < ev && client_.connected()) {
            appliedWaiters_.emplace(ev, std::move(then));
            return;
        }
    }
    then();
}

void RedisRegistry::runAppliedWaiters(bool all)
{
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all = all || !client_.connected();
        auto end = all ? appliedWaiters_.end() : appliedWaiters_.upper_bound(appliedEv_);
        for (auto it = appliedWaiters_.begin(); it != end; ++it)
            ready.push_back(std::move(it->second));
        appliedWaiters_.erase(appliedWaiters_.begin(), end);
    }
    for (auto& then : ready)
        then();
}

void RedisRegistry::addPending(const std::string& id, Json::Value entry, const std::string& address,
                               Done<Register> done)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = items_.find(id);
        if (it != items_.end() && it->second.node.empty())
            return done(Register::TakenElsewhere); // a demo searcher
    }
    const auto& l = options_.limits;
    std::vector<std::string> args{id, address, toJson(entry), std::to_string(l.pendingTimeout.count()),
                                  std::to_string(l.maxPending), std::to_string(l.maxPendingPerAddress),
                                  networkOf(address, l.networkBitsV4, l.networkBitsV6),
                                  std::to_string(l.maxPendingPerNetwork)};
    auto shared = std::make_shared<Done<Register>>(std::move(done));
    // A pending registration written after its time-out is harmless: it expires unless its socket claims it.
    onRedisThread(
        [this, shared, args = std::move(args)]() mutable {
            auto op = open<Register>(std::move(*shared), Register::Unavailable);
            eval(scripts::kRegister, std::move(args), [this, op](RedisReply reply) {
                if (reply.isError())
                    return void(finish(*op, Register::Unavailable));
                const std::string w = word(reply);
                finish(*op, w == "ok"         ? Register::Pending
                            : w == "conflict" ? Register::TakenElsewhere
                                              : Register::TooManyPending);
            });
        },
        [shared] { (*shared)(Register::Unavailable); });
}

void RedisRegistry::claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
                          const std::string& address, Done<Claim> done)
{
    const std::string socket = socketName(sessionId);
    auto shared = std::make_shared<Done<Claim>>(std::move(done));
    onRedisThread(
        [this, shared, id, socket, sink = std::move(sink), address]() mutable {
            auto op = open<Claim>(std::move(*shared), Claim::Unavailable);
            eval(scripts::kClaim, {id, address, options_.nodeId, socket},
                 [this, op, id, socket, sink = std::move(sink), address](RedisReply reply) mutable {
                     const std::string w = reply.isError() ? std::string() : word(reply);
                     if (!op->done) {
                         // Refused already: a listing made after all must not outlive the refusal.
                         if (w == "ok")
                             client_.send({"EVAL", lua(scripts::kRelease), "0", id,
                                           options_.nodeId, socket},
                                          [](RedisReply) {});
                         return;
                     }
                     if (reply.isError())
                         return void(finish(*op, Claim::Unavailable));
                     if (w != "ok")
                         return void(finish(*op, w == "conflict" ? Claim::TakenElsewhere : Claim::NotPending));
                     Evicted evicted;
                     {
                         std::lock_guard<std::mutex> lock(mutex_);
                         Owner& owner = owners_[id];
                         if (!owner.socket.empty() && owner.socket != socket)
                             evicted.push_back(owner.sink.lock()); // this node's older socket for the same player
                         owner = Owner{socket, std::move(sink), address, integer(reply, 1), word(reply, 2)};
                     }
                     evict(evicted);
                     // Listed now, whether or not its own change comes back in time.
                     op->failed = Claim::Listed;
                     afterApplied(integer(reply, 3), [this, op] { finish(*op, Claim::Listed); });
                 });
        },
        [shared] { (*shared)(Claim::Unavailable); });
}

void RedisRegistry::release(const std::string& id, std::uint64_t sessionId)
{
    const std::string socket = socketName(sessionId);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = owners_.find(id);
        if (it == owners_.end() || it->second.socket != socket)
            return;
        owners_.erase(it);
        // Gone from this node's list at once, even with Redis away; the others hear it through Redis.
        auto item = items_.find(id);
        if (item != items_.end() && item->second.node == options_.nodeId && item->second.socket == socket)
            eraseItem(id);
    }
    // Not waited for. With Redis away, the restore cleans up.
    client_.command({"EVAL", lua(scripts::kRelease), "0", id, options_.nodeId, socket},
                    [](RedisReply) {});
}

void RedisRegistry::update(const std::string& id, Json::Value entry, const std::string& address, Done<Update> done)
{
    auto shared = std::make_shared<Done<Update>>(std::move(done));
    onRedisThread(
        [this, shared, id, text = toJson(entry), address]() mutable {
            auto op = open<Update>(std::move(*shared), Update::Unavailable);
            const std::string deadline = std::to_string(redisDeadline());
            eval(scripts::kUpdate, {id, address, text, deadline}, [this, op, id, text](RedisReply reply) {
                const std::string w = reply.isError() ? std::string() : word(reply);
                if (w == "ok") {
                    // Also when the answer is late: the owner's copy follows what Redis holds.
                    std::lock_guard<std::mutex> lock(mutex_);
                    auto it = owners_.find(id);
                    if (it != owners_.end())
                        it->second.entry = text; // what a restore puts back
                }
                if (!op->done)
                    return;
                if (reply.isError())
                    return void(finish(*op, Update::Unavailable));
                if (w == "late")
                    return void(finish(*op, Update::Unavailable));
                if (w != "ok")
                    return void(finish(*op, w == "wrong" ? Update::WrongAddress : Update::NotListed));
                op->failed = Update::Updated;
                afterApplied(integer(reply, 1), [this, op] { finish(*op, Update::Updated); });
            });
        },
        [shared] { (*shared)(Update::Unavailable); });
}

void RedisRegistry::deliverInvite(const std::string& id, const std::string& frame, const std::string& address,
                                  Done<InviteResult> done)
{
    InviteResult known;
    bool demo = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = items_.find(id);
        if (it != items_.end()) {
            known.name = it->second.name;
            demo = it->second.node.empty(); // held by this node alone, without a socket
        }
    }
    const auto& l = options_.limits;
    std::vector<std::string> args{id,
                                  options_.nodeId,
                                  address,
                                  fmt::format("{}", l.invitesPerAddressPerSecond),
                                  fmt::format("{}", l.inviteBurstPerAddress),
                                  fmt::format("{}", l.invitesPerTargetPerSecond),
                                  fmt::format("{}", l.inviteBurstPerTarget),
                                  demo ? "1" : "0",
                                  networkOf(address, l.networkBitsV4, l.networkBitsV6)};
    auto shared = std::make_shared<Done<InviteResult>>(std::move(done));
    auto result = [known](Invite outcome) {
        InviteResult r = known;
        r.outcome = outcome;
        return r;
    };
    onRedisThread(
        [this, shared, result, id, frame, args = std::move(args)]() mutable {
            auto op = open<InviteResult>(std::move(*shared), result(Invite::Unavailable));
            eval(scripts::kInvite, std::move(args), [this, op, result, id, frame](RedisReply reply) {
                if (!op->done)
                    return; // refused already, so nothing is sent
                if (reply.isError())
                    return void(finish(*op, result(Invite::Unavailable)));
                const std::string w = word(reply);
                if (w == "addrlimited")
                    return void(finish(*op, result(Invite::AddressLimited)));
                if (w == "limited")
                    return void(finish(*op, result(Invite::RateLimited)));
                if (w == "ok")
                    return void(finish(*op, result(Invite::Delivered))); // a demo searcher has no socket
                if (w == "local") {
                    std::shared_ptr<FrameSink> sink;
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        auto it = owners_.find(id);
                        if (it != owners_.end() && it->second.socket == word(reply, 1))
                            sink = it->second.sink.lock();
                    }
                    const Invite outcome =
                        !sink ? Invite::NotListed : sink->trySend(frame) ? Invite::Delivered : Invite::QueueFull;
                    if (metrics_ && sink)
                        ++(outcome == Invite::Delivered ? metrics_->invitesDelivered : metrics_->invitesDropped);
                    return void(finish(*op, result(outcome)));
                }
                if (w != "remote")
                    return void(finish(*op, result(Invite::NotListed)));
                // The holding node answers on this node's channel with the call's id.
                Json::Value msg;
                msg["id"] = id;
                msg["s"] = word(reply, 2);
                msg["x"] = frame;
                msg["r"] = options_.nodeId;
                msg["q"] = Json::UInt64(op->id);
                invites_[op->id] = op;
                op->failed = result(Invite::NoAnswer);
                client_.send({"PUBLISH", channels_ + "i:" + word(reply, 1), toJson(msg)}, [this, op, result](RedisReply r) {
                    // Nobody subscribed: that node does not hear Redis (its players are swept when it is gone).
                    if (r.isError() || (r.type == RedisReply::Type::Integer && r.integer == 0))
                        finish(*op, result(Invite::Unavailable));
                });
            });
        },
        [shared, result] { (*shared)(result(Invite::Unavailable)); });
}

void RedisRegistry::addDemo(const std::string& id, Json::Value entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Item item;
    item.entry = toJson(entry);
    item.name = entry["Creator"]["Name"].asString();
    item.network = "demo";
    putItem(id, std::move(item));
}

std::string RedisRegistry::networkKey(const Listing& l) const
{
    // Every node keys a listing alike, so that every node chooses the same answer.
    if (l.address.empty())
        return "?" + l.id;
    return networkOf(l.address, options_.limits.networkBitsV4, options_.limits.networkBitsV6);
}

std::shared_ptr<const std::string> RedisRegistry::listBody()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!snapshot_) {
        std::vector<ListCandidate> candidates;
        candidates.reserve(ordered_.size());
        for (const auto& kv : ordered_)
            candidates.push_back({kv.second->entry.size(), kv.second->network});
        const ListChoice choice = chooseListed(candidates, options_.limits.listBudget);
        std::size_t size = kListFrameBytes, i = 0;
        for (const auto& kv : ordered_)
            if (choice.in[i++])
                size += kv.second->entry.size() + 1;
        std::string text;
        text.reserve(size);
        text += "{\"Searchers\":[";
        bool first = true;
        i = 0;
        for (const auto& kv : ordered_) {
            if (!choice.in[i++])
                continue;
            if (!first)
                text += ',';
            first = false;
            text += kv.second->entry;
        }
        text += "]}";
        stats_ = {text.size(), choice.entries, choice.leftOut};
        snapshot_ = std::make_shared<const std::string>(std::move(text));
    }
    return snapshot_;
}

Registry::ListStats RedisRegistry::listStats()
{
    listBody();
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void RedisRegistry::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    ordered_.clear();
    owners_.clear();
    snapshot_.reset();
}

std::size_t RedisRegistry::listedCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

void RedisRegistry::putItem(const std::string& id, Item item)
{
    auto it = items_.find(id);
    if (it != items_.end()) {
        ordered_.erase({it->second.order, id});
        if (!it->second.node.empty()) {
            digest_ ^= it->second.hash;
            --nodeItems_;
        }
        it->second = std::move(item);
    } else {
        it = items_.emplace(id, std::move(item)).first;
    }
    if (!it->second.node.empty()) {
        digest_ ^= it->second.hash;
        ++nodeItems_;
    }
    ordered_[{it->second.order, id}] = &it->second;
    snapshot_.reset();
}

void RedisRegistry::eraseItem(const std::string& id)
{
    auto it = items_.find(id);
    if (it == items_.end())
        return;
    if (!it->second.node.empty()) {
        digest_ ^= it->second.hash;
        --nodeItems_;
    }
    ordered_.erase({it->second.order, id});
    items_.erase(it);
    snapshot_.reset();
}

// Caller holds mutex_. Keeps what this node restores for its own socket in step with the cluster's latest accepted
// registration, and lets go of a socket whose player is now listed through another one.
void RedisRegistry::adopt(const std::string& id, const Item& item, Evicted& evicted)
{
    auto owner = owners_.find(id);
    if (owner == owners_.end())
        return;
    if (item.node != options_.nodeId || item.socket != owner->second.socket) {
        evicted.push_back(owner->second.sink.lock());
        owners_.erase(owner);
        return;
    }
    owner->second.order = item.order;
    owner->second.entry = item.entry;
}

void RedisRegistry::evict(const Evicted& sinks)
{
    for (const auto& sink : sinks)
        if (sink)
            sink->unlisted();
}

void RedisRegistry::badMessage(const char* what, const std::string& payload)
{
    if (metrics_)
        ++metrics_->clusterBadMessages;
    ++badSinceLog_;
    // One line a second at most, however much junk arrives.
    const auto now = std::chrono::steady_clock::now();
    if (!options_.log || now - lastBadLog_ < std::chrono::seconds(1))
        return;
    lastBadLog_ = now;
    std::string shown = payload.substr(0, 200);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    options_.log(fmt::format("redis: ignored {} malformed cluster message(s), latest on the {} channel ({} bytes): {}",
                             badSinceLog_, what, payload.size(), shown));
    badSinceLog_ = 0;
}

void RedisRegistry::onMessage(const std::string& channel, const std::string& payload)
{
    if (channel == channels_ + "r:" + options_.nodeId)
        return onInviteAnswer(payload);
    if (channel != events_) { // an invite for one of this node's sockets
        InviteMessage invite;
        if (!parseInviteMessage(payload, invite))
            return badMessage("invite", payload);
        std::shared_ptr<FrameSink> sink;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = owners_.find(invite.id);
            if (it != owners_.end() && it->second.socket == invite.socket)
                sink = it->second.sink.lock();
        }
        const bool delivered = sink && sink->trySend(std::move(invite.frame));
        if (metrics_ && sink)
            ++(delivered ? metrics_->invitesDelivered : metrics_->invitesDropped);
        // The asking node waits for what became of the frame.
        if (!invite.replyTo.empty() && invite.hasToken) {
            Json::Value answer;
            answer["q"] = Json::UInt64(invite.token);
            answer["o"] = delivered ? "ok" : sink ? "full" : "gone";
            client_.send({"PUBLISH", channels_ + "r:" + invite.replyTo, toJson(answer)}, [](RedisReply) {});
        }
        return;
    }
    ChangeEvent event;
    if (!parseChangeEvent(payload, event))
        return badMessage("change", payload);
    Evicted evicted;
    Applied applied = Applied::Ok;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (syncing_) {
            if (held_.size() >= kMaxHeld)
                held_.clear();
            held_.push_back(std::move(event));
            return;
        }
        applied = applyEvent(event, evicted);
    }
    evict(evicted);
    runAppliedWaiters();
    if (applied == Applied::Old)
        resync("the change counter went back (Redis lost its data)");
    else if (applied == Applied::Gap)
        resync("changes were missed");
    else if (applied == Applied::Diverged)
        resync("the listings differ from Redis");
}

void RedisRegistry::onInviteAnswer(const std::string& payload)
{
    InviteAnswer answer;
    if (!parseInviteAnswer(payload, answer))
        return badMessage("invite answer", payload);
    auto it = invites_.find(answer.token);
    if (it == invites_.end())
        return; // answered too late, or not ours
    auto op = it->second.lock();
    if (!op)
        return;
    InviteResult r = op->failed;
    r.outcome = answer.outcome == "ok"     ? Invite::Delivered
                : answer.outcome == "full" ? Invite::QueueFull
                                           : Invite::NotListed;
    finish(*op, std::move(r));
}

// Caller holds mutex_. Changes come in the order Redis made them, numbered one by one: anything else means this
// mirror can no longer follow by changes alone.
RedisRegistry::Applied RedisRegistry::applyEvent(const ChangeEvent& event, Evicted& evicted)
{
    if (event.version <= appliedEv_)
        return Applied::Old;
    if (event.version != appliedEv_ + 1)
        return Applied::Gap;
    appliedEv_ = event.version;
    const Listing& l = event.listing;
    if (!event.set) {
        auto it = items_.find(l.id);
        if (it != items_.end() && !it->second.node.empty())
            eraseItem(l.id);
    } else {
        Item item{l.order, l.node, l.socket, l.name, l.entry, l.hash, networkKey(l)};
        adopt(l.id, item, evicted);
        putItem(l.id, std::move(item));
    }
    bool diverged = false;
    if (pendingCheck_ && pendingCheck_->ev == appliedEv_) {
        const Check check = *pendingCheck_;
        pendingCheck_.reset();
        diverged = suspect(!consistent(check));
    }
    return diverged ? Applied::Diverged : Applied::Ok;
}

bool RedisRegistry::consistent(const Check& check) const
{
    return check.count == nodeItems_ && check.digest == digest_;
}

bool RedisRegistry::ownConsistent() const
{
    for (const auto& [id, owner] : owners_) {
        auto it = items_.find(id);
        if (it == items_.end() || it->second.node != options_.nodeId || it->second.socket != owner.socket)
            return false;
    }
    for (const auto& [id, item] : items_) {
        if (item.node != options_.nodeId)
            continue;
        auto it = owners_.find(id);
        if (it == owners_.end() || it->second.socket != item.socket)
            return false; // listed for a socket this node does not hold
    }
    return true;
}

bool RedisRegistry::suspect(bool mismatch)
{
    if (!mismatch) {
        suspect_ = false;
        return false;
    }
    const bool again = suspect_;
    suspect_ = true;
    return again;
}

void RedisRegistry::onReady()
{
    if (options_.log)
        options_.log(fmt::format("redis: ready at {}:{} as node {}", options_.host, options_.port, options_.nodeId));
    if (!resyncTimer_)
        resyncTimer_.emplace(client_.context());
    resyncBackoff_ = {};
    client_.send({"TIME"}, [this, sent = std::chrono::steady_clock::now()](RedisReply reply) {
        if (reply.type == RedisReply::Type::Array && reply.elements.size() == 2)
            measureClock(sent, std::strtoll(word(reply, 0).c_str(), nullptr, 10) * 1000 +
                                   std::strtoll(word(reply, 1).c_str(), nullptr, 10) / 1000);
    });
    resyncNow(nullptr);
    if (!beat_) {
        beat_.emplace(client_.context());
        heartbeat();
    }
}

void RedisRegistry::resync(const char* why, std::chrono::milliseconds delay)
{
    if (identity_.load() == Identity::Refused)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        syncing_ = true; // changes wait from now on: applying them past a gap would be wrong
    }
    if (delay.count() == 0) {
        resyncBackoff_ = resyncBackoff_.count() == 0 ? kMinResync : std::min(resyncBackoff_ * 2, kMaxResync);
        delay = resyncBackoff_;
        if (options_.log && why)
            options_.log(fmt::format("redis: resynchronising in {} ms: {}", delay.count(), why));
    }
    resyncTimer_->expires_after(delay);
    resyncTimer_->async_wait([this, why](boost::system::error_code ec) {
        if (!ec)
            resyncNow(why);
    });
}

void RedisRegistry::resyncNow(const char* why)
{
    if (!client_.connected() || identity_.load() == Identity::Refused)
        return;
    if (why && metrics_)
        ++metrics_->clusterResyncs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        syncing_ = true;
        held_.clear();
        pendingCheck_.reset();
        suspect_ = false;
    }
    // One connection runs them in order: the snapshot already shows what the restore put back.
    restore();
    client_.send({"EVAL", lua(scripts::kSnapshot), "0"},
                    [this](RedisReply reply) { applySnapshot(reply); });
}

// This node's sockets are the truth for which of its players are listed: they go back into Redis, with the latest
// registration the cluster accepted for them, and what Redis holds for this node beyond them goes away.
void RedisRegistry::restore()
{
    std::vector<std::string> args{"EVAL",          lua(scripts::kRestore),
                                  "0",             options_.nodeId,
                                  std::to_string(options_.nodeTtl.count()), boot_};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [id, owner] : owners_) {
            args.push_back(id);
            args.push_back(std::to_string(owner.order));
            args.push_back(owner.socket);
            args.push_back(owner.address);
            args.push_back(owner.entry);
        }
    }
    client_.send(std::move(args), [this](RedisReply reply) {
        if (reply.type != RedisReply::Type::Array || reply.elements.empty())
            return;
        if (word(reply) == "twin")
            return onTwin();
        if (word(reply) != "ok")
            return;
        twinSince_.reset();
        if (identity_.load() != Identity::Held)
            setIdentity(Identity::Held);
        Evicted evicted;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (std::size_t i = 1; i < reply.elements.size(); ++i) {
                auto it = owners_.find(reply.elements[i].str);
                if (it == owners_.end())
                    continue;
                evicted.push_back(it->second.sink.lock());
                owners_.erase(it);
            }
        }
        evict(evicted); // taken over through another node while this one was away
    });
}

// Another process holds this node's id. A dead one's liveness runs out within the node TTL; a live one keeps it.
void RedisRegistry::onTwin()
{
    if (identity_.load() == Identity::Refused)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!twinSince_) {
        twinSince_ = now;
        setIdentity(Identity::Waiting);
        if (options_.log)
            options_.log(fmt::format("redis: node id {} is held by another process; waiting for it to lapse",
                                     options_.nodeId));
    }
    if (now - *twinSince_ <= options_.nodeTtl + 2 * options_.heartbeat) {
        resync(nullptr, options_.heartbeat);
        return;
    }
    setIdentity(Identity::Refused);
    const std::string text = fmt::format("node id '{}' is held by another live node; give each node its own --node-id",
                                         options_.nodeId);
    if (options_.log)
        options_.log("redis: " + text);
    if (options_.fatal)
        options_.fatal(text);
}

void RedisRegistry::applySnapshot(const RedisReply& reply)
{
    std::uint64_t version = 0;
    std::vector<Listing> rows;
    std::size_t bad = 0;
    if (!parseSnapshot(reply, version, rows, bad)) {
        // An error answer or a lost link; changes keep waiting until a snapshot comes.
        if (client_.connected())
            resync(reply.isError() ? "the snapshot failed" : "the snapshot was malformed");
        return;
    }
    if (bad && metrics_)
        metrics_->clusterBadMessages += bad;
    Evicted evicted;
    bool gap = false;
    bool reset = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!syncing_)
            return; // the link went down meanwhile; the next ready() starts over
        reset = version < appliedEv_;
        syncing_ = false;
        // Keep the demo searchers, replace everything else.
        for (auto it = items_.begin(); it != items_.end();) {
            if (!it->second.node.empty()) {
                ordered_.erase({it->second.order, it->first});
                it = items_.erase(it);
            } else {
                ++it;
            }
        }
        digest_ = 0;
        nodeItems_ = 0;
        for (auto& l : rows) {
            Item item{l.order, l.node, l.socket, l.name, std::move(l.entry), l.hash, networkKey(l)};
            adopt(l.id, item, evicted);
            putItem(l.id, std::move(item));
        }
        snapshot_.reset();
        appliedEv_ = version;
        for (const auto& event : held_) {
            if (event.version <= appliedEv_)
                continue; // already in the snapshot
            if (applyEvent(event, evicted) != Applied::Ok) {
                gap = true;
                break;
            }
        }
        held_.clear();
    }
    evict(evicted);
    // After a reset, changes waited for carry numbers that will not come again.
    runAppliedWaiters(reset);
    if (gap)
        resync("changes were missed during a snapshot");
}

void RedisRegistry::onLost()
{
    if (options_.log)
        options_.log("redis: connection lost, reconnecting");
    if (resyncTimer_)
        resyncTimer_->cancel();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        syncing_ = false;
        held_.clear();
        pendingCheck_.reset();
        suspect_ = false;
    }
    runAppliedWaiters(); // nobody waits for an echo that will not come
}

// A call is answered 503 once its time-out fires; the script must have run a little before that, so that its answer
// can still come back in time. Whatever runs later is refused by the script itself.
std::int64_t RedisRegistry::redisDeadline() const
{
    if (!redisClockOffset_)
        return 0;
    const auto budget = options_.callTimeout - options_.callTimeout / 4;
    return steadyMs(std::chrono::steady_clock::now() + budget) + *redisClockOffset_;
}

void RedisRegistry::measureClock(std::chrono::steady_clock::time_point sent, std::int64_t redisMs)
{
    // Taken from a quick answer only: a stalled one says little about when Redis read its clock.
    const auto now = std::chrono::steady_clock::now();
    if (redisMs > 0 && now - sent < options_.callTimeout / 4)
        redisClockOffset_ = redisMs - steadyMs(sent + (now - sent) / 2);
}

void RedisRegistry::heartbeat()
{
    if (client_.connected() && identity_.load() == Identity::Held) {
        client_.send({"EVAL", lua(scripts::kHeartbeat), "0", options_.nodeId,
                      std::to_string(options_.nodeTtl.count()), boot_},
                     [this, sent = std::chrono::steady_clock::now()](RedisReply reply) { onHeartbeat(reply, sent); });
    }
    if (identity_.load() == Identity::Refused)
        return;
    beat_->expires_after(options_.heartbeat);
    beat_->async_wait([this](boost::system::error_code ec) {
        if (!ec)
            heartbeat();
    });
}

void RedisRegistry::onHeartbeat(const RedisReply& reply, std::chrono::steady_clock::time_point sent)
{
    if (reply.type != RedisReply::Type::Array || reply.elements.empty())
        return;
    if (word(reply) == "twin")
        return onTwin();
    if (word(reply) != "ok" || reply.elements.size() < 7)
        return;
    if (reply.elements.size() >= 8)
        measureClock(sent, static_cast<std::int64_t>(integer(reply, 7)));
    pendingCount_ = integer(reply, 2);
    if (const auto swept = integer(reply, 3); swept > 0 && options_.log)
        options_.log(fmt::format("redis: swept the listings of {} node(s) whose liveness ran out", swept));
    // Swept while alive (a long stall), or Redis lost everything under a link that stayed up.
    if (integer(reply, 1) == 0)
        return resync("this node's liveness had lapsed");
    Check check;
    check.count = integer(reply, 5);
    check.digest = static_cast<std::uint32_t>(std::strtoll(word(reply, 6).c_str(), nullptr, 10));
    if (!parseCounter(word(reply, 4), check.ev))
        check.ev = integer(reply, 4);
    const char* why = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (syncing_)
            return;
        if (check.ev < appliedEv_) {
            why = "the change counter went back (Redis lost its data)";
        } else {
            bool mismatch = !ownConsistent();
            if (pendingCheck_ && pendingCheck_->ev < appliedEv_)
                pendingCheck_.reset();
            if (pendingCheck_)
                mismatch = true; // changes numbered before the last check never came
            if (check.ev == appliedEv_)
                mismatch = mismatch || !consistent(check);
            else
                pendingCheck_ = check;
            if (suspect(mismatch))
                why = "the listings differ from Redis";
            else if (!mismatch)
                resyncBackoff_ = {}; // in step again: a later fault starts from the short delay
        }
    }
    if (why)
        resync(why);
}

} // namespace crw::server
