#include "RedisRegistry.h"
#include "Registration.h"
#include "Sessions.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <fmt/format.h>

#include <cerrno>
#include <sys/socket.h>

namespace crw::server {

namespace {

constexpr std::size_t kHeaderLimit = 8 * 1024;
// Unparsed bytes held at once: a header, or a chunk-size line or trailer, must fit; the body goes to the parser.
constexpr std::size_t kReadBufferLimit = 2 * kHeaderLimit;
constexpr std::size_t kDrainLimit = 1024 * 1024;
constexpr std::chrono::seconds kDrainTime{2};
constexpr unsigned kClientGone = 499; // logged and counted only: nobody is there to read it

bool isParseError(beast::error_code ec)
{
    static const beast::error_code sample = http::error::bad_target;
    return ec.category() == sample.category();
}

// The sender closed its end (or reset it) before its request was read: it sat in the queue of a stalled or starting
// node, and its sender gave up on it.
bool hungUp(tcp::socket& socket)
{
    char byte;
    const ssize_t n = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Keeps hostile bytes out of the log.
std::string printable(beast::string_view text)
{
    std::string out;
    const std::size_t n = std::min<std::size_t>(text.size(), 200);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out += (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
    if (text.size() > n)
        out += "...";
    return out;
}

std::string pathOf(beast::string_view target)
{
    const auto q = target.find('?');
    return std::string(q == beast::string_view::npos ? target : target.substr(0, q));
}

using Reply = HttpReply;

// An echoed name is cut to the name limit (at a character boundary), whatever the request carried.
std::string shortName(const std::string& name)
{
    if (name.size() <= kMaxNameBytes)
        return name;
    std::size_t end = kMaxNameBytes;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end) + "...";
}

std::string metricsText(Core& core)
{
    Metrics::Gauges g;
    g.listed = core.registry().listedCount();
    g.pending = core.registry().pendingCount();
    g.connections = core.sessionCount();
    const auto list = core.registry().listStats();
    g.listBytes = list.bytes;
    g.listEntries = list.entries;
    g.listLeftOut = list.leftOut;
    g.draining = core.draining;
    if (auto* cluster = core.cluster()) {
        g.clustered = true;
        g.redisUp = cluster->available();
        g.redisReconnects = cluster->client().reconnects();
        g.redisCommands = cluster->client().latencyCount();
        g.redisMicros = cluster->client().latencyMicros();
        const auto buckets = cluster->client().latencyBuckets();
        for (std::size_t i = 0; i < RedisClient::kLatencyBounds.size(); ++i)
            g.redisBuckets.emplace_back(RedisClient::kLatencyBounds[i], buckets[i]);
    }
    return core.metrics.render(g);
}

const Reply kUnavailable{http::status::service_unavailable,
                         "Service unavailable: the server cannot reach its shared store, try again shortly"};

Reply inviteReply(Core& core, const Registry::InviteResult& result, const InviteRequest& invite)
{
    if (result.outcome == Registry::Invite::RateLimited || result.outcome == Registry::Invite::AddressLimited)
        ++core.metrics.rateLimited;
    // A cluster's registry counts deliveries on the node that holds the socket.
    if (!core.cluster() && result.outcome == Registry::Invite::Delivered)
        ++core.metrics.invitesDelivered;
    if (!core.cluster() && result.outcome == Registry::Invite::QueueFull)
        ++core.metrics.invitesDropped;
    switch (result.outcome) {
    case Registry::Invite::Delivered:
        return {http::status::ok, fmt::format("Invite request sent to {}", result.name)};
    case Registry::Invite::NotListed:
        return {http::status::payment_required,
                fmt::format("{} is not searching for team-mates anymore", shortName(invite.searcherName))};
    case Registry::Invite::QueueFull:
        return {http::status::too_many_requests,
                fmt::format("{} has too many invites waiting, try again later", result.name)};
    case Registry::Invite::RateLimited:
        return {http::status::too_many_requests,
                fmt::format("{} is receiving too many invites, try again later", result.name)};
    case Registry::Invite::AddressLimited:
        return {http::status::too_many_requests, "Too many invite requests, wait a little before the next one"};
    case Registry::Invite::Unavailable:
        break;
    case Registry::Invite::NoAnswer:
        // The frame went out but its node did not confirm it: the player may still get it.
        return {http::status::service_unavailable,
                fmt::format("The server of {} did not answer in time, the invite may not have arrived",
                            shortName(result.name.empty() ? invite.searcherName : result.name))};
    }
    return kUnavailable;
}

// The paths answered from memory, without a handler's cost.
std::optional<Reply> immediate(Core& core, const std::string& path, bool metricsPort)
{
    // Counters tell a lot about who uses the server: kept off the public side when they have a port of their own.
    const bool metricsHere = metricsPort || core.options.metricsBind.empty();
    if (path == "/metrics" && metricsHere)
        return Reply{http::status::ok, metricsText(core), "text/plain; version=0.0.4"};
    if (metricsPort)
        return Reply{http::status::not_found, "Not found"};
    if (path == "/CheckAPI")
        return Reply{http::status::ok, "Crewfinder server is up"};
    // For balancers: a draining node is still up for its own players but should get no new ones.
    if (path == "/health")
        return core.draining ? Reply{http::status::service_unavailable, "draining"} : Reply{http::status::ok, "ok"};
    if (path == "/list")
        return Reply{http::status::ok, {}, "application/json", core.registry().listBody()};
    return std::nullopt;
}

// Answers at once, or later (on any thread) when the registry has to ask its shared store.
void handle(Core& core, const std::string& path, const std::string& body, const std::string& address,
            std::function<void(Reply)> done)
{
    if (path == "/register") {
        ValidatedRegistration reg = validateRegistration(body);
        if (!reg.ok)
            return done({http::status::bad_request, "Registration refused: " + reg.error});
        // The plug-in shows the text and opens no socket; registering again reaches a node that is not draining.
        if (core.draining)
            return done({http::status::service_unavailable,
                         "Registration refused: this server is restarting, register again in a moment"});
        return core.registry().addPending(
            reg.idString, std::move(reg.entry), address, [done = std::move(done)](Registry::Register r) {
                switch (r) {
                case Registry::Register::Pending:
                    return done({http::status::ok, "Registration received, open the WebSocket to get listed"});
                case Registry::Register::TakenElsewhere:
                    return done({http::status::conflict,
                                 "Registration refused: this player is registered from another address"});
                case Registry::Register::TooManyPending:
                    return done({http::status::too_many_requests, "Registration refused: too many registrations "
                                                                  "waiting for their WebSocket, try again later"});
                case Registry::Register::Unavailable:
                    break;
                }
                done(kUnavailable);
            });
    }

    if (path == "/UpdateRegistration") {
        ValidatedRegistration reg = validateRegistration(body);
        if (!reg.ok)
            return done({http::status::bad_request, "Update refused: " + reg.error});
        return core.registry().update(
            reg.idString, std::move(reg.entry), address, [done = std::move(done)](Registry::Update r) {
                switch (r) {
                case Registry::Update::Updated:
                    return done({http::status::ok, "Registration updated"});
                case Registry::Update::NotListed:
                    return done({http::status::not_found, "Update refused: this player is not registered"});
                case Registry::Update::WrongAddress:
                    return done({http::status::forbidden,
                                 "Update refused: the registration belongs to another connection"});
                case Registry::Update::Unavailable:
                    break;
                }
                done(kUnavailable);
            });
    }

    if (path == "/RequestInvite") {
        InviteRequest invite = parseInviteRequest(body);
        if (!invite.ok)
            return done({http::status::bad_request, "Invite refused: " + invite.error});
        // A cluster counts the asker's invites in its shared store, so that the limit holds across nodes.
        if (!core.cluster() && !core.invitesFromAddress.take(address)) {
            ++core.metrics.rateLimited;
            return done({http::status::too_many_requests, "Too many invite requests, wait a little before the next one"});
        }
        const std::string frame = inviteNotification(invite.userId, invite.userName);
        const std::string target = invite.searcherId;
        return core.registry().deliverInvite(
            target, frame, address,
            [&core, invite = std::move(invite), done = std::move(done)](Registry::InviteResult result) {
                done(inviteReply(core, result, invite));
            });
    }

    done({http::status::not_found, "Not found"});
}

} // namespace

HttpSession::HttpSession(tcp::socket socket, std::shared_ptr<Core> core, bool metricsPort)
    : stream_(std::move(socket)), executor_(stream_.get_executor()), core_(std::move(core)),
      metricsPort_(metricsPort), buffer_(kReadBufferLimit)
{
    beast::error_code ec;
    const auto remote = stream_.socket().remote_endpoint(ec);
    if (!ec) {
        address_ = remote.address().to_string();
        if (!metricsPort_ && !core_->trustedProxies.empty() && core_->trustedProxies.contains(remote.address()))
            proxy_ = std::make_unique<ProxyHeaderParser>();
    }
}

bool HttpSession::start()
{
    // A balancer's connection is counted once its header names the client, whose limits then apply; until then
    // the header time-out bounds it.
    if (proxy_) {
        net::dispatch(executor_, [self = shared_from_this()] {
            // One deadline for the whole header, however slowly it drips in.
            self->stream_.expires_after(self->core_->options.headerTimeout);
            self->readProxyHeader();
        });
        return true;
    }
    if (!admit())
        return false;
    net::dispatch(executor_, [self = shared_from_this()] { self->readHeader(); });
    return true;
}

bool HttpSession::admit()
{
    std::uint64_t id = 0;
    // A scraper on the metrics port is never refused for numbers: it is how a full server is seen.
    switch (core_->addSession(weak_from_this(), metricsPort_, address_, id)) {
    case Core::Admit::Ok:
        break;
    case Core::Admit::Full:
        ++core_->refusedFull;
        core_->metrics.refused(Metrics::RefusedFull);
        return false;
    case Core::Admit::AddressFull:
        ++core_->refusedAddress;
        core_->metrics.refused(Metrics::RefusedAddress);
        return false;
    case Core::Admit::Stopping:
        return false;
    }
    slot_ = SessionSlot(core_, id);
    return true;
}

void HttpSession::readProxyHeader()
{
    stream_.async_read_some(buffer_.prepare(512), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->onProxyHeader(ec, n);
    });
}

void HttpSession::onProxyHeader(beast::error_code ec, std::size_t bytes)
{
    if (ec) {
        stream_.close();
        return;
    }
    buffer_.commit(bytes);
    // What follows the header stays in the buffer: it is the client's first request.
    const auto data = buffer_.data();
    buffer_.consume(proxy_->feed(static_cast<const char*>(data.data()), data.size()));
    switch (proxy_->state()) {
    case ProxyHeaderParser::State::More:
        return readProxyHeader();
    case ProxyHeaderParser::State::Invalid:
        core_->log(fmt::format("proxy {}: connection closed, {}", address_, proxy_->error()));
        stream_.close();
        return;
    case ProxyHeaderParser::State::Done:
        break;
    }
    if (!proxy_->source().empty())
        address_ = proxy_->source();
    proxy_.reset();
    if (!admit()) {
        if (core_->onLateRefusal)
            core_->onLateRefusal();
        stream_.close();
        return;
    }
    readHeader();
}

void HttpSession::shutdown()
{
    net::post(executor_, [self = shared_from_this()] {
        if (self->upgraded_) // the WebSocket session owns the connection now
            return;
        beast::error_code ec;
        self->stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        self->stream_.close();
    });
}

void HttpSession::readHeader()
{
    answered_ = false;
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(core_->options.maxBodyBytes);
    stream_.expires_after(core_->options.headerTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHeader(ec); });
}

void HttpSession::onHeader(beast::error_code ec)
{
    started_ = std::chrono::steady_clock::now();
    if (ec == http::error::body_limit) {
        logRequest(413);
        return respond(http::status::payload_too_large,
                       fmt::format("Request body larger than {} bytes", core_->options.maxBodyBytes), false);
    }
    if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::operation_aborted ||
        ec == net::error::connection_reset || ec == net::error::eof) {
        stream_.close();
        return;
    }
    if (ec) {
        if (isParseError(ec) && ec != http::error::partial_message) {
            logRequest(400);
            return respond(http::status::bad_request, "Malformed request", false);
        }
        stream_.close();
        return;
    }
    touch();
    if (websocket::is_upgrade(parser_->get()) && !metricsPort_)
        return upgrade();
    const auto expect = parser_->get()[http::field::expect];
    if (beast::iequals(expect, "100-continue") && !parser_->is_done())
        return sendContinue();
    if (parser_->is_done()) // no body: nothing more to read
        return onBody({});
    readBody();
}

void HttpSession::sendContinue()
{
    continue_ = http::response<http::empty_body>(http::status::continue_, 11);
    http::async_write(stream_, continue_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (ec) {
            self->stream_.close();
            return;
        }
        self->readBody();
    });
}

void HttpSession::readBody()
{
    stream_.expires_after(core_->options.bodyTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onBody(ec); });
}

void HttpSession::onBody(beast::error_code ec)
{
    if (ec == http::error::body_limit) {
        logRequest(413);
        return respond(http::status::payload_too_large,
                       fmt::format("Request body larger than {} bytes", core_->options.maxBodyBytes), false);
    }
    if (ec) {
        if (isParseError(ec) && ec != http::error::end_of_stream && ec != http::error::partial_message) {
            logRequest(400);
            return respond(http::status::bad_request, "Malformed request", false);
        }
        stream_.close();
        return;
    }
    const auto& req = parser_->get();
    const std::string path = pathOf(req.target());
    if (auto reply = immediate(*core_, path, metricsPort_))
        return answer(path, std::move(*reply));
    // Applied now, a change nobody waits for any more could undo what its sender has sent since.
    if (hungUp(stream_.socket())) {
        logRequest(kClientGone);
        stream_.close();
        return;
    }
    // The request stays in the parser until the answer is written: nothing is read meanwhile.
    auto finish = [self = shared_from_this(), path](Reply reply) {
        net::dispatch(self->executor_,
                      [self, path, reply = std::move(reply)]() mutable { self->answer(path, std::move(reply)); });
    };
    try {
        handle(*core_, path, req.body(), address_, std::move(finish));
    } catch (const std::exception&) { // nothing a client sends may take the server down
        answer(path, {http::status::internal_server_error, "Internal error"});
    }
}

// On the strand, once per request.
void HttpSession::answer(const std::string& path, Reply reply)
{
    if (answered_)
        return;
    answered_ = true;
    const auto& req = parser_->get();
    logLine(req.method_string(), req.target(), static_cast<unsigned>(reply.status));
    core_->metrics.request(path, static_cast<unsigned>(reply.status));
    if (reply.shared)
        return respond(reply.status, std::move(reply.shared), req.keep_alive(), reply.contentType);
    respond(reply.status, std::move(reply.body), req.keep_alive(), reply.contentType);
}

void HttpSession::logRequest(unsigned status)
{
    // The request line is parsed before the fields, so it is known even when a field was refused.
    if (parser_ && !parser_->get().method_string().empty()) {
        const auto& req = parser_->get();
        logLine(req.method_string(), req.target(), status);
        core_->metrics.request(pathOf(req.target()), status);
    } else {
        logLine("-", "-", status);
        core_->metrics.request({}, status);
    }
}

// "ADDRESS METHOD TARGET STATUS LATENCYms", the latency counted from the end of the request's header.
void HttpSession::logLine(beast::string_view method, beast::string_view target, unsigned status)
{
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_);
    core_->log(fmt::format("{} {} {} {} {:.3f}ms", address_.empty() ? "-" : address_, printable(method),
                           printable(target), status, elapsed.count()));
}

void HttpSession::respond(http::status status, std::string body, bool keepAlive, const char* contentType)
{
    respond(status, std::make_shared<const std::string>(std::move(body)), keepAlive, contentType);
}

void HttpSession::respond(http::status status, std::shared_ptr<const std::string> body, bool keepAlive,
                          const char* contentType)
{
    // The head is written by hand: a fixed layout costs far less than a serializer per request.
    head_ = fmt::format("HTTP/1.1 {} {}\r\nServer: crw-server\r\nContent-Type: {}\r\nContent-Length: {}\r\n{}\r\n",
                        static_cast<unsigned>(status), http::obsolete_reason(status), contentType, body->size(),
                        keepAlive ? "" : "Connection: close\r\n");
    body_ = std::move(body);
    stream_.expires_after(core_->options.bodyTimeout);
    const std::array<net::const_buffer, 2> buffers{net::buffer(head_), net::buffer(*body_)};
    net::async_write(stream_, buffers, [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
        self->body_.reset();
        self->onWrite(keepAlive, ec);
    });
}

void HttpSession::onWrite(bool keepAlive, beast::error_code ec)
{
    if (ec) {
        stream_.close();
        return;
    }
    if (!keepAlive || core_->stopping())
        return closeGracefully();
    readHeader();
}

// Reading what the client still sends keeps the kernel from answering it with a reset that could
// destroy the response before the client has read it.
void HttpSession::closeGracefully()
{
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    if (ec) {
        stream_.close();
        return;
    }
    drained_ = 0;
    stream_.expires_after(kDrainTime);
    drain();
}

void HttpSession::drain()
{
    stream_.async_read_some(net::buffer(drainBuffer_),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                self->drained_ += n;
                                if (ec || self->drained_ > kDrainLimit) {
                                    self->stream_.close();
                                    return;
                                }
                                self->drain();
                            });
}

void HttpSession::upgrade()
{
    auto& req = parser_->get();
    if (pathOf(req.target()) != "/") {
        logRequest(404);
        return respond(http::status::not_found, "Not found", false);
    }
    stream_.expires_never();
    upgraded_ = true;
    auto ws = std::make_shared<WsSession>(std::move(stream_), core_, address_);
    http::request<http::string_body> request = parser_->release();
    logLine(request.method_string(), request.target(), 101);
    core_->metrics.request("/", 101);
    ws->start(std::move(request));
}

} // namespace crw::server
