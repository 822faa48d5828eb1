#include <gtest/gtest.h>

#include "TestHost.h"
#include "plugin/CRW.h"

using namespace std::chrono_literals;
using crwtest::PluginFixture;

TEST(Shell, ShowToastShowsEvenWhenToastsAreOffAndRestoresTheSwitch)
{
    PluginFixture f;
    for (int setting : {0, 1}) {
        f.host().setCvar("cl_notifications_enabled_beta", setting);
        f.host().clearRecords();
        f.plugin().showToast("CRW", "hello", 6.0f, "default");
        f.host().drainGame();
        auto toasts = f.host().toasts();
        ASSERT_EQ(toasts.size(), 1u);
        EXPECT_TRUE(toasts[0].onGameThread);
        EXPECT_EQ(toasts[0].title, "CRW");
        EXPECT_EQ(toasts[0].text, "hello");
        EXPECT_EQ(toasts[0].texture, "default");
        EXPECT_FLOAT_EQ(toasts[0].timeout, 6.0f);
        EXPECT_EQ(toasts[0].cvarWhenShown, 1);
        EXPECT_EQ(f.host().cvar("cl_notifications_enabled_beta"), setting);
    }
}

TEST(Shell, ClosedConnectionNotifierUnregistersTostsAndChecksTheServer)
{
    PluginFixture f;
    {
        std::lock_guard<std::recursive_mutex> lock(f.plugin().stateMutex);
        f.plugin().isRegistered = true;
    }
    f.host().setCvar("cl_notifications_enabled_beta", 0);
    f.host().runCommand("crw_ws_closedconnection_bad");
    f.host().settle();
    {
        std::lock_guard<std::recursive_mutex> lock(f.plugin().stateMutex);
        EXPECT_FALSE(f.plugin().isRegistered);
    }
    auto toasts = f.host().toasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "An error occured, you are no longer registered on the plugin !");
    EXPECT_FLOAT_EQ(toasts[0].timeout, 3.5f);
    EXPECT_EQ(f.host().cvar("cl_notifications_enabled_beta"), 0);
}

TEST(Shell, BadMessageNotifierOpensItsPopup)
{
    PluginFixture f;
    f.host().runCommand("crw_ws_badmessage");
    f.host().drainGame();
    std::lock_guard<std::recursive_mutex> lock(f.plugin().stateMutex);
    EXPECT_TRUE(f.plugin().wsClientBadMessagePopup.open);
    EXPECT_EQ(f.plugin().wsClientBadMessagePopup.message, "Websocket Server: | Error: bad message");
}

TEST(Shell, PartyJoinWhileUnregisteredAsksNothing)
{
    PluginFixture f;
    f.host().fireEvent("Function ProjectX.Parties_X.HandleUserJoined");
    f.host().drainGame();
    std::lock_guard<std::recursive_mutex> lock(f.plugin().stateMutex);
    EXPECT_FALSE(f.plugin().stillThereCheck.open);
    EXPECT_TRUE(f.host().toasts().empty());
}

TEST(Shell, StartingStateAndWindowFlags)
{
    PluginFixture f(/*dataDir*/ {}, /*load*/ false);
    CRW& p = f.plugin();
    EXPECT_EQ(p.pluginVersion, "1.0");
    EXPECT_TRUE(p.HasSeeNewUpdateAlert);
    EXPECT_EQ(p.serverUrl.find("http://"), 0u);
    EXPECT_NE(p.serverUrl.back(), '/');
    EXPECT_EQ(p.websocketUrl.substr(0, 5), "ws://");
    EXPECT_EQ(p.websocketUrl.back(), '/');
    EXPECT_TRUE(p.dataFolder.empty());
    EXPECT_EQ(p.stillThereTimer.interval(), 600000);
    EXPECT_EQ(p.stillThereTimeoutTimer.interval(), 60000);
    EXPECT_EQ(p.clearSearchersTimer.interval(), 60000);
    EXPECT_EQ(p.refreshTimer.interval(), 1500);
    EXPECT_EQ(p.inviteTimer.interval(), 10000);
    EXPECT_EQ(p.stillThereCheck.title, "Check");
    EXPECT_FALSE(p.stillThereCheck.open);
    EXPECT_EQ(p.registerSettings.playlists.size(), 0u);
    EXPECT_FALSE(p.isWindowOpen);
    p.OnOpen();
    EXPECT_TRUE(p.isWindowOpen);
    p.OnClose();
    EXPECT_FALSE(p.isWindowOpen);
    // No ImGui context yet: nothing wants input.
    EXPECT_FALSE(p.ShouldBlockInput());
}

TEST(Shell, StillThereYesRestartsTheQuestionTimer)
{
    crw::Intervals fast;
    fast.stillThere = 5000;
    fast.stillThereTimeout = 5000;
    crw::setIntervals(fast);
    PluginFixture f;
    crw::setIntervals(crw::Intervals{});
    CRW& p = f.plugin();
    {
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        p.stillThereCheck.open = true;
        p.stillThereTimeoutTimer.start();
    }
    p.stillThereCheck.onYes();
    EXPECT_FALSE(p.stillThereCheck.open);
    EXPECT_FALSE(p.stillThereTimeoutTimer.isRunning());
    EXPECT_TRUE(p.stillThereTimer.isRunning());
}
