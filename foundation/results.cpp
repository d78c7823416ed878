#include "foundation/results.h"

#include "foundation/textconv.h"

namespace qm {

namespace {
const std::string& SucceedNarrow() {
    static const std::string text = NarrowFromWide(result::kSucceed);
    return text;
}
}  // namespace

void ThrowResultText(std::u16string_view text) {
    if (text.size() > kMaxResultLength)
        text = text.substr(0, kMaxResultLength);
    throw ExceptionEx(NarrowFromWide(text));
}

void ThrowSucceed() {
    ThrowResultText(result::kSucceed);
}

bool IsSucceed(const std::exception& e) {
    return SucceedNarrow() == e.what();
}

bool IsFailure(const std::exception& e) {
    return !IsSucceed(e);
}

void RethrowIfFailure(const std::exception& e) {
    if (IsFailure(e))
        throw ExceptionEx(e.what());
}

std::u16string ResultTextOf(const std::exception& e) {
    return WideFromNarrow(e.what());
}

bool IsResult(const std::exception& e, std::u16string_view text) {
    return ResultTextOf(e) == text;
}

const ResultDisplayRow& ResultDisplayFor(std::u16string_view resultText) {
    for (const auto& row : kResultDisplayMapping) {
        if (row.resultText.empty() || row.resultText == resultText)
            return row;
    }
    return kResultDisplayMapping.back();
}

}  // namespace qm
