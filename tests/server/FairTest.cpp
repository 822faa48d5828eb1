// A full server shared fairly among networks, and counters kept off the public port.
#include "TestUtil.h"

using namespace crw::test;

namespace {

std::string metric(unsigned short port, const std::string& name)
{
    const std::string body = httpRequest(port, "GET", "/metrics").body;
    const auto at = body.find("\n" + name + " ");
    return at == std::string::npos ? std::string() : body.substr(at + name.size() + 2, body.find('\n', at + 1) - at - name.size() - 2);
}

} // namespace

TEST_F(ServerTest, AFullServerAdmitsNewcomersFromQuietNetworksButKeepsListedPlayers)
{
    crw::server::ServerOptions options;
    options.maxConnections = 30;
    options.maxPerAddress = 20;
    options.maxPerNetwork = 20;
    options.metricsBind = "127.0.0.1:0";
    startServer(options);
    const unsigned short metrics = server_->metricsPort();
    ASSERT_NE(metrics, 0);
    EXPECT_EQ(httpRequest(port_, "GET", "/metrics").status, 404);

    auto player = registerAndConnect(Reg{}, "127.4.0.1");
    net::io_context ioc;
    std::vector<std::unique_ptr<tcp::socket>> idle;
    holdIdle(ioc, idle, "127.1.0.1", 20, port_);
    holdIdle(ioc, idle, "127.2.0.1", 20, port_); // these share what is left with the first ones
    // The metrics listener answers even when the public side is full.
    ASSERT_TRUE(eventually([&] { return metric(metrics, "crw_connections") >= "30"; }));

    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(httpRequest(port_, "GET", "/CheckAPI", {}, "127.3.0." + std::to_string(i)).status, 200) << i;
    EXPECT_NE(metric(metrics, "crw_connections_evicted_total"), "0");
    // The listed player's socket was never a candidate.
    EXPECT_EQ(server_->listedCount(), 1u);
    EXPECT_EQ(httpRequest(port_, "POST", "/RequestInvite",
                          R"({"Searcher":{"Name":"Tester","IdString":"Steam|76561190000000001|0"},)"
                          R"("User":{"Name":"Friend","IdString":"Steam|7|0"}})",
                          "127.5.0.1")
                  .status,
              200);
    EXPECT_TRUE(player->read());
}
