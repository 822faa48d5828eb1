#pragma once
// Small network helpers shared by the net tests.
#include <boost/asio/ip/tcp.hpp>

namespace crwtest {

// A loopback port that nothing listens on (bound once, then released).
inline unsigned short closedPort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(ioc, {boost::asio::ip::address_v4::loopback(), 0});
    return acceptor.local_endpoint().port();
}

} // namespace crwtest
