// Resident memory of the "/list" completion refreshed every 1.5 s, against an
// 8 MiB answer of tiny entries and against 20,000 maximal legal searchers.
// Each refresh empties the lists on the game thread, as GetSearchers does, and
// delivers a fresh copy of the answer on a new thread, as the host's HTTP
// service does. Usage: crw_bench_list_memory [seconds per answer, default 60]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "TestHost.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"

namespace {

class QuietHost : public crwtest::TestHost {
public:
    void log(const std::string&) override {}
};

// VmRSS or VmHWM of this process, in MB.
double statusMB(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::atof(line.c_str() + std::string(field).size() + 1) / 1024.0;
        }
    }
    return 0;
}

void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::string tinyEntries()
{
    std::string text = "{\"Searchers\":[{}";
    while (text.size() + 5 < 8u * 1024 * 1024) {
        text += ",{}";
    }
    return text + "]}";
}

// 20,000 searchers with 36 regions and 36 languages each, titles as long as
// 8 MiB leaves room for: the most a legal answer makes the plug-in keep.
std::string maximalSearchers()
{
    std::string names;
    for (int i = 0; i < 36; ++i) {
        names += std::string(i ? "," : "") + "\"L\"";
    }
    auto entry = [&](int i, std::size_t titleBytes) {
        const std::string n = std::to_string(i);
        return "{\"Title\":\"" + std::string(titleBytes, 't') + "\",\"Creator\":{\"Name\":\"P" + n +
               "\"},\"Playlists\":[{\"Playlist\":\"Other\",\"MMR\":\"1\",\"Range\":\"0\"}],"
               "\"Regions\":[" + names + "],\"Languages\":[" + names + "]}";
    };
    const std::size_t budget = (8u * 1024 * 1024 - 64) / 20000;
    const std::size_t title = std::min<std::size_t>(127, budget - std::min(budget, entry(19999, 0).size() + 1));
    std::string text = "{\"Searchers\":[";
    for (int i = 0; i < 20000; ++i) {
        text += (i ? "," : "") + entry(i, title);
    }
    return text + "]}";
}

void run(const char* label, const std::string& answer, double seconds)
{
    crwtest::PluginFixture fixture;
    QuietHost quiet;
    crw::setGlobalHandles(quiet.cvarManager, fixture.host().gameWrapper);
    CRW& plugin = fixture.plugin();
    const std::map<std::string, float> mmr{{"Ranked-2v2", 1000.f}};
    const double idle = statusMB("VmRSS:");
    double worstPeak = 0;
    double worstHeld = 0;
    double worstAfter = 0;
    std::size_t listed = 0;
    int refreshes = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (auto next = std::chrono::steady_clock::now(); next < end; next += std::chrono::milliseconds(1500)) {
        std::this_thread::sleep_until(next);
        resetPeak();
        uint64_t seq = 0;
        fixture.host().gameWrapper->Execute([&](GameWrapper*) {
            std::lock_guard<std::recursive_mutex> lock(plugin.stateMutex);
            plugin.ClearSearchers();
            seq = ++plugin.listRequestSeq;
        });
        fixture.host().drainGame();
        std::thread([&] { plugin.OnSearchersResult(mmr, 200, std::string(answer), seq); }).join();
        {
            std::lock_guard<std::recursive_mutex> lock(plugin.stateMutex);
            listed = plugin.searchers.size();
        }
        worstHeld = std::max(worstHeld, statusMB("VmRSS:") - idle);
        worstPeak = std::max(worstPeak, statusMB("VmHWM:") - idle);
        // What the refresh leaves once its lists are gone again.
        plugin.ClearSearchers();
        worstAfter = std::max(worstAfter, statusMB("VmRSS:") - idle);
        ++refreshes;
    }
    crw::setGlobalHandles(fixture.host().cvarManager, fixture.host().gameWrapper);
    std::printf("%s: %.1f MiB answer, %zu listed, %d refreshes; idle RSS %.0f MB; above idle: peak %.0f MB, "
                "lists held %.0f MB, lists emptied %.0f MB\n",
                label, answer.size() / 1048576.0, listed, refreshes, idle, worstPeak, worstHeld, worstAfter);
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    run("tiny entries", tinyEntries(), seconds);
    run("20,000 maximal searchers", maximalSearchers(), seconds);
    return 0;
}
