#include "Metrics.h"

#include <algorithm>

#include <fmt/format.h>

namespace crw::server {

void Metrics::request(const std::string& path, unsigned status)
{
    std::size_t p = kPaths.size() - 1;
    for (std::size_t i = 0; i + 1 < kPaths.size(); ++i)
        if (path == kPaths[i])
            p = i;
    std::size_t c = kCodes.size() - 1; // the trailing 0 stands for any other code
    for (std::size_t i = 0; i + 1 < kCodes.size(); ++i)
        if (status == kCodes[i])
            c = i;
    requests_[p][c].fetch_add(1, std::memory_order_relaxed);
}

std::string Metrics::render(const Gauges& g) const
{
    std::string out;
    auto metric = [&out](const char* name, const char* type, const char* help, auto value) {
        out += fmt::format("# HELP {} {}\n# TYPE {} {}\n{} {}\n", name, help, name, type, name, value);
    };
    metric("crw_listed_players", "gauge", "Players in the list (every node's, as this node sees them).", g.listed);
    metric("crw_pending_registrations", "gauge", "Registrations waiting for their WebSocket.", g.pending);
    metric("crw_list_bytes", "gauge", "Size of the /list answer in bytes.", g.listBytes);
    metric("crw_list_entries", "gauge", "Players in the /list answer.", g.listEntries);
    metric("crw_list_left_out", "gauge", "Listed players left out of /list: it is full, shared per network.",
           g.listLeftOut);
    metric("crw_connections", "gauge", "Open HTTP and WebSocket connections on this node.", g.connections);
    metric("crw_draining", "gauge", "1 while this node drains: it takes no new players and reports unhealthy.",
           g.draining ? 1 : 0);
    out += "# HELP crw_connections_refused_total Connections refused on arrival, by reason.\n"
           "# TYPE crw_connections_refused_total counter\n";
    for (std::size_t r = 0; r < kRefusalReasons.size(); ++r)
        out += fmt::format("crw_connections_refused_total{{reason=\"{}\"}} {}\n", kRefusalReasons[r],
                           refused_[r].load(std::memory_order_relaxed));
    out += "# HELP crw_http_requests_total Answered requests by path and status.\n"
           "# TYPE crw_http_requests_total counter\n";
    for (std::size_t p = 0; p < kPaths.size(); ++p)
        for (std::size_t c = 0; c < kCodes.size(); ++c) {
            const auto n = requests_[p][c].load(std::memory_order_relaxed);
            if (n == 0)
                continue;
            const std::string code = kCodes[c] ? std::to_string(kCodes[c]) : "other";
            out += fmt::format("crw_http_requests_total{{path=\"{}\",status=\"{}\"}} {}\n", kPaths[p], code, n);
        }
    metric("crw_invites_delivered_total", "counter", "Invite notifications handed to a player's socket.",
           invitesDelivered.load());
    metric("crw_invites_dropped_total", "counter", "Invite notifications that could not be handed over.",
           invitesDropped.load());
    metric("crw_rate_limited_total", "counter", "Requests refused by a rate limit.", rateLimited.load());
    metric("crw_connections_evicted_total", "counter",
           "Idle connections closed to admit a newcomer from a less busy network while full.", connectionsEvicted.load());
    if (g.clustered) {
        metric("crw_redis_up", "gauge", "1 while the link to Redis is up.", g.redisUp ? 1 : 0);
        metric("crw_redis_reconnects_total", "counter", "Times the link to Redis came back.", g.redisReconnects);
        metric("crw_cluster_bad_messages_total", "counter", "Malformed messages from other nodes, ignored.",
               clusterBadMessages.load());
        metric("crw_cluster_resyncs_total", "counter", "Times this node rebuilt its view from a full snapshot.",
               clusterResyncs.load());
        out += "# HELP crw_redis_command_seconds Round-trip time of Redis commands.\n"
               "# TYPE crw_redis_command_seconds histogram\n";
        std::uint64_t below = 0;
        for (const auto& [bound, n] : g.redisBuckets) {
            below += n;
            out += fmt::format("crw_redis_command_seconds_bucket{{le=\"{}\"}} {}\n", bound, below);
        }
        // Read one by one while commands complete: +Inf must not fall below the finite buckets.
        out += fmt::format("crw_redis_command_seconds_bucket{{le=\"+Inf\"}} {}\n", std::max(below, g.redisCommands));
        out += fmt::format("crw_redis_command_seconds_sum {:.6f}\ncrw_redis_command_seconds_count {}\n",
                           static_cast<double>(g.redisMicros) / 1e6, std::max(below, g.redisCommands));
    }
    return out;
}

} // namespace crw::server
