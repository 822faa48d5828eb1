#include "Targets.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sandbox::targets {

namespace {

struct Item {
    ImGuiID id;
    ImGuiID seed; // the ID-stack top the item's id was hashed with
    ImRect bb;
    ImGuiWindow* window;
};

// Touched only by the render thread, which is the only thread drawing.
std::vector<Item> g_recording;
std::vector<Item> g_last;
bool g_recordingOn = false;

bool windowWithin(ImGuiWindow* window, const std::string& prefix)
{
    for (ImGuiWindow* w = window; w != nullptr; w = w->ParentWindow) {
        if (prefix == w->Name) {
            return true;
        }
        // A child window's name is "Parent/Label_XXXXXXXX": the label alone also names it.
        const char* slash = std::strrchr(w->Name, '/');
        const char* underscore = std::strrchr(w->Name, '_');
        if (slash != nullptr && underscore != nullptr && underscore > slash &&
            std::string(slash + 1, underscore) == prefix) {
            return true;
        }
    }
    return false;
}

// Front-to-back rank of the window's root in the display order: higher is in front.
int frontRank(ImGuiWindow* window)
{
    ImGuiContext& g = *GImGui;
    ImGuiWindow* root = window->RootWindow ? window->RootWindow : window;
    for (int i = g.Windows.Size - 1; i >= 0; --i) {
        if (g.Windows[i] == root) {
            return i;
        }
    }
    return -1;
}

bool activeLastFrame(ImGuiWindow* w) { return w->LastFrameActive == GImGui->FrameCount; }

// The label of a child window: "Parent/Label_XXXXXXXX" -> "Label".
bool childLabelIs(ImGuiWindow* w, const std::string& label)
{
    if ((w->Flags & ImGuiWindowFlags_ChildWindow) == 0) {
        return false;
    }
    const char* name = w->Name;
    const size_t n = std::strlen(name);
    if (n < label.size() + 10) {
        return false;
    }
    const char* tail = name + n - 9; // "_XXXXXXXX"
    if (*tail != '_' || std::strncmp(tail - label.size(), label.c_str(), label.size()) != 0) {
        return false;
    }
    const char* before = tail - label.size();
    return before > name && before[-1] == '/';
}

Rect visibleRect(ImGuiWindow* w)
{
    ImRect r = w->Rect();
    if (w->ParentWindow != nullptr) {
        r.ClipWith(w->ParentWindow->InnerClipRect);
    }
    return Rect{r.Min.x, r.Min.y, r.Max.x, r.Max.y};
}

std::vector<ImGuiWindow*> rows()
{
    std::vector<ImGuiWindow*> out;
    if (GImGui == nullptr) {
        return out;
    }
    for (ImGuiWindow* w : GImGui->Windows) {
        if (activeLastFrame(w) && childLabelIs(w, "##Searcher") && !w->Hidden) {
            const Rect r = visibleRect(w);
            if (r.x1 > r.x0 && r.y1 > r.y0) {
                out.push_back(w);
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](ImGuiWindow* a, ImGuiWindow* b) {
        return a->Pos.y != b->Pos.y ? a->Pos.y < b->Pos.y : a->Pos.x < b->Pos.x;
    });
    return out;
}

} // namespace

void beginFrame()
{
    g_recording.clear();
    g_recordingOn = true;
}

void endFrame()
{
    g_recordingOn = false;
    g_last.swap(g_recording);
}

size_t itemCount() { return g_last.size(); }

std::string describe()
{
    std::string out;
    if (GImGui == nullptr) {
        return out;
    }
    for (ImGuiWindow* w : GImGui->Windows) {
        if (activeLastFrame(w) && (w->Flags & ImGuiWindowFlags_ChildWindow) == 0) {
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
    out += "rows: " + std::to_string(rowCount()) + ", items: " + std::to_string(g_last.size()) + "\n";
    return out;
}

int rowCount() { return static_cast<int>(rows().size()); }

std::optional<Rect> find(const std::string& target)
{
    if (GImGui == nullptr) {
        return std::nullopt;
    }
    if (target.rfind("row ", 0) == 0) {
        char* end = nullptr;
        const long n = std::strtol(target.c_str() + 4, &end, 10);
        const auto all = rows();
        if (*end != '\0' || n < 1 || n > static_cast<long>(all.size())) {
            return std::nullopt;
        }
        return visibleRect(all[static_cast<size_t>(n - 1)]);
    }
    std::string prefix;
    std::string label = target;
    if (const auto slash = target.rfind('/'); slash != std::string::npos && slash > 0) {
        prefix = target.substr(0, slash);
        label = target.substr(slash + 1);
    }
    std::optional<Rect> best;
    int bestRank = -2;
    // Behind an open modal nothing takes clicks: such widgets count as not there.
    ImGuiWindow* modal = ImGui::GetTopMostPopupModal();
    const int modalRank = modal != nullptr ? frontRank(modal) : -1;
    auto consider = [&](ImGuiWindow* window, const Rect& r) {
        if (!prefix.empty() && !windowWithin(window, prefix)) {
            return;
        }
        const int rank = frontRank(window);
        if (rank < modalRank) {
            return;
        }
        if (rank > bestRank) {
            bestRank = rank;
            best = r;
        }
    };
    for (const Item& item : g_last) {
        if (ImHashStr(label.c_str(), 0, item.seed) == item.id) {
            ImRect bb = item.bb;
            bb.ClipWith(item.window->ClipRect);
            if (bb.GetWidth() > 0 && bb.GetHeight() > 0) {
                consider(item.window, Rect{bb.Min.x, bb.Min.y, bb.Max.x, bb.Max.y});
            }
        }
    }
    for (ImGuiWindow* w : GImGui->Windows) {
        if (activeLastFrame(w) && !w->Hidden && childLabelIs(w, label) && w->ParentWindow != nullptr) {
            const Rect r = visibleRect(w);
            if (r.x1 > r.x0 && r.y1 > r.y0) {
                consider(w->ParentWindow, r);
            }
        }
    }
    return best;
}

} // namespace sandbox::targets

// Every ImGui item of the executable's ImGui (which the plug-in's calls bind to) passes here.
extern "C" bool __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBb,
                                                         ImGuiItemFlags flags);
extern "C" bool __wrap__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBb,
                                                         ImGuiItemFlags flags)
{
    const bool shown = __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(bb, id, navBb, flags);
    using namespace sandbox::targets;
    if (shown && id != 0 && g_recordingOn && GImGui != nullptr && GImGui->CurrentWindow != nullptr) {
        ImGuiWindow* window = GImGui->CurrentWindow;
        const ImGuiID seed = window->IDStack.empty() ? window->ID : window->IDStack.back();
        g_recording.push_back(Item{id, seed, bb, window});
    }
    return shown;
}
