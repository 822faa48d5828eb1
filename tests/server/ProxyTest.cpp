// Clients behind a load balancer: the PROXY header, a node trusting a balancer, a real HAProxy before two nodes.
#include "ProcessUtil.h"
#include "Network.h"
#include "ProxyProtocol.h"
#include "TestUtil.h"

#include <fstream>
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

// The configuration of docs/deployment.md with loopback addresses; the nodes trust the balancer's source address.
TEST(Balancer, HAProxyInFrontOfTwoNodes)
{
    if (std::string(CRW_HAPROXY).empty())
        GTEST_SKIP() << "haproxy is not installed";
    RedisServer redis;
    ASSERT_TRUE(redis.start());
    std::mutex mutex;
    std::vector<std::string> checked; // node ids that answered a health check
    std::vector<std::unique_ptr<crw::server::Server>> nodes;
    std::vector<unsigned short> ports;
    for (const char* id : {"a", "b"}) {
        crw::server::ServerOptions o;
        o.redis = redis.address();
        o.nodeId = id;
        o.trustedProxies = {"127.0.0.9"};
        o.maxPerAddress = 2;
        o.wsIdleTimeout = std::chrono::seconds(1); // pinged every half second
        o.log = [&mutex, &checked, id](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            if (line == "GET /CheckAPI 200")
                checked.push_back(id);
        };
        nodes.push_back(std::make_unique<crw::server::Server>(o));
        ports.push_back(nodes.back()->start("127.0.0.1", 0));
    }
    const unsigned short port = freePort();
    const std::string config = testing::TempDir() + "crw-haproxy-" + std::to_string(port) + ".cfg";
    std::ofstream(config) << "global\n    maxconn 200\n\ndefaults\n    mode tcp\n    timeout connect 5s\n"
                             "    timeout client 90s\n    timeout server 90s\n    timeout check 2s\n\n"
                             "frontend crw\n    bind 127.0.0.1:" << port << "\n    default_backend crw_nodes\n\n"
                             "backend crw_nodes\n    balance roundrobin\n    option httpchk GET /CheckAPI\n"
                             "    http-check expect status 200\n    source 127.0.0.9\n"
                             "    server node-1 127.0.0.1:" << ports[0] << " send-proxy-v2 check inter 200ms\n"
                             "    server node-2 127.0.0.1:" << ports[1] << " send-proxy-v2 check inter 200ms\n";
    Process haproxy(CRW_HAPROXY, {"-f", config, "-db"});
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(checked.begin(), checked.end(), "a") && std::count(checked.begin(), checked.end(), "b");
    })) << haproxy.output();

    // A player registers, claims, updates and gets an invite through the balancer; a stranger cannot take over.
    Reg reg;
    ASSERT_EQ(httpRequest(port, "POST", "/register", reg.body(), "127.0.0.2").status, 200);
    WsClient player;
    ASSERT_TRUE(player.connect(port, "/", "127.0.0.2"));
    ASSERT_TRUE(player.send(reg.body()));
    ASSERT_TRUE(eventually([&] { return httpRequest(port, "GET", "/list").body.find(reg.id) != std::string::npos; }));
    for (int i = 0; i < 2; ++i) { // one on each node
        EXPECT_EQ(httpRequest(port, "POST", "/register", reg.body(), "127.0.0.3").status, 409);
        EXPECT_EQ(httpRequest(port, "POST", "/UpdateRegistration", reg.body(), "127.0.0.3").status, 403);
        EXPECT_EQ(httpRequest(port, "POST", "/UpdateRegistration", reg.body(), "127.0.0.2").status, 200);
    }

    // The socket outlives several ping intervals; an invite asked later still reaches it.
    const std::string invite = R"({"Searcher":{"Name":"Tester", "IdString":")" + jsonEscape(reg.id) +
                               R"("}, "User":{"Name":"Friend","IdString":"Steam|2|0"}})";
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_EQ(httpRequest(port, "POST", "/RequestInvite", invite, "127.0.0.4").status, 200);
    });
    const auto frame = player.read(std::chrono::seconds(6));
    later.join();
    ASSERT_TRUE(frame) << player.lastError().message();
    EXPECT_EQ(frame->rfind(R"({"type":"InviteNotification")", 0), 0u) << *frame;

    // Two sockets per address on each node: a fifth from one client is refused, another client still gets in.
    std::vector<std::unique_ptr<WsClient>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<WsClient>());
        EXPECT_TRUE(held.back()->connect(port, "/", "127.0.0.5")) << i;
    }
    EXPECT_FALSE(WsClient().connect(port, "/", "127.0.0.5"));
    EXPECT_TRUE(WsClient().connect(port, "/", "127.0.0.6"));
    std::remove(config.c_str()); // haproxy is stopped by its Process
}
