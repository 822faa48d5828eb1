#pragma once

#include "Core.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <optional>

namespace crw::server {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct HttpReply {
    http::status status;
    std::string body;
    const char* contentType = "text/plain";
    std::shared_ptr<const std::string> shared = {};
};

// Plain HTTP/1.1 with keep-alive; hands an upgrade on "/" over to a WsSession.
class HttpSession : public Session, public std::enable_shared_from_this<HttpSession> {
public:
    // `metricsPort`: a connection to the "/metrics" listener, which answers nothing else.
    HttpSession(tcp::socket socket, std::shared_ptr<Core> core, bool metricsPort = false);
    // False when the server refused the connection (stopping or full).
    bool start();
    void shutdown() override;

private:
    bool admit();
    void readProxyHeader();
    void onProxyHeader(beast::error_code ec, std::size_t bytes);
    void readHeader();
    void onHeader(beast::error_code ec);
    void readBody();
    void onBody(beast::error_code ec);
    void sendContinue();
    void answer(const std::string& path, HttpReply reply);
    void respond(http::status status, std::string body, bool keepAlive, const char* contentType = "text/plain");
    void respond(http::status status, std::shared_ptr<const std::string> body, bool keepAlive, const char* contentType);
    void onWrite(bool keepAlive, beast::error_code ec);
    void closeGracefully();
    void drain();
    void upgrade();
    void logRequest(unsigned status);
    void logLine(beast::string_view method, beast::string_view target, unsigned status);

    beast::tcp_stream stream_;
    const net::any_io_executor executor_; // the connection's strand; safe to use from any thread
    std::shared_ptr<Core> core_;
    // The client's address: the peer's, or the one a trusted balancer's PROXY header names.
    std::string address_;
    std::unique_ptr<ProxyHeaderParser> proxy_; // while a balancer's header is being read
    const bool metricsPort_;
    SessionSlot slot_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    // The answer being written: its head, and a body that may be the shared list snapshot.
    std::string head_;
    std::shared_ptr<const std::string> body_;
    http::response<http::empty_body> continue_;
    std::array<char, 4096> drainBuffer_{};
    std::size_t drained_ = 0;
    bool upgraded_ = false; // strand only
    bool answered_ = false; // strand only: the current request has its answer (a late registry answer is ignored)
    std::chrono::steady_clock::time_point started_; // strand only: when the current request's header was read
};

class WsSession : public Session, public FrameSink, public std::enable_shared_from_this<WsSession> {
public:
    WsSession(beast::tcp_stream stream, std::shared_ptr<Core> core, std::string address);
    ~WsSession() override;
    bool start(http::request<http::string_body> request);
    void shutdown() override;
    bool trySend(std::string text) override;
    void unlisted() override;

private:
    struct Outgoing {
        bool close = false;
        websocket::close_reason reason;
        std::string text;
    };
    void onAccept(beast::error_code ec);
    void onClaimTimeout(beast::error_code ec);
    void onControl(websocket::frame_type kind);
    void dropIfStalled();
    void read();
    void onRead(beast::error_code ec, std::size_t bytes);
    void handleFrame(const std::string& payload);
    void onClaimed(Registry::Claim claimed);
    void enqueue(Outgoing out);
    void writeNext();
    void onWrite(beast::error_code ec);
    void closeWith(websocket::close_code code, const std::string& reason);
    void releaseListing();

    // Touched only on the session's strand, except queued_ (atomic: trySend reserves a place from any thread).
    websocket::stream<beast::tcp_stream> ws_;
    const net::any_io_executor executor_; // the connection's strand; safe to use from any thread
    std::shared_ptr<Core> core_;
    std::string address_;
    SessionSlot slot_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    std::deque<Outgoing> outbox_;
    std::atomic<std::size_t> queued_{0}; // text frames handed to trySend and not yet written or dropped
    net::steady_timer claimTimer_;
    std::chrono::steady_clock::time_point writeStarted_;
    bool accepted_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool gone_ = false;       // the read side ended: nothing more comes from the player
    std::string claimingId_;  // a claim on its way to the registry
    std::string heldId_;
};

} // namespace crw::server
