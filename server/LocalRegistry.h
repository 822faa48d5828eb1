// The registry kept in this process's memory.
#pragma once

#include "NetworkBooks.h"
#include "Registry.h"

#include <map>
#include <mutex>
#include <unordered_map>

namespace crw::server {

class LocalRegistry : public Registry {
public:
    using Clock = std::chrono::steady_clock;

    explicit LocalRegistry(RegistryLimits limits = {}) : limits_(limits) {}

    // The answers are known at once: each call completes inline, and the same calls are offered synchronously.
    Register addPending(const std::string& id, Json::Value entry, const std::string& address);
    Claim claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
                const std::string& address);
    Update update(const std::string& id, Json::Value entry, const std::string& address);
    InviteResult deliverInvite(const std::string& id, const std::string& frame, const std::string& address = {});

    void addPending(const std::string& id, Json::Value entry, const std::string& address,
                    Done<Register> done) override
    {
        done(addPending(id, std::move(entry), address));
    }
    void claim(const std::string& id, std::uint64_t sessionId, std::weak_ptr<FrameSink> sink,
               const std::string& address, Done<Claim> done) override
    {
        done(claim(id, sessionId, std::move(sink), address));
    }
    void release(const std::string& id, std::uint64_t sessionId) override;
    void update(const std::string& id, Json::Value entry, const std::string& address, Done<Update> done) override
    {
        done(update(id, std::move(entry), address));
    }
    // The asking address is limited by the server itself, before it asks.
    void deliverInvite(const std::string& id, const std::string& frame, const std::string& address,
                       Done<InviteResult> done) override
    {
        done(deliverInvite(id, frame, address));
    }
    void addDemo(const std::string& id, Json::Value entry) override;
    std::shared_ptr<const std::string> listBody() override;
    ListStats listStats() override;
    std::size_t dropExpiredPending() override;
    void clear() override;
    std::size_t listedCount() const override;
    std::size_t pendingCount() const override;

private:
    // Entries are kept serialised: a listed player costs its bytes, and the list is a concatenation.
    struct Pending {
        std::string json;
        std::string name;
        std::string address;
        std::string network;
        Clock::time_point created;
    };
    // One asking network's part of a target's invites.
    struct Share {
        double tokens = 0;
        Clock::time_point at;
    };
    struct Listed {
        std::string json;
        std::string name;
        std::string address;
        std::string network; // what its share of "/list" counts by
        std::uint64_t order = 0;
        std::uint64_t sessionId = 0;
        std::weak_ptr<FrameSink> sink;
        bool demo = false;
        double inviteTokens = 0;
        Clock::time_point inviteRefill;
        std::unordered_map<std::string, Share> askers; // networks that asked lately
    };
    bool takeInvite(Listed& target, const std::string& network, Clock::time_point now);

    bool expired(const Pending& p, Clock::time_point now) const { return now - p.created > limits_.pendingTimeout; }
    void erasePending(std::unordered_map<std::string, Pending>::iterator it);
    void list(const std::string& id, Listed listed);
    void changed() { snapshot_.reset(); }

    const RegistryLimits limits_;
    // Every member below is guarded by mutex_.
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Pending> pending_;
    // Per network, its pending ids oldest first.
    NetworkBooks<std::pair<Clock::time_point, std::string>> pendingBooks_;
    std::unordered_map<std::string, Listed> listed_;
    std::map<std::uint64_t, const std::string*> order_; // listing order -> key in listed_
    std::uint64_t nextOrder_ = 0;
    std::shared_ptr<const std::string> snapshot_; // null after a change until the next listBody()
    ListStats stats_;                             // of snapshot_
};

} // namespace crw::server
