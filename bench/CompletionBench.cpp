// The "/list" completion with 10,000 searchers: how many searchers a second
// it turns into the shown list (parse, visibility test, log lines into a sink
// that only counts), and the longest time a thread that takes stateMutex
// every 0.5 ms, as the render thread does every frame, waits meanwhile.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "TestHost.h"
#include "plugin/Globals.h"
#include "plugin/CRW.h"

namespace {

constexpr int kSearchers = 10000;

// Counts log lines and keeps nothing.
class CountingHost : public crwtest::TestHost {
public:
    void log(const std::string&) override { lines.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<long> lines{0};
};

std::string listAnswer(int count)
{
    std::string text = "{\"Searchers\":[";
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        text += (i ? "," : "");
        text += "{\"Title\":\"ranked team " + n + "\",\"Creator\":{\"Name\":\"Player" + n + "\",\"IdString\":\"Epic|" +
                n + "|0\"},\"Playlists\":[{\"Playlist\":\"Ranked-2v2\",\"MMR\":\"" + std::to_string(900 + i % 300) +
                "\",\"Range\":\"" + (i % 4 ? "150" : "0") +
                "\"},{\"Playlist\":\"Ranked-3v3\",\"MMR\":\"1000\",\"Range\":\"50\"}],\"Regions\":[\"Europe\","
                "\"US-East\"],\"Languages\":[\"English\",\"French\"],\"VoiceChat\":\"any\"}";
    }
    return text + "]}";
}

std::map<std::string, float> playerMMR()
{
    std::map<std::string, float> mmr;
    for (const char* name : {"Ranked-2v2", "Ranked-3v3", "Casual-2v2", "Casual-3v3", "Tournament", "Rumble", "Dropshot",
                             "Hoops", "Snowday"}) {
        mmr[name] = 1000.f;
    }
    return mmr;
}

struct Setup {
    crwtest::PluginFixture fixture;
    CountingHost sink;
    std::string answer = listAnswer(kSearchers);
    std::map<std::string, float> mmr = playerMMR();
    Setup() { crw::setGlobalHandles(sink.cvarManager, fixture.host().gameWrapper); }
    ~Setup() { crw::setGlobalHandles(fixture.host().cvarManager, fixture.host().gameWrapper); }

    // What GetSearchers does before the request goes out: not part of the completion.
    uint64_t prepare()
    {
        CRW& p = fixture.plugin();
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        p.allSearchers.clear();
        p.searchers.clear();
        return ++p.listRequestSeq;
    }
    void complete(uint64_t seq) { fixture.plugin().OnSearchersResult(mmr, 200, answer, seq); }
};

void BM_ListCompletion(benchmark::State& state)
{
    Setup s;
    for (auto _ : state) {
        state.PauseTiming();
        const uint64_t seq = s.prepare();
        state.ResumeTiming();
        s.complete(seq);
    }
    state.SetItemsProcessed(state.iterations() * kSearchers);
    state.counters["log_lines_per_completion"] =
        static_cast<double>(s.sink.lines.load()) / static_cast<double>(state.iterations());
}

void BM_RenderWaitDuringCompletion(benchmark::State& state)
{
    Setup s;
    CRW& p = s.fixture.plugin();
    double worstMs = 0;
    for (auto _ : state) {
        const uint64_t seq = s.prepare();
        std::atomic<bool> done{false};
        double longest = 0;
        std::thread probe([&] {
            while (!done.load()) {
                const auto before = std::chrono::steady_clock::now();
                {
                    std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
                }
                const std::chrono::duration<double, std::milli> waited = std::chrono::steady_clock::now() - before;
                longest = std::max(longest, waited.count());
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        s.complete(seq);
        done = true;
        probe.join();
        worstMs = std::max(worstMs, longest);
    }
    state.counters["longest_wait_ms"] = worstMs;
}

} // namespace

BENCHMARK(BM_ListCompletion)->Unit(benchmark::kMillisecond)->Iterations(10)->Repetitions(3);
BENCHMARK(BM_RenderWaitDuringCompletion)->Unit(benchmark::kMillisecond)->Iterations(10)->Repetitions(3);

BENCHMARK_MAIN();
