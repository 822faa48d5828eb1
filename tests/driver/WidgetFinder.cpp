#include "WidgetFinder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace crwui {

namespace {

struct ItemRecord {
    ImGuiID id;
    ImGuiID seed;       // top of the window's ID stack when the item was added
    ImGuiID parentSeed; // the entry below it
    ImRect rect;
    ImGuiWindow* window;
    bool shown; // ItemAdd did not clip it away
};

struct TextRecord {
    std::string text;
    ImVec2 pos;
    ImDrawList* list;
    ImGuiWindow* window; // resolved lazily when the draw list was not the current window's
};

} // namespace

struct FrameRecording {
    ImGuiContext* ctx = nullptr;
    bool on = true;
    bool inFrame = false;
    // The frame being drawn, and the last one ended, which lookups read.
    std::vector<ItemRecord> items, lastItems;
    std::vector<TextRecord> texts, lastTexts;
};

namespace {

// The hooks run inside ImGui on the drawing thread; a few slots keyed by
// context are enough and need no lock on that path.
constexpr std::size_t kSlots = 8;
std::array<std::atomic<FrameRecording*>, kSlots> g_slots{};

FrameRecording* recordingFor(ImGuiContext* ctx)
{
    if (ctx == nullptr) {
        return nullptr;
    }
    for (auto& slot : g_slots) {
        FrameRecording* r = slot.load(std::memory_order_acquire);
        if (r != nullptr && r->ctx == ctx) {
            return r->on && r->inFrame ? r : nullptr;
        }
    }
    return nullptr;
}

void recordItem(const ImRect& bb, ImGuiID id, bool shown)
{
    FrameRecording* r = recordingFor(ImGui::GetCurrentContext());
    ImGuiWindow* w = r != nullptr ? GImGui->CurrentWindow : nullptr;
    if (w == nullptr || id == 0) {
        return;
    }
    const int n = w->IDStack.Size;
    const ImGuiID seed = n > 0 ? w->IDStack[n - 1] : w->ID;
    r->items.push_back(ItemRecord{id, seed, n > 1 ? w->IDStack[n - 2] : 0, bb, w, shown});
}

void recordText(ImDrawList* list, const ImVec2& pos, const char* begin, const char* end)
{
    FrameRecording* r = recordingFor(ImGui::GetCurrentContext());
    if (r == nullptr || begin == nullptr) {
        return;
    }
    if (end == nullptr) {
        end = begin + std::strlen(begin);
    }
    if (end == begin) {
        return;
    }
    ImGuiWindow* current = GImGui->CurrentWindow;
    r->texts.push_back(
        TextRecord{std::string(begin, end), pos, list, (current && current->DrawList == list) ? current : nullptr});
}

ImGuiID hashSegment(const std::string& seg, ImGuiID seed)
{
    // "#<n>" stands for PushID(int n).
    if (seg.size() > 1 && seg[0] == '#' && seg[1] != '#') {
        char* endp = nullptr;
        long v = std::strtol(seg.c_str() + 1, &endp, 10);
        if (endp != nullptr && *endp == '\0') {
            int n = static_cast<int>(v);
            return ImHashData(&n, sizeof(n), seed);
        }
    }
    return ImHashStr(seg.c_str(), 0, seed);
}

std::vector<std::string> splitPath(const std::string& path)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        std::size_t slash = path.find('/', start);
        out.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    return out;
}

bool isChild(const ImGuiWindow* w)
{
    return (w->Flags & ImGuiWindowFlags_ChildWindow) && !(w->Flags & ImGuiWindowFlags_Popup) &&
           w->ParentWindow != nullptr;
}

// The label part of a child window's name "Parent/label_XXXXXXXX".
bool childLabelIs(const ImGuiWindow* w, const std::string& label)
{
    if (!isChild(w)) {
        return false;
    }
    const std::string name = w->Name;
    const std::string prefix = std::string(w->ParentWindow->Name) + "/" + label + "_";
    return name.size() == prefix.size() + 8 && name.compare(0, prefix.size(), prefix) == 0;
}

bool childNameIs(const ImGuiWindow* w, const ImGuiWindow* parent, const std::string& label, ImGuiID id)
{
    if (!isChild(w) || w->ParentWindow != parent) {
        return false;
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08X", id);
    return std::string(w->Name) == std::string(parent->Name) + "/" + label + "_" + hex;
}

ItemInfo windowItem(ImGuiWindow* w)
{
    ItemInfo info;
    info.id = w->ID;
    info.rect = ImRect(w->Pos, w->Pos + w->Size);
    info.window = w;
    info.isWindow = true;
    return info;
}

// Active windows, topmost first.
std::vector<ImGuiWindow*> activeWindows()
{
    std::vector<ImGuiWindow*> out;
    ImGuiContext& g = *GImGui;
    for (int i = g.Windows.Size - 1; i >= 0; --i) {
        if (g.Windows[i]->Active) {
            out.push_back(g.Windows[i]);
        }
    }
    return out;
}

bool descendsFrom(const ImGuiWindow* w, const ImGuiWindow* ancestor)
{
    for (; w != nullptr; w = isChild(w) ? w->ParentWindow : nullptr) {
        if (w == ancestor) {
            return true;
        }
    }
    return false;
}

bool drawnLastFrame(const ImGuiWindow* w) { return w->LastFrameActive == GImGui->FrameCount; }

// The window or one of its parents (child windows' and popups' alike) has that
// name, or that child label.
bool windowWithin(ImGuiWindow* window, const std::string& name)
{
    for (ImGuiWindow* w = window; w != nullptr; w = w->ParentWindow) {
        if (name == w->Name) {
            return true;
        }
        const char* slash = std::strrchr(w->Name, '/');
        const char* underscore = std::strrchr(w->Name, '_');
        if (slash != nullptr && underscore != nullptr && underscore > slash &&
            std::string(slash + 1, underscore) == name) {
            return true;
        }
    }
    return false;
}

// Position of the window's root in the display order: higher is in front.
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

// A child window clipped by its parent's inner area.
ImRect visibleRect(ImGuiWindow* w)
{
    ImRect r = w->Rect();
    if (w->ParentWindow != nullptr) {
        r.ClipWith(w->ParentWindow->InnerClipRect);
    }
    return r;
}

bool hasArea(const ImRect& r) { return r.GetWidth() > 0 && r.GetHeight() > 0; }

} // namespace

} // namespace crwui

// Link-time wraps (-Wl,--wrap=...): ImGui::ItemAdd and the two ImDrawList::AddText.
extern "C" {
// ItemAdd took three arguments before the 1.8x series (the host's 1.75 does);
// WidgetFinder.cmake wraps both symbols, only the one that exists is used.
#if IMGUI_VERSION_NUM >= 18200
bool __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBB, int extraFlags);
bool __wrap__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBB, int extraFlags)
{
    const bool shown = __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(bb, id, navBB, extraFlags);
    crwui::recordItem(bb, id, shown);
    return shown;
}
#else
bool __real__ZN5ImGui7ItemAddERK6ImRectjPS1_(const ImRect& bb, ImGuiID id, const ImRect* navBB);
bool __wrap__ZN5ImGui7ItemAddERK6ImRectjPS1_(const ImRect& bb, ImGuiID id, const ImRect* navBB)
{
    const bool shown = __real__ZN5ImGui7ItemAddERK6ImRectjPS1_(bb, id, navBB);
    crwui::recordItem(bb, id, shown);
    return shown;
}
#endif

void __real__ZN10ImDrawList7AddTextEPK6ImFontfRK6ImVec2jPKcS7_fPK6ImVec4(ImDrawList* self, const ImFont* font,
                                                                         float size, const ImVec2& pos, ImU32 col,
                                                                         const char* begin, const char* end, float wrap,
                                                                         const ImVec4* clip);
void __wrap__ZN10ImDrawList7AddTextEPK6ImFontfRK6ImVec2jPKcS7_fPK6ImVec4(ImDrawList* self, const ImFont* font,
                                                                         float size, const ImVec2& pos, ImU32 col,
                                                                         const char* begin, const char* end, float wrap,
                                                                         const ImVec4* clip)
{
    crwui::recordText(self, pos, begin, end);
    __real__ZN10ImDrawList7AddTextEPK6ImFontfRK6ImVec2jPKcS7_fPK6ImVec4(self, font, size, pos, col, begin, end, wrap,
                                                                        clip);
}

void __real__ZN10ImDrawList7AddTextERK6ImVec2jPKcS4_(ImDrawList* self, const ImVec2& pos, ImU32 col, const char* begin,
                                                     const char* end);
void __wrap__ZN10ImDrawList7AddTextERK6ImVec2jPKcS4_(ImDrawList* self, const ImVec2& pos, ImU32 col, const char* begin,
                                                     const char* end)
{
    crwui::recordText(self, pos, begin, end);
    __real__ZN10ImDrawList7AddTextERK6ImVec2jPKcS4_(self, pos, col, begin, end);
}
}

namespace crwui {

WidgetFinder::WidgetFinder(ImGuiContext* ctx) : rec_(new FrameRecording)
{
    rec_->ctx = ctx;
    for (auto& slot : g_slots) {
        FrameRecording* expected = nullptr;
        if (slot.compare_exchange_strong(expected, rec_)) {
            return;
        }
    }
    std::fprintf(stderr, "WidgetFinder: too many contexts recorded at once\n");
    std::abort();
}

WidgetFinder::~WidgetFinder()
{
    for (auto& slot : g_slots) {
        FrameRecording* expected = rec_;
        slot.compare_exchange_strong(expected, nullptr);
    }
    delete rec_;
}

ImGuiContext* WidgetFinder::context() const { return rec_->ctx; }

void WidgetFinder::beginFrame()
{
    rec_->items.clear();
    rec_->texts.clear();
    rec_->inFrame = true;
}

void WidgetFinder::endFrame()
{
    rec_->inFrame = false;
    rec_->lastItems.swap(rec_->items);
    rec_->lastTexts.swap(rec_->texts);
}

void WidgetFinder::setRecording(bool on) { rec_->on = on; }

std::size_t WidgetFinder::itemCount() const
{
    return static_cast<std::size_t>(
        std::count_if(rec_->lastItems.begin(), rec_->lastItems.end(), [](const ItemRecord& it) { return it.shown; }));
}

std::optional<ItemInfo> WidgetFinder::item(const std::string& path) const
{
    if (GImGui == nullptr || path.empty()) {
        return std::nullopt;
    }
    const std::vector<ItemRecord>& items = rec_->lastItems;
    const std::vector<std::string> segs = splitPath(path);
    const std::vector<ImGuiWindow*> windows = activeWindows();

    if (segs.size() == 1) {
        const std::string& label = segs[0];
        for (ImGuiWindow* w : windows) {
            if (childLabelIs(w, label)) {
                return windowItem(w);
            }
            for (const ItemRecord& it : items) {
                // An item with an empty label inside PushID(label), as menus make them.
                const bool emptyInScope = it.id == it.seed && it.id == ImHashStr(label.c_str(), 0, it.parentSeed);
                if (it.window == w && (it.id == ImHashStr(label.c_str(), 0, it.seed) || emptyInScope)) {
                    return ItemInfo{it.id, it.rect, it.window, false};
                }
            }
        }
        return std::nullopt;
    }

    // Strict walk from a window's base ID.
    struct Walker {
        const std::vector<ItemRecord>& items;
        const std::vector<std::string>& segs;
        const std::vector<ImGuiWindow*>& windows;
        std::optional<ItemInfo> walk(std::size_t i, ImGuiWindow* w, ImGuiID seed) const
        {
            const std::string& seg = segs[i];
            const ImGuiID h = hashSegment(seg, seed);
            const bool last = i + 1 == segs.size();
            for (ImGuiWindow* c : windows) {
                if (childNameIs(c, w, seg, h)) {
                    if (last) {
                        return windowItem(c);
                    }
                    if (auto r = walk(i + 1, c, c->ID)) {
                        return r;
                    }
                }
            }
            if (last) {
                for (const ItemRecord& it : items) {
                    if (it.window == w && it.id == h) {
                        return ItemInfo{it.id, it.rect, it.window, false};
                    }
                }
                return std::nullopt;
            }
            return walk(i + 1, w, h); // a pushed ID
        }
    } walker{items, segs, windows};

    for (ImGuiWindow* w : windows) {
        if (segs[0] == w->Name || childLabelIs(w, segs[0])) {
            if (auto r = walker.walk(1, w, w->ID)) {
                return r;
            }
        }
    }
    for (ImGuiWindow* w : windows) {
        if (auto r = walker.walk(0, w, w->ID)) {
            return r;
        }
    }
    return std::nullopt;
}

std::optional<ItemInfo> WidgetFinder::frontItem(const std::string& label, const std::string& within) const
{
    if (GImGui == nullptr) {
        return std::nullopt;
    }
    std::optional<ItemInfo> best;
    int bestRank = -2;
    // Behind an open modal nothing takes clicks.
    ImGuiWindow* modal = ImGui::GetTopMostPopupModal();
    const int modalRank = modal != nullptr ? frontRank(modal) : -1;
    // Child windows rank and are restricted by the window they sit in.
    auto consider = [&](ImGuiWindow* owner, const ItemInfo& info) {
        if (!within.empty() && !windowWithin(owner, within)) {
            return;
        }
        const int rank = frontRank(owner);
        if (rank < modalRank) {
            return;
        }
        if (rank > bestRank) {
            bestRank = rank;
            best = info;
        }
    };
    for (const ItemRecord& it : rec_->lastItems) {
        if (it.shown && ImHashStr(label.c_str(), 0, it.seed) == it.id) {
            ImRect bb = it.rect;
            bb.ClipWith(it.window->ClipRect);
            if (hasArea(bb)) {
                consider(it.window, ItemInfo{it.id, bb, it.window, false});
            }
        }
    }
    for (ImGuiWindow* w : GImGui->Windows) {
        if (drawnLastFrame(w) && !w->Hidden && childLabelIs(w, label)) {
            const ImRect r = visibleRect(w);
            if (hasArea(r)) {
                consider(w->ParentWindow, ItemInfo{w->ID, r, w, true});
            }
        }
    }
    return best;
}

std::vector<ItemInfo> WidgetFinder::childWindows(const std::string& label) const
{
    std::vector<ItemInfo> out;
    if (GImGui == nullptr) {
        return out;
    }
    for (ImGuiWindow* w : GImGui->Windows) {
        if (drawnLastFrame(w) && childLabelIs(w, label) && !w->Hidden) {
            const ImRect r = visibleRect(w);
            if (hasArea(r)) {
                out.push_back(ItemInfo{w->ID, r, w, true});
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const ItemInfo& a, const ItemInfo& b) {
        const ImVec2 pa = a.window->Pos, pb = b.window->Pos;
        return pa.y != pb.y ? pa.y < pb.y : pa.x < pb.x;
    });
    return out;
}

ImGuiWindow* WidgetFinder::window(const std::string& name) const
{
    if (GImGui == nullptr) {
        return nullptr;
    }
    for (ImGuiWindow* w : activeWindows()) {
        if (name == w->Name || childLabelIs(w, name)) {
            return w;
        }
    }
    return nullptr;
}

bool WidgetFinder::isOpen(const std::string& windowName) const
{
    if (GImGui == nullptr) {
        return false;
    }
    for (ImGuiWindow* w : activeWindows()) {
        if (windowName == w->Name) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> WidgetFinder::openPopups() const
{
    std::vector<std::string> out;
    if (GImGui == nullptr) {
        return out;
    }
    for (ImGuiWindow* w : activeWindows()) {
        if (w->Flags & ImGuiWindowFlags_Popup) {
            out.emplace_back(w->Name);
        }
    }
    return out;
}

std::vector<DrawnText> WidgetFinder::texts(const std::string& windowName) const
{
    std::vector<DrawnText> out;
    if (GImGui == nullptr) {
        return out;
    }
    ImGuiWindow* filter = nullptr;
    if (!windowName.empty()) {
        filter = window(windowName);
        if (filter == nullptr) {
            return out;
        }
    }
    ImGuiContext& g = *GImGui;
    for (const TextRecord& t : rec_->lastTexts) {
        ImGuiWindow* w = t.window;
        if (w == nullptr) {
            for (ImGuiWindow* candidate : g.Windows) {
                if (candidate->DrawList == t.list) {
                    w = candidate;
                    break;
                }
            }
        }
        if (filter != nullptr && !descendsFrom(w, filter)) {
            continue;
        }
        out.push_back(DrawnText{t.text, t.pos, w});
    }
    return out;
}

} // namespace crwui
