// A Redis connection pair (commands and pub/sub) on hiredis's async API, driven by an Asio loop on a thread of its
// own, with reconnection and back-off.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct redisAsyncContext;

namespace crw::server {

struct RedisReply {
    enum class Type { Error, Nil, Integer, String, Status, Array };
    Type type = Type::Nil;
    long long integer = 0;
    std::string str; // the text of strings, statuses and errors
    std::vector<RedisReply> elements;

    bool isError() const { return type == Type::Error; }
    static RedisReply error(std::string text)
    {
        RedisReply r;
        r.type = Type::Error;
        r.str = std::move(text);
        return r;
    }
};

class RedisClient {
public:
    struct Options {
        std::string host = "127.0.0.1";
        unsigned short port = 6379;
        std::chrono::milliseconds minBackoff{100};
        std::chrono::milliseconds maxBackoff{2000};
        // Link health: when set, the client subscribes to this channel too and publishes a token on it every
        // pingInterval; a token not back through both connections within pingTimeout (or a connection not ready
        // within it) drops the link and reconnects. Its messages are not passed on.
        std::string healthChannel;
        std::chrono::milliseconds pingInterval{1000};
        std::chrono::milliseconds pingTimeout{3000};
        // Sent on every connection before anything else (AUTH), and SELECT on the command connection.
        std::string password;
        unsigned db = 0;
    };
    struct Handlers {
        // A message on one of the subscribed channels.
        std::function<void(const std::string& channel, const std::string& payload)> message;
        // Both connections are up and subscribed; the state of Redis may be anything (it may have restarted).
        std::function<void()> ready;
        // The link went down; commands fail until ready() runs again.
        std::function<void()> lost;
        // Redis refused the connection itself (a wrong password, a database it does not have); retried with back-off.
        std::function<void(const std::string& why)> refused;
    };
    using Callback = std::function<void(RedisReply)>;

    // Handlers run on the client's thread.
    RedisClient(Options options, std::vector<std::string> channels, Handlers handlers);
    ~RedisClient();
    RedisClient(const RedisClient&) = delete;
    RedisClient& operator=(const RedisClient&) = delete;

    void start();
    void stop(); // idempotent; no handler runs after it returns

    // Sends a command; the callback runs on the client's thread with the answer, or with an error reply when the link
    // is down or goes down before the answer. Callable from any thread.
    void command(std::vector<std::string> args, Callback callback);
    // The same, on the client's thread only: sent at once, in order with what that thread sent before.
    void send(std::vector<std::string> args, Callback callback);

    // Waits for the answer; nothing when the time is up. Must not be called on the client's thread.
    std::optional<RedisReply> call(std::vector<std::string> args, std::chrono::milliseconds limit);

    bool connected() const { return ready_.load(); }
    // Started and not stopped (start/stop caller only).
    bool running() const { return started_; }
    bool onClientThread() const { return std::this_thread::get_id() == threadId_.load(); }
    boost::asio::io_context& context() { return ioc_; }

    std::uint64_t reconnects() const { return reconnects_.load(); }
    // Round-trip time of answered commands: count and total in microseconds.
    std::uint64_t latencyCount() const { return latencyCount_.load(); }
    std::uint64_t latencyMicros() const { return latencyMicros_.load(); }
    // Upper bounds (seconds) of the latency histogram, and the answers that took at most each (not cumulative; the
    // last slot counts the slower ones).
    static constexpr std::array<double, 12> kLatencyBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                              0.05,   0.1,   0.25,   0.5,   1,    2};
    std::array<std::uint64_t, kLatencyBounds.size() + 1> latencyBuckets() const;

private:
    struct Link;
    friend struct Link;
    struct SetupStep;
    static void onConnect(const ::redisAsyncContext* ac, int status);
    static void onDisconnect(const ::redisAsyncContext* ac, int status);
    static void onReply(::redisAsyncContext* ac, void* reply, void* privdata);
    static void onSubscription(::redisAsyncContext* ac, void* reply, void* privdata);

    void connect();
    std::shared_ptr<Link> openLink();
    void linkUp(Link* link);
    void linkSetUp(Link* link);
    static void onSetup(::redisAsyncContext* ac, void* reply, void* privdata);
    void refuse(Link* link, std::string why);
    void maybeReady();
    void linkDown(Link* link);
    void closeLinks();
    void scheduleReconnect();
    void checkHealth();
    void dropLinks();

    const Options options_;
    const std::vector<std::string> channels_;
    const Handlers handlers_;
    boost::asio::io_context ioc_;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    bool started_ = false; // start/stop caller only

    // Touched only on the client's thread.
    std::shared_ptr<Link> commands_;
    std::shared_ptr<Link> subscriber_;
    std::optional<boost::asio::steady_timer> retry_;
    std::optional<boost::asio::steady_timer> health_;
    std::chrono::steady_clock::time_point connectStarted_;
    std::chrono::steady_clock::time_point pingSent_;
    std::uint64_t pingToken_ = 0;
    int pingWaiting_ = 0; // of the current token: the PUBLISH's answer and the message itself
    std::chrono::milliseconds backoff_{0};
    std::size_t subscribed_ = 0;
    bool stopping_ = false;
    bool everReady_ = false;
    bool refusedThisTime_ = false; // one refusal is told per connection attempt

    // Written on the client's thread, read anywhere.
    std::atomic<bool> ready_{false};
    std::atomic<std::uint64_t> reconnects_{0};
    std::atomic<std::uint64_t> latencyCount_{0};
    std::atomic<std::uint64_t> latencyMicros_{0};
    std::array<std::atomic<std::uint64_t>, kLatencyBounds.size() + 1> latencyBuckets_{};
};

} // namespace crw::server
