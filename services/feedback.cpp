#include "services/feedback.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "certcenter/center.h"
#include "foundation/host/host.h"
#include "foundation/textconv.h"

namespace qm::services {
namespace {

bool IsUtf8(std::string_view text) {
    return Utf8FromWide(WideFromUtf8(text)) == text;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n\f\v") - first + 1);
}

// Returns the problem with the string members `names` of `message`, or "".
std::string MissingText(const Json::Value& message, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!message.isMember(name))
            return std::string("member \"") + name + "\" is missing";
        if (!message[name].isString())
            return std::string("member \"") + name + "\" must be a string";
    }
    return {};
}

std::string OneOf(const Json::Value& message, const char* name,
                  std::initializer_list<const char*> allowed) {
    const std::string value = message[name].asString();
    std::string list;
    for (const char* option : allowed) {
        if (value == option)
            return {};
        list += std::string(list.empty() ? "" : ", ") + option;
    }
    return std::string("member \"") + name + "\" must be one of " + list;
}

std::string CheckFeedback(const Json::Value& message) {
    if (auto problem = MissingText(
            message, {"product", "version", "loginfo", "msgType", "contact", "desc", "platform"});
        !problem.empty())
        return problem;
    if (auto problem = OneOf(message, "msgType", {"bug", "advice", "null"}); !problem.empty())
        return problem;
    if (Trimmed(message["desc"].asString()).empty())
        return "member \"desc\" is blank";
    return {};
}

std::string CheckStart(const Json::Value& message) {
    return MissingText(message, {"platform", "product", "version"});
}

std::string CheckAction(const Json::Value& message) {
    if (auto problem = MissingText(message, {"product", "action", "actionCnt"}); !problem.empty())
        return problem;
    if (auto problem = OneOf(message, "action", {"buyLink", "otherLink", "applyCert"});
        !problem.empty())
        return problem;
    const std::string count = message["actionCnt"].asString();
    const bool digits =
        !count.empty() && count.size() <= 9 &&
        std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || count.find_first_not_of('0') == std::string::npos)
        return "member \"actionCnt\" must be a count of 1 to 9 decimal digits, at least 1";
    return {};
}

}  // namespace

std::string OneLineJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

CheckedMessage CheckMessage(std::string_view body) {
    CheckedMessage checked;
    auto refuse = [&](std::string problem) {
        checked.ok = false;
        checked.problem = std::move(problem);
        return checked;
    };
    if (body.size() > kMaxMessageBytes)
        return refuse("the message exceeds " + std::to_string(kMaxMessageBytes) + " bytes");
    if (!IsUtf8(body))
        return refuse("the message is not UTF-8");
    Json::CharReaderBuilder builder;
    builder["allowComments"] = false;
    builder["stackLimit"] = 64;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(body.data(), body.data() + body.size(), &checked.message, &errors);
    } catch (const Json::Exception&) {
        // Too deeply nested: the reader throws instead of reporting.
    }
    if (!parsed)
        return refuse("the message is not JSON");
    if (!checked.message.isObject())
        return refuse("the message is not a JSON object");
    // The const form: a missing member must not be added by looking at it.
    const Json::Value& type = std::as_const(checked.message)["type"];
    if (!type.isString())
        return refuse(checked.message.isMember("type") ? "member \"type\" must be a string"
                                                       : "member \"type\" is missing");
    checked.type = type.asString().substr(0, 64);
    std::string problem;
    if (checked.type == "msgReq") {
        problem = CheckFeedback(checked.message);
        checked.answerType = "msgResp";
    } else if (checked.type == "userStatReq") {
        problem = CheckStart(checked.message);
        checked.answerType = "userStatResp";
    } else if (checked.type == "userActionReq") {
        problem = CheckAction(checked.message);
        checked.answerType = "userActionResp";
    } else {
        problem = "unknown message type \"" + checked.type + "\"";
    }
    // A lone "\udc00" escape decodes to bytes that are no UTF-8; the stored line
    // must stay readable.
    if (problem.empty() && !IsUtf8(OneLineJson(checked.message)))
        problem = "the message holds text that is not UTF-8";
    if (!problem.empty())
        return refuse(problem);
    checked.ok = true;
    return checked;
}

bool ReceivedStore::Append(const Json::Value& message, const std::string& time) {
    // Written by hand so that "time" comes first, as operators read it.
    const std::string line =
        "{\"time\":\"" + time + "\",\"message\":" + OneLineJson(message) + "}\n";
    std::lock_guard lock(mutex_);
    // A half line (or one not on disk) would spoil the file, and the client
    // is told that nothing was stored: the host takes it back.
    return host::AppendRecordDurably(WideFromUtf8(path_), line);
}

Answer ErrorAnswer(int status, const std::string& problem) {
    Answer answer;
    answer.status = status;
    answer.outcome = "refused";
    answer.problem = problem;
    Json::Value body(Json::objectValue);
    body["type"] = "error";
    body["msg"] = problem;
    answer.body = OneLineJson(body);
    return answer;
}

Answer TooLargeAnswer() {
    return ErrorAnswer(413, "the message exceeds " + std::to_string(kMaxMessageBytes) + " bytes");
}

Answer FeedbackDesk::Handle(std::string_view body) {
    if (body.size() > kMaxMessageBytes)
        return TooLargeAnswer();
    // A fault stands for a failing service: it answers whatever was posted.
    if (const std::string fault = fault_.Take(); !fault.empty()) {
        Answer answer;
        answer.outcome = "injected";
        answer.problem = fault;
        if (fault == "not-json") {
            answer.body = "{not json";
        } else {
            Json::Value error(Json::objectValue);
            error["type"] = "error";
            error["msg"] = "injected failure";
            answer.body = OneLineJson(error);
        }
        return answer;
    }
    CheckedMessage checked = CheckMessage(body);
    if (!checked.ok) {
        Answer answer = ErrorAnswer(400, checked.problem);
        answer.requestType = checked.type;
        return answer;
    }
    bool stored = false;
    try {
        stored = store_.Append(checked.message, certcenter::UtcTimeText(certcenter::NowSeconds()));
    } catch (const std::exception&) {
        // Out of memory for the line: not stored, said below.
    }
    if (!stored) {
        Answer failed = ErrorAnswer(500, "cannot store");
        failed.requestType = checked.type;
        failed.outcome = "failed";
        return failed;
    }
    Answer answer;
    answer.requestType = checked.type;
    Json::Value reply(Json::objectValue);
    reply["type"] = checked.answerType;
    if (checked.answerType == "msgResp")
        reply["msg"] = "thank you";
    answer.outcome = "stored";
    answer.body = OneLineJson(reply);
    return answer;
}

}  // namespace qm::services
