// What a stranger can try against a listing or against the server, each played from other source addresses.
#include "TestUtil.h"

#include <boost/asio/read_until.hpp>
#include <json/json.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <regex>
#include <thread>

using namespace crw::test;

namespace {

const std::string kStranger = "127.0.0.2";

std::string inviteBody(const std::string& searcherId)
{
    return R"({"Searcher":{"Name":"Someone", "IdString":")" + jsonEscape(searcherId) +
           R"("}, "User":{"Name":"Flood","IdString":"Steam|666|0"}})";
}

std::string listedTitle(unsigned short port)
{
    Json::Value root;
    Json::Reader().parse(httpRequest(port, "GET", "/list").body, root);
    return root["Searchers"][0]["Title"].asString();
}

// `count` invites on one keep-alive connection; returns how many answers had each status.
std::map<int, int> pipelinedInvites(unsigned short port, const std::string& searcherId, int count,
                                    const std::string& from)
{
    const std::string body = inviteBody(searcherId);
    std::string requests;
    for (int i = 0; i < count; ++i)
        requests += "POST /RequestInvite HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                    (i + 1 == count ? "\r\nConnection: close" : "") + "\r\n\r\n" + body;
    const std::string out = rawExchange(port, requests, std::chrono::seconds(20), from);
    std::map<int, int> statuses;
    for (std::size_t pos = 0; (pos = out.find("HTTP/1.1 ", pos)) != std::string::npos; pos += 9)
        ++statuses[std::stoi(out.substr(pos + 9, 3))];
    return statuses;
}

class Attack : public ServerTest {
protected:
    void SetUp() override { startServer(); }
};

} // namespace

TEST_F(Attack, AStrangerCannotTakeOverAListing)
{
    Reg victim;
    victim.title = "The real one";
    auto ws = registerAndConnect(victim);

    Reg stranger = victim;
    stranger.title = "Taken over";
    auto res = httpRequest(port_, "POST", "/register", stranger.body(), kStranger);
    EXPECT_EQ(res.status, 409) << res.body;
    WsClient thief;
    ASSERT_TRUE(thief.connect(port_, "/", kStranger));
    ASSERT_TRUE(thief.send(stranger.body()));
    EXPECT_FALSE(thief.read());
    EXPECT_EQ(thief.closeCode(), 1008);

    EXPECT_EQ(listedTitle(port_), "The real one");
    EXPECT_EQ(server_->listedCount(), 1u);
    // Invites still reach the victim's socket.
    EXPECT_EQ(httpRequest(port_, "POST", "/RequestInvite", inviteBody(victim.id)).status, 200);
    auto frame = ws->read();
    ASSERT_TRUE(frame) << ws->lastError().message();
    EXPECT_NE(frame->find("InviteNotification"), std::string::npos);
}

TEST_F(Attack, AStrangerCannotClaimAPendingRegistration)
{
    Reg victim;
    ASSERT_EQ(httpRequest(port_, "POST", "/register", victim.body()).status, 200);
    WsClient thief;
    ASSERT_TRUE(thief.connect(port_, "/", kStranger));
    ASSERT_TRUE(thief.send(victim.body()));
    EXPECT_FALSE(thief.read());
    EXPECT_EQ(thief.closeCode(), 1008);
    EXPECT_EQ(server_->listedCount(), 0u);
    // The victim's own socket still gets listed.
    WsClient own;
    ASSERT_TRUE(own.connect(port_));
    ASSERT_TRUE(own.send(victim.body()));
    EXPECT_TRUE(eventually([&] { return server_->listedCount() == 1; }));
}

TEST_F(Attack, AStrangerCannotPoisonAPendingRegistration)
{
    Reg victim;
    victim.title = "Mine";
    ASSERT_EQ(httpRequest(port_, "POST", "/register", victim.body()).status, 200);
    Reg poison = victim;
    poison.title = "Poisoned";
    EXPECT_EQ(httpRequest(port_, "POST", "/register", poison.body(), kStranger).status, 409);
    WsClient own;
    ASSERT_TRUE(own.connect(port_));
    ASSERT_TRUE(own.send(victim.body()));
    ASSERT_TRUE(eventually([&] { return server_->listedCount() == 1; }));
    EXPECT_EQ(listedTitle(port_), "Mine");
    // From the same address a new registration still replaces the old one.
    Reg again = victim;
    again.title = "Mine, again";
    auto second = registerAndConnect(again);
    EXPECT_EQ(listedTitle(port_), "Mine, again");
}

TEST_F(ServerTest, OneAddressCannotLockEveryoneOut)
{
    crw::server::ServerOptions options;
    options.wsClaimTimeout = std::chrono::milliseconds(300);
    startServer(options);
    // More idle connections from one address than the whole server used to hold.
    net::io_context ioc;
    std::vector<std::unique_ptr<tcp::socket>> idle;
    holdIdle(ioc, idle, kStranger, 520, port_);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI").status, 200);
    EXPECT_TRUE(eventually([&] {
        const auto lines = logLines();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("connections refused in the last second") != std::string::npos;
        });
    }));
    EXPECT_TRUE(std::regex_search(httpRequest(port_, "GET", "/metrics").body,
                                  std::regex(R"(crw_connections_refused_total\{reason="address"\} [1-9])")));
    idle.clear();

    // A WebSocket that never registers gives its place back.
    WsClient squatter;
    ASSERT_TRUE(squatter.connect(port_, "/", kStranger));
    EXPECT_FALSE(squatter.read());
    EXPECT_EQ(squatter.closeCode(), 1008);
}

TEST_F(ServerTest, AnInviteFloodDoesNotRemoveItsTarget)
{
    crw::server::ServerOptions options;
    options.wsWriteStall = std::chrono::milliseconds(400);
    // Almost no refill, so the counts below hold however long the flood takes (sanitizer builds are slow).
    options.invitesPerAddressPerSecond = 0.01;
    options.invitesPerTargetPerSecond = 0.01;
    startServer(options);
    Reg victim;
    ASSERT_EQ(httpRequest(port_, "POST", "/register", victim.body()).status, 200);
    WsClient ws; // reads nothing during the flood
    ws.smallReceiveBuffer();
    ASSERT_TRUE(ws.connect(port_));
    ASSERT_TRUE(ws.send(victim.body()));
    ASSERT_TRUE(eventually([&] { return server_->listedCount() == 1; }));

    std::vector<std::thread> flood;
    std::vector<std::map<int, int>> answers(4);
    for (int t = 0; t < 4; ++t)
        flood.emplace_back([&, t] { answers[t] = pipelinedInvites(port_, victim.id, 2500, kStranger); });
    for (auto& t : flood)
        t.join();
    int ok = 0, refused = 0;
    for (auto& a : answers) {
        ok += a[200];
        refused += a[429];
    }
    EXPECT_LE(ok, 20);
    EXPECT_GE(refused, 9000);
    EXPECT_EQ(server_->listedCount(), 1u);
    // Another requester is limited per target, not shut out by the flood's own limit.
    EXPECT_NE(httpRequest(port_, "POST", "/RequestInvite", inviteBody(victim.id), "127.0.0.3").status, 402);
    auto frame = ws.read();
    ASSERT_TRUE(frame) << ws.lastError().message();
    EXPECT_NE(frame->find("InviteNotification"), std::string::npos);
}

TEST_F(ServerTest, AFullQueueRefusesInvitesButKeepsTheSocket)
{
    crw::server::ServerOptions options;
    options.invitesPerAddressPerSecond = options.inviteBurstPerAddress = 1e9;
    options.invitesPerTargetPerSecond = options.inviteBurstPerTarget = 1e9;
    options.wsSendBuffer = 4096; // the unread socket stalls after a few KB, whatever the system's buffer sizes
    startServer(options);
    Reg victim;
    ASSERT_EQ(httpRequest(port_, "POST", "/register", victim.body()).status, 200);
    WsClient ws;
    ws.smallReceiveBuffer();
    ASSERT_TRUE(ws.connect(port_));
    ASSERT_TRUE(ws.send(victim.body()));
    ASSERT_TRUE(eventually([&] { return server_->listedCount() == 1; }));

    std::vector<std::thread> flood;
    std::vector<std::map<int, int>> answers(2);
    for (int t = 0; t < 2; ++t)
        flood.emplace_back([&, t] { answers[t] = pipelinedInvites(port_, victim.id, 3000, kStranger); });
    for (auto& t : flood)
        t.join();
    EXPECT_GT(answers[0][429] + answers[1][429], 0);
    EXPECT_EQ(answers[0][200] + answers[0][429], 3000);
    EXPECT_EQ(server_->listedCount(), 1u);
    auto frame = ws.read();
    ASSERT_TRUE(frame) << ws.lastError().message();
    EXPECT_NE(frame->find("InviteNotification"), std::string::npos);
}

TEST_F(Attack, RegistrationsWithoutSocketsAreCapped)
{
    int accepted = 0, refused = 0;
    for (int i = 0; i < 60; ++i) {
        Reg reg;
        reg.id = "Steam|flood" + std::to_string(i) + "|0";
        const int status = httpRequest(port_, "POST", "/register", reg.body(), kStranger).status;
        accepted += status == 200;
        refused += status == 429;
    }
    EXPECT_EQ(accepted, 16);
    EXPECT_EQ(refused, 44);
    EXPECT_EQ(server_->pendingCount(), 16u);
    // Others can still register.
    auto ws = registerAndConnect(Reg{});
    EXPECT_EQ(server_->listedCount(), 1u);
}

TEST_F(Attack, EndlessChunkLinesAndTrailersAreRefused)
{
    const std::string head = "POST /register HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const std::string& tail : {"1;" + std::string(300000, 'e'), "0\r\nX-T: " + std::string(300000, 't')}) {
        const auto started = std::chrono::steady_clock::now();
        const std::string out = rawExchange(port_, head + tail);
        EXPECT_EQ(out.rfind("HTTP/1.1 4", 0), 0u) << out.substr(0, 100);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    }
    EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI").status, 200);
}

TEST_F(ServerTest, AStalledLogReaderDoesNotStopTheServer)
{
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    crw::server::ServerOptions options;
    options.logQueueLines = 20;
    options.log = [&](const std::string& line) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return released; });
        std::lock_guard<std::mutex> logLock(logMutex_);
        log_.push_back(line);
    };
    auto release = [&] {
        {
            std::lock_guard<std::mutex> lock(m);
            released = true;
        }
        cv.notify_all();
    };
    server_ = std::make_unique<crw::server::Server>(options);
    port_ = server_->start("127.0.0.1", 0);
    int answered = 0;
    for (int i = 0; i < 200; ++i)
        answered += httpRequest(port_, "GET", "/CheckAPI").status == 200;
    release();
    EXPECT_EQ(answered, 200);
    EXPECT_TRUE(eventually([&] {
        const auto lines = logLines();
        return std::any_of(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.find("lines dropped") != std::string::npos; });
    }));
    server_->stop(); // the log callback uses this test's locals
}

TEST_F(Attack, HostileBytesAreRefusedAndNotEchoed)
{
    Reg reg;
    std::string body = reg.body();
    body += std::string("\0junk", 5);
    EXPECT_EQ(httpRequest(port_, "POST", "/register", body).status, 400);
    EXPECT_EQ(server_->pendingCount(), 0u);

    const std::string name(64 * 1024 - 200, 'n');
    auto res = httpRequest(port_, "POST", "/RequestInvite",
                           R"({"Searcher":{"Name":")" + name +
                               R"(", "IdString":"Steam|1|0"}, "User":{"Name":"Me","IdString":"Steam|2|0"}})");
    EXPECT_EQ(res.status, 402);
    EXPECT_LT(res.body.size(), 400u);

    auto ws = registerAndConnect(reg);
    ws->close(static_cast<websocket::close_code>(5000));
    EXPECT_EQ(ws->closeCode(), 1002);
    EXPECT_TRUE(eventually([&] { return server_->listedCount() == 0; }));
}

// The server's own end of the connection from `from`: this test runs the server in its own process.
static int serverEndOf(const std::string& from, unsigned short port)
{
    for (int fd = 3; fd < 4096; ++fd) {
        sockaddr_in local{}, peer{};
        socklen_t ll = sizeof local, pl = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &ll) == 0 && local.sin_family == AF_INET &&
            ntohs(local.sin_port) == port && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0 &&
            peer.sin_addr.s_addr == inet_addr(from.c_str()))
            return fd;
    }
    return -1;
}

// A peer that stops reading, then sends a close code the server refuses: the answer must not wait on the peer.
TEST_F(ServerTest, ARefusedCloseFromAPeerThatDoesNotReadParksNoThread)
{
    crw::server::ServerOptions options;
    options.ioThreads = 1;
    options.wsSendBuffer = 16 * 1024;
    startServer(options);
    const std::string from = "127.0.0.9";
    net::io_context ioc;
    tcp::socket peer(ioc);
    peer.open(tcp::v4());
    peer.set_option(net::socket_base::receive_buffer_size(2048));
    peer.bind(tcp::endpoint(net::ip::make_address(from), 0));
    peer.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port_));
    net::write(peer, net::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                             "Sec-WebSocket-Version: 13\r\n\r\n")));
    std::string head;
    net::read_until(peer, net::dynamic_buffer(head), "\r\n\r\n");
    ASSERT_NE(head.find(" 101 "), std::string::npos);

    // Fill the server's send buffer as a burst of frames to a reader that stopped would.
    const int fd = dup(serverEndOf(from, port_)); // ours: the number cannot come to mean another socket
    ASSERT_GE(fd, 0);
    static const char junk[4096] = {};
    // Until it stays full for a while: each (delayed) acknowledgement of what reached the peer frees some room.
    for (int round = 0, quiet = 0; round < 100 && quiet < 6; ++round) {
        long written = 0;
        for (std::size_t size : {sizeof junk, std::size_t(1)}) // small writes still fit the last segment
            for (ssize_t n; (n = ::send(fd, junk, size, MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;)
                written += n;
        quiet = written ? 0 : quiet + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    static const unsigned char close5000[] = {0x88, 0x82, 0, 0, 0, 0, 0x13, 0x88}; // masked with a zero key
    net::write(peer, net::buffer(close5000));
    // Having refused it, the server ends its side of the stream (its FIN waits behind the unread bytes).
    EXPECT_TRUE(eventually(
        [&] {
            tcp_info info{};
            socklen_t len = sizeof info;
            return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_FIN_WAIT1;
        },
        std::chrono::milliseconds(2000)));
    EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI").status, 200);
    close(fd);
    peer.close(); // unread data: a reset, which also frees a thread parked on this socket
}

// The largest listings from many networks, after three ordinary players: "/list" stays within its budget, shared
// alike between the networks, and keeps the players; a listing left out still takes invites and comes in as room frees.
TEST_F(ServerTest, AListingFloodFromManyNetworksKeepsTheListWithinItsBudget)
{
    crw::server::ServerOptions options;
    options.listBudgetBytes = 20000;
    startServer(options);
    std::vector<std::unique_ptr<WsClient>> sockets;
    for (int i = 0; i < 3; ++i) {
        Reg player;
        player.id = "Steam|7656119000000000" + std::to_string(i) + "|0";
        sockets.push_back(registerAndConnect(player));
    }
    Reg big;
    big.title = std::string(127, '"'); // escaped in JSON: twice the bytes
    big.name = std::string(256, '"');
    for (int net = 0; net < 6; ++net)
        for (int k = 0; k < 10; ++k) {
            big.id = "Steam|flood" + std::to_string(net) + "x" + std::to_string(k) + "|0";
            const std::string from = "127.20." + std::to_string(net) + "." + std::to_string(k + 1);
            ASSERT_EQ(httpRequest(port_, "POST", "/register", big.body(), from).status, 200);
            sockets.push_back(std::make_unique<WsClient>());
            ASSERT_TRUE(sockets.back()->connect(port_, "/", from));
            ASSERT_TRUE(sockets.back()->send(big.body()));
        }
    ASSERT_TRUE(eventually([&] { return server_->listedCount() == 63; }));

    auto list = httpRequest(port_, "GET", "/list").body;
    EXPECT_LE(list.size(), 20000u);
    Json::Value root;
    ASSERT_TRUE(Json::Reader().parse(list, root));
    std::map<char, int> perNetwork; // by the flood's network digit
    for (const auto& s : root["Searchers"]) {
        const std::string id = s["Creator"]["IdString"].asString();
        if (id.rfind("Steam|flood", 0) == 0)
            ++perNetwork[id[11]];
    }
    ASSERT_EQ(perNetwork.size(), 6u) << list;
    for (const auto& [net, count] : perNetwork)
        EXPECT_LE(std::abs(count - perNetwork['0']), 1) << net;
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(list.find("Steam|7656119000000000" + std::to_string(i) + "|0"), std::string::npos);
    const auto metrics = httpRequest(port_, "GET", "/metrics").body;
    EXPECT_NE(metrics.find("crw_list_bytes " + std::to_string(list.size()) + "\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("crw_list_left_out " + std::to_string(63 - root["Searchers"].size()) + "\n"),
              std::string::npos) << metrics;

    // The oldest of the last network is left out, yet listed: it takes invites, and comes in once the others leave.
    const std::string oldest = "Steam|flood5x0|0";
    ASSERT_EQ(list.find(oldest), std::string::npos);
    EXPECT_EQ(httpRequest(port_, "POST", "/RequestInvite", inviteBody(oldest)).status, 200);
    auto frame = sockets[53]->read();
    ASSERT_TRUE(frame);
    EXPECT_NE(frame->find("InviteNotification"), std::string::npos);
    sockets.erase(sockets.begin() + 3, sockets.begin() + 53);
    EXPECT_TRUE(eventually([&] { return httpRequest(port_, "GET", "/list").body.find(oldest) != std::string::npos; }));
}
