#include "Registration.h"
#include "Sessions.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <fmt/format.h>

namespace crw::server {

namespace {
// Invites waiting for a slow reader; past this new ones are refused (the sender gets 429), nothing is closed.
constexpr std::size_t kMaxOutbox = 64;

// Close codes a peer may send: the defined ones and the ranges for libraries and applications.
bool validCloseCode(std::uint16_t code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}
} // namespace

WsSession::WsSession(beast::tcp_stream stream, std::shared_ptr<Core> core, std::string address)
    : ws_(std::move(stream)), executor_(ws_.get_executor()), core_(std::move(core)), address_(std::move(address)),
      claimTimer_(executor_)
{
}

WsSession::~WsSession() { releaseListing(); }

bool WsSession::start(http::request<http::string_body> request)
{
    std::uint64_t id = 0;
    if (core_->addSession(weak_from_this(), true, address_, id) != Core::Admit::Ok)
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
    // Unmasked, uncompressed frames are written straight from their own buffer; beast's 4 KB write buffer
    // would be most of what a listed player costs.
    ws_.write_buffer_bytes(512);
    ws_.text(true);
    if (core_->options.wsSendBuffer) {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().set_option(
            net::socket_base::send_buffer_size(static_cast<int>(core_->options.wsSendBuffer)), ec);
    }
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) { onControl(kind); });
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

bool WsSession::trySend(std::string text)
{
    if (queued_.fetch_add(1) >= kMaxOutbox) {
        queued_.fetch_sub(1);
        net::post(executor_, [self = shared_from_this()] { self->dropIfStalled(); });
        return false;
    }
    net::post(executor_, [self = shared_from_this(), text = std::move(text)]() mutable {
        Outgoing out;
        out.text = std::move(text);
        self->enqueue(std::move(out));
    });
    return true;
}

void WsSession::unlisted()
{
    net::post(executor_, [self = shared_from_this()] {
        // An application code: any code but 1000 tells the plug-in that its registration is gone.
        self->closeWith(static_cast<websocket::close_code>(4000), "Registration no longer listed, register again");
    });
}

// A full queue alone is no fault (the sender is refused instead); a write that has not moved for long is.
void WsSession::dropIfStalled()
{
    if (!writing_ || std::chrono::steady_clock::now() - writeStarted_ < core_->options.wsWriteStall)
        return;
    core_->log("websocket: writes made no progress, dropping the connection");
    releaseListing();
    beast::get_lowest_layer(ws_).close();
}

void WsSession::onAccept(beast::error_code ec)
{
    request_ = {};
    if (ec)
        return;
    accepted_ = true;
    if (core_->stopping()) // shutdown() ran before the handshake was done
        closeWith(websocket::close_code::going_away, "Server shutting down");
    claimTimer_.expires_after(core_->options.wsClaimTimeout);
    claimTimer_.async_wait([self = shared_from_this()](beast::error_code tec) { self->onClaimTimeout(tec); });
    read();
}

// A socket that registers nothing only takes a place that a player could use.
void WsSession::onClaimTimeout(beast::error_code ec)
{
    if (!ec && heldId_.empty() && claimingId_.empty())
        closeWith(websocket::close_code::policy_error, "No registration sent on this connection");
}

// Beast echoes any close code it does not know to be reserved; codes past the defined ranges are refused with 1002
// before that echo can go out.
void WsSession::onControl(websocket::frame_type kind)
{
    if (kind != websocket::frame_type::close || validCloseCode(ws_.reason().code))
        return;
    // Beast offers no way to replace its echo from here, and this runs on an I/O thread: the 1002 goes out only if
    // the kernel takes it at once. A peer that stopped reading gets just the end of the stream.
    auto& socket = beast::get_lowest_layer(ws_).socket();
    beast::error_code ec;
    if (!writing_) { // nothing else is on the wire, so the frame cannot land inside another one
        static const unsigned char kProtocolError[] = {0x88, 0x02, 0x03, 0xEA};
        socket.non_blocking(true, ec);
        if (!ec) {
            socket.write_some(net::buffer(kProtocolError), ec);
            socket.non_blocking(false, ec);
        }
    }
    socket.shutdown(tcp::socket::shutdown_send, ec);
}

void WsSession::read()
{
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t n) { self->onRead(ec, n); });
}

void WsSession::onRead(beast::error_code ec, std::size_t)
{
    if (ec) {
        // Closed by the client with any code, dropped, timed out or refused for size: the player is gone.
        gone_ = true;
        releaseListing();
        claimTimer_.cancel(); // its wait would keep the session, counted as a connection, until it fires
        return;
    }
    const std::string payload = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    buffer_.shrink_to_fit(); // a listed player keeps nothing of its registration frame
    if (!closing_)
        handleFrame(payload);
    read();
}

void WsSession::handleFrame(const std::string& payload)
{
    const RegistrationFrame frame = parseRegistrationFrame(payload);
    if (frame.kind == RegistrationFrame::NotJson) {
        // A client that sends junk and reads none of the answers only hurts itself.
        if (queued_.fetch_add(1) >= kMaxOutbox) {
            queued_.fetch_sub(1);
            return closeWith(websocket::close_code::policy_error, "Too many unread messages");
        }
        Outgoing out;
        out.text = kBadMessageText;
        enqueue(std::move(out));
        return;
    }
    if (frame.kind == RegistrationFrame::NoId)
        return closeWith(websocket::close_code::policy_error, "Registration frame without IdString");
    const std::string& id = frame.id;
    if (id == heldId_ || id == claimingId_)
        return; // the same registration again changes nothing
    if (!heldId_.empty() || !claimingId_.empty())
        return closeWith(websocket::close_code::policy_error, "This connection already holds a registration");
    claimingId_ = id;
    core_->registry().claim(id, slot_.id(), weak_from_this(), address_, [self = shared_from_this()](Registry::Claim c) {
        net::dispatch(self->executor_, [self, c] { self->onClaimed(c); });
    });
}

void WsSession::onClaimed(Registry::Claim claimed)
{
    std::string id = std::move(claimingId_);
    claimingId_.clear();
    if (claimed == Registry::Claim::Listed && (closing_ || gone_)) {
        // The socket ended while the claim was on its way.
        core_->registry().release(id, slot_.id());
        return;
    }
    switch (claimed) {
    case Registry::Claim::Listed:
        break;
    case Registry::Claim::NotPending:
        return closeWith(websocket::close_code::policy_error, "No pending registration for this IdString");
    case Registry::Claim::TakenElsewhere:
        return closeWith(websocket::close_code::policy_error, "This registration was made from another address");
    case Registry::Claim::Unavailable:
        return closeWith(websocket::close_code::try_again_later, "Server busy, register again shortly");
    }
    heldId_ = std::move(id);
    holdsListing(true);
    ++core_->listingsHeld;
    claimTimer_.cancel();
    // One line per listing, like one per request; control bytes never reach the log.
    std::string shown = heldId_;
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
    if (closing_ || !accepted_) {
        if (!out.close)
            queued_.fetch_sub(1);
        return;
    }
    if (out.close) {
        closing_ = true;
        claimTimer_.cancel();
        // The player stops being listed as soon as the server decides to close.
        releaseListing();
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
    writeStarted_ = std::chrono::steady_clock::now();
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
    if (!outbox_.empty()) {
        if (!wasClose)
            queued_.fetch_sub(1);
        outbox_.pop_front();
    }
    if (ec || wasClose) {
        for (const auto& out : outbox_)
            if (!out.close)
                queued_.fetch_sub(1);
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
    core_->registry().release(heldId_, slot_.id());
    heldId_.clear();
    --core_->listingsHeld;
}

} // namespace crw::server
