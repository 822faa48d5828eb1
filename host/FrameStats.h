#pragma once
// Per-frame timing of the plug-in for `--frame-stats`: how long its window
// interfaces take each frame, and the longest gap between two frames (a
// stall a player would feel). Render thread only.
#include <chrono>
#include <string>
#include <vector>

namespace sandbox {

class FrameStats {
public:
    using Clock = std::chrono::steady_clock;

    void frameStarted(Clock::time_point now);
    void addRender(Clock::duration spent);

    struct Summary {
        long frames = 0;
        double medianMs = 0, p99Ms = 0, worstMs = 0, longestGapMs = 0;
    };
    Summary summary() const;
    // "plug-in render: median 0.41 ms, p99 1.20 ms, worst 3.05 ms over 600 frames; longest gap between frames 17.1 ms"
    static std::string text(const Summary& s);

private:
    std::vector<double> renderMs_;
    double longestGapMs_ = 0;
    Clock::time_point last_{};
    bool started_ = false;
};

} // namespace sandbox
