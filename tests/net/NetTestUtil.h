#pragma once
// Small network helpers shared by the net tests.
#include <cstdlib>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace crwtest {

// A loopback port that nothing listens on (bound once, then released).
inline unsigned short closedPort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(ioc, {boost::asio::ip::address_v4::loopback(), 0});
    return acceptor.local_endpoint().port();
}

// Sets an environment variable of this process; empty text removes it.
inline void setEnvironment(const char* name, const std::string& value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

} // namespace crwtest
