// The operation boundary every fallible operation follows: a Trace line with
// the operation's name on entry, the body, then "succeed"; the "succeed" is
// absorbed here so the caller simply continues, and failures pass on with
// their text unchanged.
#pragma once

#include <exception>
#include <string_view>
#include <type_traits>

#include "foundation/results.h"
#include "foundation/runlog.h"

namespace qm {

struct OperationOptions {
    bool logFailure = false;  // write "<name> : <result>" at Error for a failure
    bool logLeave = false;    // write "<name> leave" at Trace when leaving
};

namespace detail {
void OperationFailed(std::string_view name, const std::exception& e, OperationOptions options);
void OperationLeaving(std::string_view name, OperationOptions options);
[[noreturn]] void OperationUnknownFailure(std::string_view name, OperationOptions options);
}  // namespace detail

// Runs `body` as the operation `name` ("Class::Method"). A value returned by
// the body is returned; a "succeed" thrown early by the body ends it with a
// default value.
template <class F>
auto RunOperation(std::string_view name, F&& body, OperationOptions options = {})
    -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    LogTrace("%s", name);
    try {
        if constexpr (std::is_void_v<R>) {
            body();
            detail::OperationLeaving(name, options);
            return;
        } else {
            R value = body();
            detail::OperationLeaving(name, options);
            return value;
        }
    } catch (const std::exception& e) {
        detail::OperationLeaving(name, options);
        if (IsFailure(e))
            detail::OperationFailed(name, e, options);
    } catch (...) {
        detail::OperationUnknownFailure(name, options);
    }
    if constexpr (!std::is_void_v<R>)
        return R{};
}

}  // namespace qm
