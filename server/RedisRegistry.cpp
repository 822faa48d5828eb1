#include "RedisRegistry.h"

#include "Metrics.h"
#include "RedisScripts.h"
#include "Registration.h"

#include <boost/asio/post.hpp>

#include <fmt/format.h>

#include <future>
#include <random>

namespace crw::server {

namespace {

const std::string kEvents = "crw:events";

std::string bootToken()
{
    std::random_device rd;
    return fmt::format("{:08x}{:08x}", rd(), rd());
}

std::string nameOf(const std::string& entry)
{
    Json::Value v;
    if (!parseJson(entry, v) || !v.isObject())
        return {};
    return v["Creator"]["Name"].asString();
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

RedisClient::Options clientOptions(const RedisRegistryOptions& o)
{
    RedisClient::Options c;
    c.host = o.host;
    c.port = o.port;
    c.healthChannel = fmt::format("crw:h:{}:{}", o.nodeId, bootToken());
    c.pingInterval = o.pingInterval;
    c.pingTimeout = o.pingTimeout;
    return c;
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
    : options_(std::move(options)), metrics_(metrics), boot_(bootToken()),
      client_(clientOptions(options_), {kEvents, "crw:i:" + options_.nodeId, "crw:r:" + options_.nodeId},
              RedisClient::Handlers{[this](const std::string& c, const std::string& p) { onMessage(c, p); },
                                    [this] { onReady(); }, [this] { onLost(); }})
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
    if (client_.connected())
        client_.call({"EVAL", std::string(scripts::kPrelude) + scripts::kGoodbye, "0", options_.nodeId},
                     options_.callTimeout);
    client_.stop();
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
    args.insert(args.begin(), {"EVAL", std::string(scripts::kPrelude) + script, "0"});
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

void RedisRegistry::runAppliedWaiters()
{
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool all = !client_.connected();
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
                                  std::to_string(l.maxPending), std::to_string(l.maxPendingPerAddress)};
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
                             client_.send({"EVAL", std::string(scripts::kPrelude) + scripts::kRelease, "0", id,
                                           options_.nodeId, socket},
                                          [](RedisReply) {});
                         return;
                     }
                     if (reply.isError())
                         return void(finish(*op, Claim::Unavailable));
                     if (w != "ok")
                         return void(finish(*op, w == "conflict" ? Claim::TakenElsewhere : Claim::NotPending));
                     {
                         std::lock_guard<std::mutex> lock(mutex_);
                         owners_[id] = Owner{socket, std::move(sink), address, integer(reply, 1), word(reply, 2)};
                     }
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
    client_.command({"EVAL", std::string(scripts::kPrelude) + scripts::kRelease, "0", id, options_.nodeId, socket},
                    [](RedisReply) {});
}

void RedisRegistry::update(const std::string& id, Json::Value entry, const std::string& address, Done<Update> done)
{
    auto shared = std::make_shared<Done<Update>>(std::move(done));
    onRedisThread(
        [this, shared, id, text = toJson(entry), address]() mutable {
            auto op = open<Update>(std::move(*shared), Update::Unavailable);
            eval(scripts::kUpdate, {id, address, text}, [this, op, id, text](RedisReply reply) {
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
                                  demo ? "1" : "0"};
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
                client_.send({"PUBLISH", "crw:i:" + word(reply, 1), toJson(msg)}, [this, op, result](RedisReply r) {
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
    putItem(id, std::move(item));
}

std::shared_ptr<const std::string> RedisRegistry::listBody()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!snapshot_) {
        std::size_t size = 16;
        for (const auto& kv : ordered_)
            size += kv.second->entry.size() + 1;
        std::string text;
        text.reserve(size);
        text += "{\"Searchers\":[";
        bool first = true;
        for (const auto& kv : ordered_) {
            if (!first)
                text += ',';
            first = false;
            text += kv.second->entry;
        }
        text += "]}";
        snapshot_ = std::make_shared<const std::string>(std::move(text));
    }
    return snapshot_;
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
        it->second = std::move(item);
    } else {
        it = items_.emplace(id, std::move(item)).first;
    }
    ordered_[{it->second.order, id}] = &it->second;
    snapshot_.reset();
}

void RedisRegistry::eraseItem(const std::string& id)
{
    auto it = items_.find(id);
    if (it == items_.end())
        return;
    ordered_.erase({it->second.order, id});
    items_.erase(it);
    snapshot_.reset();
}

void RedisRegistry::onMessage(const std::string& channel, const std::string& payload)
{
    if (channel == "crw:r:" + options_.nodeId)
        return onInviteAnswer(payload);
    Json::Value msg;
    if (!parseJson(payload, msg) || !msg.isObject())
        return;
    if (channel != kEvents) { // an invite for one of this node's sockets
        const Json::Value& id = msg["id"];
        const Json::Value& socket = msg["s"];
        const Json::Value& text = msg["x"];
        if (!id.isString() || !socket.isString() || !text.isString())
            return;
        std::shared_ptr<FrameSink> sink;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = owners_.find(id.asString());
            if (it != owners_.end() && it->second.socket == socket.asString())
                sink = it->second.sink.lock();
        }
        const bool delivered = sink && sink->trySend(text.asString());
        if (metrics_ && sink)
            ++(delivered ? metrics_->invitesDelivered : metrics_->invitesDropped);
        // The asking node waits for what became of the frame.
        const Json::Value& replyTo = msg["r"];
        const Json::Value& token = msg["q"];
        if (replyTo.isString() && !replyTo.asString().empty() && replyTo.asString().size() <= 256 &&
            token.isUInt64()) {
            Json::Value answer;
            answer["q"] = token;
            answer["o"] = delivered ? "ok" : sink ? "full" : "gone";
            client_.send({"PUBLISH", "crw:r:" + replyTo.asString(), toJson(answer)}, [](RedisReply) {});
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (syncing_)
            held_.push_back(std::move(msg));
        else
            applyEvent(msg);
    }
    runAppliedWaiters();
}

void RedisRegistry::onInviteAnswer(const std::string& payload)
{
    Json::Value msg;
    if (!parseJson(payload, msg) || !msg.isObject() || !msg["q"].isUInt64() || !msg["o"].isString())
        return;
    auto it = invites_.find(msg["q"].asUInt64());
    if (it == invites_.end())
        return; // answered too late, or not ours
    auto op = it->second.lock();
    if (!op)
        return;
    const std::string o = msg["o"].asString();
    InviteResult r = op->failed;
    r.outcome = o == "ok" ? Invite::Delivered : o == "full" ? Invite::QueueFull : Invite::NotListed;
    finish(*op, std::move(r));
}

// Caller holds mutex_. Events come in the order Redis made the changes.
void RedisRegistry::applyEvent(const Json::Value& event)
{
    const std::uint64_t ev = event["v"].asUInt64();
    if (ev <= appliedEv_)
        return; // already in the snapshot
    appliedEv_ = ev;
    const std::string id = event["id"].asString();
    if (event["t"].asString() == "del") {
        auto it = items_.find(id);
        if (it != items_.end() && !it->second.node.empty())
            eraseItem(id);
    } else {
        Item item;
        item.order = event["o"].asUInt64();
        item.node = event["n"].asString();
        item.socket = event["s"].asString();
        item.entry = event["e"].asString();
        item.name = nameOf(item.entry);
        auto owner = owners_.find(id);
        if (owner != owners_.end() && (item.node != options_.nodeId || item.socket != owner->second.socket))
            owners_.erase(owner); // re-registered through another socket, which holds it now
        putItem(id, std::move(item));
    }
}

void RedisRegistry::onReady()
{
    if (options_.log)
        options_.log(fmt::format("redis: ready at {}:{} as node {}", options_.host, options_.port, options_.nodeId));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        syncing_ = true;
        held_.clear();
    }
    restore();
    client_.command({"EVAL", std::string(scripts::kPrelude) + scripts::kSnapshot, "0"},
                    [this](RedisReply reply) { applySnapshot(reply); });
    if (!beat_) {
        beat_.emplace(client_.context());
        heartbeat();
    }
}

// This node's sockets are the truth for its own players: they go back into Redis, and what Redis holds for this node
// beyond them goes away.
void RedisRegistry::restore()
{
    std::vector<std::string> args{"EVAL", std::string(scripts::kPrelude) + scripts::kRestore, "0", options_.nodeId,
                                  std::to_string(options_.nodeTtl.count())};
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
    client_.command(std::move(args), [this](RedisReply reply) {
        if (reply.type != RedisReply::Type::Array)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& lost : reply.elements)
            owners_.erase(lost.str);
    });
}

void RedisRegistry::applySnapshot(const RedisReply& reply)
{
    applySnapshotLocked(reply);
    runAppliedWaiters();
}

void RedisRegistry::applySnapshotLocked(const RedisReply& reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    syncing_ = false;
    if (reply.type != RedisReply::Type::Array || reply.elements.empty()) {
        held_.clear();
        return; // the link went down again; the next ready() starts over
    }
    // Keep the demo searchers, replace everything else.
    for (auto it = items_.begin(); it != items_.end();) {
        if (!it->second.node.empty()) {
            ordered_.erase({it->second.order, it->first});
            it = items_.erase(it);
        } else {
            ++it;
        }
    }
    const auto& e = reply.elements;
    for (std::size_t i = 1; i + 4 < e.size(); i += 5) {
        Item item;
        item.order = std::strtoull(e[i + 1].str.c_str(), nullptr, 10);
        item.node = e[i + 2].str;
        item.socket = e[i + 3].str;
        item.entry = e[i + 4].str;
        item.name = nameOf(item.entry);
        putItem(e[i].str, std::move(item));
    }
    snapshot_.reset();
    appliedEv_ = std::strtoull(e[0].str.c_str(), nullptr, 10);
    for (const auto& event : held_)
        applyEvent(event);
    held_.clear();
}

void RedisRegistry::onLost()
{
    if (options_.log)
        options_.log("redis: connection lost, reconnecting");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        syncing_ = false;
        held_.clear();
    }
    runAppliedWaiters(); // nobody waits for an echo that will not come
}

void RedisRegistry::heartbeat()
{
    if (client_.connected()) {
        client_.command({"EVAL", std::string(scripts::kPrelude) + scripts::kHeartbeat, "0", options_.nodeId,
                         std::to_string(options_.nodeTtl.count())},
                        [this](RedisReply reply) {
                            if (reply.type != RedisReply::Type::Array)
                                return;
                            pendingCount_ = integer(reply, 1);
                            // Swept while alive (a long stall): put this node's players back.
                            if (integer(reply, 0) == 0)
                                restore();
                        });
    }
    beat_->expires_after(options_.heartbeat);
    beat_->async_wait([this](boost::system::error_code ec) {
        if (!ec)
            heartbeat();
    });
}

} // namespace crw::server
