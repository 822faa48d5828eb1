// A flood from many networks against one server: does a newcomer still get listed, does "/CheckAPI" still answer
// quickly, and does a friend's invite still reach a player flooded from three networks? Run by bench/server/fair.sh.
#include "TestUtil.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using namespace crw::test;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Address number i of the flood, each in a /24 of its own: 127.A.B.1.
std::string floodAddress(int i) { return "127." + std::to_string(10 + i / 250) + "." + std::to_string(i % 250) + ".1"; }

} // namespace

int main(int argc, char** argv)
{
    const int addresses = argc > 1 ? std::atoi(argv[1]) : 2000;
    crw::server::ServerOptions options;
    options.maxConnections = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 3000;
    options.log = [](const std::string&) {};
    options.ioThreads = 2;
    crw::server::Server server(options);
    const unsigned short port = server.start("127.0.0.1", 0);

    // Flood: every address registers until refused, and holds two idle keep-alives.
    std::atomic<bool> flooding{true};
    std::atomic<int> floodRegistered{0};
    net::io_context ioc;
    std::vector<std::unique_ptr<tcp::socket>> idle;
    std::vector<std::thread> flood;
    for (int t = 0; t < 4; ++t)
        flood.emplace_back([&, t] {
            for (int n = 0; flooding; ++n)
                for (int i = t; i < addresses && flooding; i += 4) {
                    Reg reg;
                    reg.id = "Steam|flood-" + std::to_string(i) + "-" + std::to_string(n) + "|0";
                    floodRegistered += httpRequest(port, "POST", "/register", reg.body(), floodAddress(i)).status == 200;
                }
        });
    for (int i = 0; i < addresses; ++i)
        for (int k = 0; k < 2; ++k) {
            auto s = std::make_unique<tcp::socket>(ioc);
            s->open(tcp::v4());
            s->bind(tcp::endpoint(net::ip::make_address(floodAddress(i)), 0));
            beast::error_code ec;
            s->connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
            idle.push_back(std::move(s));
        }
    const auto floodStart = Clock::now();
    while (server.pendingCount() < options.maxPending && Clock::now() - floodStart < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf("flood: %d addresses, %zu pending (cap %zu), %zu idle sockets opened (cap %zu connections)\n",
                addresses, server.pendingCount(), options.maxPending, idle.size(), options.maxConnections);

    // Fresh "/CheckAPI" from new addresses every 10 ms while newcomers register.
    std::vector<double> check;
    int checkFailed = 0;
    std::atomic<bool> probing{true};
    std::thread probe([&] {
        for (int i = 0; probing; ++i) {
            const auto t0 = Clock::now();
            const int status = httpRequest(port, "GET", "/CheckAPI", {}, "127.201." + std::to_string(i % 250) + ".1").status;
            check.push_back(ms(Clock::now() - t0));
            checkFailed += status != 200;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    int listedInTime = 0;
    double worst = 0;
    std::vector<std::unique_ptr<WsClient>> newcomers;
    for (int i = 0; i < 20; ++i) {
        Reg reg;
        reg.id = "Steam|newcomer-" + std::to_string(i) + "|0";
        const std::string from = "127.200." + std::to_string(i) + ".1";
        const std::size_t before = server.listedCount();
        const auto t0 = Clock::now();
        auto ws = std::make_unique<WsClient>();
        const bool ok = httpRequest(port, "POST", "/register", reg.body(), from).status == 200 &&
                        ws->connect(port, "/", from) && ws->send(reg.body()) &&
                        eventually([&] { return server.listedCount() > before; }, std::chrono::milliseconds(2000));
        const double took = ms(Clock::now() - t0);
        worst = std::max(worst, took);
        listedInTime += ok && took <= 2000;
        newcomers.push_back(std::move(ws));
    }
    std::this_thread::sleep_for(std::chrono::seconds(5)); // the flood goes on; so do the probes
    probing = false;
    probe.join();
    std::sort(check.begin(), check.end());
    const double p99 = check.empty() ? 0 : check[std::min(check.size() - 1, check.size() * 99 / 100)];
    std::printf("newcomer listed within 2 s: %d of 20 (slowest %.0f ms)\n", listedInTime, worst);
    std::printf("fresh /CheckAPI during the flood: p99 %.1f ms over %zu, %d failed\n", p99, check.size(), checkFailed);

    // Invites: three networks flood one listed player while a friend asks once a second.
    flooding = false;
    for (auto& t : flood)
        t.join();
    idle.clear();
    Reg target;
    target.id = "Steam|target|0";
    const std::string targetFrom = "127.202.0.1";
    auto targetWs = std::make_unique<WsClient>();
    httpRequest(port, "POST", "/register", target.body(), targetFrom);
    targetWs->connect(port, "/", targetFrom);
    targetWs->send(target.body());
    eventually([&] { return httpRequest(port, "GET", "/list").body.find("Steam|target|0") != std::string::npos; });
    std::thread reader([&] { while (targetWs->read(std::chrono::milliseconds(3000))) {} });
    auto invite = [&](const std::string& name) {
        return R"({"Searcher":{"Name":"T","IdString":"Steam|target|0"},"User":{"Name":")" + name +
               R"(","IdString":"Steam|)" + name + R"(|0"}})";
    };
    std::atomic<bool> spamming{true};
    std::atomic<int> spamDelivered{0};
    std::vector<std::thread> spam;
    for (int s = 0; s < 3; ++s)
        spam.emplace_back([&, s] {
            while (spamming)
                spamDelivered += httpRequest(port, "POST", "/RequestInvite", invite("spam"),
                                             "127.203." + std::to_string(s) + ".1").status == 200;
        });
    int friendDelivered = 0;
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        friendDelivered += httpRequest(port, "POST", "/RequestInvite", invite("friend"), "127.204.0.1").status == 200;
    }
    spamming = false;
    for (auto& t : spam)
        t.join();
    std::printf("friend's invites delivered under a 3-network flood: %d of 10 (flood delivered %d in 10 s)\n",
                friendDelivered, spamDelivered.load());
    server.stop();
    reader.join();
    return 0;
}
