#pragma once
// Finds the widgets and texts of the last drawn ImGui frame by name, in
// whatever context draws them: the UI driver's headless one or the sandbox
// host's window.
//
// Link with crw_widgetfinder: it wraps ImGui::ItemAdd and the two
// ImDrawList::AddText at link time, so every item a frame submits is known by
// ID, ID seed, rectangle and window, and every drawn text by window. Only the
// executable's own ImGui calls pass the wraps; a dlopen'ed plug-in's widgets
// are seen (ImGui adds them from inside the executable), texts it draws
// straight onto a draw list are not. Child windows are found by window name,
// since ImGui adds them out of the wrap's reach.
//
// A WidgetFinder records one context. Lookups read the current ImGui context,
// which must be that one, on the thread that draws it.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#ifndef IMGUI_DEFINE_MATH_OPERATORS
#define IMGUI_DEFINE_MATH_OPERATORS
#endif
#include <imgui.h>
#include <imgui_internal.h>

namespace crwui {

// One widget of the last frame.
struct ItemInfo {
    ImGuiID id = 0;
    ImRect rect;                   // screen coordinates
    ImGuiWindow* window = nullptr; // the window holding the item; for a child window, the child itself
    bool isWindow = false;         // a child window rather than an ItemAdd item
    ImVec2 center() const { return rect.GetCenter(); }
};

// One text drawn in the last frame.
struct DrawnText {
    std::string text;
    ImVec2 pos;
    ImGuiWindow* window = nullptr; // null when the draw list belongs to no window
};

struct FrameRecording;

class WidgetFinder {
public:
    explicit WidgetFinder(ImGuiContext* ctx);
    ~WidgetFinder();
    WidgetFinder(const WidgetFinder&) = delete;
    WidgetFinder& operator=(const WidgetFinder&) = delete;

    ImGuiContext* context() const;

    // Around each frame, on the drawing thread: before ImGui::NewFrame and
    // after ImGui::Render. Lookups see the last ended frame.
    void beginFrame();
    void endFrame();
    // Recording off, e.g. to time frames alone: frames then record nothing.
    void setRecording(bool on);

    // Items of the last frame that were not clipped away.
    std::size_t itemCount() const;

    // By path, walked from a window's base ID:
    //   "Yes"                      any item or child window with that label, in
    //                              the topmost window that has one (any ID scope)
    //   "Create Confirmation/Yes"  first segment: a window by its name (top-level
    //                              or popup) or a child window by its label; the
    //                              rest is walked strictly from that window's
    //                              base ID: each segment is a pushed ID, a child
    //                              window label, or the final item label
    //   "##Searchers/#3/##Searcher" a segment "#<n>" stands for PushID(int n)
    // Popups and modals are windows named by their id; menus are "##Menu_NN".
    std::optional<ItemInfo> item(const std::string& path) const;

    // By label anywhere, in any ID scope: an item or child window with that
    // label in the front-most window that has one (then the first drawn),
    // within the window or popup named `within` (or one of its child windows)
    // when that is not empty. Only what can take a click counts: parts clipped
    // away do not, nor anything behind the top-most modal popup. The rectangle
    // is the visible part.
    std::optional<ItemInfo> frontItem(const std::string& label, const std::string& within = "") const;

    // Child windows with that label drawn in the last frame with a visible
    // part, top to bottom; rectangles are the visible parts.
    std::vector<ItemInfo> childWindows(const std::string& label) const;

    // Windows of the last frame.
    ImGuiWindow* window(const std::string& nameOrChildLabel) const;
    bool isOpen(const std::string& windowName) const; // drawn (active) in the last frame
    std::vector<std::string> openPopups() const;      // names of the popup windows drawn in the last frame

    // Texts of the last frame, in drawing order; with a window name (or child
    // label), only those drawn in that window and its child windows.
    std::vector<DrawnText> texts(const std::string& windowName = "") const;

private:
    FrameRecording* rec_;
};

} // namespace crwui
