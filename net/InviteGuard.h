#pragma once
// Which invite notifications reach the game: a server may send any id, any
// number of times.
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace crw {

class InviteGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxIdBytes = 64;
    static constexpr auto kWindow = std::chrono::seconds(10);
    static constexpr std::size_t kMaxPerWindow = 5; // all ids together

    // An id is 1 to 64 printable ASCII bytes.
    static bool validId(const std::string& id);

    // True when the invite may go to the game now; otherwise why says why.
    // The same id passes once per window, and at most kMaxPerWindow ids pass
    // per window overall.
    bool admit(const std::string& id, Clock::time_point now, std::string& why);

private:
    std::mutex lock_;                                              // guards recent_
    std::deque<std::pair<Clock::time_point, std::string>> recent_; // admitted within the window, oldest first
};

} // namespace crw
