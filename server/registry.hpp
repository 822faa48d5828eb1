// Who is waiting for a socket and who is listed.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace crw::server {

// Something an invite notification can be pushed to (a WebSocket session).
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void sendText(std::string text) = 0;
};

class Registry {
public:
    using Clock = std::chrono::steady_clock;

    explicit Registry(std::chrono::milliseconds pendingTimeout) : pendingTimeout_(pendingTimeout) {}

    // A newer /register for the same id replaces the older one.
    void addPending(const std::string& id, Json::Value entry);

    // Moves a pending registration into the list, held by the given socket. False when none is pending (or it expired).
    bool claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
               const std::string& address);

    // Drops the listing only if this session still holds it, so that a stale socket cannot remove a newer one.
    void release(const std::string& id, std::uint64_t sessionId);

    enum class Update { Updated, NotListed, WrongAddress };
    Update update(const std::string& id, Json::Value entry, const std::string& address);

    struct InviteTarget {
        bool listed = false;
        bool demo = false;
        std::string name;
        std::shared_ptr<FrameSink> sink;
    };
    InviteTarget inviteTarget(const std::string& id) const;

    void addDemo(const std::string& id, Json::Value entry);

    // {"Searchers":[...]} in listing order.
    Json::Value list() const;

    std::size_t dropExpiredPending();
    void clear();
    std::size_t listedCount() const;
    std::size_t pendingCount() const;

private:
    struct Pending {
        Json::Value entry;
        Clock::time_point created;
    };
    struct Listed {
        Json::Value entry;
        std::uint64_t order = 0;
        bool demo = false;
        std::uint64_t sessionId = 0;
        std::weak_ptr<FrameSink> sink;
        std::string address;
    };

    const std::chrono::milliseconds pendingTimeout_;
    // Every member below is guarded by mutex_; callers may come from any I/O thread.
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Pending> pending_;
    std::unordered_map<std::string, Listed> listed_;
    std::uint64_t nextOrder_ = 0;
};

} // namespace crw::server
