// Validation of registration and invite bodies, and the registry's ownership rules.
#include "Registration.h"
#include "LocalRegistry.h"
#include "TestUtil.h"

#include <json/json.h>

#include <fmt/format.h>

#include <atomic>
#include <thread>

using namespace crw::server;
using crw::test::Reg;

TEST(Registration, AcceptsThePluginBodyAndStoresTheListLayout)
{
    Reg reg;
    reg.playlists =
        R"({"Playlist":"Ranked-2v2", "MMR":"1234.9", "Range":"-5"},{"Playlist":"Other", "MMR":"-1", "Range":"0"})";
    reg.regions = R"("Europe","US-East")";
    reg.voice = "false";
    const auto r = validateRegistration(reg.body());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.idString, reg.id);
    EXPECT_FALSE(r.entry.isMember("Type"));
    EXPECT_EQ(r.entry["Creator"]["Name"].asString(), "Tester");
    ASSERT_EQ(r.entry["Playlists"].size(), 2u);
    EXPECT_TRUE(r.entry["Playlists"][0]["MMR"].isString());
    EXPECT_EQ(r.entry["Playlists"][0]["MMR"].asString(), "1234.9");
    EXPECT_EQ(r.entry["Playlists"][0]["Range"].asString(), "-5");
    EXPECT_EQ(r.entry["Regions"][1].asString(), "US-East");
    EXPECT_EQ(r.entry["VoiceChat"].asString(), "false");
}

TEST(Registration, NumbersFromOtherClientsAreKeptAsText)
{
    Reg reg;
    reg.playlists = R"({"Playlist":"Hoops", "MMR":812.5, "Range":40})";
    const auto r = validateRegistration(reg.body());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.entry["Playlists"][0]["MMR"].isString());
    EXPECT_EQ(r.entry["Playlists"][0]["Range"].asString(), "40");
}

TEST(Registration, TitleLimitIs127Bytes)
{
    Reg reg;
    reg.title = std::string(127, 'a');
    EXPECT_TRUE(validateRegistration(reg.body()).ok);
    reg.title = std::string(128, 'a');
    const auto r = validateRegistration(reg.body());
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("Title"), std::string::npos);
    // Multi-byte characters count in bytes.
    reg.title = std::string(63, 'a');
    for (int i = 0; i < 32; ++i)
        reg.title += "\xC3\xA9"; // two bytes each
    EXPECT_EQ(reg.title.size(), 127u);
    EXPECT_TRUE(validateRegistration(reg.body()).ok);
    reg.title += "a";
    EXPECT_FALSE(validateRegistration(reg.body()).ok);
}

TEST(Registration, RejectsBadBodiesWithAReason)
{
    struct Case {
        const char* what;
        std::function<void(Reg&)> change;
        const char* mentions;
    };
    const std::vector<Case> cases = {
        {"empty title", [](Reg& r) { r.title.clear(); }, "Title"},
        {"unknown playlist", [](Reg& r) { r.playlists = R"({"Playlist":"Ranked-1v1", "MMR":"1", "Range":"0"})"; },
         "Ranked-1v1"},
        {"no playlist", [](Reg& r) { r.playlists.clear(); }, "Playlists"},
        {"playlist twice",
         [](Reg& r) {
             r.playlists =
                 R"({"Playlist":"Hoops", "MMR":"1", "Range":"0"},{"Playlist":"Hoops", "MMR":"1", "Range":"0"})";
         },
         "twice"},
        {"MMR not a number", [](Reg& r) { r.playlists = R"({"Playlist":"Hoops", "MMR":"abc", "Range":"0"})"; }, "MMR"},
        {"MMR infinite", [](Reg& r) { r.playlists = R"({"Playlist":"Hoops", "MMR":"inf", "Range":"0"})"; }, "MMR"},
        {"range overflows", [](Reg& r) { r.playlists = R"({"Playlist":"Hoops", "MMR":"1", "Range":"2147483648"})"; },
         "Range"},
        {"range with junk", [](Reg& r) { r.playlists = R"({"Playlist":"Hoops", "MMR":"1", "Range":"12abc"})"; },
         "Range"},
        {"unknown region", [](Reg& r) { r.regions = R"("Mars")"; }, "Mars"},
        {"Any with a region", [](Reg& r) { r.regions = R"("Any","Europe")"; }, "Any"},
        {"no language", [](Reg& r) { r.languages.clear(); }, "Languages"},
        {"language lower case", [](Reg& r) { r.languages = R"("english")"; }, "english"},
        {"voice chat", [](Reg& r) { r.voice = "yes"; }, "VoiceChat"},
        {"voice chat empty", [](Reg& r) { r.voice.clear(); }, "VoiceChat"},
        {"empty id", [](Reg& r) { r.id.clear(); }, "IdString"},
        {"invalid UTF-8 name", [](Reg& r) { r.name = "bad\xC3"; }, "UTF-8"},
        // Escaped control and text-direction characters would garble or disguise the rows after them.
        {"escaped ESC in title", [](Reg& r) { r.title = "red \x1b[31m"; }, "Title"},
        {"tab in title", [](Reg& r) { r.title = "a\tb"; }, "Title"},
        {"right-to-left override in name", [](Reg& r) { r.name = "evil\u202Egnp.exe"; }, "Name"},
        {"isolate in title", [](Reg& r) { r.title = "x\u2067y"; }, "Title"},
        {"C1 control in name", [](Reg& r) { r.name = "a\u0085b"; }, "Name"},
    };
    for (const auto& c : cases) {
        Reg reg;
        c.change(reg);
        const auto r = validateRegistration(reg.body());
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_NE(r.error.find(c.mentions), std::string::npos) << c.what << ": " << r.error;
    }
    for (const char* body : {"", "not json", "[]", "{\"Type\":\"Register\"}", "{\"Type\":\"Other\"}",
                             "{\"Type\":\"Register\", \"Title\": 5}", "{\"Type\":\"Register\"} trailing"}) {
        EXPECT_FALSE(validateRegistration(body).ok) << body;
    }
    // Raw control bytes and DEL inside a string are refused; spacing between tokens is not.
    for (const char* raw : {"\n", "\r", "\t", "\x7f", "\x1b"}) {
        Reg reg;
        reg.title = "a@b";
        std::string body = reg.body();
        body.replace(body.find('@'), 1, raw);
        EXPECT_FALSE(validateRegistration(body).ok) << int(raw[0]);
    }
    std::string spaced = Reg{}.body();
    for (std::size_t at = 0; (at = spaced.find(", \"", at)) != std::string::npos; at += 4)
        spaced.replace(at, 2, ",\r\n\t");
    EXPECT_TRUE(validateRegistration(spaced).ok) << spaced;
    EXPECT_TRUE(validateRegistration([] { Reg r; r.title = "caf\u00e9 \u00ab ok \u00bb \U0001F3C6"; return r.body(); }()).ok);
    // Another "Other" text is the player's own and passes unchecked.
    Reg other;
    other.playlists = R"({"Playlist":"Other", "MMR":"scrims", "Range":"0"})";
    EXPECT_TRUE(validateRegistration(other.body()).ok);
}

TEST(Registration, HostileJsonIsRefusedWithoutCrashing)
{
    EXPECT_FALSE(validateRegistration(std::string(100000, '[')).ok);
    EXPECT_FALSE(validateRegistration(std::string(5000, '{')).ok);
    EXPECT_FALSE(parseInviteRequest(std::string(100000, '[') + std::string(100000, ']')).ok);
    EXPECT_FALSE(validateRegistration(std::string("{\"Type\":\"Register\",\"Title\":\"\\ud800\"}")).ok);
    EXPECT_FALSE(parseInviteRequest("{\"Searcher\":[],\"User\":{}}").ok);
    EXPECT_FALSE(parseInviteRequest("{\"Searcher\":{\"IdString\":1},\"User\":{\"IdString\":\"u\"}}").ok);
}

TEST(InviteFrame, StartsWithTheMarkerAndEscapesValues)
{
    const std::string frame = inviteNotification("Epic|a\"b\\c|0", "Line\nBreak \x01");
    EXPECT_EQ(frame.substr(0, 28), R"({"type":"InviteNotification")");
    Json::Value root;
    ASSERT_TRUE(parseJson(frame, root)) << frame;
    EXPECT_EQ(root["IdString"].asString(), "Epic|a\"b\\c|0");
    EXPECT_EQ(root["Name"].asString(), "Line\nBreak \x01");
    EXPECT_EQ(frame.find('\n'), std::string::npos);
}

RegistryLimits limits(std::chrono::milliseconds pendingTimeout = std::chrono::milliseconds(30000))
{
    RegistryLimits l;
    l.pendingTimeout = pendingTimeout;
    return l;
}

Json::Value entryTitled(const std::string& title)
{
    Json::Value entry(Json::objectValue);
    entry["Title"] = title;
    entry["Creator"]["Name"] = "A";
    return entry;
}

Json::Value listOf(LocalRegistry& registry)
{
    Json::Value root;
    EXPECT_TRUE(parseJson(*registry.listBody(), root));
    return root["Searchers"];
}

TEST(Registry, StaleSocketCannotRemoveANewerListing)
{
    LocalRegistry registry(limits());
    registry.addPending("id", entryTitled("a"), "127.0.0.1");
    ASSERT_EQ(registry.claim("id", 1, {}, "127.0.0.1"), Registry::Claim::Listed);
    registry.addPending("id", entryTitled("a"), "127.0.0.1");
    ASSERT_EQ(registry.claim("id", 2, {}, "127.0.0.1"), Registry::Claim::Listed);
    registry.release("id", 1);
    EXPECT_EQ(registry.listedCount(), 1u);
    registry.release("id", 2);
    EXPECT_EQ(registry.listedCount(), 0u);
    // A claim without a pending registration fails, even for a known id.
    EXPECT_EQ(registry.claim("id", 3, {}, "127.0.0.1"), Registry::Claim::NotPending);
}

TEST(Registry, UpdateKeepsThePlaceAndChecksTheAddress)
{
    LocalRegistry registry(limits());
    for (const char* id : {"a", "b", "c"}) {
        registry.addPending(id, entryTitled(id), "10.0.0.1");
        ASSERT_EQ(registry.claim(id, 1, {}, "10.0.0.1"), Registry::Claim::Listed);
    }
    const auto before = registry.listBody();
    EXPECT_EQ(registry.listBody(), before); // shared until something changes
    EXPECT_EQ(registry.update("b", entryTitled("b2"), "10.0.0.2"), Registry::Update::WrongAddress);
    EXPECT_EQ(registry.update("zz", entryTitled("b2"), "10.0.0.1"), Registry::Update::NotListed);
    EXPECT_EQ(registry.update("b", entryTitled("b2"), "10.0.0.1"), Registry::Update::Updated);
    const Json::Value list = listOf(registry);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["Title"].asString(), "a");
    EXPECT_EQ(list[1]["Title"].asString(), "b2");
    EXPECT_EQ(list[2]["Title"].asString(), "c");
    EXPECT_NE(*before, *registry.listBody());
}

TEST(Registry, ExpiredPendingCannotBeClaimed)
{
    LocalRegistry registry(limits(std::chrono::milliseconds(20)));
    registry.addPending("late", entryTitled("x"), "127.0.0.1");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(registry.claim("late", 1, {}, "127.0.0.1"), Registry::Claim::NotPending);
    registry.addPending("gone", entryTitled("x"), "127.0.0.1");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(registry.dropExpiredPending(), 1u);
    EXPECT_EQ(registry.pendingCount(), 0u);
}

TEST(Registry, ARegistrationBelongsToItsAddress)
{
    LocalRegistry registry(limits());
    ASSERT_EQ(registry.addPending("victim", entryTitled("mine"), "10.0.0.1"), Registry::Register::Pending);
    // Pending: neither re-registered nor claimed from elsewhere.
    EXPECT_EQ(registry.addPending("victim", entryTitled("poison"), "10.0.0.2"), Registry::Register::TakenElsewhere);
    EXPECT_EQ(registry.claim("victim", 7, {}, "10.0.0.2"), Registry::Claim::TakenElsewhere);
    ASSERT_EQ(registry.claim("victim", 1, {}, "10.0.0.1"), Registry::Claim::Listed);
    // Listed: the same.
    EXPECT_EQ(registry.addPending("victim", entryTitled("poison"), "10.0.0.2"), Registry::Register::TakenElsewhere);
    EXPECT_EQ(listOf(registry)[0]["Title"].asString(), "mine");
    EXPECT_EQ(registry.pendingCount(), 0u);
    // Demo entries belong to nobody.
    registry.addDemo("demo", entryTitled("d"));
    EXPECT_EQ(registry.addPending("demo", entryTitled("x"), "10.0.0.1"), Registry::Register::TakenElsewhere);
    EXPECT_EQ(registry.deliverInvite("demo", "{}").outcome, Registry::Invite::Delivered);
    EXPECT_EQ(registry.deliverInvite("nobody", "{}").outcome, Registry::Invite::NotListed);
}

TEST(Registry, PendingIsCappedPerAddressAndInAll)
{
    RegistryLimits l = limits();
    l.maxPending = 5;
    l.maxPendingPerAddress = 3;
    LocalRegistry registry(l);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(registry.addPending("a" + std::to_string(i), entryTitled("x"), "10.0.0.1"),
                  Registry::Register::Pending);
    EXPECT_EQ(registry.addPending("a3", entryTitled("x"), "10.0.0.1"), Registry::Register::TooManyPending);
    // Replacing one's own pending registration is no new one.
    EXPECT_EQ(registry.addPending("a0", entryTitled("y"), "10.0.0.1"), Registry::Register::Pending);
    EXPECT_EQ(registry.addPending("b0", entryTitled("x"), "10.0.0.2"), Registry::Register::Pending);
    EXPECT_EQ(registry.addPending("b1", entryTitled("x"), "10.0.0.2"), Registry::Register::Pending);
    EXPECT_EQ(registry.addPending("c0", entryTitled("x"), "10.0.0.3"), Registry::Register::TooManyPending);
    // A claim frees the place.
    ASSERT_EQ(registry.claim("a0", 1, {}, "10.0.0.1"), Registry::Claim::Listed);
    EXPECT_EQ(registry.addPending("c0", entryTitled("x"), "10.0.0.3"), Registry::Register::Pending);
    EXPECT_EQ(registry.addPending("a4", entryTitled("x"), "10.0.0.1"), Registry::Register::TooManyPending);
}

TEST(Registry, PendingCountsPerNetworkAndAFullListMakesRoomForNewcomers)
{
    RegistryLimits l = limits();
    l.maxPending = 12;
    l.maxPendingPerAddress = 4;
    l.maxPendingPerNetwork = 8;
    LocalRegistry registry(l);
    auto add = [&](const std::string& id, const std::string& address) {
        return registry.addPending(id, entryTitled("x"), address);
    };
    // One /24 holds two addresses' worth, however many addresses it uses.
    int fromRange = 0;
    for (int host = 1; host <= 4; ++host)
        for (int i = 0; i < 4; ++i)
            fromRange += add("r" + std::to_string(host) + "-" + std::to_string(i), "10.1.1." + std::to_string(host)) ==
                         Registry::Register::Pending;
    EXPECT_EQ(fromRange, 8);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(add("s" + std::to_string(i), "10.2.2.1"), Registry::Register::Pending);
    ASSERT_EQ(registry.pendingCount(), 12u);
    // Full: a newcomer takes the place of the busiest network's oldest, which can no longer be claimed.
    EXPECT_EQ(add("new", "10.3.3.1"), Registry::Register::Pending);
    EXPECT_EQ(registry.pendingCount(), 12u);
    EXPECT_EQ(registry.claim("r1-0", 1, {}, "10.1.1.1"), Registry::Claim::NotPending);
    // The busiest network cannot push out the others to make room for itself.
    EXPECT_EQ(add("r1-9", "10.1.1.1"), Registry::Register::TooManyPending);
    EXPECT_EQ(registry.claim("new", 2, {}, "10.3.3.1"), Registry::Claim::Listed);
    EXPECT_EQ(registry.claim("s0", 3, {}, "10.2.2.1"), Registry::Claim::Listed);
}

namespace {
struct CountingSink : FrameSink {
    std::atomic<int> frames{0};
    bool trySend(std::string) override { return ++frames, true; }
};
} // namespace

TEST(Registry, AFloodFromSeveralNetworksCannotStarveAFriendsInvites)
{
    // Ten times the usual rate, so that ten rounds take a second: the friend asks once a round.
    RegistryLimits l = limits();
    l.invitesPerTargetPerSecond = 50;
    LocalRegistry registry(l);
    auto sink = std::make_shared<CountingSink>();
    registry.addPending("target", entryTitled("t"), "10.0.0.1");
    ASSERT_EQ(registry.claim("target", 1, sink, "10.0.0.1"), Registry::Claim::Listed);
    int friendDelivered = 0, floodDelivered = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 30; ++i)
            floodDelivered += registry.deliverInvite("target", "{}", fmt::format("10.{}.0.1", 1 + i % 3)).outcome ==
                              Registry::Invite::Delivered;
        friendDelivered += registry.deliverInvite("target", "{}", "10.9.0.1").outcome == Registry::Invite::Delivered;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(friendDelivered, 9);
    // The flood still gets no more than the target's rate and bursts.
    EXPECT_LE(floodDelivered, 50 * seconds + 2 * 20);
}
