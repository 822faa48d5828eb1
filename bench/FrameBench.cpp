// Median cost of one headless frame of the main window with 100, 1,000 and
// 10,000 searchers, with and without a keyword. Only the rows in view are
// drawn, so the three should cost about the same.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <mutex>

#include "TestHost.h"
#include "UiDriver.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"

namespace {

std::vector<crw::Searcher> makeList(int count)
{
    static const char* const kWords[] = {"ranked", "chill", "tournament", "hoops", "late night", "scrims"};
    std::vector<crw::Searcher> list;
    list.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        crw::Searcher s;
        s.title = std::string(kWords[i % 6]) + " team " + std::to_string(i);
        s.creatorName = "Player" + std::to_string(i);
        s.creatorIdString = "Epic|" + std::to_string(i) + "|0";
        for (const char* name : {"Ranked-2v2", "Ranked-3v3"}) {
            crw::PlaylistSetting p;
            p.name = name;
            p.mmr = std::to_string(900 + i % 700);
            p.range = i % 3 == 0 ? 100 : 0;
            s.playlists.push_back(p);
        }
        s.regions = {"Europe", "US-East"};
        s.languages = {"English", "French"};
        s.voiceChat = i % 2 ? "true" : "any";
        list.push_back(std::move(s));
    }
    return list;
}

void frameCost(benchmark::State& state, const char* keyword)
{
    const int count = static_cast<int>(state.range(0));
    crwtest::PluginFixture fixture;
    CRW& plugin = fixture.plugin();
    {
        std::lock_guard<std::recursive_mutex> lock(plugin.stateMutex);
        plugin.HasSeeNewUpdateAlert = true;
        plugin.searchers = makeList(count);
        plugin.allSearchers = plugin.searchers;
        ++plugin.searchersVersion;
    }
    std::snprintf(crw::keywordBuffer, sizeof(crw::keywordBuffer), "%s", keyword);
    plugin.OnOpen();
    {
        crwui::UiDriver driver(&plugin, nullptr);
        driver.setRecording(false);
        driver.frame(5);
        for (auto _ : state) {
            driver.frame();
        }
    }
    crw::keywordBuffer[0] = '\0';
    state.counters["searchers"] = count;
}

void BM_Frame(benchmark::State& state) { frameCost(state, ""); }
void BM_FrameWithKeyword(benchmark::State& state) { frameCost(state, "TEAM 1"); }

} // namespace

BENCHMARK(BM_Frame)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_FrameWithKeyword)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
