// Counters of one node, rendered in the Prometheus text format for "/metrics".
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace crw::server {

class Metrics {
public:
    // Counts one answered request; unknown paths and codes are folded into "other".
    void request(const std::string& path, unsigned status);

    // Counters are atomics: bumped from any thread, read by the renderer.
    std::atomic<std::uint64_t> invitesDelivered{0};
    std::atomic<std::uint64_t> invitesDropped{0};
    std::atomic<std::uint64_t> rateLimited{0};
    std::atomic<std::uint64_t> connectionsEvicted{0};
    // Cluster: messages between nodes that were malformed and ignored, and mirrors rebuilt from a snapshot.
    std::atomic<std::uint64_t> clusterBadMessages{0};
    std::atomic<std::uint64_t> clusterResyncs{0};

    // Connections refused on arrival, by reason; a new reason is one more name here.
    static constexpr std::array<const char*, 2> kRefusalReasons = {"full", "address"};
    enum Refusal : std::size_t { RefusedFull, RefusedAddress };
    void refused(Refusal reason) { refused_[reason].fetch_add(1, std::memory_order_relaxed); }

    struct Gauges {
        std::size_t listed = 0;
        std::size_t pending = 0;
        std::size_t connections = 0;
        // The "/list" answer: its size, its entries, and the listings left out for want of room.
        std::size_t listBytes = 0;
        std::size_t listEntries = 0;
        std::size_t listLeftOut = 0;
        bool draining = false;
        bool clustered = false; // the Redis lines are written only for a node of a cluster
        bool redisUp = false;
        std::uint64_t redisReconnects = 0;
        std::uint64_t redisCommands = 0;
        std::uint64_t redisMicros = 0;
        // Redis round trips: (upper bound in seconds, answers at most that slow), in rising order.
        std::vector<std::pair<double, std::uint64_t>> redisBuckets;
    };
    std::string render(const Gauges& gauges) const;

    static constexpr std::array<const char*, 9> kPaths = {"/CheckAPI",      "/list", "/register", "/UpdateRegistration",
                                                          "/RequestInvite", "/",     "/metrics",  "/health",
                                                          "other"};
    static constexpr std::array<unsigned, 12> kCodes = {101, 200, 400, 402, 403, 404, 409, 413, 429, 500, 503, 0};

private:
    std::array<std::array<std::atomic<std::uint64_t>, kCodes.size()>, kPaths.size()> requests_{};
    std::array<std::atomic<std::uint64_t>, kRefusalReasons.size()> refused_{};
};

} // namespace crw::server
