#include "Frontend.h"

#include <chrono>
#include <cstdio>

#include <GLFW/glfw3.h>
#include <imgui.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <stb/stb_image_write.h>

#include "PluginLoader.h"
#include "Script.h"
#include "Targets.h"

namespace sandbox {

std::atomic<bool> Frontend::stopRequested{false};

namespace {

constexpr float kFrameSeconds = 1.f / 60.f;

void glfwError(int code, const char* text) { std::fprintf(stderr, "GLFW error %d: %s\n", code, text); }

void keyCallback(GLFWwindow* window, int key, int, int action, int)
{
    if (action != GLFW_PRESS) {
        return;
    }
    auto* self = static_cast<Frontend*>(glfwGetWindowUserPointer(window));
    // Keys typed into a text field are not binds.
    if (self != nullptr && ImGui::GetCurrentContext() != nullptr && !ImGui::GetIO().WantTextInput) {
        const std::string name = keyName(key);
        if (!name.empty()) {
            self->keyPressed(name);
        }
    }
}

// Same codes as the GLFW backend, so injected keys mean the same in both modes.
void mapKeysHeadless(ImGuiIO& io)
{
    io.KeyMap[ImGuiKey_Tab] = GLFW_KEY_TAB;
    io.KeyMap[ImGuiKey_LeftArrow] = GLFW_KEY_LEFT;
    io.KeyMap[ImGuiKey_RightArrow] = GLFW_KEY_RIGHT;
    io.KeyMap[ImGuiKey_UpArrow] = GLFW_KEY_UP;
    io.KeyMap[ImGuiKey_DownArrow] = GLFW_KEY_DOWN;
    io.KeyMap[ImGuiKey_PageUp] = GLFW_KEY_PAGE_UP;
    io.KeyMap[ImGuiKey_PageDown] = GLFW_KEY_PAGE_DOWN;
    io.KeyMap[ImGuiKey_Home] = GLFW_KEY_HOME;
    io.KeyMap[ImGuiKey_End] = GLFW_KEY_END;
    io.KeyMap[ImGuiKey_Insert] = GLFW_KEY_INSERT;
    io.KeyMap[ImGuiKey_Delete] = GLFW_KEY_DELETE;
    io.KeyMap[ImGuiKey_Backspace] = GLFW_KEY_BACKSPACE;
    io.KeyMap[ImGuiKey_Space] = GLFW_KEY_SPACE;
    io.KeyMap[ImGuiKey_Enter] = GLFW_KEY_ENTER;
    io.KeyMap[ImGuiKey_Escape] = GLFW_KEY_ESCAPE;
    io.KeyMap[ImGuiKey_KeyPadEnter] = GLFW_KEY_KP_ENTER;
    io.KeyMap[ImGuiKey_A] = GLFW_KEY_A;
    io.KeyMap[ImGuiKey_C] = GLFW_KEY_C;
    io.KeyMap[ImGuiKey_V] = GLFW_KEY_V;
    io.KeyMap[ImGuiKey_X] = GLFW_KEY_X;
    io.KeyMap[ImGuiKey_Y] = GLFW_KEY_Y;
    io.KeyMap[ImGuiKey_Z] = GLFW_KEY_Z;
}

} // namespace

std::string keyName(int key)
{
    if (key >= GLFW_KEY_A && key <= GLFW_KEY_Z) {
        return std::string(1, static_cast<char>('A' + (key - GLFW_KEY_A)));
    }
    if (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) {
        return std::string(1, static_cast<char>('0' + (key - GLFW_KEY_0)));
    }
    if (key >= GLFW_KEY_F1 && key <= GLFW_KEY_F25) {
        return "F" + std::to_string(key - GLFW_KEY_F1 + 1);
    }
    switch (key) {
    case GLFW_KEY_ESCAPE:
        return "Escape";
    case GLFW_KEY_TAB:
        return "Tab";
    case GLFW_KEY_SPACE:
        return "Space";
    case GLFW_KEY_ENTER:
        return "Enter";
    case GLFW_KEY_INSERT:
        return "Insert";
    case GLFW_KEY_DELETE:
        return "Delete";
    case GLFW_KEY_HOME:
        return "Home";
    case GLFW_KEY_END:
        return "End";
    case GLFW_KEY_PAGE_UP:
        return "PageUp";
    case GLFW_KEY_PAGE_DOWN:
        return "PageDown";
    default:
        return {};
    }
}

Frontend::Frontend(const Options& options, SandboxHost& host, std::string serverText)
    : options_(options), host_(host), serverText_(std::move(serverText))
{
}

Frontend::~Frontend() { shutdown(); }

bool Frontend::init(std::string& error)
{
    if (!options_.headless) {
        glfwSetErrorCallback(glfwError);
        if (!glfwInit()) {
            error = "cannot open a window (no display?). Run with --headless, or under xvfb-run.";
            return false;
        }
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
        window_ = glfwCreateWindow(options_.width, options_.height, "Crewfinder sandbox", nullptr, nullptr);
        if (window_ == nullptr) {
            glfwTerminate();
            error = "cannot create an OpenGL 3 window. Run with --headless, or under xvfb-run.";
            return false;
        }
        glfwMakeContextCurrent(window_);
        glfwSwapInterval(1);
        glfwSetWindowUserPointer(window_, this);
        glfwSetKeyCallback(window_, keyCallback); // the ImGui backend chains to it
    }

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    imguiReady_ = true;
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr; // nothing is written outside the data folder
    ImGui::StyleColorsDark();

    if (window_ != nullptr) {
        ImGui_ImplGlfw_InitForOpenGL(window_, true);
        ImGui_ImplOpenGL3_Init("#version 130");
        glReady_ = true;
    } else {
        io.DisplaySize = ImVec2(static_cast<float>(options_.width), static_cast<float>(options_.height));
        unsigned char* pixels = nullptr;
        int w = 0, h = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
        io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(1)));
        mapKeysHeadless(io);
        // As a real renderer does: draw lists past 64k vertices then split
        // instead of failing ImGui's 16-bit index check.
        io.BackendFlags |= ImGuiBackendFlags_RendererHasVtxOffset;
    }
    return true;
}

void Frontend::attach(PluginLoader& loader)
{
    loader_ = &loader;
    const auto context = reinterpret_cast<std::uintptr_t>(ImGui::GetCurrentContext());
    if (auto* w = loader.window()) {
        w->SetImGuiContext(context);
        menuName_ = w->GetMenuName();
    }
    if (auto* s = loader.settings()) {
        s->SetImGuiContext(context);
    }
    host_.setMenuOpen(menuName_, options_.windowOpen);
    host_.setMenuOpen("console", true);
}

void Frontend::detach()
{
    if (loader_ != nullptr && pluginOpen_ && loader_->window() != nullptr) {
        loader_->window()->OnClose();
    }
    pluginOpen_ = false;
    loader_ = nullptr;
}

void Frontend::shutdown()
{
    if (imguiReady_) {
        if (glReady_) {
            host_.images().destroyTextures();
            ImGui_ImplOpenGL3_Shutdown();
            ImGui_ImplGlfw_Shutdown();
            glReady_ = false;
        }
        ImGui::DestroyContext();
        imguiReady_ = false;
    }
    if (window_ != nullptr) {
        glfwDestroyWindow(window_);
        glfwTerminate();
        window_ = nullptr;
    }
}

void Frontend::keyPressed(const std::string& key)
{
    if (auto command = host_.bindFor(key)) {
        host_.runCommand(*command);
    }
}

bool Frontend::screenshot(const std::string& path, std::string& error)
{
    if (window_ == nullptr) {
        error = "screenshots need a window: run without --headless (under xvfb-run when there is no display)";
        return false;
    }
    int w = 0, h = 0;
    glfwGetFramebufferSize(window_, &w, &h);
    if (w <= 0 || h <= 0) {
        error = "the window has no area";
        return false;
    }
    std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    // GL rows run bottom-up; PNG rows top-down. The window is opaque.
    std::vector<unsigned char> flipped(pixels.size());
    const size_t stride = static_cast<size_t>(w) * 4;
    for (int y = 0; y < h; ++y) {
        std::copy_n(&pixels[static_cast<size_t>(h - 1 - y) * stride], stride,
                    &flipped[static_cast<size_t>(y) * stride]);
    }
    for (size_t i = 3; i < flipped.size(); i += 4) {
        flipped[i] = 255;
    }
    if (!stbi_write_png(path.c_str(), w, h, 4, flipped.data(), static_cast<int>(stride))) {
        error = "cannot write " + path;
        return false;
    }
    host_.log("Screenshot written to " + path);
    return true;
}

void Frontend::syncMenus()
{
    if (loader_ == nullptr || loader_->window() == nullptr) {
        return;
    }
    const bool want = host_.menuOpen(menuName_);
    if (want != pluginOpen_) {
        pluginOpen_ = want;
        if (want) {
            loader_->window()->OnOpen();
        } else {
            loader_->window()->OnClose();
        }
    }
}

void Frontend::drawConsole()
{
    if (!host_.menuOpen("console")) {
        return;
    }
    const auto generation = host_.consoleGeneration();
    if (generation != consoleGeneration_) {
        consoleGeneration_ = generation;
        consoleMirror_.clear();
    }
    const auto fresh = host_.consoleSince(consoleNext_);
    for (const auto& line : fresh) {
        consoleMirror_.push_back(line.text);
        consoleNext_ = line.seq + 1;
    }
    if (consoleMirror_.size() > 20000) {
        consoleMirror_.erase(consoleMirror_.begin(), consoleMirror_.begin() + (consoleMirror_.size() - 20000));
    }

    const ImVec2 display = ImGui::GetIO().DisplaySize;
    ImGui::SetNextWindowPos(ImVec2(10, display.y - 330), ImGuiCond_FirstUseEver);
    ImGui::SetNextWindowSize(ImVec2(display.x * 0.62f, 320), ImGuiCond_FirstUseEver);
    bool open = true;
    if (ImGui::Begin("Console", &open)) {
        const float footer = ImGui::GetFrameHeightWithSpacing();
        ImGui::BeginChild("##ConsoleLines", ImVec2(0, -footer), false, ImGuiWindowFlags_HorizontalScrollbar);
        ImGuiListClipper clipper;
        clipper.Begin(static_cast<int>(consoleMirror_.size()));
        while (clipper.Step()) {
            for (int i = clipper.DisplayStart; i < clipper.DisplayEnd; ++i) {
                ImGui::TextUnformatted(consoleMirror_[static_cast<size_t>(i)].c_str());
            }
        }
        if (!fresh.empty() && (consoleScrollToEnd_ || ImGui::GetScrollY() >= ImGui::GetScrollMaxY())) {
            ImGui::SetScrollHereY(1.f);
        }
        consoleScrollToEnd_ = false;
        ImGui::EndChild();
        ImGui::SetNextItemWidth(-1);
        if (ImGui::InputText("##ConsoleInput", consoleInput_, sizeof consoleInput_,
                             ImGuiInputTextFlags_EnterReturnsTrue)) {
            if (consoleInput_[0] != '\0') {
                host_.runCommand(consoleInput_);
            }
            consoleInput_[0] = '\0';
            consoleScrollToEnd_ = true;
            ImGui::SetKeyboardFocusHere(-1);
        }
    }
    ImGui::End();
    if (!open) {
        host_.setMenuOpen("console", false);
    }
}

void Frontend::drawHostWindows()
{
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    ImGui::SetNextWindowPos(ImVec2(display.x * 0.62f + 20, display.y - 330), ImGuiCond_FirstUseEver);
    ImGui::SetNextWindowSize(ImVec2(display.x * 0.38f - 30, 320), ImGuiCond_FirstUseEver);
    if (ImGui::Begin("Sandbox")) {
        ImGui::Text("Player: %s", options_.profile.name.c_str());
        ImGui::TextUnformatted(("Id: " + options_.profile.id).c_str());
        ImGui::TextUnformatted(("Server: " + serverText_).c_str());
        ImGui::Separator();
        if (ImGui::Button("Plug-in window")) {
            host_.runCommand("togglemenu " + menuName_);
        }
        ImGui::SameLine();
        if (ImGui::Button("Settings")) {
            host_.runCommand("togglemenu settings");
        }
        ImGui::SameLine();
        if (ImGui::Button("Console")) {
            host_.runCommand("togglemenu console");
        }
        if (ImGui::Button("Party join")) {
            host_.runCommand("party join");
        }
        bool toasts = host_.cvar(kToastCvar) != 0;
        if (ImGui::Checkbox("Toasts", &toasts)) {
            host_.runCommand(std::string(kToastCvar) + (toasts ? " 1" : " 0"));
        }
        const auto binds = host_.allBinds();
        if (!binds.empty()) {
            ImGui::Separator();
            for (const auto& [key, command] : binds) {
                ImGui::TextUnformatted((key + " -> " + command).c_str());
            }
        }
    }
    ImGui::End();

    drawConsole();

    if (loader_ != nullptr && loader_->settings() != nullptr && host_.menuOpen("settings")) {
        ImGui::SetNextWindowSize(ImVec2(700, 420), ImGuiCond_FirstUseEver);
        bool open = true;
        if (ImGui::Begin("Plug-in settings", &open)) {
            const auto before = FrameStats::Clock::now();
            loader_->settings()->RenderSettings();
            settingsTime_ = FrameStats::Clock::now() - before;
        }
        ImGui::End();
        if (!open) {
            host_.setMenuOpen("settings", false);
        }
    }
}

void Frontend::drawToasts()
{
    const auto toasts = host_.liveToasts();
    if (toasts.empty()) {
        return;
    }
    ImDrawList* draw = ImGui::GetForegroundDrawList();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const float w = 290.f, h = 60.f, gap = 8.f;
    float y = 10.f;
    // Newest on top, in the top-right corner.
    for (auto it = toasts.rbegin(); it != toasts.rend(); ++it) {
        const ImVec2 a(display.x - w - 10.f, y);
        const ImVec2 b(a.x + w, a.y + h);
        draw->AddRectFilled(a, b, IM_COL32(30, 34, 44, 235), 6.f);
        draw->AddRect(a, b, IM_COL32(53, 114, 220, 255), 6.f);
        // Wrapped text stays inside its box.
        draw->PushClipRect(a, b, true);
        draw->AddText(ImVec2(a.x + 10, a.y + 8), IM_COL32(255, 255, 255, 255), it->title.c_str());
        draw->AddText(nullptr, 0.f, ImVec2(a.x + 10, a.y + 28), IM_COL32(220, 220, 220, 255), it->text.c_str(), nullptr,
                      w - 20.f);
        draw->PopClipRect();
        y += h + gap;
    }
}

void Frontend::drawFrameStats()
{
    // Refreshed twice a second so that the figures can be read.
    const auto now = FrameStats::Clock::now();
    if (frameStatsLine_.empty() || now - frameStatsShownAt_ > std::chrono::milliseconds(500)) {
        frameStatsLine_ = FrameStats::text(frameStats_.summary());
        frameStatsShownAt_ = now;
    }
    ImDrawList* draw = ImGui::GetForegroundDrawList();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const ImVec2 size = ImGui::CalcTextSize(frameStatsLine_.c_str());
    const ImVec2 a(10.f, display.y - size.y - 14.f);
    draw->AddRectFilled(a, ImVec2(a.x + size.x + 12.f, a.y + size.y + 8.f), IM_COL32(20, 22, 28, 220), 4.f);
    draw->AddText(ImVec2(a.x + 6.f, a.y + 4.f), IM_COL32(255, 255, 255, 255), frameStatsLine_.c_str());
}

std::string Frontend::frameStatsText() const
{
    return options_.frameStats ? FrameStats::text(frameStats_.summary()) : std::string();
}

int Frontend::run(ScriptRunner* runner)
{
    ImGuiIO& io = ImGui::GetIO();
    for (;;) {
        if (stopRequested.load() || host_.quitRequested() || (window_ != nullptr && glfwWindowShouldClose(window_))) {
            return 0;
        }
        const bool immediate = runner != nullptr && runner->wantsImmediateFrame();
        if (window_ != nullptr) {
            if (immediate) {
                glfwPollEvents();
            } else {
                glfwWaitEventsTimeout(kFrameSeconds);
            }
        } else if (!immediate) {
            // Woken early by a console line or a finished game job.
            host_.waitConsole(host_.consoleEnd(),
                              std::chrono::steady_clock::now() +
                                  std::chrono::microseconds(static_cast<long>(kFrameSeconds * 1e6f)));
        }

        if (options_.frameStats) {
            frameStats_.frameStarted(FrameStats::Clock::now());
        }
        settingsTime_ = {};
        syncMenus();
        if (glReady_) {
            host_.images().update();
            ImGui_ImplOpenGL3_NewFrame();
            ImGui_ImplGlfw_NewFrame();
        } else {
            io.DeltaTime = kFrameSeconds;
        }
        targets::beginFrame();
        if (runner != nullptr) {
            runner->prepareFrame(io);
        }
        ImGui::NewFrame();
        drawHostWindows();
        FrameStats::Clock::duration pluginTime = settingsTime_;
        if (pluginOpen_ && loader_ != nullptr && loader_->window() != nullptr) {
            ImGui::SetNextWindowPos(ImVec2(10, 10), ImGuiCond_FirstUseEver);
            const auto before = FrameStats::Clock::now();
            loader_->window()->Render();
            pluginTime += FrameStats::Clock::now() - before;
        }
        if (options_.frameStats) {
            frameStats_.addRender(pluginTime);
            drawFrameStats();
        }
        drawToasts();
        ImGui::Render();
        targets::endFrame();
        if (glReady_) {
            int w = 0, h = 0;
            glfwGetFramebufferSize(window_, &w, &h);
            glViewport(0, 0, w, h);
            glClearColor(0.09f, 0.10f, 0.13f, 1.f);
            glClear(GL_COLOR_BUFFER_BIT);
            ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
        }
        ++frames_;

        int status = -1;
        if (runner != nullptr) {
            runner->afterFrame();
            if (runner->failed()) {
                std::fprintf(stderr, "crw-sandbox: %s\n", runner->error().c_str());
                status = 1;
            }
        }
        const bool scriptDone = runner == nullptr || runner->finished();
        bool end = false;
        if (status < 0 && scriptDone) {
            if (options_.frames) {
                end = frames_ >= *options_.frames;
            } else if (runner != nullptr) {
                end = options_.headless || options_.exitAfterScript || !options_.screenshot.empty();
            }
        }
        if (end) {
            status = 0;
            std::string error;
            if (!options_.screenshot.empty() && !screenshot(options_.screenshot, error)) {
                std::fprintf(stderr, "crw-sandbox: %s\n", error.c_str());
                status = 1;
            }
        }
        if (window_ != nullptr) {
            glfwSwapBuffers(window_);
        }
        if (status >= 0) {
            return status;
        }
    }
}

} // namespace sandbox
