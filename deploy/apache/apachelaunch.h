// How a running Apache parent was started, and what the executable says
// about itself: the options that choose its configuration, the paths
// compiled into it (-V), its compiled-in modules (-l), and the files its
// configuration is made of (-t -D DUMP_INCLUDES).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "deploy/apache/apacheconf.h"

namespace qm {

// The options of an Apache argument vector (program first), as Apache reads
// them: a value follows its option directly ("-dROOT") or as the next
// argument.
struct ApacheOptions {
    std::u16string serverRoot;            // -d
    std::u16string confFile;              // -f
    std::vector<std::u16string> defines;  // -D, in order
    // -C and -c (directives before and after the configuration), -E, in
    // order, each with its value.
    std::vector<std::pair<std::u16string, std::u16string>> others;
    bool hasServerRoot = false;
    bool hasConfFile = false;
};
ApacheOptions ParseApacheOptions(const std::vector<std::u16string>& arguments);

// The options for commands run against the same configuration (-t, -k):
// -d, -f, every -D, -C and -c, with `serverRoot` and `confFile` as given.
std::vector<std::u16string> ApacheConfigOptions(const ApacheOptions& options,
                                                const std::u16string& serverRoot,
                                                const std::u16string& confFile);

// HTTPD_ROOT and SERVER_CONFIG_FILE from `httpd -V`.
struct ApacheBuildPaths {
    bool known = false;
    std::u16string root;
    std::u16string confFile;  // maybe relative to the root
};
ApacheBuildPaths ParseApacheBuildPaths(std::string_view output);

// The modules listed after "Compiled in modules:" by `httpd -l`.
std::vector<std::u16string> ParseStaticModules(std::string_view output);

// The files listed by `httpd -t -D DUMP_INCLUDES`, each under the file and
// line of the Include that read it.
IncludeListing ParseIncludeListing(std::string_view output);

}  // namespace qm
