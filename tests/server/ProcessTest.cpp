// The crw-server executable: bound port on its first line, one line per request, SIGTERM ends it cleanly.
#include "ProcessUtil.h"
#include "TestUtil.h"

#include <csignal>

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

TEST(Executable, SigtermClosesSocketsWith1001AndExitsZero)
{
    Child child({"--port", "0", "--demo", "3"});
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(child.waitForOutput("\n")) << child.output();
    const unsigned short port = boundPort(child.output());
    ASSERT_NE(port, 0) << child.output();

    Reg reg;
    ASSERT_EQ(httpRequest(port, "POST", "/register", reg.body()).status, 200);
    WsClient ws;
    ASSERT_TRUE(ws.connect(port));
    ASSERT_TRUE(ws.send(reg.body()));
    ASSERT_TRUE(eventually([&] { return httpRequest(port, "GET", "/list").body.find(reg.id) != std::string::npos; }));
    EXPECT_TRUE(child.waitForOutput("POST /register 200\n")) << child.output();
    EXPECT_TRUE(child.waitForOutput("GET /list 200\n")) << child.output();

    ASSERT_EQ(kill(child.pid(), SIGTERM), 0);
    EXPECT_FALSE(ws.read());
    EXPECT_EQ(ws.closeCode(), 1001);
    EXPECT_EQ(child.waitExit(), 0) << child.output();
}

TEST(Executable, SigintAlsoExitsZeroAndBadFlagsAreRefused)
{
    Child child({"--port", "0"});
    ASSERT_TRUE(child.waitForOutput("\n"));
    ASSERT_EQ(kill(child.pid(), SIGINT), 0);
    EXPECT_EQ(child.waitExit(), 0);

    Child bad({"--port", "70000"});
    EXPECT_EQ(bad.waitExit(), 2);
}
