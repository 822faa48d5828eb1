#include "registry.hpp"

#include <algorithm>
#include <vector>

namespace crw::server {

void Registry::addPending(const std::string& id, Json::Value entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[id] = Pending{std::move(entry), Clock::now()};
}

bool Registry::claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
                     const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(id);
    if (it == pending_.end())
        return false;
    if (Clock::now() - it->second.created > pendingTimeout_) {
        pending_.erase(it);
        return false;
    }
    Listed listed;
    listed.entry = std::move(it->second.entry);
    listed.order = nextOrder_++;
    listed.sessionId = sessionId;
    listed.sink = std::move(sink);
    listed.address = address;
    listed_[id] = std::move(listed);
    pending_.erase(it);
    return true;
}

void Registry::release(const std::string& id, std::uint64_t sessionId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = listed_.find(id);
    if (it != listed_.end() && !it->second.demo && it->second.sessionId == sessionId)
        listed_.erase(it);
}

Registry::Update Registry::update(const std::string& id, Json::Value entry, const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = listed_.find(id);
    if (it == listed_.end())
        return Update::NotListed;
    if (it->second.demo || it->second.address != address)
        return Update::WrongAddress;
    it->second.entry = std::move(entry); // keeps its place in the list
    return Update::Updated;
}

Registry::InviteTarget Registry::inviteTarget(const std::string& id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    InviteTarget target;
    auto it = listed_.find(id);
    if (it == listed_.end())
        return target;
    target.name = it->second.entry["Creator"]["Name"].asString();
    target.demo = it->second.demo;
    if (!target.demo) {
        target.sink = it->second.sink.lock();
        if (!target.sink) // the socket is going away; its release is on the way
            return target;
    }
    target.listed = true;
    return target;
}

void Registry::addDemo(const std::string& id, Json::Value entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Listed listed;
    listed.entry = std::move(entry);
    listed.order = nextOrder_++;
    listed.demo = true;
    listed_[id] = std::move(listed);
}

Json::Value Registry::list() const
{
    std::vector<const Listed*> ordered;
    Json::Value result(Json::objectValue);
    Json::Value& searchers = result["Searchers"] = Json::Value(Json::arrayValue);
    std::lock_guard<std::mutex> lock(mutex_);
    ordered.reserve(listed_.size());
    for (const auto& kv : listed_)
        ordered.push_back(&kv.second);
    std::sort(ordered.begin(), ordered.end(), [](const Listed* a, const Listed* b) { return a->order < b->order; });
    for (const Listed* l : ordered)
        searchers.append(l->entry);
    return result;
}

std::size_t Registry::dropExpiredPending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    std::size_t dropped = 0;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now - it->second.created > pendingTimeout_) {
            it = pending_.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

void Registry::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
    listed_.clear();
}

std::size_t Registry::listedCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return listed_.size();
}

std::size_t Registry::pendingCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

} // namespace crw::server
