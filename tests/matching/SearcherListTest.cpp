#include <cmath>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "MatchingTestUtil.h"
#include "matching/JsonRead.h"
#include "plugin/TextBounds.h"

using namespace std::chrono_literals;
using namespace crwtest;

namespace {

crw::Searcher searcherWith(std::vector<crw::PlaylistSetting> rows)
{
    crw::Searcher s;
    s.creatorName = "S";
    s.playlists = std::move(rows);
    return s;
}

crw::PlaylistSetting row(const std::string& name, const std::string& mmr, int32_t range)
{
    crw::PlaylistSetting p;
    p.name = name;
    p.mmr = mmr;
    p.range = range;
    return p;
}

bool visibleAt(const crw::Searcher& s, float mmr2v2)
{
    return CRW::isSearcherVisible(s, {{"Ranked-2v2", mmr2v2}, {"Ranked-3v3", 0.f}});
}

const std::map<std::string, float> kMMR{{"Ranked-2v2", 1000.f}, {"Ranked-3v3", 500.f}, {"Casual-2v2", 0.f}};

} // namespace

TEST(Visibility, RangeBoundsAreInclusive)
{
    const auto s = searcherWith({row("Ranked-2v2", "1000", 100)});
    for (float shown : {900.f, 1000.f, 1100.f}) {
        EXPECT_TRUE(visibleAt(s, shown)) << shown;
    }
    for (float hidden : {899.9f, 1100.1f}) {
        EXPECT_FALSE(visibleAt(s, hidden)) << hidden;
    }
    const auto narrow = searcherWith({row("Ranked-2v2", "1200", 50)});
    EXPECT_TRUE(visibleAt(narrow, 1150.f));
    EXPECT_TRUE(visibleAt(narrow, 1250.f));
}

TEST(Visibility, PlaylistsWithoutALimit)
{
    // The first playlist excludes, the second has no range.
    EXPECT_TRUE(visibleAt(searcherWith({row("Ranked-2v2", "3000", 10), row("Ranked-3v3", "3000", 0)}), 1000.f));
    // "Other" limits nobody, whatever its MMR text and range.
    const auto other = searcherWith({row("Other", "not a number", 500)});
    EXPECT_TRUE(visibleAt(other, 0.f));
    EXPECT_TRUE(CRW::isSearcherVisible(other, {}));
    EXPECT_FALSE(visibleAt(searcherWith({}), 1000.f));
}

TEST(Visibility, OddRangesAndMMRTexts)
{
    EXPECT_FALSE(visibleAt(searcherWith({row("Ranked-2v2", "1000", -50)}), 1000.f));
    const auto prefixed = searcherWith({row("Ranked-2v2", "1150abc", 10)});
    EXPECT_TRUE(visibleAt(prefixed, 1150.f));
    EXPECT_FALSE(visibleAt(prefixed, 1200.f));
    EXPECT_FALSE(visibleAt(searcherWith({row("Ranked-2v2", "nan", 100)}), 1000.f));
    EXPECT_FALSE(visibleAt(searcherWith({row("Ranked-2v2", "1000", 100)}), std::nanf("")));

    std::string reason;
    EXPECT_FALSE(CRW::isSearcherVisible(searcherWith({row("Ranked-2v2", "abc", 100)}), kMMR, &reason));
    EXPECT_NE(reason.find("abc"), std::string::npos);
    reason.clear();
    EXPECT_FALSE(CRW::isSearcherVisible(searcherWith({row("Ranked-2v2", "1e60", 100)}), kMMR, &reason));
    EXPECT_FALSE(reason.empty());
    // A playlist this version does not know admits nobody by MMR, but the next row still counts.
    EXPECT_FALSE(visibleAt(searcherWith({row("Heatseeker", "1000", 100)}), 1000.f));
    EXPECT_TRUE(visibleAt(searcherWith({row("Heatseeker", "1000", 100), row("Ranked-2v2", "1000", 10)}), 1000.f));
}

TEST(SearcherList, PlaylistsThisVersionDoesNotKnowStayListed)
{
    PluginFixture f;
    f.host().clearRecords();
    const std::string answer =
        listAnswer({listEntry("U1", "[" + playlist("Heatseeker", "700", "0") + "]"),
                    listEntry("U2", "[" + playlist("Heatseeker", "700", "0") + "," +
                                        playlist("Ranked-2v2", "1000", "50") + "]"),
                    listEntry("U3", "[" + playlist("Ranked-2v2", "1000", "0") + "]")});
    deliverList(f.plugin(), kMMR, 200, answer);
    const std::string fine = "No range for this playlist or playlist is Other, searcher is fine !";
    const std::string bar(38, '-');
    const std::vector<std::string> expected{
        "Searchers : \n" + answer, std::string(34, '-'),
        bar, "Name : U1", "idString : id-U1", "Playlists :", "Heatseeker : 700", fine, bar,
        bar, "Name : U2", "idString : id-U2", "Playlists :", "Heatseeker : 700", fine, bar,
        bar, "Name : U3", "idString : id-U3", "Playlists :", "Ranked-2v2 : 1000", fine, bar};
    EXPECT_EQ(f.host().logs(), expected);
    auto lock = lockState(f.plugin());
    EXPECT_EQ(creatorNames(f.plugin().searchers), (std::vector<std::string>{"U1", "U2", "U3"}));
    EXPECT_EQ(f.plugin().searchers[1].playlists.size(), 2u);
}

TEST(SearcherList, AnswerIsParsedFilteredAndLogged)
{
    PluginFixture f;
    {
        auto lock = lockState(f.plugin());
        f.plugin().isLoadingSearchers = true;
    }
    f.host().clearRecords();
    const std::string answer =
        listAnswer({listEntry("near", "[" + playlist("Ranked-2v2", "1050.5", "100") + "]", "[\"Europe\",\"Asia\"]"),
                    listEntry("far", "[" + playlist("Ranked-2v2", "2000", "100") + "]"),
                    listEntry("open", "[" + playlist("Ranked-3v3", "100", "0") + "]", "[\"Any\"]", "true")});
    deliverList(f.plugin(), kMMR, 200, answer);

    auto lock = lockState(f.plugin());
    CRW& p = f.plugin();
    EXPECT_FALSE(p.isLoadingSearchers);
    EXPECT_EQ(creatorNames(p.allSearchers), (std::vector<std::string>{"near", "open"}));
    EXPECT_EQ(creatorNames(p.searchers), creatorNames(p.allSearchers));
    EXPECT_TRUE(p.clearSearchersTimer.isRunning());

    const crw::Searcher& first = p.allSearchers[0];
    EXPECT_EQ(first.title, "title of near");
    EXPECT_EQ(first.creatorIdString, "id-near");
    EXPECT_EQ(first.regions, (std::vector<std::string>{"Europe", "Asia"}));
    EXPECT_EQ(first.languages, (std::vector<std::string>{"Any"}));
    EXPECT_EQ(first.voiceChat, "any");
    ASSERT_EQ(first.playlists.size(), 1u);
    EXPECT_EQ(first.playlists[0].name, "Ranked-2v2");
    EXPECT_EQ(first.playlists[0].mmr, "1050.5");
    EXPECT_EQ(first.playlists[0].range, 100);
    EXPECT_EQ(first.playlists[0].id, 11);
    EXPECT_FALSE(first.playlists[0].enabled);

    const std::vector<std::string> expected{"Searchers : \n" + answer,
                                            "----------------------------------",
                                            "--------------------------------------",
                                            "Name : near",
                                            "idString : id-near",
                                            "Playlists :",
                                            "Ranked-2v2 : 1050.5",
                                            "userPlaylistMMR : 1000 | searcherPlaylistMMR : 1050.5",
                                            "User is in at least in one searcher playlist range !",
                                            "--------------------------------------",
                                            "--------------------------------------",
                                            "Name : far",
                                            "idString : id-far",
                                            "Playlists :",
                                            "Ranked-2v2 : 2000",
                                            "userPlaylistMMR : 1000 | searcherPlaylistMMR : 2000",
                                            "--------------------------------------",
                                            "Name : open",
                                            "idString : id-open",
                                            "Playlists :",
                                            "Ranked-3v3 : 100",
                                            "No range for this playlist or playlist is Other, searcher is fine !",
                                            "--------------------------------------"};
    EXPECT_EQ(f.host().logs(), expected);
}

TEST(SearcherList, HostileAnswersNeverThrowAndAlwaysEndLoading)
{
    PluginFixture f;
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    struct Case {
        std::string text;
        std::vector<std::string> shown;
    };
    const std::vector<Case> cases{
        {"", {}},
        {"<html>not json</html>", {}},
        {"[1,2,3]", {}},
        {"\"Searchers\"", {}},
        {"{\"Searchers\":{\"a\":1}}", {}},
        {"{\"Searchers\":\"list\"}", {}},
        {"{\"Searchers\":[1,\"a\",null,[],true]}", {}},
        {deep, {}},
        {"{\"Searchers\":" + deep + "}", {}},
        // Wrong shapes inside an entry read as empty.
        {"{\"Searchers\":[{\"Title\":{},\"Creator\":\"x\",\"Playlists\":{\"a\":1},\"Regions\":7}]}", {}},
        // Numbers and booleans where strings are expected are read as text.
        {"{\"Searchers\":[{\"Title\":5,\"Creator\":{\"Name\":7,\"IdString\":true},"
         "\"Playlists\":[{\"Playlist\":\"Ranked-2v2\",\"MMR\":1000,\"Range\":100}],\"Regions\":[1,{}],"
         "\"VoiceChat\":1}]}",
         {"7"}},
        // Entries that cannot be evaluated are dropped, the others kept.
        {listAnswer({listEntry("huge", "[" + playlist("Ranked-2v2", "1000", "99999999999") + "]"),
                     listEntry("letters", "[" + playlist("Ranked-2v2", "1000", "abc") + "]"),
                     listEntry("norange", "[{\"Playlist\":\"Other\",\"MMR\":\"1\"}]"),
                     listEntry("bigmmr", "[" + playlist("Ranked-2v2", "1e60", "10") + "]"),
                     listEntry("unknown", "[" + playlist("Soccar", "1000", "10") + "]"),
                     listEntry("unknown-open", "[" + playlist("Soccar", "1000", "0") + "]"),
                     listEntry("max", "[" + playlist("Ranked-2v2", "1000", "2147483647") + "]"),
                     listEntry("lead", "[" + playlist("Ranked-2v2", "1000", "  +5 points") + "]")}),
         {"unknown-open", "max", "lead"}},
    };
    for (const auto& c : cases) {
        {
            auto lock = lockState(f.plugin());
            f.plugin().ClearSearchers();
            f.plugin().isLoadingSearchers = true;
        }
        f.host().clearRecords();
        EXPECT_NO_THROW(deliverList(f.plugin(), kMMR, 200, c.text)) << c.text.substr(0, 80);
        auto lock = lockState(f.plugin());
        EXPECT_FALSE(f.plugin().isLoadingSearchers);
        EXPECT_EQ(creatorNames(f.plugin().searchers), c.shown) << c.text.substr(0, 80);
        EXPECT_TRUE(hasLine(f.host().logs(), "----------------------------------"));
    }
    // Dropped entries are counted in one line, with the first one's reason.
    const auto logs = f.host().logs();
    EXPECT_TRUE(hasLine(logs, "4 searchers dropped, the first (#0) because range \"99999999999\" is not a 32-bit integer"));
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [](const std::string& l) { return l.find("dropped") != std::string::npos; }),
              1);
    auto lock = lockState(f.plugin());
    ASSERT_EQ(f.plugin().searchers.size(), 3u);
    EXPECT_EQ(f.plugin().searchers[2].playlists[0].range, 5);
}

TEST(SearcherList, EntriesReadAsTheirJsonSays)
{
    PluginFixture f;
    const std::string open = playlist("Other", "1", "0");
    // Comments where JSON allows them, escapes, a repeated key (the last counts) and text after the answer.
    const std::string answer = "/* list */ {\"Searchers\" // the entries\n : [{\"Title\":\"a\\\"b\\/\\n\","
                               "\"Creator\":{\"Name\":\"old\"},\"Creator\":{\"Name\":\"n\\u00e9w\",\"IdString\":\"id\"},"
                               "\"Playlists\":[" + playlist("Ranked-2v2", "5000", "1") + "],\"Playlists\":[" + open +
                               "],\"Skip\":{\"x\":[[{}],\"]\"]},\"VoiceChat\":true}]} trailing";
    deliverList(f.plugin(), kMMR, 200, answer);
    {
        auto lock = lockState(f.plugin());
        ASSERT_EQ(f.plugin().searchers.size(), 1u);
        const crw::Searcher& s = f.plugin().searchers[0];
        EXPECT_EQ(s.title, "a\"b/\n");
        EXPECT_EQ(s.creatorName, "n\xc3\xa9w");
        EXPECT_EQ(s.creatorIdString, "id");
        ASSERT_EQ(s.playlists.size(), 1u);
        EXPECT_EQ(s.playlists[0].name, "Other");
        EXPECT_EQ(s.voiceChat, "true");
    }
    // Broken where the tree reader also refuses: a bad escape, a trailing comma, an open comment.
    for (const std::string& text : {"{\"Searchers\":[{\"Title\":\"\\ud800\",\"Playlists\":[" + open + "]}]}",
                                    "{\"Searchers\":[{\"Playlists\":[" + open + "],}]}",
                                    "{\"Searchers\":[{\"Playlists\":[" + open + "]}]} /* open"}) {
        {
            auto lock = lockState(f.plugin());
            f.plugin().ClearSearchers();
        }
        deliverList(f.plugin(), kMMR, 200, text);
        auto lock = lockState(f.plugin());
        EXPECT_EQ(f.plugin().searchers.size(), text.back() == 'n' ? 1u : 0u) << text;
    }
}

TEST(JsonRead, StreamReadsScalarsAsTheTreeDoes)
{
    for (const std::string token :
         {"\"plain\"", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\u00e9\\u20AC\\u0000x\"", "\"\\ud83d\\ude00\"",
          "\"\\udc00\"", "\"\\ud83dxxxxxx\"", "\"\\ud83d\"", "\"\\u12g4\"", "\"\\q\"", "0", "-0", "007", "-42",
          "999999999999999999", "18446744073709551615", "123456789012345678901", "1.5", "0.1", "-2e3", "1E+2", "1e400",
          "-", "true", "false", "null", "{}", "[1]"}) {
        const std::string array = "[" + token + "]";
        Json::Value tree;
        const bool treeOk = Json::Reader().parse(array, tree, false);
        crw::matching::JsonStream json(array);
        std::string text;
        json.beginArray();
        json.nextElement();
        json.readText(text, std::string::npos);
        EXPECT_EQ(json.ok(), treeOk) << token;
        if (treeOk) {
            EXPECT_EQ(text, crw::matching::textOf(tree[0])) << token;
        }
    }
}

TEST(JsonRead, CommentsAndStringsCannotHideDepth)
{
    const auto nest = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    Json::Value root;
    EXPECT_TRUE(crw::matching::parseStrict(nest(32), root));
    EXPECT_FALSE(crw::matching::parseStrict(nest(33), root));
    // The quote inside a comment opens no string; brackets inside strings and comments are no depth.
    EXPECT_FALSE(crw::matching::parseStrict("/*\"*/" + nest(900), root));
    EXPECT_FALSE(crw::matching::parseStrict("// \"\n" + nest(900), root));
    EXPECT_TRUE(crw::matching::parseStrict("[\"" + std::string(100, '[') + "\", /* [[[[ */ " + nest(30) + "]", root));

    PluginFixture f;
    deliverList(f.plugin(), kMMR, 200,
                listAnswer({listEntry("a", "[" + playlist("Other", "1", "0") + "]")}).insert(1, "/*\"*/\"x\":" + nest(900) + ","));
    EXPECT_TRUE(hasLineContaining(f.host().logs(), "Nobody listed"));
}

TEST(SearcherList, OnlyTheLatestRequestIsApplied)
{
    PluginFixture f;
    {
        auto lock = lockState(f.plugin());
        f.plugin().listRequestSeq = 2;
        f.plugin().isLoadingSearchers = true;
    }
    const std::string answer = listAnswer({listEntry("a", "[" + playlist("Other", "0", "0") + "]")});
    f.plugin().OnSearchersResult(kMMR, 200, answer, 1);
    {
        auto lock = lockState(f.plugin());
        EXPECT_TRUE(f.plugin().isLoadingSearchers); // the newer one is still on its way
        EXPECT_TRUE(f.plugin().searchers.empty());
    }
    EXPECT_TRUE(hasLineContaining(f.host().logs(), "request 1"));
    f.plugin().OnSearchersResult(kMMR, 200, answer, 2);
    f.plugin().OnSearchersResult(kMMR, 200, answer, 1);
    auto lock = lockState(f.plugin());
    EXPECT_FALSE(f.plugin().isLoadingSearchers);
    EXPECT_EQ(creatorNames(f.plugin().searchers), std::vector<std::string>{"a"});
}

TEST(SearcherList, FailedAnswerShowsTheErrorAndKeepsTheLists)
{
    PluginFixture f;
    {
        auto lock = lockState(f.plugin());
        f.plugin().allSearchers.push_back(searcherWith({}));
        f.plugin().isLoadingSearchers = true;
    }
    deliverList(f.plugin(), kMMR, 500, "");
    {
        auto lock = lockState(f.plugin());
        EXPECT_FALSE(f.plugin().isLoadingSearchers);
        EXPECT_TRUE(f.plugin().getSearchersPopup.open);
        EXPECT_EQ(f.plugin().getSearchersPopup.message, "ERROR 500 | ");
        EXPECT_EQ(f.plugin().allSearchers.size(), 1u);
        EXPECT_FALSE(f.plugin().clearSearchersTimer.isRunning());
    }
    std::string address;
    {
        auto lock = lockState(f.plugin());
        address = f.plugin().serverAddress;
    }
    deliverList(f.plugin(), kMMR, 0, "Failed to connect to " + address + " port 3000");
    auto lock = lockState(f.plugin());
    EXPECT_EQ(f.plugin().getSearchersPopup.message, "ERROR 0 | An error ocurred, couldn't reach the server !");
}

TEST(SearcherList, ClearTimerRunsFromTheFirstAnswerNotTheLatest)
{
    crw::Intervals intervals;
    intervals.clearSearchers = 400;
    IntervalsGuard guard(intervals);
    PluginFixture f;
    const std::string answer = listAnswer({listEntry("a", "[" + playlist("Other", "0", "0") + "]")});

    deliverList(f.plugin(), kMMR, 200, answer);
    crw::Timer::Clock::time_point firstStart;
    {
        auto lock = lockState(f.plugin());
        firstStart = f.plugin().clearSearchersTimer.startTime();
        f.plugin().ClearSearchers(); // a refresh empties the lists ...
        ++f.plugin().listRequestSeq;
    }
    deliverList(f.plugin(), kMMR, 200, answer); // ... and a second answer arrives
    {
        auto lock = lockState(f.plugin());
        EXPECT_EQ(f.plugin().searchers.size(), 1u);
        EXPECT_EQ(f.plugin().clearSearchersTimer.startTime(), firstStart);
    }
    f.host().clearRecords();
    ASSERT_TRUE(f.host().waitFor(
        [&] {
            auto lock = lockState(f.plugin());
            return f.plugin().searchers.empty() && f.plugin().allSearchers.empty();
        },
        5s));
    EXPECT_GE(crw::Timer::Clock::now() - firstStart, 400ms);
    EXPECT_TRUE(f.host().waitForLog("Timer : Cleared Searchers", 1s));
}

TEST(SearcherList, UnreachableServerOverRealHttp)
{
    // A port that was free a moment ago: nothing listens there.
    int port = 0;
    {
        boost::asio::io_context ioc;
        boost::asio::ip::tcp::acceptor acceptor(ioc, {boost::asio::ip::address_v4::loopback(), 0});
        port = acceptor.local_endpoint().port();
    }

    PluginFixture f;
    {
        auto lock = lockState(f.plugin());
        f.plugin().serverAddress = "127.0.0.1";
        f.plugin().serverUrl = "http://127.0.0.1:" + std::to_string(port);
    }
    f.host().gameWrapper->Execute([&](GameWrapper*) { f.plugin().GetSearchers(); });
    // The failed completion logs nothing to wake a waiter on; settle waits for the transfer itself.
    f.host().settle();
    auto lock = lockState(f.plugin());
    ASSERT_TRUE(f.plugin().getSearchersPopup.open);
    EXPECT_EQ(f.plugin().getSearchersPopup.message, "ERROR 418 | An error ocurred, couldn't reach the server !");
    EXPECT_FALSE(f.plugin().isLoadingSearchers);
}

TEST(SearcherList, ImagesFollowTheFixedPlaylistOrder)
{
    PluginFixture f;
    auto lock = lockState(f.plugin());
    const auto& rows = f.plugin().playlists;
    ASSERT_EQ(f.plugin().playlistImages.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(f.plugin().imagesForPlaylist(rows[i].name).image, f.plugin().playlistImages[i].image);
    }
    EXPECT_EQ(f.plugin().imagesForPlaylist("ranked-2v2").image, nullptr);
}

TEST(SearcherList, HostileAnswersAreBoundedWhereTheyAreRead)
{
    PluginFixture f;
    auto deliver = [&](int code, const std::string& text) {
        {
            auto lock = lockState(f.plugin());
            f.plugin().ClearSearchers();
        }
        f.host().clearRecords();
        deliverList(f.plugin(), kMMR, code, text);
        return lockState(f.plugin());
    };
    auto longestLog = [&] {
        std::size_t longest = 0;
        for (const auto& line : f.host().logs()) {
            longest = std::max(longest, line.size());
        }
        return longest;
    };

    // 17,000 playlist rows, repeats and unknown names: 32 distinct rows at most.
    std::string rows = playlist("Ranked-2v2", "1000", "0");
    for (int i = 0; i < 17000; ++i) {
        rows += "," + playlist(i % 2 ? "Ranked-2v2" : "Soccar" + std::to_string(i), "1", "0");
    }
    rows += "," + playlist("Hoops", "1", "0");
    // 200 kB title, name and region, a 20,000-name region list.
    const std::string mb(200 << 10, 'x');
    std::string regions = "[\"" + mb + "\"";
    for (int i = 0; i < 20000; ++i) {
        regions += ",\"Europe\"";
    }
    regions += "]";
    std::string big = listEntry(mb, "[" + rows + "]", regions);
    {
        auto lock = deliver(200, listAnswer({big}));
        ASSERT_EQ(f.plugin().searchers.size(), 1u);
        const crw::Searcher& s = f.plugin().searchers[0];
        ASSERT_EQ(s.playlists.size(), 32u);
        EXPECT_EQ(s.playlists[1].name, "Soccar0");
        EXPECT_EQ(s.playlists[31].name, "Soccar60");
        EXPECT_EQ(s.title.size(), crw::kTitleSize - 1);
        EXPECT_LT(s.creatorName.size(), crw::kTitleSize);
        EXPECT_EQ(s.regions.size(), 36u);
        EXPECT_LE(s.regions[0].size(), 64u);
    }
    // The whole answer is not logged, only its start and length.
    EXPECT_LT(longestLog(), 4096u);
    EXPECT_TRUE(hasLine(f.host().logs(), "16970 playlist rows dropped : more than 32, or one already read"));
    EXPECT_TRUE(hasLineContaining(f.host().logs(), "bytes)"));

    // A title cut inside a two-byte character keeps whole characters.
    {
        auto lock = deliver(200, listAnswer({"{\"Title\":\"" + std::string(126, 'a') + "\xc3\xa9\",\"Playlists\":[" +
                                             playlist("Other", "1", "0") + "]}"}));
        ASSERT_EQ(f.plugin().searchers.size(), 1u);
        EXPECT_EQ(f.plugin().searchers[0].title, std::string(126, 'a'));
    }

    // Past the maximum, the rest is dropped and counted.
    std::vector<std::string> many(20500, listEntry("p", "[" + playlist("Other", "1", "0") + "]"));
    {
        auto lock = deliver(200, listAnswer(many));
        EXPECT_EQ(f.plugin().searchers.size(), 20000u);
    }
    EXPECT_TRUE(hasLine(f.host().logs(), "500 searchers dropped : the list keeps at most 20000"));

    // A cut answer, or one too large to parse, lists nobody.
    const std::string whole = listAnswer({listEntry("a", "[" + playlist("Other", "1", "0") + "]"),
                                          listEntry("b", "[" + playlist("Other", "1", "0") + "]")});
    for (const std::string& text : {whole.substr(0, whole.size() - 2), whole.substr(0, whole.size() / 2 + 40),
                                    listAnswer(std::vector<std::string>((8 << 20) / many[0].size() + 1, many[0]))}) {
        auto lock = deliver(200, text);
        EXPECT_TRUE(f.plugin().searchers.empty()) << text.size();
        EXPECT_TRUE(f.plugin().allSearchers.empty());
        EXPECT_TRUE(hasLineContaining(f.host().logs(), "Nobody listed"));
    }

    // Server text in a popup: bounded, control characters replaced.
    {
        auto lock = deliver(500, std::string("bad\x1b[2J\r\0x", 10) + std::string(20 << 20, 'e'));
        const std::string& message = f.plugin().getSearchersPopup.message;
        EXPECT_EQ(message.rfind("ERROR 500 | bad [2J  x", 0), 0u) << message.substr(0, 30);
        EXPECT_LE(message.size(), 12 + crw::kPopupTextBytes);
    }
}
