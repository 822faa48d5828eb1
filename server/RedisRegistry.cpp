#include "RedisRegistry.h"

#include "Metrics.h"
#include "RedisScripts.h"
#include "Registration.h"

#include <boost/asio/post.hpp>

#include <fmt/format.h>

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

} // namespace

RedisRegistry::RedisRegistry(RedisRegistryOptions options, Metrics* metrics)
    : options_(std::move(options)), metrics_(metrics), boot_(bootToken()),
      client_(RedisClient::Options{options_.host, options_.port}, {kEvents, "crw:i:" + options_.nodeId},
              RedisClient::Handlers{[this](const std::string& c, const std::string& p) { onMessage(c, p); },
                                    [this] { onReady(); }, [this] { onLost(); }})
{
}

RedisRegistry::~RedisRegistry() { client_.stop(); }

void RedisRegistry::start() { client_.start(); }

void RedisRegistry::shutdown()
{
    if (client_.connected())
        client_.call({"EVAL", std::string(scripts::kPrelude) + scripts::kGoodbye, "0", options_.nodeId},
                     options_.callTimeout);
    client_.stop();
}

RedisReply RedisRegistry::eval(const char* script, std::vector<std::string> args)
{
    args.insert(args.begin(), {"EVAL", std::string(scripts::kPrelude) + script, "0"});
    auto reply = client_.call(std::move(args), options_.callTimeout);
    if (!reply)
        throw RegistryUnavailable("Redis did not answer in time");
    if (reply->isError())
        throw RegistryUnavailable(reply->str);
    return std::move(*reply);
}

std::string RedisRegistry::socketName(std::uint64_t sessionId) const { return fmt::format("{}.{}", boot_, sessionId); }

// A change made through this node shows in its own list before the request is answered.
void RedisRegistry::waitApplied(std::uint64_t ev)
{
    std::unique_lock<std::mutex> lock(mutex_);
    applied_.wait_for(lock, options_.callTimeout, [&] { return appliedEv_ >= ev || !client_.connected(); });
}

Registry::Register RedisRegistry::addPending(const std::string& id, Json::Value entry, const std::string& address)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = items_.find(id);
        if (it != items_.end() && it->second.node.empty())
            return Register::TakenElsewhere; // a demo searcher
    }
    const auto& l = options_.limits;
    const auto reply = eval(scripts::kRegister, {id, address, toJson(entry), std::to_string(l.pendingTimeout.count()),
                                                 std::to_string(l.maxPending), std::to_string(l.maxPendingPerAddress)});
    const std::string w = word(reply);
    if (w == "ok")
        return Register::Pending;
    return w == "conflict" ? Register::TakenElsewhere : Register::TooManyPending;
}

Registry::Claim RedisRegistry::claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
                                     const std::string& address)
{
    const std::string socket = socketName(sessionId);
    const auto reply = eval(scripts::kClaim, {id, address, options_.nodeId, socket});
    const std::string w = word(reply);
    if (w != "ok")
        return w == "conflict" ? Claim::TakenElsewhere : Claim::NotPending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        owners_[id] = Owner{socket, std::move(sink), address, integer(reply, 1), word(reply, 2)};
    }
    waitApplied(integer(reply, 3));
    return Claim::Listed;
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
    // Not waited for: a socket's end must not stall its I/O thread. With Redis away, the restore cleans up.
    client_.command({"EVAL", std::string(scripts::kPrelude) + scripts::kRelease, "0", id, options_.nodeId, socket},
                    [](RedisReply) {});
}

Registry::Update RedisRegistry::update(const std::string& id, Json::Value entry, const std::string& address)
{
    const std::string text = toJson(entry);
    const auto reply = eval(scripts::kUpdate, {id, address, text});
    const std::string w = word(reply);
    if (w == "notlisted")
        return Update::NotListed;
    if (w == "wrong")
        return Update::WrongAddress;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = owners_.find(id);
        if (it != owners_.end())
            it->second.entry = text; // what a restore puts back
    }
    waitApplied(integer(reply, 1));
    return Update::Updated;
}

Registry::InviteResult RedisRegistry::deliverInvite(const std::string& id, const std::string& frame)
{
    InviteResult out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = items_.find(id);
        if (it == items_.end())
            return out; // listed nowhere, as far as this node has heard
        out.name = it->second.name;
        if (it->second.node.empty()) {
            out.outcome = Invite::Delivered; // a demo searcher has no socket
            return out;
        }
    }
    const auto& l = options_.limits;
    const auto reply =
        eval(scripts::kInvite, {id, options_.nodeId, frame, fmt::format("{}", l.invitesPerTargetPerSecond),
                                fmt::format("{}", l.inviteBurstPerTarget)});
    const std::string w = word(reply);
    if (w == "notlisted") {
        out.outcome = Invite::NotListed;
    } else if (w == "limited") {
        out.outcome = Invite::RateLimited;
    } else if (w == "nonode") {
        throw RegistryUnavailable("the player's node does not hear Redis");
    } else if (w == "remote") {
        out.outcome = Invite::Delivered; // the target's node counts what it could not hand over
    } else {                             // local
        std::shared_ptr<FrameSink> sink;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = owners_.find(id);
            if (it != owners_.end() && it->second.socket == word(reply, 1))
                sink = it->second.sink.lock();
        }
        if (!sink)
            out.outcome = Invite::NotListed;
        else
            out.outcome = sink->trySend(frame) ? Invite::Delivered : Invite::QueueFull;
        if (metrics_ && sink)
            ++(out.outcome == Invite::Delivered ? metrics_->invitesDelivered : metrics_->invitesDropped);
    }
    return out;
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
    Json::Value msg;
    if (!parseJson(payload, msg) || !msg.isObject())
        return;
    if (channel != kEvents) { // an invite for one of this node's sockets
        std::shared_ptr<FrameSink> sink;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = owners_.find(msg["id"].asString());
            if (it != owners_.end() && it->second.socket == msg["s"].asString())
                sink = it->second.sink.lock();
        }
        const bool delivered = sink && sink->trySend(msg["x"].asString());
        if (metrics_)
            ++(delivered ? metrics_->invitesDelivered : metrics_->invitesDropped);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (syncing_)
        held_.push_back(std::move(msg));
    else
        applyEvent(msg);
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
    applied_.notify_all();
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
    applied_.notify_all();
}

void RedisRegistry::onLost()
{
    if (options_.log)
        options_.log("redis: connection lost, reconnecting");
    std::lock_guard<std::mutex> lock(mutex_);
    syncing_ = false;
    held_.clear();
    applied_.notify_all(); // nobody waits for an echo that will not come
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
