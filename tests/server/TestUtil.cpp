#include "TestUtil.h"

#include <json/json.h>

#include <array>
#include <cstdio>
#include <thread>

namespace crw::test {

namespace {
void bindTo(tcp::socket& socket, const std::string& from)
{
    if (from.empty())
        return;
    socket.open(tcp::v4());
    socket.bind(tcp::endpoint(net::ip::make_address(from), 0));
}
} // namespace

std::string rawExchange(unsigned short port, const std::string& bytes, std::chrono::milliseconds limit,
                        const std::string& from)
{
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    bindTo(stream.socket(), from);
    std::string received;
    std::array<char, 4096> buf{};
    stream.expires_after(limit);
    std::function<void()> readMore = [&] {
        stream.async_read_some(net::buffer(buf), [&](beast::error_code ec, std::size_t n) {
            received.append(buf.data(), n);
            if (!ec)
                readMore();
        });
    };
    stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), [&](beast::error_code ec) {
        if (ec)
            return;
        readMore(); // reading at once: an early answer is not lost when the server stops reading
        net::async_write(stream, net::buffer(bytes), [&](beast::error_code, std::size_t) {});
    });
    ioc.run();
    return received;
}

void holdIdle(net::io_context& ioc, std::vector<std::unique_ptr<tcp::socket>>& idle, const std::string& from,
              int count, unsigned short port)
{
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<tcp::socket>(ioc);
        s->open(tcp::v4());
        s->bind(tcp::endpoint(net::ip::make_address(from), 0));
        beast::error_code ec;
        s->connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
        idle.push_back(std::move(s));
    }
}

HttpResult httpRequest(unsigned short port, const std::string& method, const std::string& target,
                       const std::string& body, const std::string& from)
{
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    bindTo(stream.socket(), from);
    HttpResult result;
    http::request<http::string_body> req(http::string_to_verb(method), target, 11);
    if (req.method() == http::verb::unknown)
        req.method_string(method);
    req.set(http::field::host, "127.0.0.1");
    if (!body.empty()) {
        req.set(http::field::content_type, "application/json");
        req.body() = body;
    }
    req.prepare_payload();
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    stream.expires_after(kWait);
    stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), [&](beast::error_code ec) {
        if (ec)
            return;
        http::async_write(stream, req, [&](beast::error_code ec2, std::size_t) {
            // A refused body may be cut short by the server; its answer is still worth reading.
            (void)ec2;
            http::async_read(stream, buffer, res, [&](beast::error_code ec3, std::size_t) {
                if (!ec3) {
                    result.status = static_cast<int>(res.result_int());
                    result.body = res.body();
                }
            });
        });
    });
    ioc.run();
    return result;
}

// Like the plug-in: quotes, backslashes and control characters escaped, other bytes copied.
std::string jsonEscape(const std::string& text)
{
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string Reg::body() const
{
    return R"({"Type":"Register", "Title": ")" + jsonEscape(title) + R"(", "Creator":{"Name": ")" + jsonEscape(name) +
           R"(", "IdString": ")" + jsonEscape(id) + R"("}, "Playlists":[)" + playlists + R"(], "Regions":[)" + regions +
           R"(], "Languages":[)" + languages + R"(], "VoiceChat":")" + voice + R"("})";
}

beast::error_code WsClient::run(const std::function<void(std::function<void(beast::error_code)>)>& op,
                                std::chrono::milliseconds limit)
{
    std::optional<beast::error_code> result;
    op([&result](beast::error_code ec) { result = ec; });
    ioc_.restart();
    ioc_.run_for(limit);
    if (!result) {
        beast::error_code ignored;
        ws_.next_layer().cancel(ignored);
        ioc_.restart();
        ioc_.run();
        result = net::error::timed_out;
    }
    lastError_ = *result;
    return *result;
}

void WsClient::smallReceiveBuffer()
{
    if (!ws_.next_layer().is_open())
        ws_.next_layer().open(tcp::v4());
    ws_.next_layer().set_option(net::socket_base::receive_buffer_size(2048));
}

bool WsClient::connect(unsigned short port, const std::string& target, const std::string& from)
{
    if (!from.empty()) {
        if (!ws_.next_layer().is_open())
            ws_.next_layer().open(tcp::v4());
        ws_.next_layer().bind(tcp::endpoint(net::ip::make_address(from), 0));
    }
    auto ec = run(
        [&](auto done) {
            ws_.next_layer().async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), done);
        },
        kWait);
    if (ec)
        return false;
    ec = run([&](auto done) { ws_.async_handshake("127.0.0.1", target, done); }, kWait);
    return !ec;
}

bool WsClient::send(const std::string& text)
{
    ws_.text(true);
    return !run([&](auto done) { ws_.async_write(net::buffer(text), [done](auto ec, std::size_t) { done(ec); }); },
                kWait);
}

std::optional<std::string> WsClient::read(std::chrono::milliseconds limit)
{
    buffer_.clear();
    if (run([&](auto done) { ws_.async_read(buffer_, [done](auto ec, std::size_t) { done(ec); }); }, limit))
        return std::nullopt;
    return beast::buffers_to_string(buffer_.data());
}

bool WsClient::close(websocket::close_code code, const std::string& reason)
{
    return !run([&](auto done) { ws_.async_close(websocket::close_reason(code, reason), done); }, kWait);
}

void WsClient::drop()
{
    beast::error_code ec;
    ws_.next_layer().close(ec);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void ServerTest::startServer(server::ServerOptions options)
{
    options.log = [this](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex_);
        log_.push_back(line);
    };
    server_ = std::make_unique<server::Server>(options);
    port_ = server_->start("127.0.0.1", 0);
    ASSERT_NE(port_, 0);
}

void ServerTest::TearDown()
{
    if (server_)
        server_->stop();
}

std::unique_ptr<WsClient> ServerTest::registerAndConnect(const Reg& reg, const std::string& from)
{
    auto res = httpRequest(port_, "POST", "/register", reg.body(), from);
    EXPECT_EQ(res.status, 200) << res.body;
    auto ws = std::make_unique<WsClient>();
    EXPECT_TRUE(ws->connect(port_, "/", from));
    EXPECT_TRUE(ws->send(reg.body()));
    EXPECT_TRUE(eventually([&] {
        auto list = httpRequest(port_, "GET", "/list");
        return list.body.find(jsonEscape(reg.id)) != std::string::npos;
    }));
    return ws;
}

std::vector<std::string> ServerTest::logLines()
{
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
}

unsigned ServerTest::listSize()
{
    Json::Value root;
    Json::Reader reader;
    reader.parse(httpRequest(port_, "GET", "/list").body, root);
    return root["Searchers"].size();
}

} // namespace crw::test
