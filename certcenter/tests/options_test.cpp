#include "certcenter/options.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qm::certcenter {
namespace {

using Command = CommandLine::Command;

TEST(CommandLineTest, ServeTakesEveryOption) {
    const CommandLine line = ParseCommandLine({"serve",
                                               "--state",
                                               "/s",
                                               "--listen",
                                               "0.0.0.0:0",
                                               "--hostname",
                                               "center.example.test",
                                               "--hostname",
                                               "10.0.0.5",
                                               "--ready-file",
                                               "/r",
                                               "--validity-days",
                                               "30",
                                               "--max-names",
                                               "5",
                                               "--ca-key",
                                               "rsa",
                                               "--auto-approve-after",
                                               "2",
                                               "--fail-challenge",
                                               "highFrequency",
                                               "--fail-authorization",
                                               "unknown:once",
                                               "--fail-certificate",
                                               "rejected:3",
                                               "--fail-status",
                                               "publicKeyIllegal:always"});
    ASSERT_EQ(line.command, Command::Serve);
    const ServeOptions& s = line.serve;
    EXPECT_EQ(s.stateDir, "/s");
    EXPECT_EQ(s.listenHost, "0.0.0.0");
    EXPECT_EQ(s.listenPort, 0);
    EXPECT_EQ(s.hostnames, (std::vector<std::string>{"center.example.test", "10.0.0.5"}));
    EXPECT_EQ(s.readyFile, "/r");
    EXPECT_EQ(s.validitySeconds, 30L * 86400);
    EXPECT_EQ(s.maxNames, 5u);
    EXPECT_EQ(s.caKey, KeyKind::Rsa);
    EXPECT_EQ(s.autoApproveAfter, 2);
    EXPECT_TRUE(s.defer) << "auto-approval only makes sense for deferred requests";
    EXPECT_EQ(s.failChallenge.error, "highFrequency");
    EXPECT_EQ(s.failChallenge.count, -1);
    EXPECT_EQ(s.failAuthorization.error, "unknown");
    EXPECT_EQ(s.failAuthorization.count, 1);
    EXPECT_EQ(s.failCertificate.count, 3);
    EXPECT_EQ(s.failStatus.error, "publicKeyIllegal");
    EXPECT_EQ(s.failStatus.count, -1);
}

TEST(CommandLineTest, ServeIsTheDefaultCommandWithSaneDefaults) {
    const CommandLine line = ParseCommandLine({"--state", "dir", "--listen", "[::1]:9443"});
    ASSERT_EQ(line.command, Command::Serve);
    EXPECT_EQ(line.serve.listenHost, "::1");
    EXPECT_EQ(line.serve.listenPort, 9443);
    EXPECT_EQ(line.serve.validitySeconds, 90L * 86400);
    EXPECT_FALSE(line.serve.defer);
    EXPECT_EQ(line.serve.autoApproveAfter, -1);
    EXPECT_EQ(line.serve.caKey, KeyKind::Ec);
    EXPECT_FALSE(line.serve.failChallenge.active());
}

TEST(CommandLineTest, ValidityTakesAUnitAndCountsDaysWithout) {
    const std::vector<std::pair<std::string, long>> good = {
        {"120s", 120},          {"2m", 120},           {"1s", 1},
        {"36h", 36L * 3600},    {"90d", 90L * 86400},  {"7", 7L * 86400},
        {"825d", 825L * 86400}, {"825", 825L * 86400}, {"71280000s", 825L * 86400},
    };
    for (const auto& [text, seconds] : good) {
        const CommandLine line = ParseCommandLine({"--state", "s", "--validity", text});
        EXPECT_EQ(line.serve.validitySeconds, seconds) << text;
    }
    // --validity-days keeps counting days; the later option wins.
    EXPECT_EQ(ParseCommandLine({"--state", "s", "--validity-days", "3"}).serve.validitySeconds,
              3L * 86400);
    EXPECT_EQ(ParseCommandLine({"--state", "s", "--validity", "2m", "--validity-days", "1"})
                  .serve.validitySeconds,
              86400);
}

TEST(CommandLineTest, ValidityRefusesBadUnitsZeroAndTooLong) {
    for (const std::string text :
         {"10x", "10S", "10ms", "5 m", "m", "", "1.5d", "0", "0s", "0d", "-5m", "+5m", "826d",
          "826", "71280001s", "19801h", "99999999999999999999d", "9223372036854775807s"}) {
        EXPECT_THROW(ParseCommandLine({"--state", "s", "--validity", text}), UsageError) << text;
    }
    try {
        ParseCommandLine({"--state", "s", "--validity", "3w"});
        ADD_FAILURE() << "3w accepted";
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find("\"3w\""), std::string::npos) << e.what();
    }
}

TEST(CommandLineTest, ChecksAndLimitsAreStrictUnlessRelaxed) {
    const ServeOptions defaults = ParseCommandLine({"--state", "s"}).serve;
    EXPECT_FALSE(defaults.allowLocal);
    EXPECT_EQ(defaults.allowedPorts.Text(), "80, 443");
    EXPECT_EQ(defaults.fetchTimeoutMs, 10000);
    EXPECT_EQ(defaults.challengeLifetime, 3600);
    EXPECT_EQ(defaults.authorizationLifetime, 30L * 86400);
    EXPECT_GT(defaults.requestsPerAddress, 0);
    EXPECT_GT(defaults.requestsPerKey, 0);
    EXPECT_EQ(defaults.maxNames, 100u);

    const ServeOptions s = ParseCommandLine({"--state",
                                             "s",
                                             "--allow-local",
                                             "--allow-port",
                                             "8080",
                                             "--allow-port",
                                             "9000-9099",
                                             "--fetch-timeout",
                                             "2s",
                                             "--challenge-lifetime",
                                             "10m",
                                             "--authorization-lifetime",
                                             "7d",
                                             "--requests-per-address",
                                             "0",
                                             "--requests-per-key",
                                             "5",
                                             "--handshake-timeout",
                                             "500ms",
                                             "--request-timeout",
                                             "3",
                                             "--write-timeout",
                                             "1m",
                                             "--max-connections",
                                             "64",
                                             "--max-connections-per-address",
                                             "4"})
                               .serve;
    EXPECT_TRUE(s.allowLocal);
    EXPECT_EQ(s.allowedPorts.Text(), "80, 443, 8080, 9000-9099");
    EXPECT_TRUE(s.allowedPorts.Contains(9050));
    EXPECT_FALSE(s.allowedPorts.Contains(9100));
    EXPECT_FALSE(s.allowedPorts.Contains(8443));
    EXPECT_EQ(s.fetchTimeoutMs, 2000);
    EXPECT_EQ(s.challengeLifetime, 600);
    EXPECT_EQ(s.authorizationLifetime, 7L * 86400);
    EXPECT_EQ(s.requestsPerAddress, 0);
    EXPECT_EQ(s.requestsPerKey, 5);
    EXPECT_EQ(s.handshakeTimeoutMs, 500);
    EXPECT_EQ(s.requestTimeoutMs, 3000);
    EXPECT_EQ(s.writeTimeoutMs, 60000);
    EXPECT_EQ(s.maxConnections, 64u);
    EXPECT_EQ(s.maxConnectionsPerAddress, 4u);

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--allow-port", "0"},
                                                {"--allow-port", "70000"},
                                                {"--allow-port", "90-80"},
                                                {"--allow-port", "80-"},
                                                {"--fetch-timeout", "10ms"},
                                                {"--fetch-timeout", "1h"},
                                                {"--challenge-lifetime", "0"},
                                                {"--handshake-timeout", "x"},
                                                {"--authorization-lifetime", "900d"},
                                                {"--max-connections", "0"},
                                                {"--requests-per-key", "-1"}}) {
        std::vector<std::string> args = {"--state", "s"};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_THROW(ParseCommandLine(args), UsageError) << bad[0] << " " << bad[1];
    }
}

TEST(CommandLineTest, HelpDocumentsEveryOption) {
    const std::string help = kServeHelp;
    for (const char* option : {"--state",
                               "--listen",
                               "--hostname",
                               "--ready-file",
                               "--validity",
                               "--validity-days",
                               "--max-names",
                               "--ca-key",
                               "--defer",
                               "--auto-approve-after",
                               "--fail-challenge",
                               "--fail-authorization",
                               "--fail-certificate",
                               "--fail-status",
                               "--allow-local",
                               "--allow-port",
                               "--fetch-timeout",
                               "--challenge-lifetime",
                               "--authorization-lifetime",
                               "--requests-per-address",
                               "--requests-per-key",
                               "--handshake-timeout",
                               "--request-timeout",
                               "--write-timeout",
                               "--max-connections",
                               "--max-connections-per-address",
                               "--help"})
        EXPECT_NE(help.find(std::string("  ") + option + " "), std::string::npos) << option;
}

TEST(CommandLineTest, ApproveTakesTokenAndState) {
    const CommandLine line = ParseCommandLine({"approve", "0123abcd", "--state", "/s"});
    ASSERT_EQ(line.command, Command::Approve);
    EXPECT_EQ(line.approve.token, "0123abcd");
    EXPECT_EQ(line.approve.stateDir, "/s");
}

TEST(CommandLineTest, HelpForProgramAndEachCommand) {
    EXPECT_EQ(ParseCommandLine({"--help"}).helpText, kProgramHelp);
    EXPECT_EQ(ParseCommandLine({"serve", "--help"}).helpText, kServeHelp);
    EXPECT_EQ(ParseCommandLine({"--state", "x", "-h"}).helpText, kServeHelp);
    const CommandLine approve = ParseCommandLine({"approve", "--help"});
    EXPECT_EQ(approve.command, Command::Help);
    EXPECT_EQ(approve.helpText, kApproveHelp);
}

TEST(CommandLineTest, RefusesWhatItCannotRun) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                            // no state folder
        {"serve", "--state"},                          // option without value
        {"--state", "s", "--bogus"},                   // unknown option
        {"--state", "s", "--listen", "9443"},          // no host
        {"--state", "s", "--listen", "h:70000"},       // port out of range
        {"--state", "s", "--validity-days", "0"},      // too short
        {"--state", "s", "--validity-days", "12x"},    // not a number
        {"--state", "s", "--ca-key", "dsa"},           // unknown key kind
        {"--state", "s", "--fail-status", ":once"},    // no error code
        {"--state", "s", "--fail-status", "x:never"},  // bad count
        {"--state", "s", "--fail-status", "x:0"},      // zero failures
        {"approve", "--state", "s"},                   // no token
        {"approve", "t"},                              // no state
        {"approve", "t", "u", "--state", "s"},         // two tokens
        {"approve", "t", "--state", "s", "--defer"},   // serve option
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_THROW(ParseCommandLine(args), UsageError) << joined;
    }
}

TEST(FaultRuleTest, CountsDownToInactive) {
    FaultRule rule = ParseFaultRule("unknown:2");
    EXPECT_TRUE(rule.active());
    rule.count = 0;
    EXPECT_FALSE(rule.active());
    EXPECT_TRUE(ParseFaultRule("x").active());
    EXPECT_FALSE(FaultRule{}.active());
}

}  // namespace
}  // namespace qm::certcenter
