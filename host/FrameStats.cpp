#include "FrameStats.h"

#include <algorithm>
#include <cstdio>

namespace sandbox {

void FrameStats::frameStarted(Clock::time_point now)
{
    if (started_) {
        longestGapMs_ = std::max(longestGapMs_, std::chrono::duration<double, std::milli>(now - last_).count());
    }
    started_ = true;
    last_ = now;
}

void FrameStats::addRender(Clock::duration spent)
{
    renderMs_.push_back(std::chrono::duration<double, std::milli>(spent).count());
}

FrameStats::Summary FrameStats::summary() const
{
    Summary s;
    s.frames = static_cast<long>(renderMs_.size());
    s.longestGapMs = longestGapMs_;
    if (renderMs_.empty()) {
        return s;
    }
    std::vector<double> sorted = renderMs_;
    std::sort(sorted.begin(), sorted.end());
    auto at = [&](double q) { return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))]; };
    s.medianMs = at(0.5);
    s.p99Ms = at(0.99);
    s.worstMs = sorted.back();
    return s;
}

std::string FrameStats::text(const Summary& s)
{
    char line[200];
    std::snprintf(line, sizeof(line),
                  "plug-in render: median %.2f ms, p99 %.2f ms, worst %.2f ms over %ld frames; longest gap between "
                  "frames %.1f ms",
                  s.medianMs, s.p99Ms, s.worstMs, s.frames, s.longestGapMs);
    return line;
}

} // namespace sandbox
