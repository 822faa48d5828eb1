#pragma once
// Script steps for automation: one step runs over one or more frames. The
// frame loop calls prepareFrame before ImGui::NewFrame (input injection) and
// afterFrame once the frame is drawn.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Targets.h"

struct ImGuiIO;

namespace sandbox {

class SandboxHost;

struct Step {
    int line = 0;
    std::string verb;
    std::string target; // click, doubleclick, type, wait, wait-gone, expect, expect-absent
    std::string text;   // console, type, wait-log, event, screenshot, key, print
    double seconds = 0; // sleep and the waits
    long count = 0;     // frames
};

// Parses a whole script; false with error ("line N: ...") on the first bad line.
bool parseScript(const std::string& source, std::vector<Step>& steps, std::string& error);
bool loadScript(const std::string& path, std::vector<Step>& steps, std::string& error);

class ScriptRunner {
public:
    using Clock = std::chrono::steady_clock;
    // Takes a screenshot of the frame just drawn; false with error when it cannot.
    using Screenshot = std::function<bool(const std::string& path, std::string& error)>;
    // Presses a key as the keyboard would (binds).
    using KeyPress = std::function<void(const std::string& key)>;

    ScriptRunner(SandboxHost& host, std::vector<Step> steps, Screenshot screenshot, KeyPress keyPress);

    void prepareFrame(ImGuiIO& io);
    // Call after the frame is drawn and before it is shown (a screenshot reads it then).
    void afterFrame();

    bool finished() const { return index_ >= steps_.size() || failed_; }
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }
    // True when the next frame should come at once (input in progress, frames counting).
    bool wantsImmediateFrame() const;

    // How long a click-type step looks for its target before failing.
    std::chrono::milliseconds findTimeout{5000};

private:
    void startStep();
    void finishStep();
    void fail(const std::string& message);

    SandboxHost& host_;
    std::vector<Step> steps_;
    Screenshot screenshot_;
    KeyPress keyPress_;
    size_t index_ = 0;
    bool started_ = false;
    int phase_ = 0;
    long framesLeft_ = 0;
    Clock::time_point deadline_{};
    std::optional<Rect> rect_;
    uint64_t gameJob_ = 0;
    uint64_t logCursor_ = 0; // wait-log looks at console lines from here on
    bool failed_ = false;
    std::string error_;
};

} // namespace sandbox
