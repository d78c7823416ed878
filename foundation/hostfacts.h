// Facts about the host and the program: the operating system, the program's
// own paths, environment values and file versions.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Name of the running operating system (on Linux the distribution's pretty
// name). Also decides whether the program supports this system.
std::u16string GetOsName();
bool IsSupportedOs();
// The Windows releases the program runs on, by version number and product
// type: Server 2008 (6.0 on a server), 7 to 8.1 and Server 2008 R2 to 2012 R2
// (6.1 to 6.3), and 10, 11 and Server 2016 to 2025 (all 10.0). Vista (6.0 on
// a workstation) and anything older is refused.
bool IsSupportedWindowsRelease(unsigned major, unsigned minor, bool server);

// Full path of the program's executable.
std::u16string GetProgramPath();

// The folder that holds the program's Config/ and RunLog/, ending in a
// separator: the executable's folder, or QUILLMATE_HOME when that is set.
std::u16string GetProgramDirectory();

// A path in the system's temporary folder. With a name: that name there.
// Without: a fresh file with an unpredictable name, created empty and
// readable by its owner only, so no other caller can hold the same name.
std::u16string TempFilePath(std::u16string_view fileName = {});

// The variable's value from the process environment, else from the system's
// persistent environment (/etc/environment on POSIX). Throws the plain text
// "env variable is not exist" when neither has it, "undefined" when the
// system environment cannot be read.
std::u16string GetEnvironmentValue(std::u16string_view name);

// The same, empty when the variable is unset or cannot be read.
std::u16string EnvironmentValueOrEmpty(std::u16string_view name);

// The product version ("a.b.c.d") recorded in an executable; empty when the
// file carries none. Our own executables carry the project's version.
std::u16string GetFileVersion(std::u16string_view path);

// A named value ("ProductName", "ProductVersion", "FileDescription", ...) of
// the version record in an executable; empty when there is none.
std::u16string GetFileVersionString(std::u16string_view path, std::u16string_view valueName);

// The project version and product name built into this program.
std::u16string OwnProductVersion();
std::u16string OwnProductName();

// Compares dotted versions piece by piece as decimal integers: the
// difference of the first differing pieces; when one runs out first, -1 if
// the other still has a piece (so "1.0" < "1.0.0"). An empty text has no
// pieces: it sorts below any non-empty version and equals another empty one.
int CompareVersions(std::u16string_view a, std::u16string_view b);

// The renewal service's directory, which holds the state shared by every
// run (deployment settings, deployment records, locks), ending in a
// separator: VANTREL_HOME when set, else /var/lib/vantrel/ on POSIX
// (C:\ProgramData\Vantrel\ on Windows).
std::u16string GetServiceDirectory();

}  // namespace qm
