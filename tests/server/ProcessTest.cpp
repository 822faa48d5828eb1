// The crw-server executable: bound port on its first line, one line per request, SIGTERM drains, then ends it.
#include "ProcessUtil.h"
#include "TestUtil.h"

#include <csignal>
#include <fstream>
#include <sstream>

using namespace crw::test;

namespace {

class Child : public Process {
public:
    explicit Child(std::vector<std::string> args) : Process(CRW_SERVER_EXE, std::move(args)) {}
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit = kWait)
    {
        return Process::waitForOutput(text, limit);
    }
    int waitExit(std::chrono::milliseconds limit = kWait) { return Process::waitExit(limit); }
};

unsigned short boundPort(const std::string& output)
{
    const auto at = output.find("listening on ");
    const auto colon = output.find(':', at);
    const auto end = output.find('\n', colon);
    if (at == std::string::npos || colon == std::string::npos || end == std::string::npos)
        return 0;
    return static_cast<unsigned short>(std::stoi(output.substr(colon + 1, end - colon - 1)));
}

} // namespace

// A first SIGTERM drains: the node reports unhealthy and takes no new player, but keeps the ones it has until the
// drain time-out, which closes them with 1001.
TEST(Executable, SigtermDrainsThenClosesWith1001AndExitsZero)
{
    Child child({"--port", "0", "--drain-timeout", "2", "--metrics-bind", "127.0.0.1:0"});
    ASSERT_TRUE(child.waitForOutput("metrics on port ")) << child.output();
    ASSERT_TRUE(child.waitForOutput("\n")) << child.output();
    const unsigned short port = boundPort(child.output());
    const auto metricsAt = child.output().find("metrics on port ") + 16;
    const auto metricsPort = static_cast<unsigned short>(std::stoi(child.output().substr(metricsAt)));
    Reg reg;
    ASSERT_EQ(httpRequest(port, "POST", "/register", reg.body()).status, 200);
    WsClient ws;
    ASSERT_TRUE(ws.connect(port) && ws.send(reg.body()));
    ASSERT_TRUE(eventually([&] { return httpRequest(port, "GET", "/list").body.find(reg.id) != std::string::npos; }));

    ASSERT_EQ(kill(child.pid(), SIGTERM), 0);
    ASSERT_TRUE(child.waitForOutput("drain: started, 1 player sockets open")) << child.output();
    EXPECT_EQ(httpRequest(port, "GET", "/health").status, 503);
    EXPECT_EQ(httpRequest(port, "POST", "/register", Reg().body(), "127.0.0.2").status, 503);
    EXPECT_NE(httpRequest(metricsPort, "GET", "/metrics").body.find("crw_draining 1"), std::string::npos);
    EXPECT_FALSE(ws.read(std::chrono::seconds(4)));
    EXPECT_EQ(ws.closeCode(), 1001);
    EXPECT_EQ(child.waitExit(), 0) << child.output();
    EXPECT_NE(child.output().find("shutdown: closing 1 connections, removing 1 listings"), std::string::npos)
        << child.output();
}

TEST(Executable, SigintStopsAtOnceAndBadFlagsAreRefused)
{
    Child child({"--port", "0"});
    ASSERT_TRUE(child.waitForOutput("\n"));
    WsClient ws; // a socket that stays would hold a drain for its two minutes
    ASSERT_TRUE(ws.connect(boundPort(child.output())));
    ASSERT_EQ(kill(child.pid(), SIGINT), 0);
    EXPECT_EQ(child.waitExit(), 0);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--drain-timeout", "-1"}, {"--node-id", "a"}})
        EXPECT_EQ(Child(args).waitExit(), 2) << args[0];
    Child version({"--version"});
    EXPECT_EQ(version.waitExit(), 0);
    EXPECT_EQ(version.output().rfind("crw-server ", 0), 0u) << version.output();
}

// The unit must pass systemd's own check, and its stop time-out must outlast the drain it asks for.
TEST(Deploy, ServiceUnitIsValidAndWaitsForTheDrain)
{
    std::stringstream text;
    text << std::ifstream(CRW_SERVICE_UNIT).rdbuf();
    std::string unit = text.str();
    auto number = [&unit](const std::string& key) {
        return unit.find(key) == std::string::npos ? -1L : std::atol(unit.c_str() + unit.find(key) + key.size());
    };
    EXPECT_GE(number("TimeoutStopSec="), number("--drain-timeout ") + 5);
    EXPECT_GT(number("LimitNOFILE="), number("--max-connections "));
    if (std::string(CRW_SYSTEMD_ANALYZE).empty())
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
    // Checked against the built server, since the unit names where it is installed.
    const std::string installed = "ExecStart=/usr/local/bin/crw-server";
    ASSERT_NE(unit.find(installed), std::string::npos);
    unit.replace(unit.find(installed), installed.size(), "ExecStart=" CRW_SERVER_EXE);
    const std::string path = testing::TempDir() + "crw-server.service";
    std::ofstream(path) << unit;
    Process check(CRW_SYSTEMD_ANALYZE, {"verify", path});
    EXPECT_EQ(check.waitExit(std::chrono::seconds(20)), 0) << check.output();
    EXPECT_EQ(check.output(), ""); // unknown keys are only warnings
    std::remove(path.c_str());
}
