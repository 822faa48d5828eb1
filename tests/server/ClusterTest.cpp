// Nodes of a cluster sharing one private redis-server: registries side by side in this process, then two crw-server
// processes end to end.
#include "Metrics.h"
#include "ProcessUtil.h"
#include "RedisRegistry.h"
#include "Registration.h"
#include "TestUtil.h"

#include <json/json.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <csignal>
#include <thread>
#include <future>

using namespace crw::test;
using crw::server::RedisRegistry;
using crw::server::Registry;

namespace {

struct Sink : crw::server::FrameSink {
    bool trySend(std::string text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (full)
            return false;
        frames.push_back(std::move(text));
        return true;
    }
    void unlisted() override { ++dropped; }
    std::atomic<int> dropped{0};
    std::size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
    std::mutex mutex;
    std::vector<std::string> frames;
    std::atomic<bool> full{false};
};

Json::Value entry(const std::string& title)
{
    Json::Value e;
    e["Title"] = title;
    e["Creator"]["Name"] = "Player " + title;
    return e;
}

// A node driven by blocking calls: each waits for its handler (bounded).
struct TestNode {
    template <class T, class Start>
    static T wait(Start start)
    {
        auto promise = std::make_shared<std::promise<T>>();
        auto future = promise->get_future();
        start([promise](T v) { promise->set_value(std::move(v)); });
        if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
            throw std::runtime_error("the registry never answered");
        return future.get();
    }
    Registry::Register addPending(const std::string& id, const Json::Value& e, const std::string& address)
    {
        return wait<Registry::Register>([&](auto done) { r->addPending(id, e, address, done); });
    }
    Registry::Claim claim(const std::string& id, std::uint64_t socket, std::weak_ptr<crw::server::FrameSink> sink,
                          const std::string& address)
    {
        return wait<Registry::Claim>([&](auto done) { r->claim(id, socket, sink, address, done); });
    }
    Registry::Update update(const std::string& id, const Json::Value& e, const std::string& address)
    {
        return wait<Registry::Update>([&](auto done) { r->update(id, e, address, done); });
    }
    Registry::InviteResult deliverInvite(const std::string& id, const std::string& frame,
                                         const std::string& from = "10.9.9.9")
    {
        return wait<Registry::InviteResult>([&](auto done) { r->deliverInvite(id, frame, from, done); });
    }
    RedisRegistry* operator->() { return r.get(); }
    RedisRegistry& operator*() { return *r; }
    std::unique_ptr<RedisRegistry> r;
};

class ClusterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(redis_.start()); }

    TestNode node(const std::string& name, std::chrono::milliseconds ttl = std::chrono::seconds(5),
                  std::chrono::milliseconds callTimeout = std::chrono::seconds(1),
                  crw::server::Metrics* metrics = nullptr)
    {
        crw::server::RedisRegistryOptions o;
        o.port = redis_.port();
        o.nodeId = name;
        o.heartbeat = ttl / 5;
        o.nodeTtl = ttl;
        o.limits.inviteBurstPerTarget = 3;
        o.limits.invitesPerTargetPerSecond = 0.01;
        o.limits.invitesPerAddressPerSecond = 0.01;
        o.callTimeout = callTimeout;
        o.limits.listBudget = listBudget_;
        if (tweak_)
            tweak_(o);
        auto r = std::make_unique<RedisRegistry>(o, metrics);
        r->start();
        EXPECT_TRUE(eventually([&] { return r->available(); }));
        return TestNode{std::move(r)};
    }
    static bool lists(RedisRegistry& r, const std::string& text)
    {
        return r.listBody()->find(text) != std::string::npos;
    }

    RedisServer redis_;
    crw::server::ListBudget listBudget_;
    std::function<void(crw::server::RedisRegistryOptions&)> tweak_;
};

} // namespace

TEST_F(ClusterTest, RegistrationsCrossNodesUnderTheAddressRule)
{
    auto a = node("a");
    auto b = node("b");
    auto sink = std::make_shared<Sink>();

    EXPECT_EQ(a.addPending("p1", entry("one"), "10.0.0.1"), Registry::Register::Pending);
    EXPECT_EQ(b.addPending("p1", entry("poison"), "10.0.0.2"), Registry::Register::TakenElsewhere);
    EXPECT_EQ(b.claim("p1", 7, sink, "10.0.0.2"), Registry::Claim::TakenElsewhere);
    EXPECT_EQ(b.claim("nobody", 8, sink, "10.0.0.1"), Registry::Claim::NotPending);
    ASSERT_EQ(b.claim("p1", 7, sink, "10.0.0.1"), Registry::Claim::Listed);
    EXPECT_TRUE(lists(*b, "\"one\"")); // the claiming node sees it before it answers
    EXPECT_TRUE(eventually([&] { return lists(*a, "\"one\""); }, std::chrono::milliseconds(100)));
    EXPECT_EQ(b.addPending("p1", entry("poison"), "10.0.0.2"), Registry::Register::TakenElsewhere);

    EXPECT_EQ(a.update("p1", entry("poison"), "10.0.0.2"), Registry::Update::WrongAddress);
    EXPECT_EQ(a.update("p2", entry("two"), "10.0.0.1"), Registry::Update::NotListed);
    EXPECT_EQ(a.update("p1", entry("uno"), "10.0.0.1"), Registry::Update::Updated);
    EXPECT_TRUE(lists(*a, "\"uno\""));
    EXPECT_TRUE(eventually([&] { return lists(*b, "\"uno\"") && !lists(*b, "\"one\""); }));

    // From the other node to the socket, then the per-target limit of the whole cluster.
    auto invited = a.deliverInvite("p1", "frame-1");
    EXPECT_EQ(invited.outcome, Registry::Invite::Delivered);
    EXPECT_EQ(invited.name, "Player uno");
    EXPECT_TRUE(eventually([&] { return sink->count() == 1; }));
    EXPECT_EQ(b.deliverInvite("p1", "frame-2").outcome, Registry::Invite::Delivered);
    EXPECT_EQ(a.deliverInvite("p1", "frame-3").outcome, Registry::Invite::Delivered);
    EXPECT_EQ(b.deliverInvite("p1", "frame-4").outcome, Registry::Invite::RateLimited);
    EXPECT_TRUE(eventually([&] { return sink->count() == 3; }));
    EXPECT_EQ(sink->frames[0], "frame-1");

    b->release("p1", 99); // not the socket that holds it
    b->release("p1", 7);
    EXPECT_FALSE(lists(*b, "p1"));
    EXPECT_TRUE(eventually([&] { return !lists(*a, "\"uno\""); }));
    EXPECT_EQ(a.deliverInvite("p1", "x").outcome, Registry::Invite::NotListed);
}

TEST_F(ClusterTest, ListKeepsRegistrationOrderAcrossNodes)
{
    auto a = node("a");
    auto b = node("b");
    auto sink = std::make_shared<Sink>();
    const std::vector<std::pair<TestNode*, std::string>> order = {{&a, "first"}, {&b, "second"}, {&a, "third"}};
    std::uint64_t socket = 1;
    for (const auto& [n, title] : order) {
        ASSERT_EQ(n->addPending(title, entry(title), "10.0.0.1"), Registry::Register::Pending);
        ASSERT_EQ(n->claim(title, socket++, sink, "10.0.0.1"), Registry::Claim::Listed);
    }
    for (auto* n : {a.r.get(), b.r.get()}) {
        EXPECT_TRUE(eventually([&] { return n->listedCount() == 3; }));
        const std::string list = *n->listBody();
        EXPECT_LT(list.find("first"), list.find("second"));
        EXPECT_LT(list.find("second"), list.find("third"));
    }
    // A node that starts late reads everything at once.
    auto c = node("c");
    EXPECT_TRUE(eventually([&] { return *c->listBody() == *a->listBody(); }));
}

// A flood from one network through both nodes, after a player of another: every node, a late one too, answers the
// same list within the budget, with that player in it.
TEST_F(ClusterTest, CombinedListStaysWithinItsBudgetAndEveryNodeChoosesAlike)
{
    listBudget_.bytes = 2000;
    auto a = node("a");
    auto b = node("b");
    auto sink = std::make_shared<Sink>();
    const std::string big(200, 'x');
    ASSERT_EQ(a.addPending("player", entry("player" + big), "10.0.0.1"), Registry::Register::Pending);
    ASSERT_EQ(a.claim("player", 1, sink, "10.0.0.1"), Registry::Claim::Listed);
    for (int i = 0; i < 16; ++i) {
        TestNode& n = i % 2 ? a : b;
        const std::string id = "flood" + std::to_string(i), from = "10.1.0." + std::to_string(i + 1);
        ASSERT_EQ(n.addPending(id, entry(id + big), from), Registry::Register::Pending);
        ASSERT_EQ(n.claim(id, 2 + i, sink, from), Registry::Claim::Listed);
    }
    auto c = node("c");
    for (auto* n : {a.r.get(), b.r.get(), c.r.get()}) {
        ASSERT_TRUE(eventually([&] { return n->listedCount() == 17 && *n->listBody() == *a->listBody(); }));
        EXPECT_LE(n->listBody()->size(), 2000u);
        EXPECT_TRUE(lists(*n, "player" + big));
        EXPECT_GT(n->listStats().leftOut, 0u);
    }
}

TEST_F(ClusterTest, DeadNodeIsSweptAndRedisRestartLosesNobody)
{
    auto a = node("a", std::chrono::milliseconds(1000));
    auto b = node("b", std::chrono::milliseconds(1000));
    auto sink = std::make_shared<Sink>();
    for (auto* n : {&a, &b}) {
        const std::string id = "held-by-" + (*n)->nodeId();
        ASSERT_EQ(n->addPending(id, entry(id), "10.0.0.1"), Registry::Register::Pending);
        ASSERT_EQ(n->claim(id, 1, sink, "10.0.0.1"), Registry::Claim::Listed);
    }
    EXPECT_TRUE(eventually([&] { return a->listedCount() == 2 && b->listedCount() == 2; }));

    // Redis goes: what needs it is refused, what each node holds stays.
    redis_.stop();
    EXPECT_TRUE(eventually([&] { return !a->available(); }));
    EXPECT_EQ(a.addPending("late", entry("late"), "10.0.0.1"), Registry::Register::Unavailable);
    EXPECT_EQ(a.deliverInvite("held-by-b", "x").outcome, Registry::Invite::Unavailable);
    EXPECT_EQ(a->listedCount(), 2u);

    // Redis comes back empty: each node puts its own players back.
    ASSERT_TRUE(redis_.start());
    auto fresh = node("watcher", std::chrono::milliseconds(1000));
    EXPECT_TRUE(eventually([&] { return fresh->listedCount() == 2; }, std::chrono::seconds(10)));

    // b dies without a word: the survivors sweep its listing once its liveness runs out.
    b->client().stop(); // no goodbye
    EXPECT_TRUE(
        eventually([&] { return !lists(*a, "held-by-b") && !lists(*fresh, "held-by-b"); }, std::chrono::seconds(5)));
    EXPECT_TRUE(lists(*fresh, "held-by-a"));
}

TEST_F(ClusterTest, ClaimAnsweredAfterItsTimeOutLeavesNoListing)
{
    auto a = node("a", std::chrono::seconds(5), std::chrono::milliseconds(300));
    auto b = node("b");
    auto sink = std::make_shared<Sink>();
    ASSERT_EQ(a.addPending("p1", entry("late"), "10.0.0.1"), Registry::Register::Pending);
    // Redis holds every command for 800 ms: the claim is refused at 300 ms, then runs in Redis anyway.
    ASSERT_TRUE(a->client().call({"CLIENT", "PAUSE", "800"}, kWait));
    EXPECT_EQ(a.claim("p1", 1, sink, "10.0.0.1"), Registry::Claim::Unavailable);
    // Answers come in order on a's link: the claim's, then this one, then that of whatever its answer sent.
    ASSERT_TRUE(a->client().call({"PING"}, kWait));
    ASSERT_TRUE(a->client().call({"PING"}, kWait));
    const auto held = a->client().call({"EXISTS", "crw:l:p1"}, kWait);
    ASSERT_TRUE(held);
    EXPECT_EQ(held->integer, 0);
    EXPECT_TRUE(eventually([&] { return !lists(*b, "\"late\"") && !lists(*a, "\"late\""); }));
    EXPECT_EQ(b.deliverInvite("p1", "x").outcome, Registry::Invite::NotListed);
}

TEST_F(ClusterTest, UpdateAnsweredUnavailableIsNeverAppliedLater)
{
    auto a = node("a", std::chrono::seconds(5), std::chrono::milliseconds(300));
    auto b = node("b");
    auto sink = std::make_shared<Sink>();
    ASSERT_EQ(a.addPending("p1", entry("before"), "10.0.0.1"), Registry::Register::Pending);
    ASSERT_EQ(a.claim("p1", 1, sink, "10.0.0.1"), Registry::Claim::Listed);
    ASSERT_TRUE(a->client().call({"CLIENT", "PAUSE", "800"}, kWait));
    EXPECT_EQ(a.update("p1", entry("after"), "10.0.0.1"), Registry::Update::Unavailable);
    ASSERT_TRUE(a->client().call({"PING"}, kWait)); // the update has run (or been refused) by now
    const auto held = a->client().call({"HGET", "crw:l:p1", "e"}, kWait);
    ASSERT_TRUE(held);
    EXPECT_NE(held->str.find("before"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return lists(*b, "\"before\""); }));
    EXPECT_FALSE(lists(*b, "\"after\""));
    EXPECT_EQ(a.update("p1", entry("after"), "10.0.0.1"), Registry::Update::Updated);
}

TEST_F(ClusterTest, CrossNodeInvitesAnswerWhatTheHoldingNodeDidAndLimitsHoldClusterWide)
{
    auto a = node("a", std::chrono::seconds(5), std::chrono::milliseconds(500));
    auto b = node("b");
    auto sink = std::make_shared<Sink>();
    auto gone = std::make_shared<Sink>();
    for (auto [id, s] : {std::pair{"full", sink}, std::pair{"gone", gone}}) {
        ASSERT_EQ(b.addPending(id, entry(id), "10.0.0.1"), Registry::Register::Pending);
        ASSERT_EQ(b.claim(id, id[0], s, "10.0.0.1"), Registry::Claim::Listed);
    }
    ASSERT_TRUE(eventually([&] { return a->listedCount() == 2; }));
    sink->full = true;
    gone.reset(); // the socket is going away, its release not yet made
    EXPECT_EQ(a.deliverInvite("full", "x", "10.1.0.1").outcome, Registry::Invite::QueueFull);
    EXPECT_EQ(a.deliverInvite("gone", "x", "10.1.0.2").outcome, Registry::Invite::NotListed);

    // b's Redis thread stalls: the frame goes out, but nobody says what became of it in time.
    std::promise<void> resume;
    boost::asio::post(b->client().context(), [f = resume.get_future().share()] { f.wait(); });
    sink->full = false;
    EXPECT_EQ(a.deliverInvite("full", "x", "10.1.0.3").outcome, Registry::Invite::NoAnswer);
    resume.set_value();
    EXPECT_TRUE(eventually([&] { return sink->count() == 1; }));

    // One asker spread over both nodes gets the burst of one address, not one per node.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ((i % 2 ? a : b).deliverInvite("nobody", "x", "10.2.0.1").outcome, Registry::Invite::NotListed);
    EXPECT_EQ(a.deliverInvite("nobody", "x", "10.2.0.1").outcome, Registry::Invite::AddressLimited);
    EXPECT_EQ(b.deliverInvite("nobody", "x", "10.2.0.1").outcome, Registry::Invite::AddressLimited);
    EXPECT_EQ(b.deliverInvite("nobody", "x", "10.2.0.2").outcome, Registry::Invite::NotListed);
}

namespace {

std::string inviteBody(const std::string& searcherId)
{
    return R"({"Searcher":{"Name":"Someone", "IdString":")" + jsonEscape(searcherId) +
           R"("}, "User":{"Name":"Asker","IdString":"Steam|42|0"}})";
}

// A crw-server process joined to the cluster; its port is read from its first line.
struct Node {
    Node(const std::string& redis, const std::string& name, std::vector<std::string> more = {})
        : process(CRW_SERVER_EXE, withArgs({"--port", "0", "--redis", redis, "--node-id", name, "--metrics-bind", "127.0.0.1:0"},
                                           std::move(more)))
    {
        // The log thread may write its first line before the main thread's.
        if (!process.waitForOutput("redis: ready", kWait) || !process.waitForOutput("metrics on port ", kWait))
            return;
        const auto& out = process.output();
        const auto colon = out.find(':', out.find("listening on "));
        port = static_cast<unsigned short>(std::stoi(out.substr(colon + 1)));
        metricsPort = static_cast<unsigned short>(std::stoi(out.substr(out.find("metrics on port ") + 16)));
    }
    bool lists(const std::string& id) { return httpRequest(port, "GET", "/list").body.find(id) != std::string::npos; }
    static std::vector<std::string> withArgs(std::vector<std::string> a, std::vector<std::string> b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    Process process;
    unsigned short port = 0;
    unsigned short metricsPort = 0;
};

} // namespace

TEST_F(ClusterTest, TwoServerProcessesShareThePlayersAndOutliveRedisAndEachOther)
{
    Node n1(redis_.address(), "n1");
    Node n2(redis_.address(), "n2");
    ASSERT_NE(n1.port, 0) << n1.process.output();
    ASSERT_NE(n2.port, 0) << n2.process.output();

    // Registered through node 1; listed on node 2 at once; an invite asked of node 2 reaches the socket on node 1.
    Reg reg;
    ASSERT_EQ(httpRequest(n1.port, "POST", "/register", reg.body()).status, 200);
    WsClient player;
    ASSERT_TRUE(player.connect(n1.port));
    ASSERT_TRUE(player.send(reg.body()));
    ASSERT_TRUE(eventually([&] { return n2.lists(reg.id); }));
    auto invite = httpRequest(n2.port, "POST", "/RequestInvite", inviteBody(reg.id));
    EXPECT_EQ(invite.status, 200) << invite.body;
    auto frame = player.read();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->rfind(R"({"type":"InviteNotification")", 0), 0u) << *frame;
    EXPECT_EQ(httpRequest(n2.port, "POST", "/RequestInvite", inviteBody("Steam|nobody|0")).status, 402);
    EXPECT_EQ(httpRequest(n1.port, "GET", "/metrics").status, 404);
    const std::string metrics = httpRequest(n1.metricsPort, "GET", "/metrics").body;
    EXPECT_NE(metrics.find("crw_invites_delivered_total 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("crw_redis_up 1\n"), std::string::npos);
    EXPECT_NE(metrics.find(R"(crw_http_requests_total{path="/register",status="200"} 1)"), std::string::npos);

    // Node 2 stalls with an update queued; its sender gives up and sends a newer one through node 1. Once node 2
    // resumes, the abandoned one is not applied over it.
    Reg older = reg, newer = reg;
    older.title = "queued while stalled";
    newer.title = "sent after giving up";
    n2.process.signal(SIGSTOP);
    rawExchange(n2.port,
                "POST /UpdateRegistration HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(older.body().size()) +
                    "\r\n\r\n" + older.body(),
                std::chrono::milliseconds(200));
    EXPECT_EQ(httpRequest(n1.port, "POST", "/UpdateRegistration", newer.body()).status, 200);
    n2.process.signal(SIGCONT);
    EXPECT_TRUE(n2.process.waitForOutput("POST /UpdateRegistration 499", kWait)) << n2.process.output();
    EXPECT_TRUE(eventually([&] { return n1.lists(newer.title) && n2.lists(newer.title); }));
    EXPECT_FALSE(n1.lists(older.title) || n2.lists(older.title));

    // Redis away: what needs it is 503, the list and the socket stay.
    redis_.stop();
    Reg other;
    other.id = "Steam|76561190000000002|0";
    EXPECT_TRUE(eventually([&] { return httpRequest(n2.port, "POST", "/register", other.body()).status == 503; }));
    EXPECT_TRUE(n2.lists(reg.id));
    EXPECT_NE(httpRequest(n1.metricsPort, "GET", "/metrics").body.find("crw_redis_up 0\n"), std::string::npos);

    // Redis back, empty: node 1 puts its player back, and the same socket still gets invites.
    ASSERT_TRUE(redis_.start());
    EXPECT_TRUE(eventually([&] { return httpRequest(n2.port, "POST", "/register", other.body()).status == 200; },
                           std::chrono::seconds(10)));
    EXPECT_TRUE(
        eventually([&] { return httpRequest(n2.port, "POST", "/RequestInvite", inviteBody(reg.id)).status == 200; }));
    EXPECT_TRUE(player.read());
    EXPECT_TRUE(n2.lists(reg.id));

    // The same player registers again through node 2: node 1 closes its older socket, which nobody lists any more.
    Reg again;
    again.id = "Steam|76561190000000003|0";
    WsClient stale;
    ASSERT_EQ(httpRequest(n1.port, "POST", "/register", again.body()).status, 200);
    ASSERT_TRUE(stale.connect(n1.port) && stale.send(again.body()));
    ASSERT_TRUE(eventually([&] { return n2.lists(again.id); }));
    ASSERT_EQ(httpRequest(n2.port, "POST", "/register", again.body()).status, 200);
    WsClient fresh;
    ASSERT_TRUE(fresh.connect(n2.port) && fresh.send(again.body()));
    EXPECT_FALSE(stale.read());
    EXPECT_EQ(stale.closeCode(), 4000);
    EXPECT_EQ(stale.closeReason(), "Registration no longer listed, register again");

    // A second process with node 2's id is refused while node 1's sweep runs. While it waits it takes no
    // connection: what queued there would be applied, stale, once it started.
    const unsigned short twinPort = freePort();
    Process twin(CRW_SERVER_EXE, {"--port", std::to_string(twinPort), "--redis", redis_.address(), "--node-id", "n2"});
    ASSERT_TRUE(twin.waitForOutput("waiting for it to lapse", kWait)) << twin.output();
    {
        boost::asio::io_context ioc;
        boost::asio::ip::tcp::socket probe(ioc);
        boost::system::error_code ec;
        probe.connect({boost::asio::ip::make_address("127.0.0.1"), twinPort}, ec);
        EXPECT_EQ(ec, boost::asio::error::connection_refused);
    }

    // Node 1 killed without a word: its player leaves node 2's list within 10 s.
    n1.process.signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return !n2.lists(reg.id); }, std::chrono::seconds(10)));
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(10));
    EXPECT_EQ(twin.waitExit(std::chrono::seconds(12)), 1) << twin.output();
    EXPECT_NE(twin.output().find("node id 'n2' is held by another live node"), std::string::npos) << twin.output();

    // The survivor stops cleanly (and a sanitizer's report would show in its exit status); SIGTERM would drain.
    n2.process.signal(SIGINT);
    EXPECT_EQ(n2.process.waitExit(kWait), 0) << n2.process.output();
}

TEST_F(ServerTest, MetricsOfASingleNodeNeedNoRedis)
{
    startServer();
    auto player = registerAndConnect(Reg{});
    const auto res = httpRequest(port_, "GET", "/metrics");
    EXPECT_EQ(res.status, 200);
    EXPECT_NE(res.body.find("# TYPE crw_listed_players gauge\ncrw_listed_players 1\n"), std::string::npos) << res.body;
    EXPECT_NE(res.body.find(R"(crw_http_requests_total{path="/register",status="200"} 1)"), std::string::npos);
    EXPECT_EQ(res.body.find("crw_redis"), std::string::npos);
}

TEST_F(ServerTest, StalledRedisDelaysNoOtherRequestAndIsNoticed)
{
    RedisServer redis;
    ASSERT_TRUE(redis.start());
    crw::server::ServerOptions options;
    options.redis = redis.address();
    options.nodeId = "stall";
    options.redisTimeout = std::chrono::seconds(3);
    startServer(options);
    ASSERT_TRUE(eventually([&] { return httpRequest(port_, "GET", "/metrics").body.find("crw_redis_up 1\n") !=
                                        std::string::npos; }));

    redis.signal(SIGSTOP);
    // More writers than I/O threads, each waiting for Redis.
    std::atomic<int> answered{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 6; ++i)
        writers.emplace_back([&, i] {
            Reg reg;
            reg.id = "Steam|" + std::to_string(i) + "|0";
            httpRequest(port_, "POST", "/register", reg.body(), "127.0.0." + std::to_string(10 + i));
            ++answered;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let them reach the server
    EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI").status, 200);
    EXPECT_EQ(httpRequest(port_, "GET", "/list").status, 200);
    EXPECT_EQ(answered.load(), 0) << "the probes waited for a writer";
    for (auto& t : writers)
        t.join();
    // Nothing answers on the link: it is reported down and made again once Redis is back.
    EXPECT_TRUE(eventually([&] { return httpRequest(port_, "GET", "/metrics").body.find("crw_redis_up 0\n") !=
                                        std::string::npos; }, std::chrono::seconds(8)));
    redis.signal(SIGCONT);
    EXPECT_TRUE(eventually([&] { return httpRequest(port_, "POST", "/register", Reg{}.body()).status == 200; },
                           std::chrono::seconds(10)));
}

namespace {

void listed(TestNode& n, const std::string& id, const std::shared_ptr<Sink>& sink, const std::string& title,
            const std::string& address = "10.0.0.1", std::uint64_t socket = 1)
{
    ASSERT_EQ(n.addPending(id, entry(title), address), Registry::Register::Pending);
    ASSERT_EQ(n.claim(id, socket, sink, address), Registry::Claim::Listed);
}

std::string command(TestNode& n, std::vector<std::string> args)
{
    auto reply = n->client().call(std::move(args), kWait);
    return reply ? reply->str : std::string("(no answer)");
}

} // namespace

// A node's own players come back from Redis's truth, not from what reached that node.
TEST_F(ClusterTest, RedisRestartPutsBackTheLatestRegistrationEvenIfMadeThroughAnotherNode)
{
    auto a = node("a", std::chrono::milliseconds(1000));
    auto b = node("b", std::chrono::milliseconds(1000));
    auto sink = std::make_shared<Sink>();
    listed(a, "p1", sink, "old-title");
    ASSERT_EQ(b.update("p1", entry("new-title"), "10.0.0.1"), Registry::Update::Updated);
    ASSERT_TRUE(eventually([&] { return lists(*a, "new-title"); }));

    redis_.stop();
    ASSERT_TRUE(redis_.start());
    auto watcher = node("watcher");
    EXPECT_TRUE(eventually([&] { return lists(*watcher, "new-title"); }, std::chrono::seconds(10)));
    EXPECT_FALSE(lists(*watcher, "old-title"));
    EXPECT_EQ(sink->dropped, 0);
}

TEST_F(ClusterTest, ChangeCounterResetOrLostChangesMakeEveryNodeResynchronise)
{
    crw::server::Metrics metrics;
    auto a = node("a", std::chrono::milliseconds(1000), std::chrono::seconds(1), &metrics);
    auto b = node("b", std::chrono::milliseconds(1000));
    auto sink = std::make_shared<Sink>();
    listed(a, "p1", sink, "first");
    ASSERT_TRUE(eventually([&] { return lists(*b, "first"); }));

    // Redis loses everything under a link that stays up; a player registers afterwards.
    EXPECT_EQ(command(a, {"FLUSHALL"}), "OK");
    ASSERT_TRUE(eventually([&] { return b->available(); }));
    EXPECT_TRUE(eventually([&] {
        return b.addPending("p2", entry("second"), "10.0.0.2") == Registry::Register::Pending &&
               b.claim("p2", 2, sink, "10.0.0.2") == Registry::Claim::Listed;
    }));
    for (RedisRegistry* n : {&*a, &*b})
        EXPECT_TRUE(eventually([&] { return lists(*n, "first") && lists(*n, "second"); })) << *n->listBody();

    // A forged removal that Redis never made: the digest check catches it and p1 is listed again.
    // (A node still resynchronising from the flush holds it back, so it is sent again until one applies it.)
    bool dropped = false;
    for (int i = 0; i < 10 && !dropped; ++i) {
        const std::string ev = command(a, {"GET", "crw:ev"});
        const std::string forged = R"({"t":"del","id":"p1","v":)" + std::to_string(std::stoull(ev) + 1) + "}";
        command(a, {"PUBLISH", "crw:events", forged});
        dropped = eventually([&] { return !lists(*b, "first"); }, std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(dropped);
    for (RedisRegistry* n : {&*a, &*b})
        EXPECT_TRUE(eventually([&] { return lists(*n, "first") && lists(*n, "second"); })) << *n->listBody();
    EXPECT_GE(metrics.clusterResyncs.load(), 1u);
    EXPECT_EQ(sink->dropped, 0);
}

// Junk on the channels is counted and ignored: no node ends, "/list" stays JSON, no view freezes.
TEST_F(ClusterTest, MalformedClusterMessagesAreCountedAndIgnored)
{
    crw::server::Metrics metrics;
    auto a = node("a", std::chrono::seconds(5), std::chrono::seconds(1), &metrics);
    auto sink = std::make_shared<Sink>();
    listed(a, "p1", sink, "kept");
    const std::string body = R"("id":"p9","o":9,"n":"a","s":"x",)";
    const std::vector<std::string> junk = {
        "not json", "[]", R"({"t":"set","v":"abc",)" + body + R"("e":"{}"})",
        R"({"t":"set","v":-5,)" + body + R"("e":"{}"})", R"({"t":"set","v":1e300,)" + body + R"("e":"{}"})",
        R"({"t":"set","v":1.5,)" + body + R"("e":"{}"})", R"({"t":"del","v":7,"id":{"x":1}})",
        R"({"t":"set","v":7,"id":"p9","o":9,"n":"a","s":"x","e":{"Title":"t"}})",
        R"({"t":"set","v":7,)" + body + R"("e":"not json"})", R"({"t":"set","v":7,)" + body + R"("e":"{} x"})",
        R"({"t":"what","v":7,"id":"p9"})"};
    for (const auto& j : junk)
        command(a, {"PUBLISH", "crw:events", j});
    command(a, {"PUBLISH", "crw:i:a", R"({"id":{"a":1},"s":"x","x":"frame"})"});
    command(a, {"PUBLISH", "crw:i:a", R"({"id":"p1","s":"x","x":7})"});
    ASSERT_TRUE(eventually([&] { return metrics.clusterBadMessages.load() == junk.size() + 2; }))
        << metrics.clusterBadMessages.load();

    // A version far ahead is a gap: the node resynchronises instead of waiting for it forever.
    command(a, {"PUBLISH", "crw:events", R"({"t":"set","v":15000000000000000000,)" + body + R"("e":"{}"})"});
    auto b = node("b");
    listed(b, "p2", sink, "later", "10.0.0.2", 2);
    EXPECT_TRUE(eventually([&] { return lists(*a, "later"); }));
    Json::Value list;
    ASSERT_TRUE(crw::server::parseJson(*a->listBody(), list)) << *a->listBody();
    EXPECT_EQ(list["Searchers"].size(), 2u);
    EXPECT_TRUE(a->available());
}

TEST_F(ClusterTest, StalledNodeClosesTheSocketOfAPlayerTakenOverMeanwhile)
{
    auto a = node("a", std::chrono::milliseconds(1000));
    auto b = node("b", std::chrono::milliseconds(1000));
    auto sink = std::make_shared<Sink>();
    listed(a, "p1", sink, "mine");
    ASSERT_TRUE(eventually([&] { return lists(*b, "mine"); }));

    std::promise<void> resume;
    boost::asio::post(a->client().context(), [f = resume.get_future()] { f.wait(); });
    ASSERT_TRUE(eventually([&] { return !lists(*b, "mine"); })); // swept
    listed(b, "p1", std::make_shared<Sink>(), "stranger", "10.0.0.9", 5);
    resume.set_value();

    EXPECT_TRUE(eventually([&] { return sink->dropped == 1; }));
    EXPECT_TRUE(eventually([&] { return lists(*a, "stranger"); }));
    EXPECT_FALSE(lists(*a, "mine"));
    EXPECT_TRUE(lists(*b, "stranger"));
}

TEST_F(ClusterTest, SecondNodeWithALiveIdIsRefusedAndTouchesNothing)
{
    using Identity = RedisRegistry::Identity;
    auto a = node("a", std::chrono::milliseconds(1000));
    auto sink = std::make_shared<Sink>();
    listed(a, "p1", sink, "held");
    {
        crw::server::RedisRegistryOptions o;
        o.port = redis_.port();
        o.nodeId = "a";
        o.heartbeat = std::chrono::milliseconds(200);
        o.nodeTtl = std::chrono::milliseconds(1000);
        RedisRegistry twin(o, nullptr);
        twin.start();
        EXPECT_EQ(twin.waitIdentity(std::chrono::seconds(5)), Identity::Refused);
        EXPECT_FALSE(twin.available());
        twin.shutdown(); // no goodbye for an id it never held
    }
    auto watcher = node("watcher");
    EXPECT_TRUE(eventually([&] { return lists(*watcher, "held"); }));
    EXPECT_EQ(sink->dropped, 0);

    // A restart after a crash takes the id back once the dead process's liveness lapses.
    a->client().stop();
    auto again = node("a", std::chrono::milliseconds(1000));
    EXPECT_EQ(again->waitIdentity(std::chrono::seconds(5)), Identity::Held);
}

// Clusters sharing one Redis: a password, a database and a key prefix each keep them apart.
TEST_F(ClusterTest, ClustersOnOneRedisAreKeptApartByPasswordDatabaseAndPrefix)
{
    crw::server::RedisClient::Options ao;
    ao.port = redis_.port();
    crw::server::RedisClient admin(ao, {}, {});
    admin.start();
    ASSERT_TRUE(eventually([&] { return admin.connected(); }));
    ASSERT_EQ(admin.call({"CONFIG", "SET", "requirepass", "s3cret"}, kWait)->str, "OK");
    auto cluster = [&](const std::string& prefix, unsigned db) {
        tweak_ = [prefix, db](crw::server::RedisRegistryOptions& o) {
            o.password = "s3cret";
            o.prefix = prefix;
            o.db = db;
        };
    };
    auto sink = std::make_shared<Sink>();
    cluster("one:", 0);
    auto a = node("a");
    auto a2 = node("a2");
    cluster("two:", 0);
    auto b = node("a"); // the same node id in another cluster is no twin
    cluster("one:", 2);
    auto c = node("c");
    listed(a, "p1", sink, "first-cluster");
    listed(b, "p1", sink, "second-cluster", "10.0.0.2"); // the same player id, another address
    EXPECT_TRUE(eventually([&] { return lists(*a2, "first-cluster"); }));
    EXPECT_FALSE(lists(*a2, "second-cluster"));
    EXPECT_FALSE(lists(*b, "first-cluster"));
    EXPECT_EQ(c->listedCount(), 0u);
    EXPECT_EQ(b.deliverInvite("p1", "x").outcome, Registry::Invite::Delivered);
    for (const char* key : {"one:l:p1", "two:l:p1", "crw:l:p1"})
        EXPECT_EQ(admin.call({"EXISTS", key}, kWait)->integer, key[0] == 'c' ? 0 : 1) << key;

    // A wrong password or none: refused with Redis's own words, and nothing is listed.
    for (const std::string password : {"wrong", ""}) {
        crw::server::RedisRegistryOptions o;
        o.port = redis_.port();
        o.nodeId = "x";
        o.password = password;
        RedisRegistry refused(o, nullptr);
        refused.start();
        EXPECT_TRUE(eventually([&] { return !refused.refusal().empty(); })) << password;
        EXPECT_FALSE(refused.available());
    }

    // The process: a wrong password stops it at start; the Redis options need --redis.
    Process wrong(CRW_SERVER_EXE, {"--port", "0", "--redis", redis_.address(), "--redis-password", "wrong"});
    EXPECT_EQ(wrong.waitExit(kWait), 1);
    EXPECT_NE(wrong.output().find("refused the connection: WRONGPASS"), std::string::npos) << wrong.output();
    Process alone(CRW_SERVER_EXE, {"--port", "0", "--redis-db", "1"});
    EXPECT_EQ(alone.waitExit(kWait), 2);
    EXPECT_NE(alone.output().find("--redis-db has no effect without --redis"), std::string::npos) << alone.output();
    Node n(redis_.address(), "n", {"--redis-password", "s3cret", "--redis-prefix", "two:"});
    ASSERT_NE(n.port, 0) << n.process.output();
    EXPECT_TRUE(n.lists("second-cluster"));

    // The round trips so far, as a histogram: cumulative buckets, +Inf equal to the count.
    const std::string metrics = httpRequest(n.metricsPort, "GET", "/metrics").body;
    std::uint64_t last = 0, inf = 0, count = 0;
    std::size_t buckets = 0;
    for (std::size_t at = metrics.find("crw_redis_command_seconds_"); at != std::string::npos;
         at = metrics.find("crw_redis_command_seconds_", at + 1)) {
        const std::string line = metrics.substr(at, metrics.find('\n', at) - at);
        const std::uint64_t v = std::stoull(line.substr(line.rfind(' ') + 1));
        if (line.find("le=\"+Inf\"") != std::string::npos)
            inf = v;
        else if (line.find("_bucket") != std::string::npos) {
            EXPECT_GE(v, last) << line;
            last = v;
            ++buckets;
        } else if (line.find("_count") != std::string::npos)
            count = v;
    }
    EXPECT_EQ(buckets, 12u) << metrics;
    EXPECT_GT(count, 0u);
    EXPECT_EQ(inf, count);
    EXPECT_GE(inf, last);
}

// The pending cap is the cluster's: a flood through one node cannot take every place from newcomers on another.
TEST_F(ClusterTest, AFullPendingCapMakesRoomForANewcomerOnAnyNode)
{
    tweak_ = [](crw::server::RedisRegistryOptions& o) {
        o.limits.maxPending = 12;
        o.limits.maxPendingPerAddress = 4;
        o.limits.maxPendingPerNetwork = 8;
    };
    auto a = node("a");
    auto b = node("b");
    int fromRange = 0;
    for (int host = 1; host <= 4; ++host)
        for (int i = 0; i < 4; ++i)
            fromRange += a.addPending("r" + std::to_string(host) + "-" + std::to_string(i), entry("x"),
                                      "10.1.1." + std::to_string(host)) == Registry::Register::Pending;
    EXPECT_EQ(fromRange, 8);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(b.addPending("s" + std::to_string(i), entry("x"), "10.2.2.1"), Registry::Register::Pending);
    EXPECT_EQ(b.addPending("s9", entry("x"), "10.2.3.1"), Registry::Register::Pending);
    EXPECT_EQ(a.claim("r1-0", 1, {}, "10.1.1.1"), Registry::Claim::NotPending);
    // Neither the busiest network nor an equal one pushes others out.
    EXPECT_EQ(a.addPending("r1-9", entry("x"), "10.1.1.1"), Registry::Register::TooManyPending);
    EXPECT_EQ(b.addPending("s8", entry("x"), "10.2.2.2"), Registry::Register::Pending);
    EXPECT_EQ(b.addPending("s7", entry("x"), "10.2.2.3"), Registry::Register::TooManyPending);
    EXPECT_EQ(b.claim("s9", 2, {}, "10.2.3.1"), Registry::Claim::Listed);
    EXPECT_EQ(a.claim("s0", 3, {}, "10.2.2.1"), Registry::Claim::Listed);
    EXPECT_EQ(a.claim("r2-0", 4, {}, "10.1.1.2"), Registry::Claim::Listed);
}
