// Service registration against a stand-in systemctl (first on PATH) and a
// temporary unit folder: the stand-in logs every call, answers "show" from a
// file the test writes and fails the commands the test names.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/host/process_host.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm::host {
namespace {

namespace fs = std::filesystem;

// An environment variable as it was, put back when the test ends.
class SavedVariable {
public:
    explicit SavedVariable(const char* name) : name_(name) {
        if (const char* value = getenv(name))
            value_ = value;
    }
    ~SavedVariable() {
        if (value_)
            setenv(name_, value_->c_str(), 1);
        else
            unsetenv(name_);
    }
    SavedVariable(const SavedVariable&) = delete;
    SavedVariable& operator=(const SavedVariable&) = delete;
    const std::optional<std::string>& value() const { return value_; }

private:
    const char* name_;
    std::optional<std::string> value_;
};

void MakeExecutable(const std::string& path, const std::string& script) {
    test::WritePlain(WideFromUtf8(path), script);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0) << path;
}

class ServiceRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.narrow();
        for (const char* sub : {"bin", "units", "runtime", "control", "service", "my programs"})
            fs::create_directories(root_ + sub);
        unitDir_ = root_ + "units";
        unitFile_ = unitDir_ + "/tarnix.service";
        control_ = root_ + "control/";
        program_ = root_ + "bin/vantrel";
        MakeExecutable(root_ + "bin/systemctl",
                       "#!/bin/sh\n"
                       "line=\"$*\"\n"
                       "[ -f '" +
                           unitFile_ +
                           "' ] && line=\"$line +unit\"\n"
                           "echo \"$line\" >> '" +
                           control_ +
                           "calls.log'\n"
                           "if [ -f '" +
                           control_ +
                           "fail-'\"$1\" ]; then\n"
                           "  echo \"Failed to $1 unit: injected\" >&2\n"
                           "  exit 1\n"
                           "fi\n"
                           "if [ \"$1\" = show ]; then\n"
                           "  if [ -f '" +
                           control_ + "show' ]; then cat '" + control_ +
                           "show'\n"
                           "  else printf 'LoadState=not-found\\nActiveState=inactive\\n'; fi\n"
                           "fi\n"
                           "exit 0\n");
        MakeExecutable(program_, "#!/bin/sh\nexit 0\n");

        const std::string path = path_.value() ? *path_.value() : "/usr/bin:/bin";
        setenv("PATH", (root_ + "bin:" + path).c_str(), 1);
        setenv("QUILLMATE_SYSTEMD_UNIT_DIR", unitDir_.c_str(), 1);
        setenv("QUILLMATE_SYSTEMD_RUNTIME", (root_ + "runtime").c_str(), 1);
    }

    ServiceDefinition Tarnix() const {
        ServiceDefinition service;
        service.name = u"tarnix";
        service.description = u"Quillmate certificate renewal";
        service.program = WideFromUtf8(program_);
        service.arguments = {u"run"};
        service.workingDirectory = WideFromUtf8(root_ + "service");
        service.environment = {WideFromUtf8("VANTREL_HOME=" + root_ + "service"),
                               u"QUILLMATE_HOME=/opt/quillmate"};
        return service;
    }

    void Fail(const std::string& command) const {
        test::WritePlain(WideFromUtf8(control_ + "fail-" + command), "");
    }
    void Show(const std::string& answer) const {
        test::WritePlain(WideFromUtf8(control_ + "show"), answer);
    }

    std::vector<std::string> Calls() const {
        std::vector<std::string> calls;
        if (!fs::exists(control_ + "calls.log"))
            return calls;
        const std::string log = test::ReadAll(WideFromUtf8(control_ + "calls.log"));
        size_t at = 0;
        for (size_t end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
            calls.push_back(log.substr(at, end - at));
        return calls;
    }

    std::vector<std::string> UnitDirEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(unitDir_))
            names.push_back(entry.path().filename().string());
        return names;
    }

    std::string UnitText() const { return test::ReadAll(WideFromUtf8(unitFile_)); }

    // The text of the failure `action` raises; empty (and a test failure)
    // when it raises none.
    template <class F>
    static std::string FailureOf(F action) {
        try {
            action();
        } catch (const std::exception& e) {
            return Utf8FromWide(ResultTextOf(e));
        }
        ADD_FAILURE() << "no failure raised";
        return {};
    }

    SavedVariable path_{"PATH"};
    SavedVariable unitDirVariable_{"QUILLMATE_SYSTEMD_UNIT_DIR"};
    SavedVariable runtimeVariable_{"QUILLMATE_SYSTEMD_RUNTIME"};
    test::TempDir dir_;
    std::string root_, unitDir_, unitFile_, control_, program_;
};

const std::string kShowNotFound = "LoadState=not-found\nActiveState=inactive\n";
const std::string kShowRunning = "LoadState=loaded\nActiveState=active\n";

TEST_F(ServiceRegistrationTest, WritesTheUnitThenReloadsEnablesAndRestarts) {
    RegisterService(Tarnix());

    EXPECT_EQ(UnitText(),
              "[Unit]\n"
              "Description=Quillmate certificate renewal\n"
              "After=network-online.target\n"
              "Wants=network-online.target\n"
              "\n"
              "[Service]\n"
              "Type=simple\n"
              "ExecStart=" +
                  program_ +
                  " run\n"
                  "WorkingDirectory=" +
                  root_ +
                  "service\n"
                  "Environment=\"VANTREL_HOME=" +
                  root_ +
                  "service\"\n"
                  "Environment=\"QUILLMATE_HOME=/opt/quillmate\"\n"
                  "Restart=on-failure\n"
                  "RestartSec=30\n"
                  "\n"
                  "[Install]\n"
                  "WantedBy=multi-user.target\n");
    struct stat st {};
    ASSERT_EQ(stat(unitFile_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(UnitDirEntries(), std::vector<std::string>{"tarnix.service"})
        << "no temporary file left beside it";
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{"daemon-reload +unit", "enable tarnix.service +unit",
                                        "restart tarnix.service +unit"}));
}

TEST_F(ServiceRegistrationTest, ReRegistrationReplacesTheUnitAndRestarts) {
    RegisterService(Tarnix());
    ServiceDefinition changed = Tarnix();
    changed.arguments = {u"run", u"--verbose"};
    RegisterService(changed);
    EXPECT_NE(UnitText().find("ExecStart=" + program_ + " run --verbose\n"), std::string::npos)
        << UnitText();
    EXPECT_EQ(Calls().back(), "restart tarnix.service +unit");
    EXPECT_EQ(UnitDirEntries(), std::vector<std::string>{"tarnix.service"});
}

TEST_F(ServiceRegistrationTest, QuotesWordsAndValuesAsSystemdReadsThem) {
    ServiceDefinition service = Tarnix();
    const std::string program = root_ + "my programs/vantrel";
    MakeExecutable(program, "#!/bin/sh\nexit 0\n");
    service.program = WideFromUtf8(program);
    service.arguments = {u"run",   u"--config",   u"/srv/my dir/x.conf", u"100%",
                         u"$HOME", u"say \"hi\"", u"back\\slash",        u""};
    service.environment = {u"VANTREL_HOME=/var/lib/my vantrel", u"QM_NOTE=50% \"done\""};
    service.description = u"Renewal at 100%";
    RegisterService(service);

    const std::string text = UnitText();
    EXPECT_NE(text.find("ExecStart=\"" + program +
                        "\" run --config \"/srv/my dir/x.conf\" \"100%%\" \"$$HOME\" "
                        "\"say \\\"hi\\\"\" \"back\\\\slash\" \"\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Environment=\"VANTREL_HOME=/var/lib/my vantrel\"\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Environment=\"QM_NOTE=50%% \\\"done\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Description=Renewal at 100%%\n"), std::string::npos) << text;
}

TEST_F(ServiceRegistrationTest, FailingEnableLeavesNoUnitFile) {
    Fail("enable");
    const std::string failure = FailureOf([&] { RegisterService(Tarnix()); });
    EXPECT_NE(failure.find("systemctl enable tarnix.service failed (exit status 1: Failed to "
                           "enable unit: injected)"),
              std::string::npos)
        << failure;
    EXPECT_NE(failure.find("removed again"), std::string::npos) << failure;
    EXPECT_TRUE(UnitDirEntries().empty());
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{"daemon-reload +unit", "enable tarnix.service +unit",
                                        "disable tarnix.service +unit", "daemon-reload"}));
}

TEST_F(ServiceRegistrationTest, FailingRestartStopsDisablesAndRemoves) {
    Fail("restart");
    const std::string failure = FailureOf([&] { RegisterService(Tarnix()); });
    EXPECT_NE(failure.find("systemctl restart tarnix.service failed"), std::string::npos)
        << failure;
    EXPECT_TRUE(UnitDirEntries().empty());
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{"daemon-reload +unit", "enable tarnix.service +unit",
                                        "restart tarnix.service +unit", "stop tarnix.service +unit",
                                        "disable tarnix.service +unit", "daemon-reload"}));
}

TEST_F(ServiceRegistrationTest, FailedReRegistrationPutsThePreviousUnitBack) {
    const std::string previous = "[Service]\nExecStart=/old/vantrel run\n";
    test::WritePlain(WideFromUtf8(unitFile_), previous);
    Fail("restart");
    const std::string failure = FailureOf([&] { RegisterService(Tarnix()); });
    EXPECT_NE(failure.find("put back"), std::string::npos) << failure;
    EXPECT_EQ(UnitText(), previous);
    EXPECT_EQ(UnitDirEntries(), std::vector<std::string>{"tarnix.service"});
    EXPECT_EQ(Calls().back(), "daemon-reload +unit");
}

TEST_F(ServiceRegistrationTest, WithoutSystemdNothingIsWritten) {
    setenv("QUILLMATE_SYSTEMD_RUNTIME", (root_ + "no-such-folder").c_str(), 1);
    const std::string failure = FailureOf([&] { RegisterService(Tarnix()); });
    EXPECT_NE(failure.find("cannot be installed: systemd is not running"), std::string::npos)
        << failure;
    EXPECT_TRUE(UnitDirEntries().empty());
    EXPECT_TRUE(Calls().empty());

    // Nothing can be installed there, so nothing is: neither removal nor a
    // query asks anything.
    EXPECT_NO_THROW(UnregisterService(u"tarnix"));
    const ServiceState state = QueryServiceState(u"tarnix");
    EXPECT_FALSE(state.installed);
    EXPECT_FALSE(state.running);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(ServiceRegistrationTest, RefusesDefinitionsItCannotWrite) {
    auto refused = [&](ServiceDefinition service, const std::string& why) {
        const std::string failure = FailureOf([&] { RegisterService(service); });
        EXPECT_NE(failure.find(why), std::string::npos) << failure;
    };
    ServiceDefinition service = Tarnix();
    service.name = u"../tarnix";
    refused(service, "not a valid service name");
    service = Tarnix();
    service.program = u"vantrel";
    refused(service, "absolute path");
    service = Tarnix();
    service.program = WideFromUtf8(root_ + "bin/missing");
    refused(service, "not an executable file");
    service = Tarnix();
    service.environment = {u"VANTREL_HOME"};
    refused(service, "NAME=value");
    service = Tarnix();
    service.environment = {u"1X=y"};
    refused(service, "NAME=value");
    service = Tarnix();
    service.description = u"two\nlines";
    refused(service, "one line");
    service = Tarnix();
    service.workingDirectory = WideFromUtf8(root_ + "nowhere");
    refused(service, "is not a folder");
    EXPECT_TRUE(UnitDirEntries().empty());
    EXPECT_TRUE(Calls().empty());
}

TEST_F(ServiceRegistrationTest, LeavesAMaskedUnitAlone) {
    ASSERT_EQ(symlink("/dev/null", unitFile_.c_str()), 0);
    const std::string failure = FailureOf([&] { RegisterService(Tarnix()); });
    EXPECT_NE(failure.find("not a plain file"), std::string::npos) << failure;
    EXPECT_TRUE(fs::is_symlink(unitFile_));
    EXPECT_TRUE(Calls().empty());
}

TEST_F(ServiceRegistrationTest, UnregisterStopsDisablesRemovesAndReloads) {
    RegisterService(Tarnix());
    fs::remove(control_ + "calls.log");
    Show(kShowRunning);
    UnregisterService(u"tarnix");
    EXPECT_TRUE(UnitDirEntries().empty());
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{
                  "show --no-pager --property=LoadState --property=ActiveState "
                  "tarnix.service +unit",
                  "stop tarnix.service +unit", "disable tarnix.service +unit", "daemon-reload"}));
}

TEST_F(ServiceRegistrationTest, UnregisterOfAnAbsentServiceDoesNothing) {
    Show(kShowNotFound);
    EXPECT_NO_THROW(UnregisterService(u"tarnix"));
    EXPECT_EQ(Calls(), (std::vector<std::string>{
                           "show --no-pager --property=LoadState --property=ActiveState "
                           "tarnix.service"}));
}

TEST_F(ServiceRegistrationTest, UnregisterReportsAFailingStep) {
    RegisterService(Tarnix());
    Show(kShowRunning);
    Fail("disable");
    const std::string failure = FailureOf([&] { UnregisterService(u"tarnix"); });
    EXPECT_NE(failure.find("cannot be removed: systemctl disable tarnix.service failed"),
              std::string::npos)
        << failure;
}

TEST_F(ServiceRegistrationTest, QueryReadsLoadAndActiveState) {
    struct Case {
        std::string show;
        bool installed, running;
    };
    for (const Case& c : std::vector<Case>{
             {kShowRunning, true, true},
             {"LoadState=loaded\nActiveState=inactive\n", true, false},
             {"LoadState=loaded\nActiveState=failed\n", true, false},
             {"ActiveState=reloading\nLoadState=loaded\n", true, true},
             {kShowNotFound, false, false},
             {"LoadState=masked\nActiveState=inactive\n", false, false},
         }) {
        Show(c.show);
        const ServiceState state = QueryServiceState(u"tarnix");
        EXPECT_EQ(state.installed, c.installed) << c.show;
        EXPECT_EQ(state.running, c.running) << c.show;
    }
    EXPECT_EQ(Calls().front(),
              "show --no-pager --property=LoadState --property=ActiveState tarnix.service");

    Fail("show");
    const std::string failure = FailureOf([&] { QueryServiceState(u"tarnix"); });
    EXPECT_NE(failure.find("cannot be read: systemctl show"), std::string::npos) << failure;
}

}  // namespace
}  // namespace qm::host
