#include "foundation/operation.h"

namespace qm::detail {

void OperationFailed(std::string_view name, const std::exception& e, OperationOptions options) {
    if (options.logFailure)
        LogError("%s : %s", name, e.what());
    RethrowIfFailure(e);
}

void OperationLeaving(std::string_view name, OperationOptions options) {
    if (options.logLeave)
        LogTrace("%s leave", name);
}

void OperationUnknownFailure(std::string_view name, OperationOptions options) {
    if (options.logFailure)
        LogError("%s : %s", name, "undefined");
    ThrowResult(result::kUndefined);
}

}  // namespace qm::detail
