// SslCertSrvTomcat: the Tomcat deployer. It finds the Java virtual machine
// listening on the ports and the installation it runs (catalina.base and
// catalina.home from its own command line, else CATALINA_BASE/CATALINA_HOME
// from its environment; the folder above bin/ for Tomcat's own
// executable), reads the hosts and aliases of Server.xml through the XML
// store, writes one PKCS#12 key store with a password of its own, adds or
// updates the HTTPS connector in the form the running version accepts,
// adds typed domains as hosts or aliases, and restarts Tomcat the way it
// was started (systemctl inside a systemd unit, catalina.sh with the JVM's
// environment, else the recorded launch).
//
// Files: sslcertsrvtomcat_sites.cpp (installation, version, hosts, the
// HTTPS connector), sslcertsrvtomcat_config.cpp (key store, connector and
// host edits), sslcertsrvtomcat_service.cpp (stop, start, waiting for the
// ports, what a record keeps), tomcatlaunch.cpp (the JVM's command line and
// environment, the version in catalina.jar).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/sslcertsrvbase.h"
#include "deploy/tomcat/tomcatlaunch.h"
#include "foundation/processmanager.h"
#include "foundation/xmldocument.h"

namespace qm {

class SslCertSrvTomcat : public SslCertSrvBase {
public:
    SslCertSrvTomcat();
    ~SslCertSrvTomcat() override;

    // ---- Discovery ----
    void GetWebServiceInfo() override;
    void GetSitesInfo(std::vector<std::u16string>& siteAddrs) override;
    // webVersion and the form of the TLS settings, from catalina.jar.
    void GetTomcatVersion();
    // The HTTPS connector on the HTTPS port: the document position stays on it.
    bool HasHttpsConnector();
    void CollectKeystoreFiles();

    // ---- Certificate and configuration ----
    void GetCertificate() override;
    void MakeUniqueCertName() override;
    void ConfigCert() override;
    bool AcceptsUserDomains() override;
    std::u16string CertificateDirectory() const override;
    void ConfigureConnector();
    void AddInputSites();
    void AddAlias(const std::u16string& hostName, const std::u16string& alias);
    void AddNewNode(const std::u16string& templateName, const std::u16string& newName);

    // ---- Backup, applying ----
    void BackupWeb() override;
    // Stops Tomcat, starts it again, and waits (bounded) until it listens
    // on both ports; a Tomcat that does not serve HTTPS again fails with
    // the lines of its log that say why.
    void ApplyConfig() override;
    void StopWebService() override;
    void StartWebService() override;
    std::u16string ServerKind() const override { return u"tomcat"; }
    std::u16string ConfigurationIdentity() const override { return serverXmlPath_; }

    // TLS protocols written for every Tomcat: TLS 1.2 and 1.3 only.
    static constexpr std::u16string_view kSslHostConfigProtocols = u"TLSv1.2+TLSv1.3";
    static constexpr std::u16string_view kConnectorProtocols = u"TLSv1.2,TLSv1.3";
    // How long Tomcat may take to listen again after a start, and how long
    // the HTTPS port may lag behind the HTTP port.
    static constexpr int kStartWaitMs = 90000;
    static constexpr int kHttpsLagMs = 8000;
    static constexpr int kCommandWaitMs = 30000;

    const std::u16string& serverXmlPath() const { return serverXmlPath_; }
    const std::u16string& catalinaBase() const { return catalinaBase_; }
    const std::u16string& catalinaHome() const { return catalinaHome_; }
    const std::u16string& pfxFilePath() const { return pfxFilePath_; }
    const std::u16string& defaultHost() const { return defaultHost_; }
    const std::u16string& protocolsAttrName() const { return protocolsAttrName_; }
    bool sslHostConfigForm() const { return sslHostConfigForm_; }
    const XmlDocument& serverXml() const { return serverXml_; }

protected:
    // ---- Transactions ----
    void DescribeServer(ServerRecord& server) const override;
    void AdoptServer(const ServerRecord& server) override;
    void ApplyRestoredConfig() override;
    std::vector<WireTarget> WireTargets() const override;
    // A renewal rewrites the key store with the password Server.xml gives
    // it (or the PEM files of a connector that names them).
    std::vector<RenewedFile> RenewedFiles(const DeploymentRecord& deployment) const override;
    // The password Server.xml gives the key store at `path`; empty when no
    // connector names it.
    std::u16string KeystorePasswordFor(const std::u16string& path) const;

    // An installation read without a running server (tests): the base (its
    // conf/ holds Server.xml) and the home (its lib/ holds catalina.jar).
    void UseInstallation(const std::u16string& catalinaBase, const std::u16string& catalinaHome);
    // Server.xml of the base, looked up case-insensitively, and loaded.
    void LoadServerXml();
    // Go to Server / Service (/ Engine); "undefined" when one is missing.
    void GoToService();
    void GoToEngine();
    // The folder a Host's appBase names: absolute as it stands, relative
    // against catalina.base.
    std::u16string AppBaseDir(const std::u16string& appBase) const;
    // The text Server.xml is written in again: the file's own line ends.
    void SaveServerXml();
    // Restart steps: stop and start (or the unit's restart), then wait
    // until a new JVM listens on every port Server.xml names.
    void Restart();
    bool WaitForPorts(ProcessId oldPid, int timeoutMs);
    bool WaitForStartup(ProcessId jvm, std::chrono::steady_clock::time_point until) const;
    bool ShutdownPortOpen();
    std::vector<int32_t> PortsToServe() const;
    void RememberLogSizes();
    std::string LogLinesSinceStart() const;
    std::u16string CatalinaScript() const;
    std::vector<std::u16string> ScriptEnvironment() const;

    // Splicing Server.xml in its own line ends and indentation.
    std::u16string LineEnd() const;
    std::u16string IndentBefore(size_t pos) const;
    void SpliceServerXml(size_t pos, size_t length, const std::u16string& text);
    std::u16string ChildIndent();
    void AppendChild(const std::u16string& element);
    std::u16string NewConnector(const std::u16string& indent) const;
    bool FindHost(const std::u16string& name);
    bool UsesPemFiles();

    std::u16string pfxFilePath_;
    bool launchedByScripts_ = true;
    std::u16string defaultHost_;
    std::u16string serverXmlPath_;
    XmlDocument serverXml_;
    std::vector<std::u16string> keystoreFiles_;
    std::u16string protocolsAttrName_ = u"sslProtocols";
    // Tomcat 8.5 and later: TLS settings in SSLHostConfig/Certificate.
    bool sslHostConfigForm_ = true;
    std::u16string catalinaBase_;
    std::u16string catalinaHome_;
    // How the JVM was started, its systemd unit, the scripts' environment.
    ProcessLaunch launch_;
    std::u16string serviceUnit_;
    bool crlfFile_ = false;
    // The PEM files of a connector that names its certificate so.
    std::u16string pemCertPath_;
    std::u16string pemKeyPath_;
    // Sizes of the log files when the restart began.
    std::vector<std::pair<std::u16string, size_t>> logSizes_;
};

}  // namespace qm
