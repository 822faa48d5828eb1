#include "ClusterMessages.h"

#include "Registration.h"

#include <boost/uuid/detail/sha1.hpp>

#include <json/value.h>

namespace crw::server {

namespace {

constexpr std::size_t kMaxAddressBytes = 256;

bool boundedString(const Json::Value& v, std::size_t maxBytes, std::string& out, bool allowEmpty = false)
{
    if (!v.isString())
        return false;
    out = v.asString();
    return out.size() <= maxBytes && (allowEmpty || !out.empty());
}

// Change numbers and orders are counters: positive integers, never fractions, negatives or text.
bool counter(const Json::Value& v, std::uint64_t& out)
{
    if (!v.isIntegral() || !v.isUInt64())
        return false;
    out = v.asUInt64();
    return out > 0;
}

bool readEntry(Listing& l)
{
    if (l.entry.size() > kMaxClusterEntryBytes)
        return false;
    Json::Value entry;
    if (!parseJson(l.entry, entry) || !entry.isObject())
        return false;
    l.hash = listingHash(l.id, l.node, l.socket, l.entry);
    const Json::Value& creator = entry["Creator"];
    const Json::Value& name = creator.isObject() ? creator["Name"] : Json::Value();
    l.name = name.isString() ? name.asString() : std::string();
    l.entry = toJson(entry); // only well-formed JSON is spliced into "/list"
    return true;
}

} // namespace

bool parseCounter(const std::string& text, std::uint64_t& out)
{
    if (text.empty() || text.size() > 20)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

bool parseChangeEvent(const std::string& payload, ChangeEvent& out)
{
    Json::Value msg;
    if (payload.size() > kMaxClusterEntryBytes + 4096 || !parseJson(payload, msg) || !msg.isObject())
        return false;
    std::string kind;
    if (!boundedString(msg["t"], 16, kind) || !counter(msg["v"], out.version) ||
        !boundedString(msg["id"], kMaxClusterIdBytes, out.listing.id))
        return false;
    if (kind == "del") {
        out.set = false;
        return true;
    }
    if (kind != "set")
        return false;
    out.set = true;
    Listing& l = out.listing;
    // Older nodes send no address; a listing whose address is unknown counts as a network of its own.
    if (!boundedString(msg["a"], kMaxAddressBytes, l.address))
        l.address.clear();
    return counter(msg["o"], l.order) && boundedString(msg["n"], kMaxClusterIdBytes, l.node) &&
           boundedString(msg["s"], kMaxClusterIdBytes, l.socket, true) &&
           boundedString(msg["e"], kMaxClusterEntryBytes, l.entry) && readEntry(l);
}

bool parseInviteMessage(const std::string& payload, InviteMessage& out)
{
    Json::Value msg;
    if (payload.size() > kMaxClusterEntryBytes || !parseJson(payload, msg) || !msg.isObject())
        return false;
    if (!boundedString(msg["id"], kMaxClusterIdBytes, out.id) ||
        !boundedString(msg["s"], kMaxClusterIdBytes, out.socket, true) ||
        !boundedString(msg["x"], kMaxClusterEntryBytes, out.frame))
        return false;
    // The answer is optional; a reply-to or token that is there must be sound.
    const Json::Value& r = msg["r"];
    const Json::Value& q = msg["q"];
    if (r.isNull() && q.isNull())
        return true;
    if (!boundedString(r, 256, out.replyTo) || !q.isIntegral() || !q.isUInt64())
        return false;
    out.hasToken = true;
    out.token = q.asUInt64();
    return true;
}

bool parseInviteAnswer(const std::string& payload, InviteAnswer& out)
{
    Json::Value msg;
    if (payload.size() > 4096 || !parseJson(payload, msg) || !msg.isObject())
        return false;
    const Json::Value& q = msg["q"];
    if (!q.isIntegral() || !q.isUInt64())
        return false;
    out.token = q.asUInt64();
    return boundedString(msg["o"], 64, out.outcome);
}

bool parseSnapshot(const RedisReply& reply, std::uint64_t& version, std::vector<Listing>& rows, std::size_t& bad)
{
    bad = 0;
    if (reply.type != RedisReply::Type::Array || reply.elements.empty() ||
        !parseCounter(reply.elements[0].str, version))
        return false;
    const auto& e = reply.elements;
    if ((e.size() - 1) % 6 != 0)
        ++bad;
    rows.clear();
    rows.reserve((e.size() - 1) / 6);
    for (std::size_t i = 1; i + 5 < e.size(); i += 6) {
        Listing l;
        l.id = e[i].str;
        l.node = e[i + 2].str;
        l.socket = e[i + 3].str;
        l.entry = e[i + 4].str;
        if (e[i + 5].str.size() <= kMaxAddressBytes)
            l.address = e[i + 5].str;
        if (l.id.empty() || l.id.size() > kMaxClusterIdBytes || l.node.empty() ||
            l.node.size() > kMaxClusterIdBytes || l.socket.size() > kMaxClusterIdBytes ||
            !parseCounter(e[i + 1].str, l.order) || !readEntry(l)) {
            ++bad;
            continue;
        }
        rows.push_back(std::move(l));
    }
    return true;
}

std::uint32_t listingHash(const std::string& id, const std::string& node, const std::string& socket,
                          const std::string& entry)
{
    boost::uuids::detail::sha1 sha;
    const std::string joined = id + '\n' + node + '\n' + socket + '\n' + entry;
    sha.process_bytes(joined.data(), joined.size());
    unsigned int digest[5];
    sha.get_digest(digest);
    return digest[0];
}

} // namespace crw::server
