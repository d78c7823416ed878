// How the parent was started and what the executable says about itself.
#include <gtest/gtest.h>

#include "deploy/apache/apachelaunch.h"

namespace qm {
namespace {

using Words = std::vector<std::u16string>;

TEST(ApacheLaunch, ReadsTheOptionsThatChooseTheConfiguration) {
    const ApacheOptions o = ParseApacheOptions(
        {u"/opt/apache/bin/httpd", u"-dROOT", u"-f", u"conf/other.conf", u"-D", u"SSL",
         u"-DFOREGROUND", u"-k", u"start", u"-C", u"ServerName x", u"-E", u"/tmp/startup.log"});
    EXPECT_TRUE(o.hasServerRoot);
    EXPECT_EQ(o.serverRoot, u"ROOT");
    EXPECT_EQ(o.confFile, u"conf/other.conf");
    EXPECT_EQ(o.defines, (Words{u"SSL", u"FOREGROUND"}));
    // -k is not an option of the configuration; -E names a log.
    EXPECT_EQ(ApacheConfigOptions(o, u"/opt/apache", u"/opt/apache/conf/other.conf"),
              (Words{u"-d", u"/opt/apache", u"-f", u"/opt/apache/conf/other.conf", u"-D", u"SSL",
                     u"-D", u"FOREGROUND", u"-C", u"ServerName x"}));
    const ApacheOptions plain = ParseApacheOptions({u"/usr/sbin/apache2", u"-k", u"start"});
    EXPECT_FALSE(plain.hasServerRoot);
    EXPECT_FALSE(plain.hasConfFile);
    EXPECT_TRUE(plain.defines.empty());
}

TEST(ApacheLaunch, CompiledPathsAndModules) {
    const ApacheBuildPaths paths = ParseApacheBuildPaths(
        "Server version: Apache/2.4.71 (Debian)\n"
        "Server compiled with....\n"
        " -D APR_HAS_SENDFILE\n"
        " -D HTTPD_ROOT=\"/etc/apache2\"\n"
        " -D DEFAULT_PIDLOG=\"/run/apache2.pid\"\n"
        " -D SERVER_CONFIG_FILE=\"apache2.conf\"\n");
    EXPECT_TRUE(paths.known);
    EXPECT_EQ(paths.root, u"/etc/apache2");
    EXPECT_EQ(paths.confFile, u"apache2.conf");
    EXPECT_FALSE(ParseApacheBuildPaths("nothing here\n").known);

    const Words modules =
        ParseStaticModules("Compiled in modules:\n  core.c\n  mod_so.c\n  http_core.c\n");
    EXPECT_EQ(modules, (Words{u"core.c", u"mod_so.c", u"http_core.c", u"core_module", u"so_module",
                              u"http_module"}));
}

TEST(ApacheLaunch, TheServersListOfIncludedFiles) {
    const IncludeListing listing = ParseIncludeListing(
        "Included configuration files:\n"
        "  (*) /etc/apache2/apache2.conf\n"
        "    (146) /etc/apache2/mods-enabled/access_compat.load\n"
        "    (146) /etc/apache2/mods-enabled/alias.load\n"
        "    (150) /etc/apache2/ports.conf\n"
        "      (3) /etc/apache2/ports-extra.conf\n"
        "    (225) /etc/apache2/sites-enabled/000-default.conf\n"
        "AH00558: apache2: Could not reliably determine the server's fully qualified name\n");
    ASSERT_TRUE(listing.known);
    using Key = std::pair<std::u16string, uint32_t>;
    EXPECT_EQ(listing.children.at(Key{u"/etc/apache2/apache2.conf", 146}),
              (Words{u"/etc/apache2/mods-enabled/access_compat.load",
                     u"/etc/apache2/mods-enabled/alias.load"}));
    EXPECT_EQ(listing.children.at(Key{u"/etc/apache2/ports.conf", 3}),
              (Words{u"/etc/apache2/ports-extra.conf"}));
    EXPECT_EQ(listing.children.at(Key{u"/etc/apache2/apache2.conf", 225}),
              (Words{u"/etc/apache2/sites-enabled/000-default.conf"}));
    EXPECT_FALSE(ParseIncludeListing("Syntax error on line 3\n").known);
}

}  // namespace
}  // namespace qm
