// The crw-sandbox executable: loading, scripts on real frames, the embedded
// server, and two sandboxes meeting on one server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "Process.h"
#include "crw/server/Server.h"

namespace fs = std::filesystem;
using hosttest::Process;
using namespace std::chrono_literals;

namespace {

class TempDir {
public:
    TempDir()
    {
        std::random_device rd;
        do {
            path_ = fs::temp_directory_path() / ("crw-sandbox-test-" + std::to_string(rd()));
        } while (!fs::create_directories(path_));
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name, const std::string& text) const
    {
        std::ofstream(path_ / name, std::ios::binary) << text;
        return (path_ / name).string();
    }

private:
    fs::path path_;
};

// Headless, and strict unless asked otherwise: a plug-in call from the wrong thread fails the test.
std::vector<std::string> sandbox(const fs::path& dataDir, std::vector<std::string> extra, bool strict = true)
{
    std::vector<std::string> args{CRW_SANDBOX_EXE, "--headless", "--data-dir", dataDir.string()};
    if (strict) {
        args.push_back("--strict");
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A port nothing listens on right now.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(SandboxRun, RefusesLibrariesThatAreNotPlugins)
{
    TempDir dir;
    struct Case {
        std::string library;
        std::string message;
    };
    for (const Case& c : {Case{CRW_FAKE_OLDAPI, "was built for plug-in API version 94; this host supports version 95"},
                          Case{CRW_FAKE_NOEXPORTS, "is not a plug-in: it has no \"exports\" record"},
                          Case{(dir.path() / "missing.so").string(), "cannot open the plug-in library"}}) {
        Process p(sandbox(dir.path(), {"--no-embedded-server", "--plugin", c.library, "--frames", "1"}));
        const auto status = p.wait(30s);
        ASSERT_TRUE(status.has_value()) << c.library;
        EXPECT_EQ(*status, 3) << p.output();
        EXPECT_NE(p.output().find(c.message), std::string::npos) << p.output();
        EXPECT_EQ(p.output().find("Loaded plug-in"), std::string::npos) << p.output();
    }
}

TEST(SandboxRun, AGameCallOffTheGameThreadIsReportedAndStrictStopsTheRun)
{
    TempDir dir;
    const std::string rule = "host rule: GameWrapper::Toast called off the game thread";
    for (bool strict : {false, true}) {
        Process p(
            sandbox(dir.path(), {"--no-embedded-server", "--plugin", CRW_FAKE_OFFTHREAD, "--frames", "3"}, strict));
        const auto status = p.wait(30s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, strict ? 4 : 0) << p.output();
        const std::string out = p.output();
        const auto first = out.find(rule);
        ASSERT_NE(first, std::string::npos) << out;
        EXPECT_EQ(out.find("host rule:", first + 1), std::string::npos) << out; // the Execute'd toast is fine
        EXPECT_NE(out.find("[toast] Fake: from the game thread"), std::string::npos) << out;
        EXPECT_EQ(out.find("stopped (--strict): the plug-in broke a rule of the host") != std::string::npos, strict)
            << out;
    }
}

TEST(SandboxRun, ScriptsDriveTheHostsWidgetsAndStopAtAMissingOne)
{
    TempDir dir;
    const std::vector<std::string> common{"--no-embedded-server", "--server", "127.0.0.1:1", "--script"};
    auto args = [&](const std::string& script) {
        auto extra = common;
        extra.push_back(script);
        return sandbox(dir.path(), extra);
    };

    // First start: the update notice is modal, so the host's panel behind it cannot be clicked.
    Process first(args(dir.file("1.txt", "find-timeout 0.5\n"
                                         "click Sandbox/Party join\n")));
    ASSERT_EQ(first.wait(60s).value_or(-1), 1) << first.output();
    EXPECT_NE(first.output().find("script line 2 (click): no widget \"Sandbox/Party join\" on screen"),
              std::string::npos)
        << first.output();

    // Second start (the notice is not shown again): the panel answers, a key runs its bind,
    // and a missing widget ends the run with its line.
    Process second(args(dir.file("2.txt", "click Sandbox/Party join\n"
                                          "wait-log ] party join 5\n"
                                          "console bind F7 crw_ws_badmessage\n"
                                          "key F7\n"
                                          "wait-log ] crw_ws_badmessage 5\n"
                                          "find-timeout 0.5\n"
                                          "click ##NoSuchWidget\n"
                                          "print not reached\n")));
    ASSERT_EQ(second.wait(60s).value_or(-1), 1) << second.output();
    EXPECT_NE(second.output().find("Loaded plug-in CRW version 1.0"), std::string::npos) << second.output();
    EXPECT_NE(second.output().find("script line 7 (click): no widget \"##NoSuchWidget\" on screen"), std::string::npos)
        << second.output();
    EXPECT_EQ(second.output().find("not reached"), std::string::npos);
}

// The plug-in's widgets live in the executable's ImGui context: a script finds and clicks them.
TEST(SandboxRun, EmbeddedServerAndThePluginsWindow)
{
    TempDir dir;
    const int port = freePort();
    const auto script = dir.file("s.txt", "click New Update/OK\n"
                                          "click ##Refresh\n"
                                          "wait row 4 15\n"
                                          "expect-absent row 5\n");
    Process p(
        sandbox(dir.path(), {"--server", "127.0.0.1:" + std::to_string(port), "--demo", "4", "--script", script}));
    const auto status = p.wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << p.output();
    EXPECT_NE(p.output().find("Embedded server on 127.0.0.1:" + std::to_string(port) + " with 4 demo searchers"),
              std::string::npos)
        << p.output();
    // "OK" in the update notice reached the plug-in: it saved the acknowledgement.
    EXPECT_EQ(readFile(dir.path() / "CRW" / "config.json"),
              R"({"PluginVersion":"1.0", "HasSeeNewUpdateAlert":"true", "Language":"English"})");
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "CRW" / "images" / "Playlists" / "hoops_greyed.png"));
}

// A registers through the window, B asks A for an invite, A sees it and stops, and B's list no longer has A.
TEST(SandboxRun, TwoPlayersMeetOnOneServer)
{
    crw::server::ServerOptions options;
    options.demoSearchers = 3;
    // The server lists a player when the registration frame arrives, which may
    // come after the plug-in logged that it sent it: wait for the server's word.
    std::mutex listedMutex;
    std::condition_variable listedCv;
    std::vector<std::string> listedIds;
    options.log = [&](const std::string& line) {
        // After the time and the node's name.
        const std::string prefix = " websocket: listed ";
        if (const auto at = line.find(prefix); at != std::string::npos) {
            std::lock_guard<std::mutex> lock(listedMutex);
            listedIds.push_back(line.substr(at + prefix.size()));
            listedCv.notify_all();
        }
    };
    crw::server::Server server(options);
    const auto port = server.start("127.0.0.1", 0);
    const std::string address = "127.0.0.1:" + std::to_string(port);

    TempDir dir;
    const fs::path dataA = dir.path() / "a", dataB = dir.path() / "b";
    const std::string idA = "Epic|aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa|0";
    const std::string idB = "Epic|bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb|0";
    const std::string title = "Duo wanted " + std::to_string(std::random_device{}());
    auto player = [&](const fs::path& data, const std::string& name, const std::string& id, const std::string& s) {
        return sandbox(data, {"--no-embedded-server", "--server", address, "--name", name, "--id", id, "--script", s});
    };

    const auto scriptA = dir.file("a.txt", "click New Update/OK\n"
                                           "click Create\n"
                                           "type ##titleBuff \"" +
                                               title +
                                               "\"\n"
                                               "click Create/##CheckboxImage\n"
                                               "click Confirm\n"
                                               "click Create Confirmation/Yes\n"
                                               "wait-log ws msg sent 15\n"
                                               "click Creating/OK\n"
                                               "print A registered\n"
                                               "wait-log Invite request from " +
                                               idB +
                                               " 60\n"
                                               "print A was asked\n"
                                               "click Edit\n"
                                               "click Edit/Stop\n"
                                               "click Stop Confirmation/Yes\n"
                                               "wait-log Websocket connection closed ! 15\n"
                                               "print A stopped\n");
    const auto scriptB = dir.file("b.txt", "click New Update/OK\n"
                                           "type ##filterTitleBuff \"" +
                                               title +
                                               "\"\n"
                                               "click ##Refresh\n"
                                               "wait row 1 15\n"
                                               "expect-absent row 2\n"
                                               "doubleclick row 1\n"
                                               "click Request Invite/Yes\n"
                                               "wait-log code : 200 | Json result 15\n");
    // Same data folder later, so no update notice; no keyword: the three demo rows and nobody else.
    const auto scriptB2 = dir.file("b2.txt", "click ##Refresh\n"
                                             "wait row 3 15\n"
                                             "sleep 0.5\n"
                                             "expect-absent row 4\n");

    Process a(player(dataA, "Ana", idA, scriptA));
    ASSERT_TRUE(a.waitForOutput("A registered", 30s)) << a.output();
    {
        std::unique_lock<std::mutex> lock(listedMutex);
        ASSERT_TRUE(listedCv.wait_for(
            lock, 15s, [&] { return std::find(listedIds.begin(), listedIds.end(), idA) != listedIds.end(); }));
    }
    EXPECT_EQ(server.listedCount(), 4u);

    Process b(player(dataB, "Bo", idB, scriptB));
    const auto statusB = b.wait(60s);
    ASSERT_TRUE(statusB.has_value());
    EXPECT_EQ(*statusB, 0) << b.output();

    ASSERT_TRUE(a.waitForOutput("A was asked", 30s)) << a.output();
    const auto statusA = a.wait(60s);
    ASSERT_TRUE(statusA.has_value());
    EXPECT_EQ(*statusA, 0) << a.output();
    EXPECT_NE(a.output().find("A stopped"), std::string::npos) << a.output();

    Process b2(player(dataB, "Bo", idB, scriptB2));
    const auto statusB2 = b2.wait(60s);
    ASSERT_TRUE(statusB2.has_value());
    EXPECT_EQ(*statusB2, 0) << b2.output();
    server.stop();
}
