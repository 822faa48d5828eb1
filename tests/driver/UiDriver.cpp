#include "UiDriver.h"

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
};

struct TextRecord {
    std::string text;
    ImVec2 pos;
    ImDrawList* list;
    ImGuiWindow* window; // resolved lazily when the draw list was not the current window's
};

struct Recording {
    ImGuiContext* ctx = nullptr;
    bool on = true;
    std::vector<ItemRecord> items;
    std::vector<TextRecord> texts;
};

// The hooks run inside ImGui on the drawing thread; a few slots keyed by
// context are enough and need no lock on that path.
constexpr std::size_t kSlots = 8;
std::array<std::atomic<Recording*>, kSlots> g_slots{};

Recording* recordingFor(ImGuiContext* ctx)
{
    if (ctx == nullptr) {
        return nullptr;
    }
    for (auto& slot : g_slots) {
        Recording* r = slot.load(std::memory_order_acquire);
        if (r != nullptr && r->ctx == ctx) {
            return r->on ? r : nullptr;
        }
    }
    return nullptr;
}

void registerRecording(Recording* r)
{
    for (auto& slot : g_slots) {
        Recording* expected = nullptr;
        if (slot.compare_exchange_strong(expected, r)) {
            return;
        }
    }
    std::fprintf(stderr, "UiDriver: too many drivers alive at once\n");
    std::abort();
}

void unregisterRecording(Recording* r)
{
    for (auto& slot : g_slots) {
        Recording* expected = r;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

void recordText(ImDrawList* list, const ImVec2& pos, const char* begin, const char* end)
{
    Recording* r = recordingFor(ImGui::GetCurrentContext());
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

} // namespace

} // namespace crwui

// Link-time wraps (-Wl,--wrap=...): ImGui::ItemAdd and the two ImDrawList::AddText.
extern "C" {
bool __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBB, int extraFlags);
bool __wrap__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBB, int extraFlags)
{
    if (crwui::Recording* r = crwui::recordingFor(ImGui::GetCurrentContext())) {
        ImGuiWindow* w = GImGui->CurrentWindow;
        if (w != nullptr && id != 0) {
            const int n = w->IDStack.Size;
            r->items.push_back(crwui::ItemRecord{id, w->IDStack[n - 1], n > 1 ? w->IDStack[n - 2] : 0, bb, w});
        }
    }
    return __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(bb, id, navBB, extraFlags);
}

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

namespace {
Recording* recordingOf(ImGuiContext* ctx)
{
    for (auto& slot : g_slots) {
        Recording* r = slot.load(std::memory_order_acquire);
        if (r != nullptr && r->ctx == ctx) {
            return r;
        }
    }
    return nullptr;
}
} // namespace

UiDriver::UiDriver(BakkesMod::Plugin::PluginWindow* window, BakkesMod::Plugin::PluginSettingsWindow* settings,
                   ImVec2 displaySize)
    : window_(window), settings_(settings)
{
    previous_ = ImGui::GetCurrentContext();
    ctx_ = ImGui::CreateContext();
    ImGui::SetCurrentContext(ctx_);
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    io.DisplaySize = displaySize;
    io.DeltaTime = 1.0f / 60.0f;
    for (int k = 0; k < ImGuiKey_COUNT; ++k) {
        io.KeyMap[k] = k;
    }
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(1)));

    auto* rec = new Recording;
    rec->ctx = ctx_;
    registerRecording(rec);

    const auto handle = reinterpret_cast<std::uintptr_t>(ctx_);
    if (window_ != nullptr) {
        window_->SetImGuiContext(handle);
    }
    if (settings_ != nullptr) {
        settings_->SetImGuiContext(handle);
    }
    ImGui::SetCurrentContext(ctx_);
}

UiDriver::~UiDriver()
{
    Recording* rec = recordingOf(ctx_);
    unregisterRecording(rec);
    delete rec;
    ImGui::DestroyContext(ctx_);
    ImGui::SetCurrentContext(previous_ == ctx_ ? nullptr : previous_);
}

void UiDriver::makeCurrent() const { ImGui::SetCurrentContext(ctx_); }

void UiDriver::setRecording(bool on)
{
    if (Recording* r = recordingOf(ctx_)) {
        r->on = on;
    }
}

void UiDriver::frame(int n)
{
    for (int i = 0; i < n; ++i) {
        makeCurrent();
        if (Recording* r = recordingOf(ctx_)) {
            r->items.clear();
            r->texts.clear();
        }
        ImGui::GetIO().DeltaTime = 1.0f / 60.0f;
        ImGui::NewFrame();
        // Settings first: ImGui 1.86 asserts when a window is created in the
        // frame in which a modal first appears, and the plug-in's window may
        // open one on its first frame.
        if (settings_ != nullptr && drawSettings_) {
            // The host draws a plug-in's settings inside a window of its own.
            ImGui::SetNextWindowPos(ImVec2(20, 20), ImGuiCond_FirstUseEver);
            ImGui::SetNextWindowSize(ImVec2(700, 400), ImGuiCond_FirstUseEver);
            if (ImGui::Begin("Plugin Settings")) {
                settings_->RenderSettings();
            }
            ImGui::End();
        }
        if (window_ != nullptr && drawWindow_) {
            window_->Render();
        }
        ImGui::Render();
    }
}

std::optional<ItemInfo> UiDriver::peekItem(const std::string& path) const
{
    makeCurrent();
    const Recording* rec = recordingOf(ctx_);
    if (rec == nullptr || path.empty()) {
        return std::nullopt;
    }
    const std::vector<std::string> segs = splitPath(path);
    const std::vector<ImGuiWindow*> windows = activeWindows();

    if (segs.size() == 1) {
        const std::string& label = segs[0];
        for (ImGuiWindow* w : windows) {
            if (childLabelIs(w, label)) {
                return windowItem(w);
            }
            for (const ItemRecord& it : rec->items) {
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
        const Recording* rec;
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
                for (const ItemRecord& it : rec->items) {
                    if (it.window == w && it.id == h) {
                        return ItemInfo{it.id, it.rect, it.window, false};
                    }
                }
                return std::nullopt;
            }
            return walk(i + 1, w, h); // a pushed ID
        }
    } walker{rec, segs, windows};

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

std::optional<ItemInfo> UiDriver::findItem(const std::string& path)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto item = peekItem(path);
        if (item && !item->window->RootWindow->Appearing && !item->window->Appearing) {
            return item;
        }
        frame();
    }
    return peekItem(path);
}

std::optional<ImVec2> UiDriver::clickPoint(const ItemInfo& item) const
{
    ImRect r = item.rect;
    // Title and menu bars lie outside the inner clip rectangle, so clip with
    // the whole window.
    r.ClipWithFull(item.window->OuterRectClipped);
    if (r.GetWidth() < 1.0f || r.GetHeight() < 1.0f) {
        return std::nullopt;
    }
    return r.GetCenter();
}

void UiDriver::moveMouse(ImVec2 pos)
{
    makeCurrent();
    ImGui::GetIO().MousePos = pos;
}

bool UiDriver::hover(const std::string& path)
{
    auto item = findItem(path);
    if (!item) {
        return false;
    }
    auto point = clickPoint(*item);
    if (!point) {
        return false;
    }
    moveMouse(*point);
    frame();
    return true;
}

bool UiDriver::click(const std::string& path, ImGuiMouseButton button)
{
    auto item = findItem(path);
    if (!item) {
        return false;
    }
    auto point = clickPoint(*item);
    if (!point) {
        return false;
    }
    clickAt(*point, button);
    return true;
}

void UiDriver::clickAt(ImVec2 point, ImGuiMouseButton button)
{
    makeCurrent();
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = point;
    frame();
    io.MouseDown[button] = true;
    frame();
    io.MouseDown[button] = false;
    frame(2); // the second frame shows what the click changed
}

bool UiDriver::clickText(const std::string& text, ImGuiMouseButton button)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        for (const DrawnText& t : texts()) {
            if (t.text == text) {
                const ImVec2 size = ImGui::CalcTextSize(text.c_str());
                clickAt(ImVec2(t.pos.x + size.x / 2, t.pos.y + size.y / 2), button);
                return true;
            }
        }
        frame();
    }
    return false;
}

bool UiDriver::doubleClick(const std::string& path)
{
    auto item = findItem(path);
    if (!item) {
        return false;
    }
    auto point = clickPoint(*item);
    if (!point) {
        return false;
    }
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = *point;
    frame();
    for (int i = 0; i < 2; ++i) {
        io.MouseDown[0] = true;
        frame();
        io.MouseDown[0] = false;
        frame();
    }
    frame();
    return true;
}

void UiDriver::pressKey(ImGuiKey key, bool ctrl)
{
    makeCurrent();
    ImGuiIO& io = ImGui::GetIO();
    io.KeyCtrl = ctrl;
    io.KeysDown[io.KeyMap[key]] = true;
    frame();
    io.KeysDown[io.KeyMap[key]] = false;
    io.KeyCtrl = false;
    frame();
}

void UiDriver::typeChars(const std::string& text)
{
    makeCurrent();
    ImGui::GetIO().AddInputCharactersUTF8(text.c_str());
    frame();
}

bool UiDriver::type(const std::string& path, const std::string& text)
{
    if (!click(path)) {
        return false;
    }
    pressKey(ImGuiKey_A, true); // select all, so the typed text replaces it
    if (text.empty()) {
        pressKey(ImGuiKey_Delete);
    } else {
        typeChars(text);
    }
    return true;
}

ImGuiWindow* UiDriver::findWindow(const std::string& name) const
{
    makeCurrent();
    for (ImGuiWindow* w : activeWindows()) {
        if (name == w->Name || childLabelIs(w, name)) {
            return w;
        }
    }
    return nullptr;
}

bool UiDriver::isOpen(const std::string& windowName) const
{
    makeCurrent();
    for (ImGuiWindow* w : activeWindows()) {
        if (windowName == w->Name) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> UiDriver::openPopups() const
{
    makeCurrent();
    std::vector<std::string> out;
    for (ImGuiWindow* w : activeWindows()) {
        if (w->Flags & ImGuiWindowFlags_Popup) {
            out.emplace_back(w->Name);
        }
    }
    return out;
}

std::vector<DrawnText> UiDriver::texts(const std::string& windowName) const
{
    makeCurrent();
    std::vector<DrawnText> out;
    const Recording* rec = recordingOf(ctx_);
    if (rec == nullptr) {
        return out;
    }
    ImGuiWindow* filter = nullptr;
    if (!windowName.empty()) {
        filter = findWindow(windowName);
        if (filter == nullptr) {
            return out;
        }
    }
    ImGuiContext& g = *GImGui;
    for (const TextRecord& t : rec->texts) {
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

bool UiDriver::hasText(const std::string& text, const std::string& windowName) const
{
    for (const DrawnText& t : texts(windowName)) {
        if (t.text == text) {
            return true;
        }
    }
    return false;
}

bool UiDriver::hasTextContaining(const std::string& part, const std::string& windowName) const
{
    for (const DrawnText& t : texts(windowName)) {
        if (t.text.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace crwui
