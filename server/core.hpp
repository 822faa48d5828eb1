// State shared by the listener and every session of one running server.
#pragma once

#include "crw/server/server.hpp"
#include "registry.hpp"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace crw::server {

// A live connection; shutdown() may be called from any thread and must hop onto the session's strand.
class Session {
public:
    virtual ~Session() = default;
    virtual void shutdown() = 0;
};

class Core {
public:
    explicit Core(ServerOptions opts) : options(std::move(opts)), registry(options.pendingTimeout) {}

    const ServerOptions options;
    Registry registry;

    void log(const std::string& line);

    // Returns 0 when the server is stopping, or full (unless the connection is only changing hands).
    std::uint64_t addSession(std::weak_ptr<Session> session, bool handoff);
    void removeSession(std::uint64_t id);
    bool stopping() const;

    // Marks the server as stopping and returns every live session.
    std::vector<std::shared_ptr<Session>> beginStop();
    // Waits until every session is gone or the time is up.
    bool waitForSessions(std::chrono::milliseconds limit);

private:
    std::mutex logMutex_; // serialises log lines
    // sessions_, nextSessionId_ and stopping_ are guarded by sessionsMutex_.
    mutable std::mutex sessionsMutex_;
    std::condition_variable sessionsGone_;
    std::unordered_map<std::uint64_t, std::weak_ptr<Session>> sessions_;
    std::uint64_t nextSessionId_ = 1;
    bool stopping_ = false;
};

// Per-connection bookkeeping: unregisters the session when the last handler lets go of it.
class SessionSlot {
public:
    SessionSlot() = default;
    SessionSlot(std::shared_ptr<Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}
    SessionSlot(SessionSlot&& other) noexcept : core_(std::move(other.core_)), id_(other.id_) { other.id_ = 0; }
    SessionSlot& operator=(SessionSlot&& other) noexcept
    {
        reset();
        core_ = std::move(other.core_);
        id_ = other.id_;
        other.id_ = 0;
        return *this;
    }
    ~SessionSlot() { reset(); }
    void reset()
    {
        if (id_ && core_)
            core_->removeSession(id_);
        id_ = 0;
    }
    std::uint64_t id() const { return id_; }

private:
    std::shared_ptr<Core> core_;
    std::uint64_t id_ = 0;
};

} // namespace crw::server
