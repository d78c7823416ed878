// The second part of bench_nginx: requests that fail while one deployment
// and its undo run against a real nginx under a steady load, with a reload
// and with a stop and start. See bench_nginx.cpp for how to run it.
#pragma once

#include <cstdint>
#include <string>

namespace qmbench {

// Names the load part needs in the private hosts file of run-with-hosts.
inline constexpr const char* kLoadHosts[] = {"old.example.test", "shop.example.test"};

struct LoadResult {
    std::string mode;  // "reload" or "stop-and-start"
    bool ran = false;
    std::string error;  // why the run did not complete, when !ran
    uint64_t sent = 0;
    uint64_t ok = 0;
    uint64_t failed = 0;
    uint64_t failedInDeploy = 0;  // of them, until 300 ms after BindCertToSite returned
    uint64_t failedInUndo = 0;    // the rest: during the undo and 300 ms after it
    uint64_t interrupted = 0;
    long firstFailureMs = -1;  // since the load started; -1: none
    long lastFailureMs = -1;
    double deployMs = 0;     // Initialize .. BindCertToSite returned
    double undoMs = 0;       // Initialize .. RestoreWeb returned
    long loadMs = 0;         // how long the load ran
    int mastersSeen = 0;     // distinct nginx masters from before the deployment to after the undo
    bool servedNew = false;  // after the deployment the HTTPS block serves another certificate
    bool servedOldAgain = false;  // after the undo it serves the old one again
};

// Whether this process runs under run-with-hosts with every name the load
// part needs; when not, `why` says what is missing.
bool LoadPartPossibleHere(std::string& why);

// Runs the deployment and the undo twice (reload, then stop and start)
// under `rate` requests per second; prints what it sees as it goes.
void RunLoadPart(double rate, LoadResult& reload, LoadResult& restart);

// One line per result, and back.
std::string EncodeLoadResult(const LoadResult& result);
bool DecodeLoadResult(const std::string& line, LoadResult& result);

}  // namespace qmbench
