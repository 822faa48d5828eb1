#include "Targets.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <cstdlib>
#include <memory>

#include "WidgetFinder.h"

namespace sandbox::targets {

namespace {

// Touched only by the render thread, which is the only thread drawing.
std::unique_ptr<crwui::WidgetFinder> g_finder;

Rect toRect(const ImRect& r) { return Rect{r.Min.x, r.Min.y, r.Max.x, r.Max.y}; }

std::vector<crwui::ItemInfo> rows()
{
    return g_finder != nullptr ? g_finder->childWindows("##Searcher") : std::vector<crwui::ItemInfo>{};
}

} // namespace

void beginFrame()
{
    ImGuiContext* ctx = ImGui::GetCurrentContext();
    if (g_finder == nullptr || g_finder->context() != ctx) {
        g_finder.reset();
        if (ctx != nullptr) {
            g_finder = std::make_unique<crwui::WidgetFinder>(ctx);
        }
    }
    if (g_finder != nullptr) {
        g_finder->beginFrame();
    }
}

void endFrame()
{
    if (g_finder != nullptr) {
        g_finder->endFrame();
    }
}

size_t itemCount() { return g_finder != nullptr ? g_finder->itemCount() : 0; }

std::string describe()
{
    std::string out;
    if (GImGui == nullptr) {
        return out;
    }
    for (ImGuiWindow* w : GImGui->Windows) {
        if (w->LastFrameActive == GImGui->FrameCount && (w->Flags & ImGuiWindowFlags_ChildWindow) == 0) {
            out += std::string("window: ") + w->Name + "\n";
        }
    }
    for (const ImGuiPopupData& popup : GImGui->OpenPopupStack) {
        out += std::string("popup: ") + (popup.Window ? popup.Window->Name : "(not drawn yet)") + "\n";
    }
    out += std::string("hovered: ") + (GImGui->HoveredWindow ? GImGui->HoveredWindow->Name : "none") +
           ", mouse: " + std::to_string(GImGui->IO.MousePos.x) + "," + std::to_string(GImGui->IO.MousePos.y) + "\n";
    for (int n = 1; n <= rowCount(); ++n) {
        if (auto r = find("row " + std::to_string(n))) {
            out += "row " + std::to_string(n) + ": " + std::to_string(r->x0) + "," + std::to_string(r->y0) + " - " +
                   std::to_string(r->x1) + "," + std::to_string(r->y1) + "\n";
        }
    }
    out += "rows: " + std::to_string(rowCount()) + ", items: " + std::to_string(itemCount()) + "\n";
    return out;
}

int rowCount() { return static_cast<int>(rows().size()); }

std::optional<Rect> find(const std::string& target)
{
    if (GImGui == nullptr || g_finder == nullptr) {
        return std::nullopt;
    }
    if (target.rfind("row ", 0) == 0) {
        char* end = nullptr;
        const long n = std::strtol(target.c_str() + 4, &end, 10);
        const auto all = rows();
        if (*end != '\0' || n < 1 || n > static_cast<long>(all.size())) {
            return std::nullopt;
        }
        return toRect(all[static_cast<size_t>(n - 1)].rect);
    }
    std::string window;
    std::string id = target;
    if (const auto slash = target.rfind('/'); slash != std::string::npos && slash > 0) {
        window = target.substr(0, slash);
        id = target.substr(slash + 1);
    }
    if (auto item = g_finder->frontItem(id, window)) {
        return toRect(item->rect);
    }
    return std::nullopt;
}

} // namespace sandbox::targets
