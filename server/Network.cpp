#include "Network.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>

namespace crw::server {

namespace {

template <typename Bytes>
void keepBits(Bytes& bytes, unsigned bits)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned from = static_cast<unsigned>(i) * 8;
        if (bits >= from + 8)
            continue;
        bytes[i] = bits <= from ? 0 : static_cast<unsigned char>(bytes[i] & (0xFF << (8 - (bits - from))));
    }
}

} // namespace

std::string networkOf(const std::string& address, unsigned v4Bits, unsigned v6Bits)
{
    boost::system::error_code ec;
    auto ip = boost::asio::ip::make_address(address, ec);
    if (ec)
        return address;
    if (ip.is_v6() && ip.to_v6().is_v4_mapped())
        ip = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, ip.to_v6());
    if (ip.is_v4()) {
        const unsigned bits = std::min(v4Bits, 32u);
        auto bytes = ip.to_v4().to_bytes();
        keepBits(bytes, bits);
        return boost::asio::ip::address_v4(bytes).to_string() + "/" + std::to_string(bits);
    }
    const unsigned bits = std::min(v6Bits, 128u);
    auto bytes = ip.to_v6().to_bytes();
    keepBits(bytes, bits);
    return boost::asio::ip::address_v6(bytes).to_string() + "/" + std::to_string(bits);
}

} // namespace crw::server
