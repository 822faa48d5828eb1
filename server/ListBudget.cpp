#include "ListBudget.h"

#include <algorithm>
#include <unordered_map>

namespace crw::server {

namespace {

// The largest share each network may take so that the shares together fit `room`: networks needing less than the
// share take what they need and leave the rest to the others.
std::size_t waterLevel(std::vector<std::size_t> demands, std::size_t room)
{
    std::sort(demands.begin(), demands.end());
    for (std::size_t i = 0; i < demands.size(); ++i) {
        const std::size_t left = demands.size() - i;
        if (demands[i] > room / left)
            return room / left;
        room -= demands[i];
    }
    return static_cast<std::size_t>(-1);
}

} // namespace

ListChoice chooseListed(const std::vector<ListCandidate>& candidates, const ListBudget& budget)
{
    ListChoice choice;
    const std::size_t n = candidates.size();
    choice.in.assign(n, 0);
    // Each entry costs its bytes and a comma; the first has no comma.
    const std::size_t roomBytes = budget.bytes >= kListFrameBytes ? budget.bytes - kListFrameBytes + 1 : 0;
    const std::size_t roomEntries = budget.entries;

    std::size_t total = 0;
    for (const auto& c : candidates)
        total += c.bytes + 1;
    if (total <= roomBytes && n <= roomEntries) {
        choice.in.assign(n, 1);
        choice.entries = n;
        return choice;
    }

    struct Net {
        std::size_t bytes = 0, entries = 0;         // what its listings need
        std::size_t usedBytes = 0, usedEntries = 0; // what it has in the answer
        bool extra = false;                         // took one past its share
    };
    std::unordered_map<std::string_view, std::size_t> index;
    index.reserve(n);
    std::vector<Net> nets;
    std::vector<std::size_t> netOf(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto [it, added] = index.try_emplace(candidates[i].network, nets.size());
        if (added)
            nets.emplace_back();
        netOf[i] = it->second;
        nets[it->second].bytes += candidates[i].bytes + 1;
        ++nets[it->second].entries;
    }
    std::vector<std::size_t> demand(nets.size());
    for (std::size_t k = 0; k < nets.size(); ++k)
        demand[k] = nets[k].bytes;
    const std::size_t byteShare = waterLevel(demand, roomBytes);
    for (std::size_t k = 0; k < nets.size(); ++k)
        demand[k] = nets[k].entries;
    const std::size_t entryShare = waterLevel(std::move(demand), roomEntries);

    std::size_t usedBytes = 0;
    auto take = [&](std::size_t i) {
        choice.in[i] = 1;
        usedBytes += candidates[i].bytes + 1;
        ++choice.entries;
    };
    // The shares add up to at most the room, so this pass cannot overflow it.
    for (std::size_t i = n; i-- > 0;) {
        Net& net = nets[netOf[i]];
        const std::size_t cost = candidates[i].bytes + 1;
        if (net.usedBytes + cost > byteShare || net.usedEntries + 1 > entryShare)
            continue;
        net.usedBytes += cost;
        ++net.usedEntries;
        take(i);
    }
    // What the shares leave unused (a share is rarely filled to the byte) goes to the newest, one listing past its
    // share per network, so that the slack of many networks does not all go to one.
    for (std::size_t i = n; i-- > 0 && choice.entries < roomEntries;) {
        Net& net = nets[netOf[i]];
        if (choice.in[i] || net.extra || usedBytes + candidates[i].bytes + 1 > roomBytes)
            continue;
        net.extra = true;
        take(i);
    }
    choice.leftOut = n - choice.entries;
    return choice;
}

} // namespace crw::server
