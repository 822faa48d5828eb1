#pragma once
// Extra state of the plug-in object that belongs to ui/. It lives in CRW as a
// member and follows CRW's thread-safety rule (guarded by CRW::stateMutex).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "plugin/Records.h"

namespace crw {

struct UiState {
    // Indices into `searchers` of the rows the list shows, kept until the
    // list, the keyword or the own entry changes, so a frame does not scan
    // every searcher.
    std::vector<int> rows;
    std::vector<char> rowShown; // per index of `searchers`: part of `rows`
    uint64_t rowsVersion = ~0ull;
    std::string rowsKeyword;
    Searcher rowsOwnEntry;
    bool rowsValid = false;

    // Message popups and "Check" wait here for their turn: ImGui closes an
    // open popup when another one opens at its level. The front is the one
    // shown (once `popupShown`); messages are copied when raised.
    struct QueuedPopup {
        std::string title;
        std::string message;
        bool isCheck = false;
    };
    std::deque<QueuedPopup> popupQueue;
    // Message popups waiting or shown, besides "Check"; identical ones are
    // coalesced, and beyond this a new one is dropped with a log line.
    static constexpr std::size_t kMaxQueuedMessages = 8;
    bool popupShown = false;

    unsigned hoveredRow = 0; // ImGui id of the row the mouse was over last frame

    int currentRow = -1; // index of the row being drawn, -1 for the own row
    int popupRow = -1;   // row whose invite popups were opened last
    bool popupRowDrawn = false;
};

} // namespace crw
