// Debian's packaged Tomcat on its own layout, for end-to-end tests of what
// an administrator has after `apt install tomcat10`: CATALINA_HOME
// /usr/share/tomcat10, CATALINA_BASE /var/lib/tomcat10 whose conf is a link
// to /etc/tomcat10, logs a link to /var/log/tomcat10, work a link to
// /var/cache/tomcat10, and webapps/ROOT the package's default page.
//
// It only works inside the private mount and network namespaces that
// run-with-hosts --private-network gives a test (quillmate_add_e2e_test with
// PRIVATE_NETWORK), as root. There it lays a copy of the installed
// /etc/tomcat10 over /etc/tomcat10, a copy of /var/lib/tomcat10 (its links
// kept as links, its webapps as installed) over /var/lib/tomcat10, and fresh
// temporary folders over /var/log/tomcat10 and /var/cache/tomcat10 with bind
// mounts that only this process (and the JVM it starts) sees; the machine's
// own files are never touched, files below the base (another host's
// appBase) stay private too, and the ports are those of the private
// loopback. Tomcat
// is started by `catalina.sh start` with the package's JAVA_OPTS, its pid
// file and CATALINA_TMPDIR in the private folder. Should the test process
// die without its destructors, a guard process it leaves behind kills the
// JVMs of this mount namespace and removes the private folder.
//
//     QM_E2E_REQUIRE_DISTRO_TOMCAT();
//     qm::e2e::DistroTomcat tomcat;       // the package's server.xml: port 8080
//     qm::e2e::ServerXmlOptions xml = tomcat.DefaultServerXml();  // port 80
//     tomcat.WriteServerXml(xml);
//     tomcat.Start();                     // waits until port 80 accepts
//     ...
//     // the destructor stops the JVM and removes the mounts
#pragma once

#include <memory>
#include <string>

#include "tests/support/e2e/tomcat_base.h"

namespace qm::e2e {

class PrivateMounts;

// Why this process may not run the packaged Tomcat on its own layout (not
// root, not inside the private namespaces of run-with-hosts
// --private-network, tomcat10 or java not installed); empty when it may.
std::string DistroTomcatUnavailableReason();

// Skips the current test, with the reason, when DistroTomcat cannot be used.
#define QM_E2E_REQUIRE_DISTRO_TOMCAT()                                         \
    do {                                                                       \
        const std::string whyNot = ::qm::e2e::DistroTomcatUnavailableReason(); \
        if (!whyNot.empty())                                                   \
            GTEST_SKIP() << whyNot;                                            \
    } while (0)

class DistroTomcat : public TomcatBase {
public:
    static constexpr const char* kBase = "/var/lib/tomcat10/";
    static constexpr const char* kConfigDir = "/etc/tomcat10/";
    static constexpr const char* kLogDir = "/var/log/tomcat10/";
    static constexpr const char* kWorkDir = "/var/cache/tomcat10/";
    static constexpr const char* kWebappsDir = "/var/lib/tomcat10/webapps/";
    // What the package's unit gives the JVM.
    static constexpr const char* kJavaOpts = "JAVA_OPTS=-Djava.awt.headless=true";

    // Checks DistroTomcatUnavailableReason (throws with it), then mounts
    // the private copies. Only one object may exist at a time in a process.
    // server.xml stays the package's (HTTP on 8080); DefaultServerXml()
    // describes one on ports 80 and 443.
    DistroTomcat();
    // Stops the JVMs of /var/lib/tomcat10 in this namespace, then removes
    // the mounts and the temporary folders behind them.
    ~DistroTomcat() override;

    // /etc/tomcat10/ + relative
    static std::string ConfigPath(const std::string& relative);

    // The temporary folder behind the mounts (ends in "/").
    const std::string& privateRoot() const;

private:
    void LayOut();
    void CheckMounted() const;
    void Release() noexcept;

    std::unique_ptr<PrivateMounts> mounts_;
};

}  // namespace qm::e2e
