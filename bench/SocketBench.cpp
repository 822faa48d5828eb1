// Hostile WebSocket servers against the plug-in, with its window drawn about
// 60 times a second on this thread (the render thread):
//   big   - one 31 MB text frame: how much the process grows, how the
//           connection ends, and the longest frame meanwhile;
//   flood - 2,000 bad-message frames in 10 s: how many popups queue up and
//           how many clicks clear them.
// The server runs in a child process, so its own copy of the 31 MB does not
// count in the plug-in's memory. Prints one line per figure.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "TestHost.h"
#include "UiDriver.h"
#include "plugin/CRW.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kBadMessage = "Websocket Server: | Error: bad message, message is not a good json !";

// Child: serves "/big" and "/flood"; writes its port to fd, never returns.
[[noreturn]] void serve(int fd)
{
    using server = websocketpp::server<websocketpp::config::asio>;
    server s;
    s.clear_access_channels(websocketpp::log::alevel::all);
    s.clear_error_channels(websocketpp::log::elevel::all);
    s.init_asio();
    s.set_open_handler([&s](websocketpp::connection_hdl hdl) {
        const std::string resource = s.get_con_from_hdl(hdl)->get_resource();
        if (resource == "/big") {
            s.send(hdl, std::string(31u << 20, 'x'), websocketpp::frame::opcode::text);
            return;
        }
        std::thread([&s, hdl] {
            for (int i = 0; i < 2000; ++i) {
                websocketpp::lib::error_code ec;
                s.send(hdl, kBadMessage, websocketpp::frame::opcode::text, ec);
                std::this_thread::sleep_for(5ms);
            }
        }).detach();
    });
    s.listen(boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    s.start_accept();
    websocketpp::lib::asio::error_code ec;
    const unsigned short port = s.get_local_endpoint(ec).port();
    if (::write(fd, &port, sizeof(port)) != sizeof(port)) {
        std::_Exit(1);
    }
    ::close(fd);
    s.run();
    std::_Exit(0);
}

long rssKb(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(std::string(field).size()));
        }
    }
    return -1;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Run {
    double longestFrameMs = 0;
    long frames = 0;
};

// Draws frames at about 60 a second until done() or the time-out.
template <typename Done> Run drawUntil(crwui::UiDriver& ui, Done done, Clock::duration limit)
{
    Run run;
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) {
        const auto before = Clock::now();
        ui.frame();
        run.longestFrameMs = std::max(run.longestFrameMs, ms(Clock::now() - before));
        ++run.frames;
        std::this_thread::sleep_until(before + 16ms);
    }
    return run;
}

bool sawCommand(crwtest::TestHost& host, const std::string& command)
{
    for (const auto& c : host.commands()) {
        if (c == command) {
            return true;
        }
    }
    return false;
}

} // namespace

int main()
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return 1;
    }
    const pid_t child = ::fork(); // before any thread of ours starts
    if (child == 0) {
        ::close(fds[0]);
        serve(fds[1]);
    }
    ::close(fds[1]);
    unsigned short port = 0;
    if (::read(fds[0], &port, sizeof(port)) != sizeof(port)) {
        return 1;
    }
    const std::string base = "ws://127.0.0.1:" + std::to_string(port);

    {
        crwtest::PluginFixture f;
        CRW& plugin = f.plugin();
        {
            std::lock_guard<std::recursive_mutex> lock(plugin.stateMutex);
            plugin.HasSeeNewUpdateAlert = true;
        }
        plugin.OnOpen();
        crwui::UiDriver ui(&plugin, nullptr);
        ui.setRecording(false);
        ui.frame(10);

        const long before = rssKb("VmRSS:");
        const auto start = Clock::now();
        plugin.endpoint.connect(base + "/big");
        long highest = before;
        const Run run = drawUntil(
            ui,
            [&] {
                highest = std::max(highest, rssKb("VmRSS:"));
                return sawCommand(f.host(), "crw_ws_closedconnection_bad");
            },
            30s);
        std::printf("big: RSS %ld kB before, highest %ld kB (+%.1f MB); status %s after %.1f s; "
                    "longest frame %.2f ms over %ld frames\n",
                    before, highest, static_cast<double>(highest - before) / 1024.0,
                    plugin.endpoint.current_status().c_str(), ms(Clock::now() - start) / 1000.0, run.longestFrameMs,
                    run.frames);
    }

    {
        crwtest::PluginFixture f;
        CRW& plugin = f.plugin();
        {
            std::lock_guard<std::recursive_mutex> lock(plugin.stateMutex);
            plugin.HasSeeNewUpdateAlert = true; // the notice would hold the queue back
        }
        plugin.OnOpen();
        crwui::UiDriver ui(&plugin, nullptr);
        ui.setRecording(false);
        ui.frame(10);
        plugin.endpoint.connect(base + "/flood");
        std::size_t mostQueued = 0;
        const auto start = Clock::now();
        const Run run = drawUntil(
            ui,
            [&] {
                std::lock_guard<std::recursive_mutex> lock(plugin.stateMutex);
                mostQueued = std::max(mostQueued, plugin.uiState.popupQueue.size());
                return false;
            },
            13s);
        long received = 0, notifiers = 0;
        for (const auto& l : f.host().logs()) {
            received += l == "Message received : " + kBadMessage;
        }
        for (const auto& c : f.host().commands()) {
            notifiers += c == "crw_ws_badmessage";
        }
        f.host().drainGame();
        ui.setRecording(true);
        ui.frame(3);
        int clicks = 0;
        while (ui.isOpen("WsClientBadMessage") && clicks < 100) {
            ui.click("WsClientBadMessage/OK");
            ++clicks;
            ui.frame(3);
        }
        std::printf("flood: %ld bad-message frames in %.1f s, %ld notifier runs, at most %zu popups queued, "
                    "%d clicks to clear them; longest frame %.2f ms over %ld frames\n",
                    received, ms(Clock::now() - start) / 1000.0, notifiers, mostQueued, clicks, run.longestFrameMs,
                    run.frames);
    }

    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    return 0;
}
