// The registration lifecycle end to end: the plug-in against an in-process
// crw-server over real HTTP and a real WebSocket, relayed through a tap that
// records what the plug-in puts on the socket.
#include <gtest/gtest.h>

#include "MatchingTestUtil.h"
#include "WsTap.h"
#include "crw/server/Server.h"

using namespace std::chrono_literals;
using namespace crwtest;

namespace {

constexpr auto kWait = 10s;
const char* const kStopReason = "Manage Registration : Client unregistered";

crw::server::ServerOptions serverOptions()
{
    crw::server::ServerOptions o;
    o.pendingTimeout = 3000ms;
    o.stopGrace = 300ms;
    o.log = [](const std::string&) {};
    return o;
}

void pointAt(CRW& p, int httpPort, int wsPort)
{
    auto lock = lockState(p);
    p.serverAddress = "127.0.0.1";
    p.serverUrl = "http://127.0.0.1:" + std::to_string(httpPort);
    p.websocketUrl = "ws://127.0.0.1:" + std::to_string(wsPort) + "/";
}

// A player registering Ranked-2v2 (range 100) from MMR 1000.
void prepare(PluginFixture& f, const std::string& title = "Looking for mates")
{
    f.host().mmr[11] = 1000.f;
    auto lock = lockState(f.plugin());
    crw::SearcherSettings& s = f.plugin().registerSettings;
    s.setTitle(title);
    s.playlists[0].enabled = true;
    s.playlists[0].range = 100;
    for (auto& r : s.regions) {
        r.enabled = r.name == "Europe";
    }
    s.voiceChat = 1;
}

std::vector<std::string> paths(TestHost& host)
{
    std::vector<std::string> out;
    for (const auto& r : host.httpRequests()) {
        out.push_back(r.request.url.substr(r.request.url.rfind('/')));
    }
    return out;
}

std::vector<WsTap::Frame> framesOf(WsTap& tap, int opcode)
{
    std::vector<WsTap::Frame> out;
    for (const auto& fr : tap.clientFrames()) {
        if (fr.opcode == opcode) {
            out.push_back(fr);
        }
    }
    return out;
}

std::ptrdiff_t indexOf(const std::vector<std::string>& logs, const std::string& line)
{
    auto it = std::find(logs.begin(), logs.end(), line);
    return it == logs.end() ? -1 : it - logs.begin();
}

// Server, tap and one player; destroyed player first.
struct Env {
    explicit Env(const crw::Intervals& intervals = {}) : guard(intervals), server(serverOptions())
    {
        port = server.start("127.0.0.1", 0);
        tap = std::make_unique<WsTap>(port);
        f = std::make_unique<PluginFixture>();
        prepare(*f);
        pointAt(p(), port, tap->port());
    }

    CRW& p() { return f->plugin(); }
    TestHost& host() { return f->host(); }

    template <typename Pred> bool waitState(Pred pred, std::chrono::milliseconds timeout = kWait)
    {
        return host().waitFor(
            [&] {
                auto lock = lockState(p());
                return pred(p());
            },
            timeout);
    }

    void onGame(std::function<void(CRW&)> job)
    {
        CRW* plugin = &p();
        host().gameWrapper->Execute([plugin, job](GameWrapper*) { job(*plugin); });
    }

    // Registers and waits until the list fetched afterwards has arrived.
    bool registerAndSettle()
    {
        onGame([](CRW& p) { p.Register(); });
        return waitState([](CRW& p) { return p.isRegistered && !p.isLoadingSearchers && p.listRequestSeq > 0; });
    }

    // Fetches the list and waits for its answer.
    bool refresh()
    {
        uint64_t seq;
        {
            auto lock = lockState(p());
            seq = p().listRequestSeq;
        }
        onGame([](CRW& p) { p.GetSearchers(); });
        return waitState([seq](CRW& p) { return p.listRequestSeq > seq && !p.isLoadingSearchers; });
    }

    // The registration frame reaches the server a moment after the plug-in sent it, so a list
    // fetched in between may not hold the player yet. Each try waits for its own answer.
    bool refreshUntilListed()
    {
        for (int tries = 0; tries < 50; ++tries) {
            {
                auto lock = lockState(p());
                const std::string id = host().id;
                if (std::any_of(p().allSearchers.begin(), p().allSearchers.end(),
                                [&](const crw::Searcher& s) { return s.creatorIdString == id; })) {
                    return true;
                }
            }
            if (!refresh()) {
                return false;
            }
        }
        return false;
    }

    IntervalsGuard guard;
    crw::server::Server server;
    int port = 0;
    std::unique_ptr<WsTap> tap;
    std::unique_ptr<PluginFixture> f;
};

} // namespace

TEST(Registration, AcceptedRegistrationRunsInOrder)
{
    Env e;
    e.host().clearRecords();
    ASSERT_TRUE(e.registerAndSettle());

    ASSERT_EQ(paths(e.host()), (std::vector<std::string>{"/register", "/list"}));
    const std::string body = e.host().httpRequests()[0].request.body;
    ASSERT_TRUE(e.tap->waitFor([&] { return !framesOf(*e.tap, 1).empty(); }, kWait));
    EXPECT_EQ(e.tap->connections(), 1);
    const auto text = framesOf(*e.tap, 1);
    ASSERT_EQ(text.size(), 1u);
    EXPECT_EQ(text[0].payload, body);

    const auto logs = e.host().logs();
    auto result = std::find_if(logs.begin(), logs.end(), [](const std::string& l) {
        return l.rfind("Registration result : code 200 | \n", 0) == 0;
    });
    ASSERT_NE(result, logs.end());
    const std::string serverText = result->substr(std::string("Registration result : code 200 | \n").size());
    const auto resultAt = result - logs.begin();
    const auto createdAt = indexOf(logs, "Created connection with id 1");
    const auto sendingAt = indexOf(logs, "sending ws msg");
    const auto sentAt = indexOf(logs, "ws msg sent");
    EXPECT_LT(resultAt, createdAt);
    EXPECT_LT(createdAt, sendingAt);
    EXPECT_LT(sendingAt, sentAt);

    ASSERT_TRUE(e.refreshUntilListed());
    auto lock = lockState(e.p());
    CRW& p = e.p();
    EXPECT_TRUE(p.creatingPopup.open);
    EXPECT_EQ(p.creatingPopup.message, serverText);
    EXPECT_TRUE(p.isRegistered);
    EXPECT_TRUE(p.stillThereTimer.isRunning());
    EXPECT_EQ(p.mySearcher.title, "Looking for mates");
    EXPECT_EQ(p.mySearcher.creatorIdString, e.host().id);
    EXPECT_EQ(p.mySearcher.regions, std::vector<std::string>{"Europe"});
    EXPECT_EQ(p.mySearcher.voiceChat, "true");
    ASSERT_EQ(p.mySearcher.playlists.size(), 1u);
    EXPECT_EQ(p.mySearcher.playlists[0].mmr, "1000.0");
    EXPECT_TRUE(crw::settingsEqual(p.editSettings, p.registerSettings));
    EXPECT_TRUE(crw::settingsEqual(p.editBaseline, p.editSettings));

    // The server lists the player as sent; the own range admits the own MMR.
    ASSERT_EQ(p.allSearchers.size(), 1u);
    EXPECT_TRUE(p.allSearchers[0] == p.mySearcher);
    EXPECT_EQ(p.allSearchers[0].playlists[0].mmr, "1000.0");
    EXPECT_EQ(p.allSearchers[0].playlists[0].range, 100);
}

TEST(Registration, RefusedRegistrationOpensNoConnection)
{
    Env e;
    auto seed = [&] {
        auto lock = lockState(e.p());
        e.p().allSearchers.assign(2, crw::Searcher{});
        e.p().searchers.assign(2, crw::Searcher{});
        e.p().creatingPopup.open = false;
    };
    auto refused = [&](const std::string& message) {
        ASSERT_TRUE(e.waitState([](CRW& p) { return p.creatingPopup.open; }));
        auto lock = lockState(e.p());
        EXPECT_EQ(e.p().creatingPopup.message, message);
        EXPECT_FALSE(e.p().isRegistered);
        EXPECT_TRUE(e.p().allSearchers.empty());
        EXPECT_TRUE(e.p().searchers.empty());
        EXPECT_EQ(e.p().endpoint.current_status(), "");
        EXPECT_FALSE(e.p().stillThereTimer.isRunning());
    };

    // The real server refuses an empty title with its own text.
    {
        auto lock = lockState(e.p());
        e.p().registerSettings.setTitle("");
    }
    seed();
    e.onGame([](CRW& p) { p.Register(); });
    ASSERT_TRUE(e.waitState([](CRW& p) { return p.creatingPopup.open; }));
    std::string serverText;
    {
        auto lock = lockState(e.p());
        serverText = e.p().creatingPopup.message;
    }
    EXPECT_NE(serverText.find("Title"), std::string::npos);
    refused(serverText);

    e.host().httpOverride = [](const CurlRequest&, bool, crwhost::HttpCallback cb) { cb(500, "Internal error"); };
    seed();
    e.onGame([](CRW& p) { p.Register(); });
    refused("Internal error");

    e.host().httpOverride = [](const CurlRequest&, bool, crwhost::HttpCallback cb) {
        cb(418, "Failed to connect to 127.0.0.1 port 3000");
    };
    seed();
    e.onGame([](CRW& p) { p.Register(); });
    refused("An error ocurred, couldn't reach the server !");

    EXPECT_EQ(e.tap->connections(), 0);
    EXPECT_FALSE(hasLineContaining(e.host().logs(), "Created connection"));
}

TEST(Registration, ConnectionThatNeverOpensLeavesThePlayerUnregistered)
{
    Env e;
    {
        // HTTP reaches the server, the socket goes nowhere.
        auto lock = lockState(e.p());
        e.p().websocketUrl = "ws://127.0.0.1:1/";
    }
    e.onGame([](CRW& p) { p.Register(); });
    ASSERT_TRUE(e.host().waitForLog("Could not open the connection", kWait));
    auto lock = lockState(e.p());
    EXPECT_FALSE(e.p().isRegistered);
    EXPECT_TRUE(e.p().creatingPopup.open);
    EXPECT_EQ(e.p().creatingPopup.message, "The connection to the server could not be opened !");
    EXPECT_TRUE(hasLine(e.host().logs(), "status : Failed"));
    EXPECT_FALSE(hasLine(e.host().logs(), "sending ws msg"));
    EXPECT_FALSE(e.p().stillThereTimer.isRunning());
}

TEST(Registration, UpdateSendsNoFrameAndKeepsTheQuestionTime)
{
    Env e;
    ASSERT_TRUE(e.registerAndSettle());
    ASSERT_TRUE(e.refreshUntilListed()); // the server refuses an update before it holds the socket
    crw::Timer::Clock::time_point asked;
    uint64_t listSeq;
    {
        auto lock = lockState(e.p());
        asked = e.p().stillThereTimer.startTime();
        listSeq = e.p().listRequestSeq;
        e.p().editSettings.setTitle("Updated title");
        e.p().editSettings.playlists[0].range = 300;
    }
    e.onGame([](CRW& p) { p.UpdateRegistration(); });
    ASSERT_TRUE(e.waitState([&](CRW& p) { return p.listRequestSeq > listSeq && !p.isLoadingSearchers; }));

    auto lock = lockState(e.p());
    CRW& p = e.p();
    EXPECT_TRUE(p.updatePopup.open);
    EXPECT_FALSE(p.updatePopup.message.empty());
    EXPECT_TRUE(crw::settingsEqual(p.editBaseline, p.editSettings));
    EXPECT_EQ(p.editBaseline.titleText(), "Updated title");
    EXPECT_EQ(p.mySearcher.title, "Updated title");
    EXPECT_EQ(p.mySearcher.playlists[0].range, 300);
    EXPECT_TRUE(p.stillThereTimer.isRunning());
    EXPECT_EQ(p.stillThereTimer.startTime(), asked);
    EXPECT_TRUE(p.isRegistered);
    ASSERT_EQ(p.allSearchers.size(), 1u);
    EXPECT_EQ(p.allSearchers[0].title, "Updated title");
    EXPECT_EQ(framesOf(*e.tap, 1).size(), 1u);
}

TEST(Registration, StillThereQuestionYesAndTimeout)
{
    crw::Intervals intervals;
    intervals.stillThere = 300;
    intervals.stillThereTimeout = 500;
    Env e(intervals);
    ASSERT_TRUE(e.registerAndSettle());

    auto asking = [](CRW& p) {
        return p.stillThereCheck.open && !p.stillThereTimer.isRunning() && p.stillThereTimeoutTimer.isRunning();
    };
    ASSERT_TRUE(e.waitState(asking));
    {
        auto lock = lockState(e.p());
        EXPECT_EQ(e.p().stillThereCheck.message, "Do you still want to be on the plugin ?");
    }
    e.host().drainGame();
    auto toasts = e.host().toasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_TRUE(toasts[0].onGameThread); // asked by the timer's thread, shown by the game's
    EXPECT_EQ(toasts[0].title, "CRW");
    EXPECT_EQ(toasts[0].text, "Please confirm on the plugin interface that you still want to be on the plugin");
    EXPECT_FLOAT_EQ(toasts[0].timeout, 6.0f);
    EXPECT_TRUE(hasLine(e.host().logs(), "Do you still want to be on the plugin ?"));

    // "Yes" re-arms the question and stops the time-out.
    std::function<void()> yes;
    {
        auto lock = lockState(e.p());
        yes = e.p().stillThereCheck.onYes;
    }
    yes();
    {
        auto lock = lockState(e.p());
        EXPECT_FALSE(e.p().stillThereCheck.open);
        EXPECT_FALSE(e.p().stillThereTimeoutTimer.isRunning());
        EXPECT_TRUE(e.p().stillThereTimer.isRunning());
        EXPECT_TRUE(e.p().isRegistered);
    }
    ASSERT_TRUE(e.waitState(asking));

    // No answer: stopped with a normal close.
    ASSERT_TRUE(e.waitState([](CRW& p) { return !p.isRegistered; }));
    ASSERT_TRUE(e.tap->waitFor([&] { return !framesOf(*e.tap, 8).empty(); }, kWait));
    const auto close = framesOf(*e.tap, 8);
    EXPECT_EQ(close[0].closeCode(), 1000);
    EXPECT_EQ(close[0].closeReason(), kStopReason);
    EXPECT_TRUE(e.host().waitForLog("Forcing to stop : timeout !", 1s));
    e.host().drainGame();

    auto lock = lockState(e.p());
    CRW& p = e.p();
    EXPECT_TRUE(p.stoppingPopup.open);
    EXPECT_EQ(p.stoppingPopup.message, "You have been removed !");
    EXPECT_TRUE(p.stopTimeoutPopup.open);
    EXPECT_EQ(p.stopTimeoutPopup.message, "Timeout : you have been removed !");
    EXPECT_FALSE(p.stillThereCheck.open);
    EXPECT_FALSE(p.stillThereTimer.isRunning());
    EXPECT_FALSE(p.stillThereTimeoutTimer.isRunning());
    EXPECT_TRUE(p.searchers.empty());
    EXPECT_EQ(e.host().toasts().size(), 2u);
}

TEST(Registration, PartyJoinAsksOnlyWhileRegistered)
{
    Env e;
    e.host().fireEvent("Function ProjectX.Parties_X.HandleUserJoined");
    e.host().drainGame();
    {
        auto lock = lockState(e.p());
        EXPECT_FALSE(e.p().stillThereCheck.open);
        EXPECT_FALSE(e.p().stillThereTimeoutTimer.isRunning());
    }
    EXPECT_TRUE(e.host().toasts().empty());

    ASSERT_TRUE(e.registerAndSettle());
    e.host().fireEvent("Function ProjectX.Parties_X.HandleUserJoined");
    e.host().drainGame();
    auto lock = lockState(e.p());
    EXPECT_TRUE(e.p().stillThereCheck.open);
    EXPECT_TRUE(e.p().stillThereTimeoutTimer.isRunning());
    EXPECT_FALSE(e.p().stillThereTimer.isRunning());
    EXPECT_EQ(e.host().toasts().size(), 1u);
}

TEST(Registration, ServerGoingAwayUnregistersAndChecksTheServer)
{
    Env e;
    ASSERT_TRUE(e.registerAndSettle());
    e.server.stop();
    ASSERT_TRUE(e.waitState([](CRW& p) { return !p.isRegistered && p.checkAPIPopup.open; }));
    e.host().drainGame();
    const auto toasts = e.host().toasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "An error occured, you are no longer registered on the plugin !");
    EXPECT_FLOAT_EQ(toasts[0].timeout, 3.5f);
    auto lock = lockState(e.p());
    const std::string& message = e.p().checkAPIPopup.message;
    const std::string tail = " | Couldn't connect to the server.";
    EXPECT_EQ(message.rfind("ERROR ", 0), 0u);
    ASSERT_GT(message.size(), tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
}

TEST(Registration, NormalCloseByTheServerEndsTheRegistrationAndTheQuestion)
{
    Env e;
    e.host().clearRecords();
    e.p().Stop(); // unregistered: nothing at all
    EXPECT_TRUE(e.host().logs().empty());

    ASSERT_TRUE(e.registerAndSettle());
    e.host().fireEvent("Function ProjectX.Parties_X.HandleUserJoined"); // a question on screen
    ASSERT_TRUE(e.waitState([](CRW& p) { return p.stillThereCheck.open; }));
    e.tap->closeFromServer(1000, "bye");
    ASSERT_TRUE(e.waitState([](CRW& p) { return !p.isRegistered; }));
    e.host().drainGame(); // the toast reaches the game on its own thread
    const auto toasts = e.host().toasts();
    ASSERT_EQ(toasts.size(), 2u);
    EXPECT_EQ(toasts[1].text, "An error occured, you are no longer registered on the plugin !");
    auto lock = lockState(e.p());
    CRW& p = e.p();
    EXPECT_EQ(p.endpoint.current_status(), "Closed");
    EXPECT_FALSE(p.stillThereCheck.open); // nothing left to answer
    EXPECT_FALSE(p.stillThereTimer.isRunning());
    EXPECT_FALSE(p.stillThereTimeoutTimer.isRunning());
}

// The faults of a registration racing its own socket or another one.
TEST(Registration, SocketClosedBeforeTheRegistrationCompletesLeavesItUnregistered)
{
    Env e;
    e.onGame([](CRW& p) { p.Register(); });
    // From here the completion waits for the socket without the lock: hold
    // it, as a long frame would, until the server has closed the socket.
    ASSERT_TRUE(e.host().waitForLog("status : Connecting", kWait));
    {
        auto frame = lockState(e.p());
        ASSERT_TRUE(e.host().waitForLog("ws msg sent", kWait));
        e.tap->closeFromServer(1000, "gone");
        ASSERT_TRUE(e.host().waitForLog("Closed connection : close code: 1000", kWait));
    }
    e.host().settle();
    auto lock = lockState(e.p());
    EXPECT_FALSE(e.p().isRegistered);
    EXPECT_EQ(e.p().creatingPopup.message, "The connection to the server could not be opened !");
    EXPECT_FALSE(e.p().stillThereTimer.isRunning());
}

TEST(Registration, NoSecondRegistrationWhileOneIsInFlightOrActive)
{
    Env e;
    e.onGame([](CRW& p) { p.Register(); }); // "Yes" twice before the first answer
    ASSERT_TRUE(e.registerAndSettle());
    e.onGame([](CRW& p) { p.Register(); });
    e.host().settle();
    const auto sent = paths(e.host());
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "/register"), 1);
    EXPECT_EQ(e.tap->connections(), 1);
    EXPECT_TRUE(hasLine(e.host().logs(), "Registration already in progress : request not sent"));
}

TEST(Registration, CloseOfAnotherConnectionLeavesTheRegistrationAlone)
{
    Env e;
    ASSERT_TRUE(e.registerAndSettle());
    std::string url;
    {
        auto lock = lockState(e.p());
        url = e.p().websocketUrl;
    }
    ASSERT_EQ(e.p().endpoint.connect(url), 1); // a socket that is not the registration's
    ASSERT_EQ(e.p().endpoint.wait_while_connecting(kWait), "Open");
    e.tap->closeFromServer(4000, "not yours");
    ASSERT_TRUE(e.host().waitForLog("Close of connection 2 ignored", kWait));
    auto lock = lockState(e.p());
    EXPECT_TRUE(e.p().isRegistered);
    EXPECT_EQ(e.host().toasts().size(), 0u);
}

TEST(Registration, TwoPlayersSeeAndInviteThroughOneServer)
{
    // The logging and game handles are process-wide and follow the object
    // loaded last, so A (who must receive the invite job) is loaded after B.
    IntervalsGuard guard(crw::Intervals{});
    crw::server::Server server(serverOptions());
    const int port = server.start("127.0.0.1", 0);
    PluginFixture b;
    b.host().id = "Epic|00000000000000000000000000000002|0";
    b.host().name = "PlayerB";
    pointAt(b.plugin(), port, port);
    PluginFixture a;
    a.host().name = "PlayerA";
    prepare(a);
    a.host().mmr[13] = 500.f;
    {
        auto lock = lockState(a.plugin());
        a.plugin().registerSettings.playlists[1].enabled = true; // Ranked-3v3, range 50
        a.plugin().registerSettings.playlists[1].range = 50;
    }
    pointAt(a.plugin(), port, port);

    a.host().gameWrapper->Execute([&](GameWrapper*) { a.plugin().Register(); });
    ASSERT_TRUE(a.host().waitFor(
        [&] {
            auto lock = lockState(a.plugin());
            return a.plugin().isRegistered;
        },
        kWait));

    auto listOfB = [&](float mmr2v2, float mmr3v3) {
        b.host().mmr[11] = mmr2v2;
        b.host().mmr[13] = mmr3v3;
        uint64_t seq;
        {
            auto lock = lockState(b.plugin());
            seq = b.plugin().listRequestSeq;
        }
        b.host().gameWrapper->Execute([&](GameWrapper*) { b.plugin().GetSearchers(); });
        // B's completion runs on A's host (the HTTP service is process-wide too), so wait there.
        EXPECT_TRUE(a.host().waitFor(
            [&] {
                auto lock = lockState(b.plugin());
                return b.plugin().listRequestSeq > seq && !b.plugin().isLoadingSearchers;
            },
            kWait));
        auto lock = lockState(b.plugin());
        return creatorNames(b.plugin().searchers);
    };
    const std::vector<std::string> seesA{"PlayerA"};
    // A's frame reaches the server a moment after A counts as registered.
    bool listed = false;
    for (int tries = 0; tries < 50 && !listed; ++tries) {
        listed = listOfB(1050.f, 0.f) == seesA;
    }
    ASSERT_TRUE(listed);
    EXPECT_EQ(listOfB(900.f, 0.f), seesA);
    EXPECT_TRUE(listOfB(1100.5f, 0.f).empty());
    EXPECT_EQ(listOfB(1300.f, 540.f), seesA); // through the second playlist
    EXPECT_TRUE(listOfB(1300.f, 551.f).empty());

    listOfB(1000.f, 0.f);
    crw::Searcher target;
    {
        auto lock = lockState(b.plugin());
        ASSERT_EQ(b.plugin().searchers.size(), 1u);
        target = b.plugin().searchers[0];
    }
    b.host().gameWrapper->Execute([&](GameWrapper*) { b.plugin().RequestInvite(target); });
    const std::string expected = "invite " + b.host().id;
    ASSERT_TRUE(a.host().waitFor(
        [&] {
            const auto texts = a.host().gameThreadFnameTexts();
            return std::find(texts.begin(), texts.end(), expected) != texts.end();
        },
        kWait));
    EXPECT_TRUE(hasLineContaining(a.host().logs(), "Message received : {\"type\":\"InviteNotification\""));
    ASSERT_TRUE(a.host().waitFor(
        [&] {
            auto lock = lockState(b.plugin());
            return b.plugin().requestInvitePopup.open;
        },
        kWait));
    auto lock = lockState(b.plugin());
    EXPECT_EQ(b.plugin().requestInvitePopup.message.rfind("ERROR", 0), std::string::npos);
}
