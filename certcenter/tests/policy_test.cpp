#include <gtest/gtest.h>

#include <string>

#include "certcenter/namepolicy.h"
#include "certcenter/ratelimit.h"

namespace qm::certcenter {
namespace {

TEST(NamePolicyTest, ReservedAndLocalNamesAreRefusedUnlessAllowed) {
    for (const char* refused :
         {"localhost", "a.localhost", "intranet", "printer.local", "x.y.internal", "shop.test",
          "www.example", "bad.invalid", "nas.home.arpa", "hidden.onion"}) {
        EXPECT_FALSE(RefusedNameReason(refused, false).empty()) << refused;
        EXPECT_TRUE(RefusedNameReason(refused, true).empty()) << refused;
    }
    for (const char* fine : {"example.com", "shop.example.com", "localhost.example.com",
                             "test.example.org", "local.example.net", "attest.com", "arpa.org"})
        EXPECT_TRUE(RefusedNameReason(fine, false).empty()) << fine;
    EXPECT_NE(RefusedNameReason("shop.test", false).find(".test"), std::string::npos);
}

TEST(RateLimiterTest, CountsPerKeyInFixedWindows) {
    RateLimiter limiter(2, 60);
    EXPECT_TRUE(limiter.Admit("a", 1000));
    EXPECT_TRUE(limiter.Admit("a", 1001));
    EXPECT_FALSE(limiter.Admit("a", 1059));
    EXPECT_TRUE(limiter.Admit("b", 1059));
    EXPECT_TRUE(limiter.Admit("a", 1060)) << "the window ended";
    EXPECT_TRUE(limiter.Admit("a", 500)) << "a clock set back starts a new window";

    RateLimiter unlimited(0);
    for (int i = 0; i < 1000; ++i)
        EXPECT_TRUE(unlimited.Admit("a", 1000));
}

TEST(RateLimiterTest, ManyKeysStayCountedAcrossPruning) {
    RateLimiter limiter(1, 60);
    EXPECT_TRUE(limiter.Admit("first", 0));
    for (int i = 0; i < 10000; ++i)
        limiter.Admit("key" + std::to_string(i), 30);
    EXPECT_FALSE(limiter.Admit("first", 59)) << "a window still open is never pruned";
    for (int i = 0; i < 10000; ++i)
        limiter.Admit("late" + std::to_string(i), 120);
    EXPECT_TRUE(limiter.Admit("first", 121));
}

}  // namespace
}  // namespace qm::certcenter
