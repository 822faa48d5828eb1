// Limits that count per network: one home connection or a small range owns many addresses.
#pragma once

#include <string>

namespace crw::server {

// The network an address (as Asio prints it) belongs to: its first v4Bits bits for IPv4 (IPv4-mapped IPv6
// included), its first v6Bits for IPv6, printed as "ADDRESS/BITS". Anything that does not parse as an address is
// its own network.
std::string networkOf(const std::string& address, unsigned v4Bits, unsigned v6Bits);

} // namespace crw::server
