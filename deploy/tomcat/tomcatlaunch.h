// How a running Tomcat was started and which version it is: catalina.base
// and catalina.home from the JVM's command line or environment, the
// version from the ServerInfo.properties inside catalina.jar.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// The catalina.base and catalina.home a JVM's command line names
// (-Dcatalina.base=..., -Dcatalina.home=...), else those of its environment
// (CATALINA_BASE, CATALINA_HOME). A missing base is the home.
struct TomcatFolders {
    std::u16string base;
    std::u16string home;
};
TomcatFolders TomcatFoldersOf(const std::vector<std::u16string>& arguments,
                              const std::vector<std::u16string>& environment);

// The value of NAME in "NAME=value" entries; empty when absent.
std::u16string EnvironmentValue(const std::vector<std::u16string>& environment,
                                std::u16string_view name);

// Whether a program's file name is a Java launcher ("java", "java.exe",
// any case).
bool IsJavaProgram(std::u16string_view fileName);

// The text after "=" of the first "server.number" line of a
// ServerInfo.properties text; empty when there is none.
std::u16string ServerNumberOf(std::string_view properties);

// The server.number of the ServerInfo.properties inside a catalina.jar;
// false when the archive or the entry cannot be read.
bool ReadCatalinaVersion(const std::u16string& jarPath, std::u16string& version);

}  // namespace qm
