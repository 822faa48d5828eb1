// Clients behind a load balancer: the PROXY header, a node trusting a balancer, a real HAProxy before two nodes.
#include "ProcessUtil.h"
#include "Network.h"
#include "ProxyProtocol.h"
#include "TestUtil.h"

#include <fstream>
#include <map>
#include <thread>

using namespace crw::test;
using crw::server::networkOf;
using crw::server::ProxyHeaderParser;

namespace {

std::string v1(const std::string& client) { return "PROXY TCP4 " + client + " 127.0.0.1 40000 3000\r\n"; }

std::string v2(unsigned char command, unsigned char family, const std::string& rest)
{
    return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + static_cast<char>(command) + static_cast<char>(family) +
           static_cast<char>(rest.size() >> 8) + static_cast<char>(rest.size() & 0xFF) + rest;
}

const std::string kV4Pair("\x7f\0\0\x02\x7f\0\0\x01\x9c\x40\x0b\xb8", 12); // 127.0.0.2:40000 -> 127.0.0.1:3000

ProxyHeaderParser feedInPieces(const std::string& bytes, std::size_t piece, std::size_t& taken)
{
    ProxyHeaderParser parser;
    for (std::size_t at = 0; at < bytes.size() && parser.state() == ProxyHeaderParser::State::More; at += piece)
        taken += parser.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    return parser;
}

} // namespace

TEST(ProxyHeader, ReadsBothVersionsInAnyPiecesAndNeverTakesTheRequest)
{
    const auto v6 = net::ip::make_address_v6("2001:db8::1").to_bytes();
    const std::string v6Pair = std::string(v6.begin(), v6.end()) + std::string(20, '\1');
    const std::vector<std::pair<std::string, std::string>> headers = {
        {v1("127.0.0.2"), "127.0.0.2"},
        {"PROXY TCP6 ::ffff:10.1.2.3 ::1 1 65535\r\n", "10.1.2.3"},
        {"PROXY TCP6 fe80::1%-3 ::1 1 2\r\n", "fe80::1"}, // a scope id is no part of the client
        {"PROXY UNKNOWN ffff::1 whatever\r\n", ""},
        {v2(0x21, 0x11, kV4Pair + std::string("\x04\0\x03xyz", 6)), "127.0.0.2"}, // a TLV after the addresses
        {v2(0x21, 0x21, v6Pair), "2001:db8::1"},
        {v2(0x20, 0x00, ""), ""},                 // LOCAL: the balancer's own health check
        {v2(0x21, 0x31, std::string(216, 'u')), ""}, // a UNIX socket names no client
    };
    const std::string request = "GET /CheckAPI HTTP/1.1\r\n\r\n";
    for (const auto& [header, source] : headers)
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, header.size() + request.size()}) {
            std::size_t taken = 0;
            const auto parser = feedInPieces(header + request, piece, taken);
            EXPECT_EQ(parser.state(), ProxyHeaderParser::State::Done) << header << " / " << parser.error();
            EXPECT_EQ(taken, header.size()) << header;
            EXPECT_EQ(parser.source(), source) << header;
        }
}

TEST(ProxyHeader, RefusesAnythingElseWithinItsBounds)
{
    const std::vector<std::string> refused = {
        "GET / HTTP/1.1\r\n\r\n",
        "PROXY TCP4 127.0.0.2 127.0.0.1 1 2\n",
        "PROXY TCP4 ::1 127.0.0.1 1 2\r\n",
        "PROXY TCP4 127.0.0.2 127.0.0.1 1 65536\r\n",
        "PROXY TCP4 127.0.0.2  127.0.0.1 1 2\r\n",
        "PROXY UNKNOWN" + std::string(200, ' ') + "\r\n",
        v2(0x11, 0x11, kV4Pair),         // version 1 in the binary form
        v2(0x22, 0x11, kV4Pair),         // unknown command
        v2(0x21, 0x11, kV4Pair.substr(0, 8)), // shorter than its addresses
        "\r\n\r\n\r\nQUIT\n" + std::string(20, 'x'),
    };
    for (const auto& bytes : refused) {
        std::size_t taken = 0;
        const auto parser = feedInPieces(bytes, 3, taken);
        EXPECT_EQ(parser.state(), ProxyHeaderParser::State::Invalid) << bytes;
        EXPECT_LE(taken, ProxyHeaderParser::kV1MaxBytes);
    }
}

TEST(ProxyHeader, TrustedRanges)
{
    const crw::server::TrustedProxies trusted({"10.0.0.0/8", "fd00::/8", "192.168.1.7", "172.16.0.0/12"});
    for (const char* in : {"10.255.1.2", "::ffff:10.0.0.1", "fd12::5", "192.168.1.7", "172.31.255.255"})
        EXPECT_TRUE(trusted.contains(net::ip::make_address(in))) << in;
    for (const char* out : {"11.0.0.1", "fe00::1", "192.168.1.8", "172.32.0.0", "::a00:1"})
        EXPECT_FALSE(trusted.contains(net::ip::make_address(out))) << out;
    for (const char* bad : {"10.0.0.0/33", "fd00::/129", "10.0.0.0/", "10.0.0.0/8x", "balancer", ""})
        EXPECT_THROW(crw::server::TrustedProxies({bad}), std::runtime_error) << bad;
}

TEST(Network, AddressesOfOneNetworkShareAKey)
{
    EXPECT_EQ(networkOf("203.0.113.77", 24, 64), "203.0.113.0/24");
    EXPECT_EQ(networkOf("::ffff:203.0.113.77", 24, 64), "203.0.113.0/24");
    EXPECT_EQ(networkOf("203.0.113.77", 20, 64), "203.0.112.0/20");
    EXPECT_EQ(networkOf("203.0.113.77", 40, 64), "203.0.113.77/32");
    EXPECT_EQ(networkOf("2001:db8:1:2:aaaa::1", 24, 64), "2001:db8:1:2::/64");
    EXPECT_EQ(networkOf("2001:db8:1:2:aaaa::1", 24, 56), "2001:db8:1::/56");
    EXPECT_EQ(networkOf("not an address", 24, 64), "not an address");
}

TEST_F(ServerTest, OnlyATrustedBalancerNamesTheClient)
{
    crw::server::ServerOptions options;
    options.trustedProxies = {"127.0.0.9"};
    startServer(options);
    Reg reg;
    const std::string post = "POST /register HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                             std::to_string(reg.body().size()) + "\r\n\r\n" + reg.body();
    EXPECT_EQ(rawExchange(port_, v1("127.0.0.2") + post, kWait, "127.0.0.9").rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(httpRequest(port_, "POST", "/register", reg.body(), "127.0.0.3").status, 409);
    EXPECT_EQ(httpRequest(port_, "POST", "/register", reg.body(), "127.0.0.2").status, 200);

    // The balancer itself must send a header; anybody else's header is a malformed request.
    EXPECT_EQ(rawExchange(port_, post, kWait, "127.0.0.9"), "");
    for (const auto& header : {v1("127.0.0.3"), v2(0x21, 0x11, kV4Pair)})
        EXPECT_EQ(rawExchange(port_, header + post, kWait, "127.0.0.4").rfind("HTTP/1.1 400", 0), 0u);
}

namespace {

std::string invite(const std::string& id)
{
    return R"({"Searcher":{"Name":"Tester", "IdString":")" + jsonEscape(id) +
           R"("}, "User":{"Name":"Friend","IdString":"Steam|2|0"}})";
}

// Registers and opens the socket through the balancer; the player is listed when this returns.
std::unique_ptr<WsClient> registerThrough(unsigned short port, const Reg& reg, const std::string& from)
{
    EXPECT_EQ(httpRequest(port, "POST", "/register", reg.body(), from).status, 200);
    auto player = std::make_unique<WsClient>();
    EXPECT_TRUE(player->connect(port, "/", from) && player->send(reg.body()));
    EXPECT_TRUE(eventually([&] { return httpRequest(port, "GET", "/list").body.find(reg.id) != std::string::npos; }));
    return player;
}

bool gotInvite(WsClient& player, std::chrono::milliseconds limit = kWait)
{
    const auto frame = player.read(limit);
    return frame && frame->rfind(R"({"type":"InviteNotification")", 0) == 0;
}

} // namespace

// Ends with a rolling restart: one node drained and restarted while players are connected; the other node's players
// notice nothing, the drained node's players stay listed and invitable until they leave.
TEST(Balancer, HAProxyInFrontOfTwoNodes)
{
    if (std::string(CRW_HAPROXY).empty())
        GTEST_SKIP() << "haproxy is not installed";
    RedisServer redis;
    ASSERT_TRUE(redis.start());
    std::mutex mutex;
    std::map<std::string, std::string> listedOn; // player id -> node
    std::map<std::string, int> checks;           // "a 503" -> health checks answered so
    auto options = [&](std::string id) {
        crw::server::ServerOptions o;
        o.redis = redis.address();
        o.nodeId = id;
        o.trustedProxies = {"127.0.0.9"};
        o.maxPerAddress = 2;
        o.wsIdleTimeout = std::chrono::seconds(6); // pinged after three quiet seconds; the rolling restart takes less
        o.log = [&, id](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            if (const auto at = line.find("websocket: listed "); at != std::string::npos)
                listedOn[line.substr(at + 18)] = id;
            if (const auto at = line.find(" GET /health "); at != std::string::npos)
                ++checks[id + " " + line.substr(at + 13, 3)];
        };
        return o;
    };
    auto count = [&](const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex);
        return checks[key];
    };
    auto seen = [&](const std::string& key, int n) { return eventually([&] { return count(key) >= n; }); };
    const unsigned short port = freePort();
    const std::vector<unsigned short> ports{freePort(), freePort()};
    // The configuration of docs/deployment.md with loopback addresses; the nodes trust the balancer's source address.
    const std::string config = testing::TempDir() + "crw-haproxy-" + std::to_string(port) + ".cfg";
    std::ofstream(config) << "global\n    maxconn 200\n\ndefaults\n    mode tcp\n    timeout connect 5s\n"
                             "    timeout client 90s\n    timeout server 90s\n    timeout check 2s\n    retries 2\n"
                             "    option redispatch\n\nfrontend crw\n    bind 127.0.0.1:" << port << "\n"
                             "    default_backend crw_nodes\n\nbackend crw_nodes\n    balance roundrobin\n"
                             "    option httpchk GET /health\n    http-check expect status 200\n    source 127.0.0.9\n"
                             "    default-server send-proxy-v2 check inter 100ms fall 2 rise 2\n"
                             "    server node-1 127.0.0.1:" << ports[0] << "\n    server node-2 127.0.0.1:" << ports[1] << "\n";
    Process haproxy(CRW_HAPROXY, {"-f", config, "-db"});
    // Started after haproxy, which would otherwise inherit their listening sockets and keep a's port taken.
    std::vector<std::unique_ptr<crw::server::Server>> nodes;
    for (const char* id : {"a", "b"}) {
        nodes.push_back(std::make_unique<crw::server::Server>(options(id)));
        nodes.back()->start("127.0.0.1", ports[nodes.size() - 1]);
    }
    ASSERT_TRUE(seen("a 200", 2) && seen("b 200", 2)) << haproxy.output();

    // A player registers, claims, updates and gets an invite through the balancer; a stranger cannot take over.
    std::vector<Reg> regs(1);
    const Reg& reg = regs[0];
    std::vector<std::unique_ptr<WsClient>> players;
    players.push_back(registerThrough(port, reg, "127.0.0.2"));
    auto& player = players[0];
    for (int i = 0; i < 2; ++i) { // one on each node
        EXPECT_EQ(httpRequest(port, "POST", "/register", reg.body(), "127.0.0.3").status, 409);
        EXPECT_EQ(httpRequest(port, "POST", "/UpdateRegistration", reg.body(), "127.0.0.3").status, 403);
        EXPECT_EQ(httpRequest(port, "POST", "/UpdateRegistration", reg.body(), "127.0.0.2").status, 200);
    }
    // The socket outlives a ping; an invite asked later still reaches it.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        EXPECT_EQ(httpRequest(port, "POST", "/RequestInvite", invite(reg.id), "127.0.0.4").status, 200);
    });
    EXPECT_TRUE(gotInvite(*player, std::chrono::seconds(8))) << player->lastError().message();
    later.join();

    // Two sockets per address on each node: at most four from one client get in (fewer when a busy machine fails a
    // health check and the balancer sends them all to one node); another client still gets in.
    {
        std::vector<std::unique_ptr<WsClient>> held;
        int in = 0;
        for (int i = 0; i < 6; ++i) {
            held.push_back(std::make_unique<WsClient>());
            in += held.back()->connect(port, "/", "127.0.0.5") ? 1 : 0;
        }
        EXPECT_GE(in, 2);
        EXPECT_LE(in, 4);
        EXPECT_TRUE(WsClient().connect(port, "/", "127.0.0.6"));
    }

    // Rolling restart. More players join until each node holds some.
    std::map<std::string, std::vector<std::size_t>> on; // node -> players
    // A busy machine may fail a health check or two, so a few more than two tries. A registration and its socket are
    // two connections: one more request between players makes the next socket meet the other node.
    for (int i = 0; i < 30 && (on["a"].empty() || on["b"].empty()); ++i) {
        if (i > 0) {
            httpRequest(port, "GET", "/CheckAPI");
            regs.emplace_back();
            regs.back().id = "Steam|765611900000001" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "|0";
            players.push_back(registerThrough(port, regs.back(), "127.0.1." + std::to_string(i)));
        }
        std::string node;
        ASSERT_TRUE(eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return !(node = listedOn[regs.back().id]).empty();
        }));
        on[node].push_back(players.size() - 1);
    }
    ASSERT_FALSE(on["a"].empty() || on["b"].empty());

    // Node a drains: once the balancer has seen it unhealthy, every new registration lands on b.
    nodes[0]->drain();
    ASSERT_TRUE(seen("a 503", 3));
    Reg late;
    late.id = "Steam|76561190000000200|0";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(httpRequest(port, "POST", "/register", late.body(), "127.0.2.1").status, 200) << i;
    const std::string list = httpRequest(port, "GET", "/list").body;
    for (const auto& r : regs)
        EXPECT_NE(list.find(r.id), std::string::npos) << r.id;
    for (const std::size_t i : on["a"]) {
        EXPECT_EQ(httpRequest(port, "POST", "/RequestInvite", invite(regs[i].id), "127.0.2.2").status, 200);
        EXPECT_TRUE(gotInvite(*players[i]));
        ASSERT_TRUE(players[i]->close(websocket::close_code::normal));
    }
    EXPECT_TRUE(nodes[0]->waitDrained(kWait));
    const std::string& gone = regs[on["a"][0]].id;
    EXPECT_TRUE(eventually([&] { return httpRequest(port, "GET", "/list").body.find(gone) == std::string::npos; }));

    // Restarted on its port, it takes players again; node b's players kept their sockets all along.
    nodes[0]->stop();
    nodes[0] = std::make_unique<crw::server::Server>(options("a"));
    ASSERT_EQ(nodes[0]->start("127.0.0.1", ports[0]), ports[0]);
    EXPECT_TRUE(seen("a 200", count("a 200") + 2));
    for (const std::size_t i : on["b"]) {
        EXPECT_EQ(httpRequest(port, "POST", "/RequestInvite", invite(regs[i].id), "127.0.2.3").status, 200);
        EXPECT_TRUE(gotInvite(*players[i])) << "a player of node b lost its socket";
    }
    std::remove(config.c_str()); // haproxy is stopped by its Process
}
