#include "enrollment/jsonanswer.h"

#include <exception>

namespace qm {

bool ParseAnswer(const std::string& text, Json::Value& root) {
    Json::Reader reader;
    try {
        // The reader throws (rather than failing) on pathological nesting.
        return reader.parse(text, root, false);
    } catch (const std::exception&) {
        root = Json::Value();
        return false;
    }
}

std::string ScalarText(const Json::Value& value) {
    if (value.isNull() || !value.isConvertibleTo(Json::stringValue))
        return {};
    return value.asString();
}

std::string StringMember(const Json::Value& root, const char* name) {
    if (!root.isObject())
        return {};
    const Json::Value* member = root.find(name, name + std::char_traits<char>::length(name));
    return member == nullptr ? std::string() : ScalarText(*member);
}

const Json::Value& ArrayMember(const Json::Value& root, const char* name) {
    static const Json::Value empty(Json::arrayValue);
    if (!root.isObject())
        return empty;
    const Json::Value* member = root.find(name, name + std::char_traits<char>::length(name));
    return member != nullptr && member->isArray() ? *member : empty;
}

}  // namespace qm
