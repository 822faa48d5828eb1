// Request URLs and bodies, byte for byte, captured before they reach the network.
#include <gtest/gtest.h>
#include <json/json.h>

#include "TestHost.h"
#include "plugin/CRW.h"

using crwtest::PluginFixture;

namespace {

const std::string kPlayerId = "Epic|00000000000000000000000000000001|0";

// A loaded plug-in whose HTTP requests are recorded and never answered.
struct Captured {
    PluginFixture f;
    Captured()
    {
        f.host().httpOverride = [](const CurlRequest&, bool, crwhost::HttpCallback) {};
    }
    CRW& p() { return f.plugin(); }
    // Requests run on the game thread, as the plug-in's callers hand them over.
    void onGame(std::function<void()> job)
    {
        f.host().execute(std::move(job));
        f.host().drainGame();
    }
    crwtest::TestHost::HttpRecord last()
    {
        auto all = f.host().httpRequests();
        EXPECT_FALSE(all.empty());
        return all.empty() ? crwtest::TestHost::HttpRecord{} : all.back();
    }
    void enable(crw::SearcherSettings& s, const std::string& playlist, int32_t range = 0)
    {
        for (auto& row : s.playlists) {
            if (row.name == playlist) {
                row.enabled = true;
                row.range = range;
            }
        }
    }
    static void select(std::vector<crw::NamedFlag>& rows, const std::string& name)
    {
        for (auto& row : rows) {
            if (row.name == name) {
                row.enabled = true;
            }
        }
    }
};

} // namespace

TEST(Bodies, EmptySelectionSendsEmptyPlaylistsAndAnyTwice)
{
    Captured c;
    {
        std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
        c.p().registerSettings.setTitle("Hi");
    }
    c.onGame([&] { c.p().Register(); });
    auto rec = c.last();
    EXPECT_EQ(rec.request.body, "{\"Type\":\"Register\", \"Title\": \"Hi\", \"Creator\":{\"Name\": \"TestPlayer\", "
                                "\"IdString\": \"" +
                                    kPlayerId +
                                    "\"}, \"Playlists\":[], \"Regions\":[\"Any\"], \"Languages\":[\"Any\"], "
                                    "\"VoiceChat\":\"any\"}");
    EXPECT_TRUE(rec.json);
    EXPECT_TRUE(rec.request.verb.empty());
    EXPECT_TRUE(c.f.host().waitForLog("Request body : " + rec.request.body, std::chrono::seconds(1)));
}

TEST(Bodies, SelectedRowsAreJoinedBySingleCommasInRowOrder)
{
    Captured c;
    c.f.host().mmr[11] = 1000.f; // Ranked-2v2
    c.f.host().mmr[27] = 812.5f; // Hoops
    {
        std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
        auto& s = c.p().registerSettings;
        s.setTitle("Chill");
        c.enable(s, "Hoops", -50);
        c.enable(s, "Ranked-2v2", 200);
        Captured::select(s.regions, "US-West");
        Captured::select(s.regions, "Europe");
        Captured::select(s.languages, "French");
        Captured::select(s.languages, "English");
        s.voiceChat = 1;
    }
    c.onGame([&] { c.p().Register(); });
    EXPECT_EQ(c.last().request.body,
              "{\"Type\":\"Register\", \"Title\": \"Chill\", \"Creator\":{\"Name\": \"TestPlayer\", \"IdString\": \"" +
                  kPlayerId +
                  "\"}, \"Playlists\":[{\"Playlist\":\"Ranked-2v2\", \"MMR\":\"1000.0\", \"Range\":\"200\"},"
                  "{\"Playlist\":\"Hoops\", \"MMR\":\"812.5\", \"Range\":\"-50\"}], "
                  "\"Regions\":[\"Europe\",\"US-West\"], \"Languages\":[\"English\",\"French\"], "
                  "\"VoiceChat\":\"true\"}");
}

TEST(Bodies, MMRIsTruncatedToOneDecimalAndStoredBackButOtherKeepsItsOwnText)
{
    Captured c;
    c.f.host().mmr[11] = 1234.96f;
    c.f.host().mmr[13] = 1500.f;
    c.f.host().mmr[2] = -3.25f;
    c.f.host().mmr[-1] = 999.f; // never asked for "Other"
    std::string body;
    crw::SearcherSettings s;
    {
        std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
        s = crw::SearcherSettings::fromFixedLists(c.p().playlists, c.p().regions, c.p().languages);
    }
    for (const char* name : {"Ranked-2v2", "Ranked-3v3", "Casual-2v2", "Other"}) {
        c.enable(s, name);
    }
    s.playlists.back().mmr = "mine \"high\"";
    c.onGame([&] { body = c.p().BuildRegistrationBody(s); });

    EXPECT_NE(body.find("{\"Playlist\":\"Ranked-2v2\", \"MMR\":\"1234.9\", \"Range\":\"0\"}"), std::string::npos);
    EXPECT_NE(body.find("{\"Playlist\":\"Ranked-3v3\", \"MMR\":\"1500.0\", \"Range\":\"0\"}"), std::string::npos);
    EXPECT_NE(body.find("{\"Playlist\":\"Casual-2v2\", \"MMR\":\"-3.2\", \"Range\":\"0\"}"), std::string::npos);
    EXPECT_NE(body.find("{\"Playlist\":\"Other\", \"MMR\":\"mine \\\"high\\\"\", \"Range\":\"0\"}"), std::string::npos);
    EXPECT_EQ(s.playlists[0].mmr, "1234.9");
    EXPECT_EQ(s.playlists[1].mmr, "1500.0");
    EXPECT_EQ(s.playlists[2].mmr, "-3.2");
    EXPECT_EQ(s.playlists[3].mmr, "-1"); // not enabled: untouched
    EXPECT_EQ(s.playlists.back().mmr, "mine \"high\"");
}

TEST(Bodies, VoiceChatOutsideTheThreeValuesSendsAnEmptyText)
{
    Captured c;
    {
        std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
        c.p().editSettings = c.p().registerSettings;
        c.p().editSettings.voiceChat = 7;
    }
    c.onGame([&] { c.p().UpdateRegistration(); });
    const std::string body = c.last().request.body;
    EXPECT_EQ(body.substr(body.size() - 18), "], \"VoiceChat\":\"\"}");
}

TEST(Bodies, InsertedTextIsEscapedAndReadsBackUnchanged)
{
    Captured c;
    const std::string title = "Say \"hi\"\nback\\slash\ttab\x01 caf\xc3\xa9";
    c.f.host().name = "Na\"me\\";
    {
        std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
        c.p().registerSettings.setTitle(title);
    }
    c.onGame([&] { c.p().Register(); });
    const std::string body = c.last().request.body;
    EXPECT_NE(body.find("\"Title\": \"Say \\\"hi\\\"\\nback\\\\slash\\ttab\\u0001 caf\xc3\xa9\""), std::string::npos);

    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(body.data(), body.data() + body.size(), &root, &errors)) << errors;
    EXPECT_EQ(root["Title"].asString(), title);
    EXPECT_EQ(root["Creator"]["Name"].asString(), "Na\"me\\");
    EXPECT_EQ(root["Regions"][0].asString(), "Any");
}

TEST(Bodies, InviteBodyHasASpaceBeforeIdStringOnlyInTheSearcherObject)
{
    Captured c;
    crw::Searcher target;
    target.creatorName = "Other \"one\"";
    target.creatorIdString = "Steam|42|0";
    c.onGame([&] { c.p().RequestInvite(target); });
    auto rec = c.last();
    const std::string expected = "{\"Searcher\":{\"Name\":\"Other \\\"one\\\"\", \"IdString\":\"Steam|42|0\"}, "
                                 "\"User\":{\"Name\":\"TestPlayer\",\"IdString\":\"" +
                                 kPlayerId + "\"}}";
    EXPECT_EQ(rec.request.body, expected);
    EXPECT_TRUE(rec.json);
    EXPECT_TRUE(c.f.host().waitForLog("Request invite body : " + expected, std::chrono::seconds(1)));
}

TEST(Bodies, FiveURLsAppendThePathToTheBaseWithoutDoubleSlash)
{
    Captured c;
    {
        std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
        c.p().serverUrl = "http://10.1.2.3:3000";
    }
    crw::Searcher target;
    c.onGame([&] {
        c.p().CheckAPI();
        c.p().GetSearchers();
        c.p().Register();
        c.p().UpdateRegistration();
        c.p().RequestInvite(target);
    });
    auto all = c.f.host().httpRequests();
    ASSERT_EQ(all.size(), 5u);
    const char* paths[] = {"/CheckAPI", "/list", "/register", "/UpdateRegistration", "/RequestInvite"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(all[i].request.url, std::string("http://10.1.2.3:3000") + paths[i]);
        // Reads go through the plain send without a body, writes through the JSON send.
        EXPECT_EQ(all[i].json, i >= 2) << paths[i];
        EXPECT_EQ(all[i].request.body.empty(), i < 2) << paths[i];
        EXPECT_TRUE(all[i].request.verb.empty());
    }
}

TEST(Bodies, ListRequestEmptiesTheListAtOnceAndCountsItsSequence)
{
    Captured c;
    uint64_t seqBefore;
    {
        std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
        c.p().allSearchers.resize(2);
        c.p().searchers.resize(2);
        seqBefore = c.p().listRequestSeq;
    }
    c.onGame([&] { c.p().GetSearchers(); });
    std::lock_guard<std::recursive_mutex> lock(c.p().stateMutex);
    EXPECT_TRUE(c.p().isLoadingSearchers); // never answered
    EXPECT_TRUE(c.p().searchers.empty());
    EXPECT_TRUE(c.p().allSearchers.empty());
    EXPECT_EQ(c.p().listRequestSeq, seqBefore + 1);
}
