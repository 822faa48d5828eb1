#pragma once
// Finds ImGui widgets by the id their code gives them ("##Refresh", "Yes",
// "Create Confirmation/Yes") in the last drawn frame: the sandbox's target
// syntax over the shared widget finder (tests/driver/WidgetFinder.h), which
// records the frames through link-time wraps of ImGui.
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

struct Rect {
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    float cx() const { return (x0 + x1) * 0.5f; }
    float cy() const { return (y0 + y1) * 0.5f; }
};

namespace targets {

// Render thread, before ImGui::NewFrame: starts recording a new frame.
void beginFrame();
// Render thread, after the frame's ImGui::Render: the frame's items are what find() searches.
void endFrame();

// TARGET, [WINDOW "/"] ID, or "row N" (the N-th "##Searcher" row, from 1, top to bottom).
std::optional<Rect> find(const std::string& target);

// Number of rows drawn in the last frame.
int rowCount();

// Items recorded in the last frame (for diagnostics): count only.
size_t itemCount();

// The windows drawn in the last frame and the open popups, one per line, for script authors.
std::string describe();

} // namespace targets
} // namespace sandbox
