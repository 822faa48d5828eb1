// Registration over the socket, listing, invites and the ways a listing ends.
#include "TestUtil.h"

#include <json/json.h>

#include <thread>

using namespace crw::test;

namespace {

const std::string kBadMessage = "Websocket Server: | Error: bad message, message is not a good json !";

Json::Value searchers(unsigned short port)
{
    Json::Value root;
    Json::Reader reader;
    reader.parse(httpRequest(port, "GET", "/list").body, root);
    return root["Searchers"];
}

std::string inviteBody(const std::string& searcherId, const std::string& userName, const std::string& userId)
{
    return R"({"Searcher":{"Name":"Someone", "IdString":")" + jsonEscape(searcherId) + R"("}, "User":{"Name":")" +
           jsonEscape(userName) + R"(","IdString":")" + jsonEscape(userId) + R"("}})";
}

class Ws : public ServerTest {
protected:
    void SetUp() override { startServer(); }
};

} // namespace

TEST_F(Ws, RegisteredPlayerIsListedWhileTheSocketIsOpen)
{
    Reg reg;
    reg.title = "Say \"hi\", \\o/ please";
    reg.playlists =
        R"({"Playlist":"Ranked-3v3", "MMR":"1200.5", "Range":"50"},{"Playlist":"Other", "MMR":"-1", "Range":"0"})";
    auto ws = registerAndConnect(reg);

    const Json::Value list = searchers(port_);
    ASSERT_EQ(list.size(), 1u);
    const Json::Value& e = list[0];
    EXPECT_FALSE(e.isMember("Type"));
    EXPECT_EQ(e["Title"].asString(), reg.title);
    EXPECT_EQ(e["Creator"]["Name"].asString(), reg.name);
    EXPECT_EQ(e["Creator"]["IdString"].asString(), reg.id);
    ASSERT_EQ(e["Playlists"].size(), 2u);
    EXPECT_TRUE(e["Playlists"][0]["MMR"].isString());
    EXPECT_TRUE(e["Playlists"][0]["Range"].isString());
    EXPECT_EQ(e["Playlists"][0]["MMR"].asString(), "1200.5");
    EXPECT_EQ(e["Playlists"][0]["Range"].asString(), "50");
    EXPECT_EQ(e["Regions"][0].asString(), "Europe");
    EXPECT_EQ(e["Languages"][0].asString(), "Any");
    EXPECT_EQ(e["VoiceChat"].asString(), "any");
    EXPECT_EQ(server_->pendingCount(), 0u);

    ASSERT_TRUE(ws->close(websocket::close_code::normal, "Manage Registration : Client unregistered"));
    EXPECT_TRUE(eventually([&] { return searchers(port_).empty(); }));
}

TEST_F(Ws, AnyCloseCodeOrADropEndsTheListing)
{
    Reg a, b;
    a.id = "Epic|a|0";
    b.id = "Epic|b|0";
    auto wsA = registerAndConnect(a);
    auto wsB = registerAndConnect(b);
    ASSERT_EQ(searchers(port_).size(), 2u);
    EXPECT_EQ(searchers(port_)[0]["Creator"]["IdString"].asString(), "Epic|a|0"); // listing order

    ASSERT_TRUE(wsA->close(websocket::close_code::going_away));
    EXPECT_TRUE(eventually([&] { return server_->listedCount() == 1; }));
    wsB->drop();
    EXPECT_TRUE(eventually([&] { return server_->listedCount() == 0; }));
}

TEST_F(Ws, FrameThatIsNotJsonGetsTheBadMessageText)
{
    Reg reg;
    ASSERT_EQ(httpRequest(port_, "POST", "/register", reg.body()).status, 200);
    WsClient ws;
    ASSERT_TRUE(ws.connect(port_));
    for (const std::string junk : {"hello", "{\"Type\":", ""}) {
        ASSERT_TRUE(ws.send(junk));
        auto reply = ws.read();
        ASSERT_TRUE(reply) << ws.lastError().message();
        EXPECT_EQ(*reply, kBadMessage);
    }
    // The connection stays usable: the real registration still gets through.
    ASSERT_TRUE(ws.send(reg.body()));
    EXPECT_TRUE(eventually([&] { return server_->listedCount() == 1; }));
}

TEST_F(Ws, UnknownOrUselessRegistrationsAreClosedWith1008)
{
    const std::vector<std::string> frames = {
        Reg{}.body(),           // nothing pending under this id
        R"({"Title":"no id"})", // JSON without an IdString
        R"([1,2,3])",           // JSON, but not a registration
    };
    for (const auto& frame : frames) {
        WsClient ws;
        ASSERT_TRUE(ws.connect(port_));
        ASSERT_TRUE(ws.send(frame));
        EXPECT_FALSE(ws.read());
        EXPECT_EQ(ws.lastError(), websocket::error::closed) << frame;
        EXPECT_EQ(ws.closeCode(), 1008) << frame;
        EXPECT_FALSE(ws.closeReason().empty());
    }
    EXPECT_EQ(server_->listedCount(), 0u);
}

TEST_F(Ws, OversizedFrameClosesOnlyThatSocket)
{
    Reg reg;
    auto holder = registerAndConnect(reg);
    WsClient ws;
    ASSERT_TRUE(ws.connect(port_));
    ws.send(std::string(80 * 1024, '{'));
    EXPECT_FALSE(ws.read());
    EXPECT_EQ(server_->listedCount(), 1u);
    EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI").status, 200);
}

TEST_F(Ws, InviteReachesTheSearchersSocketAsTheExactFrame)
{
    Reg reg;
    auto ws = registerAndConnect(reg);
    const std::string userName = "Ann \"Quick\" O'Neil\\";
    auto res = httpRequest(port_, "POST", "/RequestInvite", inviteBody(reg.id, userName, "Steam|42|0"));
    EXPECT_EQ(res.status, 200);
    EXPECT_NE(res.body.find(reg.name), std::string::npos) << res.body;

    auto frame = ws->read();
    ASSERT_TRUE(frame) << ws->lastError().message();
    EXPECT_EQ(*frame, R"({"type":"InviteNotification","IdString":"Steam|42|0","Name":"Ann \"Quick\" O'Neil\\"})");

    // After the searcher leaves, the same request is a 402.
    ASSERT_TRUE(ws->close(websocket::close_code::normal));
    ASSERT_TRUE(eventually([&] { return server_->listedCount() == 0; }));
    EXPECT_EQ(httpRequest(port_, "POST", "/RequestInvite", inviteBody(reg.id, userName, "Steam|42|0")).status, 402);
}

TEST_F(Ws, UpdateFromTheHoldingAddressReplacesTheEntryInPlace)
{
    Reg first, second;
    second.id = "Steam|2|0";
    auto ws1 = registerAndConnect(first);
    auto ws2 = registerAndConnect(second);
    Reg changed = first;
    changed.title = "New title";
    changed.voice = "true";
    changed.playlists = R"({"Playlist":"Hoops", "MMR":"700.0", "Range":"0"})";
    auto res = httpRequest(port_, "POST", "/UpdateRegistration", changed.body());
    EXPECT_EQ(res.status, 200) << res.body;
    const Json::Value list = searchers(port_);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["Title"].asString(), "New title");
    EXPECT_EQ(list[0]["VoiceChat"].asString(), "true");
    EXPECT_EQ(list[0]["Playlists"][0]["Playlist"].asString(), "Hoops");
    EXPECT_EQ(list[1]["Creator"]["IdString"].asString(), "Steam|2|0");
    // The update does not need the socket again and leaves it holding the listing.
    ASSERT_TRUE(ws1->close(websocket::close_code::normal));
    EXPECT_TRUE(eventually([&] { return server_->listedCount() == 1; }));
}

TEST_F(Ws, ANewSocketTakesOverAndTheOldOneCannotRemoveIt)
{
    Reg reg;
    auto old = registerAndConnect(reg);
    reg.title = "Second try";
    auto fresh = registerAndConnect(reg);
    // The id was listed already: wait for the new socket's claim to replace the entry.
    EXPECT_TRUE(eventually([&] { return searchers(port_)[0]["Title"].asString() == "Second try"; }));
    ASSERT_EQ(searchers(port_).size(), 1u);
    ASSERT_TRUE(old->close(websocket::close_code::normal));
    // Give the server the close, then check the fresh listing survived it.
    WsClient probe;
    ASSERT_TRUE(probe.connect(port_));
    EXPECT_EQ(server_->listedCount(), 1u);
    auto res = httpRequest(port_, "POST", "/RequestInvite", inviteBody(reg.id, "U", "Steam|9|0"));
    EXPECT_EQ(res.status, 200);
    auto frame = fresh->read();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->rfind(R"({"type":"InviteNotification","IdString":"Steam|9|0")", 0), 0u);
}

TEST_F(ServerTest, PendingRegistrationWithoutSocketIsDropped)
{
    crw::server::ServerOptions options;
    options.pendingTimeout = std::chrono::milliseconds(150);
    startServer(options);
    Reg reg;
    ASSERT_EQ(httpRequest(port_, "POST", "/register", reg.body()).status, 200);
    EXPECT_EQ(server_->pendingCount(), 1u);
    EXPECT_TRUE(eventually([&] { return server_->pendingCount() == 0; }, std::chrono::milliseconds(3000)));
    WsClient ws;
    ASSERT_TRUE(ws.connect(port_));
    ASSERT_TRUE(ws.send(reg.body()));
    EXPECT_FALSE(ws.read());
    EXPECT_EQ(ws.closeCode(), 1008);
    EXPECT_EQ(server_->listedCount(), 0u);
}

TEST_F(ServerTest, StopClosesEverySocketWith1001AndCanStartAgain)
{
    crw::server::ServerOptions options;
    options.demoSearchers = 2;
    startServer(options);
    Reg reg;
    auto listed = registerAndConnect(reg);
    WsClient idle;
    ASSERT_TRUE(idle.connect(port_));
    // Clients answer the close while stop() waits for them.
    std::thread stopper([&] { server_->stop(); });
    EXPECT_FALSE(listed->read());
    EXPECT_EQ(listed->closeCode(), 1001);
    EXPECT_FALSE(idle.read());
    EXPECT_EQ(idle.closeCode(), 1001);
    stopper.join();
    EXPECT_FALSE(server_->running());
    EXPECT_EQ(server_->listedCount(), 0u);

    port_ = server_->start("127.0.0.1", 0);
    EXPECT_EQ(listSize(), 2u); // a fresh list with only the demo searchers
    server_->stop();
    server_->stop(); // twice is harmless
}

TEST(ServerStart, BadAddressesAreReported)
{
    crw::server::Server server;
    EXPECT_THROW(server.start("not-an-address", 0), std::runtime_error);
    EXPECT_THROW(server.start("192.0.2.1", 0), std::runtime_error); // not ours to bind
    const unsigned short port = server.start("127.0.0.1", 0);
    crw::server::Server second;
    EXPECT_THROW(second.start("127.0.0.1", port), std::runtime_error);
    EXPECT_THROW(server.start("127.0.0.1", 0), std::runtime_error);
}
