#include <gtest/gtest.h>

#include <fstream>

#include "UiTestUtil.h"
#include "plugin/Globals.h"

using namespace crwtest;

namespace {

std::string checkbox(const std::string& playlist) { return "##PlaylistsListChild/" + playlist + "/##CheckboxImage"; }

bool enabled(const crw::SearcherSettings& s, const std::string& playlist)
{
    for (const auto& p : s.playlists) {
        if (p.name == playlist) {
            return p.enabled;
        }
    }
    return false;
}

bool regionEnabled(const crw::SearcherSettings& s, const std::string& region)
{
    for (const auto& r : s.regions) {
        if (r.name == region) {
            return r.enabled;
        }
    }
    return false;
}

// A registration with a title and Ranked-2v2, as both the edit form and the baseline.
void registerWithBaseline(UiFixture& f)
{
    f.setRegistered(makeSearcher("mine", "TestPlayer"));
    f.locked([](CRW& p) {
        p.editSettings.setTitle("mine");
        p.editSettings.playlists[0].enabled = true;
        p.editSettings.playlists[0].mmr = "1200";
        p.editBaseline = p.editSettings;
        return 0;
    });
}

} // namespace

TEST(CreatePopup, RefusesAnEmptyTitleThenAMissingPlaylist)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Create"));
    ASSERT_TRUE(f.ui().isOpen("Create"));

    ASSERT_TRUE(f.ui().click("Create/Confirm"));
    ASSERT_TRUE(f.ui().isOpen("Create Title Error"));
    EXPECT_TRUE(f.ui().hasText("Title is empty !", "Create Title Error"));
    ASSERT_TRUE(f.ui().click("Create Title Error/OK"));

    // Spaces are a title.
    ASSERT_TRUE(f.ui().type("##titleBuff", "   "));
    ASSERT_TRUE(f.ui().click("Create/Confirm"));
    ASSERT_TRUE(f.ui().isOpen("Create Playlists Error"));
    EXPECT_TRUE(f.ui().hasText("Select at least one playlist !", "Create Playlists Error"));
    ASSERT_TRUE(f.ui().click("Create Playlists Error/OK"));
    f.host().drainGame();
    EXPECT_TRUE(f.requests("/register").empty());
}

TEST(CreatePopup, OtherExcludesEveryOtherPlaylist)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Create"));
    ASSERT_TRUE(f.ui().click(checkbox("Other")));
    ASSERT_TRUE(f.ui().click(checkbox("Ranked-2v2")));
    ASSERT_TRUE(f.ui().isOpen("Other Selected"));
    EXPECT_TRUE(f.ui().hasText("You can't select the playlists when \"Other\" is selected !", "Other Selected"));
    f.locked([](CRW& p) {
        EXPECT_TRUE(enabled(p.registerSettings, "Other"));
        EXPECT_EQ(p.registerSettings.selectedPlaylists().size(), 1u);
        return 0;
    });
    ASSERT_TRUE(f.ui().click("Other Selected/OK"));
    f.ui().frame(3);
    EXPECT_FALSE(f.ui().isOpen("Other Selected"));

    // Without "Other" several playlists go together.
    ASSERT_TRUE(f.ui().click(checkbox("Other")));
    ASSERT_TRUE(f.ui().click(checkbox("Ranked-2v2")));
    ASSERT_TRUE(f.ui().click(checkbox("Hoops")));
    EXPECT_FALSE(f.ui().isOpen("Other Selected"));
    EXPECT_EQ(f.locked([](CRW& p) { return p.registerSettings.selectedPlaylists().size(); }), 2u);
}

TEST(CreatePopup, VoiceChatCyclesThroughItsThreeChoices)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Create"));
    for (int expected : {1, 2, 0, 1}) {
        ASSERT_TRUE(f.ui().click("##VoiceChat Widget"));
        EXPECT_EQ(f.locked([](CRW& p) { return p.registerSettings.voiceChat; }), expected);
    }
}

TEST(CreatePopup, ConfirmedRegistrationRunsOnTheGameThread)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Create"));
    ASSERT_TRUE(f.ui().type("##titleBuff", "Diamond duo"));
    ASSERT_TRUE(f.ui().click(checkbox("Ranked-2v2")));
    ASSERT_TRUE(f.ui().click("##Range"));
    ASSERT_TRUE(f.ui().type("##PlaylistsListChild/Ranked-2v2/##Range", "-50"));
    ASSERT_TRUE(f.ui().click("Create/Confirm"));
    ASSERT_TRUE(f.ui().isOpen("Create Confirmation"));
    EXPECT_TRUE(f.ui().hasText("Are you sure ?", "Create Confirmation"));
    ASSERT_TRUE(f.ui().click("Create Confirmation/Yes"));
    EXPECT_FALSE(f.ui().isOpen("Create Confirmation"));
    ASSERT_TRUE(f.host().waitFor([&] { return !f.requests("/register").empty(); }, 5s));
    const std::string body = f.requests("/register")[0].body;
    EXPECT_NE(body.find("Diamond duo"), std::string::npos);
    EXPECT_NE(body.find("\"Range\":\"-50\""), std::string::npos);

    // "Close" keeps what was typed.
    ASSERT_TRUE(f.ui().click("Create/Close"));
    EXPECT_FALSE(f.ui().isOpen("Create"));
    EXPECT_EQ(f.locked([](CRW& p) { return p.registerSettings.titleText(); }), "Diamond duo");
}

TEST(CreatePopup, ResetClearsTheForm)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Create"));
    ASSERT_TRUE(f.ui().type("##titleBuff", "something"));
    ASSERT_TRUE(f.ui().click(checkbox("Hoops")));
    ASSERT_TRUE(f.ui().click("Create/Reset"));
    f.locked([](CRW& p) {
        EXPECT_EQ(p.registerSettings.titleText(), "");
        EXPECT_TRUE(p.registerSettings.selectedPlaylists().empty());
        return 0;
    });
}

TEST(EditPopup, UpdateNeedsARealChange)
{
    UiFixture f;
    registerWithBaseline(f);
    ASSERT_TRUE(f.ui().click("Edit"));
    ASSERT_TRUE(f.ui().isOpen("Edit"));

    ASSERT_TRUE(f.ui().click("Edit/Update Changes"));
    ASSERT_TRUE(f.ui().isOpen("Edit Error"));
    EXPECT_TRUE(f.ui().hasText("You didn't change anything !", "Edit Error"));
    ASSERT_TRUE(f.ui().click("Edit Error/OK"));

    // An MMR text is refreshed on every send: it is no change.
    f.locked([](CRW& p) { return p.editSettings.playlists[0].mmr = "1999"; });
    ASSERT_TRUE(f.ui().click("Edit/Update Changes"));
    ASSERT_TRUE(f.ui().isOpen("Edit Error"));
    ASSERT_TRUE(f.ui().click("Edit Error/OK"));

    ASSERT_TRUE(f.ui().click("##RegionsListChild/Europe"));
    ASSERT_TRUE(f.ui().click("Edit/Update Changes"));
    ASSERT_TRUE(f.ui().isOpen("Edit Confirmation"));
    EXPECT_TRUE(f.ui().hasText("Do you really want to update the changes ?", "Edit Confirmation"));
    ASSERT_TRUE(f.ui().click("Edit Confirmation/Yes"));
    ASSERT_TRUE(f.host().waitFor([&] { return !f.requests("/UpdateRegistration").empty(); }, 5s));
    EXPECT_NE(f.requests("/UpdateRegistration")[0].body.find("Europe"), std::string::npos);
}

TEST(EditPopup, CancelRestoresTheLastRegisteredSettings)
{
    UiFixture f;
    registerWithBaseline(f);
    ASSERT_TRUE(f.ui().click("Edit"));
    ASSERT_TRUE(f.ui().type("##titleBuff", "changed"));
    ASSERT_TRUE(f.ui().click(checkbox("Hoops")));
    ASSERT_TRUE(f.ui().click("Edit/Cancel"));
    EXPECT_FALSE(f.ui().isOpen("Edit"));
    EXPECT_TRUE(f.locked([](CRW& p) { return crw::settingsEqual(p.editSettings, p.editBaseline); }));
    ASSERT_TRUE(f.ui().click("Edit"));
    EXPECT_TRUE(f.ui().hasText("Edit"));
    EXPECT_EQ(f.locked([](CRW& p) { return p.editSettings.titleText(); }), "mine");
}

TEST(EditPopup, EmptiedFormIsRefused)
{
    UiFixture f;
    registerWithBaseline(f);
    ASSERT_TRUE(f.ui().click("Edit"));
    ASSERT_TRUE(f.ui().click("Edit/Reset"));
    ASSERT_TRUE(f.ui().click("Edit/Update Changes"));
    EXPECT_TRUE(f.ui().isOpen("Edit Title Error"));
    ASSERT_TRUE(f.ui().click("Edit Title Error/OK"));
    ASSERT_TRUE(f.ui().type("##titleBuff", "x"));
    ASSERT_TRUE(f.ui().click("Edit/Update Changes"));
    EXPECT_TRUE(f.ui().isOpen("Edit Playlists Error"));
}

TEST(EditPopup, StopAsksThenStops)
{
    UiFixture f;
    registerWithBaseline(f);
    ASSERT_TRUE(f.ui().click("Edit"));
    ASSERT_TRUE(f.ui().click("Edit/Stop"));
    ASSERT_TRUE(f.ui().isOpen("Stop Confirmation"));
    EXPECT_TRUE(f.ui().hasText("Do you really want to stop ?", "Stop Confirmation"));
    ASSERT_TRUE(f.ui().click("Stop Confirmation/No"));
    EXPECT_FALSE(f.ui().isOpen("Stop Confirmation"));
    EXPECT_FALSE(f.host().waitForLog("Error websocket connection is null !", 0ms));

    ASSERT_TRUE(f.ui().click("Edit/Stop"));
    ASSERT_TRUE(f.ui().click("Stop Confirmation/Yes"));
    EXPECT_FALSE(f.ui().isOpen("Stop Confirmation"));
    // No socket is open in this test: Stop runs and reports just that.
    EXPECT_TRUE(f.host().waitForLog("Error websocket connection is null !", 2s));
}

TEST(FilterPopup, ApplyCloseAndReset)
{
    UiFixture f;
    std::vector<crw::Searcher> all = {makeSearcher("a", "A"), makeSearcher("b", "B"), makeSearcher("c", "C")};
    all[1].regions = {"Asia-East"};
    f.setSearchers(all);
    f.locked([](CRW& p) {
        p.searchers.resize(1); // as left by an earlier filter
        ++p.searchersVersion;
        return 0;
    });

    // Nothing chosen: everyone comes back.
    ASSERT_TRUE(f.ui().click("Filter"));
    ASSERT_TRUE(f.ui().isOpen("Filter"));
    EXPECT_FALSE(f.ui().exists("##titleBuff"));
    ASSERT_TRUE(f.ui().click("Filter/Apply"));
    EXPECT_FALSE(f.ui().isOpen("Filter"));
    ASSERT_TRUE(f.host().waitFor([&] { return f.locked([](CRW& p) { return p.searchers.size() == 3; }); }, 5s));

    // "Close" keeps the choice and leaves the list alone.
    ASSERT_TRUE(f.ui().click("Filter"));
    ASSERT_TRUE(f.ui().click("##RegionsListChild/Europe"));
    ASSERT_TRUE(f.ui().click("Filter/Close"));
    f.host().drainGame();
    EXPECT_TRUE(f.locked([](CRW& p) { return regionEnabled(p.filterSettings, "Europe"); }));
    EXPECT_EQ(f.locked([](CRW& p) { return p.searchers.size(); }), 3u);

    // "Reset" clears the choice only.
    ASSERT_TRUE(f.ui().click("Filter"));
    ASSERT_TRUE(f.ui().click("Filter/Reset"));
    EXPECT_FALSE(f.locked([](CRW& p) { return regionEnabled(p.filterSettings, "Europe"); }));
    f.host().drainGame();
    EXPECT_EQ(f.locked([](CRW& p) { return p.searchers.size(); }), 3u);

    // Applied, the choice narrows the list.
    ASSERT_TRUE(f.ui().click("##RegionsListChild/Europe"));
    ASSERT_TRUE(f.ui().click("Filter/Apply"));
    ASSERT_TRUE(f.host().waitFor([&] { return f.locked([](CRW& p) { return p.searchers.size() == 2; }); }, 5s));
    f.ui().frame();
    EXPECT_TRUE(f.ui().hasText("Crewfinder (2)"));
}

TEST(Presets, SaveEmptiesTheNameAndTheNextFrameListsIt)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Filter"));
    ASSERT_TRUE(f.ui().click(checkbox("Hoops")));
    ASSERT_TRUE(f.ui().click("Presets"));
    ASSERT_TRUE(f.ui().click("Save Preset"));
    ASSERT_TRUE(f.ui().type("##presetName", "hoops night"));
    EXPECT_STREQ(crw::presetNameBuffer, "hoops night");
    ASSERT_TRUE(f.ui().click("Save"));
    EXPECT_STREQ(crw::presetNameBuffer, "");
    EXPECT_TRUE(std::filesystem::exists(f.dataDir() / "CRW" / "presets" / "hoops night.json"));

    // Loaded into the register form it replaces that form at once. The first
    // click only dismisses the open menus.
    ASSERT_TRUE(f.ui().click("##Filter"));
    ASSERT_TRUE(f.ui().click("Filter/Close"));
    ASSERT_FALSE(f.ui().isOpen("Filter"));
    ASSERT_TRUE(f.ui().click("Create"));
    ASSERT_TRUE(f.ui().click("Presets"));
    ASSERT_TRUE(f.ui().click("Load Preset"));
    ASSERT_TRUE(f.ui().exists("hoops night"));
    ASSERT_TRUE(f.ui().click("hoops night"));
    // Read on the game thread, off the frame.
    EXPECT_TRUE(
        f.host().waitFor([&] { return f.locked([](CRW& p) { return enabled(p.registerSettings, "Hoops"); }); }, 5s));
    EXPECT_EQ(f.locked([](CRW& p) { return p.registerSettings.selectedPlaylists().size(); }), 1u);
}

TEST(Presets, HugePresetsDrawTheFixedRowsAndEmptyOnesNone)
{
    UiFixture f;
    const auto folder = f.dataDir() / "CRW" / "presets";
    std::ofstream(folder / "norows.json") << "{}";
    std::string rows;
    for (int i = 0; i < 1000; ++i) {
        rows += std::string(i ? "," : "") + "{\"name\":\"r" + std::to_string(i) + "\",\"enabled\":true}";
    }
    std::ofstream(folder / "huge.json") << "{\"playlists\":[" << rows << "],\"regions\":[" << rows << "]}";
    auto load = [&](const char* label) {
        ASSERT_TRUE(f.ui().click("Presets"));
        ASSERT_TRUE(f.ui().click("Load Preset"));
        ASSERT_TRUE(f.ui().click(label));
        f.host().drainGame();
        f.ui().frame(3);
    };
    ASSERT_TRUE(f.ui().click("Filter"));
    load("huge");
    EXPECT_TRUE(f.ui().isOpen("Filter"));
    EXPECT_EQ(f.locked([](CRW& p) { return p.filterSettings.regions.size(); }), 11u);

    load("norows");
    EXPECT_TRUE(f.locked([](CRW& p) { return p.filterSettings.playlists.empty(); }));
    EXPECT_TRUE(f.ui().isOpen("Filter"));
    EXPECT_FALSE(f.ui().exists("##CheckboxImage"));
}

TEST(Presets, OutOfRangeVoiceChatShowsNothingAndRestartsTheCycle)
{
    UiFixture f;
    f.locked([](CRW& p) { return p.filterSettings.voiceChat = 7; });
    ASSERT_TRUE(f.ui().click("Filter"));
    ASSERT_TRUE(f.ui().hover("##VoiceChat Widget"));
    EXPECT_TRUE(f.ui().hasText("VoiceChat"));
    ASSERT_TRUE(f.ui().click("##VoiceChat Widget"));
    EXPECT_EQ(f.locked([](CRW& p) { return p.filterSettings.voiceChat; }), 0);
}

TEST(Presets, ScriptLookupReachesTheMenuBarOfEachPopup)
{
    UiFixture f;
    for (const char* popup : {"Filter", "Create"}) {
        SCOPED_TRACE(popup);
        ASSERT_TRUE(f.ui().click(popup));
        f.ui().frame(2);
        // Menu-bar items lie outside the popup's content area.
        const auto presets = f.ui().frontItem("Presets", popup);
        ASSERT_TRUE(presets.has_value());
        EXPECT_GT(presets->rect.GetWidth(), 0.f);
        EXPECT_GT(presets->rect.GetHeight(), 0.f);
        ASSERT_TRUE(f.ui().click(std::string(popup) + "/Close"));
    }
}
