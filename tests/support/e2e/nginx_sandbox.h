// A portable nginx in a folder of its own, for end-to-end tests and demos.
//
// The sandbox lays out ROOT/sbin/nginx (a copy of the installed executable,
// or a symbolic link to it), ROOT/conf/nginx.conf, ROOT/html/, ROOT/logs/
// and the temporary folders nginx needs under ROOT/temp/, picks two free
// loopback ports, and runs nginx as its own daemon with
// `-p ROOT/ -c conf/nginx.conf`, exactly as an operator runs a portable
// installation. Everything nginx writes stays under ROOT.
//
//     QM_E2E_REQUIRE_NGINX();
//     qm::e2e::NginxSandbox nginx;
//     nginx.WriteConfig(
//         "server {\n"
//         "    listen 127.0.0.1:" + std::to_string(nginx.httpPort()) + ";\n"
//         "    server_name shop.example.test;\n"
//         "}\n");
//     nginx.Start();                      // waits until httpPort() accepts
//     auto page = qm::e2e::HttpGet(nginx.UrlFor("http", "shop.example.test",
//                                               nginx.httpPort(), "/"));
//     ...
//     // the destructor stops every nginx process of this sandbox
//
// Failures to lay out or start throw std::runtime_error carrying nginx's
// own messages.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm::test {
class TempDir;
}

namespace qm::e2e {

// The installed nginx executable (QUILLMATE_NGINX, else /usr/sbin/nginx,
// else "nginx" on the search path); empty when there is none.
std::string InstalledNginx();

// Skips the current test when nginx is not installed.
#define QM_E2E_REQUIRE_NGINX()                                                     \
    do {                                                                           \
        if (::qm::e2e::InstalledNginx().empty())                                   \
            GTEST_SKIP() << "nginx is not installed (Debian package nginx-light)"; \
    } while (0)

// A TCP port on 127.0.0.1 that nobody listens on right now.
int FreeLoopbackPort();

// Whether something accepts connections on 127.0.0.1:port.
bool PortAcceptsConnections(int port);
// Polls until the port accepts (true) or `timeoutMs` has passed (false).
bool WaitForPort(int port, int timeoutMs);
// Polls until the port refuses connections (true) or `timeoutMs` has passed.
bool WaitForPortClosed(int port, int timeoutMs);

// After an nginx was started: waits until every port accepts connections and
// `masterPid` names its master (the daemon binds its ports before it writes
// the pid file and takes its master title). Throws with the start's
// `output` and the error log otherwise.
void WaitForNginxToServe(const std::vector<int>& ports, int timeoutMs, const std::string& output,
                         const std::function<int()>& masterPid,
                         const std::function<std::string()>& errorLog);

// Writes a self-signed certificate (PEM) for the names, and its unencrypted
// key, with the openssl program. The first name is the subject; all of them
// are subject alternative names.
void MakeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath,
                               const std::vector<std::string>& names, int days = 1);

// One GET with libcurl. TLS peers are verified against `caFile` (required
// for https) unless `insecure`. Names resolve through the system resolver,
// so the private hosts file of run-with-hosts applies; with `connectTo`
// (an address such as "127.0.0.1" or "::1") every name connects there
// instead, on the URL's port (the URL's name still goes into SNI and Host).
//
//     HttpGet("https://shop.test/", HttpOptions().ConnectTo("::1").Insecure());
struct HttpOptions {
    std::string caFile;
    int timeoutMs = 5000;
    std::string connectTo;  // empty: resolve the URL's name
    bool insecure = false;  // https: accept whatever certificate is served

    HttpOptions& Ca(std::string file) {
        caFile = std::move(file);
        return *this;
    }
    HttpOptions& Timeout(int ms) {
        timeoutMs = ms;
        return *this;
    }
    HttpOptions& ConnectTo(std::string address) {
        connectTo = std::move(address);
        return *this;
    }
    HttpOptions& Insecure(bool yes = true) {
        insecure = yes;
        return *this;
    }
};
struct HttpResult {
    bool ok = false;  // a complete HTTP answer arrived
    long status = 0;  // its status code
    std::string body;
    std::string error;         // why it failed, when !ok
    std::string peerAddress;   // the address connected to, e.g. "::1"
    std::string peerAltNames;  // https: the server certificate's subjectAltName text
    std::string peerSubject;   // https: its subject
    std::string peerNotAfter;  // https: its expiry, as the TLS library prints it
    std::string peerCertPem;   // https: the server's own certificate, PEM
};
HttpResult HttpGet(const std::string& url, const HttpOptions& options);
// The same with `loopback` meaning connectTo = "127.0.0.1".
HttpResult HttpGet(const std::string& url, const std::string& caFile = {}, int timeoutMs = 5000,
                   bool loopback = false);
// The libcurl CURLOPT_CONNECT_TO entry that sends every host and port to
// `address` ("127.0.0.1", "::1" or "[::1]") on the URL's own port.
std::string ConnectToEntry(const std::string& address);

class NginxSandbox {
public:
    enum class Layout {
        SbinFolder,  // ROOT/sbin/nginx (the layout of a build from source)
        RootFolder,  // ROOT/nginx (executable beside conf/, as on Windows)
    };
    struct Options {
        std::string rootDir;  // empty: a fresh temporary folder, removed afterwards
        Layout layout = Layout::SbinFolder;
        bool copyExecutable = true;  // false: a symbolic link to the installed nginx
        int httpPort = 0;            // 0: a free loopback port
        int httpsPort = 0;
    };

    NginxSandbox();
    explicit NginxSandbox(Options options);
    // Stops every nginx process of this sandbox (unless Detach was called),
    // then removes a temporary root.
    ~NginxSandbox();
    NginxSandbox(const NginxSandbox&) = delete;
    NginxSandbox& operator=(const NginxSandbox&) = delete;

    const std::string& root() const { return root_; }  // ends in "/"
    std::u16string rootWide() const;
    std::string executable() const;  // ROOT/sbin/nginx or ROOT/nginx
    std::string confPath() const;    // ROOT/conf/nginx.conf
    std::string htmlDir() const;     // ROOT/html/
    std::string logsDir() const;     // ROOT/logs/
    int httpPort() const { return httpPort_; }
    int httpsPort() const { return httpsPort_; }
    // scheme + "://" + host + ":" + port + path
    static std::string UrlFor(const std::string& scheme, const std::string& host, int port,
                              const std::string& path);

    // The arguments nginx is started with: executable, -p ROOT/, -c conf/nginx.conf.
    std::vector<std::string> CommandLine() const;

    // Directives every sandbox configuration carries so that nginx keeps
    // its pid file, logs and temporary files under ROOT.
    std::string MainContext() const;  // main context, followed by an events block
    std::string HttpContext() const;  // the first lines inside http { }
    // Writes conf/nginx.conf: MainContext, then "http {", HttpContext, the
    // server blocks (indented as given), and the closing "}".
    void WriteConfig(const std::string& serverBlocks) const;
    void WriteConfigText(const std::string& text) const;
    std::string ReadConfigText() const;

    // Runs `nginx -t` on the configuration; `output` receives its messages.
    bool TestConfig(std::string* output = nullptr) const;

    // Starts nginx and waits until the ports (httpPort() when none are
    // given) accept connections. Throws with nginx's messages when it does
    // not come up within `timeoutMs`.
    void Start(const std::vector<int>& ports = {}, int timeoutMs = 10000);
    // Ends every nginx process of this sandbox: a graceful stop of the
    // master first, then a kill of what is left.
    void Stop();
    // Leaves nginx running when the object goes away (a demo).
    void Detach() { detached_ = true; }

    // The master process named by the pid file, 0 when it is not running.
    int MasterPid() const;
    bool Running() const { return MasterPid() != 0; }
    // Every living process of this sandbox: those running its executable
    // copy, and the master's children.
    std::vector<int> ProcessIds() const;

    std::string ErrorLog() const;

private:
    void LayOut(const Options& options);

    std::unique_ptr<test::TempDir> tempRoot_;
    std::string root_;
    std::string executable_;
    bool copied_ = true;
    int httpPort_ = 0;
    int httpsPort_ = 0;
    bool detached_ = false;
};

}  // namespace qm::e2e
