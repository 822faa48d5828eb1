#include "UiDriver.h"

#include <cstdint>

namespace crwui {

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

    finder_ = std::make_unique<WidgetFinder>(ctx_);

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
    finder_.reset();
    ImGui::DestroyContext(ctx_);
    ImGui::SetCurrentContext(previous_ == ctx_ ? nullptr : previous_);
}

void UiDriver::makeCurrent() const { ImGui::SetCurrentContext(ctx_); }

void UiDriver::setRecording(bool on) { finder_->setRecording(on); }

void UiDriver::frame(int n)
{
    for (int i = 0; i < n; ++i) {
        frameOf(1.0f / 60.0f);
    }
}

void UiDriver::frameOf(float seconds)
{
    makeCurrent();
    finder_->beginFrame();
    ImGui::GetIO().DeltaTime = seconds;
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
    finder_->endFrame();
}

std::optional<ItemInfo> UiDriver::peekItem(const std::string& path) const
{
    makeCurrent();
    return finder_->item(path);
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

std::optional<ImVec2> UiDriver::pointOf(const std::string& path)
{
    auto item = findItem(path);
    return item ? clickPoint(*item) : std::nullopt;
}

void UiDriver::moveMouse(ImVec2 pos)
{
    makeCurrent();
    ImGui::GetIO().MousePos = pos;
}

bool UiDriver::hover(const std::string& path)
{
    auto point = pointOf(path);
    if (!point) {
        return false;
    }
    moveMouse(*point);
    frame();
    return true;
}

bool UiDriver::click(const std::string& path, ImGuiMouseButton button)
{
    auto point = pointOf(path);
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
    auto point = pointOf(path);
    if (!point) {
        return false;
    }
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = *point;
    // ImGui's clock first passes its double-click time, so neither an earlier
    // click nor the context's start pairs with the first of these (1.75 takes
    // a click in the first 0.3 s as the second of a pair and drops it).
    frameOf(io.MouseDoubleClickTime + 0.05f);
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
    return finder_->window(name);
}

bool UiDriver::isOpen(const std::string& windowName) const
{
    makeCurrent();
    return finder_->isOpen(windowName);
}

std::vector<std::string> UiDriver::openPopups() const
{
    makeCurrent();
    return finder_->openPopups();
}

std::vector<DrawnText> UiDriver::texts(const std::string& windowName) const
{
    makeCurrent();
    return finder_->texts(windowName);
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
