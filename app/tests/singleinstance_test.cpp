// One window per machine: the guard in the service directory.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <filesystem>

#include "app/singleinstance.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using Outcome = SingleInstance::Outcome;

TEST(SingleInstance, SecondStartFindsTheFirstUntilItEnds) {
    test::TempDir root;
    const std::u16string service = root.path() + u"service";  // created by the guard
    {
        SingleInstance first;
        ASSERT_EQ(first.Acquire(service), Outcome::First) << Utf8FromWide(first.Reason());
        SingleInstance second;
        EXPECT_EQ(second.Acquire(service), Outcome::AlreadyRunning);
        EXPECT_NE(Utf8FromWide(second.Reason()).find("quillmate window, process"),
                  std::string::npos);
    }
    SingleInstance again;
    EXPECT_EQ(again.Acquire(service), Outcome::First);
}

#ifndef _WIN32  // a forked holder
TEST(SingleInstance, AProcessKilledWithTheGuardLeavesItFree) {
    test::TempDir root;
    const std::u16string service = root.path();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstance held;
        const char byte = held.Acquire(service) == Outcome::First ? '1' : '0';
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, '1');
    SingleInstance meanwhile;
    EXPECT_EQ(meanwhile.Acquire(service), Outcome::AlreadyRunning);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    SingleInstance after;
    EXPECT_EQ(after.Acquire(service), Outcome::First);
}
#endif

TEST(SingleInstance, AnUnusableFolderIsReportedNotTakenForAnotherInstance) {
    test::TempDir root;
    // A folder where the lock file belongs cannot be opened as one.
    std::filesystem::create_directories(root.narrow() + "VantrelGui.lock");
    SingleInstance guard;
    EXPECT_EQ(guard.Acquire(root.path()), Outcome::Unchecked);
    EXPECT_FALSE(guard.Reason().empty());
}

}  // namespace
}  // namespace qm
