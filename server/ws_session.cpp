#include "registration.hpp"
#include "sessions.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <fmt/format.h>

namespace crw::server {

namespace {
// An unread socket must not grow without bound; invites are rare, so this is generous.
constexpr std::size_t kMaxOutbox = 256;
} // namespace

WsSession::WsSession(beast::tcp_stream stream, std::shared_ptr<Core> core, std::string address)
    : ws_(std::move(stream)), executor_(ws_.get_executor()), core_(std::move(core)), address_(std::move(address))
{
}

WsSession::~WsSession() { releaseListing(); }

bool WsSession::start(http::request<http::string_body> request)
{
    const std::uint64_t id = core_->addSession(weak_from_this(), true);
    if (id == 0)
        return false;
    slot_ = SessionSlot(core_, id);
    request_ = std::move(request);

    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = core_->options.headerTimeout;
    timeout.idle_timeout = core_->options.wsIdleTimeout;
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "crw-server"); }));
    ws_.read_message_max(core_->options.maxBodyBytes);
    ws_.text(true);
    net::dispatch(executor_, [self = shared_from_this()] {
        self->ws_.async_accept(self->request_, [self](beast::error_code ec) { self->onAccept(ec); });
    });
    return true;
}

void WsSession::shutdown()
{
    net::post(executor_, [self = shared_from_this()] {
        // A handshake still in flight is closed by onAccept, which sees the server stopping.
        if (self->accepted_)
            self->closeWith(websocket::close_code::going_away, "Server shutting down");
    });
}

void WsSession::sendText(std::string text)
{
    net::post(executor_, [self = shared_from_this(), text = std::move(text)]() mutable {
        Outgoing out;
        out.text = std::move(text);
        self->enqueue(std::move(out));
    });
}

void WsSession::onAccept(beast::error_code ec)
{
    request_ = {};
    if (ec)
        return;
    accepted_ = true;
    if (core_->stopping()) // shutdown() ran before the handshake was done
        closeWith(websocket::close_code::going_away, "Server shutting down");
    read();
}

void WsSession::read()
{
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t n) { self->onRead(ec, n); });
}

void WsSession::onRead(beast::error_code ec, std::size_t)
{
    if (ec) {
        // Closed by the client with any code, dropped, timed out or refused for size: the player is gone.
        releaseListing();
        return;
    }
    const std::string payload = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    if (!closing_)
        handleFrame(payload);
    read();
}

void WsSession::handleFrame(const std::string& payload)
{
    Json::Value root;
    if (!parseJson(payload, root)) {
        Outgoing out;
        out.text = kBadMessageText;
        enqueue(std::move(out));
        return;
    }
    std::string id;
    if (root.isObject()) {
        const Json::Value& creator = root["Creator"];
        if (creator.isObject() && creator["IdString"].isString())
            id = creator["IdString"].asString();
        else if (root["IdString"].isString())
            id = root["IdString"].asString();
    }
    if (id.empty())
        return closeWith(websocket::close_code::policy_error, "Registration frame without IdString");
    if (id == heldId_)
        return; // the same registration again changes nothing
    if (!heldId_.empty())
        return closeWith(websocket::close_code::policy_error, "This connection already holds a registration");
    if (!core_->registry.claim(id, slot_.id(), weak_from_this(), address_))
        return closeWith(websocket::close_code::policy_error, "No pending registration for this IdString");
    heldId_ = id;
    // One line per listing, like one per request; control bytes never reach the log.
    std::string shown = id;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    core_->log(fmt::format("websocket: listed {}", shown));
}

void WsSession::closeWith(websocket::close_code code, const std::string& reason)
{
    if (closing_)
        return;
    Outgoing out;
    out.close = true;
    out.reason = websocket::close_reason(code, reason);
    enqueue(std::move(out));
}

void WsSession::enqueue(Outgoing out)
{
    if (closing_ || !accepted_)
        return;
    if (out.close) {
        closing_ = true;
        // The player stops being listed as soon as the server decides to close.
        releaseListing();
    } else if (outbox_.size() >= kMaxOutbox) {
        core_->log("websocket: outgoing queue full, closing");
        return closeWith(websocket::close_code::policy_error, "Too many unread messages");
    }
    outbox_.push_back(std::move(out));
    if (!writing_)
        writeNext();
}

void WsSession::writeNext()
{
    if (outbox_.empty()) {
        writing_ = false;
        return;
    }
    writing_ = true;
    Outgoing& front = outbox_.front();
    auto self = shared_from_this();
    if (front.close) {
        ws_.async_close(front.reason, [self](beast::error_code ec) { self->onWrite(ec); });
    } else {
        ws_.async_write(net::buffer(front.text), [self](beast::error_code ec, std::size_t) { self->onWrite(ec); });
    }
}

void WsSession::onWrite(beast::error_code ec)
{
    const bool wasClose = !outbox_.empty() && outbox_.front().close;
    if (!outbox_.empty())
        outbox_.pop_front();
    if (ec || wasClose) {
        outbox_.clear();
        writing_ = false;
        if (ec) {
            releaseListing();
            beast::get_lowest_layer(ws_).close();
        }
        return;
    }
    writeNext();
}

void WsSession::releaseListing()
{
    if (heldId_.empty())
        return;
    core_->registry.release(heldId_, slot_.id());
    heldId_.clear();
}

} // namespace crw::server
