// What a start of the desktop program does for the renewal service, against
// a stand-in systemctl first on PATH and a temporary unit folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "app/renewalservice.h"
#include "app/settingsfile.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/platform_skip.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

void MakeExecutable(const std::string& path, const std::string& text) {
    test::WritePlain(WideFromUtf8(path), text);
    chmod(path.c_str(), 0755);
}

TEST(InstallServiceComponent, RefreshesTheServiceFolderAndRegistersTheCopiedProgram) {
    QM_POSIX_ONLY("a stand-in systemctl and unit folder");
    test::TempDir root;
    const std::string r = root.narrow();
    for (const char* sub : {"bin", "units", "runtime", "service/RunLog", "service/Config"})
        fs::create_directories(r + sub);
    MakeExecutable(r + "bin/systemctl", "#!/bin/sh\necho \"$*\" >> '" + r +
                                            "calls.log'\n[ \"$1\" = show ] && printf "
                                            "'LoadState=loaded\\nActiveState=active\\n'\nexit 0\n");
    const std::optional<std::string> path =
        std::getenv("PATH") ? std::optional<std::string>(std::getenv("PATH")) : std::nullopt;
    setenv("PATH", (r + "bin:" + path.value_or("/usr/bin:/bin")).c_str(), 1);
    setenv("QUILLMATE_SYSTEMD_UNIT_DIR", (r + "units").c_str(), 1);
    setenv("QUILLMATE_SYSTEMD_RUNTIME", (r + "runtime").c_str(), 1);
    setenv("VANTREL_HOME", (r + "service").c_str(), 1);
    test::InstallConfigTemplates(test::ProgramHome());
    const std::string program = Utf8FromWide(test::ProgramHome());
    MakeExecutable(program + "vantrel", "#!/bin/sh\nexit 0\n");
    // What the service directory had: an old log, old copies, settings.
    test::WritePlain(WideFromUtf8(r + "service/RunLog/vantrel.log"), "old\n");
    test::WritePlain(WideFromUtf8(r + "service/Config/Trace.xml"), "old\n");
    test::WritePlain(WideFromUtf8(r + "service/Config/Vantrel.xml"), "<config>mine</config>\n");

    InstallServiceComponent();

    const std::string service = r + "service/";
    EXPECT_FALSE(fs::exists(service + "RunLog/vantrel.log"));
    EXPECT_EQ(test::ReadAll(WideFromUtf8(service + "Config/Trace.xml")),
              test::ReadAll(WideFromUtf8(program + "Config/Trace.xml")));
    EXPECT_TRUE(fs::exists(service + "Config/Backup/Backup.xml"));
    EXPECT_TRUE(fs::exists(service + "vantrel"));
    // The settings of a deployment stay.
    EXPECT_EQ(test::ReadAll(WideFromUtf8(service + "Config/Vantrel.xml")),
              "<config>mine</config>\n");
    const std::string unit = test::ReadAll(WideFromUtf8(r + "units/tarnix.service"));
    EXPECT_NE(unit.find("ExecStart=" + service + "vantrel run"), std::string::npos) << unit;
    const std::string calls = test::ReadAll(WideFromUtf8(r + "calls.log"));
    const size_t stop = calls.find("stop");
    const size_t enable = calls.find("enable tarnix.service");
    const size_t restart = calls.find("restart tarnix.service");
    EXPECT_NE(stop, std::string::npos) << calls;
    EXPECT_LT(stop, enable) << calls;
    EXPECT_LT(enable, restart) << calls;

    for (const char* name : {"QUILLMATE_SYSTEMD_UNIT_DIR", "QUILLMATE_SYSTEMD_RUNTIME"})
        unsetenv(name);
    if (path)
        setenv("PATH", path->c_str(), 1);
    test::RestoreServiceHome();
    fs::remove(program + "vantrel");
}

}  // namespace
}  // namespace qm
