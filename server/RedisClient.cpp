#include "RedisClient.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <future>

namespace crw::server {

namespace net = boost::asio;

namespace {

RedisReply convert(const redisReply* r)
{
    RedisReply out;
    switch (r->type) {
    case REDIS_REPLY_STRING:
        out.type = RedisReply::Type::String;
        out.str.assign(r->str, r->len);
        break;
    case REDIS_REPLY_STATUS:
        out.type = RedisReply::Type::Status;
        out.str.assign(r->str, r->len);
        break;
    case REDIS_REPLY_ERROR:
        out.type = RedisReply::Type::Error;
        out.str.assign(r->str, r->len);
        break;
    case REDIS_REPLY_INTEGER:
        out.type = RedisReply::Type::Integer;
        out.integer = r->integer;
        break;
    case REDIS_REPLY_ARRAY:
        out.type = RedisReply::Type::Array;
        out.elements.reserve(r->elements);
        for (std::size_t i = 0; i < r->elements; ++i)
            out.elements.push_back(convert(r->element[i]));
        break;
    default:
        out.type = RedisReply::Type::Nil;
    }
    return out;
}

struct PendingCommand {
    RedisClient::Callback callback;
    std::chrono::steady_clock::time_point sent;
};

} // namespace

// One hiredis connection and the Asio descriptor that tells it when its socket is ready. Lives on the client's thread;
// hiredis owns the socket, so the descriptor is released, never closed.
struct RedisClient::Link : std::enable_shared_from_this<Link> {
    RedisClient* owner = nullptr;
    bool subscriber = false;
    redisAsyncContext* ac = nullptr; // null once hiredis has freed it
    std::optional<net::posix::stream_descriptor> fd;
    bool wantRead = false;
    bool wantWrite = false;
    bool readArmed = false;
    bool writeArmed = false;
    bool up = false;
    bool closing = false; // we asked hiredis to free it

    void armRead()
    {
        if (readArmed || !wantRead || !ac)
            return;
        readArmed = true;
        fd->async_wait(net::posix::descriptor_base::wait_read,
                       [self = shared_from_this()](boost::system::error_code ec) {
                           self->readArmed = false;
                           if (ec || !self->ac || !self->wantRead)
                               return;
                           redisAsyncHandleRead(self->ac);
                           self->armRead();
                       });
    }
    void armWrite()
    {
        if (writeArmed || !wantWrite || !ac)
            return;
        writeArmed = true;
        fd->async_wait(net::posix::descriptor_base::wait_write,
                       [self = shared_from_this()](boost::system::error_code ec) {
                           self->writeArmed = false;
                           if (ec || !self->ac || !self->wantWrite)
                               return;
                           redisAsyncHandleWrite(self->ac);
                           self->armWrite();
                       });
    }

    static void addRead(void* p)
    {
        auto* l = static_cast<Link*>(p);
        l->wantRead = true;
        l->armRead();
    }
    static void delRead(void* p) { static_cast<Link*>(p)->wantRead = false; }
    static void addWrite(void* p)
    {
        auto* l = static_cast<Link*>(p);
        l->wantWrite = true;
        l->armWrite();
    }
    static void delWrite(void* p) { static_cast<Link*>(p)->wantWrite = false; }
    static void cleanup(void* p)
    {
        auto* l = static_cast<Link*>(p);
        l->ac = nullptr;
        l->wantRead = l->wantWrite = false;
        if (l->fd && l->fd->is_open())
            l->fd->release(); // cancels the waits; hiredis closes the socket itself
    }
};

RedisClient::RedisClient(Options options, std::vector<std::string> channels, Handlers handlers)
    : options_(std::move(options)), channels_(std::move(channels)), handlers_(std::move(handlers))
{
}

RedisClient::~RedisClient() { stop(); }

void RedisClient::start()
{
    if (started_)
        return;
    started_ = true;
    net::post(ioc_, [this] {
        retry_.emplace(ioc_);
        health_.emplace(ioc_);
        connect();
        if (!options_.healthChannel.empty()) {
            health_->expires_after(options_.pingInterval);
            health_->async_wait([this](boost::system::error_code ec) {
                if (!ec)
                    checkHealth();
            });
        }
    });
    thread_ = std::thread([this] {
        threadId_ = std::this_thread::get_id();
        auto guard = net::make_work_guard(ioc_);
        ioc_.run();
    });
}

void RedisClient::stop()
{
    if (!started_)
        return;
    started_ = false;
    std::promise<void> done;
    net::post(ioc_, [this, &done] {
        stopping_ = true;
        if (retry_)
            retry_->cancel();
        if (health_)
            health_->cancel();
        closeLinks();
        done.set_value();
    });
    done.get_future().wait();
    ioc_.stop();
    thread_.join();
    // What was posted meanwhile still runs (and is refused), so that no caller's handler is left waiting.
    ioc_.restart();
    ioc_.poll();
    retry_.reset();
    health_.reset();
}

void RedisClient::connect()
{
    if (stopping_)
        return;
    subscribed_ = 0;
    pingWaiting_ = 0;
    refusedThisTime_ = false;
    connectStarted_ = std::chrono::steady_clock::now();
    commands_ = openLink();
    subscriber_ = commands_ ? openLink() : nullptr;
    if (!commands_ || !subscriber_) {
        closeLinks();
        scheduleReconnect();
        return;
    }
    subscriber_->subscriber = true;
}

std::shared_ptr<RedisClient::Link> RedisClient::openLink()
{
    redisAsyncContext* ac = redisAsyncConnect(options_.host.c_str(), options_.port);
    if (!ac)
        return nullptr;
    if (ac->err) {
        redisAsyncFree(ac);
        return nullptr;
    }
    auto link = std::make_shared<Link>();
    link->owner = this;
    link->ac = ac;
    boost::system::error_code ec;
    link->fd.emplace(ioc_);
    link->fd->assign(ac->c.fd, ec);
    if (ec) {
        link->fd.reset();
        redisAsyncFree(ac);
        return nullptr;
    }
    // A peer that vanished without a word is noticed by the kernel too, not only by the health check.
    const int on = 1, idle = 5, interval = 1, count = 3;
    const unsigned userTimeout = static_cast<unsigned>(options_.pingTimeout.count());
    setsockopt(ac->c.fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(ac->c.fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(ac->c.fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(ac->c.fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(ac->c.fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    ac->data = link.get();
    ac->ev.data = link.get();
    ac->ev.addRead = &Link::addRead;
    ac->ev.delRead = &Link::delRead;
    ac->ev.addWrite = &Link::addWrite;
    ac->ev.delWrite = &Link::delWrite;
    ac->ev.cleanup = &Link::cleanup;
    redisAsyncSetConnectCallback(ac, &RedisClient::onConnect);
    redisAsyncSetDisconnectCallback(ac, &RedisClient::onDisconnect);
    // The non-blocking connect completes when the socket turns writable.
    Link::addWrite(link.get());
    return link;
}

void RedisClient::onConnect(const redisAsyncContext* ac, int status)
{
    auto* link = static_cast<Link*>(ac->data);
    if (status != REDIS_OK) {
        link->ac = nullptr; // hiredis frees it after this callback
        link->owner->linkDown(link);
        return;
    }
    link->owner->linkUp(link);
}

void RedisClient::onDisconnect(const redisAsyncContext* ac, int status)
{
    auto* link = static_cast<Link*>(ac->data);
    link->ac = nullptr;
    if (link->closing)
        return;
    // hiredis drops a subscriber whose SUBSCRIBE Redis refused (NOAUTH): that is Redis's answer, not a lost link.
    if (status != REDIS_OK && ac->err == REDIS_ERR_OTHER && link->subscriber)
        return link->owner->refuse(link, ac->errstr);
    link->owner->linkDown(link);
}

struct RedisClient::SetupStep {
    std::weak_ptr<Link> link;
    bool last = false;
};

// AUTH and SELECT go first, pipelined; the connection is used only once the last of them is answered OK.
void RedisClient::linkUp(Link* link)
{
    std::vector<std::vector<std::string>> steps;
    if (!options_.password.empty())
        steps.push_back({"AUTH", options_.password});
    if (options_.db != 0 && !link->subscriber)
        steps.push_back({"SELECT", std::to_string(options_.db)});
    for (std::size_t i = 0; i < steps.size(); ++i) {
        std::vector<const char*> argv;
        std::vector<std::size_t> lens;
        for (const auto& a : steps[i]) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
        auto* step = new SetupStep{link->weak_from_this(), i + 1 == steps.size()};
        if (redisAsyncCommandArgv(link->ac, &RedisClient::onSetup, step, static_cast<int>(argv.size()), argv.data(),
                                  lens.data()) != REDIS_OK) {
            delete step;
            return linkDown(link);
        }
    }
    if (steps.empty())
        linkSetUp(link);
}

void RedisClient::onSetup(redisAsyncContext* ac, void* reply, void* privdata)
{
    std::unique_ptr<SetupStep> step(static_cast<SetupStep*>(privdata));
    auto link = step->link.lock();
    auto* r = static_cast<redisReply*>(reply);
    if (!r || !link || !link->ac || link->ac != ac)
        return; // the connection is gone; its own callback says so
    if (r->type == REDIS_REPLY_ERROR)
        return link->owner->refuse(link.get(), std::string(r->str, r->len));
    if (step->last)
        link->owner->linkSetUp(link.get());
}

void RedisClient::refuse(Link* link, std::string why)
{
    if (!refusedThisTime_) {
        refusedThisTime_ = true;
        if (handlers_.refused)
            handlers_.refused(why);
    }
    linkDown(link);
}

void RedisClient::linkSetUp(Link* link)
{
    link->up = true;
    if (link->subscriber && !(channels_.empty() && options_.healthChannel.empty())) {
        std::vector<const char*> argv{"SUBSCRIBE"};
        std::vector<std::size_t> lens{9};
        for (const auto& c : channels_) {
            argv.push_back(c.data());
            lens.push_back(c.size());
        }
        if (!options_.healthChannel.empty()) {
            argv.push_back(options_.healthChannel.data());
            lens.push_back(options_.healthChannel.size());
        }
        redisAsyncCommandArgv(link->ac, &RedisClient::onSubscription, this, static_cast<int>(argv.size()), argv.data(),
                              lens.data());
    } else {
        maybeReady();
    }
}

void RedisClient::onSubscription(redisAsyncContext*, void* reply, void* privdata)
{
    auto* self = static_cast<RedisClient*>(privdata);
    auto* r = static_cast<redisReply*>(reply);
    if (!r || r->type != REDIS_REPLY_ARRAY || r->elements < 3)
        return;
    const std::string kind(r->element[0]->str ? r->element[0]->str : "", r->element[0]->len);
    if (kind == "message") {
        if (r->element[1]->type == REDIS_REPLY_STRING && !self->options_.healthChannel.empty() &&
            std::string(r->element[1]->str, r->element[1]->len) == self->options_.healthChannel) {
            if (r->element[2]->type == REDIS_REPLY_STRING && self->pingWaiting_ > 0 &&
                std::string(r->element[2]->str, r->element[2]->len) == std::to_string(self->pingToken_))
                --self->pingWaiting_;
            return;
        }
        if (self->handlers_.message && r->element[1]->type == REDIS_REPLY_STRING &&
            r->element[2]->type == REDIS_REPLY_STRING)
            self->handlers_.message(std::string(r->element[1]->str, r->element[1]->len),
                                    std::string(r->element[2]->str, r->element[2]->len));
    } else if (kind == "subscribe") {
        ++self->subscribed_;
        self->maybeReady();
    }
}

void RedisClient::maybeReady()
{
    const std::size_t channels = channels_.size() + (options_.healthChannel.empty() ? 0 : 1);
    if (ready_ || subscribed_ < channels || !commands_ || !commands_->up)
        return;
    backoff_ = std::chrono::milliseconds(0);
    ready_ = true;
    if (everReady_)
        ++reconnects_;
    everReady_ = true;
    if (handlers_.ready)
        handlers_.ready();
}

void RedisClient::linkDown(Link*)
{
    if (stopping_)
        return;
    const bool wasReady = ready_.exchange(false);
    // Out of hiredis's callback before the other connection is freed.
    net::post(ioc_, [this, wasReady] {
        if (stopping_ || (!commands_ && !subscriber_))
            return;
        closeLinks();
        if (wasReady && handlers_.lost)
            handlers_.lost();
        scheduleReconnect();
    });
}

void RedisClient::closeLinks()
{
    ready_ = false;
    for (auto* slot : {&commands_, &subscriber_}) {
        auto link = std::move(*slot);
        if (link && link->ac) {
            link->closing = true;
            redisAsyncFree(link->ac); // answers every waiting command with an error
        }
    }
}

void RedisClient::scheduleReconnect()
{
    if (stopping_)
        return;
    backoff_ = backoff_.count() == 0 ? options_.minBackoff : std::min(backoff_ * 2, options_.maxBackoff);
    retry_->expires_after(backoff_);
    retry_->async_wait([this](boost::system::error_code ec) {
        if (!ec)
            connect();
    });
}

void RedisClient::onReply(redisAsyncContext* ac, void* reply, void* privdata)
{
    std::unique_ptr<PendingCommand> pending(static_cast<PendingCommand*>(privdata));
    auto* r = static_cast<redisReply*>(reply);
    if (!r) {
        pending->callback(RedisReply::error("Redis connection lost"));
        return;
    }
    auto* self = static_cast<Link*>(ac->data)->owner;
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - pending->sent).count();
    self->latencyCount_.fetch_add(1, std::memory_order_relaxed);
    self->latencyMicros_.fetch_add(static_cast<std::uint64_t>(micros), std::memory_order_relaxed);
    const auto slot = std::lower_bound(kLatencyBounds.begin(), kLatencyBounds.end(), static_cast<double>(micros) / 1e6);
    self->latencyBuckets_[static_cast<std::size_t>(slot - kLatencyBounds.begin())].fetch_add(
        1, std::memory_order_relaxed);
    pending->callback(convert(r));
}

std::array<std::uint64_t, RedisClient::kLatencyBounds.size() + 1> RedisClient::latencyBuckets() const
{
    std::array<std::uint64_t, kLatencyBounds.size() + 1> out{};
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = latencyBuckets_[i].load(std::memory_order_relaxed);
    return out;
}

void RedisClient::command(std::vector<std::string> args, Callback callback)
{
    net::post(ioc_, [this, args = std::move(args), callback = std::move(callback)]() mutable {
        send(std::move(args), std::move(callback));
    });
}

void RedisClient::send(std::vector<std::string> args, Callback callback)
{
    if (stopping_ || !ready_ || !commands_ || !commands_->ac) {
        callback(RedisReply::error("Redis unavailable"));
        return;
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lens;
    for (const auto& a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    auto* pending = new PendingCommand{std::move(callback), std::chrono::steady_clock::now()};
    if (redisAsyncCommandArgv(commands_->ac, &RedisClient::onReply, pending, static_cast<int>(argv.size()),
                              argv.data(), lens.data()) != REDIS_OK) {
        std::unique_ptr<PendingCommand> owned(pending);
        owned->callback(RedisReply::error("Redis unavailable"));
    }
}

// hiredis has no time-out of its own: a link whose answers stop (Redis stalled, or a half-open connection) is
// dropped here and made again.
void RedisClient::checkHealth()
{
    if (stopping_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!ready_) {
        if ((commands_ || subscriber_) && now - connectStarted_ >= options_.pingTimeout)
            dropLinks(); // connecting for too long
    } else if (pingWaiting_ > 0) {
        if (now - pingSent_ >= options_.pingTimeout)
            dropLinks();
    } else {
        pingWaiting_ = 2;
        pingSent_ = now;
        const std::uint64_t token = ++pingToken_;
        send({"PUBLISH", options_.healthChannel, std::to_string(token)}, [this, token](RedisReply reply) {
            if (!reply.isError() && token == pingToken_ && pingWaiting_ > 0)
                --pingWaiting_;
        });
    }
    health_->expires_after(options_.pingInterval);
    health_->async_wait([this](boost::system::error_code ec) {
        if (!ec)
            checkHealth();
    });
}

void RedisClient::dropLinks()
{
    const bool wasReady = ready_.exchange(false);
    closeLinks();
    if (wasReady && handlers_.lost)
        handlers_.lost();
    scheduleReconnect();
}

std::optional<RedisReply> RedisClient::call(std::vector<std::string> args, std::chrono::milliseconds limit)
{
    auto promise = std::make_shared<std::promise<RedisReply>>();
    auto future = promise->get_future();
    command(std::move(args), [promise](RedisReply reply) { promise->set_value(std::move(reply)); });
    if (future.wait_for(limit) != std::future_status::ready)
        return std::nullopt;
    try {
        return future.get();
    } catch (const std::future_error&) { // the client stopped with the command queued
        return std::nullopt;
    }
}

} // namespace crw::server
