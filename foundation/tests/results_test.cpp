#include "foundation/results.h"

#include <gtest/gtest.h>

#include "foundation/operation.h"

namespace qm {
namespace {

void Innermost() {
    RunOperation("Test::Innermost", [] { ThrowResult(result::kPortNotListening); });
}
void Middle() {
    RunOperation("Test::Middle", [] { Innermost(); }, {.logFailure = true});
}
void Outer() {
    RunOperation("Test::Outer", [] { Middle(); });
}

TEST(Results, FailureThreeCallsDeepArrivesUnchanged) {
    try {
        Outer();
        FAIL() << "no failure arrived";
    } catch (const std::exception& e) {
        EXPECT_TRUE(IsFailure(e));
        EXPECT_EQ(ResultTextOf(e), result::kPortNotListening);
        EXPECT_TRUE(IsResult(e, result::kPortNotListening));
    }
}

TEST(Results, SucceedNeverEscapesAnOperation) {
    int after = 0;
    EXPECT_NO_THROW(RunOperation("Test::Early", [&] {
        ThrowSucceed();
        after = 1;  // not reached: "succeed" ends the body
    }));
    EXPECT_EQ(after, 0);
    EXPECT_NO_THROW(
        RunOperation("Test::Nested", [] { RunOperation("Test::Inner", [] { ThrowSucceed(); }); }));
    EXPECT_EQ(RunOperation("Test::Value", [] { return 42; }), 42);
    EXPECT_EQ(RunOperation("Test::EarlyValue", []() -> int { ThrowSucceed(); }), 0);
}

TEST(Results, PercentInAnArgumentIsCarriedLiterally) {
    try {
        ThrowResult(u"%s", u"100% done %s %d");
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e), u"100% done %s %d");
    }
}

TEST(Results, RethrowKeepsTextAndAbsorbsSucceed) {
    try {
        ThrowSucceed();
    } catch (const std::exception& e) {
        EXPECT_TRUE(IsSucceed(e));
        EXPECT_NO_THROW(RethrowIfFailure(e));
    }
    try {
        try {
            ThrowResult(u"error: %s, message: %s", u"x", u"y");
        } catch (const std::exception& e) {
            RethrowIfFailure(e);
        }
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e), u"error: x, message: y");
    }
}

TEST(Results, ForeignExceptionsBecomeFailures) {
    try {
        RunOperation("Test::Foreign", [] { throw 7; });
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e), result::kUndefined);
    }
}

TEST(Results, OverlongTextIsCutAt1023Units) {
    try {
        ThrowResult(u"%s", std::u16string(5000, u'x'));
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e).size(), kMaxResultLength);
    }
}

TEST(ResultDisplay, FirstMatchingRowInOrder) {
    EXPECT_EQ(ResultDisplayFor(result::kSucceed).messageKey, "succeed");
    EXPECT_EQ(ResultDisplayFor(result::kSucceed).followUpKey, "autoUpdateEnabled");
    EXPECT_EQ(ResultDisplayFor(result::kCommunicationFailed).messageKey, "commFailed");
    EXPECT_EQ(ResultDisplayFor(result::kInputSiteConflict).messageKey, "inputSiteConflict");
    EXPECT_EQ(ResultDisplayFor(result::kPortNotListening).messageKey, "webServiceNotRunning");
    EXPECT_EQ(ResultDisplayFor(result::kWebServiceNotRunning).messageKey, "webServiceNotRunning");
    EXPECT_EQ(ResultDisplayFor(result::kNoValidDomain).messageKey, "noValidDomain");
    EXPECT_EQ(ResultDisplayFor(result::kHighFrequency).messageKey, "highFrequency");
    // A refused certificate or status request is told apart in the result,
    // not in what the operator reads.
    EXPECT_EQ(ResultDisplayFor(result::kHighFrequencyCertificate).messageKey, "highFrequency");
    EXPECT_EQ(ResultDisplayFor(result::kTooManyDomains).messageKey, "tooManySites");
    EXPECT_EQ(ResultDisplayFor(result::kGetCertHashError).messageKey, "getCertHashErr");
    EXPECT_EQ(ResultDisplayFor(result::kInvalidSiteAddrInCert).messageKey, "invalidSiteAddrInCert");
    EXPECT_EQ(ResultDisplayFor(result::kNotSupportWildcard).messageKey, "notSupportWildcardDomain");
    for (auto other :
         {result::kUndefined, result::kFailed, result::kDeferCertState, result::kInvalidDomain,
          result::kConfigTestFailed, result::kConfigWriteFailed,
          std::u16string_view(u"error: x, message: y"), std::u16string_view(u"")}) {
        EXPECT_EQ(ResultDisplayFor(other).messageKey, "failedReport");
        EXPECT_TRUE(ResultDisplayFor(other).followUpKey.empty());
    }
    EXPECT_EQ(kResultDisplayMapping.back().messageKey, "failedReport");
}

}  // namespace
}  // namespace qm
