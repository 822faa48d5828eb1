#include "ProxyProtocol.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace crw::server {

namespace {

namespace ip = boost::asio::ip;

constexpr char kV1Prefix[] = "PROXY ";
constexpr std::size_t kV1PrefixBytes = sizeof kV1Prefix - 1;
constexpr unsigned char kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

// A client seen through an IPv6 socket as ::ffff:a.b.c.d is the IPv4 client a.b.c.d. A scope id (which no header
// should carry) is dropped: varying it must not make one client look like many.
ip::address plain(const ip::address& address)
{
    if (!address.is_v6())
        return address;
    ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, v6);
    v6.scope_id(0);
    return v6;
}

bool parsePort(const std::string& text)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    return std::stoul(text) <= 65535;
}

std::vector<std::string> splitSpaces(const std::string& line)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto space = line.find(' ', start);
        parts.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
        if (space == std::string::npos)
            return parts;
        start = space + 1;
    }
}

} // namespace

void ProxyHeaderParser::fail(const char* why)
{
    state_ = State::Invalid;
    error_ = why;
}

std::size_t ProxyHeaderParser::feed(const char* data, std::size_t size)
{
    std::size_t used = 0;
    while (state_ == State::More && used < size) {
        switch (phase_) {
        case Phase::Start:
            if (data[used] == 'P')
                phase_ = Phase::V1;
            else if (static_cast<unsigned char>(data[used]) == kV2Signature[0])
                phase_ = Phase::V2Head, want_ = kV2HeadBytes;
            else
                fail("no PROXY header");
            break;
        case Phase::V1: {
            const char c = data[used++];
            held_[heldSize_++] = c;
            if (heldSize_ <= kV1PrefixBytes) {
                if (c != kV1Prefix[heldSize_ - 1])
                    fail("no PROXY header");
            } else if (c == '\n') {
                finishV1();
            } else if (heldSize_ == kV1MaxBytes) {
                fail("v1 line longer than 107 bytes");
            }
            break;
        }
        case Phase::V2Head:
        case Phase::V2Addresses: {
            const std::size_t n = std::min(want_ - heldSize_, size - used);
            std::memcpy(held_.data() + heldSize_, data + used, n);
            // The signature is checked as it arrives, so that other bytes are turned away at once.
            for (std::size_t i = heldSize_; i < heldSize_ + n && i < sizeof kV2Signature; ++i)
                if (static_cast<unsigned char>(held_[i]) != kV2Signature[i]) {
                    fail("no PROXY header");
                    break;
                }
            heldSize_ += n;
            used += n;
            if (state_ == State::More && heldSize_ == want_)
                phase_ == Phase::V2Head ? finishV2Head() : finishV2Addresses();
            break;
        }
        case Phase::V2Skip: {
            const std::size_t n = std::min(skip_, size - used);
            skip_ -= n;
            used += n;
            if (skip_ == 0)
                state_ = State::Done;
            break;
        }
        }
    }
    consumed_ += used;
    return used;
}

void ProxyHeaderParser::finishV1()
{
    if (held_[heldSize_ - 2] != '\r')
        return fail("v1 line not ended by CRLF");
    const std::string line(held_.data() + kV1PrefixBytes, heldSize_ - kV1PrefixBytes - 2);
    // "UNKNOWN" may carry anything after it: the balancer could not tell who the client is.
    if (line.compare(0, 7, "UNKNOWN") == 0 && (line.size() == 7 || line[7] == ' ')) {
        state_ = State::Done;
        return;
    }
    const auto parts = splitSpaces(line);
    if (parts.size() != 5 || (parts[0] != "TCP4" && parts[0] != "TCP6"))
        return fail("v1 line malformed");
    boost::system::error_code ec, ec2;
    const ip::address source = ip::make_address(parts[1], ec);
    const ip::address destination = ip::make_address(parts[2], ec2);
    const bool v6 = parts[0] == "TCP6";
    if (ec || ec2 || source.is_v6() != v6 || destination.is_v6() != v6 || !parsePort(parts[3]) ||
        !parsePort(parts[4]))
        return fail("v1 line malformed");
    source_ = plain(source).to_string();
    state_ = State::Done;
}

void ProxyHeaderParser::finishV2Head()
{
    const auto command = static_cast<unsigned char>(held_[12]);
    family_ = static_cast<unsigned char>(held_[13]);
    const std::size_t length =
        (static_cast<std::size_t>(static_cast<unsigned char>(held_[14])) << 8) | static_cast<unsigned char>(held_[15]);
    if ((command >> 4) != 2)
        return fail("v2 header of an unknown version");
    if ((command & 0x0F) > 1)
        return fail("v2 header with an unknown command");
    if ((family_ >> 4) > 3 || (family_ & 0x0F) > 2)
        return fail("v2 header with an unknown address family");
    // Only a relayed TCP connection over IPv4 or IPv6 names a client; LOCAL (the balancer's own health checks),
    // UNSPEC, UNIX and datagram headers leave the connection's own address.
    std::size_t addresses = 0;
    if ((command & 0x0F) == 1 && family_ == 0x11)
        addresses = 12;
    else if ((command & 0x0F) == 1 && family_ == 0x21)
        addresses = 36;
    if (length < addresses)
        return fail("v2 header shorter than its addresses");
    if (addresses == 0)
        family_ = 0;
    want_ = kV2HeadBytes + addresses;
    skip_ = length - addresses;
    phase_ = Phase::V2Addresses;
    if (addresses == 0)
        finishV2Addresses();
}

void ProxyHeaderParser::finishV2Addresses()
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(held_.data()) + kV2HeadBytes;
    if (family_ == 0x11) {
        ip::address_v4::bytes_type v4{};
        std::memcpy(v4.data(), bytes, v4.size());
        source_ = ip::address_v4(v4).to_string();
    } else if (family_ == 0x21) {
        ip::address_v6::bytes_type v6{};
        std::memcpy(v6.data(), bytes, v6.size());
        source_ = plain(ip::address_v6(v6)).to_string();
    }
    phase_ = Phase::V2Skip;
    if (skip_ == 0)
        state_ = State::Done;
}

bool Cidr::parse(const std::string& text, Cidr& out)
{
    const auto slash = text.find('/');
    boost::system::error_code ec;
    const ip::address address = ip::make_address(text.substr(0, slash), ec);
    if (ec)
        return false;
    const unsigned bits = address.is_v6() ? 128 : 32;
    unsigned prefix = bits;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        prefix = static_cast<unsigned>(std::stoul(digits));
        if (prefix > bits)
            return false;
    }
    out.v6_ = address.is_v6();
    out.prefix_ = prefix;
    out.bytes_ = {};
    if (out.v6_) {
        const auto b = address.to_v6().to_bytes();
        std::copy(b.begin(), b.end(), out.bytes_.begin());
    } else {
        const auto b = address.to_v4().to_bytes();
        std::copy(b.begin(), b.end(), out.bytes_.begin());
    }
    return true;
}

bool Cidr::contains(const ip::address& candidate) const
{
    const ip::address address = plain(candidate);
    if (address.is_v6() != v6_)
        return false;
    std::array<unsigned char, 16> bytes{};
    if (v6_) {
        const auto b = address.to_v6().to_bytes();
        std::copy(b.begin(), b.end(), bytes.begin());
    } else {
        const auto b = address.to_v4().to_bytes();
        std::copy(b.begin(), b.end(), bytes.begin());
    }
    const unsigned whole = prefix_ / 8;
    if (!std::equal(bytes.begin(), bytes.begin() + whole, bytes_.begin()))
        return false;
    const unsigned rest = prefix_ % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (bytes[whole] & mask) == (bytes_[whole] & mask);
}

TrustedProxies::TrustedProxies(const std::vector<std::string>& ranges)
{
    for (const auto& text : ranges) {
        Cidr range;
        if (!Cidr::parse(text, range))
            throw std::runtime_error("invalid trusted proxy '" + text + "': an address or CIDR range expected");
        ranges_.push_back(range);
    }
}

bool TrustedProxies::contains(const ip::address& address) const
{
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const Cidr& r) { return r.contains(address); });
}

} // namespace crw::server
