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

}  // namespace
}  // namespace qm
