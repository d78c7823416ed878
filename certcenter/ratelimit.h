// Requests per key in a fixed window (one minute by default): per client
// address and per client public key, so that one client cannot make the
// center fetch and sign without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qm::certcenter {

class RateLimiter {
public:
    // `limit` requests per `windowSeconds`; 0 admits everything.
    explicit RateLimiter(int limit, int64_t windowSeconds = 60);

    // Counts one request of `key` at `now` (seconds). False once the key
    // has used up its window. Thread-safe.
    bool Admit(const std::string& key, int64_t now);

private:
    struct Window {
        int64_t start = 0;
        int count = 0;
    };
    // Beyond this many keys, ended windows are dropped before a new key is
    // added, so the table stays bounded by the keys of one window.
    static constexpr size_t kPruneAbove = 4096;

    int limit_;
    int64_t windowSeconds_;
    std::mutex mutex_;
    std::unordered_map<std::string, Window> windows_;
};

}  // namespace qm::certcenter
