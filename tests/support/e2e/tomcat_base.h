// Apache Tomcat for end-to-end tests: a private CATALINA_BASE in a
// temporary folder, run with Debian's packaged CATALINA_HOME
// (/usr/share/tomcat10, package tomcat10) the way an operator runs a base
// of their own:
//
//     BASE/conf/server.xml            written by the test (TypicalServerXml)
//     BASE/conf/catalina.properties,  copies of those in /etc/tomcat10
//          context.xml, logging.properties, tomcat-users.xml, web.xml,
//          jaspic-providers.xml
//     BASE/logs/, BASE/temp/, BASE/work/
//     BASE/webapps/ROOT/index.html
//
// Started with `$CATALINA_HOME/bin/catalina.sh start` and a clean
// environment holding CATALINA_HOME, CATALINA_BASE, CATALINA_PID
// (BASE/temp/tomcat.pid), CATALINA_TMPDIR (BASE/temp) and JAVA_HOME (the
// runtime of the java on the search path), so the JVM runs as a daemon of
// its own, its output in BASE/logs/catalina.out. It runs on free loopback
// ports anywhere, and on ports 80 and 443 inside the private network
// namespace of run-with-hosts --private-network. Should the test process die
// without its destructors, a small guard process it leaves behind kills the
// JVMs of this base and removes the folder.
//
//     QM_E2E_REQUIRE_TOMCAT();
//     qm::e2e::TomcatBase tomcat;          // free loopback ports
//     qm::e2e::ServerXmlOptions xml;
//     xml.engineExtra = "<Host name=\"shop.example.test\" appBase=\"shopapps\"/>\n";
//     tomcat.WriteServerXml(xml);
//     tomcat.WriteFile("shopapps/ROOT/index.html", "shop\n");
//     tomcat.Start();                     // waits until httpPort() accepts
//     ...
//     // the destructor stops the JVM and removes BASE
//
// Failures throw std::runtime_error carrying the tail of Tomcat's log.
#pragma once

#include <string>
#include <vector>

namespace qm::e2e {

// Debian's packaged Tomcat: the installation (CATALINA_HOME) and the
// configuration the package installed (the conf/ of its own base).
constexpr const char* kTomcatHome = "/usr/share/tomcat10";
constexpr const char* kTomcatPackagedConf = "/etc/tomcat10";

// Why this machine cannot run Tomcat (no java on the search path, tomcat10
// not installed); empty when it can.
std::string TomcatUnavailableReason();

// Skips the current test when Tomcat or Java is not installed.
#define QM_E2E_REQUIRE_TOMCAT()                                          \
    do {                                                                 \
        const std::string whyNot = ::qm::e2e::TomcatUnavailableReason(); \
        if (!whyNot.empty())                                             \
            GTEST_SKIP() << whyNot;                                      \
    } while (0)

// The runtime folder of the java on the search path (`readlink -f $(which
// java)` without "/bin/java"); empty when there is none.
std::string JavaHome();

// What TypicalServerXml writes: the shipped server.xml (its comments, its
// listeners, the UserDatabase realm), one Service "Catalina" with an HTTP
// Connector, an Engine whose defaultHost is "localhost" and the Host
// localhost serving appBase "webapps".
struct ServerXmlOptions {
    int httpPort = 8080;
    int redirectPort = 8443;
    // The address attribute of the HTTP connector; empty: none (every address).
    std::string address;
    // The shipped comments (the licence, the connector examples, ...).
    bool comments = true;
    // Text inside <Host name="localhost">, after its access log valve
    // (e.g. "<Alias>www.example.test</Alias>"); lines as given, indented by
    // the caller.
    std::string localhostExtra;
    // Text inside <Service> after the HTTP connector: another connector,
    // e.g. an HTTPS one.
    std::string serviceExtra;
    // Text inside <Engine> after the localhost Host: more hosts.
    std::string engineExtra;
    // Text inside <Engine> before the localhost Host.
    std::string engineBefore;
    // Every line ending in CR LF, as an editor on Windows saves it.
    bool crlf = false;
};
std::string TypicalServerXml(const ServerXmlOptions& options);

class TomcatBase {
public:
    struct Options {
        int httpPort = 0;   // 0: a free loopback port
        int httpsPort = 0;  // 0: a free loopback port (for the caller's own HTTPS connector)
    };

    TomcatBase();
    // Lays out BASE, writes a TypicalServerXml on the ports (the connector
    // bound to 127.0.0.1 when the port was picked here); does not start Tomcat.
    explicit TomcatBase(Options options);
    // Stops every JVM of this base, then removes what this object laid out.
    virtual ~TomcatBase();
    TomcatBase(const TomcatBase&) = delete;
    TomcatBase& operator=(const TomcatBase&) = delete;

    static std::string Home() { return kTomcatHome; }  // CATALINA_HOME
    const std::string& base() const { return base_; }  // CATALINA_BASE, ends in "/"
    std::string baseDir() const;                       // the same without the last "/"
    std::string confDir() const;                       // BASE/conf/
    std::string serverXmlPath() const;                 // BASE/conf/server.xml
    const std::string& pidFile() const { return pidFile_; }
    const std::string& tmpDir() const { return tmpDir_; }  // CATALINA_TMPDIR, ends in "/"
    int httpPort() const { return httpPort_; }
    int httpsPort() const { return httpsPort_; }

    // Writes conf/server.xml: TypicalServerXml(options), its HTTP port and
    // redirect port those of this base when the options leave the defaults
    // (8080 and 8443), and bound to 127.0.0.1 as the constructor's file is.
    void WriteServerXml(ServerXmlOptions options) const;
    // The options the constructor wrote server.xml with; a test changes
    // what it needs and writes them again.
    ServerXmlOptions DefaultServerXml() const;
    void WriteServerXmlText(const std::string& text) const;
    std::string ReadServerXml() const;

    // Writes a file below BASE (folders are created), replacing it.
    void WriteFile(const std::string& relative, const std::string& text) const;
    // The file below BASE; empty when it cannot be read.
    std::string ReadFile(const std::string& relative) const;
    // Writes a file below BASE/webapps/, e.g. "ROOT/index.html".
    void WriteWebFile(const std::string& relative, const std::string& text) const;

    // "NAME=value" of everything catalina.sh runs with.
    std::vector<std::string> Environment() const;
    // Runs catalina.sh with the arguments (e.g. {"configtest"}) and that
    // environment to its end; returns its exit code, `output` receives its
    // messages.
    int RunCatalina(const std::vector<std::string>& args, std::string* output = nullptr,
                    int timeoutMs = 60000) const;

    // What Tomcat logs once every connector takes requests. It binds its
    // ports while it initializes, seconds earlier: a port that accepts
    // connections does not answer yet.
    static constexpr const char* kStartedMessage = "Server startup in";

    // `catalina.sh start`, then waits until the log says kStartedMessage
    // and every port (httpPort() when none are given) accepts connections
    // on 127.0.0.1. Throws with the script's messages and the tail of the
    // log when the JVM ends or that does not happen in time.
    void Start(const std::vector<int>& ports = {}, int timeoutMs = 60000);
    // Start() waiting for both httpPort() and httpsPort().
    void StartWithHttps(int timeoutMs = 60000) { Start({httpPort_, httpsPort_}, timeoutMs); }
    // `catalina.sh stop` (with the shutdown port disabled it signals the
    // JVM of the pid file), then SIGTERM to every JVM of this base that is
    // left, and SIGKILL after `graceMs`. Throws when a JVM does not end.
    void Stop(int graceMs = 15000);

    // The JVM of this base: the one the pid file names when it runs this
    // base, else the only one found; 0 when none runs.
    int JvmPid() const;
    bool Running() const { return JvmPid() != 0; }
    // Every living JVM whose command line names this base
    // (-Dcatalina.base=BASE), in this mount namespace where that matters.
    std::vector<int> JvmPids() const;

    std::string LogsDir() const;      // BASE/logs/
    std::string CatalinaOut() const;  // BASE/logs/catalina.out
    // The last `lines` lines of catalina.out.
    std::string LogTail(size_t lines = 60) const;

protected:
    // What a derived harness lays out itself (Debian's own base).
    struct Layout {
        std::string base;         // CATALINA_BASE, ends in "/"
        std::string pidFile;      // CATALINA_PID
        std::string tmpDir;       // CATALINA_TMPDIR, ends in "/"
        std::string removeAtEnd;  // a folder removed at the end (and by the guard)
        std::vector<std::string> extraEnvironment;  // "NAME=value"
        bool ownMountNamespace = false;             // JVMs counted in this mount namespace only
        int httpPort = 80;
        int httpsPort = 443;
    };
    struct AdoptLater {};
    // Lays out nothing: the derived harness calls Adopt once its folders are there.
    explicit TomcatBase(AdoptLater) {}
    void Adopt(const Layout& layout);
    // Starts the guard for what Adopt took: the JVMs of the base, the folder.
    void StartGuard();
    // Stops the JVMs, removes the folder, releases the guard.
    void TearDown() noexcept;

private:
    void LayOut(const Options& options);

    std::string base_;
    std::string pidFile_;
    std::string tmpDir_;
    std::string removeAtEnd_;
    std::vector<std::string> extraEnvironment_;
    std::string javaHome_;
    std::string javaExecutable_;  // canonical path, as /proc/PID/exe shows it
    bool ownMountNamespace_ = false;
    bool loopbackOnly_ = false;
    int httpPort_ = 0;
    int httpsPort_ = 0;
    int guardFd_ = -1;
};

// Writes a PKCS#12 key store (alias "tomcat") holding a self-signed
// certificate for the names and its key, with the openssl program; the
// first name is the subject, all are subject alternative names. Returns the
// certificate (PEM).
std::string MakeSelfSignedKeyStore(const std::string& path, const std::string& password,
                                   const std::vector<std::string>& names);

}  // namespace qm::e2e
