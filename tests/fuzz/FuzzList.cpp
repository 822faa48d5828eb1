// The "/list" answer through its completion.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "FuzzHost.h"
#include "plugin/CRW.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CRW& p = *crwfuzz::env().plugin;
    static const std::map<std::string, float> mmr{{"Ranked-2v2", 1000.f}, {"Ranked-3v3", 500.f}, {"Hoops", 0.f}};
    uint64_t seq;
    {
        std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
        p.ClearSearchers();
        seq = p.listRequestSeq;
    }
    p.OnSearchersResult(mmr, 200, std::string(reinterpret_cast<const char*>(data), size), seq);
    std::lock_guard<std::recursive_mutex> lock(p.stateMutex);
    if (p.searchers.size() > 20000) {
        std::abort();
    }
    for (const auto& s : p.searchers) {
        if (s.playlists.size() > 32 || s.title.size() >= crw::kTitleSize || s.regions.size() > 36) {
            std::abort();
        }
    }
    return 0;
}
