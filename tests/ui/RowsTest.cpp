#include <gtest/gtest.h>

#include "UiTestUtil.h"
#include "plugin/Globals.h"

using namespace crwtest;

namespace {

std::string rowPath(int index) { return "##Searchers/#" + std::to_string(index) + "/##Searcher"; }

void scrollList(crwui::UiDriver& ui, float y)
{
    ImGuiWindow* list = ui.findWindow("##Searchers");
    ASSERT_NE(list, nullptr);
    ImGui::SetScrollY(list, y);
    ui.frame(2);
}

} // namespace

TEST(Rows, DoubleClickAsksThenRequestsAnInviteWithACopyOfTheRow)
{
    UiFixture f;
    f.setSearchers({makeSearcher("first", "Alice", "Epic|alice|0"), makeSearcher("second", "Bob", "Epic|bob|0")});
    f.ui().frame();

    ASSERT_TRUE(f.ui().doubleClick(rowPath(1)));
    ASSERT_TRUE(f.ui().isOpen("Request Invite"));
    EXPECT_TRUE(f.ui().hasText("Do you want to request an invite from Bob?", "Request Invite"));

    // The list changes before the game thread runs the job: Bob is still the one invited.
    f.host().clearRecords();
    ASSERT_TRUE(f.ui().click("Request Invite/Yes"));
    EXPECT_FALSE(f.ui().isOpen("Request Invite"));
    f.host().drainGame();
    const auto sent = f.requests("/RequestInvite");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].body.find("Epic|bob|0"), std::string::npos);
    EXPECT_FALSE(f.locked([](CRW& p) { return p.canRequestInvite; }));

    // Within ten seconds a second request is refused.
    ASSERT_TRUE(f.ui().doubleClick(rowPath(0)));
    EXPECT_FALSE(f.ui().isOpen("Request Invite"));
    ASSERT_TRUE(f.ui().isOpen("Don't Spam Invites"));
    EXPECT_TRUE(f.ui().hasText("Too fast, don't spam invites, wait 10 seconds !", "Don't Spam Invites"));
    ASSERT_TRUE(f.ui().click("Don't Spam Invites/OK"));
    EXPECT_EQ(f.requests("/RequestInvite").size(), 1u);
}

TEST(Rows, NoSendsNothingAndASingleClickAsksNothing)
{
    UiFixture f;
    f.setSearchers({makeSearcher("first", "Alice")});
    f.ui().frame();
    ASSERT_TRUE(f.ui().click(rowPath(0)));
    EXPECT_FALSE(f.ui().isOpen("Request Invite"));
    ASSERT_TRUE(f.ui().doubleClick(rowPath(0)));
    ASSERT_TRUE(f.ui().click("Request Invite/No"));
    EXPECT_FALSE(f.ui().isOpen("Request Invite"));
    f.host().drainGame();
    EXPECT_TRUE(f.requests("/RequestInvite").empty());
    EXPECT_TRUE(f.locked([](CRW& p) { return p.canRequestInvite; }));
}

TEST(Rows, DoubleClickOnTheOwnRowOpensEdit)
{
    UiFixture f;
    f.setRegistered(makeSearcher("mine", "TestPlayer"));
    f.setSearchers({makeSearcher("other", "Alice")});
    f.ui().frame();
    ASSERT_TRUE(f.ui().doubleClick("##Searchers/##Searcher"));
    EXPECT_TRUE(f.ui().isOpen("Edit"));
    EXPECT_FALSE(f.ui().isOpen("Request Invite"));
}

TEST(Rows, KeywordIsAppliedBeforeTheListIsClipped)
{
    UiFixture f;
    std::vector<crw::Searcher> list;
    for (int i = 0; i < 300; ++i) {
        list.push_back(makeSearcher((i % 3 == 0 ? "match " : "other ") + std::to_string(i), "P" + std::to_string(i)));
    }
    f.setSearchers(list);
    std::snprintf(crw::keywordBuffer, sizeof(crw::keywordBuffer), "MATCH");
    f.ui().frame();
    EXPECT_EQ(f.rowsWithText("match 0").size(), 1u);
    EXPECT_TRUE(f.rowsWithText("other 1").empty());

    // Only the rows in view are drawn.
    int drawnRows = 0;
    for (const auto& t : f.ui().texts("##Searchers")) {
        drawnRows += t.text.rfind("match ", 0) == 0;
    }
    EXPECT_GT(drawnRows, 3);
    EXPECT_LT(drawnRows, 60);

    // The end of the list holds the last matching title, not the last title.
    scrollList(f.ui(), 1e6f);
    EXPECT_EQ(f.rowsWithText("match 297").size(), 1u);
    EXPECT_TRUE(f.rowsWithText("match 0").empty());
}

TEST(Rows, InviteQuestionSurvivesScrollingItsRowOutOfView)
{
    UiFixture f;
    std::vector<crw::Searcher> list;
    for (int i = 0; i < 200; ++i) {
        list.push_back(makeSearcher("team " + std::to_string(i), "P" + std::to_string(i)));
    }
    f.setSearchers(list);
    f.ui().frame();
    ASSERT_TRUE(f.ui().doubleClick(rowPath(0)));
    ASSERT_TRUE(f.ui().isOpen("Request Invite"));
    scrollList(f.ui(), 1e6f);
    EXPECT_TRUE(f.rowsWithText("team 0").empty());
    ASSERT_TRUE(f.ui().isOpen("Request Invite"));
    EXPECT_TRUE(f.ui().hasText("Do you want to request an invite from P0?", "Request Invite"));
    ASSERT_TRUE(f.ui().click("Request Invite/Yes"));
    f.host().drainGame();
    const auto sent = f.requests("/RequestInvite");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].body.find("Epic|P0|0"), std::string::npos);
}

TEST(Rows, InviteQuestionClosesWhenItsRowIsGone)
{
    UiFixture f;
    f.setSearchers({makeSearcher("first", "Alice")});
    f.ui().frame();
    ASSERT_TRUE(f.ui().doubleClick(rowPath(0)));
    ASSERT_TRUE(f.ui().isOpen("Request Invite"));
    f.setSearchers({});
    f.ui().frame(2);
    EXPECT_FALSE(f.ui().isOpen("Request Invite"));
    ASSERT_TRUE(f.ui().click("How to use"));
    EXPECT_TRUE(f.ui().isOpen("How to use"));
}

TEST(Rows, CellsShowNamesJoinedAndOtherWithoutMMR)
{
    UiFixture f;
    crw::Searcher s = makeSearcher("cells", "Alice");
    s.regions = {"Europe", "Any"};
    s.languages = {};
    crw::PlaylistSetting other;
    other.name = "Other";
    other.mmr = "777";
    s.playlists = {other};
    f.setSearchers({s});
    f.ui().frame();
    EXPECT_TRUE(f.ui().hasText("Europe | Any", "##Searchers"));
    EXPECT_FALSE(f.ui().hasTextContaining("777", "##Searchers"));

    ASSERT_TRUE(f.ui().click("Language"));
    ASSERT_TRUE(f.ui().click("French"));
    EXPECT_TRUE(f.ui().hasText("Europe | Toutes", "##Searchers"));
}

TEST(Rows, PlaylistCellShowsMMRAndRange)
{
    UiFixture f;
    crw::Searcher s = makeSearcher("cells", "Alice");
    s.playlists[0].mmr = "1500";
    s.playlists[0].range = 50;
    f.setSearchers({s});
    f.ui().frame();
    EXPECT_TRUE(f.ui().hasText(" : 1500", "##Searchers"));
    EXPECT_TRUE(f.ui().hasText(" +/- 50", "##Searchers"));
}

// The row's highlight must be seen over its cells, which are child windows
// drawn on top of the row's own draw list.
TEST(Rows, HoverHighlightIsDrawnInTheCells)
{
    UiFixture f;
    f.setSearchers({makeSearcher("first", "Alice", "Epic|alice|0")});
    f.ui().frame();
    ASSERT_TRUE(f.ui().hover(rowPath(0)));
    f.ui().frame(2);
    const ImU32 highlight = ImGui::ColorConvertFloat4ToU32(ImVec4(47 / 255.f, 116 / 255.f, 178 / 255.f, 100 / 255.f));
    int cellsLit = 0;
    for (ImGuiWindow* w : f.ui().context()->Windows) {
        if (w->Active && std::string(w->Name).find("##Searcher_") != std::string::npos &&
            std::string(w->Name).find("##element") != std::string::npos) {
            for (const ImDrawVert& v : w->DrawList->VtxBuffer) {
                if (v.col == highlight) {
                    ++cellsLit;
                    break;
                }
            }
        }
    }
    EXPECT_EQ(cellsLit, 6);
}
