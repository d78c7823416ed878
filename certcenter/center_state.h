// What the center remembers between requests and across restarts: challenge
// sessions and their authorized client keys, and deferred certificate
// requests. Kept in the state folder as center.json, replaced atomically
// after every change; approvals are marker files approved/<token>, written
// by the separate "approve" command, so the running center never has to
// merge its file with another writer's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace qm::certcenter {

struct Session {
    std::string id;
    std::string nonce;
    std::vector<std::string> names;  // lower case, no duplicates, in request order
    std::string publicKeyId;         // set by a successful authorization
    int64_t created = 0;             // seconds since 1970
    int64_t authorized = 0;          // when publicKeyId was set
};

struct DeferredRequest {
    std::string token;
    std::string publicKeyId;
    std::string csr;
    std::vector<std::string> names;
    unsigned templateId = 0;
    int polls = 0;            // status requests answered so far
    std::string certificate;  // PEM once issued
    int64_t created = 0;
    int64_t authorized = 0;  // when the request's key was authorized
};

struct Lifetimes {
    int64_t challenge = 60 * 60;                // a session not yet authorized
    int64_t authorization = 30 * 24 * 60 * 60;  // an authorized key, and its deferred requests
};

// Lower-case hex of 16 random bytes, as the center hands them out.
bool IsWellFormedToken(const std::string& token);

class CenterState {
public:
    // Oldest entries are forgotten beyond these, so the file stays small.
    static constexpr size_t kMaxSessions = 1000;
    static constexpr size_t kMaxRequests = 1000;

    // Loads center.json from `stateDir` when it exists. Throws
    // std::runtime_error for a file that cannot be read or understood.
    explicit CenterState(std::string stateDir);

    Session& AddSession(Session session);
    Session* FindSession(const std::string& id);
    // The newest session authorized with this key.
    Session* FindAuthorizedSession(const std::string& publicKeyId);

    DeferredRequest& AddRequest(DeferredRequest request);
    DeferredRequest* FindRequest(const std::string& token);
    bool IsApproved(const std::string& token) const;

    // Forgets sessions and deferred requests whose lifetime ended before
    // `now`, with their approval markers. True when anything was forgotten.
    bool Prune(int64_t now, const Lifetimes& lifetimes);

    // Writes center.json; throws std::runtime_error when it cannot.
    void Save() const;

    // An atomic write cut off by a crash leaves its temporary file
    // (".NAME.tmp-…") beside the untouched original; the center removes them
    // when it starts, before anything else writes there.
    static void RemoveStaleTemporaries(const std::string& stateDir);

    // The "approve" command: marks a deferred request of the center in
    // `stateDir` as approved. Throws std::runtime_error with the reason.
    static void Approve(const std::string& stateDir, const std::string& token);

private:
    std::u16string FilePath() const;

    std::string stateDir_;
    std::deque<Session> sessions_;
    std::deque<DeferredRequest> requests_;
};

}  // namespace qm::certcenter
