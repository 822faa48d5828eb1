#include "FrameStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sandbox {

namespace {

std::size_t bucketOf(double ms)
{
    if (!(ms > FrameStats::kFirstMs)) {
        return 0;
    }
    const double index = std::ceil(std::log(ms / FrameStats::kFirstMs) / std::log(FrameStats::kRatio));
    return static_cast<std::size_t>(std::min(index, static_cast<double>(FrameStats::kBuckets - 1)));
}

// Upper edge of a bucket: a quantile is never reported lower than it was.
double bucketMs(std::size_t bucket) { return FrameStats::kFirstMs * std::pow(FrameStats::kRatio, bucket); }

} // namespace

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
    const double ms = std::chrono::duration<double, std::milli>(spent).count();
    uint32_t& count = counts_[bucketOf(ms)];
    if (count != UINT32_MAX) {
        ++count;
    }
    ++frames_;
    worstMs_ = std::max(worstMs_, ms);
}

FrameStats::Summary FrameStats::summary() const
{
    Summary s;
    s.longestGapMs = longestGapMs_;
    long counted = 0;
    for (uint32_t c : counts_) {
        counted += static_cast<long>(c);
    }
    s.frames = frames_;
    if (counted == 0) {
        return s;
    }
    // The frame at rank q * (n - 1), as a sorted list would give it.
    auto at = [&](double q) {
        const long rank = static_cast<long>(q * static_cast<double>(counted - 1));
        long seen = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            seen += static_cast<long>(counts_[b]);
            if (seen > rank) {
                return std::min(bucketMs(b), worstMs_);
            }
        }
        return worstMs_;
    };
    s.medianMs = at(0.5);
    s.p99Ms = at(0.99);
    s.worstMs = worstMs_;
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
