#include "plugin/Prelude.h"

#include "net/InviteGuard.h"

#include <algorithm>

namespace crw {

bool InviteGuard::validId(const std::string& id)
{
    if (id.empty() || id.size() > kMaxIdBytes) {
        return false;
    }
    return std::all_of(id.begin(), id.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c >= 0x20 && c < 0x7f;
    });
}

bool InviteGuard::admit(const std::string& id, Clock::time_point now, std::string& why)
{
    if (!validId(id)) {
        why = "the id is not 1 to " + std::to_string(kMaxIdBytes) + " printable characters";
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    while (!recent_.empty() && now - recent_.front().first >= kWindow) {
        recent_.pop_front();
    }
    if (std::any_of(recent_.begin(), recent_.end(), [&](const auto& r) { return r.second == id; })) {
        why = "the same id came less than 10 s ago";
        return false;
    }
    if (recent_.size() >= kMaxPerWindow) {
        why = "too many invites in 10 s";
        return false;
    }
    recent_.emplace_back(now, id);
    return true;
}

} // namespace crw
