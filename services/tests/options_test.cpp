#include "services/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/result_of.h"

namespace qm::services {
namespace {

using Command = CommandLine::Command;
using test::FailureOf;

std::string UsageFailure(const std::vector<std::string>& args) {
    try {
        ParseCommandLine(args);
    } catch (const UsageError& e) {
        return e.what();
    }
    return {};
}

TEST(ServicesCommandLineTest, ServeTakesEveryOption) {
    const CommandLine line = ParseCommandLine(
        {"serve", "--state", "/s", "--release", "/r", "--listen", "0.0.0.0", "--port", "0",
         "--hostname", "update.example.test", "--hostname", "10.0.0.5", "--ready-file", "/ready",
         "--fault-download", "truncated:2", "--fault-feedback", "not-json"});
    ASSERT_EQ(line.command, Command::Serve);
    const ServeOptions& s = line.serve;
    EXPECT_EQ(s.stateDir, "/s");
    EXPECT_EQ(s.releaseDir, "/r");
    EXPECT_EQ(s.listenHost, "0.0.0.0");
    EXPECT_EQ(s.listenPort, 0);
    EXPECT_EQ(s.hostnames, (std::vector<std::string>{"update.example.test", "10.0.0.5"}));
    EXPECT_EQ(s.readyFile, "/ready");
    EXPECT_EQ(s.downloadFault.kind, "truncated");
    EXPECT_EQ(s.downloadFault.count, 2);
    EXPECT_EQ(s.feedbackFault.kind, "not-json");
    EXPECT_EQ(s.feedbackFault.count, -1);
}

TEST(ServicesCommandLineTest, ServeIsTheDefaultWithLoopbackDefaults) {
    const CommandLine line = ParseCommandLine({"--state", "/s"});
    ASSERT_EQ(line.command, Command::Serve);
    EXPECT_EQ(line.serve.listenHost, "127.0.0.1");
    EXPECT_EQ(line.serve.listenPort, 9443);
    EXPECT_EQ(line.serve.releaseDir, "");
    EXPECT_FALSE(line.serve.downloadFault.active());
    EXPECT_FALSE(line.serve.feedbackFault.active());
    EXPECT_EQ(ParseCommandLine({"--listen", "[::1]", "--state", "/s"}).serve.listenHost, "::1");
}

TEST(ServicesCommandLineTest, ServeNeedsItsStateFolder) {
    EXPECT_EQ(UsageFailure({}), "serve needs --state DIR");
    EXPECT_EQ(UsageFailure({"serve", "--release", "/r"}), "serve needs --state DIR");
    EXPECT_EQ(UsageFailure({"serve", "--state"}), "--state needs a value");
}

TEST(ServicesCommandLineTest, RefusesWhatItDoesNotKnow) {
    EXPECT_EQ(UsageFailure({"deploy"}), "unknown command \"deploy\" (see --help)");
    EXPECT_EQ(UsageFailure({"--state", "/s", "--verbose"}),
              "unknown option \"--verbose\" (see --help)");
    EXPECT_EQ(UsageFailure({"--state", "/s", "--port", "65536"}),
              "--port needs a whole number from 0 to 65535, not \"65536\"");
    EXPECT_EQ(UsageFailure({"--state", "/s", "--port", "80x"}),
              "--port needs a whole number from 0 to 65535, not \"80x\"");
    EXPECT_EQ(UsageFailure({"publish", "--from", "/f", "--state", "/s"}),
              "publish: unknown option \"--state\" (see --help)");
}

TEST(ServicesCommandLineTest, FaultRulesNameAKnownKindAndACount) {
    const std::vector<std::string> kinds = {"slow", "truncated", "wrong-content"};
    EXPECT_EQ(ParseFaultRule("--fault-download", "slow", kinds).count, -1);
    EXPECT_EQ(ParseFaultRule("--fault-download", "wrong-content:1", kinds).count, 1);
    EXPECT_EQ(ParseFaultRule("--fault-download", "wrong-content:1", kinds).kind, "wrong-content");
    EXPECT_EQ(FailureOf([&] { ParseFaultRule("--fault-download", "fast", kinds); }),
              "--fault-download needs KIND or KIND:N with KIND one of slow, truncated, "
              "wrong-content, not \"fast\"");
    EXPECT_NE(FailureOf([&] { ParseFaultRule("--fault-download", ":1", kinds); }), "");
    EXPECT_EQ(FailureOf([&] { ParseFaultRule("--fault-download", "slow:0", kinds); }),
              "--fault-download KIND:N needs a whole number from 1 to 1000000, not \"0\"");
    EXPECT_NE(FailureOf([&] { ParseFaultRule("--fault-download", "slow:", kinds); }), "");
    EXPECT_NE(FailureOf([&] { ParseFaultRule("--fault-download", "slow:once", kinds); }), "");
    // "@FILE" spoils one release file only.
    const FaultRule archiveOnly =
        ParseFaultRule("--fault-download", "truncated:2@Quillmate.zip", kinds);
    EXPECT_EQ(archiveOnly.kind, "truncated");
    EXPECT_EQ(archiveOnly.count, 2);
    EXPECT_EQ(archiveOnly.file, "Quillmate.zip");
    EXPECT_NE(FailureOf([&] { ParseFaultRule("--fault-download", "slow@", kinds); }), "");
    FaultSwitch spoil(archiveOnly);
    EXPECT_EQ(spoil.Take("Quillmate.update.xml.txt"), "");
    EXPECT_EQ(spoil.Take("Quillmate.zip"), "truncated");
    // A feedback kind is no download kind and the other way round.
    EXPECT_NE(UsageFailure({"--state", "/s", "--fault-download", "error"}), "");
    EXPECT_NE(UsageFailure({"--state", "/s", "--fault-feedback", "slow"}), "");
    EXPECT_EQ(ParseCommandLine({"--state", "/s", "--fault-feedback", "error:3"})
                  .serve.feedbackFault.count,
              3);
}

TEST(ServicesCommandLineTest, FaultSwitchCountsDown) {
    FaultSwitch twice(FaultRule{"error", 2, ""});
    EXPECT_EQ(twice.Take(), "error");
    EXPECT_EQ(twice.Take(), "error");
    EXPECT_EQ(twice.Take(), "");
    FaultSwitch always(FaultRule{"slow", -1, ""});
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(always.Take(), "slow");
    FaultSwitch none;
    EXPECT_EQ(none.Take(), "");
}

TEST(ServicesCommandLineTest, PublishTakesItsOptionsAndDefaultsTheDescriptions) {
    CommandLine line =
        ParseCommandLine({"publish", "--from", "/opt/quillmate", "--to", "/srv/release",
                          "--version", "1.2.3.4", "--desp-en", "Faster", "--desp-cn", "更快"});
    ASSERT_EQ(line.command, Command::Publish);
    EXPECT_EQ(line.publish.fromDir, "/opt/quillmate");
    EXPECT_EQ(line.publish.toDir, "/srv/release");
    EXPECT_EQ(line.publish.version, "1.2.3.4");
    EXPECT_EQ(line.publish.despEn, "Faster");
    EXPECT_EQ(line.publish.despCn, "更快");

    line = ParseCommandLine({"publish", "--from", "/f", "--to", "/t", "--version", "2"});
    EXPECT_EQ(line.publish.despEn, "Quillmate 2");
    EXPECT_EQ(line.publish.despCn, "Quillmate 2");
    // Given but empty stays empty.
    line = ParseCommandLine(
        {"publish", "--from", "/f", "--to", "/t", "--version", "2", "--desp-cn", ""});
    EXPECT_EQ(line.publish.despCn, "");
}

TEST(ServicesCommandLineTest, PublishNeedsTreeReleaseAndAVersion) {
    EXPECT_EQ(UsageFailure({"publish", "--to", "/t", "--version", "1"}),
              "publish needs --from DIR");
    EXPECT_EQ(UsageFailure({"publish", "--from", "/f", "--version", "1"}),
              "publish needs --to DIR");
    EXPECT_EQ(UsageFailure({"publish", "--from", "/f", "--to", "/t"}),
              "publish needs --version A.B.C.D");
}

TEST(ServicesCommandLineTest, VersionsAreOneToFourNumbers) {
    for (const char* good : {"1", "1.2", "1.2.3", "1.2.3.4", "0.10.0.0", "123456789.0"})
        EXPECT_TRUE(IsVersionText(good)) << good;
    for (const char* bad : {"", "1.2.3.4.5", "1..2", ".1", "1.", "v1.2", "1.2-beta", "1,2", " 1.2",
                            "1234567890", "-1", "+1"})
        EXPECT_FALSE(IsVersionText(bad)) << bad;
    EXPECT_EQ(UsageFailure({"publish", "--from", "/f", "--to", "/t", "--version", "1.2.3.4.5"}),
              "--version needs 1 to 4 numbers separated by dots, not \"1.2.3.4.5\"");
}

TEST(ServicesCommandLineTest, DescriptionsMustBeUtf8Text) {
    EXPECT_EQ(UsageFailure({"publish", "--desp-en", "caf\xe9"}), "--desp-en is not valid UTF-8");
    EXPECT_EQ(UsageFailure({"publish", "--desp-cn", "a\x01"}),
              "--desp-cn holds a control character");
    EXPECT_EQ(ParseCommandLine({"publish", "--from", "/f", "--to", "/t", "--version", "1",
                                "--desp-en", "line one\nline two\ttabbed"})
                  .publish.despEn,
              "line one\nline two\ttabbed");
}

TEST(ServicesCommandLineTest, HelpForTheProgramAndEachCommand) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"help"}}) {
        const CommandLine line = ParseCommandLine(args);
        EXPECT_EQ(line.command, Command::Help);
        EXPECT_EQ(line.helpText, kProgramHelp);
    }
    EXPECT_EQ(ParseCommandLine({"serve", "--help"}).helpText, kServeHelp);
    EXPECT_EQ(ParseCommandLine({"--state", "/s", "--help"}).helpText, kServeHelp);
    EXPECT_EQ(ParseCommandLine({"publish", "--help"}).helpText, kPublishHelp);
    // Help wins over what is missing or wrong after it.
    EXPECT_EQ(ParseCommandLine({"publish", "--version", "1", "-h"}).command, Command::Help);
}

}  // namespace
}  // namespace qm::services
