// crw_list_bench: what rebuilding the shared "/list" answer costs after a change, with the listings fitting the
// budget and with the budget choosing among them (entries or bytes too many).
#include "LocalRegistry.h"

#include <json/value.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

using namespace crw::server;

namespace {

Json::Value entry(unsigned i, bool big)
{
    Json::Value e;
    e["Title"] = big ? std::string(127, '"') : fmt::format("Player {} looking for a duo", i);
    e["Creator"]["Name"] = big ? std::string(256, '"') : fmt::format("Player{}", i);
    e["Creator"]["IdString"] = fmt::format("Steam|{}|0", 76561190000000000ULL + i);
    for (unsigned p = 0; p < (big ? 10u : 1u); ++p) {
        Json::Value pl;
        pl["Playlist"] = fmt::format("Playlist{}", p);
        pl["MMR"] = "1000.0";
        pl["Range"] = "100";
        e["Playlists"].append(pl);
    }
    e["Regions"].append("Europe");
    e["Languages"].append("Any");
    e["VoiceChat"] = "any";
    return e;
}

void run(const char* what, unsigned count, unsigned perAddress, bool big, bool budget = true)
{
    RegistryLimits limits;
    if (!budget) // everything fits: what the rebuild costs without choosing
        limits.listBudget = {SIZE_MAX, SIZE_MAX};
    limits.maxPending = count + 1;
    LocalRegistry registry(limits);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned a = i / perAddress;
        const std::string address = fmt::format("10.{}.{}.1", a / 250, a % 250);
        const std::string id = fmt::format("id{}", i);
        registry.addPending(id, entry(i, big), address);
        registry.claim(id, i + 1, {}, address);
    }
    std::vector<double> ms;
    Registry::ListStats stats;
    for (int round = 0; round < 20; ++round) {
        const unsigned i = static_cast<unsigned>(round) % count;
        const unsigned a = i / perAddress;
        registry.update(fmt::format("id{}", i), entry(i, big), fmt::format("10.{}.{}.1", a / 250, a % 250));
        const auto start = std::chrono::steady_clock::now();
        registry.listBody();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        stats = registry.listStats();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("| %s | %u | %zu | %zu | %.2f ms | %.2f ms |\n", what, count, stats.entries, stats.bytes, ms[ms.size() / 2],
                ms.back());
}

} // namespace

int main()
{
    std::printf("| listings | listed | in the answer | answer bytes | rebuild p50 | rebuild max |\n|---|---|---|---|---|---|\n");
    run("ordinary, 40 per /24", 10000, 40, false);
    run("ordinary, 40 per /24 (entries chosen)", 30000, 40, false);
    run("ordinary, 40 per /24, no budget", 30000, 40, false, false);
    run("largest, 30 per address, one /24 each (bytes chosen)", 4500, 30, true);
    run("largest, one /24 each (bytes chosen)", 20000, 1, true);
    run("largest, one /24 each, no budget", 20000, 1, true, false);
}
