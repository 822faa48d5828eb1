#include <gtest/gtest.h>

#include "MatchingTestUtil.h"

using namespace crwtest;

namespace {

crw::Searcher searcher(const std::string& name, std::vector<std::string> playlistNames,
                       std::vector<std::string> regions = {"Any"}, std::vector<std::string> languages = {"Any"},
                       const std::string& voiceChat = "any")
{
    crw::Searcher s;
    s.title = "title of " + name;
    s.creatorName = name;
    for (const auto& p : playlistNames) {
        crw::PlaylistSetting row;
        row.name = p;
        s.playlists.push_back(row);
    }
    s.regions = std::move(regions);
    s.languages = std::move(languages);
    s.voiceChat = voiceChat;
    return s;
}

void enable(std::vector<crw::NamedFlag>& rows, const std::string& name)
{
    for (auto& r : rows) {
        if (r.name == name) {
            r.enabled = true;
            return;
        }
    }
    FAIL() << "no row " << name;
}

class Filters : public ::testing::Test {
protected:
    CRW& p() { return f.plugin(); }

    // Runs the filter over the given list and returns the names shown.
    std::vector<std::string> apply(std::vector<crw::Searcher> list)
    {
        {
            auto lock = lockState(p());
            p().allSearchers = std::move(list);
        }
        f.host().clearRecords();
        p().ApplyFilters();
        auto lock = lockState(p());
        return creatorNames(p().searchers);
    }

    crw::SearcherSettings& filter() { return p().filterSettings; }

    PluginFixture f;
};

} // namespace

TEST_F(Filters, NothingSelectedKeepsEveryoneInOrder)
{
    auto shown =
        apply({searcher("b", {"Ranked-2v2"}, {}, {}, "false"), searcher("a", {}, {"Asia"}, {"French"}, "true")});
    EXPECT_EQ(shown, (std::vector<std::string>{"b", "a"}));
    const std::vector<std::string> perSearcher{"Filter matches for playlists", "Filter matches for regions",
                                               "Filter matches for languages"};
    std::vector<std::string> expected = perSearcher;
    expected.insert(expected.end(), perSearcher.begin(), perSearcher.end());
    expected.push_back("Filters applied!");
    EXPECT_EQ(f.host().logs(), expected);
}

TEST_F(Filters, PlaylistSelectionIsAnyOf)
{
    for (auto& row : filter().playlists) {
        if (row.name == "Ranked-3v3") {
            row.enabled = true;
            row.range = 300; // ranges and MMR texts of the filter play no part
            row.mmr = "5";
        }
    }
    auto shown = apply({searcher("both", {"Ranked-2v2", "Ranked-3v3"}), searcher("two", {"Ranked-2v2"}),
                        searcher("lower", {"ranked-3v3"})});
    EXPECT_EQ(shown, std::vector<std::string>{"both"});
    const auto logs = f.host().logs();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "No playlists matches the filters!"), 2);
    // A rejected searcher is not looked at any further.
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "Filter matches for regions"), 1);
}

TEST_F(Filters, RegionsAndLanguagesMatchExactlyOrAny)
{
    enable(filter().regions, "Europe");
    auto shown = apply({searcher("any", {}, {"Any"}), searcher("eu", {}, {"Asia", "Europe"}), searcher("none", {}, {}),
                        searcher("lower", {}, {"europe"}), searcher("anyLower", {}, {"any"})});
    EXPECT_EQ(shown, (std::vector<std::string>{"any", "eu"}));
    const auto logs = f.host().logs();
    EXPECT_TRUE(hasLine(logs, "Filter matches : Any"));
    EXPECT_TRUE(hasLine(logs, "Filter matches : Europe"));
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "No regions matches the filters!"), 3);

    resetSettings(filter());
    enable(filter().languages, "French");
    enable(filter().languages, "German");
    shown = apply({searcher("de", {}, {"Any"}, {"German"}), searcher("en", {}, {"Any"}, {"English"}),
                   searcher("any", {}, {"Any"}, {"Any"})});
    EXPECT_EQ(shown, (std::vector<std::string>{"de", "any"}));
    EXPECT_TRUE(hasLine(f.host().logs(), "No languages matches the filters!"));
}

TEST_F(Filters, VoiceChat)
{
    const std::vector<crw::Searcher> list{searcher("on", {}, {"Any"}, {"Any"}, "true"),
                                          searcher("off", {}, {"Any"}, {"Any"}, "false"),
                                          searcher("either", {}, {"Any"}, {"Any"}, "any")};
    filter().voiceChat = 1;
    EXPECT_EQ(apply(list), (std::vector<std::string>{"on", "either"}));
    EXPECT_TRUE(hasLine(f.host().logs(), "Voice Chat doesn't matches the filters!"));
    filter().voiceChat = 2;
    EXPECT_EQ(apply(list), (std::vector<std::string>{"off", "either"}));
    filter().voiceChat = 0;
    EXPECT_EQ(apply(list).size(), 3u);
}

TEST_F(Filters, ARefreshShowsTheWholeListUntilAppliedAgain)
{
    enable(filter().regions, "Europe");
    const std::string answer = listAnswer({listEntry("eu", "[" + playlist("Other", "0", "0") + "]", "[\"Europe\"]"),
                                           listEntry("asia", "[" + playlist("Other", "0", "0") + "]", "[\"Asia\"]")});
    deliverList(p(), {}, 200, answer);
    uint64_t version;
    {
        auto lock = lockState(p());
        version = p().searchersVersion;
    }
    p().ApplyFilters();
    {
        auto lock = lockState(p());
        EXPECT_EQ(creatorNames(p().searchers), std::vector<std::string>{"eu"});
        EXPECT_EQ(p().allSearchers.size(), 2u);
        EXPECT_GT(p().searchersVersion, version);
        p().ClearSearchers();
    }
    deliverList(p(), {}, 200, answer);
    {
        auto lock = lockState(p());
        EXPECT_EQ(creatorNames(p().searchers), (std::vector<std::string>{"eu", "asia"}));
    }
    p().ApplyFilters();
    auto lock = lockState(p());
    EXPECT_EQ(creatorNames(p().searchers), std::vector<std::string>{"eu"});
}

TEST(Keyword, FoldsOnlyAsciiLetters)
{
    EXPECT_EQ(CRW::asciiLower("RANKED Été ÀB z9_"), "ranked Été Àb z9_");
    const std::string title = CRW::asciiLower("ranked 2v2 chill");
    EXPECT_TRUE(CRW::keywordMatches(title, CRW::asciiLower("RANK")));
    EXPECT_TRUE(CRW::keywordMatches(title, ""));
    EXPECT_FALSE(CRW::keywordMatches(title, CRW::asciiLower("casual")));
    // Non-ASCII letters must match byte for byte: É does not find é.
    const std::string french = CRW::asciiLower("Équipe été");
    EXPECT_TRUE(CRW::keywordMatches(french, CRW::asciiLower("ÉQUIPE")));
    EXPECT_FALSE(CRW::keywordMatches(french, CRW::asciiLower("ÉTÉ")));
    // Spaces are ordinary characters.
    EXPECT_TRUE(CRW::keywordMatches("a  b", "  "));
    EXPECT_FALSE(CRW::keywordMatches("a b", "  "));
}
