// main() of every test binary: the run gets its own program directory
// (QUILLMATE_HOME) and service directory (VANTREL_HOME), so logs, settings
// and records never land outside temporary folders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "foundation/host/host.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace {
std::u16string g_homePath;
std::string g_serviceHome;

void SetVariable(std::u16string_view name, const std::string& value) {
    qm::host::SetProcessEnvironmentValue(name, qm::WideFromUtf8(value));
}
}  // namespace

namespace qm::test {
const std::u16string& ProgramHome() {
    return g_homePath;
}

void RestoreServiceHome() {
    SetVariable(u"VANTREL_HOME", g_serviceHome);
}
}  // namespace qm::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<qm::test::TempDir> home;
    if (const char* chosen = std::getenv("QUILLMATE_HOME"); chosen && *chosen) {
        // The caller chose the folder (for example to keep the logs).
        g_homePath = qm::WideFromUtf8(chosen);
        qm::EnsureTrailingSeparator(g_homePath);
    } else {
        home = std::make_unique<qm::test::TempDir>();
        g_homePath = home->path();
        SetVariable(u"QUILLMATE_HOME", home->narrow());
    }
    // The service directory (deployment settings and records) too, unless
    // the caller chose one.
    std::unique_ptr<qm::test::TempDir> service;
    if (const char* chosen = std::getenv("VANTREL_HOME"); chosen && *chosen) {
        g_serviceHome = chosen;
    } else {
        service = std::make_unique<qm::test::TempDir>();
        g_serviceHome = service->narrow();
        SetVariable(u"VANTREL_HOME", g_serviceHome);
    }
    return RUN_ALL_TESTS();
}
