// The WebSocket client against a scriptable server inside the test.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "NetTestUtil.h"
#include "TestHost.h"
#include "net/ConnectionMetadata.h"
#include "net/WebsocketEndpoint.h"
#include "plugin/CRW.h"

using namespace std::chrono_literals;
using crwtest::PluginFixture;

namespace {

const std::string kBadMessage = "Websocket Server: | Error: bad message, message is not a good json !";

// Listens on a free loopback port; every action runs on its own I/O thread.
class WsServer {
public:
    using server = websocketpp::server<websocketpp::config::asio>;

    WsServer()
    {
        s_.clear_access_channels(websocketpp::log::alevel::all);
        s_.clear_error_channels(websocketpp::log::elevel::all);
        s_.init_asio();
        s_.set_open_handler([this](websocketpp::connection_hdl hdl) {
            std::lock_guard<std::mutex> lock(m_);
            conns_.push_back(hdl);
            cv_.notify_all();
        });
        s_.set_message_handler([this](websocketpp::connection_hdl, server::message_ptr msg) {
            std::lock_guard<std::mutex> lock(m_);
            received_.push_back(msg->get_payload());
            cv_.notify_all();
        });
        s_.set_close_handler([this](websocketpp::connection_hdl hdl) {
            auto con = s_.get_con_from_hdl(hdl);
            std::lock_guard<std::mutex> lock(m_);
            closeCodes_.push_back(con->get_remote_close_code());
            cv_.notify_all();
        });
        s_.listen(boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        s_.start_accept();
        websocketpp::lib::asio::error_code ec;
        port_ = s_.get_local_endpoint(ec).port();
        thread_ = std::thread([this] { s_.run(); });
    }
    ~WsServer()
    {
        s_.stop();
        thread_.join();
    }

    std::string url() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/"; }

    bool waitConnections(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, 5s, [&] { return conns_.size() >= n; });
    }
    bool waitCloses(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, 5s, [&] { return closeCodes_.size() >= n; });
    }
    bool waitReceived(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, 5s, [&] { return received_.size() >= n; });
    }
    std::vector<int> closeCodes()
    {
        std::lock_guard<std::mutex> lock(m_);
        return closeCodes_;
    }
    std::vector<std::string> received()
    {
        std::lock_guard<std::mutex> lock(m_);
        return received_;
    }

    // Actions on the latest connection.
    void text(const std::string& payload)
    {
        post([=](auto hdl) { s_.send(hdl, payload, opcode::text); });
    }
    void binary(const std::string& payload)
    {
        post([=](auto hdl) { s_.send(hdl, payload, opcode::binary); });
    }
    void close(int code, const std::string& reason)
    {
        post([=](auto hdl) { s_.close(hdl, static_cast<websocketpp::close::status::value>(code), reason); });
    }
    void drop()
    {
        post([this](auto hdl) {
            websocketpp::lib::asio::error_code ec;
            auto& socket = s_.get_con_from_hdl(hdl)->get_raw_socket();
            socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
            socket.close(ec);
        });
    }

private:
    using opcode = websocketpp::frame::opcode::value;
    template <typename F> void post(F action)
    {
        websocketpp::connection_hdl hdl;
        {
            std::lock_guard<std::mutex> lock(m_);
            hdl = conns_.back();
        }
        s_.get_io_service().post([action, hdl] { action(hdl); });
    }

    server s_;
    unsigned short port_ = 0;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<websocketpp::connection_hdl> conns_;
    std::vector<std::string> received_;
    std::vector<int> closeCodes_;
};

// The plug-in's own endpoint connected to a test server.
struct Linked {
    WsServer server;
    PluginFixture f;
    websocket_endpoint& ep() { return f.plugin().endpoint; }
    Linked()
    {
        EXPECT_EQ(ep().connect(server.url()), 1);
        EXPECT_EQ(ep().wait_while_connecting(5s), "Open");
        EXPECT_TRUE(server.waitConnections(1));
    }
    // Frames are handled in order: once the sentinel is logged, everything
    // before it has been handled, and its game jobs queued.
    void flush(const std::string& sentinel = "sentinel")
    {
        server.text(sentinel);
        EXPECT_TRUE(f.host().waitForLog("Message received : " + sentinel, 5s));
        f.host().drainGame();
    }
    // Handlers run in turn on one I/O thread: once a fresh connection has
    // opened, every handler before it has finished.
    void barrier()
    {
        ASSERT_EQ(ep().connect(server.url()), 1);
        ASSERT_EQ(ep().wait_while_connecting(5s), "Open");
        f.host().settle();
    }
    size_t countLog(const std::string& line)
    {
        auto logs = f.host().logs();
        return std::count(logs.begin(), logs.end(), line);
    }
    size_t countCommand(const std::string& command)
    {
        auto commands = f.host().commands();
        return std::count(commands.begin(), commands.end(), command);
    }
};

} // namespace

TEST(Websocket, InviteNotificationAsksTheGameThreadOnceWithTheId)
{
    Linked l;
    l.server.text("{\"type\":\"InviteNotification\",\"IdString\":\"Steam|7|0\",\"Extra\":1}");
    l.flush();
    EXPECT_EQ(l.f.host().gameThreadFnameTexts(), std::vector<std::string>{"invite Steam|7|0"});
    EXPECT_EQ(l.f.host().fnameTexts().size(), 1u);
}

TEST(Websocket, HostileInvitesAreCheckedAndRateLimited)
{
    Linked l;
    const std::string big(websocket_endpoint::max_frame_bytes - 64, 'x'); // the largest frame taken
    // Missing, empty, too long, control characters, terminal escapes: dropped.
    for (const std::string& id : {std::string(), std::string(65, 'a'), big, std::string("a\\nb"),
                                  std::string("a\\u0000b"), std::string("\\u001b[2J"), std::string("a\\tb")}) {
        l.server.text("{\"type\":\"InviteNotification\",\"IdString\":\"" + id + "\"}");
    }
    l.server.text("{\"type\":\"InviteNotification\"}");
    // The same id passes once; then a few others, and the rest of a flood is dropped.
    for (int i = 0; i < 3; ++i) {
        l.server.text("{\"type\":\"InviteNotification\",\"IdString\":\"Steam|1|0\"}");
    }
    for (int i = 0; i < 100; ++i) {
        l.server.text("{\"type\":\"InviteNotification\",\"IdString\":\"Epic|" + std::to_string(i) + "|0\"}");
    }
    l.flush();
    const std::vector<std::string> expected{"invite Steam|1|0", "invite Epic|0|0", "invite Epic|1|0", "invite Epic|2|0",
                                            "invite Epic|3|0"};
    EXPECT_EQ(l.f.host().gameThreadFnameTexts(), expected);
    // The big frame is logged as a bounded prefix and its length.
    for (const auto& line : l.f.host().logs()) {
        EXPECT_LT(line.size(), 4096u);
    }
    const auto logs = l.f.host().logs();
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [](const std::string& line) { return line.rfind("Invite dropped", 0) == 0; }),
              8 + 2 + 96);
}

TEST(Websocket, NearMissesAreOnlyLogged)
{
    Linked l;
    const std::vector<std::string> frames = {
        "{ \"type\":\"InviteNotification\",\"IdString\":\"a\"}",
        "{\"type\": \"InviteNotification\",\"IdString\":\"a\"}",
        "{\"IdString\":\"a\",\"type\":\"InviteNotification\"}",
        kBadMessage + "!",
        kBadMessage.substr(0, kBadMessage.size() - 1),
    };
    for (const auto& frame : frames) {
        l.server.text(frame);
    }
    l.flush();
    for (const auto& frame : frames) {
        EXPECT_EQ(l.countLog("Message received : " + frame), 1u) << frame;
    }
    EXPECT_TRUE(l.f.host().fnameTexts().empty());
    EXPECT_TRUE(l.f.host().commands().empty());
}

TEST(Websocket, BadMessageRunsItsNotifierAndBinaryFramesAreIgnored)
{
    Linked l;
    l.server.binary(kBadMessage);
    l.server.binary("{\"type\":\"InviteNotification\",\"IdString\":\"b\"}");
    l.server.text(kBadMessage);
    l.flush();
    EXPECT_EQ(l.countCommand("crw_ws_badmessage"), 1u);
    EXPECT_EQ(l.countLog("Message received : " + kBadMessage), 1u); // the text frame only
    EXPECT_TRUE(l.f.host().fnameTexts().empty());
    std::lock_guard<std::recursive_mutex> lock(l.f.plugin().stateMutex);
    EXPECT_TRUE(l.f.plugin().wsClientBadMessagePopup.open);
}

TEST(Websocket, MalformedNotificationsAreSkippedAndTheIOThreadLivesOn)
{
    Linked l;
    l.server.text("[{\"type\":\"InviteNotification\",\"IdString\":\"x\"}]"); // root is an array
    l.server.text("{\"type\":\"InviteNotification\",\"IdString\":[1,2]}");   // id is not text
    l.server.text("{\"type\":\"InviteNotification\",\"IdString\":\"after\"}");
    l.flush();
    EXPECT_EQ(l.f.host().gameThreadFnameTexts(), std::vector<std::string>{"invite after"});
    EXPECT_EQ(l.ep().current_status(), "Open");
}

TEST(Websocket, RegistrationFrameArrivesByteForByte)
{
    Linked l;
    const std::string body = "{\"Type\":\"Register\", \"Title\": \"caf\xc3\xa9 \\\"x\\\"\"}";
    l.ep().send(body);
    ASSERT_TRUE(l.server.waitReceived(1));
    EXPECT_EQ(l.server.received()[0], body);
}

// Only a close the plug-in started itself is quiet: the server ending the
// socket, even normally, ends the registration.
TEST(Websocket, ServerCloseWith1000RunsTheNotifierWithItsConnection)
{
    Linked l;
    auto record = l.ep().get_metadata();
    l.server.close(1000, "bye");
    ASSERT_TRUE(l.f.host().waitForLog("Closed connection : ", 5s));
    l.barrier();
    EXPECT_EQ(record->get_status(), "Closed");
    EXPECT_EQ(record->get_error_reason(), "close code: 1000 (Normal close), close reason: bye");
    EXPECT_EQ(l.countCommand("crw_ws_closedconnection_bad"), 1u);
    // The notifier took the connection's id: nobody is registered on it.
    EXPECT_EQ(l.countLog("Close of connection 1 ignored : not the current registration"), 1u);
    EXPECT_EQ(l.ep().take_bad_close(), std::nullopt);
}

TEST(Websocket, AbnormalEndsRunTheClosedConnectionNotifierOnce)
{
    for (bool drop : {false, true}) {
        Linked l;
        auto record = l.ep().get_metadata();
        if (drop) {
            l.server.drop();
        } else {
            l.server.close(1008, "policy");
        }
        ASSERT_TRUE(l.f.host().waitForLog("Closed connection : ", 5s));
        l.barrier();
        EXPECT_EQ(record->get_status(), "Closed");
        EXPECT_EQ(l.countCommand("crw_ws_closedconnection_bad"), 1u) << drop;
        if (drop) {
            EXPECT_EQ(record->get_error_reason(), "close code: 1006 (Abnormal close), close reason: ");
        } else {
            // The library's own wording, misspelling included.
            EXPECT_EQ(record->get_error_reason(), "close code: 1008 (Policy violoation), close reason: policy");
        }
    }
}

TEST(Websocket, WaitWhileConnectingBlocksUntilTheOutcome)
{
    PluginFixture f;
    websocket_endpoint ep;
    EXPECT_EQ(ep.wait_while_connecting(5s), ""); // no record at all

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ep.connect("ws://127.0.0.1:" + std::to_string(crwtest::closedPort()) + "/"), 1);
    EXPECT_EQ(ep.wait_while_connecting(10s), "Failed");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_FALSE(ep.get_metadata()->get_error_reason().empty());
    EXPECT_TRUE(f.host().waitForLog("Failed : ", 1s));
    EXPECT_TRUE(f.host().commands().empty());

    EXPECT_EQ(ep.connect("not a uri"), -1);
    EXPECT_TRUE(f.host().waitForLog("Connect initialization error : ", 1s));
    EXPECT_EQ(ep.current_status(), "Failed"); // the earlier record stays
}

TEST(Websocket, SendAndCloseWithoutARecordOrWithABadCodeOnlyLog)
{
    PluginFixture f;
    {
        websocket_endpoint ep;
        ep.send("x");
        EXPECT_FALSE(ep.close(1000, "r"));
        auto logs = f.host().logs();
        EXPECT_EQ(std::count(logs.begin(), logs.end(), "Error websocket connection is null !"), 2);
    }
    Linked l;
    EXPECT_FALSE(l.ep().close(1006, "reserved"));
    EXPECT_TRUE(l.f.host().waitForLog("Error initiating close: ", 1s));
    EXPECT_EQ(l.ep().current_status(), "Open");
    EXPECT_TRUE(l.ep().close(1000, "Manage Registration : Client unregistered"));
    ASSERT_TRUE(l.server.waitCloses(1));
    EXPECT_EQ(l.server.closeCodes()[0], 1000);
    EXPECT_TRUE(l.f.host().waitForLog("Closed connection : close code: 1000", 5s));
    l.barrier();
    EXPECT_EQ(l.countCommand("crw_ws_closedconnection_bad"), 0u);
}

TEST(Websocket, DestroyingWithoutAnOpenRecordSendsNothing)
{
    PluginFixture f;
    {
        websocket_endpoint idle;
    } // never connected: still joins
    {
        websocket_endpoint failed;
        failed.connect("ws://127.0.0.1:" + std::to_string(crwtest::closedPort()) + "/");
        EXPECT_EQ(failed.wait_while_connecting(5s), "Failed");
    }
    WsServer server;
    {
        websocket_endpoint closed;
        closed.connect(server.url());
        ASSERT_EQ(closed.wait_while_connecting(5s), "Open");
        ASSERT_TRUE(server.waitConnections(1));
        server.close(1000, "");
        ASSERT_TRUE(f.host().waitForLog("Closed connection : ", 5s));
    }
    auto logs = f.host().logs();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "Closed connection"), 0);
    // The server's side of the handshake may finish after the client's.
    ASSERT_TRUE(server.waitCloses(1));
    EXPECT_EQ(server.closeCodes(), std::vector<int>{1000}); // only the server's own close, echoed
}

TEST(Websocket, DestroyingWithOpenConnectionsClosesThemWith1001Quietly)
{
    PluginFixture f;
    WsServer server;
    std::shared_ptr<connection_metadata> first, second;
    {
        websocket_endpoint ep;
        ep.connect(server.url());
        ASSERT_EQ(ep.wait_while_connecting(5s), "Open");
        first = ep.get_metadata();
        // A second connect replaces the record but leaves the first connection open.
        ep.connect(server.url());
        ASSERT_EQ(ep.wait_while_connecting(5s), "Open");
        second = ep.get_metadata();
        ASSERT_TRUE(server.waitConnections(2));
        EXPECT_NE(first, second);
        EXPECT_EQ(first->get_status(), "Open");
    }
    // The destructor returned, so the I/O thread was joined.
    ASSERT_TRUE(server.waitCloses(2));
    EXPECT_EQ(server.closeCodes(), (std::vector<int>{1001, 1001}));
    EXPECT_EQ(first->get_status(), "Closed");
    EXPECT_EQ(second->get_status(), "Closed");
    auto logs = f.host().logs();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "Closed connection"), 1);
    f.host().drainGame();
    // Its own going-away close is not the server ending the registration.
    EXPECT_TRUE(f.host().commands().empty());
}

TEST(Websocket, OversizedFrameClosesTheSocketBeforeItIsRead)
{
    Linked l;
    l.server.text(std::string(websocket_endpoint::max_frame_bytes, 'a')); // the largest accepted
    l.flush();
    l.server.text("{\"type\":\"InviteNotification\",\"IdString\":\"" +
                  std::string(websocket_endpoint::max_frame_bytes, 'x') + "\"}");
    EXPECT_TRUE(l.f.host().waitForLog(
        "Websocket frame over " + std::to_string(websocket_endpoint::max_frame_bytes) + " bytes refused", 10s));
    ASSERT_TRUE(l.server.waitCloses(1));
    EXPECT_EQ(l.server.closeCodes()[0], 1009);
    // Ends the registration like any other close.
    EXPECT_TRUE(l.f.host().waitFor([&] { return l.countCommand("crw_ws_closedconnection_bad") == 1; }, 10s));
    EXPECT_EQ(l.ep().current_status(), "Closed");
    EXPECT_TRUE(l.f.host().fnameTexts().empty());
}

TEST(Websocket, RepeatedBadMessagesRunTheNotifierAtMostOncePerSecond)
{
    Linked l;
    for (int i = 0; i < 300; ++i) {
        l.server.text(kBadMessage);
    }
    l.flush();
    EXPECT_EQ(l.countLog("Message received : " + kBadMessage), 300u);
    EXPECT_EQ(l.countCommand("crw_ws_badmessage"), 1u);
    std::this_thread::sleep_for(1100ms); // the next second may raise it again
    l.server.text(kBadMessage);
    l.flush("second sentinel");
    EXPECT_EQ(l.countCommand("crw_ws_badmessage"), 2u);
}

TEST(Websocket, CloseReturnsWhileTheIOThreadIsBusy)
{
    std::mutex m;
    std::condition_variable cv;
    bool busy = false, release = false;
    Linked l;
    l.f.host().setLogHook([&](const std::string& line) {
        if (line == "Message received : hold") {
            std::unique_lock<std::mutex> lock(m);
            busy = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        }
    });
    l.server.text("hold");
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return busy; }));
    }
    // Stop calls this under the state lock, from the frame or a timer.
    EXPECT_TRUE(l.ep().close(1000, "Manage Registration : Client unregistered"));
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(l.server.waitCloses(1));
    EXPECT_EQ(l.server.closeCodes()[0], 1000);
    l.barrier();
    EXPECT_EQ(l.countCommand("crw_ws_closedconnection_bad"), 0u);
}
