#pragma once
// Headless Dear ImGui frames for a plug-in's windows, with input injected the
// way a user would give it and widgets found by name.
//
// A UiDriver owns an ImGui context (font atlas built, dummy texture id, no
// .ini file) and, on each frame(), calls PluginWindow::Render and, inside a
// host-owned "Plugin Settings" window, PluginSettingsWindow::RenderSettings.
// It works with any object behind those two interfaces, including a plug-in
// loaded with dlopen whose ImGui calls bind to the executable's ImGui.
//
// Finding widgets. The driver records its frames with a WidgetFinder
// (WidgetFinder.h; library crw_widgetfinder, linked by crw_uidriver, brings
// the link-time wraps of ImGui::ItemAdd and ImDrawList::AddText). Widgets are
// named by WidgetFinder::item's paths: "Yes", "Create Confirmation/Yes",
// "##Searchers/#3/##Searcher" ("#<n>" stands for PushID(int n)). Texts drawn
// straight onto a draw list by a dlopen'ed plug-in are not seen; widget texts
// are.
//
// Input. click() moves the mouse onto the widget's centre and spends one
// frame each on move, press and release; doubleClick() clicks twice within
// ImGui's double-click time (frames advance ImGui time by 1/60 s). type()
// clicks a field, selects its text and enters characters, replacing it.
// ImGui's asserts stay on: an unbalanced Begin/End aborts the test.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "WidgetFinder.h"

#include "bakkesmod/plugin/PluginSettingsWindow.h"
#include "bakkesmod/plugin/pluginwindow.h"

namespace crwui {

class UiDriver {
public:
    // Either interface may be null. displaySize is the host's screen.
    UiDriver(BakkesMod::Plugin::PluginWindow* window, BakkesMod::Plugin::PluginSettingsWindow* settings,
             ImVec2 displaySize = ImVec2(1920, 1080));
    ~UiDriver();
    UiDriver(const UiDriver&) = delete;
    UiDriver& operator=(const UiDriver&) = delete;

    ImGuiContext* context() const { return ctx_; }

    // Runs n whole frames with the current input.
    void frame(int n = 1);
    // Turn off drawing of either interface (both on by default).
    void setDrawWindow(bool on) { drawWindow_ = on; }
    void setDrawSettings(bool on) { drawSettings_ = on; }
    // Turn the recording of items and texts off, e.g. to time frames alone.
    void setRecording(bool on);

    // Widgets of the last frame. findItem runs up to a few more frames while
    // the widget is missing or its window is still appearing.
    std::optional<ItemInfo> findItem(const std::string& path);
    std::optional<ItemInfo> peekItem(const std::string& path) const; // no extra frames
    bool exists(const std::string& path) const { return peekItem(path).has_value(); }

    // False when the widget cannot be found or has no visible area.
    bool click(const std::string& path, ImGuiMouseButton button = ImGuiMouseButton_Left);
    bool rightClick(const std::string& path) { return click(path, ImGuiMouseButton_Right); }
    bool doubleClick(const std::string& path);
    bool hover(const std::string& path); // moves the mouse there and runs one frame
    // Clicks the middle of a text drawn in the last frame (texts with no
    // widget of their own, such as links).
    bool clickText(const std::string& text, ImGuiMouseButton button = ImGuiMouseButton_Left);
    bool type(const std::string& path, const std::string& text);
    // Characters into whatever field is active, then one frame.
    void typeChars(const std::string& text);
    void pressKey(ImGuiKey key, bool ctrl = false);
    void moveMouse(ImVec2 pos);

    // Windows of the last frame.
    ImGuiWindow* findWindow(const std::string& nameOrChildLabel) const;
    bool isOpen(const std::string& windowName) const; // drawn (active) in the last frame
    std::vector<std::string> openPopups() const;      // names of the popup windows drawn in the last frame

    // Texts of the last frame, in drawing order; with a window name (or child
    // label), only those drawn in that window and its child windows.
    std::vector<DrawnText> texts(const std::string& windowName = "") const;
    bool hasText(const std::string& text, const std::string& windowName = "") const;           // exact
    bool hasTextContaining(const std::string& part, const std::string& windowName = "") const; // substring

private:
    void makeCurrent() const;
    std::optional<ImVec2> clickPoint(const ItemInfo& item) const;
    // Where a click on the widget lands; empty when it is missing or has no visible area.
    std::optional<ImVec2> pointOf(const std::string& path);
    void clickAt(ImVec2 point, ImGuiMouseButton button);
    void frameOf(float seconds);

    ImGuiContext* ctx_ = nullptr;
    ImGuiContext* previous_ = nullptr;
    BakkesMod::Plugin::PluginWindow* window_;
    BakkesMod::Plugin::PluginSettingsWindow* settings_;
    bool drawWindow_ = true;
    bool drawSettings_ = true;
    std::unique_ptr<WidgetFinder> finder_;
};

} // namespace crwui
