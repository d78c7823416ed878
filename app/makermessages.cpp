#include "app/makermessages.h"

#include <json/json.h>

#include <exception>

#include "enrollment/communicator.h"
#include "enrollment/jsonanswer.h"
#include "foundation/hostfacts.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// A member that is missing or not a string reads as empty.
std::string StringOrEmpty(const Json::Value& root, const char* name) {
    if (!root.isObject())
        return {};
    const Json::Value& member = root[name];
    return member.isString() ? member.asString() : std::string();
}

std::u16string TrimBoth(std::u16string_view text, char16_t c) {
    const size_t first = text.find_first_not_of(c);
    if (first == std::u16string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(c);
    return std::u16string(text.substr(first, last - first + 1));
}

}  // namespace

void PostMakerMessage(const MakerEndpoint& endpoint, const Json::Value& message,
                      std::string_view expectedType) {
    const std::string body = Json::StyledWriter().write(message);
    const std::string answer = CCommunicator(endpoint.url, endpoint.caFile).Post(body);
    Json::Value root;
    if (!ParseAnswer(answer, root))
        ThrowResult(result::kUndefined);
    const std::string type = StringOrEmpty(root, "type");
    if (type != expectedType) {
        ThrowResult(u"type: %s, message: %s", WideFromUtf8(type),
                    WideFromUtf8(StringOrEmpty(root, "msg")));
    }
}

bool PostStatisticsMessage(const MakerEndpoint& endpoint, const Json::Value& message,
                           std::string_view expectedType) {
    try {
        PostMakerMessage(endpoint, message, expectedType);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

ProductIdentity ExecutableProduct() {
    // Read once: the record sits somewhere in the whole executable, and the
    // running program stays what it is even when an update replaces the file.
    static const ProductIdentity product = [] {
        const std::u16string program = GetProgramPath();
        return ProductIdentity{GetFileVersionString(program, u"ProductName"),
                               GetFileVersion(program)};
    }();
    return product;
}

std::u16string TrimFeedbackText(std::u16string_view text) {
    std::u16string trimmed(text);
    for (char16_t c : {u' ', u'\r', u'\n', u'\t'})
        trimmed = TrimBoth(trimmed, c);
    return trimmed;
}

Json::Value BuildFeedbackRequest(const FeedbackContent& content) {
    const ProductIdentity product = ExecutableProduct();
    Json::Value request(Json::objectValue);
    request["type"] = "msgReq";
    request["product"] = Utf8FromWide(product.name);
    request["version"] = Utf8FromWide(product.version);
    request["loginfo"] = Utf8FromWide(WideFromNarrow(content.logExcerpt));
    request["msgType"] = content.msgType;
    request["contact"] = Utf8FromWide(content.contact);
    request["desc"] = Utf8FromWide(content.description);
    request["platform"] = std::string(kMakerPlatform);
    return request;
}

}  // namespace qm
