// Messages between the nodes of a cluster, read like requests from a stranger: a node of another version or a buggy
// one may publish anything on the channels, and nothing it sends may end a node or reach "/list".
#pragma once

#include "RedisClient.h"

#include <cstdint>
#include <string>

namespace crw::server {

// Bounds on what one listing may carry; generous against what a node writes, so a newer node's data still fits.
constexpr std::size_t kMaxClusterIdBytes = 1024;
constexpr std::size_t kMaxClusterEntryBytes = 256 * 1024;

// One listing as the change feed and the snapshot carry it.
struct Listing {
    std::string id;
    std::uint64_t order = 0;
    std::string node;
    std::string socket;
    std::string address; // of the player who holds it; empty when an older node did not say
    std::string entry;  // compact JSON object, re-serialised from what was received
    std::string name;   // the player's name, read from the entry
    std::uint32_t hash = 0; // of what Redis holds, for the digest
};

// A change published on the cluster's events channel.
struct ChangeEvent {
    bool set = false; // false: the listing `id` is gone
    std::uint64_t version = 0;
    Listing listing;
};

// False for anything malformed: wrong types, a version that is not a positive integer, an entry that is not a
// JSON object, sizes past the bounds above.
bool parseChangeEvent(const std::string& payload, ChangeEvent& out);

// An invite handed to this node for one of its sockets.
struct InviteMessage {
    std::string id;
    std::string socket;
    std::string frame;
    std::string replyTo; // the asking node, empty when it waits for no answer
    bool hasToken = false;
    std::uint64_t token = 0;
};
bool parseInviteMessage(const std::string& payload, InviteMessage& out);

// What the holding node did with an invite's frame: "ok", "full" or "gone" (anything else reads as gone).
struct InviteAnswer {
    std::uint64_t token = 0;
    std::string outcome;
};
bool parseInviteAnswer(const std::string& payload, InviteAnswer& out);

// Reads the snapshot script's answer {ev, id, order, node, socket, entry, address, ...}. A malformed row is skipped and
// counted in `bad`; false when the answer itself is unusable.
bool parseSnapshot(const RedisReply& reply, std::uint64_t& version, std::vector<Listing>& rows, std::size_t& bad);

// The digest of a listing, as the scripts compute it: the first 32 bits of SHA-1 over id, node, socket and entry
// joined by newlines. The set's digest is the XOR of its listings'.
std::uint32_t listingHash(const std::string& id, const std::string& node, const std::string& socket,
                          const std::string& entry);

// A decimal counter as Redis returns it; false for anything else.
bool parseCounter(const std::string& text, std::uint64_t& out);

} // namespace crw::server
