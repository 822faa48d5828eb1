#include <gtest/gtest.h>

#include "plugin/Records.h"
#include "plugin/Texts.h"

using namespace crw;

TEST(Records, DefaultsAndSearcherEquality)
{
    PlaylistSetting p;
    EXPECT_EQ(p.name, "Ranked-2v2");
    EXPECT_EQ(p.id, 11);
    EXPECT_EQ(p.mmr, "-1");
    EXPECT_EQ(p.range, 0);
    EXPECT_FALSE(p.enabled);

    Searcher a{"t", "n", "id", {}, {"Europe"}, {"English", "French"}, "any"};
    Searcher b = a;
    b.playlists.push_back(PlaylistSetting{});
    EXPECT_TRUE(a == b) << "playlists are not compared";
    b = a;
    b.languages = {"French", "English"};
    EXPECT_FALSE(a == b) << "language order matters";
    b = a;
    b.voiceChat = "true";
    EXPECT_FALSE(a == b);
    b = a;
    b.regions.push_back("Asia-East");
    EXPECT_FALSE(a == b);
}

TEST(Records, ResetAndSettingsEqual)
{
    auto fresh = SearcherSettings::fromFixedLists(fixedPlaylists(), fixedRegions(), fixedLanguages());
    auto s = fresh;
    s.setTitle("My title");
    s.playlists[1].enabled = true;
    s.playlists[1].range = 50;
    s.playlists[1].mmr = "1234.5";
    s.regions[3].enabled = true;
    s.languages[8].enabled = true;
    s.voiceChat = 2;
    EXPECT_FALSE(settingsEqual(s, fresh));

    resetSettings(s);
    EXPECT_EQ(s.titleText(), "");
    EXPECT_EQ(s.playlists[1].mmr, "1234.5") << "reset leaves MMR texts";
    EXPECT_TRUE(settingsEqual(s, fresh)) << "MMR texts are not compared";

    auto t = fresh;
    t.playlists[0].range = 1;
    EXPECT_FALSE(settingsEqual(t, fresh));
    t = fresh;
    t.languages.pop_back();
    EXPECT_FALSE(settingsEqual(t, fresh));
    t = fresh;
    t.voiceChat = 1;
    EXPECT_FALSE(settingsEqual(t, fresh));

    // A copy carries the title buffer.
    s.setTitle("copied");
    SearcherSettings c = s;
    EXPECT_EQ(c.titleText(), "copied");
}

TEST(Records, TitleIsCutWithoutSplittingACharacter)
{
    SearcherSettings s;
    std::string text(126, 'a');
    text += "\xC3\xA9"; // a two-byte character straddling the 127-byte limit
    s.setTitle(text);
    EXPECT_EQ(s.titleText(), std::string(126, 'a'));
    s.setTitle(std::string(300, 'b'));
    EXPECT_EQ(s.titleText().size(), 127u);
}

TEST(Records, VoiceChatText)
{
    EXPECT_EQ(voiceChatText(0), "any");
    EXPECT_EQ(voiceChatText(1), "true");
    EXPECT_EQ(voiceChatText(2), "false");
    EXPECT_EQ(voiceChatText(7), "");
    EXPECT_EQ(voiceChatText(-1), "");
}

TEST(Texts, FixedListsInOrderWithIds)
{
    auto p = fixedPlaylists();
    ASSERT_EQ(p.size(), 10u);
    const std::pair<const char*, int> expected[] = {{"Ranked-2v2", 11}, {"Ranked-3v3", 13}, {"Casual-2v2", 2},
                                                    {"Casual-3v3", 3},  {"Tournament", 22}, {"Rumble", 28},
                                                    {"Dropshot", 29},   {"Hoops", 27},      {"Snowday", 30},
                                                    {"Other", -1}};
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(p[i].name, expected[i].first);
        EXPECT_EQ(p[i].id, expected[i].second);
        EXPECT_EQ(p[i].mmr, "-1");
        EXPECT_EQ(p[i].range, 0);
        EXPECT_FALSE(p[i].enabled);
    }
    auto r = fixedRegions();
    auto l = fixedLanguages();
    ASSERT_EQ(r.size(), 11u);
    ASSERT_EQ(l.size(), 36u);
    EXPECT_EQ(r.front().name, "Europe");
    EXPECT_EQ(r.back().name, "India");
    EXPECT_EQ(l.front().name, "Albanian");
    EXPECT_EQ(l.back().name, "Vietnamese");
    EXPECT_TRUE(std::is_sorted(l.begin(), l.end(), [](auto& a, auto& b) { return a.name < b.name; }));
    for (const auto& f : r) {
        EXPECT_FALSE(f.enabled);
    }
}

TEST(Texts, TablesDifferWhereTheyShould)
{
    auto en = englishTextTable();
    auto fr = frenchTextTable();
    EXPECT_EQ(en.languageName, "English");
    EXPECT_EQ(fr.languageName, "French");
    EXPECT_EQ(en.filter, "Filter");
    EXPECT_EQ(fr.filter, "Filtrer");
    EXPECT_EQ(en.create, "Create");
    EXPECT_EQ(fr.create, "Creer");
    EXPECT_EQ(en.confirmInvite, "Do you want to request an invite from");
    EXPECT_EQ(fr.areYouSure, "Etes-vous sur ?");
    EXPECT_EQ(en.tooFastInvites, "Too fast, don't spam invites, wait 10 seconds !");
    EXPECT_NE(en.createHelp.find("click on \"Create\", here"), std::string::npos);
    EXPECT_EQ(fr.optionalHelp.front(), '"');
    // Plain ASCII in both languages.
    for (const std::string* s : {&en.searchHelp, &fr.searchHelp, &fr.rangeExample, &en.creditsMaker}) {
        for (unsigned char ch : *s) {
            EXPECT_LT(ch, 128);
        }
    }
    EXPECT_EQ(std::string(kMakerIdString).size(), 39u);
}
