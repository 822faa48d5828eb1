#include <gtest/gtest.h>

#include "UiTestUtil.h"
#include "plugin/Globals.h"
#include "ui/Links.h"

using namespace crwtest;

TEST(SettingsPage, SetBindBindsTheTypedKeyOnTheGameThread)
{
    UiFixture f;
    f.ui().setDrawWindow(false); // the host shows its settings page alone
    ASSERT_TRUE(f.ui().click("Set Bind"));
    f.host().drainGame();
    ASSERT_EQ(f.host().binds().size(), 1u);
    EXPECT_EQ(f.host().binds()[0], std::make_pair(std::string("F5"), std::string("togglemenu CRW")));
    EXPECT_TRUE(f.host().waitForLog("New key bind set : F5 -> togglemenu CRW", 1s));
    ASSERT_TRUE(f.ui().isOpen("BindSet"));
    EXPECT_TRUE(f.ui().hasText("Open plugin window : F5", "BindSet"));
    ASSERT_TRUE(f.ui().click("BindSet/OK"));
    EXPECT_FALSE(f.ui().isOpen("BindSet"));

    ASSERT_TRUE(f.ui().type("##KeyBindInput", "F9"));
    ASSERT_TRUE(f.ui().click("Set Bind"));
    f.host().drainGame();
    ASSERT_EQ(f.host().binds().size(), 2u);
    EXPECT_EQ(f.host().binds()[1].first, "F9");
}

TEST(SettingsPage, OpenPluginWindowTogglesTheMenuOnTheGameThread)
{
    UiFixture f;
    f.ui().setDrawWindow(false);
    f.host().clearRecords();
    ASSERT_TRUE(f.ui().click("Open Plugin Window"));
    f.host().drainGame();
    ASSERT_EQ(f.host().commands().size(), 1u);
    EXPECT_EQ(f.host().commands()[0], "togglemenu CRW");
}

TEST(Links, EachLinkCopiesItsOwnAddress)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Credits"));
    ASSERT_TRUE(f.ui().clickText(crw::links::kMakerVideos, ImGuiMouseButton_Right));
    ASSERT_TRUE(f.ui().click("Copy link to clipboard"));
    EXPECT_STREQ(ImGui::GetClipboardText(), crw::links::kMakerVideos);
}
