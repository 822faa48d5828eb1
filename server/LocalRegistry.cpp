#include "LocalRegistry.h"

#include "Network.h"
#include "Registration.h"

#include <algorithm>

namespace crw::server {

namespace {
// An asking network that has not asked for this long no longer holds a share of the target.
constexpr auto kShareWindow = std::chrono::seconds(10);
// Networks remembered per target; past this the quietest is forgotten.
constexpr std::size_t kMaxAskers = 64;

std::string nameOf(const Json::Value& entry)
{
    const Json::Value& creator = entry["Creator"];
    return creator.isObject() && creator["Name"].isString() ? creator["Name"].asString() : std::string();
}
} // namespace

void LocalRegistry::erasePending(std::unordered_map<std::string, Pending>::iterator it)
{
    pendingBooks_.remove(it->second.address, it->second.network, {it->second.created, it->first});
    pending_.erase(it);
}

void LocalRegistry::list(const std::string& id, Listed listed)
{
    listed.order = nextOrder_++;
    auto it = listed_.find(id);
    if (it != listed_.end()) {
        order_.erase(it->second.order);
        it->second = std::move(listed);
    } else {
        it = listed_.emplace(id, std::move(listed)).first;
    }
    order_.emplace(it->second.order, &it->first);
    changed();
}

Registry::Register LocalRegistry::addPending(const std::string& id, Json::Value entry, const std::string& address)
{
    std::string network = networkOf(address, limits_.networkBitsV4, limits_.networkBitsV6);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    auto held = listed_.find(id);
    if (held != listed_.end() && (held->second.demo || held->second.address != address))
        return Register::TakenElsewhere;
    auto it = pending_.find(id);
    if (it != pending_.end()) {
        if (it->second.address != address && !expired(it->second, now))
            return Register::TakenElsewhere;
        erasePending(it);
    }
    if (pendingBooks_.fromAddress(address) >= limits_.maxPendingPerAddress)
        return Register::TooManyPending;
    const std::size_t fromNetwork = pendingBooks_.inNetwork(network);
    if (fromNetwork >= limits_.maxPendingPerNetwork)
        return Register::TooManyPending;
    if (pending_.size() >= limits_.maxPending) {
        // Full: a network holding little takes the place of the busiest one's oldest, so a flood cannot shut
        // newcomers out.
        auto top = pendingBooks_.byLoad().rbegin();
        if (top == pendingBooks_.byLoad().rend() || top->first <= fromNetwork + 1)
            return Register::TooManyPending;
        const std::string oldest = pendingBooks_.keysOf(top->second).begin()->second;
        erasePending(pending_.find(oldest));
    }
    pendingBooks_.add(address, network, {now, id});
    pending_.emplace(id, Pending{toJson(entry), nameOf(entry), address, std::move(network), now});
    return Register::Pending;
}

Registry::Claim LocalRegistry::claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
                                     const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(id);
    if (it == pending_.end())
        return Claim::NotPending;
    if (expired(it->second, Clock::now())) {
        erasePending(it);
        return Claim::NotPending;
    }
    if (it->second.address != address)
        return Claim::TakenElsewhere;
    Listed listed;
    listed.json = std::move(it->second.json);
    listed.name = std::move(it->second.name);
    listed.address = address;
    listed.network = networkOf(address, limits_.networkBitsV4, limits_.networkBitsV6);
    listed.sessionId = sessionId;
    listed.sink = std::move(sink);
    listed.inviteTokens = limits_.inviteBurstPerTarget;
    listed.inviteRefill = Clock::now();
    erasePending(it);
    list(id, std::move(listed));
    return Claim::Listed;
}

void LocalRegistry::release(const std::string& id, std::uint64_t sessionId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = listed_.find(id);
    if (it != listed_.end() && !it->second.demo && it->second.sessionId == sessionId) {
        order_.erase(it->second.order);
        listed_.erase(it);
        changed();
    }
}

Registry::Update LocalRegistry::update(const std::string& id, Json::Value entry, const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = listed_.find(id);
    if (it == listed_.end())
        return Update::NotListed;
    if (it->second.demo || it->second.address != address)
        return Update::WrongAddress;
    it->second.json = toJson(entry); // keeps its place in the list
    it->second.name = nameOf(entry);
    changed();
    return Update::Updated;
}

// The target's rate is split evenly among the networks that asked lately: a heavy asker gets its share and no more,
// so a light one, or one refused a moment ago, always finds room in its own.
bool LocalRegistry::takeInvite(Listed& l, const std::string& network, Clock::time_point now)
{
    const double rate = limits_.invitesPerTargetPerSecond;
    const double burst = limits_.inviteBurstPerTarget;
    l.inviteTokens = std::min(burst, l.inviteTokens + std::chrono::duration<double>(now - l.inviteRefill).count() * rate);
    l.inviteRefill = now;
    for (auto it = l.askers.begin(); it != l.askers.end();)
        it = now - it->second.at > kShareWindow && it->first != network ? l.askers.erase(it) : std::next(it);
    if (!l.askers.count(network) && l.askers.size() >= kMaxAskers)
        l.askers.erase(std::min_element(l.askers.begin(), l.askers.end(), [](const auto& a, const auto& b) {
            return a.second.at < b.second.at;
        }));
    const double askers = static_cast<double>(l.askers.count(network) ? l.askers.size() : l.askers.size() + 1);
    const double shareBurst = std::max(1.0, burst / askers);
    auto [it, fresh] = l.askers.try_emplace(network, Share{shareBurst, now});
    Share& share = it->second;
    if (!fresh)
        share.tokens =
            std::min(shareBurst, share.tokens + std::chrono::duration<double>(now - share.at).count() * rate / askers);
    share.at = now;
    if (share.tokens < 1)
        return false;
    // Within its share an asker may overdraw the target's bucket: others' shares keep the sum near the rate, so
    // the bucket runs dry only when new networks keep arriving, and the floor bounds what they get.
    if (l.inviteTokens <= 1 - burst)
        return false;
    share.tokens -= 1;
    l.inviteTokens -= 1;
    return true;
}

Registry::InviteResult LocalRegistry::deliverInvite(const std::string& id, const std::string& frame,
                                                    const std::string& address)
{
    InviteResult result;
    std::shared_ptr<FrameSink> sink;
    const std::string network = networkOf(address, limits_.networkBitsV4, limits_.networkBitsV6);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = listed_.find(id);
        if (it == listed_.end())
            return result;
        Listed& l = it->second;
        if (!l.demo) {
            sink = l.sink.lock();
            if (!sink) // the socket is going away; its release is on the way
                return result;
        }
        result.name = l.name;
        if (!takeInvite(l, network, Clock::now())) {
            result.outcome = Invite::RateLimited;
            return result;
        }
    }
    // Outside the lock: the sink takes its own.
    result.outcome = !sink || sink->trySend(frame) ? Invite::Delivered : Invite::QueueFull;
    return result;
}

void LocalRegistry::addDemo(const std::string& id, Json::Value entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Listed listed;
    listed.json = toJson(entry);
    listed.name = nameOf(entry);
    listed.demo = true;
    listed.network = "demo";
    listed.inviteTokens = limits_.inviteBurstPerTarget;
    listed.inviteRefill = Clock::now();
    list(id, std::move(listed));
}

std::shared_ptr<const std::string> LocalRegistry::listBody()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (snapshot_)
        return snapshot_;
    std::vector<const Listed*> items;
    std::vector<ListCandidate> candidates;
    items.reserve(order_.size());
    candidates.reserve(order_.size());
    for (const auto& kv : order_) {
        const Listed& l = listed_.at(*kv.second);
        items.push_back(&l);
        candidates.push_back({l.json.size(), l.network});
    }
    const ListChoice choice = chooseListed(candidates, limits_.listBudget);
    std::size_t size = kListFrameBytes;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (choice.in[i])
            size += items[i]->json.size() + 1;
    auto body = std::make_shared<std::string>();
    body->reserve(size);
    body->append("{\"Searchers\":[");
    bool first = true;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!choice.in[i])
            continue;
        if (!first)
            body->push_back(',');
        first = false;
        body->append(items[i]->json);
    }
    body->append("]}");
    stats_ = {body->size(), choice.entries, choice.leftOut};
    snapshot_ = std::move(body);
    return snapshot_;
}

Registry::ListStats LocalRegistry::listStats()
{
    listBody();
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

std::size_t LocalRegistry::dropExpiredPending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    std::size_t dropped = 0;
    for (auto it = pending_.begin(); it != pending_.end();) {
        auto next = std::next(it);
        if (expired(it->second, now)) {
            erasePending(it);
            ++dropped;
        }
        it = next;
    }
    return dropped;
}

void LocalRegistry::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
    pendingBooks_.clear();
    order_.clear();
    listed_.clear();
    changed();
}

std::size_t LocalRegistry::listedCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return listed_.size();
}

std::size_t LocalRegistry::pendingCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

} // namespace crw::server
