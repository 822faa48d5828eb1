// Completions of "/CheckAPI" and "/RequestInvite": the real libcurl path
// against a closed port, and the texts for each kind of answer.
#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "NetTestUtil.h"
#include "TestHost.h"
#include "plugin/CRW.h"

using crwtest::PluginFixture;

namespace {

// A plug-in whose server address is a loopback port with nothing behind it.
struct Unreachable {
    unsigned short port;
    std::unique_ptr<PluginFixture> f;
    Unreachable() : port(crwtest::closedPort())
    {
        crwtest::setEnvironment("CRW_SERVER_ADDRESS", "127.0.0.1:" + std::to_string(port));
        f = std::make_unique<PluginFixture>();
        crwtest::setEnvironment("CRW_SERVER_ADDRESS", "");
    }
    CRW& p() { return f->plugin(); }
};

} // namespace

TEST(Results, FailedCheckAPIShowsItsErrorUnregistersAndEmptiesBothLists)
{
    Unreachable u;
    {
        std::lock_guard<std::recursive_mutex> lock(u.p().stateMutex);
        EXPECT_EQ(u.p().serverUrl, "http://127.0.0.1:" + std::to_string(u.port));
        u.p().isRegistered = true;
        u.p().allSearchers.resize(3);
        u.p().searchers.resize(2);
    }
    u.f->host().execute([&] { u.p().CheckAPI(); });
    u.f->host().settle();

    std::lock_guard<std::recursive_mutex> lock(u.p().stateMutex);
    EXPECT_TRUE(u.p().checkAPIPopup.open);
    EXPECT_EQ(u.p().checkAPIPopup.message, "ERROR 418 | Couldn't connect to the server.");
    EXPECT_FALSE(u.p().isRegistered);
    EXPECT_TRUE(u.p().allSearchers.empty());
    EXPECT_TRUE(u.p().searchers.empty());
    auto logs = u.f->host().logs();
    EXPECT_NE(std::find(logs.begin(), logs.end(), "Checking API..."), logs.end());
    EXPECT_NE(std::find(logs.begin(), logs.end(), "ERROR 418 | Couldn't connect to the server."), logs.end());
}

TEST(Results, FailedInviteOverTheNetworkSaysTheServerWasUnreachable)
{
    Unreachable u;
    crw::Searcher target;
    target.creatorName = "Someone";
    target.creatorIdString = "Steam|1|0";
    u.f->host().execute([&] { u.p().RequestInvite(target); });
    u.f->host().settle();

    std::lock_guard<std::recursive_mutex> lock(u.p().stateMutex);
    EXPECT_TRUE(u.p().requestInvitePopup.open);
    EXPECT_EQ(u.p().requestInvitePopup.message, "ERROR 418 | An error ocurred, couldn't reach the server !");
}

TEST(Results, AnswerTextsPerCode)
{
    PluginFixture f;
    CRW& p = f.plugin();
    std::string address;
    {
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        address = p.serverAddress;
    }
    ASSERT_FALSE(address.empty());
    const std::string naming = "Failed to connect to " + address + " port 3000";

    struct Case {
        int code;
        std::string text, shown;
    } invite[] = {
        {200, "Invite sent to " + address + " !", "Invite sent to " + address + " !"}, // shown as it comes
        {402, "Player is offline at " + address, "ERROR 402 | Player is offline at " + address},
        {418, naming, "ERROR 418 | An error ocurred, couldn't reach the server !"},
        {500, "boom", "ERROR 500 | boom"},
        {0, "", "ERROR 0 | "},
    };
    for (const auto& c : invite) {
        p.OnInviteResult(c.code, c.text);
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        EXPECT_EQ(p.requestInvitePopup.message, c.shown) << c.code;
        EXPECT_TRUE(p.requestInvitePopup.open);
        p.requestInvitePopup.open = false;
    }
    EXPECT_TRUE(f.host().waitForLog("code : 200 | Json result : Invite sent to", std::chrono::seconds(1)));

    // "/CheckAPI" never shows the server's text; 200 changes nothing.
    {
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        p.isRegistered = true;
    }
    p.OnCheckAPIResult(200, "up");
    {
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        EXPECT_TRUE(p.isRegistered);
        EXPECT_FALSE(p.checkAPIPopup.open);
    }
    EXPECT_TRUE(f.host().waitForLog("code : 200 | up", std::chrono::seconds(1)));
    for (int code : {0, -1, 503}) {
        p.OnCheckAPIResult(code, naming);
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        EXPECT_EQ(p.checkAPIPopup.message, "ERROR " + std::to_string(code) + " | Couldn't connect to the server.");
    }

    EXPECT_EQ(p.reportedText("x " + address + " y"), "An error ocurred, couldn't reach the server !");
    EXPECT_EQ(p.reportedText("fine"), "fine");
}
