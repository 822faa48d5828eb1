#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "UiTestUtil.h"
#include "plugin/Globals.h"

using namespace crwtest;

namespace {

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::size_t countLogs(TestHost& host, const std::string& line)
{
    std::size_t n = 0;
    for (const auto& l : host.logs()) {
        n += l == line;
    }
    return n;
}

} // namespace

TEST(MainWindow, HeaderCountsTheShownSearchers)
{
    UiFixture f;
    EXPECT_TRUE(f.ui().hasText("Crewfinder"));
    EXPECT_FALSE(f.ui().hasTextContaining("Crewfinder ("));

    std::vector<crw::Searcher> list;
    for (int i = 0; i < 12; ++i) {
        list.push_back(makeSearcher("team " + std::to_string(i), "P" + std::to_string(i)));
    }
    f.setSearchers(list);
    f.ui().frame();
    EXPECT_TRUE(f.ui().hasText("Crewfinder (12)"));
}

TEST(MainWindow, RefreshIsGuardedAndTheArrowTurnsWhileLoading)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("##Refresh"));
    f.host().drainGame();
    EXPECT_EQ(f.requests("/list").size(), 1u);
    EXPECT_TRUE(f.locked([](CRW& p) { return p.isLoadingSearchers; }));

    // The request is still in flight: the arrow turns one degree per frame.
    const float before = f.locked([](CRW& p) { return p.refreshAngle; });
    f.ui().frame(5);
    EXPECT_FLOAT_EQ(f.locked([](CRW& p) { return p.refreshAngle; }), before + 5.f);

    // A second click inside the guard interval sends nothing.
    ASSERT_TRUE(f.ui().click("##Refresh"));
    f.host().drainGame();
    EXPECT_TRUE(f.ui().isOpen("Don't Spam"));
    EXPECT_TRUE(f.ui().hasText("Too fast, don't spam !", "Don't Spam"));
    EXPECT_EQ(f.requests("/list").size(), 1u);
    ASSERT_TRUE(f.ui().click("Don't Spam/OK"));
    EXPECT_FALSE(f.ui().isOpen("Don't Spam"));

    ASSERT_TRUE(f.answer("/list", 200, "[]"));
    f.host().settle();
    f.ui().frame();
    EXPECT_FLOAT_EQ(f.locked([](CRW& p) { return p.refreshAngle; }), 0.f);
}

TEST(MainWindow, RefreshIsAllowedAgainAfterTheGuardInterval)
{
    crw::Intervals fast;
    fast.refresh = 50;
    crw::setIntervals(fast);
    UiFixture f;
    crw::setIntervals(crw::Intervals{});
    ASSERT_TRUE(f.ui().click("##Refresh"));
    ASSERT_TRUE(f.host().waitFor([&] { return f.locked([](CRW& p) { return p.canRefresh; }); }, 2s));
    ASSERT_TRUE(f.ui().click("##Refresh"));
    f.host().drainGame();
    EXPECT_FALSE(f.ui().isOpen("Don't Spam"));
    EXPECT_EQ(f.requests("/list").size(), 2u);
}

TEST(MainWindow, KeywordMatchesTitlesOnlyAndIgnoresLetterCase)
{
    UiFixture f;
    f.setSearchers({makeSearcher("ranked grind", "Alice"), makeSearcher("Chill games", "Rankmaster")});
    f.ui().frame();
    EXPECT_EQ(f.rowsWithText("ranked grind").size(), 1u);
    EXPECT_EQ(f.rowsWithText("Chill games").size(), 1u);

    ASSERT_TRUE(f.ui().type("##filterTitleBuff", "RANK"));
    f.ui().frame();
    EXPECT_STREQ(crw::keywordBuffer, "RANK");
    EXPECT_EQ(f.rowsWithText("ranked grind").size(), 1u);
    // "Rankmaster" is a creator name: the keyword looks at titles only.
    EXPECT_TRUE(f.rowsWithText("Chill games").empty());

    ASSERT_TRUE(f.ui().type("##filterTitleBuff", "alice"));
    f.ui().frame();
    EXPECT_TRUE(f.rowsWithText("ranked grind").empty());
    EXPECT_TRUE(f.rowsWithText("Chill games").empty());

    // The rows follow a new list even with the keyword unchanged.
    f.setSearchers({makeSearcher("Alice fan club", "Carol")});
    f.ui().frame();
    EXPECT_EQ(f.rowsWithText("Alice fan club").size(), 1u);
}

TEST(MainWindow, OwnEntryComesFirstAndIsNotRepeatedFromTheList)
{
    UiFixture f;
    const crw::Searcher own = makeSearcher("my own team", "TestPlayer", "Epic|me|0");
    crw::Searcher ownFromServer = own;
    ownFromServer.playlists[0].mmr = "1234"; // playlists do not take part in the comparison
    f.setSearchers({makeSearcher("another team", "Alice"), ownFromServer, makeSearcher("zzz", "Bob")});
    f.setRegistered(own);
    std::snprintf(crw::keywordBuffer, sizeof(crw::keywordBuffer), "team");
    f.ui().frame();

    const auto ownRows = f.rowsWithText("my own team");
    ASSERT_EQ(ownRows.size(), 1u);
    const auto otherRows = f.rowsWithText("another team");
    ASSERT_EQ(otherRows.size(), 1u);
    EXPECT_LT(ownRows[0], otherRows[0]);
    EXPECT_TRUE(f.rowsWithText("zzz").empty());

    // The keyword never hides the own entry.
    std::snprintf(crw::keywordBuffer, sizeof(crw::keywordBuffer), "nothing like it");
    f.ui().frame();
    EXPECT_EQ(f.rowsWithText("my own team").size(), 1u);
}

TEST(MainWindow, FrenchChangesEveryCaptionAndIsSaved)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("Language"));
    ASSERT_TRUE(f.ui().click("French"));
    f.ui().frame();
    for (const char* caption : {"Langue", "Comment Utiliser", "Derniere Mise A Jour", "Signaler", "Filtrer", "Creer",
                                "Titre", "Createur", "Chat Vocal"}) {
        EXPECT_TRUE(f.ui().hasText(caption)) << caption;
    }
    EXPECT_FALSE(f.ui().hasText("Filter"));
    EXPECT_NE(readFile(f.dataDir() / "CRW" / "config.json").find("\"Language\":\"French\""), std::string::npos);

    // Popup identifiers follow the language.
    ASSERT_TRUE(f.ui().click("Filtrer"));
    EXPECT_TRUE(f.ui().isOpen("Filtrer"));
}

TEST(MainWindow, LastUpdateReopensTheNoticeAndOkSavesOnce)
{
    UiFixture f;
    EXPECT_FALSE(f.ui().isOpen("New Update"));
    for (int round = 0; round < 2; ++round) {
        f.host().clearRecords();
        ASSERT_TRUE(f.ui().click("last Update"));
        f.ui().frame();
        ASSERT_TRUE(f.ui().isOpen("New Update"));
        EXPECT_TRUE(f.ui().hasText("Changelog v1.0", "New Update"));
        EXPECT_EQ(countLogs(f.host(), "Saved config !"), 0u);
        ASSERT_TRUE(f.ui().click("New Update/OK"));
        EXPECT_FALSE(f.ui().isOpen("New Update"));
        EXPECT_EQ(countLogs(f.host(), "Saved config !"), 1u);
    }
    EXPECT_NE(readFile(f.dataDir() / "CRW" / "config.json").find("\"HasSeeNewUpdateAlert\":\"true\""),
              std::string::npos);
}

TEST(MainWindow, FirstStartShowsTheNoticeWhoseFrenchSwitchLeavesTheWindowAlone)
{
    UiFixture f(false);
    ASSERT_TRUE(f.ui().isOpen("New Update"));
    ASSERT_TRUE(f.ui().click("New Update/French"));
    EXPECT_TRUE(f.ui().hasTextContaining("est un plugin pour trouver", "New Update"));
    EXPECT_TRUE(f.ui().hasText("Filter"));
    ASSERT_TRUE(f.ui().click("New Update/OK"));
    EXPECT_FALSE(f.ui().isOpen("New Update"));
    EXPECT_FALSE(f.locked([](CRW& p) { return p.texts.languageName == "French"; }));
}

TEST(MainWindow, HowToUseOpensAndCloses)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("How to use"));
    f.ui().frame();
    ASSERT_TRUE(f.ui().isOpen("How to use"));
    EXPECT_TRUE(f.ui().hasText("How to use :", "How to use"));
    ASSERT_TRUE(f.ui().click("How to use/OK"));
    EXPECT_FALSE(f.ui().isOpen("How to use"));
    EXPECT_FALSE(f.locked([](CRW& p) { return p.howToUseRequested; }));
}

TEST(MainWindow, CloseButtonClosesTheHostMenuOnce)
{
    UiFixture f;
    ASSERT_TRUE(f.ui().click("#CLOSE"));
    f.ui().frame(3);
    f.host().drainGame();
    int toggles = 0;
    for (const auto& c : f.host().commands()) {
        toggles += c == "togglemenu CRW";
    }
    EXPECT_EQ(toggles, 1);
}

TEST(MainWindow, MessagePopupShowsItsMessageUntilOk)
{
    UiFixture f;
    f.locked([](CRW& p) {
        p.getSearchersPopup.message = "ERROR 500 | %s%n broken";
        p.getSearchersPopup.open = true;
        return 0;
    });
    f.ui().frame(2);
    ASSERT_TRUE(f.ui().isOpen("Get Searchers"));
    // Server text is shown as it stands, never as a format.
    EXPECT_TRUE(f.ui().hasText("ERROR 500 | %s%n broken", "Get Searchers"));
    EXPECT_FALSE(f.locked([](CRW& p) { return p.getSearchersPopup.open; }));
    ASSERT_TRUE(f.ui().click("Get Searchers/OK"));
    EXPECT_FALSE(f.ui().isOpen("Get Searchers"));
}

// Each opening is centred on the display, as in the host's ImGui; later
// versions would keep the first opening's place for a longer message.
TEST(MessagePopups, EachOpeningIsCentred)
{
    UiFixture f;
    for (const std::string& message : {std::string("short"), std::string(150, 'w')}) {
        f.locked([&](CRW& p) {
            p.getSearchersPopup.message = message;
            return p.getSearchersPopup.open = true;
        });
        f.ui().frame(3);
        ImGuiWindow* popup = f.ui().findWindow("Get Searchers");
        ASSERT_NE(popup, nullptr);
        // Auto-resizing may still grow it a little after the placing frame.
        const ImVec2 display = ImGui::GetIO().DisplaySize;
        EXPECT_NEAR(popup->Pos.x + popup->Size.x / 2, display.x / 2, 20.f) << message;
        EXPECT_NEAR(popup->Pos.y + popup->Size.y / 2, display.y / 2, 20.f) << message;
        ASSERT_TRUE(f.ui().click("Get Searchers/OK"));
    }
}

TEST(MainWindow, StillThereCheckAnsweredYesLeavesTheWindowUsable)
{
    UiFixture f;
    f.locked([](CRW& p) {
        p.stillThereCheck.message = "Are you still there ?";
        p.stillThereCheck.open = true;
        return 0;
    });
    f.ui().frame(2);
    ASSERT_TRUE(f.ui().isOpen("Check"));
    ASSERT_TRUE(f.ui().click("Check/Yes"));
    f.ui().frame();
    EXPECT_FALSE(f.ui().isOpen("Check"));
    EXPECT_FALSE(f.locked([](CRW& p) { return p.stillThereCheck.open; }));
    ASSERT_TRUE(f.ui().click("How to use"));
    f.ui().frame();
    EXPECT_TRUE(f.ui().isOpen("How to use"));
}

TEST(MainWindow, StillThereCheckClearedElsewhereCloses)
{
    UiFixture f;
    f.locked([](CRW& p) {
        p.stillThereCheck.message = "Are you still there ?";
        p.stillThereCheck.open = true;
        return 0;
    });
    f.ui().frame(2);
    ASSERT_TRUE(f.ui().isOpen("Check"));
    f.locked([](CRW& p) { return p.stillThereCheck.open = false; });
    f.ui().frame(2);
    EXPECT_FALSE(f.ui().isOpen("Check"));
    ASSERT_TRUE(f.ui().click("How to use"));
    f.ui().frame();
    EXPECT_TRUE(f.ui().isOpen("How to use"));
}

// Messages wait their turn: ImGui closes an open popup when another opens at
// its level, so none may open over another, "Check" included.
TEST(MessagePopups, TwoRaisedInOneFrameShowOneAfterTheOther)
{
    UiFixture f;
    f.locked([](CRW& p) {
        p.stoppingPopup.message = "You have been removed !";
        p.stoppingPopup.open = true;
        p.stopTimeoutPopup.message = "Timeout : you have been removed !";
        p.stopTimeoutPopup.open = true;
        return 0;
    });
    f.ui().frame(2);
    ASSERT_TRUE(f.ui().isOpen("Stopping"));
    EXPECT_FALSE(f.ui().isOpen("Stop Timeout"));
    ASSERT_TRUE(f.ui().click("Stopping/OK"));
    f.ui().frame(2);
    ASSERT_TRUE(f.ui().isOpen("Stop Timeout"));
    EXPECT_TRUE(f.ui().hasText("Timeout : you have been removed !", "Stop Timeout"));
    ASSERT_TRUE(f.ui().click("Stop Timeout/OK"));
    f.ui().frame(2);
    EXPECT_TRUE(f.ui().openPopups().empty());
}

TEST(MessagePopups, CheckAndMessagesWaitForEachOther)
{
    UiFixture f;
    auto ask = [&] {
        f.locked([](CRW& p) {
            p.stillThereCheck.message = "Do you still want to be on the plugin ?";
            return p.stillThereCheck.open = true;
        });
    };
    auto raise = [&](const std::string& text) {
        f.locked([&](CRW& p) {
            p.getSearchersPopup.message = text;
            return p.getSearchersPopup.open = true;
        });
    };
    ask();
    f.ui().frame(2);
    raise("ERROR 500 | first");
    f.ui().frame(2);
    ASSERT_TRUE(f.ui().isOpen("Check")); // the message waits behind the question
    EXPECT_FALSE(f.ui().isOpen("Get Searchers"));
    ASSERT_TRUE(f.ui().click("Check/Yes"));
    f.ui().frame(2);
    ASSERT_TRUE(f.ui().isOpen("Get Searchers"));
    EXPECT_TRUE(f.ui().hasText("ERROR 500 | first", "Get Searchers"));

    // A question raised while a message is read waits too, behind a message
    // raised in the same frame.
    ask();
    raise("ERROR 502 | second");
    f.ui().frame(2);
    EXPECT_TRUE(f.ui().hasText("ERROR 500 | first", "Get Searchers"));
    EXPECT_FALSE(f.ui().isOpen("Check"));
    ASSERT_TRUE(f.ui().click("Get Searchers/OK"));
    f.ui().frame(2);
    EXPECT_TRUE(f.ui().hasText("ERROR 502 | second", "Get Searchers"));
    ASSERT_TRUE(f.ui().click("Get Searchers/OK"));
    f.ui().frame(2);
    EXPECT_TRUE(f.ui().isOpen("Check"));
}
