// How a running master was started: its title, its options, its environment.
#include <gtest/gtest.h>

#include "deploy/nginx/nginxlaunch.h"

namespace qm {
namespace {

using Args = std::vector<std::u16string>;

TEST(NginxLaunch, ArgumentsComeBackFromTheMasterTitle) {
    EXPECT_EQ(NginxArgumentsFromCommandLine(
                  {u"nginx: master process /srv/web/sbin/nginx -p /srv/web/ -c conf/nginx.conf"}),
              (Args{u"/srv/web/sbin/nginx", u"-p", u"/srv/web/", u"-c", u"conf/nginx.conf"}));
    // Blanks inside the program path and inside values; a -g value with
    // several directives; an attached value; combined flags.
    EXPECT_EQ(NginxArgumentsFromCommandLine({u"nginx: master process /opt/my web/nginx -p/opt/my "
                                             u"web/ -g daemon on; worker_processes 2; -q"}),
              (Args{u"/opt/my web/nginx", u"-p/opt/my web/", u"-g",
                    u"daemon on; worker_processes 2;", u"-q"}));
    EXPECT_EQ(NginxArgumentsFromCommandLine({u"nginx: master process ./nginx"}),
              (Args{u"./nginx"}));
    // A command line that is no title (a process without a master) stays.
    EXPECT_EQ(NginxArgumentsFromCommandLine({u"/usr/sbin/nginx", u"-g", u"daemon off;"}),
              (Args{u"/usr/sbin/nginx", u"-g", u"daemon off;"}));
    EXPECT_EQ(NginxArgumentsFromCommandLine({}), Args{});
}

TEST(NginxLaunch, OptionsAreReadAsNginxReadsThem) {
    NginxOptions o = ParseNginxOptions(
        {u"nginx", u"-p", u"./", u"-c/etc/x.conf", u"-qg", u"pid /run/x.pid;", u"-e", u"stderr"});
    EXPECT_TRUE(o.hasPrefix);
    EXPECT_EQ(o.prefix, u"./");
    EXPECT_EQ(o.confFile, u"/etc/x.conf");
    EXPECT_EQ(o.globals, u"pid /run/x.pid;");
    EXPECT_EQ(o.errorLog, u"stderr");
    // The prefix is given absolute to commands run from elsewhere.
    EXPECT_EQ(NginxConfigOptions(o, u"/srv/web/"),
              (Args{u"-p", u"/srv/web/", u"-c", u"/etc/x.conf", u"-g", u"pid /run/x.pid;", u"-e",
                    u"stderr"}));

    o = ParseNginxOptions({u"nginx", u"-s", u"reload", u"-t"});
    EXPECT_FALSE(o.hasPrefix || o.hasConfFile || o.hasGlobals || o.hasErrorLog);
    EXPECT_TRUE(NginxConfigOptions(o, u"/srv/").empty());
    // A value option at the end with nothing after it.
    o = ParseNginxOptions({u"nginx", u"-c"});
    EXPECT_TRUE(o.hasConfFile);
    EXPECT_EQ(o.confFile, u"");
}

TEST(NginxLaunch, OverwrittenEnvironmentIsNotUsed) {
    EXPECT_TRUE(IsUsableEnvironment({u"PATH=/usr/bin", u"TZ=UTC", u"EMPTY="}));
    EXPECT_FALSE(IsUsableEnvironment({}));
    EXPECT_FALSE(IsUsableEnvironment({u"1/ -c conf/nginx.conf"}));
    EXPECT_FALSE(IsUsableEnvironment({u"PATH=/usr/bin", u"=x"}));
    EXPECT_FALSE(IsUsableEnvironment({u"9LIVES=1"}));
}

TEST(NginxLaunch, CompiledPathsComeFromTheVersionOutput) {
    // Debian's: an absolute configuration outside the prefix, quoted
    // compiler options with blanks before the paths.
    const NginxBuildPaths debian = ParseNginxBuildPaths(
        "nginx version: nginx/1.22.1\n"
        "built with OpenSSL 3.0.11 19 Sep 2023\n"
        "TLS SNI support enabled\n"
        "configure arguments: --with-cc-opt='-g -O2 -ffile-prefix-map=/x=.' "
        "--prefix=/usr/share/nginx --conf-path=/etc/nginx/nginx.conf "
        "--http-log-path=/var/log/nginx/access.log --with-http_ssl_module\n");
    EXPECT_TRUE(debian.known);
    EXPECT_EQ(debian.prefix, u"/usr/share/nginx");
    EXPECT_EQ(debian.confPath, u"/etc/nginx/nginx.conf");

    // A build from source with the defaults: nothing said, nginx's own.
    const NginxBuildPaths plain =
        ParseNginxBuildPaths("nginx version: nginx/1.24.0\nconfigure arguments:\n");
    EXPECT_TRUE(plain.known);
    EXPECT_EQ(plain.prefix, u"/usr/local/nginx/");
    EXPECT_EQ(plain.confPath, u"conf/nginx.conf");

    // The Windows builds: an empty prefix (the working directory) and a
    // relative configuration.
    const NginxBuildPaths windows = ParseNginxBuildPaths(
        "nginx version: nginx/1.25.3\r\nconfigure arguments: --with-cc=cl --prefix= "
        "--conf-path=conf/nginx.conf --pid-path=logs/nginx.pid\r\n");
    EXPECT_TRUE(windows.known);
    EXPECT_EQ(windows.prefix, u"");
    EXPECT_EQ(windows.confPath, u"conf/nginx.conf");

    // Not an nginx answer at all.
    EXPECT_FALSE(ParseNginxBuildPaths("").known);
    EXPECT_FALSE(ParseNginxBuildPaths("sh: 1: nginx: not found\n").known);
}

}  // namespace
}  // namespace qm
