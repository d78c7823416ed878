// How a running nginx master was started: its original arguments and the
// options that decide which prefix, configuration file and pid file it uses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// An nginx master replaces its command line with the title
// "nginx: master process " followed by its original arguments joined by
// blanks. This gives the arguments back; any other command line is taken
// as it stands. Blanks inside an argument cannot be told from separators
// in the title: an option's value runs up to the next option, so values
// and the program path may hold blanks, but a value may not hold a blank
// followed by a dash.
std::vector<std::u16string> NginxArgumentsFromCommandLine(const std::vector<std::u16string>& shown);

// The options of an nginx argument vector (program first), read the way
// nginx reads them: flags may be combined ("-tq"), a value follows its
// option directly ("-p/srv/") or as the next argument.
struct NginxOptions {
    std::u16string prefix;    // -p, as given
    std::u16string confFile;  // -c
    std::u16string globals;   // -g
    std::u16string errorLog;  // -e
    bool hasPrefix = false;
    bool hasConfFile = false;
    bool hasGlobals = false;
    bool hasErrorLog = false;
};
NginxOptions ParseNginxOptions(const std::vector<std::u16string>& arguments);

// The options that select the configuration, pid file and error log, for
// commands run against the same installation (-s stop, -t): those the
// master was given, in the order -p, -c, -g, -e, with `absolutePrefix` in
// place of the -p value (a relative one would be read against another
// working directory).
std::vector<std::u16string> NginxConfigOptions(const NginxOptions& options,
                                               const std::u16string& absolutePrefix);

// The paths compiled into an nginx executable, from what `nginx -V` prints
// ("configure arguments: --prefix=/usr/share/nginx --conf-path=...").
// Without --prefix nginx uses /usr/local/nginx/; an empty --prefix= (the
// Windows builds) means the working directory; without --conf-path the
// configuration is conf/nginx.conf under the prefix.
struct NginxBuildPaths {
    bool known = false;       // a "configure arguments:" line was found
    std::u16string prefix;    // as compiled; empty: the working directory
    std::u16string confPath;  // as compiled, maybe relative to the prefix
};
NginxBuildPaths ParseNginxBuildPaths(std::string_view versionOutput);

// Whether an environment read back from a process is usable: a master
// overwrites its environment with its title, so what is read there may be
// torn text instead of NAME=value entries.
bool IsUsableEnvironment(const std::vector<std::u16string>& environment);

}  // namespace qm
