// The HTTP side of the server, over real connections.
#include "Registration.h"
#include "TestUtil.h"

#include <regex>

#include <json/json.h>

using namespace crw::test;

namespace {

Json::Value parse(const std::string& text)
{
    Json::Value root;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, root)) << text;
    return root;
}

class Http : public ServerTest {
protected:
    void SetUp() override { startServer(); }
};

} // namespace

TEST_F(Http, CheckApiAnswersAnyMethodAndUnknownPathsGet404)
{
    for (const char* method : {"GET", "POST", "PUT", "DELETE"}) {
        auto res = httpRequest(port_, method, "/CheckAPI");
        EXPECT_EQ(res.status, 200) << method;
        EXPECT_FALSE(res.body.empty());
    }
    EXPECT_EQ(httpRequest(port_, "GET", "/checkapi").status, 404);
    EXPECT_EQ(httpRequest(port_, "GET", "/nothing/here").status, 404);
    EXPECT_EQ(httpRequest(port_, "GET", "/list?since=0").status, 200);

    // The log is written by its own thread: UTC time, node, client address, request, status, latency.
    for (const char* request : {"PUT /CheckAPI 200", "GET /nothing/here 404"}) {
        const std::regex line(std::string(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z - 127\.0\.0\.1 )") + request +
                              R"( \d+\.\d{3}ms)");
        EXPECT_TRUE(eventually([&] {
            const auto lines = logLines();
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, line); });
        })) << request;
    }
}

TEST_F(Http, EmptyListAndKeepAlive)
{
    // Two requests and a third on one connection.
    const std::string req = "GET /list HTTP/1.1\r\nHost: x\r\n\r\nGET /CheckAPI HTTP/1.1\r\nHost: x\r\n\r\n"
                            "GET /list HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string out = rawExchange(port_, req);
    std::size_t count = 0;
    for (std::size_t pos = 0; (pos = out.find("HTTP/1.1 200", pos)) != std::string::npos; ++pos)
        ++count;
    EXPECT_EQ(count, 3u) << out;
    EXPECT_NE(out.find(R"({"Searchers":[]})"), std::string::npos) << out;
}

TEST_F(Http, RegisterValidatesTheBody)
{
    Reg good;
    EXPECT_EQ(httpRequest(port_, "POST", "/register", good.body()).status, 200);
    EXPECT_EQ(server_->pendingCount(), 1u);
    EXPECT_EQ(server_->listedCount(), 0u); // listed only once the socket comes

    Reg longTitle;
    longTitle.title = std::string(128, 't');
    auto res = httpRequest(port_, "POST", "/register", longTitle.body());
    EXPECT_EQ(res.status, 400);
    EXPECT_NE(res.body.find("Title"), std::string::npos) << res.body;

    Reg badPlaylist;
    badPlaylist.playlists = R"({"Playlist":"Heatseeker", "MMR":"1", "Range":"0"})";
    res = httpRequest(port_, "POST", "/register", badPlaylist.body());
    EXPECT_EQ(res.status, 400);
    EXPECT_NE(res.body.find("Heatseeker"), std::string::npos) << res.body;

    Reg badVoice;
    badVoice.voice = "maybe";
    res = httpRequest(port_, "POST", "/register", badVoice.body());
    EXPECT_EQ(res.status, 400);
    EXPECT_NE(res.body.find("VoiceChat"), std::string::npos) << res.body;

    EXPECT_EQ(httpRequest(port_, "POST", "/register", R"({"Title":"no type"})").status, 400);
    EXPECT_EQ(httpRequest(port_, "GET", "/register").status, 400);
    EXPECT_EQ(httpRequest(port_, "POST", "/register", "\x01\x02garbage").status, 400);
    EXPECT_EQ(server_->pendingCount(), 1u);
}

TEST_F(Http, OversizedBodyGets413AndTheServerCarriesOn)
{
    Reg reg;
    reg.title = std::string(70 * 1024, 'x');
    auto res = httpRequest(port_, "POST", "/register", reg.body());
    EXPECT_EQ(res.status, 413);
    // Chunked bodies are counted too.
    std::string chunked = "POST /register HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 20; ++i)
        chunked += "1000\r\n" + std::string(0x1000, 'y') + "\r\n";
    chunked += "0\r\n\r\n";
    EXPECT_EQ(rawExchange(port_, chunked).rfind("HTTP/1.1 413", 0), 0u);
    EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI").status, 200);
}

TEST_F(Http, MalformedRequestsDoNotHurt)
{
    EXPECT_EQ(rawExchange(port_, "NOT HTTP AT ALL\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
    EXPECT_EQ(rawExchange(port_, "GET / HTTP/1.1\r\nContent-Length: -5\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
    EXPECT_EQ(
        rawExchange(port_, "GET /list HTTP/1.1\r\nX: " + std::string(20000, 'h') + "\r\n\r\n").rfind("HTTP/1.1 400", 0),
        0u);
    rawExchange(port_, std::string("\0\xff\r\n\r\n", 6));
    // A WebSocket upgrade elsewhere than the root is not served.
    WsClient elsewhere;
    EXPECT_FALSE(elsewhere.connect(port_, "/list"));
    EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI").status, 200);
}

TEST_F(Http, InviteToUnknownSearcherIs402AndBadInviteIs400)
{
    auto res = httpRequest(
        port_, "POST", "/RequestInvite",
        R"({"Searcher":{"Name":"Ghost", "IdString":"Steam|1|0"}, "User":{"Name":"Me","IdString":"Steam|2|0"}})");
    EXPECT_EQ(res.status, 402);
    EXPECT_NE(res.body.find("Ghost"), std::string::npos) << res.body;
    EXPECT_EQ(httpRequest(port_, "POST", "/RequestInvite", R"({"Searcher":"Ghost"})").status, 400);
    EXPECT_EQ(httpRequest(port_, "POST", "/RequestInvite", "").status, 400);
}

TEST_F(Http, UpdateOfAnUnlistedPlayerIsRefused)
{
    Reg reg;
    auto res = httpRequest(port_, "POST", "/UpdateRegistration", reg.body());
    EXPECT_GE(res.status, 400);
    EXPECT_LT(res.status, 500);
    // Pending is not listed either.
    EXPECT_EQ(httpRequest(port_, "POST", "/register", reg.body()).status, 200);
    res = httpRequest(port_, "POST", "/UpdateRegistration", reg.body());
    EXPECT_GE(res.status, 400);
    EXPECT_LT(res.status, 500);
    reg.voice = "loud";
    EXPECT_EQ(httpRequest(port_, "POST", "/UpdateRegistration", reg.body()).status, 400);
}

TEST_F(ServerTest, DemoSearchersAreValidAndAcceptInvites)
{
    crw::server::ServerOptions options;
    options.demoSearchers = 25;
    startServer(options);
    const Json::Value list = parse(httpRequest(port_, "GET", "/list").body)["Searchers"];
    ASSERT_EQ(list.size(), 25u);
    std::set<std::string> ids, voices, playlists;
    for (const auto& entry : list) {
        // Each entry must read back as a registration the server itself would accept.
        Json::Value asRegistration = entry;
        asRegistration["Type"] = "Register";
        const auto check = crw::server::validateRegistration(Json::FastWriter().write(asRegistration));
        EXPECT_TRUE(check.ok) << check.error << "\n" << entry.toStyledString();
        ids.insert(entry["Creator"]["IdString"].asString());
        voices.insert(entry["VoiceChat"].asString());
        for (const auto& p : entry["Playlists"])
            playlists.insert(p["Playlist"].asString());
    }
    EXPECT_EQ(ids.size(), 25u);
    EXPECT_EQ(voices.size(), 3u);
    EXPECT_EQ(playlists.size(), 10u);

    const std::string body = R"({"Searcher":{"Name":"x", "IdString":")" + list[3]["Creator"]["IdString"].asString() +
                             R"("}, "User":{"Name":"Me","IdString":"Steam|2|0"}})";
    auto res = httpRequest(port_, "POST", "/RequestInvite", body);
    EXPECT_EQ(res.status, 200);
    EXPECT_NE(res.body.find(list[3]["Creator"]["Name"].asString()), std::string::npos);
    // Demo entries belong to nobody.
    Json::Value update = list[3];
    update["Type"] = "Register";
    EXPECT_EQ(httpRequest(port_, "POST", "/UpdateRegistration", Json::FastWriter().write(update)).status, 403);
}

TEST_F(ServerTest, SlowHeadersTimeOutAndConnectionsAreCapped)
{
    crw::server::ServerOptions options;
    options.headerTimeout = std::chrono::milliseconds(200);
    startServer(options);

    const auto started = std::chrono::steady_clock::now();
    const std::string out = rawExchange(port_, "GET /list HTTP/1.1\r\nHost:");
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));

    server_->stop();
    crw::server::ServerOptions capped;
    capped.maxConnections = 2;
    startServer(capped);
    // Two idle connections fill the server; a third is closed at once without an answer.
    net::io_context ioc;
    tcp::socket a(ioc), b(ioc);
    a.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port_));
    b.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port_));
    ASSERT_TRUE(eventually([&] {
        return rawExchange(port_, "GET /CheckAPI HTTP/1.1\r\nHost: x\r\n\r\n", std::chrono::milliseconds(150)).empty();
    }));
    a.close();
    b.close();
    EXPECT_TRUE(eventually([&] { return httpRequest(port_, "GET", "/CheckAPI").status == 200; }));
}
