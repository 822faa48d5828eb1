#pragma once
// The frame loop: a GLFW window with OpenGL 3, or headless (no window, no GL,
// fixed display size and time step). Draws the host's own windows (console,
// sandbox panel, settings, toasts) and the plug-in's, and runs a script.
#include <atomic>
#include <string>
#include <vector>

#include "FrameStats.h"
#include "Options.h"
#include "SandboxHost.h"

struct GLFWwindow;

namespace sandbox {

class PluginLoader;
class ScriptRunner;

class Frontend {
public:
    Frontend(const Options& options, SandboxHost& host, std::string serverText);
    ~Frontend();

    // Creates the ImGui context, and the window unless headless.
    bool init(std::string& error);
    // Hands the ImGui context to the plug-in's window interfaces.
    void attach(PluginLoader& loader);
    // Runs frames until the user, a signal, the script or the frame limit ends it. Returns the exit status.
    int run(ScriptRunner* runner);
    // Closes the plug-in's window and forgets it, ahead of unloading.
    void detach();
    void shutdown();
    // Empty unless --frame-stats.
    std::string frameStatsText() const;

    bool screenshot(const std::string& path, std::string& error);
    void keyPressed(const std::string& key);

    static std::atomic<bool> stopRequested; // set by SIGINT/SIGTERM

private:
    void drawHostWindows();
    void drawConsole();
    void drawToasts();
    void syncMenus();
    void drawFrameStats();

    const Options& options_;
    SandboxHost& host_;
    const std::string serverText_;
    PluginLoader* loader_ = nullptr;
    GLFWwindow* window_ = nullptr;
    bool imguiReady_ = false;
    bool glReady_ = false;
    bool pluginOpen_ = false;
    long frames_ = 0;
    FrameStats frameStats_;
    FrameStats::Clock::duration settingsTime_{};
    std::string frameStatsLine_;
    FrameStats::Clock::time_point frameStatsShownAt_{};
    std::string menuName_ = "CRW";

    std::vector<std::string> consoleMirror_;
    uint64_t consoleNext_ = 0;
    uint64_t consoleGeneration_ = 0;
    bool consoleScrollToEnd_ = true;
    char consoleInput_[512] = "";
};

// GLFW key code to the name binds use ("F5", "A", "7", "Escape"); empty when unnamed.
std::string keyName(int glfwKey);

} // namespace sandbox
