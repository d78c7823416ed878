#include "foundation/lineends.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace qm {
namespace {

TEST(LineEnds, ConversionsLeaveExistingPairsAlone) {
    EXPECT_EQ(WithCrLf("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(WithCrLf("\n"), "\r\n");
    EXPECT_EQ(WithoutCrLf("a\r\nb\rc\r\n"), "a\nb\rc\n");
    EXPECT_EQ(WithoutCrLf(WithCrLf("x\ny")), "x\ny");
}

TEST(LineEnds, TextFilesReadWithLfWhateverWroteThem) {
    test::TempDir dir;
    test::WriteAll(dir / u"crlf.pem", "-----BEGIN X-----\r\nAAAA\r\n-----END X-----\r\n");
    EXPECT_EQ(ReadTextFileLf(dir / u"crlf.pem"), "-----BEGIN X-----\nAAAA\n-----END X-----\n");
    EXPECT_EQ(ReadTextFileLf(dir / u"missing.pem"), "");
#ifndef _WIN32
    EXPECT_EQ(HostTextBytes("a\nb"), "a\nb");
#endif
}

}  // namespace
}  // namespace qm
