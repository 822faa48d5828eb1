#include "crw/server/Server.h"

#include "Core.h"
#include "Demo.h"
#include "Network.h"
#include "RedisRegistry.h"
#include "Sessions.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <malloc.h>
#include <optional>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace crw::server {

Core::Core(ServerOptions opts)
    : options(std::move(opts)), trustedProxies(options.trustedProxies), invitesFromAddress(options.invitesPerAddressPerSecond, options.inviteBurstPerAddress),
      log_(options.log, options.logQueueLines),
      node_(options.nodeId.empty() || options.redis.empty() ? "-" : options.nodeId)
{
    RegistryLimits limits;
    limits.pendingTimeout = options.pendingTimeout;
    limits.maxPending = options.maxPending;
    limits.maxPendingPerAddress = options.maxPendingPerAddress;
    limits.maxPendingPerNetwork = options.maxPendingPerNetwork;
    limits.networkBitsV4 = options.networkBitsV4;
    limits.networkBitsV6 = options.networkBitsV6;
    limits.invitesPerTargetPerSecond = options.invitesPerTargetPerSecond;
    limits.inviteBurstPerTarget = options.inviteBurstPerTarget;
    limits.invitesPerAddressPerSecond = options.invitesPerAddressPerSecond;
    limits.inviteBurstPerAddress = options.inviteBurstPerAddress;
    limits.listBudget.bytes = options.listBudgetBytes;
    limits.listBudget.entries = options.listBudgetEntries;
    if (options.redis.empty()) {
        registry_ = std::make_unique<LocalRegistry>(limits);
        return;
    }
    RedisRegistryOptions cluster;
    const auto colon = options.redis.rfind(':');
    unsigned long port = 0;
    if (colon != std::string::npos)
        port = std::strtoul(options.redis.c_str() + colon + 1, nullptr, 10);
    if (colon == std::string::npos || colon == 0 || port == 0 || port > 65535)
        throw std::runtime_error(fmt::format("invalid Redis address '{}': HOST:PORT expected", options.redis));
    cluster.host = options.redis.substr(0, colon);
    cluster.port = static_cast<unsigned short>(port);
    // The prefix goes into the scripts' text as a Lua string.
    const bool prefixOk = options.redisPrefix.size() <= 64 &&
                          std::all_of(options.redisPrefix.begin(), options.redisPrefix.end(), [](unsigned char c) {
                              return std::isalnum(c) || std::strchr(":_.-{}", c);
                          });
    if (!prefixOk)
        throw std::runtime_error(fmt::format(
            "invalid Redis key prefix '{}': up to 64 letters, digits and : _ . - {{ }} expected", options.redisPrefix));
    cluster.password = options.redisPassword;
    cluster.db = options.redisDb;
    cluster.prefix = options.redisPrefix;
    cluster.nodeId = options.nodeId;
    cluster.nodeTtl = options.nodeTtl;
    cluster.heartbeat = std::max(std::chrono::milliseconds(50), options.nodeTtl / 5);
    cluster.limits = limits;
    cluster.callTimeout = options.redisTimeout;
    cluster.log = [this](std::string line) { log(std::move(line)); };
    cluster.fatal = [fatal = options.onFatal](std::string text) {
        if (fatal)
            fatal(text);
    };
    auto redis = std::make_unique<RedisRegistry>(std::move(cluster), &metrics);
    cluster_ = redis.get();
    registry_ = std::move(redis);
}

void Core::log(const std::string& line)
{
    log_.write(fmt::format("{} {} {}", utcTimestamp(), node_, line));
}

std::size_t Core::webSocketCount() const
{
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    return webSockets_;
}

bool Core::waitForWebSockets(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(sessionsMutex_);
    sessionsGone_.wait_for(lock, limit, [this] { return webSockets_ == 0 || stopping_; });
    return webSockets_ == 0;
}

std::size_t Core::sessionCount() const
{
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    return sessions_.size();
}

bool RateLimiter::take(const std::string& address)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, fresh] = buckets_.try_emplace(address, Bucket{burst_, now});
    Bucket& b = it->second;
    if (!fresh) {
        b.tokens = std::min(burst_, b.tokens + std::chrono::duration<double>(now - b.at).count() * perSecond_);
        b.at = now;
    }
    if (b.tokens < 1)
        return false;
    b.tokens -= 1;
    return true;
}

void RateLimiter::prune()
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        const double tokens =
            it->second.tokens + std::chrono::duration<double>(now - it->second.at).count() * perSecond_;
        it = tokens >= burst_ ? buckets_.erase(it) : std::next(it);
    }
}

Core::Admit Core::addSession(std::weak_ptr<Session> session, bool handoff, const std::string& address,
                             std::uint64_t& id)
{
    std::string network = networkOf(address, options.networkBitsV4, options.networkBitsV6);
    // Sessions looked at are let go only after the lock: a last reference dropped under it would unregister its
    // session, which takes the lock again.
    std::vector<std::shared_ptr<Session>> looked;
    std::shared_ptr<Session> evicted;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        if (stopping_)
            return Admit::Stopping;
        const std::size_t fromAddress = books_.fromAddress(address);
        const std::size_t fromNetwork = books_.inNetwork(network);
        if (!handoff) {
            if (fromAddress >= options.maxPerAddress || fromNetwork >= options.maxPerNetwork)
                return Admit::AddressFull;
            if (sessions_.size() >= options.maxConnections) {
                if (!evictLocked(fromNetwork + 1, evicted, looked))
                    return Admit::Full;
                ++metrics.connectionsEvicted;
            }
        }
        id = nextSessionId_++;
        books_.add(address, network, id);
        // Only a WebSocket is handed over from an HTTP connection.
        sessions_.emplace(id, Entry{std::move(session), address, std::move(network), handoff});
        webSockets_ += handoff ? 1 : 0;
    }
    if (evicted)
        evicted->shutdown();
    return Admit::Ok;
}

bool Core::evictLocked(std::size_t than, std::shared_ptr<Session>& victimSession,
                       std::vector<std::shared_ptr<Session>>& looked)
{
    // A few of the busiest networks: one whose every connection holds a listing gives way to the next.
    int networks = 0;
    const auto& byLoad = books_.byLoad();
    for (auto top = byLoad.rbegin(); top != byLoad.rend() && top->first > than && networks < 4; ++top, ++networks) {
        const auto& ids = books_.keysOf(top->second);
        auto victim = sessions_.end();
        std::shared_ptr<Session> held;
        for (std::uint64_t candidate : ids) {
            auto it = sessions_.find(candidate);
            auto live = it->second.session.lock();
            if (live)
                looked.push_back(live);
            if (live && live->listed())
                continue;
            if (!live) { // on its way out already
                held.reset();
                victim = it;
                break;
            }
            if (victim == sessions_.end() || live->lastActive() < held->lastActive()) {
                victim = it;
                held = live;
            }
        }
        if (victim != sessions_.end()) {
            forgetLocked(victim);
            victimSession = std::move(held);
            return true;
        }
    }
    return false;
}

void Core::forgetLocked(std::unordered_map<std::uint64_t, Entry>::iterator it)
{
    books_.remove(it->second.address, it->second.network, it->first);
    if (it->second.webSocket)
        --webSockets_;
    sessions_.erase(it);
}

void Core::removeSession(std::uint64_t id)
{
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return;
    forgetLocked(it);
    if (sessions_.empty() || webSockets_ == 0)
        sessionsGone_.notify_all();
}

bool Core::stopping() const
{
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    return stopping_;
}

std::vector<std::shared_ptr<Session>> Core::beginStop()
{
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    stopping_ = true;
    sessionsGone_.notify_all(); // a drain still waiting ends here
    std::vector<std::shared_ptr<Session>> live;
    for (auto& kv : sessions_)
        if (auto s = kv.second.session.lock())
            live.push_back(std::move(s));
    return live;
}

bool Core::waitForSessions(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(sessionsMutex_);
    return sessionsGone_.wait_for(lock, limit, [this] { return sessions_.empty(); });
}

namespace {

// Accepts connections until closed; everything runs on the acceptor's strand.
class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(net::io_context& ioc, tcp::acceptor acceptor, std::shared_ptr<Core> core, bool metrics = false)
        : ioc_(ioc), acceptor_(std::move(acceptor)), retry_(acceptor_.get_executor()),
          summary_(acceptor_.get_executor()), core_(std::move(core)), metrics_(metrics)
    {
    }

    void run() { accept(); }

    // A refusal counted outside onAccept still gets its summary line.
    void noteLateRefusal()
    {
        net::post(acceptor_.get_executor(), [self = shared_from_this()] {
            if (!self->summarising_ && !self->core_->stopping())
                self->summarise();
        });
    }

    void close()
    {
        net::post(acceptor_.get_executor(), [self = shared_from_this()] {
            beast::error_code ec;
            self->acceptor_.close(ec);
            self->retry_.cancel();
            self->summary_.cancel();
        });
    }

private:
    void accept()
    {
        acceptor_.async_accept(net::make_strand(ioc_),
                               [self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
                                   self->onAccept(ec, std::move(socket));
                               });
    }

    void onAccept(beast::error_code ec, tcp::socket socket)
    {
        if (ec == net::error::operation_aborted || !acceptor_.is_open())
            return;
        if (ec) {
            // Typically out of file descriptors: back off instead of spinning on the error.
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([self = shared_from_this()](beast::error_code wec) {
                if (!wec)
                    self->accept();
            });
            return;
        }
        auto session = std::make_shared<HttpSession>(std::move(socket), core_, metrics_);
        if (!session->start() && !summarising_ && !core_->stopping())
            summarise();
        accept();
    }

    // One line a second while connections are being refused, however many there are.
    void summarise()
    {
        summarising_ = true;
        summary_.expires_after(std::chrono::seconds(1));
        summary_.async_wait([self = shared_from_this()](beast::error_code ec) {
            self->summarising_ = false;
            const auto full = self->core_->refusedFull.exchange(0);
            const auto address = self->core_->refusedAddress.exchange(0);
            if (full || address)
                self->core_->log(fmt::format("connections refused in the last second: {} (server full), {} (too "
                                             "many from one address)",
                                             full, address));
        });
    }

    net::io_context& ioc_;
    tcp::acceptor acceptor_;
    net::steady_timer retry_;
    net::steady_timer summary_;
    std::shared_ptr<Core> core_;
    const bool metrics_; // the "/metrics" listener
    bool summarising_ = false; // acceptor's strand only
};

// Bound but not yet listening: the port is known (and taken), while connections are refused until listen().
tcp::acceptor bindTo(net::io_context& ioc, const std::string& bindAddress, unsigned short port)
{
    beast::error_code ec;
    const auto address = net::ip::make_address(bindAddress, ec);
    if (ec)
        throw std::runtime_error(fmt::format("invalid bind address '{}': {}", bindAddress, ec.message()));
    tcp::acceptor acceptor(net::make_strand(ioc));
    const tcp::endpoint endpoint(address, port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (ec)
        throw std::runtime_error(fmt::format("cannot listen on {}:{}: {}", bindAddress, port, ec.message()));
    return acceptor;
}

void listenOn(tcp::acceptor& acceptor)
{
    beast::error_code ec;
    acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error(
            fmt::format("cannot listen on port {}: {}", acceptor.local_endpoint().port(), ec.message()));
}

// Forgets registrations whose WebSocket never came; claim() checks the age too, so this only frees memory.
class PendingSweeper : public std::enable_shared_from_this<PendingSweeper> {
public:
    PendingSweeper(net::io_context& ioc, std::shared_ptr<Core> core)
        : timer_(net::make_strand(ioc)), core_(std::move(core))
    {
        period_ = std::clamp(core_->options.pendingTimeout / 4, std::chrono::milliseconds(10),
                             std::chrono::milliseconds(1000));
    }
    void run()
    {
        timer_.expires_after(period_);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec)
                return;
            // Memory freed in bulk goes back to the system, so that a flood leaves no lasting footprint.
            if (self->core_->registry().dropExpiredPending() > 256)
                malloc_trim(0);
            self->core_->invitesFromAddress.prune();
            self->run();
        });
    }
    void cancel()
    {
        net::post(timer_.get_executor(), [self = shared_from_this()] { self->timer_.cancel(); });
    }

private:
    net::steady_timer timer_;
    std::shared_ptr<Core> core_;
    std::chrono::milliseconds period_{};
};

} // namespace

struct Server::Impl {
    explicit Impl(ServerOptions o) : options(std::move(o)) {}

    const ServerOptions options;
    // control_ serialises start/stop and guards everything below.
    mutable std::mutex control_;
    std::shared_ptr<Core> core;
    std::unique_ptr<net::io_context> ioc;
    std::shared_ptr<Listener> listener;
    std::shared_ptr<Listener> metricsListener;
    unsigned short metricsPort = 0;
    std::shared_ptr<PendingSweeper> sweeper;
    std::vector<std::thread> threads;
    unsigned short port = 0;
};

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { stop(); }

unsigned short Server::start(const std::string& bindAddress, unsigned short port)
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    if (impl_->ioc)
        throw std::runtime_error("server already running");

    auto ioc = std::make_unique<net::io_context>(static_cast<int>(std::max(1u, impl_->options.ioThreads)));
    tcp::acceptor acceptor = bindTo(*ioc, bindAddress, port);
    std::optional<tcp::acceptor> metricsAcceptor;
    const std::string& metricsBind = impl_->options.metricsBind;
    if (!metricsBind.empty() && metricsBind != "off") {
        const auto colon = metricsBind.rfind(':');
        unsigned long metricsPort = 65536;
        if (colon != std::string::npos && colon + 1 < metricsBind.size() &&
            metricsBind.find_first_not_of("0123456789", colon + 1) == std::string::npos)
            metricsPort = std::strtoul(metricsBind.c_str() + colon + 1, nullptr, 10);
        if (metricsPort > 65535)
            throw std::runtime_error(
                fmt::format("invalid metrics address '{}': ADDRESS:PORT expected", metricsBind));
        std::string host = metricsBind.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        metricsAcceptor.emplace(bindTo(*ioc, host, static_cast<unsigned short>(metricsPort)));
    }
    const unsigned short bound = acceptor.local_endpoint().port();

    ServerOptions options = impl_->options;
    if (!options.redis.empty() && options.nodeId.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        options.nodeId = fmt::format("{}:{}", host, bound);
    }
    auto core = std::make_shared<Core>(std::move(options));
    addDemoSearchers(core->registry(), impl_->options.demoSearchers);
    if (auto* cluster = core->cluster()) {
        cluster->start();
        // A live node with the same id keeps its liveness fresh; a dead one's lapses within the TTL.
        const auto limit = core->options.nodeTtl * 3 / 2 + std::chrono::seconds(2);
        const auto identity = cluster->waitIdentity(limit);
        if (identity == RedisRegistry::Identity::Refused)
            throw std::runtime_error(fmt::format(
                "node id '{}' is held by another live node of the cluster; give each node its own --node-id",
                core->options.nodeId));
        // A wrong password or database does not mend itself; a Redis still loading its data does.
        const std::string refusal = cluster->refusal();
        if (identity != RedisRegistry::Identity::Held && !refusal.empty() && refusal.rfind("LOADING", 0) != 0)
            throw std::runtime_error(fmt::format("Redis at {} refused the connection: {}", core->options.redis,
                                                 refusal));
    }

    // Only now: a node still waiting for its id would queue requests that their senders give up on, and apply
    // them, stale, once it starts.
    listenOn(acceptor);
    if (metricsAcceptor)
        listenOn(*metricsAcceptor);
    impl_->listener = std::make_shared<Listener>(*ioc, std::move(acceptor), core);
    if (metricsAcceptor) {
        impl_->metricsPort = metricsAcceptor->local_endpoint().port();
        impl_->metricsListener = std::make_shared<Listener>(*ioc, std::move(*metricsAcceptor), core, true);
        impl_->metricsListener->run();
    }
    core->onLateRefusal = [listener = std::weak_ptr<Listener>(impl_->listener)] {
        if (auto l = listener.lock())
            l->noteLateRefusal();
    };
    impl_->sweeper = std::make_shared<PendingSweeper>(*ioc, core);
    impl_->listener->run();
    impl_->sweeper->run();
    impl_->core = core;
    impl_->port = bound;
    for (unsigned i = 0; i < std::max(1u, impl_->options.ioThreads); ++i)
        impl_->threads.emplace_back([io = ioc.get(), core] {
            // A handler that throws is a fault to log, never a reason to stop serving everyone else.
            for (;;) {
                try {
                    io->run();
                    return;
                } catch (const std::exception& e) {
                    core->log(fmt::format("error: unhandled exception in an I/O handler: {}", e.what()));
                } catch (...) {
                    core->log("error: unhandled exception in an I/O handler");
                }
            }
        });
    impl_->ioc = std::move(ioc);
    return bound;
}

void Server::drain()
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    if (!impl_->core || impl_->core->draining.exchange(true))
        return;
    impl_->core->log(fmt::format("drain: started, {} player sockets open", impl_->core->webSocketCount()));
}

bool Server::waitDrained(std::chrono::milliseconds limit)
{
    std::shared_ptr<Core> core;
    {
        std::lock_guard<std::mutex> lock(impl_->control_);
        core = impl_->core;
    }
    if (!core)
        return true;
    const auto start = std::chrono::steady_clock::now();
    const bool gone = core->waitForWebSockets(limit);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (core->stopping()) // stopped meanwhile: the shutdown line tells the rest
        return gone;
    if (gone)
        core->log(fmt::format("drain: ended, every player left within {:.1f} s", seconds));
    else
        core->log(fmt::format("drain: timed out after {:.1f} s, {} player sockets still open", seconds,
                              core->webSocketCount()));
    return gone;
}

void Server::stop()
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    if (!impl_->ioc)
        return;
    impl_->listener->close();
    if (impl_->metricsListener)
        impl_->metricsListener->close();
    impl_->sweeper->cancel();
    const std::size_t listings = impl_->core->listingsHeld.load();
    std::size_t connections = 0;
    // The sessions must not outlive the I/O context below: nothing here keeps them.
    for (auto& session : impl_->core->beginStop()) {
        session->shutdown();
        ++connections;
    }
    impl_->core->log(fmt::format("shutdown: closing {} connections, removing {} listings", connections, listings));
    impl_->core->waitForSessions(impl_->options.stopGrace);
    if (auto* cluster = impl_->core->cluster())
        cluster->shutdown(); // before the I/O threads go: its thread may still hand frames to sockets

    impl_->ioc->stop();
    for (auto& t : impl_->threads)
        t.join();
    impl_->threads.clear();
    impl_->listener.reset();
    impl_->metricsListener.reset();
    impl_->metricsPort = 0;
    impl_->sweeper.reset();
    impl_->ioc.reset(); // destroys whatever handlers were still queued, and the sessions they held
    impl_->core->registry().clear();
    impl_->core.reset();
    impl_->port = 0;
}

unsigned short Server::metricsPort() const
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    return impl_->metricsPort;
}

bool Server::running() const
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    return impl_->ioc != nullptr;
}

unsigned short Server::port() const
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    return impl_->port;
}

std::size_t Server::listedCount() const
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    return impl_->core ? impl_->core->registry().listedCount() : 0;
}

std::size_t Server::pendingCount() const
{
    std::lock_guard<std::mutex> lock(impl_->control_);
    return impl_->core ? impl_->core->registry().pendingCount() : 0;
}

} // namespace crw::server
