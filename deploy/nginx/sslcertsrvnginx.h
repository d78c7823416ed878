// SslCertSrvNginx: the nginx deployer. It finds the running nginx and its
// configuration the way nginx itself does (the master's -p/-c, else the
// paths compiled into the executable, else a portable layout), reads every
// file of that configuration with nginx's own lexical rules, reads the
// server blocks' ports, names, roots and TLS state, writes the certificate
// files, turns the matching blocks into HTTPS blocks (or adds new ones),
// and has nginx take the change by a reload after its own configuration
// test.
//
// Every edit is a splice of the file the block lives in, so bytes outside
// an edit never change; inserted lines use that file's line ends.
//
// Files: sslcertsrvnginx_sites.cpp (discovery: blocks, sites, aliases),
// sslcertsrvnginx_https.cpp (certificate files and the HTTPS edits),
// sslcertsrvnginx_verify.cpp (letting verification through redirecting
// sites), sslcertsrvnginx_service.cpp (installation, configuration test,
// reload, stop and start), nginxconf.cpp (files and includes),
// nginxlexer.cpp (the language), nginxserver.cpp (facts of a block),
// nginxlaunch.cpp (how the running master was started).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/nginx/nginxconf.h"
#include "deploy/nginx/nginxlaunch.h"
#include "deploy/nginx/nginxserver.h"
#include "deploy/sslcertsrvsubbase.h"
#include "foundation/processmanager.h"

namespace qm {

class SslCertSrvNginx : public SslCertSrvSubBase {
public:
    SslCertSrvNginx();
    ~SslCertSrvNginx() override;

    // ---- Discovery ----
    void GetSitesInfo(std::vector<std::u16string>& siteAddrs) override;
    // The base's process lookup, then the installation: prefix and
    // configuration file from the master's own -p/-c, else from the paths
    // compiled into the executable (nginx -V), else a portable layout (the
    // executable's folder, or the folder above its sbin/).
    void GetWebServiceInfo() override;
    // The http server blocks of one text (its includes not followed).
    void GetSiteNodesPosRange(const std::u16string& text, std::vector<SiteNode>& nodes) override;
    void GetSiteNodesConfig(std::vector<SiteNode>& nodes) override;

    // Port of a block's first listen directive (80 when it names none).
    static int32_t ParseListenPort(std::u16string_view block);
    // The block's first server name; every further name goes into the alias map.
    std::u16string ParseServerNames(std::u16string_view block);
    static std::u16string ParseRootValue(std::u16string_view line);
    void ReadRootAndIndex(std::u16string_view block);

    // ---- Certificate and HTTPS configuration ----
    void GetCertificate() override;
    void MakeUniqueCertName() override;
    void ConfigCert() override;
    void SetInputDomainUnknown(const std::vector<std::u16string>& domains) override;
    bool AcceptsUserDomains() override;
    std::u16string CertificateDirectory() const override;

    void ConfigSiteNodeHttpsPort(std::u16string& block) const;
    std::u16string CreateHttpsSiteNode(std::u16string block) const;
    void ConfigInputSite();
    std::u16string ChooseListenAddress(const std::u16string& domain) const;
    std::u16string BuildHttpsServerBlock(const std::u16string& domain) const;
    static void AddServerName(std::u16string& block, const std::u16string& name);
    static void SetServerNamesHashBucketSize(std::u16string& text);

    // ---- Backup, applying ----
    void BackupWeb() override;
    // Tests the configuration on disk with nginx itself, then has nginx take
    // it: systemctl reload inside a systemd unit, else -s reload (or the
    // reload signal); stop and start when a reload is refused.
    void ApplyConfig() override;
    void StopWebService() override;
    void StartWebService() override;
    std::u16string ServerKind() const override { return u"nginx"; }
    std::u16string ConfigurationIdentity() const override { return mainConfFile_; }

    // The TLS lines every HTTPS block receives.
    static constexpr std::u16string_view kProtocols = u"TLSv1.2 TLSv1.3";
    static constexpr std::u16string_view kCiphers =
        u"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
        u"ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
        u"ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
    // How long a restarted nginx may take to listen again.
    static constexpr int kRestartWaitMs = 10000;
    // Limits of the programs run against nginx (-s, -t, -V, systemctl).
    static constexpr int kSignalWaitMs = 5000;
    static constexpr int kConfigTestWaitMs = 30000;
    // The rule that lets the verification file through a redirecting site.
    static constexpr std::u16string_view kVerificationPass =
        u"rewrite ^(/auth/auth\\.txt)$ $1 break;";
    // The same for the http-01 challenges of an ACME CA.
    static constexpr std::u16string_view kAcmeChallengePass =
        u"rewrite ^(/\\.well-known/acme-challenge/[-_A-Za-z0-9]+)$ $1 break;";

    // Stop and start instead of a reload (measured against it).
    void SetRestartInsteadOfReload(bool restart) { restartInsteadOfReload_ = restart; }

    const std::u16string& certFilePath() const { return certFilePath_; }
    const std::u16string& keyFilePath() const { return keyFilePath_; }
    const std::vector<SiteInfo>& defaultSites() const { return defaultSites_; }
    const std::u16string& defaultRoot() const { return defaultRoot_; }
    const std::u16string& defaultIndex() const { return defaultIndex_; }
    const std::vector<std::u16string>& usedCertFiles() const { return usedCertFiles_; }
    const NginxConfig& configuration() const { return config_; }
    // The file of each node of siteNodes().
    const std::u16string& NodeFile(size_t node) const;

protected:
    // ---- Transactions ----
    void DescribeServer(ServerRecord& server) const override;
    void AdoptServer(const ServerRecord& server) override;
    void ApplyRestoredConfig() override;
    std::vector<WireTarget> WireTargets() const override;

    // A configuration of one text, without files (tests).
    void UseConfigurationText(std::u16string text);
    // Reads the configuration once (main file and includes); a file nginx
    // would need that cannot be read fails with nginx's own message.
    void LoadConfiguration();
    // siteNodes_ (and the server of each) from the configuration as it is now.
    void CollectServerNodes();
    // CollectServerNodes and GetSiteNodesConfig, unless nothing changed since.
    void RefreshServerNodes();
    // The document root a root value names: absolute values as they stand,
    // relative ones under the prefix.
    std::u16string SiteDirForRoot(std::u16string value) const;
    // Runs `nginx -t` on the configuration the running master uses.
    bool TestConfiguration(std::string& output) const;
    // The lines of nginx's own output worth showing: errors with file and line.
    void NoteServerMessages(const std::string& output);
    // Reload: systemctl, -s reload, the signal; false when all were refused.
    bool Reload();
    void RestartAndWait();
    // The configured ports the configuration has listen directives for.
    std::vector<int32_t> PortsToServe() const;
    // Polls until every port has a listener; updates webServicePid.
    bool WaitUntilListening(const std::vector<int32_t>& ports, int timeoutMs);
    // The configuration-selecting options plus `extra`, after the executable.
    std::vector<std::u16string> NginxCommand(std::initializer_list<std::u16string> extra) const;
    // Writes every file whose text was edited (each recorded first).
    void WriteEditedFiles();
    // Replaces part of a file's text (inserted lines get its line ends).
    void Splice(size_t file, size_t from, size_t length, std::u16string_view text);
    // The servers whose name (or alias) is `name`: their node indexes.
    std::vector<size_t> NodesNamed(const std::u16string& name) const;
    // Lets the center fetch verification files from sites that redirect
    // every request to HTTPS (written to disk and reloaded; the texts in
    // memory stay as they were), and takes that out again.
    void OpenVerificationPath();
    void CloseVerificationPath();
    // The HTTPS form of a block: listen directives, certificate and TLS
    // directives; `server` (its node in the configuration) tells what the
    // block has through included files.
    std::u16string CreateHttpsBlock(std::u16string block, const NginxNode* server,
                                    uint32_t ownFile) const;
    void ListenOnDomainAddress(std::u16string& block, const std::u16string& domain) const;
    // Names no block is configured for: their verification goes where nginx
    // routes them.
    void RouteUnconfiguredNames();
    size_t DefaultServerNode(const std::u16string& ip, int32_t port) const;
    // Where a block for a typed domain goes.
    size_t NewBlockPosition(size_t& file) const;
    struct TextEdit {
        size_t file;
        size_t from;
        size_t length;
        std::u16string text;
    };
    static std::vector<TextEdit> HashBucketEdits(const NginxConfig& config);
    void SetHashBucketSizeInConfiguration();
    // The once-per-address listen parameters already on address:port.
    std::vector<std::u16string> ParametersOn(const std::u16string& addressKey, int32_t port,
                                             const NginxNode* except) const;

    std::u16string defaultRoot_;
    std::u16string defaultIndex_;
    std::vector<SiteInfo> defaultSites_;
    std::u16string certFilePath_;
    std::u16string keyFilePath_;
    bool inputDomainUnknown_ = false;

    // The configuration as edited, and the server node of each site node.
    NginxConfig config_;
    bool configLoaded_ = false;
    std::vector<const NginxNode*> serverOf_;
    // The facts of each of them, as GetSiteNodesConfig read them.
    std::vector<NginxServerFacts> factsOf_;
    uint64_t nodesGeneration_ = static_cast<uint64_t>(-1);
    std::vector<bool> editedFiles_;
    // The file of the block whose root and index new blocks borrow (npos: none).
    size_t templateFile_ = static_cast<size_t>(-1);

    // The configuration file the master reads, and the folder of it.
    std::u16string mainConfFile_;
    // How the master was started, for a restart; the options that select
    // its configuration and pid file, for -s and -t; its systemd unit.
    ProcessLaunch launch_;
    std::vector<std::u16string> configOptions_;
    std::u16string serviceUnit_;
    std::vector<int32_t> discoveredPorts_;
    bool restartInsteadOfReload_ = false;
    // The files that let verification through, as they were before.
    std::vector<size_t> verificationPassFiles_;
};

}  // namespace qm
