#include "certcenter/ratelimit.h"

namespace qm::certcenter {

RateLimiter::RateLimiter(int limit, int64_t windowSeconds)
    : limit_(limit), windowSeconds_(windowSeconds) {}

bool RateLimiter::Admit(const std::string& key, int64_t now) {
    if (limit_ <= 0)
        return true;
    std::lock_guard lock(mutex_);
    auto it = windows_.find(key);
    if (it == windows_.end()) {
        if (windows_.size() >= kPruneAbove)
            std::erase_if(windows_, [&](const auto& entry) {
                return now >= entry.second.start + windowSeconds_;
            });
        it = windows_.emplace(key, Window{now, 0}).first;
    }
    Window& window = it->second;
    if (now >= window.start + windowSeconds_ || now < window.start)
        window = Window{now, 0};
    if (window.count >= limit_)
        return false;
    ++window.count;
    return true;
}

}  // namespace qm::certcenter
