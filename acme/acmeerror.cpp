#include "acme/acmeerror.h"

namespace qm::acme {

namespace {

std::string StringMember(const Json::Value& object, const char* name) {
    if (!object.isObject())
        return {};
    const Json::Value& value = object[name];
    return value.isString() ? value.asString() : std::string();
}

// "detail [type]" with the type shortened; what a person reads first.
std::string Describe(const std::string& type, const std::string& detail) {
    std::string text = detail.empty() ? std::string("no detail given") : detail;
    if (!type.empty())
        text += " [" + ShortProblemType(type) + "]";
    return text;
}

}  // namespace

std::string ShortProblemType(std::string_view type) {
    if (type.starts_with(kAcmeErrorPrefix))
        type.remove_prefix(kAcmeErrorPrefix.size());
    return std::string(type);
}

AcmeError::AcmeError(Cause cause, std::string message, std::string type, std::string detail,
                     std::vector<AcmeSubproblem> subproblems, int httpStatus)
    : std::runtime_error(std::move(message)),
      cause_(cause),
      type_(std::move(type)),
      detail_(std::move(detail)),
      subproblems_(std::move(subproblems)),
      httpStatus_(httpStatus) {}

AcmeError AcmeError::FromProblem(const Json::Value& problem, int httpStatus,
                                 std::string_view context) {
    std::string type = StringMember(problem, "type");
    std::string detail = StringMember(problem, "detail");
    std::vector<AcmeSubproblem> subproblems;
    if (problem.isObject() && problem["subproblems"].isArray()) {
        for (const Json::Value& sub : problem["subproblems"]) {
            AcmeSubproblem entry{
                StringMember(sub, "type"), StringMember(sub, "detail"),
                StringMember(sub.isObject() ? sub["identifier"] : Json::Value(), "value")};
            subproblems.push_back(std::move(entry));
        }
    }
    std::string message(context);
    if (!message.empty())
        message += ": ";
    if (type.empty() && detail.empty())
        message +=
            "the CA answered HTTP " + std::to_string(httpStatus) + " without a problem document";
    else
        message += Describe(type, detail);
    for (size_t i = 0; i < subproblems.size(); ++i) {
        message += i == 0 ? "; " : ", ";
        const AcmeSubproblem& sub = subproblems[i];
        message += (sub.identifier.empty() ? std::string() : sub.identifier + ": ") +
                   Describe(sub.type, sub.detail);
    }
    return AcmeError(Cause::Server, std::move(message), std::move(type), std::move(detail),
                     std::move(subproblems), httpStatus);
}

bool AcmeError::Is(std::string_view name) const {
    return type_.size() == kAcmeErrorPrefix.size() + name.size() &&
           type_.starts_with(kAcmeErrorPrefix) && type_.ends_with(name);
}

}  // namespace qm::acme
