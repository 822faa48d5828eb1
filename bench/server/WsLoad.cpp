// crw_ws_load: registers N players against a running crw-server the way the plug-in does (/register, WebSocket,
// the body as one frame), each from its own loopback address (127.1.x.y), holds their sockets, and reports the
// register-to-listed latency, the server's resident memory per listed player and fresh /CheckAPI latency while
// they are held. Bounded: every player and every wait has a limit, and it stops by itself after --hold seconds.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

unsigned short gPort = 3000;
unsigned gFailed = 0;
unsigned gListed = 0;
std::vector<double> gLatencyMs;

std::string sourceAddress(unsigned i) { return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1); }

std::string body(unsigned i)
{
    return R"({"Type":"Register", "Title": "Load player )" + std::to_string(i) +
           R"( looking for a duo", "Creator":{"Name": "Load)" + std::to_string(i) + R"(", "IdString": "Steam|)" +
           std::to_string(76561190000000000ULL + i) +
           R"(|0"}, "Playlists":[{"Playlist":"Ranked-2v2", "MMR":"1000.0", "Range":"100"}], "Regions":["Europe"], )"
           R"("Languages":["Any"], "VoiceChat":"any"})";
}

std::string inviteSelf(unsigned i)
{
    const std::string id = "Steam|" + std::to_string(76561190000000000ULL + i) + "|0";
    return R"({"Searcher":{"Name":"x", "IdString":")" + id + R"("}, "User":{"Name":"probe","IdString":"Steam|1|0"}})";
}

tcp::socket boundSocket(net::io_context& ioc, const std::string& from)
{
    tcp::socket s(ioc);
    s.open(tcp::v4());
    s.bind(tcp::endpoint(net::ip::make_address(from), 0));
    return s;
}

// One HTTP request on a fresh connection from `from`; calls done(status) (0 on failure).
class HttpCall : public std::enable_shared_from_this<HttpCall> {
public:
    HttpCall(net::io_context& ioc, const std::string& from, std::string target, std::string bodyText,
             std::function<void(int)> done)
        : stream_(boundSocket(ioc, from)), done_(std::move(done))
    {
        req_ = {http::verb::post, target, 11};
        req_.set(http::field::host, "127.0.0.1");
        req_.body() = std::move(bodyText);
        req_.prepare_payload();
    }
    void run()
    {
        stream_.expires_after(std::chrono::seconds(10));
        stream_.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), gPort), [self = shared_from_this()](
                                                                                            beast::error_code ec) {
            if (ec)
                return self->done_(0);
            http::async_write(self->stream_, self->req_, [self](beast::error_code ec2, std::size_t) {
                if (ec2)
                    return self->done_(0);
                self->read();
            });
        });
    }

private:
    void read()
    {
        http::async_read(stream_, buf_, res_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            beast::error_code ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
            self->done_(ec ? 0 : static_cast<int>(self->res_.result_int()));
        });
    }
    beast::tcp_stream stream_;
    std::function<void(int)> done_;
    http::request<http::string_body> req_;
    http::response<http::string_body> res_;
    beast::flat_buffer buf_;
};

class Player : public std::enable_shared_from_this<Player> {
public:
    Player(net::io_context& ioc, unsigned index, std::function<void()> finished)
        : ioc_(ioc), index_(index), from_(sourceAddress(index)), ws_(boundSocket(ioc, from_)),
          finished_(std::move(finished))
    {
    }
    void start()
    {
        started_ = Clock::now();
        std::make_shared<HttpCall>(ioc_, from_, "/register", body(index_), [self = shared_from_this()](int status) {
            if (status != 200)
                return self->fail();
            self->openSocket();
        })->run();
    }
    void close()
    {
        beast::error_code ec;
        ws_.next_layer().close(ec);
    }

private:
    void openSocket()
    {
        auto self = shared_from_this();
        ws_.next_layer().async_connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), gPort), [self](beast::error_code ec) {
                if (ec)
                    return self->fail();
                self->ws_.async_handshake("127.0.0.1", "/", [self](beast::error_code ec2) {
                    if (ec2)
                        return self->fail();
                    self->frame_ = body(self->index_);
                    self->ws_.text(true);
                    self->ws_.async_write(net::buffer(self->frame_), [self](beast::error_code ec3, std::size_t) {
                        if (ec3)
                            return self->fail();
                        self->keepReading();
                        self->probe();
                    });
                });
            });
    }
    // Listed once an invite to itself is accepted (402 means not listed yet).
    void probe()
    {
        std::make_shared<
            HttpCall>(ioc_, from_, "/RequestInvite", inviteSelf(index_), [self = shared_from_this()](int status) {
            if (status == 200) {
                gLatencyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - self->started_).count());
                ++gListed;
                return self->finished_();
            }
            if (status != 402 || ++self->probes_ > 50)
                return self->fail();
            self->probe();
        })->run();
    }
    // Reading answers the server's pings and takes the invite frames.
    void keepReading()
    {
        ws_.async_read(rd_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->rd_.clear();
            if (!ec)
                self->keepReading();
        });
    }
    void fail()
    {
        ++gFailed;
        finished_();
    }

    net::io_context& ioc_;
    unsigned index_;
    std::string from_;
    websocket::stream<tcp::socket> ws_;
    std::function<void()> finished_;
    Clock::time_point started_;
    std::string frame_;
    beast::flat_buffer rd_;
    unsigned probes_ = 0;
};

long rssKb(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

} // namespace

int main(int argc, char** argv)
{
    unsigned players = 1000, window = 64, hold = 10;
    int serverPid = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const unsigned long v = std::strtoul(argv[i + 1], nullptr, 10);
        if (a == "--port")
            gPort = static_cast<unsigned short>(v);
        else if (a == "--players")
            players = std::min<unsigned long>(v, 60000);
        else if (a == "--window")
            window = std::max<unsigned long>(1, v);
        else if (a == "--hold")
            hold = std::min<unsigned long>(v, 600);
        else if (a == "--pid")
            serverPid = static_cast<int>(v);
    }

    net::io_context ioc;
    const long rssBefore = serverPid ? rssKb(serverPid) : -1;
    std::vector<std::shared_ptr<Player>> all;
    unsigned next = 0, done = 0;
    std::function<void()> launch = [&] {
        if (next >= players)
            return;
        auto p = std::make_shared<Player>(ioc, next++, [&] {
            ++done;
            launch();
        });
        all.push_back(p);
        p->start();
    };
    const auto began = Clock::now();
    for (unsigned i = 0; i < window; ++i)
        launch();
    while (done < players && Clock::now() - began < std::chrono::seconds(300))
        ioc.run_one_for(std::chrono::seconds(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

    // Let the server settle, then measure its memory and a fresh /CheckAPI while every socket is held.
    ioc.run_for(std::chrono::seconds(1));
    const long rssAfter = serverPid ? rssKb(serverPid) : -1;
    std::vector<double> check;
    for (int i = 0; i < 50; ++i) {
        const auto t0 = Clock::now();
        bool finished = false;
        std::make_shared<HttpCall>(ioc, "127.2.0.1", "/CheckAPI", "", [&](int status) {
            finished = true;
            if (status == 200)
                check.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        })->run();
        const auto deadline = t0 + std::chrono::seconds(5);
        while (!finished && Clock::now() < deadline)
            ioc.run_one_for(std::chrono::milliseconds(100));
    }

    std::printf("players %u listed %u failed %u in %.1f s (%.0f/s)\n", players, gListed, gFailed, seconds,
                gListed / seconds);
    std::printf("register-to-listed ms: p50 %.2f p99 %.2f max %.2f\n", percentile(gLatencyMs, 0.5),
                percentile(gLatencyMs, 0.99), percentile(gLatencyMs, 1.0));
    if (serverPid)
        std::printf("server rss kB: before %ld after %ld -> %.2f kB per listed player\n", rssBefore, rssAfter,
                    gListed ? double(rssAfter - rssBefore) / gListed : 0.0);
    std::printf("fresh /CheckAPI ms while held: answered %zu/50 p50 %.2f max %.2f\n", check.size(),
                percentile(check, 0.5), percentile(check, 1.0));
    std::printf("ready\n");
    std::fflush(stdout);
    ioc.run_for(std::chrono::seconds(hold));
    for (auto& p : all)
        p->close();
    ioc.run_for(std::chrono::milliseconds(500));
    return gFailed ? 1 : 0;
}
