// Where a running Tomcat lives and which version it is.
#include <gtest/gtest.h>
#include <zip.h>

#include "deploy/tomcat/tomcatlaunch.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

TEST(TomcatLaunch, FoldersFromTheCommandLineElseTheEnvironment) {
    const std::vector<std::u16string> debian = {
        u"/usr/lib/jvm/java-17-openjdk-amd64/bin/java",
        u"-Djava.util.logging.config.file=/var/lib/tomcat10/conf/logging.properties",
        u"-Dcatalina.base=/var/lib/tomcat10",
        u"-Dcatalina.home=/usr/share/tomcat10",
        u"org.apache.catalina.startup.Bootstrap",
        u"start"};
    TomcatFolders f = TomcatFoldersOf(debian, {u"CATALINA_HOME=/elsewhere"});
    EXPECT_EQ(f.base, u"/var/lib/tomcat10");
    EXPECT_EQ(f.home, u"/usr/share/tomcat10");
    f = TomcatFoldersOf({u"java", u"Bootstrap"}, {u"PATH=/bin", u"CATALINA_HOME=/opt/tomcat"});
    EXPECT_EQ(f.home, u"/opt/tomcat");
    EXPECT_EQ(f.base, u"/opt/tomcat");  // no base: the home
    f = TomcatFoldersOf({u"java"}, {u"CATALINA_BASE=/srv/base", u"CATALINA_HOME=/opt/t"});
    EXPECT_EQ(f.base, u"/srv/base");
    EXPECT_TRUE(TomcatFoldersOf({u"java"}, {}).home.empty());
    EXPECT_EQ(EnvironmentValue({u"CATALINA_HOMEX=1", u"CATALINA_HOME=2"}, u"CATALINA_HOME"), u"2");
    EXPECT_TRUE(IsJavaProgram(u"java"));
    EXPECT_TRUE(IsJavaProgram(u"Java.EXE"));
    EXPECT_FALSE(IsJavaProgram(u"tomcat10.exe"));
}

TEST(TomcatLaunch, VersionFromCatalinaJar) {
    EXPECT_EQ(ServerNumberOf("server.info=Apache Tomcat/10.1.60\r\n  server.number=10.1.60.0\r\n"),
              u"10.1.60.0");
    EXPECT_EQ(ServerNumberOf("server.built=today\n"), u"");

    test::TempDir dir;
    const std::string jar = Utf8FromWide(dir / u"catalina.jar");
    zipFile zip = zipOpen64(jar.c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    const auto add = [&](const char* name, const std::string& text) {
        zip_fileinfo info{};
        ASSERT_EQ(zipOpenNewFileInZip64(zip, name, &info, nullptr, 0, nullptr, 0, nullptr,
                                        Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0),
                  ZIP_OK);
        ASSERT_EQ(zipWriteInFileInZip(zip, text.data(), static_cast<unsigned>(text.size())),
                  ZIP_OK);
        zipCloseFileInZip(zip);
    };
    add("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n");
    add("org/apache/catalina/util/", "");
    add("org/apache/catalina/util/ServerInfo.properties",
        "server.info=Apache Tomcat/9.0.1\nserver.number=9.0.1.0\nserver.built=x\n");
    zipClose(zip, nullptr);
    std::u16string version;
    ASSERT_TRUE(ReadCatalinaVersion(dir / u"catalina.jar", version));
    EXPECT_EQ(version, u"9.0.1.0");
    EXPECT_FALSE(ReadCatalinaVersion(dir / u"missing.jar", version));
    test::WriteAll(dir / u"broken.jar", "PK not really a zip");
    EXPECT_FALSE(ReadCatalinaVersion(dir / u"broken.jar", version));
}

}  // namespace
}  // namespace qm
