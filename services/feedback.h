// The messages Quillmate posts to /ReceiveFeedbackServer, free of any
// transport: one body in, one answer out; accepted messages are stored in
// received.jsonl. The HTTPS server (server.h) feeds it; the unit tests call
// it directly.
//
// Messages and their answers:
//   msgReq         feedback: "type", "product", "version", "loginfo", "msgType"
//                  (bug, advice or null), "contact", "desc" (not blank),
//                  "platform"                   -> {"type":"msgResp","msg":"thank you"}
//   userStatReq    start report: "platform", "product", "version"
//                                               -> {"type":"userStatResp"}
//   userActionReq  action report: "product", "action" (buyLink, otherLink or
//                  applyCert), "actionCnt" (1 to 9 digits, at least 1)
//                                               -> {"type":"userActionResp"}
//   anything else  HTTP 400 {"type":"error","msg":TEXT}
// Every member named is a JSON string; further members are kept.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "services/options.h"

namespace qm::services {

inline constexpr size_t kMaxMessageBytes = 64 * 1024;

// The text form of answers and stored lines: compact, one line, UTF-8 kept
// as it is (feedback is often Chinese).
std::string OneLineJson(const Json::Value& value);

struct CheckedMessage {
    bool ok = false;
    std::string type;        // the message's "type" when it is a string (at most 64 bytes)
    std::string problem;     // why it is refused
    Json::Value message;     // the parsed object
    std::string answerType;  // "msgResp", "userStatResp" or "userActionResp"
};

// Parses and checks one posted body (which must be UTF-8).
CheckedMessage CheckMessage(std::string_view body);

// received.jsonl: one line {"time":..,"message":..} per accepted message.
class ReceivedStore {
public:
    explicit ReceivedStore(std::string path) : path_(std::move(path)) {}

    // Appends the line with one write and syncs it; false when it is not
    // wholly on disk (a partial line is cut off again). Thread-safe.
    bool Append(const Json::Value& message, const std::string& time);

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::mutex mutex_;
};

struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::string requestType;  // the message's "type" when it had one
    std::string outcome;      // "stored", "refused", "injected" or "failed"
    std::string problem;      // why it was refused or failed
};

// An HTTP error answer {"type":"error","msg":<problem>}, outcome "refused".
Answer ErrorAnswer(int status, const std::string& problem);
Answer TooLargeAnswer();

class FeedbackDesk {
public:
    FeedbackDesk(ReceivedStore& store, FaultRule fault) : store_(store), fault_(std::move(fault)) {}

    // A body of at most kMaxMessageBytes. Thread-safe; never throws.
    Answer Handle(std::string_view body);

private:
    ReceivedStore& store_;
    FaultSwitch fault_;
};

}  // namespace qm::services
