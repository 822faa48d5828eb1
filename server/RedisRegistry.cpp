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
    // A process that never held its id leaves the listings under it alone: they are another process's.
    if (client_.connected() && identity_.load() == Identity::Held)
        client_.call({"EVAL", std::string(scripts::kPrelude) + scripts::kGoodbye, "0", options_.nodeId, boot_},
                     options_.callTimeout);
    client_.stop();
}

RedisRegistry::Identity RedisRegistry::waitIdentity(std::chrono::milliseconds limit)
{
    const auto start = std::chrono::steady_clock::now();
    auto decided = [this] {
        const Identity i = identity_.load();
        return i == Identity::Held || i == Identity::Refused;
    };
    std::unique_lock<std::mutex> lock(mutex_);
    applied_.wait_until(lock, start + std::min(limit, 2 * options_.callTimeout), decided);
    if (!decided() && identity_.load() == Identity::Unknown && !client_.connected())
        return identity_.load();
    applied_.wait_until(lock, start + limit, decided);
    return identity_.load();
}

RedisReply RedisRegistry::eval(const char* script, std::vector<std::string> args)
{
    // Under an id another process holds, this node's changes would land among that node's listings.
    if (identity_.load() != Identity::Held)
        throw RegistryUnavailable("this node does not hold its id in the cluster");
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
    Evicted evicted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Owner& owner = owners_[id];
        if (!owner.socket.empty() && owner.socket != socket)
            evicted.push_back(owner.sink.lock()); // this node's older socket for the same player
        owner = Owner{socket, std::move(sink), address, integer(reply, 1), word(reply, 2)};
    }
    evict(evicted);
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
    if (channel != kEvents) { // an invite for one of this node's sockets
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
        if (metrics_)
            ++(delivered ? metrics_->invitesDelivered : metrics_->invitesDropped);
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
    if (applied == Applied::Old)
        resync("the change counter went back (Redis lost its data)");
    else if (applied == Applied::Gap)
        resync("changes were missed");
    else if (applied == Applied::Diverged)
        resync("the listings differ from Redis");
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
        Item item{l.order, l.node, l.socket, l.name, l.entry, l.hash};
        adopt(l.id, item, evicted);
        putItem(l.id, std::move(item));
    }
    bool diverged = false;
    if (pendingCheck_ && pendingCheck_->ev == appliedEv_) {
        const Check check = *pendingCheck_;
        pendingCheck_.reset();
        diverged = suspect(!consistent(check));
    }
    applied_.notify_all();
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
    client_.command({"EVAL", std::string(scripts::kPrelude) + scripts::kSnapshot, "0"},
                    [this](RedisReply reply) { applySnapshot(reply); });
}

// This node's sockets are the truth for which of its players are listed: they go back into Redis, with the latest
// registration the cluster accepted for them, and what Redis holds for this node beyond them goes away.
void RedisRegistry::restore()
{
    std::vector<std::string> args{"EVAL",          std::string(scripts::kPrelude) + scripts::kRestore,
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
    client_.command(std::move(args), [this](RedisReply reply) {
        if (reply.type != RedisReply::Type::Array || reply.elements.empty())
            return;
        if (word(reply) == "twin")
            return onTwin();
        if (word(reply) != "ok")
            return;
        twinSince_.reset();
        if (identity_.exchange(Identity::Held) != Identity::Held) {
            std::lock_guard<std::mutex> lock(mutex_);
            applied_.notify_all();
        }
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
        identity_ = Identity::Waiting;
        if (options_.log)
            options_.log(fmt::format("redis: node id {} is held by another process; waiting for it to lapse",
                                     options_.nodeId));
    }
    if (now - *twinSince_ <= options_.nodeTtl + 2 * options_.heartbeat) {
        resync(nullptr, options_.heartbeat);
        return;
    }
    identity_ = Identity::Refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        applied_.notify_all();
    }
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!syncing_)
            return; // the link went down meanwhile; the next ready() starts over
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
            Item item{l.order, l.node, l.socket, l.name, std::move(l.entry), l.hash};
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
        applied_.notify_all();
    }
    evict(evicted);
    if (gap)
        resync("changes were missed during a snapshot");
}

void RedisRegistry::onLost()
{
    if (options_.log)
        options_.log("redis: connection lost, reconnecting");
    if (resyncTimer_)
        resyncTimer_->cancel();
    std::lock_guard<std::mutex> lock(mutex_);
    syncing_ = false;
    held_.clear();
    pendingCheck_.reset();
    suspect_ = false;
    applied_.notify_all(); // nobody waits for an echo that will not come
}

void RedisRegistry::heartbeat()
{
    if (client_.connected() && identity_.load() == Identity::Held) {
        client_.command({"EVAL", std::string(scripts::kPrelude) + scripts::kHeartbeat, "0", options_.nodeId,
                         std::to_string(options_.nodeTtl.count()), boot_},
                        [this](RedisReply reply) { onHeartbeat(reply); });
    }
    if (identity_.load() == Identity::Refused)
        return;
    beat_->expires_after(options_.heartbeat);
    beat_->async_wait([this](boost::system::error_code ec) {
        if (!ec)
            heartbeat();
    });
}

void RedisRegistry::onHeartbeat(const RedisReply& reply)
{
    if (reply.type != RedisReply::Type::Array || reply.elements.empty())
        return;
    if (word(reply) == "twin")
        return onTwin();
    if (word(reply) != "ok" || reply.elements.size() < 7)
        return;
    pendingCount_ = integer(reply, 2);
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
