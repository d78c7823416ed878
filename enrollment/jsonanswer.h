// Reading the certificate center's answers without trusting their shape: a
// member of the wrong type, a root that is not an object, or nesting deep
// enough to make the parser give up all read as absent.
#pragma once

#include <json/json.h>

#include <string>

namespace qm {

// False when the text is not JSON.
bool ParseAnswer(const std::string& text, Json::Value& root);

// The member as text (numbers and booleans in their JSON spelling); empty
// when it is missing, not a scalar, or the root is not an object.
std::string StringMember(const Json::Value& root, const char* name);

// The member when it is an array, else an empty array.
const Json::Value& ArrayMember(const Json::Value& root, const char* name);

// A scalar element as text, as StringMember.
std::string ScalarText(const Json::Value& value);

}  // namespace qm
