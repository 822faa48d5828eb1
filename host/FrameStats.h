#pragma once
// Per-frame timing of the plug-in for `--frame-stats`: how long its window
// interfaces take each frame, and the longest gap between two frames (a
// stall a player would feel). Render thread only.
//
// A run may last for hours at 60 frames a second: frames go into a fixed
// histogram of logarithmic buckets (about 1 % wide), so memory and the work
// per frame stay the same however long it runs, and a summary only walks the
// buckets. Median and p99 are read to bucket precision; the worst is exact.
#include <array>
#include <chrono>
#include <cstdint>
#include <string>

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

    // Buckets start at 1 µs and grow by kRatio; the last one takes anything
    // longer (over 100 s).
    static constexpr double kFirstMs = 0.001;
    static constexpr double kRatio = 1.02;
    static constexpr std::size_t kBuckets = 940;

private:
    std::array<uint32_t, kBuckets> counts_{};
    long frames_ = 0;
    double worstMs_ = 0;
    double longestGapMs_ = 0;
    Clock::time_point last_{};
    bool started_ = false;
};

} // namespace sandbox
