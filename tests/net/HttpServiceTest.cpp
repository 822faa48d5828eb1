// The hosts' HTTP service (libcurl, or WinHTTP on Windows) against a tiny HTTP server in the test.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <gtest/gtest.h>

#include "HttpService.h"
#include "NetTestUtil.h"

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

// Serves one request per connection, in turn; answers 200 with "echo:" and
// the body, or the status named by a path "/status/N".
class HttpServer {
public:
    struct Seen {
        std::string method, target, body, contentType;
    };

    HttpServer() : acceptor_(ioc_, {asio::ip::address_v4::loopback(), 0})
    {
        port_ = acceptor_.local_endpoint().port();
        thread_ = std::thread([this] { serve(); });
    }
    ~HttpServer()
    {
        stop_ = true;
        asio::io_context wake;
        tcp::socket s(wake);
        boost::system::error_code ec;
        s.connect({asio::ip::address_v4::loopback(), port_}, ec);
        thread_.join();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<Seen> seen()
    {
        std::lock_guard<std::mutex> lock(m_);
        return seen_;
    }

private:
    void serve()
    {
        for (;;) {
            tcp::socket socket(ioc_);
            boost::system::error_code ec;
            acceptor_.accept(socket, ec);
            if (stop_) {
                return;
            }
            if (ec) {
                continue;
            }
            boost::beast::flat_buffer buffer;
            http::request<http::string_body> req;
            http::read(socket, buffer, req, ec);
            if (ec) {
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(m_);
                seen_.push_back({std::string(req.method_string()), std::string(req.target()), req.body(),
                                 std::string(req[http::field::content_type])});
            }
            int status = 200;
            const std::string target(req.target());
            if (target.rfind("/status/", 0) == 0) {
                status = std::stoi(target.substr(8));
            }
            http::response<http::string_body> res{static_cast<http::status>(status), req.version()};
            res.body() = "echo:" + req.body();
            res.keep_alive(false);
            res.prepare_payload();
            http::write(socket, res, ec);
            socket.shutdown(tcp::socket::shutdown_both, ec);
        }
    }

    asio::io_context ioc_;
    tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<Seen> seen_;
};

// Everything a completion reported, with the thread it ran on.
struct Results {
    std::mutex m;
    std::condition_variable cv;
    struct One {
        int code;
        std::string body;
        std::thread::id thread;
    };
    std::vector<One> all;
    crwhost::HttpCallback callback()
    {
        return [this](int code, std::string body) {
            std::lock_guard<std::mutex> lock(m);
            all.push_back({code, std::move(body), std::this_thread::get_id()});
            cv.notify_all();
        };
    }
    std::vector<One> get()
    {
        std::lock_guard<std::mutex> lock(m);
        return all;
    }
};

} // namespace

TEST(HttpService, PlainSendIsAGetAndJsonSendAPostWithItsHeaders)
{
    HttpServer server;
    Results results;
    {
        crwhost::HttpService http;
        CurlRequest get;
        get.url = server.url("/list");
        http.send(get, results.callback(), false);
        http.drain();

        CurlRequest post;
        post.url = server.url("/status/402");
        post.body = "{\"a\":\"\xc3\xa9\"}";
        post.headers["Content-Type"] = "application/json";
        http.send(post, results.callback(), true);
    } // the destructor waits for the transfer and its completion

    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/list");
    EXPECT_EQ(seen[0].body, "");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[1].body, "{\"a\":\"\xc3\xa9\"}");
    EXPECT_EQ(seen[1].contentType, "application/json");

    auto got = results.get();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].code, 200);
    EXPECT_EQ(got[0].body, "echo:");
    EXPECT_EQ(got[1].code, 402);
    EXPECT_EQ(got[1].body, "echo:{\"a\":\"\xc3\xa9\"}");
    for (const auto& one : got) {
        EXPECT_NE(one.thread, std::this_thread::get_id());
    }
}

TEST(HttpService, FailedTransfersCompleteOnceWith418AndTheTransportsText)
{
    Results results;
    const unsigned short port = crwtest::closedPort();
    {
        crwhost::HttpService http;
        CurlRequest closed;
        closed.url = "http://127.0.0.1:" + std::to_string(port) + "/CheckAPI";
        http.send(closed, results.callback(), false);
        // Never a local file, whatever the URL says.
        CurlRequest file;
        file.url = "file:///etc/hostname";
        http.send(file, results.callback(), false);
        http.drain();
        EXPECT_EQ(results.get().size(), 2u);
    }
    auto got = results.get();
    ASSERT_EQ(got.size(), 2u);
    for (const auto& one : got) {
        EXPECT_EQ(one.code, 418);
        EXPECT_FALSE(one.body.empty());
    }
    const auto& refused = got[0].body.find("127.0.0.1") != std::string::npos ? got[0] : got[1];
    EXPECT_NE(refused.body.find("127.0.0.1"), std::string::npos) << refused.body;
    EXPECT_NE(refused.body.find(std::to_string(port)), std::string::npos) << refused.body;
}

TEST(HttpService, ASilentServerTimesOut)
{
    // Accepts connections (the kernel does) but never answers.
    asio::io_context ioc;
    tcp::acceptor silent(ioc, {asio::ip::address_v4::loopback(), 0});
    Results results;
    const auto start = std::chrono::steady_clock::now();
    {
        crwhost::HttpService http(300ms);
        CurlRequest req;
        req.url = "http://127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/list";
        http.send(req, results.callback(), false);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    auto got = results.get();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, 418);
}

TEST(HttpService, ABlockedCompletionDoesNotHoldUpOtherTransfers)
{
    HttpServer server;
    std::mutex m;
    std::condition_variable cv;
    bool secondDone = false;
    bool firstSawSecond = false;
    {
        crwhost::HttpService http;
        CurlRequest first;
        first.url = server.url("/register");
        http.send(
            first,
            [&](int, std::string) {
                // Like the registration completion waiting for its socket.
                std::unique_lock<std::mutex> lock(m);
                firstSawSecond = cv.wait_for(lock, 5s, [&] { return secondDone; });
            },
            true);
        CurlRequest second;
        second.url = server.url("/list");
        http.send(
            second,
            [&](int, std::string) {
                std::lock_guard<std::mutex> lock(m);
                secondDone = true;
                cv.notify_all();
            },
            false);
        http.drain();
    }
    EXPECT_TRUE(firstSawSecond);
}
