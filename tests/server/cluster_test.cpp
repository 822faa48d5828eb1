// Nodes of a cluster sharing one private redis-server: registries side by side in this process, then two crw-server
// processes end to end.
#include "process_util.hpp"
#include "redis_registry.hpp"
#include "test_util.hpp"

#include <json/json.h>

using namespace crw::test;
using crw::server::RedisRegistry;
using Result = RedisRegistry::Result;

namespace {

struct Sink : crw::server::FrameSink {
    void sendText(std::string text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(std::move(text));
    }
    std::size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
    std::mutex mutex;
    std::vector<std::string> frames;
};

Json::Value entry(const std::string& title)
{
    Json::Value e;
    e["Title"] = title;
    e["Creator"]["Name"] = "Player " + title;
    return e;
}

class ClusterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(redis_.start()); }

    std::unique_ptr<RedisRegistry> node(const std::string& name,
                                        std::chrono::milliseconds ttl = std::chrono::seconds(5))
    {
        crw::server::RedisRegistryOptions o;
        o.port = redis_.port();
        o.nodeId = name;
        o.heartbeat = ttl / 5;
        o.nodeTtl = ttl;
        o.invitesPerTarget = 3;
        auto r = std::make_unique<RedisRegistry>(o, nullptr);
        r->start();
        EXPECT_TRUE(eventually([&] { return r->available(); }));
        return r;
    }
    static bool lists(RedisRegistry& r, const std::string& text) { return r.list()->find(text) != std::string::npos; }

    RedisServer redis_;
};

} // namespace

TEST_F(ClusterTest, RegistrationsCrossNodesUnderTheAddressRule)
{
    auto a = node("a");
    auto b = node("b");
    auto sink = std::make_shared<Sink>();

    EXPECT_EQ(a->addPending("p1", entry("one"), "10.0.0.1"), Result::Ok);
    EXPECT_EQ(b->addPending("p1", entry("poison"), "10.0.0.2"), Result::Conflict);
    EXPECT_EQ(b->claim("p1", 7, sink, "10.0.0.2"), Result::Conflict);
    EXPECT_EQ(b->claim("nobody", 8, sink, "10.0.0.1"), Result::NotPending);
    ASSERT_EQ(b->claim("p1", 7, sink, "10.0.0.1"), Result::Ok);
    EXPECT_TRUE(lists(*b, "\"one\"")); // the claiming node sees it before it answers
    EXPECT_TRUE(eventually([&] { return lists(*a, "\"one\""); }, std::chrono::milliseconds(100)));
    EXPECT_EQ(b->addPending("p1", entry("poison"), "10.0.0.2"), Result::Conflict);

    EXPECT_EQ(a->update("p1", entry("poison"), "10.0.0.2"), Result::WrongAddress);
    EXPECT_EQ(a->update("p2", entry("two"), "10.0.0.1"), Result::NotListed);
    EXPECT_EQ(a->update("p1", entry("uno"), "10.0.0.1"), Result::Ok);
    EXPECT_TRUE(lists(*a, "\"uno\""));
    EXPECT_TRUE(eventually([&] { return lists(*b, "\"uno\"") && !lists(*b, "\"one\""); }));

    // From the other node to the socket, then the per-target limit of the whole cluster.
    auto invited = a->invite("p1", "10.0.0.3", "frame-1");
    EXPECT_EQ(invited.result, Result::Ok);
    EXPECT_EQ(invited.name, "Player uno");
    EXPECT_TRUE(eventually([&] { return sink->count() == 1; }));
    EXPECT_EQ(b->invite("p1", "10.0.0.4", "frame-2").result, Result::Ok);
    EXPECT_EQ(a->invite("p1", "10.0.0.5", "frame-3").result, Result::Ok);
    EXPECT_EQ(b->invite("p1", "10.0.0.6", "frame-4").result, Result::Limited);
    EXPECT_TRUE(eventually([&] { return sink->count() == 3; }));
    EXPECT_EQ(sink->frames[0], "frame-1");

    b->release("p1", 99); // not the socket that holds it
    b->release("p1", 7);
    EXPECT_FALSE(lists(*b, "p1"));
    EXPECT_TRUE(eventually([&] { return !lists(*a, "\"uno\""); }));
    EXPECT_EQ(a->invite("p1", "10.0.0.3", "x").result, Result::NotListed);
}

TEST_F(ClusterTest, ListKeepsRegistrationOrderAcrossNodes)
{
    auto a = node("a");
    auto b = node("b");
    auto sink = std::make_shared<Sink>();
    const std::vector<std::pair<RedisRegistry*, std::string>> order = {
        {a.get(), "first"}, {b.get(), "second"}, {a.get(), "third"}};
    std::uint64_t socket = 1;
    for (const auto& [n, title] : order) {
        ASSERT_EQ(n->addPending(title, entry(title), "10.0.0.1"), Result::Ok);
        ASSERT_EQ(n->claim(title, socket++, sink, "10.0.0.1"), Result::Ok);
    }
    for (auto* n : {a.get(), b.get()}) {
        EXPECT_TRUE(eventually([&] { return n->listedCount() == 3; }));
        const std::string list = *n->list();
        EXPECT_LT(list.find("first"), list.find("second"));
        EXPECT_LT(list.find("second"), list.find("third"));
    }
    // A node that starts late reads everything at once.
    auto c = node("c");
    EXPECT_TRUE(eventually([&] { return *c->list() == *a->list(); }));
}

TEST_F(ClusterTest, DeadNodeIsSweptAndRedisRestartLosesNobody)
{
    auto a = node("a", std::chrono::milliseconds(1000));
    auto b = node("b", std::chrono::milliseconds(1000));
    auto sink = std::make_shared<Sink>();
    for (auto* n : {a.get(), b.get()}) {
        const std::string id = "held-by-" + n->nodeId();
        ASSERT_EQ(n->addPending(id, entry(id), "10.0.0.1"), Result::Ok);
        ASSERT_EQ(n->claim(id, 1, sink, "10.0.0.1"), Result::Ok);
    }
    EXPECT_TRUE(eventually([&] { return a->listedCount() == 2 && b->listedCount() == 2; }));

    // Redis goes: what needs it is refused, what each node holds stays.
    redis_.stop();
    EXPECT_TRUE(eventually([&] { return !a->available(); }));
    EXPECT_EQ(a->addPending("late", entry("late"), "10.0.0.1"), Result::Unavailable);
    EXPECT_EQ(a->invite("held-by-b", "10.0.0.3", "x").result, Result::Unavailable);
    EXPECT_EQ(a->listedCount(), 2u);

    // Redis comes back empty: each node puts its own players back.
    ASSERT_TRUE(redis_.start());
    auto fresh = node("watcher", std::chrono::milliseconds(1000));
    EXPECT_TRUE(eventually([&] { return fresh->listedCount() == 2; }, std::chrono::seconds(10)));

    // b dies without a word: the survivors sweep its listing once its liveness runs out.
    b->stop();
    EXPECT_TRUE(
        eventually([&] { return !lists(*a, "held-by-b") && !lists(*fresh, "held-by-b"); }, std::chrono::seconds(5)));
    EXPECT_TRUE(lists(*fresh, "held-by-a"));
}
