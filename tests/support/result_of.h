// What an action ends with, as the result text its exception carries.
#pragma once

#include <exception>
#include <string>

namespace qm::test {

// The failure text of `action`; empty when it returns normally.
template <class F>
std::string FailureOf(F&& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// The result of `action`: its failure text, or "succeed".
template <class F>
std::string ResultOf(F&& action) {
    const std::string failure = FailureOf(action);
    return failure.empty() ? "succeed" : failure;
}

}  // namespace qm::test
