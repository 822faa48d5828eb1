// crw_faults: a three-node cluster on a private redis-server under a schedule of faults, with simulated players
// (register, claim from their own address, update through any node, invite, close, come back). After each schedule
// and a quiet period every node's "/list" is compared with what the players know: their open sockets and the last
// registration the cluster accepted. Run by bench/server/faults.sh.
//
// usage: crw_faults --server PATH [--ci] [--schedules N] [--players N] [--seed N] [--budget SECONDS]
#include "ProcessUtil.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <json/json.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using crw::test::Process;
// Long enough for Process to read what is waiting (it rounds the time left down to milliseconds).
constexpr milliseconds kPeek{5};

struct Settings {
    std::string server;
    std::string logDir = ".";
    bool ci = false;
    int schedules = 50;
    int players = 24;
    unsigned seed = 0;
    double budgetSeconds = 0;        // stop starting schedules past this (0: none)
    milliseconds pause{5000};        // Redis paused (DEBUG SLEEP, CLIENT PAUSE, SIGSTOP)
    milliseconds nodeStop{10000};    // a node stopped (SIGSTOP) this long: past its liveness time-out
    milliseconds converge{15000};    // the longest wait for every node to match the players' truth
    milliseconds inviteWait{5000};   // an accepted invite must reach an open socket within this
    milliseconds requestLimit{3000}; // any one request
};
Settings S;

// ---------- HTTP, with a limit on the whole exchange

struct Answer {
    int status = 0; // 0: no answer in time
    std::string body;
};

Answer httpCall(unsigned short port, const std::string& target, const std::string& body, const std::string& from)
{
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    Answer out;
    beast::error_code ec;
    stream.socket().open(tcp::v4(), ec);
    stream.socket().bind(tcp::endpoint(net::ip::make_address(from), 0), ec);
    if (ec)
        return out;
    http::request<http::string_body> req(body.empty() ? http::verb::get : http::verb::post, target, 11);
    req.set(http::field::host, "127.0.0.1");
    req.body() = body;
    req.prepare_payload();
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    stream.expires_after(S.requestLimit);
    stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), [&](beast::error_code e1) {
        if (e1)
            return;
        http::async_write(stream, req, [&](beast::error_code e2, std::size_t) {
            if (e2)
                return;
            http::async_read(stream, buffer, parser, [&](beast::error_code e3, std::size_t) {
                if (!e3) {
                    out.status = static_cast<int>(parser.get().result_int());
                    out.body = parser.get().body();
                }
            });
        });
    });
    ioc.run();
    return out;
}

// ---------- Redis, for the faults: one command; the answer's first line, or a bulk string's value

// Length of a whole RESP answer at the front of `r` (simple, error, integer or bulk), 0 while incomplete.
std::size_t replyLength(const std::string& r)
{
    const auto eol = r.find("\r\n");
    if (eol == std::string::npos)
        return 0;
    if (r[0] != '$' || r.compare(0, 3, "$-1") == 0)
        return eol + 2;
    const std::size_t whole = eol + 2 + std::stoul(r.substr(1, eol - 1)) + 2;
    return r.size() >= whole ? whole : 0;
}

std::string redisCall(unsigned short port, const std::vector<std::string>& args, milliseconds limit)
{
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    std::string request = fmt::format("*{}\r\n", args.size());
    for (const auto& a : args)
        request += fmt::format("${}\r\n{}\r\n", a.size(), a);
    std::string reply;
    std::array<char, 1024> buf{};
    std::function<void()> readMore = [&] {
        stream.async_read_some(net::buffer(buf), [&](beast::error_code ec, std::size_t n) {
            reply.append(buf.data(), n);
            if (!ec && !replyLength(reply))
                readMore();
        });
    };
    stream.expires_after(limit);
    stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), [&](beast::error_code e1) {
        if (e1)
            return;
        net::async_write(stream, net::buffer(request), [&](beast::error_code e2, std::size_t) {
            if (!e2)
                readMore();
        });
    });
    ioc.run();
    if (!replyLength(reply))
        return {};
    const auto eol = reply.find("\r\n");
    if (reply[0] == '$' && reply.compare(0, 3, "$-1") != 0)
        return reply.substr(eol + 2, replyLength(reply) - eol - 4);
    return reply.substr(0, eol);
}

// ---------- the players and what they know

std::string playerId(int i) { return fmt::format("Steam|76561198{:08}|0", i); }
std::string playerAddress(int i) { return fmt::format("127.3.{}.{}", i / 250, i % 250 + 1); }

std::string registrationBody(int i, const std::string& title)
{
    return R"({"Type":"Register", "Title": ")" + title + R"(", "Creator":{"Name": "Fault)" + std::to_string(i) +
           R"(", "IdString": ")" + playerId(i) +
           R"("}, "Playlists":[{"Playlist":"Ranked-2v2", "MMR":"1000.0", "Range":"100"}], "Regions":["Europe"], )"
           R"("Languages":["Any"], "VoiceChat":"any"})";
}

struct Conn;

struct Player {
    int index = 0;
    std::mutex m; // guards the members below: the player's worker and the socket's reader both change them
    std::shared_ptr<Conn> conn; // the open socket, if any
    int node = -1;              // where that socket is
    std::string title;          // the last registration the cluster accepted
    std::string maybeTitle;     // one whose request got no answer: either may be listed
    // A /register that got no answer may still be applied later, from a stopped node's backlog; if it lands between a
    // later /register and its claim, the socket lists it. An accepted update ends that.
    std::string lateRegister;
    int titleSeq = 0;
    // Invites answered 200 and not yet seen on the socket that was open then: requester -> deadline.
    std::map<std::string, Clock::time_point> awaiting;
    // Invites seen on the socket before their 200 came back (a local delivery can beat its own answer).
    std::set<std::string> arrivedEarly;
};

struct Conn : std::enable_shared_from_this<Conn> {
    explicit Conn(net::io_context& ioc) : ws(net::make_strand(ioc)) {}
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    Player* player = nullptr;
    std::string frame;

    void read()
    {
        ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }
    void onRead(beast::error_code ec)
    {
        std::lock_guard<std::mutex> lock(player->m);
        if (ec) {
            if (player->conn.get() == this) {
                player->conn.reset();
                player->awaiting.clear();
                player->arrivedEarly.clear();
            }
            return;
        }
        Json::Value v;
        if (Json::Reader().parse(beast::buffers_to_string(buffer.data()), v) && v.isObject() &&
            v["IdString"].isString() && player->conn.get() == this &&
            player->awaiting.erase(v["IdString"].asString()) == 0)
            player->arrivedEarly.insert(v["IdString"].asString());
        buffer.consume(buffer.size());
        read();
    }
};

struct Counters {
    std::atomic<long> registers{0}, registersOk{0}, claims{0}, updates{0}, updatesOk{0}, invites{0}, invitesOk{0},
        closes{0}, noAnswer{0};
} ops;

// ---------- the cluster

struct Node {
    std::string id;
    unsigned short port = 0;
    std::unique_ptr<Process> proc;
    int generation = 0;
};

struct Cluster {
    unsigned short redisPort = crw::test::freePort();
    std::unique_ptr<Process> redis;
    int redisGeneration = 0;
    std::vector<Node> nodes;

    void saveOutput(const std::string& name, Process& p)
    {
        p.waitForOutput(std::string(1, '\x01'), kPeek);
        std::ofstream(S.logDir + "/" + name + ".log", std::ios::app) << p.output();
    }

    bool startRedis()
    {
        if (redis)
            saveOutput("redis", *redis);
        redis.reset();
        redis = std::make_unique<Process>(CRW_REDIS_SERVER,
                                          std::vector<std::string>{"--port", std::to_string(redisPort), "--bind",
                                                                   "127.0.0.1", "--save", "", "--appendonly", "no",
                                                                   "--enable-debug-command", "yes"});
        return redis->waitForOutput("Ready to accept connections", milliseconds(10000));
    }

    bool startNode(Node& n)
    {
        if (n.proc)
            saveOutput(n.id, *n.proc);
        n.proc.reset();
        if (!n.port)
            n.port = crw::test::freePort();
        n.proc = std::make_unique<Process>(
            S.server, std::vector<std::string>{"--port", std::to_string(n.port), "--redis",
                                               "127.0.0.1:" + std::to_string(redisPort), "--node-id", n.id});
        ++n.generation;
        return n.proc->waitForOutput("redis: ready", milliseconds(10000)) &&
               n.proc->waitForOutput("listening on", milliseconds(10000));
    }

    // Reads what the children wrote so that none blocks on a full pipe.
    void drain()
    {
        for (auto& n : nodes)
            if (n.proc)
                n.proc->waitForOutput(std::string(1, '\x01'), kPeek);
        if (redis)
            redis->waitForOutput(std::string(1, '\x01'), kPeek);
    }

    void wait(milliseconds d)
    {
        const auto end = Clock::now() + d;
        while (Clock::now() < end) {
            drain();
            std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(100), end - Clock::now()));
        }
    }
};

Cluster cluster;

std::string redisAddress() { return "127.0.0.1:" + std::to_string(cluster.redisPort); }

// ---------- the workload

class Workload {
public:
    Workload(std::vector<std::unique_ptr<Player>>& players, unsigned workers)
        : players_(players), guard_(net::make_work_guard(ioc_))
    {
        for (int i = 0; i < 2; ++i)
            io_.emplace_back([this] { ioc_.run(); });
        for (unsigned w = 0; w < workers; ++w)
            workers_.emplace_back([this, w, workers] { work(w, workers); });
    }

    ~Workload()
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
            paused_ = false;
        }
        cv_.notify_all();
        for (auto& t : workers_)
            t.join();
        for (auto& p : players_) {
            std::lock_guard<std::mutex> lock(p->m);
            if (p->conn)
                net::post(p->conn->ws.get_executor(), [c = p->conn] { beast::get_lowest_layer(c->ws).close(); });
            p->conn.reset();
        }
        guard_.reset();
        for (auto& t : io_)
            t.join();
    }

    // Waits until no operation is under way, then holds the workers.
    void pause()
    {
        std::unique_lock<std::mutex> lock(m_);
        paused_ = true;
        cv_.wait(lock, [this] { return busy_ == 0; });
    }
    void resume()
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            paused_ = false;
        }
        cv_.notify_all();
    }

private:
    void work(unsigned w, unsigned workers)
    {
        std::mt19937 rng(S.seed * 7919 + w);
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [this] { return !paused_ || stop_; });
                if (stop_)
                    return;
                ++busy_;
            }
            const int mine = static_cast<int>(players_.size() / workers);
            Player& p = *players_[w + workers * (rng() % mine)];
            step(p, rng);
            {
                std::lock_guard<std::mutex> lock(m_);
                --busy_;
            }
            cv_.notify_all();
            std::this_thread::sleep_for(milliseconds(20 + rng() % 60));
        }
    }

    void step(Player& p, std::mt19937& rng)
    {
        bool open;
        {
            std::lock_guard<std::mutex> lock(p.m);
            open = p.conn != nullptr;
        }
        const int node = static_cast<int>(rng() % cluster.nodes.size());
        const unsigned r = rng() % 100;
        if (!open)
            join(p, node, static_cast<int>(rng() % cluster.nodes.size()));
        else if (r < 40)
            update(p, node);
        else if (r < 80)
            invite(rng, node);
        else if (r < 92)
            leave(p);
    }

    std::string nextTitle(Player& p)
    {
        std::lock_guard<std::mutex> lock(p.m);
        return fmt::format("Fault player {} take {}", p.index, ++p.titleSeq);
    }

    void join(Player& p, int regNode, int wsNode)
    {
        const std::string title = nextTitle(p);
        const std::string body = registrationBody(p.index, title);
        ++ops.registers;
        const Answer a = httpCall(cluster.nodes[regNode].port, "/register", body, playerAddress(p.index));
        if (a.status == 0) {
            ++ops.noAnswer;
            std::lock_guard<std::mutex> lock(p.m);
            p.lateRegister = title;
        }
        if (a.status != 200)
            return;
        ++ops.registersOk;
        ++ops.claims;
        auto conn = std::make_shared<Conn>(ioc_);
        conn->player = &p;
        conn->frame = body;
        auto done = std::make_shared<std::promise<bool>>();
        auto result = done->get_future();
        const unsigned short port = cluster.nodes[wsNode].port;
        const std::string from = playerAddress(p.index);
        net::post(conn->ws.get_executor(), [conn, done, port, from, title, wsNode] {
            auto& sock = beast::get_lowest_layer(conn->ws).socket();
            beast::error_code ec;
            sock.open(tcp::v4(), ec);
            sock.bind(tcp::endpoint(net::ip::make_address(from), 0), ec);
            if (ec)
                return done->set_value(false);
            beast::get_lowest_layer(conn->ws).expires_after(S.requestLimit);
            beast::get_lowest_layer(conn->ws).async_connect(
                tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                [conn, done, title, wsNode](beast::error_code e1) {
                    if (e1)
                        return done->set_value(false);
                    conn->ws.async_handshake("127.0.0.1", "/", [conn, done, title, wsNode](beast::error_code e2) {
                        if (e2)
                            return done->set_value(false);
                        beast::get_lowest_layer(conn->ws).expires_never();
                        conn->ws.text(true);
                        conn->ws.async_write(net::buffer(conn->frame), [conn, done, title, wsNode](
                                                                            beast::error_code e3, std::size_t) {
                            if (e3)
                                return done->set_value(false);
                            {
                                // The socket is open and carries this registration: from now on it must be listed,
                                // until it closes (a refused claim is closed by the node).
                                std::lock_guard<std::mutex> lock(conn->player->m);
                                conn->player->conn = conn;
                                conn->player->node = wsNode;
                                conn->player->title = title;
                                conn->player->maybeTitle.clear();
                                conn->player->awaiting.clear();
                            }
                            done->set_value(true);
                            conn->read();
                        });
                    });
                });
        });
        if (result.wait_for(S.requestLimit + milliseconds(500)) != std::future_status::ready) {
            ++ops.noAnswer;
            net::post(conn->ws.get_executor(), [conn] { beast::get_lowest_layer(conn->ws).close(); });
        }
    }

    void update(Player& p, int node)
    {
        const std::string title = nextTitle(p);
        ++ops.updates;
        const Answer a =
            httpCall(cluster.nodes[node].port, "/UpdateRegistration", registrationBody(p.index, title), playerAddress(p.index));
        std::lock_guard<std::mutex> lock(p.m);
        if (a.status == 200) {
            ++ops.updatesOk;
            if (p.conn) {
                p.title = title;
                p.maybeTitle.clear();
                p.lateRegister.clear();
            }
        } else if (a.status == 0) {
            ++ops.noAnswer;
            if (p.conn)
                p.maybeTitle = title;
        }
    }

    void invite(std::mt19937& rng, int node)
    {
        Player& target = *players_[rng() % players_.size()];
        {
            std::lock_guard<std::mutex> lock(target.m);
            if (!target.conn)
                return;
        }
        const long n = ++ops.invites;
        const std::string requester = fmt::format("Steam|inviter{}|0", n);
        const std::string from = fmt::format("127.4.{}.{}", n / 250 % 250, n % 250 + 1);
        const Answer a = httpCall(cluster.nodes[node].port, "/RequestInvite",
                                  R"({"Searcher":{"Name":"x", "IdString":")" + playerId(target.index) +
                                      R"("}, "User":{"Name":"Inviter","IdString":")" + requester + R"("}})",
                                  from);
        if (a.status == 0)
            ++ops.noAnswer;
        if (a.status != 200)
            return;
        ++ops.invitesOk;
        std::lock_guard<std::mutex> lock(target.m);
        if (target.conn && target.arrivedEarly.erase(requester) == 0)
            target.awaiting.emplace(requester, Clock::now() + S.inviteWait);
    }

    void leave(Player& p)
    {
        std::shared_ptr<Conn> conn;
        {
            std::lock_guard<std::mutex> lock(p.m);
            conn = std::move(p.conn);
            p.awaiting.clear();
            p.arrivedEarly.clear();
        }
        if (!conn)
            return;
        ++ops.closes;
        net::post(conn->ws.get_executor(), [conn] {
            conn->ws.async_close(websocket::close_code::normal, [conn](beast::error_code) {});
        });
    }

    std::vector<std::unique_ptr<Player>>& players_;
    net::io_context ioc_;
    net::executor_work_guard<net::io_context::executor_type> guard_;
    std::vector<std::thread> io_;
    std::vector<std::thread> workers_;
    std::mutex m_; // guards paused_, stop_, busy_
    std::condition_variable cv_;
    bool paused_ = false;
    bool stop_ = false;
    int busy_ = 0;
};

// ---------- the checker

struct Truth {
    bool open = false;
    std::string title, maybeTitle, lateRegister;
};

std::vector<Truth> snapshot(std::vector<std::unique_ptr<Player>>& players)
{
    std::vector<Truth> out;
    for (auto& p : players) {
        std::lock_guard<std::mutex> lock(p->m);
        out.push_back({p->conn != nullptr, p->title, p->maybeTitle, p->lateRegister});
    }
    return out;
}

// Differences between one node's "/list" and the truth, one line each.
std::vector<std::string> compare(int node, const std::vector<Truth>& truth)
{
    const std::string name = cluster.nodes[node].id;
    const Answer a = httpCall(cluster.nodes[node].port, "/list", {}, "127.0.0.1");
    if (a.status != 200)
        return {fmt::format("{}: node-down: \"/list\" answered {}", name, a.status)};
    Json::Value root;
    if (!Json::Reader().parse(a.body, root) || !root.isObject() || !root["Searchers"].isArray())
        return {fmt::format("{}: bad-list: \"/list\" is not the expected JSON", name)};
    std::vector<std::string> out;
    std::map<std::string, std::string> listed;
    for (const auto& e : root["Searchers"]) {
        const std::string id = e["Creator"]["IdString"].isString() ? e["Creator"]["IdString"].asString() : "?";
        listed[id] = e["Title"].isString() ? e["Title"].asString() : "?";
    }
    for (std::size_t i = 0; i < truth.size(); ++i) {
        const auto it = listed.find(playerId(static_cast<int>(i)));
        if (!truth[i].open && it != listed.end())
            out.push_back(fmt::format("{}: ghost: {} listed, its socket is closed", name, it->first));
        else if (truth[i].open && it == listed.end())
            out.push_back(fmt::format("{}: missing: {} has an open socket", name, playerId(static_cast<int>(i))));
        else if (truth[i].open && it->second != truth[i].title && it->second != truth[i].maybeTitle &&
                 it->second != truth[i].lateRegister)
            out.push_back(fmt::format("{}: stale: {} listed as \"{}\", last accepted \"{}\"", name, it->first,
                                      it->second, truth[i].title));
        if (it != listed.end())
            listed.erase(it);
    }
    for (const auto& [id, title] : listed)
        out.push_back(fmt::format("{}: ghost: {} is no player's", name, id));
    return out;
}

// ---------- faults

enum class Fault { None, NodeKill, NodeStop, RedisRestart, RedisSleep, RedisClientPause, RedisStop, Flushall, TwinId, Junk };
const char* const kFaultNames[] = {"no fault (control)",         "node SIGKILL + restart", "node SIGSTOP + SIGCONT",
                                   "Redis killed, restarted empty", "Redis DEBUG SLEEP",      "Redis CLIENT PAUSE",
                                   "Redis SIGSTOP + SIGCONT",       "FLUSHALL",               "node started with a taken id",
                                   "junk on the channels"};
constexpr int kFaultKinds = 10; // None included
// CI: a control first, then each fault once; the quick ones first, so that a slow broken cluster still shows most.
const Fault kCiOrder[] = {Fault::None,       Fault::Junk,      Fault::Flushall,         Fault::RedisRestart,
                          Fault::NodeKill,   Fault::RedisSleep, Fault::RedisClientPause, Fault::RedisStop,
                          Fault::TwinId,     Fault::NodeStop};

std::vector<std::string> junkEvents(long next)
{
    const std::string v = std::to_string(next);
    return {
        "not json",
        "[]",
        R"({"t":"set","v":"abc","id":"junk|1","o":1,"n":"junk","s":1,"e":"{}"})",
        R"({"t":"set","v":-5,"id":"junk|2","o":1,"n":"junk","s":1,"e":"{}"})",
        R"({"t":"set","v":1e300,"id":"junk|3","o":1,"n":"junk","s":1,"e":"{}"})",
        R"({"t":"set","v":)" + v + R"(,"id":{"a":1},"o":1,"n":"junk","s":1,"e":"{}"})",
        R"({"t":"set","v":)" + v + R"(,"id":"junk|4","o":1,"n":"junk","s":1,"e":"not json"})",
        R"({"t":"set","v":)" + v + R"(,"id":"junk|5","o":1,"n":"junk","s":1,"e":{"Title":{}}})",
        R"({"t":"del","v":1.5e19,"id":"junk|6"})",
    };
}

void junk(std::mt19937& rng)
{
    const std::string counter = redisCall(cluster.redisPort, {"GET", "crw:ev"}, milliseconds(1000));
    long next = 1;
    try {
        next = std::stol(counter) + 1;
    } catch (...) {
    }
    const auto events = junkEvents(next);
    // A few kinds per schedule, so that one crash does not hide the others.
    for (int k = 0; k < 3; ++k)
        redisCall(cluster.redisPort, {"PUBLISH", "crw:events", events[rng() % events.size()]}, milliseconds(1000));
    const std::string node = cluster.nodes[rng() % cluster.nodes.size()].id;
    for (const char* m : {"not json", R"({"id":{},"s":"x","x":1})", R"({"id":"x","s":-1,"x":[]})"})
        redisCall(cluster.redisPort, {"PUBLISH", "crw:i:" + node, m}, milliseconds(1000));
}

void inject(Fault f, std::mt19937& rng)
{
    Node& n = cluster.nodes[rng() % cluster.nodes.size()];
    switch (f) {
    case Fault::None:
        break;
    case Fault::NodeKill:
        n.proc->signal(SIGKILL);
        n.proc->waitExit(milliseconds(5000));
        cluster.wait(milliseconds(1000));
        if (!cluster.startNode(n))
            std::printf("  ! %s did not come back\n", n.id.c_str());
        break;
    case Fault::NodeStop:
        n.proc->signal(SIGSTOP);
        cluster.wait(S.nodeStop);
        n.proc->signal(SIGCONT);
        break;
    case Fault::RedisRestart:
        cluster.redis->signal(SIGKILL);
        cluster.redis->waitExit(milliseconds(5000));
        cluster.wait(milliseconds(500));
        if (!cluster.startRedis())
            std::printf("  ! redis did not come back\n");
        break;
    case Fault::RedisSleep: {
        const std::string secs = std::to_string(S.pause.count() / 1000.0);
        std::thread sleeper([secs] { redisCall(cluster.redisPort, {"DEBUG", "SLEEP", secs}, S.pause * 3); });
        cluster.wait(S.pause);
        sleeper.join();
        break;
    }
    case Fault::RedisClientPause:
        redisCall(cluster.redisPort, {"CLIENT", "PAUSE", std::to_string(S.pause.count()), "ALL"}, milliseconds(1000));
        cluster.wait(S.pause);
        break;
    case Fault::RedisStop:
        cluster.redis->signal(SIGSTOP);
        cluster.wait(S.pause);
        cluster.redis->signal(SIGCONT);
        break;
    case Fault::Flushall:
        redisCall(cluster.redisPort, {"FLUSHALL"}, milliseconds(2000));
        break;
    case Fault::TwinId: {
        Process twin(S.server, {"--port", std::to_string(crw::test::freePort()), "--redis", redisAddress(),
                                "--node-id", n.id});
        cluster.wait(milliseconds(3000));
        twin.waitForOutput(std::string(1, '\x01'), kPeek);
        const int st = twin.waitExit(kPeek);
        if (st >= 0) {
            std::printf("  twin of %s refused to run (exit %d)\n", n.id.c_str(), st);
        } else {
            twin.signal(SIGTERM); // an operator noticing the mistake
            twin.waitExit(milliseconds(5000));
        }
        std::ofstream(S.logDir + "/twin.log", std::ios::app) << twin.output();
        break;
    }
    case Fault::Junk:
        junk(rng);
        break;
    }
}

// The line a crashing node left last (an uncaught exception's text), for the report.
std::string lastWords(const std::string& output)
{
    const auto what = output.rfind("what():");
    if (what == std::string::npos)
        return {};
    return " (" + output.substr(what, std::min<std::size_t>(output.find('\n', what) - what, 100)) + ")";
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

int usage()
{
    std::fprintf(stderr, "usage: crw_faults --server PATH [--ci] [--schedules N] [--players N] [--seed N] "
                         "[--budget SECONDS] [--logs DIR]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    S.seed = static_cast<unsigned>(std::random_device{}());
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--ci") {
            S.ci = true;
            continue;
        }
        if (!value)
            return usage();
        ++i;
        if (arg == "--server")
            S.server = value;
        else if (arg == "--schedules")
            S.schedules = std::atoi(value);
        else if (arg == "--players")
            S.players = std::atoi(value);
        else if (arg == "--seed")
            S.seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (arg == "--budget")
            S.budgetSeconds = std::atof(value);
        else if (arg == "--logs")
            S.logDir = value;
        else
            return usage();
    }
    if (S.server.empty() || S.players < 3)
        return usage();
    if (S.ci) {
        // Every kind of fault once, shorter pauses; the budget keeps the whole run within two minutes.
        S.schedules = static_cast<int>(std::size(kCiOrder));
        S.players = std::min(S.players, 18);
        S.pause = milliseconds(3000);
        S.converge = milliseconds(10000);
        if (S.budgetSeconds <= 0)
            S.budgetSeconds = 85;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("seed %u, %d players, 3 nodes, redis-server %s\n", S.seed, S.players, CRW_REDIS_SERVER);
    std::fflush(stdout);

    if (!cluster.startRedis()) {
        std::fprintf(stderr, "redis-server did not start\n");
        return 1;
    }
    for (const char* id : {"n1", "n2", "n3"}) {
        cluster.nodes.emplace_back();
        cluster.nodes.back().id = id;
        if (!cluster.startNode(cluster.nodes.back())) {
            std::fprintf(stderr, "crw-server %s did not start:\n%s\n", id, cluster.nodes.back().proc->output().c_str());
            return 1;
        }
    }

    std::vector<std::unique_ptr<Player>> players;
    for (int i = 0; i < S.players; ++i) {
        players.push_back(std::make_unique<Player>());
        players.back()->index = i;
    }
    std::mt19937 rng(S.seed);
    const auto begin = Clock::now();
    int schedules = 0, faults = 0, unconverged = 0;
    std::map<std::string, int> violationsByKind;
    std::vector<double> convergeSeconds;
    {
        Workload workload(players, 3);
        for (int s = 0; s < S.schedules; ++s) {
            if (S.budgetSeconds > 0 && std::chrono::duration<double>(Clock::now() - begin).count() > S.budgetSeconds)
                break;
            // CI: each kind once, in order; otherwise one to three at random, back to back.
            std::vector<Fault> plan;
            if (S.ci)
                plan.push_back(kCiOrder[s]);
            else
                for (int k = 0, count = 1 + static_cast<int>(rng() % 3); k < count; ++k)
                    plan.push_back(static_cast<Fault>(1 + rng() % (kFaultKinds - 1)));
            std::string names;
            for (Fault f : plan)
                names += std::string(names.empty() ? "" : ", ") + kFaultNames[static_cast<int>(f)];
            std::printf("schedule %d: %s\n", s + 1, names.c_str());
            std::fflush(stdout);

            cluster.wait(milliseconds(S.ci ? 1000 : 3000)); // the workload builds some state first
            for (Fault f : plan) {
                inject(f, rng);
                faults += f != Fault::None;
            }
            // Players keep acting for a moment: a view frozen by the fault shows only in what changes after it.
            cluster.wait(milliseconds(1500));
            workload.pause();
            const auto quietStart = Clock::now();
            ++schedules;

            // Quiet: every node must come to list exactly the open sockets with their last accepted titles.
            std::vector<std::string> diffs, exits;
            bool converged = false;
            while (Clock::now() - quietStart < S.converge) {
                for (auto& n : cluster.nodes)
                    if (const int st = n.proc->waitExit(kPeek); st >= 0) {
                        exits.push_back(fmt::format("{}: node-exit: crw-server ended with status {}{}", n.id, st,
                                                    lastWords(n.proc->output())));
                        cluster.startNode(n);
                    }
                if (!exits.empty())
                    break; // what the restarted node lists says nothing about this schedule
                diffs.clear();
                const auto truth = snapshot(players);
                for (std::size_t n = 0; n < cluster.nodes.size(); ++n) {
                    auto d = compare(static_cast<int>(n), truth);
                    diffs.insert(diffs.end(), d.begin(), d.end());
                }
                if (diffs.empty()) {
                    converged = true;
                    convergeSeconds.push_back(std::chrono::duration<double>(Clock::now() - quietStart).count());
                    break;
                }
                cluster.wait(milliseconds(100));
            }
            diffs.insert(diffs.end(), exits.begin(), exits.end());
            // Invites answered 200 must have reached a socket that stayed open.
            cluster.wait(milliseconds(100));
            const auto now = Clock::now();
            for (auto& p : players) {
                std::lock_guard<std::mutex> lock(p->m);
                for (auto it = p->awaiting.begin(); it != p->awaiting.end();)
                    if (it->second < now) {
                        diffs.push_back(fmt::format("{}: lost-invite: from {} answered 200, never delivered",
                                                    cluster.nodes[p->node].id, it->first));
                        it = p->awaiting.erase(it);
                    } else {
                        ++it;
                    }
            }
            if (!converged) {
                ++unconverged;
                if (exits.empty())
                    std::printf("  not converged within %.0f s\n", S.converge.count() / 1000.0);
            } else {
                std::printf("  converged in %.2f s\n", convergeSeconds.back());
            }
            std::sort(diffs.begin(), diffs.end());
            for (std::size_t i = 0; i < diffs.size(); ++i) {
                const std::string& d = diffs[i];
                const auto a = d.find(": ") + 2;
                ++violationsByKind[d.substr(a, d.find(':', a) - a)];
                if (i < 8)
                    std::printf("  violation: %s\n", d.c_str());
            }
            if (diffs.size() > 8)
                std::printf("  ... %zu more\n", diffs.size() - 8);
            std::fflush(stdout);
            workload.resume();
        }
    }
    int violations = 0;
    std::string kinds;
    for (const auto& [kind, count] : violationsByKind) {
        violations += count;
        kinds += fmt::format("{}{} {}", kinds.empty() ? "" : ", ", count, kind);
    }
    std::printf("\nschedules run: %d of %d%s\nfaults injected: %d\n", schedules, S.schedules,
                schedules < S.schedules ? " (time budget spent)" : "", faults);
    std::printf("operations: %ld (register %ld/%ld accepted, claim %ld, update %ld/%ld, invite %ld/%ld, close %ld; "
                "%ld without an answer in time)\n",
                ops.registers + ops.updates + ops.invites + ops.closes, ops.registersOk.load(), ops.registers.load(),
                ops.claims.load(), ops.updatesOk.load(), ops.updates.load(), ops.invitesOk.load(), ops.invites.load(),
                ops.closes.load(), ops.noAnswer.load());
    std::printf("violations: %d%s%s%s\n", violations, kinds.empty() ? "" : " (", kinds.c_str(), kinds.empty() ? "" : ")");
    std::printf("time to converge: p50 %.2f s, p99 %.2f s (%zu schedules converged, %d did not within %.0f s)\n",
                percentile(convergeSeconds, 0.5), percentile(convergeSeconds, 0.99), convergeSeconds.size(),
                unconverged, S.converge.count() / 1000.0);
    std::printf("elapsed: %.0f s\n", std::chrono::duration<double>(Clock::now() - begin).count());
    for (auto& n : cluster.nodes)
        cluster.saveOutput(n.id, *n.proc);
    cluster.saveOutput("redis", *cluster.redis);
    return violations == 0 ? 0 : 1;
}
