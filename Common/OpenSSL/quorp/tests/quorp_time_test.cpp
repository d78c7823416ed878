#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "Common/OpenSSL/quorp/quorp.h"

namespace qm {
namespace {

int64_t Utc(std::string_view text, bool& error) {
    return quorp::AsnTimeToTime(text, false, error);
}
int64_t Generalized(std::string_view text, bool& error) {
    return quorp::AsnTimeToTime(text, true, error);
}

TEST(AsnTimeToTime, TwoDigitYearsPivotAtFifty) {
    bool error = true;
    EXPECT_EQ(Utc("491231235959Z", error), 2524607999);  // 2049-12-31 23:59:59
    EXPECT_FALSE(error);
    EXPECT_EQ(Utc("500101000000Z", error), -631152000);  // 1950-01-01
    EXPECT_FALSE(error);
    EXPECT_EQ(Utc("7001010000Z", error), 0);  // seconds are optional
    EXPECT_FALSE(error);
}

TEST(AsnTimeToTime, ZoneOffsetsAreSubtracted) {
    bool error = true;
    EXPECT_EQ(Utc("200101120000+0130", error), 1577874600);  // 10:30 UTC
    EXPECT_FALSE(error);
    EXPECT_EQ(Generalized("20200101000000-1200", error), 1577836800 + 12 * 3600);
    EXPECT_FALSE(error);
    EXPECT_EQ(Generalized("20200101103000.123Z", error), 1577874600);
    EXPECT_FALSE(error);
    EXPECT_EQ(Generalized("20200101103000,5+0000", error), 1577874600);
    EXPECT_FALSE(error);
}

TEST(AsnTimeToTime, ValidatesEveryField) {
    const char* bad[] = {
        "201301000000Z",      // month 13
        "200001000000Z",      // month 0
        "190229000000Z",      // February 29 in a common year
        "200431000000Z",      // April 31
        "200101240000Z",      // hour 24
        "200101006000Z",      // minute 60
        "200101000060Z",      // second 60
        "200101000000+1300",  // zone hours beyond 12
        "200101000000+0060",  // zone minutes beyond 59
        "200101000000",       // UTCTime needs a zone
        "200101000000Zx",     // trailing text
        "2001010000Q",        // foreign zone letter
        "20a101000000Z",      // letter in the date
        "2001",               // cut short
        "",                   // empty
    };
    for (const char* text : bad) {
        bool error = false;
        EXPECT_EQ(Utc(text, error), 0) << text;
        EXPECT_TRUE(error) << text;
    }
    bool error = false;
    EXPECT_EQ(Utc("200229000000Z", error), 1582934400);  // leap day exists in 2020
    EXPECT_FALSE(error);
    Generalized("20200101000000.Z", error);  // a fraction needs digits
    EXPECT_TRUE(error);
    Generalized("21000229000000Z", error);  // 2100 is not a leap year
    EXPECT_TRUE(error);
}

TEST(AsnTimeToTime, GeneralizedTimeWithoutZoneIsLocal) {
    const char* saved = std::getenv("TZ");
    const std::string savedTz = saved ? saved : "";
    setenv("TZ", "XST-3", 1);  // three hours east of UTC, no daylight saving
    tzset();
    bool error = true;
    const int64_t local = Generalized("20200101133000", error);
    if (saved)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_FALSE(error);
    EXPECT_EQ(local, 1577874600);
}

TEST(AsnTimeToTime, ReadsAsn1Objects) {
    ASN1_TIME* time = ASN1_TIME_new();
    ASSERT_TRUE(ASN1_TIME_set_string(time, "491231235959Z"));
    bool error = true;
    EXPECT_EQ(quorp::AsnTimeToTime(time, error), 2524607999);
    EXPECT_FALSE(error);
    ASSERT_TRUE(ASN1_TIME_set_string(time, "20491231235959Z"));
    EXPECT_EQ(quorp::AsnTimeToTime(time, error), 2524607999);
    EXPECT_FALSE(error);
    ASN1_TIME_free(time);
    EXPECT_EQ(quorp::AsnTimeToTime(nullptr, error), 0);
    EXPECT_TRUE(error);
}

}  // namespace
}  // namespace qm
