// The stand-in IIS for end-to-end tests of the IIS deployer: an IIS home
// folder in a temporary folder, laid out as the deployer finds it on Linux,
// and the quillmate-standin-iis program that really serves HTTP and HTTPS
// from it.
//
//   HOME/applicationHost.config              sites and their bindings (IIS's schema)
//   HOME/sslbindings.xml                     HTTP.sys TLS bindings (ipport / hostnameport)
//   HOME/Certificates/MY/THUMBPRINT.pem      certificate, chain, then private key
//   HOME/w3svc.pid                           the running server's pid
//
// The server takes changes of these files within about 200 ms without a
// restart (new listeners included); Restart() is SIGHUP, which re-reads
// everything and recreates every listener.
//
//     QM_E2E_REQUIRE_PRIVATE_HOSTS();
//     qm::e2e::StandinIis iis;
//     const std::string root = iis.MakeFolder("shop");
//     qm::e2e::WriteTextFile(root + "index.html", "<h1>shop</h1>\n");
//     iis.WriteSites({{"Shop", 1, "Started", root,
//                      {{"http", "*:80:shop.example.test"},
//                       {"https", "*:443:shop.example.test", 1}}}});
//     const std::string thumbprint = iis.AddSelfSigned({"shop.example.test"});
//     iis.WriteSslBindings({{"shop.example.test:443", true, thumbprint}});
//     iis.Start();   // waits until it listens; throws with its output otherwise
//     auto page = qm::e2e::HttpGet("https://shop.example.test/",
//                                  qm::e2e::HttpOptions().Insecure());
//     EXPECT_EQ(qm::e2e::CertificateThumbprint(page.peerCertPem), thumbprint);
//     // the destructor stops the server and removes the folder
//
// Ports 80 and 443 need the private network of quillmate_add_e2e_test
// ... PRIVATE_NETWORK (as root).
#pragma once

#include <string>
#include <vector>

#include "tests/support/e2e/server_process.h"

namespace qm::e2e {

class StandinIis {
public:
    struct SiteBinding {
        std::string protocol{};            // "http", "https"
        std::string bindingInformation{};  // "IP:PORT:HOST", e.g. "*:443:shop.example.test"
        int sslFlags = -1;                 // -1: no sslFlags attribute
    };
    struct Site {
        std::string name{};
        int id = 1;
        std::string state = "Started";  // empty: no state attribute
        std::string physicalPath{};
        std::vector<SiteBinding> bindings{};
    };
    struct TlsBinding {
        std::string endpoint{};  // "0.0.0.0:443", "[::]:443" or "shop.example.test:443"
        bool hostName = false;   // endpoint is hostnameport (SNI), not ipport
        std::string certHash{};  // thumbprint, 40 upper-case hexadecimal digits
        std::string appId{};     // empty: IIS's own application id
        std::string store = "MY";
    };

    // Creates the home folder with an empty Certificates/MY/.
    StandinIis();
    // Stops the server (a failure when it did not end cleanly) and removes
    // the folder.
    ~StandinIis();
    StandinIis(const StandinIis&) = delete;
    StandinIis& operator=(const StandinIis&) = delete;

    const std::string& Home() const { return home_; }                // ends in "/"
    std::string ApplicationHostConfig() const;                       // HOME/applicationHost.config
    std::string SslBindingsFile() const;                             // HOME/sslbindings.xml
    std::string StoreFolder(const std::string& store = "MY") const;  // ends in "/"
    std::string PidFile() const;                                     // HOME/w3svc.pid
    // A new folder NAME/ beside the home folder (document roots, scratch
    // files); removed with it.
    std::string MakeFolder(const std::string& name) const;

    // The applicationHost.config text of these sites, with the sections
    // around them that IIS writes.
    static std::string ApplicationHostXml(const std::vector<Site>& sites);
    void WriteSites(const std::vector<Site>& sites) const;
    void WriteApplicationHostConfig(const std::string& text) const;
    // Writes sslbindings.xml with these bindings.
    void WriteSslBindings(const std::vector<TlsBinding>& bindings) const;

    // Writes certificate, chain and key into the store; returns the
    // certificate's thumbprint (the file is THUMBPRINT.pem).
    std::string AddToStore(const std::string& certPem, const std::string& keyPem,
                           const std::string& chainPem = "", const std::string& store = "MY") const;
    // A fresh self-signed certificate for the names, added to the store;
    // returns its thumbprint, `certPem` (when given) receives it.
    std::string AddSelfSigned(const std::vector<std::string>& names,
                              std::string* certPem = nullptr) const;

    // Starts quillmate-standin-iis HOME and waits until it listens on every
    // port of the started sites (it writes w3svc.pid then), and `ports`
    // accept on 127.0.0.1. Throws with its output when it exits, cannot
    // listen somewhere, or is not ready within `timeoutMs`.
    void Start(const std::vector<int>& ports = {}, int timeoutMs = 20000);
    // SIGHUP, then waits until it has recreated its listeners; throws with
    // its output otherwise.
    void Restart(int timeoutMs = 20000);
    // SIGTERM (SIGKILL after ten seconds); returns the exit code, 0 for a
    // clean stop, 0 too when it was not running.
    int Stop();
    // Sends a signal to the running server.
    void Signal(int signal) const;

    int Pid() const { return pid_ > 0 ? pid_ : 0; }
    bool Running() const;
    // How many times it has read the files so far; WaitForLoad waits until
    // that exceeds `after` (a change was taken or refused).
    int Loads() const;
    bool WaitForLoad(int after, int timeoutMs = 10000) const;
    std::string Output() const;  // what it wrote to stderr so far

private:
    GuardedFolder folder_;
    std::string home_;
    int pid_ = -1;
};

// The thumbprint (SHA-1 of the DER form, 40 upper-case hexadecimal digits)
// of the first certificate in a PEM text; empty when it holds none.
std::string CertificateThumbprint(const std::string& certPem);

// The path of the quillmate-standin-iis program this build made.
std::string StandinIisProgram();

}  // namespace qm::e2e
