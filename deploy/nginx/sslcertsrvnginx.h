// SslCertSrvNginx: the nginx deployer. It finds the running nginx and its
// installation from the listening process, splits nginx.conf into server
// blocks by counting braces, reads their ports, names, roots and TLS state,
// writes the certificate files, turns the matching blocks into HTTPS blocks
// (or adds new ones), and restarts nginx after its own configuration test.
//
// The whole of nginx.conf is one text in memory; every edit is a splice of
// that text, so lines the edits do not touch keep their bytes exactly.
//
// Files: sslcertsrvnginx_sites.cpp (discovery: blocks, sites, aliases),
// sslcertsrvnginx_https.cpp (certificate files and the HTTPS edits),
// sslcertsrvnginx_service.cpp (installation, configuration test, stop and
// start), nginxlaunch.cpp (how the running master was started).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/nginx/nginxlaunch.h"
#include "deploy/sslcertsrvsubbase.h"
#include "foundation/processmanager.h"

namespace qm {

class SslCertSrvNginx : public SslCertSrvSubBase {
public:
    SslCertSrvNginx();
    ~SslCertSrvNginx() override;

    // ---- Discovery ----
    void GetSitesInfo(std::vector<std::u16string>& siteAddrs) override;
    // The base's process lookup, then the installation: the prefix the
    // master was started with (-p), or the executable's folder (or the
    // folder above its sbin/), holding the configuration file.
    void GetWebServiceInfo() override;
    void GetSiteNodesPosRange(const std::u16string& text, std::vector<SiteNode>& nodes) override;
    void GetSiteNodesConfig(std::vector<SiteNode>& nodes) override;

    // Port of a block's first listen line (80 when it names none this way).
    static int32_t ParseListenPort(std::u16string_view block);
    // The block's first server name; every further name goes into the alias map.
    std::u16string ParseServerNames(std::u16string_view block);
    std::u16string ParseServerNameLine(std::u16string primary, std::u16string_view line,
                                       bool& terminated);
    static std::u16string ParseRootValue(std::u16string_view line);
    void ReadRootAndIndex(std::u16string_view block);

    // ---- Certificate and HTTPS configuration ----
    void GetCertificate() override;
    void MakeUniqueCertName() override;
    void ConfigCert() override;
    void SetInputDomainUnknown(const std::vector<std::u16string>& domains) override;
    bool AcceptsUserDomains() override;

    void ConfigSiteNodeHttpsPort(std::u16string& block) const;
    std::u16string CreateHttpsSiteNode(std::u16string block) const;
    void ConfigInputSite();
    std::u16string ChooseListenAddress(const std::u16string& domain) const;
    std::u16string BuildHttpsServerBlock(const std::u16string& domain) const;
    static void AddServerName(std::u16string& block, const std::u16string& name);
    static void SetServerNamesHashBucketSize(std::u16string& text);

    // ---- Backup, restart ----
    void BackupWeb() override;
    // Tests the configuration on disk with nginx itself, then stops and
    // starts nginx and waits until it listens again.
    void ApplyConfig() override;
    void StopWebService() override;
    void StartWebService() override;

    // The TLS lines every HTTPS block receives.
    static constexpr std::u16string_view kProtocols = u"TLSv1.2 TLSv1.3";
    static constexpr std::u16string_view kCiphers =
        u"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
        u"ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
        u"ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
    // How long a restarted nginx may take to listen again.
    static constexpr int kRestartWaitMs = 10000;
    // Limits of the programs run against nginx (-s stop, -t).
    static constexpr int kSignalWaitMs = 5000;
    static constexpr int kConfigTestWaitMs = 30000;

    const std::u16string& certFilePath() const { return certFilePath_; }
    const std::u16string& keyFilePath() const { return keyFilePath_; }
    const std::vector<SiteInfo>& defaultSites() const { return defaultSites_; }
    const std::u16string& defaultRoot() const { return defaultRoot_; }
    const std::u16string& defaultIndex() const { return defaultIndex_; }
    const std::vector<std::u16string>& usedCertFiles() const { return usedCertFiles_; }

protected:
    // The document root a root value names: absolute values as they stand,
    // relative ones under the installation.
    std::u16string SiteDirForRoot(std::u16string value) const;
    // Runs `nginx -t` on the configuration the running master uses.
    bool TestConfiguration(std::string& output) const;
    // The configured ports a configuration text has listen lines for.
    std::vector<int32_t> PortsToServe() const;
    // Polls until every port has a listener; updates webServicePid.
    bool WaitUntilListening(const std::vector<int32_t>& ports, int timeoutMs);
    // Copies the files backed up by this deployment back into place.
    bool RestoreBackedUpFiles();
    // Stops whatever nginx now holds the configured ports.
    void StopListeners();
    // The configuration-selecting options plus `extra`, after the executable.
    std::vector<std::u16string> NginxCommand(std::initializer_list<std::u16string> extra) const;

    std::u16string defaultRoot_;
    std::u16string defaultIndex_;
    std::vector<SiteInfo> defaultSites_;
    std::u16string certFilePath_;
    std::u16string keyFilePath_;
    bool inputDomainUnknown_ = false;

    // The configuration file the master reads (from -c, or conf/nginx.conf).
    std::u16string mainConfFile_;
    // How the master was started, for the restart; and the options that
    // select its configuration and pid file, for -s stop and -t.
    ProcessLaunch launch_;
    std::vector<std::u16string> configOptions_;
    std::vector<int32_t> discoveredPorts_;
    // Source file -> backup copy, as BackupWeb recorded them.
    std::map<std::u16string, std::u16string> backupCopies_;
};

}  // namespace qm
