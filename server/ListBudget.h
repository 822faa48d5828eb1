// Which listings go into "/list" when they do not all fit what the plug-in reads.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace crw::server {

// What one "/list" answer may hold; 0.5 MiB under the plug-in's 8 MiB so that it is never cut.
struct ListBudget {
    std::size_t bytes = 7 * 1024 * 1024 + 512 * 1024;
    std::size_t entries = 20000;
};

// One listing as the chooser sees it: its serialised size and the network of the address that holds it.
struct ListCandidate {
    std::size_t bytes = 0;
    std::string_view network;
};

struct ListChoice {
    std::vector<char> in; // per candidate: goes into the answer
    std::size_t entries = 0;
    std::size_t leftOut = 0;
};

// The "/list" frame around the entries: {"Searchers":[ ... ]}
constexpr std::size_t kListFrameBytes = 16;

// `candidates` in listing order (oldest first). Each network gets a max-min fair share of the bytes and of the
// entries (a network that needs less leaves the rest to the others); within its share the most recently registered
// come first, and what the shares leave unused goes to the most recently registered, at most one listing more per
// network. The answer, frame and commas included, fits the budget.
ListChoice chooseListed(const std::vector<ListCandidate>& candidates, const ListBudget& budget);

} // namespace crw::server
