// PROXY protocol (v1 text, v2 binary) as sent by load balancers ahead of the client's own bytes, and the list of
// balancers allowed to send it.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crw::server {

// Reads one header fed in pieces of any size. It never takes a byte past the header, so what follows is the
// client's first request. Memory is fixed: a v1 line is at most 107 bytes; of v2 only the 16-byte head and the
// addresses are kept, the rest of its announced length (TLVs) is skipped as it arrives.
class ProxyHeaderParser {
public:
    enum class State { More, Done, Invalid };

    // Takes what belongs to the header from the front of data; returns how many bytes it took.
    std::size_t feed(const char* data, std::size_t size);
    State state() const { return state_; }
    // Why the header was refused (Invalid only).
    const std::string& error() const { return error_; }
    // Done: the client's address in its canonical text, or empty when the header names none (a balancer's own
    // health check, or an address family other than IPv4/IPv6): the connection's own address stands then.
    const std::string& source() const { return source_; }
    // Bytes taken in all, the header's size once Done.
    std::size_t consumed() const { return consumed_; }

    static constexpr std::size_t kV1MaxBytes = 107;
    static constexpr std::size_t kV2HeadBytes = 16;

private:
    enum class Phase { Start, V1, V2Head, V2Addresses, V2Skip };
    void fail(const char* why);
    void finishV1();
    void finishV2Head();
    void finishV2Addresses();

    State state_ = State::More;
    Phase phase_ = Phase::Start;
    std::array<char, kV1MaxBytes> held_{}; // the v1 line, or the v2 head and its IPv4/IPv6 addresses
    std::size_t heldSize_ = 0;
    std::size_t want_ = 0; // v2: bytes to keep in held_
    std::size_t skip_ = 0; // v2: bytes of the header left to drop after them
    unsigned char family_ = 0; // v2: address family and transport byte
    std::size_t consumed_ = 0;
    std::string source_;
    std::string error_;
};

// An address range in CIDR notation ("10.0.0.0/8", "fd00::/8"); a bare address is a range of one.
class Cidr {
public:
    // False when the text is no CIDR range.
    static bool parse(const std::string& text, Cidr& out);
    bool contains(const boost::asio::ip::address& address) const;

private:
    bool v6_ = false;
    std::array<unsigned char, 16> bytes_{};
    unsigned prefix_ = 0;
};

// The balancers whose connections start with a PROXY header. Read-only once built.
class TrustedProxies {
public:
    // Throws std::runtime_error naming the first entry that is no CIDR range.
    explicit TrustedProxies(const std::vector<std::string>& ranges);
    bool empty() const { return ranges_.empty(); }
    bool contains(const boost::asio::ip::address& address) const;

private:
    std::vector<Cidr> ranges_;
};

} // namespace crw::server
