#include "certcenter/namepolicy.h"

namespace qm::certcenter {
namespace {

// Special-use suffixes: reserved for tests, documentation, local networks
// and private use; no registry delegates names under them.
constexpr const char* kReservedSuffixes[] = {"local",   "internal",  "test",      "example",
                                             "invalid", "localhost", "home.arpa", "onion"};

bool IsOrEndsWith(const std::string& name, const std::string& suffix) {
    return name == suffix || (name.size() > suffix.size() && name.ends_with(suffix) &&
                              name[name.size() - suffix.size() - 1] == '.');
}

}  // namespace

std::string RefusedNameReason(const std::string& name, bool allowLocal) {
    if (allowLocal)
        return {};
    if (IsOrEndsWith(name, "localhost"))
        return "\"" + name + "\" names the local machine";
    if (name.find('.') == std::string::npos)
        return "\"" + name + "\" is a single-label name";
    for (const char* suffix : kReservedSuffixes)
        if (IsOrEndsWith(name, suffix))
            return "\"" + name + "\" is under the reserved suffix ." + suffix;
    return {};
}

}  // namespace qm::certcenter
