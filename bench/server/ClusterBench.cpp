// Latencies of a two-node cluster (run by bench/server/cluster.sh, which starts Redis and the nodes):
//   register on A -> listed on B, and an invite asked of B -> the frame on a socket held by A.
// Then fills the cluster with listed players held by a feeder node of its own, for the "/list" throughput runs.
//
// usage: crw_cluster_bench REDIS_PORT PORT_A PORT_B LISTED
#include "RedisRegistry.h"

#include <future>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

net::io_context ioc;

// Each request from its own loopback source address, so that the per-address limits of the nodes stay out of the way.
tcp::socket connectFrom(unsigned short port, unsigned n)
{
    tcp::socket s(ioc);
    s.open(tcp::v4());
    s.bind(tcp::endpoint(net::ip::make_address_v4(fmt::format("127.0.{}.{}", 1 + n / 250 % 250, 1 + n % 250)), 0));
    s.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    return s;
}

std::pair<int, std::string> request(unsigned short port, unsigned from, const std::string& target, std::string body)
{
    beast::tcp_stream stream(connectFrom(port, from));
    http::request<http::string_body> req(body.empty() ? http::verb::get : http::verb::post, target, 11);
    req.set(http::field::host, "127.0.0.1");
    req.body() = std::move(body);
    req.prepare_payload();
    http::write(stream, req);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    http::read(stream, buffer, res);
    return {static_cast<int>(res.result_int()), res.body()};
}

std::string regBody(const std::string& id)
{
    return R"({"Type":"Register", "Title": "bench", "Creator":{"Name": "Bench", "IdString": ")" + id +
           R"("}, "Playlists":[{"Playlist":"Ranked-2v2", "MMR":"1000.0", "Range":"100"}], "Regions":["Europe"], )"
           R"("Languages":["Any"], "VoiceChat":"any"})";
}

std::string inviteBody(const std::string& id)
{
    return R"({"Searcher":{"Name":"Bench", "IdString":")" + id +
           R"("}, "User":{"Name":"Asker","IdString":"Steam|1|0"}})";
}

struct Player {
    std::unique_ptr<websocket::stream<tcp::socket>> ws;
};

// Registered through `port` from source `from`, socket on the same node.
Player join(unsigned short port, unsigned from, const std::string& id)
{
    if (request(port, from, "/register", regBody(id)).first != 200)
        throw std::runtime_error("register refused");
    Player p;
    p.ws = std::make_unique<websocket::stream<tcp::socket>>(connectFrom(port, from));
    p.ws->handshake("127.0.0.1", "/");
    p.ws->write(net::buffer(regBody(id)));
    return p;
}

// Reads the node's list back to back until the text shows up; throws past the time limit.
void waitListed(unsigned short port, unsigned from, const std::string& text, std::chrono::seconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (request(port, from, "/list", {}).second.find(text) == std::string::npos)
        if (Clock::now() > deadline)
            throw std::runtime_error("not listed in time: " + text);
}

void report(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("| %-44s | %8.2f ms | %8.2f ms | %5zu |\n", what, ms[ms.size() / 2], ms[ms.size() * 99 / 100],
                ms.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: crw_cluster_bench REDIS_PORT PORT_A PORT_B LISTED\n");
        return 2;
    }
    const auto redisPort = static_cast<unsigned short>(std::atoi(argv[1]));
    const auto a = static_cast<unsigned short>(std::atoi(argv[2]));
    const auto b = static_cast<unsigned short>(std::atoi(argv[3]));
    const int listed = std::atoi(argv[4]);

    std::printf("| %-44s | %11s | %11s | %5s |\n|---|---|---|---|\n", "latency", "median", "p99", "runs");
    // Register on A -> listed on B: B's list is read back to back until the player shows up.
    std::vector<Player> players;
    std::vector<double> listedMs;
    for (unsigned i = 0; i < 200; ++i) {
        const std::string id = fmt::format("Steam|bench{}|0", i);
        const auto start = Clock::now();
        players.push_back(join(a, i, id));
        waitListed(b, i, id, std::chrono::seconds(5));
        listedMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    report("register on A -> listed on B", listedMs);

    // An invite asked of B, delivered to the socket on A; each player gets a few, within the per-target burst.
    std::vector<double> inviteMs;
    beast::flat_buffer buffer;
    for (unsigned i = 0; i < 1000; ++i) {
        Player& p = players[i % players.size()];
        const auto start = Clock::now();
        const auto res = request(b, 1000 + i, "/RequestInvite", inviteBody(fmt::format("Steam|bench{}|0", i % 200)));
        if (res.first != 200)
            throw std::runtime_error(fmt::format("invite refused: {} {}", res.first, res.second));
        p.ws->read(buffer);
        buffer.consume(buffer.size());
        inviteMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    report("invite asked of B -> frame on A's socket", inviteMs);
    for (auto& p : players)
        p.ws->close(websocket::close_code::normal);

    // The feeder: a node of its own whose players have no real socket, so that the nodes under test hold only their
    // mirror of them (what "/list" serves) and the load client keeps the machine's two cores.
    crw::server::RedisRegistryOptions o;
    o.port = redisPort;
    o.nodeId = "bench-feeder";
    o.limits.maxPendingPerAddress = static_cast<std::size_t>(listed) + 1;
    crw::server::RedisRegistry feeder(o, nullptr);
    feeder.start();
    for (int i = 0; i < 500 && !feeder.available(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // start-up only, bounded
    }
    struct NoSocket : crw::server::FrameSink {
        bool trySend(std::string) override { return true; }
    };
    auto sink = std::make_shared<NoSocket>();
    const auto fillStart = Clock::now();
    for (int i = 0; i < listed; ++i) {
        const std::string id = fmt::format("Steam|7656119{:010}|0", i);
        Json::Value entry;
        entry["Title"] = fmt::format("Looking for mates #{}", i);
        entry["Creator"]["Name"] = fmt::format("Player {}", i);
        entry["Creator"]["IdString"] = id;
        entry["Playlists"].append(Json::Value(Json::objectValue));
        entry["Playlists"][0]["Playlist"] = "Ranked-2v2";
        entry["Playlists"][0]["MMR"] = "1000.0";
        entry["Playlists"][0]["Range"] = "100";
        entry["Regions"].append("Europe");
        entry["Languages"].append("Any");
        entry["VoiceChat"] = "any";
        std::promise<void> listed;
        feeder.addPending(id, entry, "127.0.0.1", [&](crw::server::Registry::Register) {
            feeder.claim(id, static_cast<std::uint64_t>(i) + 1, sink, "127.0.0.1",
                         [&](crw::server::Registry::Claim) { listed.set_value(); });
        });
        listed.get_future().wait();
    }
    std::fprintf(stderr, "filled %d listings in %.1f s\n", listed,
                 std::chrono::duration<double>(Clock::now() - fillStart).count());
    const std::string tail = fmt::format("Steam|7656119{:010}|0", listed - 1);
    for (unsigned short port : {a, b})
        waitListed(port, 0, tail, std::chrono::seconds(60));
    std::printf("\nlisted: %d (both nodes); press Enter to stop the feeder\n", listed);
    std::fflush(stdout);
    std::getchar();
    feeder.shutdown();
    return 0;
}
