// Validation of registration and invite bodies, and the registry's ownership rules.
#include "Registration.h"
#include "LocalRegistry.h"
#include "TestUtil.h"

#include <json/json.h>

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
