// The messages the program sends to its maker's web service (feedback and
// usage statistics): JSON objects posted over HTTPS, each answered by an
// object whose "type" names the expected answer.
#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

namespace qm {

#ifdef _WIN32
inline constexpr std::string_view kMakerPlatform = "windows";
#else
inline constexpr std::string_view kMakerPlatform = "linux";
#endif

struct MakerEndpoint {
    std::u16string url;
    std::u16string caFile;  // extra trust anchor (PEM); empty: the system's only
};

// Posts `message` (JsonCpp's styled form, UTF-8) and checks the answer's
// "type". Throws "communication failed" when nothing usable came back,
// "undefined" for an answer that is not JSON, and "type: <type>, message:
// <msg>" for an answer of another type.
void PostMakerMessage(const MakerEndpoint& endpoint, const Json::Value& message,
                      std::string_view expectedType);

// The same for statistics, which must never bother the operator: every
// failure is swallowed and reads as false.
bool PostStatisticsMessage(const MakerEndpoint& endpoint, const Json::Value& message,
                           std::string_view expectedType);

// The name and version the running executable carries (read once).
struct ProductIdentity {
    std::u16string name;
    std::u16string version;
};
ProductIdentity ExecutableProduct();

// Blanks, then CRs, then LFs, then tabs are cut from both ends, one pass
// each in that order.
std::u16string TrimFeedbackText(std::u16string_view text);

// What the operator reports; texts already trimmed.
struct FeedbackContent {
    std::string msgType;  // "bug", "advice" or "null"
    std::u16string description;
    std::u16string contact;  // empty when none was given
    std::string logExcerpt;  // run-log lines, in the log's encoding
};

// The "msgReq" object for `content`, with the executable's product name and
// version and the platform; every member a UTF-8 string.
Json::Value BuildFeedbackRequest(const FeedbackContent& content);

}  // namespace qm
