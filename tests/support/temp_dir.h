#pragma once

#include <string>
#include <string_view>

#include "foundation/paths.h"

namespace qm::test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::u16string& path() const { return path_; }  // ends in a separator
    // `name` may be written with "/": it is given the host's separators.
    std::u16string operator/(std::u16string_view name) const {
        return path_ + NativeSeparators(name);
    }
    std::string narrow() const;  // UTF-8 form for printing and for other tools

private:
    std::u16string path_;
};

// Whole-file helpers that fail the current test on error.
std::string ReadAll(const std::u16string& path);
void WriteAll(const std::u16string& path, const std::string& bytes);
// The same without the atomic, synced replace: for many throwaway files.
void WritePlain(const std::u16string& path, std::string_view bytes);

// Copies the shipped Config/ templates (resources/Config) into
// `programDir` + "Config/", replacing what is there.
void InstallConfigTemplates(const std::u16string& programDir);

// The program directory this test run uses (QUILLMATE_HOME), set up by the
// shared main() before any test runs.
const std::u16string& ProgramHome();

// Points VANTREL_HOME back at the service directory of this test run (a
// temporary folder, set up by the shared main()): a test that chose another
// one puts it back with this, never unsets it, so that no later test
// touches the machine's own /var/lib/vantrel.
void RestoreServiceHome();

}  // namespace qm::test
