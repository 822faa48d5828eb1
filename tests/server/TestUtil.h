// Small synchronous HTTP and WebSocket clients with bounded waits, and a server fixture.
#pragma once

#include "crw/server/Server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace crw::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;

constexpr std::chrono::milliseconds kWait{5000};

struct HttpResult {
    int status = 0; // 0 when no answer came
    std::string body;
};

// `from` picks the client's source address (anything in 127.0.0.0/8), so that tests can play several hosts.
HttpResult httpRequest(unsigned short port, const std::string& method, const std::string& target,
                       const std::string& body = {}, const std::string& from = {});

// Raw bytes over TCP; returns what the server sent until it closed or the wait ran out.
std::string rawExchange(unsigned short port, const std::string& bytes, std::chrono::milliseconds limit = kWait,
                        const std::string& from = {});

// `count` idle connections from `from`, held open in `idle` by the caller.
void holdIdle(net::io_context& ioc, std::vector<std::unique_ptr<tcp::socket>>& idle, const std::string& from,
              int count, unsigned short port);

// The registration body exactly as the plug-in writes it.
struct Reg {
    std::string title = "Looking for a calm duo";
    std::string name = "Tester";
    std::string id = "Steam|76561190000000001|0";
    std::string playlists = R"({"Playlist":"Ranked-2v2", "MMR":"1000.0", "Range":"100"})";
    std::string regions = R"("Europe")";
    std::string languages = R"("Any")";
    std::string voice = "any";
    std::string body() const;
};

std::string jsonEscape(const std::string& text);

class WsClient {
public:
    WsClient() : ws_(ioc_) {}
    bool connect(unsigned short port, const std::string& target = "/", const std::string& from = {});
    // Before connect: a small receive buffer makes a client that does not read fill up quickly.
    void smallReceiveBuffer();
    bool send(const std::string& text);
    // The next message, or nothing when the connection ended (see closeCode()) or the wait ran out.
    std::optional<std::string> read(std::chrono::milliseconds limit = kWait);
    bool close(websocket::close_code code, const std::string& reason = {});
    // Drops the TCP connection without a closing handshake.
    void drop();
    int closeCode() const { return static_cast<int>(ws_.reason().code); }
    std::string closeReason() const { return std::string(ws_.reason().reason.c_str()); }
    beast::error_code lastError() const { return lastError_; }

private:
    beast::error_code run(const std::function<void(std::function<void(beast::error_code)>)>& op,
                          std::chrono::milliseconds limit);
    net::io_context ioc_;
    websocket::stream<tcp::socket> ws_;
    beast::flat_buffer buffer_;
    beast::error_code lastError_;
};

// Waits, in short steps and for a bounded time, until the condition holds.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWait);

class ServerTest : public ::testing::Test {
protected:
    void startServer(server::ServerOptions options = {});
    void TearDown() override;
    // Registers over HTTP, opens the socket and sends the body; the client holds the listing.
    std::unique_ptr<WsClient> registerAndConnect(const Reg& reg, const std::string& from = {});
    std::vector<std::string> logLines();
    unsigned listSize();

    std::unique_ptr<server::Server> server_;
    unsigned short port_ = 0;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

} // namespace crw::test
