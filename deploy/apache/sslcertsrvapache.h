// SslCertSrvApache: the Apache httpd deployer. It finds the running Apache
// parent from its ports and the installation the way Apache itself decides
// it (the parent's own -d/-f/-D, else the upstream layout around bin/httpd,
// else the paths compiled into the executable), reads every file of the
// configuration with Apache's own line rules and the server's own list of
// included files, evaluates IfDefine/IfModule sections as Apache does, and
// reads the virtual hosts' addresses, names, roots and TLS state. It writes
// the certificate files, enables mod_ssl the way the layout does it
// (LoadModule lines upstream, mods-enabled links on Debian), turns the
// matching virtual hosts into HTTPS ones (or adds HTTPS copies and new
// hosts), and has Apache take the change by a graceful restart after its
// own configuration test.
//
// Every edit is a splice of the file the host lives in, so bytes outside an
// edit never change; inserted lines use that file's line ends.
//
// Files: sslcertsrvapache_sites.cpp (discovery: hosts, sites, aliases,
// listen addresses), sslcertsrvapache_https.cpp (certificate files and the
// HTTPS edits), sslcertsrvapache_service.cpp (installation, configuration
// test, graceful restart, what a record keeps), apacheconf.cpp (files,
// includes, sections), apachelexer.cpp (the line rules), apacheaddress.cpp
// (host and listen addresses), apachelaunch.cpp (how the parent was started
// and what the executable says about itself).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/apache/apacheconf.h"
#include "deploy/apache/apachelaunch.h"
#include "deploy/sslcertsrvsubbase.h"
#include "foundation/processmanager.h"

namespace qm {

class SslCertSrvApache : public SslCertSrvSubBase {
public:
    SslCertSrvApache();
    ~SslCertSrvApache() override;

    // ---- Discovery ----
    void GetSitesInfo(std::vector<std::u16string>& siteAddrs) override;
    // The base's process lookup, then the installation: server root and
    // main file from the parent's -d/-f, else ROOT/conf/httpd.conf for an
    // executable in ROOT/bin/, else the paths compiled into it (-V); the
    // configuration is then read with the server's own file list.
    void GetWebServiceInfo() override;
    void CheckInputDomains(const std::vector<std::u16string>& domains) override;
    // The virtual hosts of one text on its own (its includes not followed).
    void GetSiteNodesPosRange(const std::u16string& text, std::vector<SiteNode>& nodes) override;
    void GetSiteNodesConfig(std::vector<SiteNode>& nodes) override;

    // ---- Certificate and HTTPS configuration ----
    void GetCertificate() override;
    void MakeUniqueCertName() override;
    void ConfigCert() override;
    bool AcceptsUserDomains() override;
    std::u16string CertificateDirectory() const override;

    // ---- Backup, applying ----
    void BackupWeb() override;
    // Apache's own configuration test on the files on disk, then a graceful
    // restart (systemctl reload inside a systemd unit, else the graceful
    // signal to the parent); a start from the recorded launch when the
    // parent is gone.
    void ApplyConfig() override;
    void StopWebService() override;
    void StartWebService() override;
    std::u16string ServerKind() const override { return u"apache"; }
    std::u16string ConfigurationIdentity() const override { return mainConfFile_; }

    // The TLS lines every HTTPS host receives: TLS 1.2 and 1.3 only, ECDHE
    // key exchange with AEAD ciphers, the client's preference honoured.
    static constexpr std::u16string_view kProtocols = u"-all +TLSv1.2 +TLSv1.3";
    static constexpr std::u16string_view kCiphers =
        u"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
        u"ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
        u"ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
    // Limits of the programs run against Apache (-t, -V, -l, systemctl).
    static constexpr int kCommandWaitMs = 30000;
    // How long a started Apache may take to listen again.
    static constexpr int kRestartWaitMs = 15000;

    // ---- What discovery found (read access for tests and benchmarks) ----
    const ApacheConfig& configuration() const { return config_; }
    const std::u16string& mainConfFile() const { return mainConfFile_; }
    const std::u16string& serverRoot() const { return serverRoot_; }
    const std::u16string& apacheVersion() const { return apacheVersion_; }
    bool httpdSslIncluded() const { return httpdSslIncluded_; }
    bool sslConfIncluded() const { return sslConfIncluded_; }
    bool vhostsIncluded() const { return vhostsIncluded_; }
    bool debianLayout() const { return debianLayout_; }
    const std::vector<std::u16string>& configuredSiteNames() const { return configuredSiteNames_; }
    const std::vector<std::u16string>& usedCertFiles() const { return usedCertFiles_; }
    const std::vector<std::u16string>& httpListenAddrs() const { return httpListenAddrs_; }
    const std::vector<std::u16string>& httpsListenAddrs() const { return httpsListenAddrs_; }
    const std::u16string& certFilePath() const { return certFilePath_; }
    const std::u16string& keyFilePath() const { return keyFilePath_; }
    const std::u16string& chainFilePath() const { return chainFilePath_; }

protected:
    // ---- Transactions ----
    void DescribeServer(ServerRecord& server) const override;
    void AdoptServer(const ServerRecord& server) override;
    void ApplyRestoredConfig() override;
    std::vector<WireTarget> WireTargets() const override;

    // An installation read without a running server (tests, benchmarks):
    // the server root, the main file, the defines and the static modules;
    // includes are expanded by Apache's rules instead of asking the server.
    void UseInstallation(const std::u16string& serverRoot, const std::u16string& mainConfFile,
                         std::vector<std::u16string> defines = {});
    // (Re)reads the configuration from disk with the current context; a
    // file Apache would need that cannot be read fails with Apache's manner
    // of message.
    void LoadConfiguration();
    // The preferred file for new HTTPS hosts (upstream layout): httpd-ssl,
    // ssl.conf, httpd-vhosts, the main file, the first that is read.
    size_t PreferredSslFile() const;

    // Facts of a host as the site model keeps them.
    static std::u16string ParseServerName(const ApacheConfig& config,
                                          const ApacheVirtualHost& host);
    static std::vector<std::u16string> CollectAliases(const ApacheConfig& config,
                                                      const ApacheVirtualHost& host);
    static bool IsHttpsHost(const ApacheConfig& config, const ApacheVirtualHost& host);
    // A DocumentRoot value as a site folder: against the server root, with
    // a trailing separator.
    static std::u16string SiteDirOf(const ApacheConfig& config, const std::u16string& documentRoot);
    SiteInfo SiteOfHost(const ApacheConfig& config, const ApacheVirtualHost& host) const;
    bool ServesConfiguredPort(const SiteInfo& site) const;
    // The host Apache gives requests for unknown names on the address and port.
    const ApacheVirtualHost* DefaultHost(const std::u16string& ip, int32_t port) const;
    void RouteUnconfiguredNames();

    // Discovery steps.
    void LocateIncludedFiles();
    void DetectApacheVersion();
    bool IsSslDefined() const;
    void DetectLayout();
    void ParseMainConfig();
    void ParseSites();
    void CollectListenAddrs();

    // HTTPS steps, in the order ConfigCert runs them.
    void AddLoadModuleSsl();
    void ConfigListen();
    void SetSessionCache();
    void ConfigSslSites();
    void ConfigMainServerSsl();
    void ConfigInputSite();
    // The HTTPS form of a host's text (the copy of an HTTP host, or an HTTPS
    // host with new certificate lines).
    std::u16string CreateHttpsSiteNode(const ApacheVirtualHost& host) const;
    std::u16string BuildSslVirtualHost(const SiteInfo& site, std::u16string_view lineEnd) const;
    std::u16string ChooseVirtualHostAddress(const std::u16string& name) const;
    // Edits of several files, each a list of splices; one evaluation after.
    using EditPlan = std::map<size_t, std::vector<ApacheConfig::Edit>>;
    void ApplyEdits(EditPlan edits);
    ApacheConfig::Edit InsertAfter(const ApacheLine& line, std::u16string text) const;
    std::u16string InnerIndent(const ApacheVirtualHost& host) const;
    std::vector<std::pair<std::u16string, std::u16string>> TlsLines() const;
    void PlanTlsLines(const std::vector<size_t>& scope, size_t insertFile, size_t insertAt,
                      const std::u16string& indent, size_t onlyFile, EditPlan& edits) const;
    std::vector<size_t> HostsNamed(const std::u16string& name) const;
    static void AddServerAlias(std::u16string& block, const std::u16string& name,
                               const std::u16string& indent);
    void AddNewHost(const SiteInfo& site);
    // Writes every edited file (each recorded first), and creates the new
    // files and links.
    void WriteEditedFiles();
    void WriteNewFiles();

    // Runs the executable with the parent's configuration options and
    // environment, plus `extra`.
    bool RunApache(const std::vector<std::u16string>& extra, std::string& output, int& exitCode,
                   bool withConfiguration = true) const;
    bool TestConfiguration(std::string& output) const;
    void NoteServerMessages(const std::string& output);
    // The main server's error log, and what it says since the last apply
    // (errors and worse).
    std::u16string ErrorLogPath() const;
    std::string ErrorLogTail() const;
    bool GracefulRestart();
    bool WaitUntilListening(int timeoutMs);
    std::vector<int32_t> PortsToServe() const;
    // The server context for reading: root, defines, environment, modules.
    ApacheContext ReadingContext() const;

    // The configuration as edited, and the site of each host.
    ApacheConfig config_;
    bool configLoaded_ = false;

    std::u16string serverRoot_;
    std::u16string mainConfFile_;
    std::u16string apacheVersion_;
    bool httpdSslIncluded_ = false;
    bool sslConfIncluded_ = false;
    bool vhostsIncluded_ = false;
    bool debianLayout_ = false;
    bool inputDomainUnknown_ = false;
    std::vector<std::u16string> configuredSiteNames_;
    std::u16string certFilePath_;
    std::u16string keyFilePath_;
    std::u16string chainFilePath_;

    // How the parent was started and what the executable said about itself.
    ProcessLaunch launch_;
    ApacheOptions options_;
    std::vector<std::u16string> configOptions_;  // -d, -f, -D... for -t
    size_t errorLogSize_ = 0;
    std::vector<std::u16string> staticModules_;
    std::vector<std::u16string> defines_;
    IncludeListing includeListing_;
    std::u16string serviceUnit_;
    std::vector<int32_t> discoveredPorts_;

    // Files ConfigCert creates (new hosts' files, module links): path, text
    // (a link's target when `link`).
    struct NewFile {
        std::u16string path;
        std::u16string text;
        bool link = false;
    };
    std::vector<NewFile> newFiles_;
};

}  // namespace qm
