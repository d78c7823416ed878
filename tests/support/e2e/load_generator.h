// A bounded stream of GET requests against loopback servers, to see whether
// a server change (a reload, a restart) drops requests.
//
// Requests go out at a fixed total rate, round-robin over the targets, from
// a few background threads, each on a new connection (no keep-alive reuse),
// so a server that stops accepting shows as failures at once. The run ends at
// Stop(), at the destructor, or after the maximum duration, whichever comes
// first; requests still in flight then are cut off and counted as
// interrupted, not as failed.
//
//     qm::e2e::LoadGenerator::Options options;
//     options.targets = {{"http://127.0.0.1/"}, {"https://shop.test/", "::1"}};
//     options.requestsPerSecond = 200;
//     qm::e2e::LoadGenerator load(options);
//     load.Start();
//     ... reload the server ...
//     const qm::e2e::LoadCounts counts = load.Stop();
//     EXPECT_EQ(counts.failed, 0u) << counts.Describe();
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qm::e2e {

struct LoadTarget {
    std::string url;        // http://... or https://...
    std::string connectTo;  // an address ("127.0.0.1", "::1") instead of resolving the name
    bool insecure = true;   // https: accept whatever certificate is served
    std::string caFile;     // https when !insecure: the trust anchor

    LoadTarget(std::string url, std::string connectTo = {})
        : url(std::move(url)), connectTo(std::move(connectTo)) {}
};

struct LoadFailure {
    std::chrono::milliseconds sinceStart{0};     // when the request ended
    std::chrono::system_clock::time_point when;  // the same, on the wall clock
    std::string url;
    std::string text;  // the transfer's error, or "HTTP <status>"
};

struct LoadCounts {
    uint64_t sent = 0;                           // requests started
    uint64_t ok = 0;                             // a complete HTTP answer with a status below 500
    uint64_t failed = 0;                         // no complete answer, or a status of 500 and above
    uint64_t interrupted = 0;                    // cut off by Stop() or by the maximum duration
    std::chrono::milliseconds firstFailure{-1};  // since start; -1 when none
    std::chrono::milliseconds lastFailure{-1};
    std::vector<LoadFailure> failures;  // the first few, in the order they ended

    // "sent 412, ok 400, failed 12, interrupted 0" and the kept failures, one a line.
    std::string Describe() const;
};

class LoadGenerator {
public:
    struct Options {
        std::vector<LoadTarget> targets;
        double requestsPerSecond = 200;                  // in total
        std::chrono::milliseconds maxDuration{120000};   // hard bound of a run
        std::chrono::milliseconds requestTimeout{3000};  // of one request
        int threads = 8;                                 // requests in flight at most
        size_t keptFailures = 10;                        // how many LoadFailure are kept
    };

    explicit LoadGenerator(Options options);
    // Stops the run and waits for the threads.
    ~LoadGenerator();
    LoadGenerator(const LoadGenerator&) = delete;
    LoadGenerator& operator=(const LoadGenerator&) = delete;

    // Starts the threads; throws when there are no targets, the rate is not
    // positive or a run is going on.
    void Start();
    // Ends the run (requests in flight are cut off), waits for the threads
    // and returns the final counts. Harmless when not running.
    LoadCounts Stop();
    // The counts so far, while running or after.
    LoadCounts Counts() const;
    // Whether the threads still send (false after Stop or the maximum duration).
    bool Running() const;

private:
    enum class Outcome { Ok, Failed, CutOff };
    void Work();
    Outcome Request(const LoadTarget& target, std::string& error);
    void Record(const LoadTarget& target, Outcome outcome, const std::string& error);
    bool ShouldEnd() const;

    Options options_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> next_{0};
    std::atomic<int> working_{0};
    std::chrono::steady_clock::time_point start_;
    std::chrono::system_clock::time_point wallStart_;
    std::chrono::steady_clock::time_point deadline_;
    mutable std::mutex mutex_;  // guards counts_ and wakes sleeping threads
    std::condition_variable wake_;
    LoadCounts counts_;
};

}  // namespace qm::e2e
