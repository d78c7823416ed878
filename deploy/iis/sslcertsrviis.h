// SslCertSrvIIS: the IIS deployer. It works through three interfaces (the
// site administration, the machine certificate store, the HTTP.sys TLS
// bindings; see iisinterfaces.h): it reads the started sites and their
// bindings, imports the certificate with its key into the store "MY", and
// gives every certificate name an HTTPS binding of its own that chooses the
// certificate by host name, bound to the new certificate. Bindings of other
// names, host-less bindings and the certificates bound to addresses stay
// as they are: other sites keep what they serve.
//
// Every change is written into the deployment record before it is made
// (the bindings as they were, each binding added or changed, each TLS
// binding with what it held, the certificate imported), so a rollback, a
// recovery after a crash and an undo replay its reverse through the same
// interfaces. Nothing needs IIS restarted unless the administration says so.
//
// Files: sslcertsrviis_sites.cpp (sites, bindings, names of installed
// certificates), sslcertsrviis_bind.cpp (certificate, bindings, TLS
// bindings, their reverse), iisbinding.cpp (binding information).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "deploy/iis/iisinterfaces.h"
#include "deploy/sslcertsrvbase.h"

namespace qm {

// One binding of a started site, as read.
struct BindingRecord {
    std::u16string siteName;
    std::u16string siteDir;
    std::u16string bindingInformation;
    std::u16string certificateHash;  // of its TLS binding (https only); empty when none
    std::u16string protocol;
    std::u16string sslFlags;
};

// One HTTPS binding on the HTTPS port as it was before the deployment.
struct BackupSiteRecord {
    std::u16string type = u"backupSite";
    std::u16string site;
    std::u16string protocol;
    std::u16string siteAddr;
    std::u16string port;
    std::u16string ipAddr;
    std::u16string certHash;
    std::u16string bindingInformation;  // as written, to put it back byte for byte
    std::u16string sslFlags;
};

class SslCertSrvIIS : public SslCertSrvBase {
public:
    // The interfaces of this host (iisinterfaces.h).
    SslCertSrvIIS();
    explicit SslCertSrvIIS(IisInterfaces interfaces);
    ~SslCertSrvIIS() override;

    void GetWebServiceInfo() override;
    void GetSitesInfo(std::vector<std::u16string>& siteAddrs) override;
    void GetCertificate() override;
    void BackupWeb() override;
    void ConfigCert() override;
    void ApplyConfig() override;
    void RestoreWeb() override;
    bool AcceptsUserDomains() override;
    std::u16string CertificateDirectory() const override;
    std::u16string ServerKind() const override { return u"iis"; }
    std::u16string ConfigurationIdentity() const override;

    // The store IIS's certificates live in.
    static constexpr std::u16string_view kStore = u"MY";

    const std::u16string& certHash() const { return certHash_; }
    const std::u16string& appId() const { return appId_; }
    const std::map<std::u16string, std::u16string>& siteNames() const { return siteNames_; }
    const std::vector<std::u16string>& hostlessIPs() const { return hostlessIPs_; }
    const std::vector<BackupSiteRecord>& backupSites() const { return backupSites_; }
    const std::vector<BindingRecord>& bindings() const { return bindings_; }

    // IIS serves no file without an extension unless a folder says so: the
    // challenge folder gets a web.config mapping them to text/plain.
    std::vector<std::pair<std::u16string, std::string>> ChallengeFolderFiles() const override;
    static constexpr std::string_view kChallengeWebConfig =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<configuration>\r\n"
        "  <system.webServer>\r\n"
        "    <staticContent>\r\n"
        "      <remove fileExtension=\".\" />\r\n"
        "      <mimeMap fileExtension=\".\" mimeType=\"text/plain\" />\r\n"
        "    </staticContent>\r\n"
        "  </system.webServer>\r\n"
        "</configuration>\r\n";

protected:
    bool RestoreRecordedChanges(DeploymentRecord& record) override;
    void CollectAlteredChanges(const DeploymentRecord& record,
                               std::vector<std::u16string>& altered) override;
    void ApplyRestoredConfig() override;
    std::vector<WireTarget> WireTargets() const override;
    // A renewal imports the new certificate and binds it to every name the
    // deployment bound; the deployment's record then knows it as its own.
    bool PutRenewalInPlace(const DeploymentRecord& deployment) override;
    void RenewalServed(DeploymentRecord& deployment) override;

    // Sites and bindings of the started sites, with the certificate of each
    // HTTPS binding; "IIS Initialize failed" when the administration cannot
    // be read, "web service is not running." when no site is started.
    void CollectBindings();
    // The document root: the last virtual directory's physical path with
    // environment references expanded, ending in a separator.
    static std::u16string SitePhysicalPath(const IisSite& site);
    // Adds the names of the installed certificate of a host-less HTTPS
    // binding; false when the store does not hold it.
    bool ReadCertSiteAddrs(SiteInfo site, const std::u16string& siteName,
                           const std::u16string& certHash, std::vector<std::u16string>& names);
    // The address a new binding of `domain` listens on, as a binding writes
    // it ("*" when no site of the domain names one).
    std::u16string ChooseBindingIP(const std::u16string& domain) const;
    // The IIS site that serves `domain`: its own binding's, its www.
    // twin's, else the first one (a host-less binding's sorts first).
    std::u16string SiteForDomain(const std::u16string& domain) const;
    // The TLS binding of an endpoint now (certificate hash empty: none).
    TlsBinding CurrentTlsBinding(const TlsEndpoint& endpoint);
    // The issued certificate with its key and chain into the store "MY",
    // recorded first; certHash_ becomes its thumbprint.
    void InstallIssuedCertificate();
    // Binds the certificate to the endpoint, recorded first.
    void BindCertificate(const TlsEndpoint& endpoint);
    void CommitOrThrow();
    // Whether a started site's binding of that protocol has the endpoint
    // of `bindingInformation` (address, port and host compared, not text).
    bool HasBinding(const std::vector<IisSite>& sites, const std::u16string& site,
                    const std::u16string& protocol, const std::u16string& bindingInformation) const;
    // Puts back the HTTPS bindings the record remembers that are gone, with
    // the certificate each had; false, with notes, when one cannot be.
    bool RecreateRememberedBindings(const DeploymentRecord& record);
    // Restarts IIS through its administration when it says so.
    void RestartIfNeeded();

    // The certificate names the deployment configures, with the address of
    // the binding that serves each.
    struct ConfiguredName {
        std::u16string name;
        std::u16string ip;  // as the binding writes it
    };

    IisInterfaces iis_;
    std::u16string certHash_;
    std::u16string appId_;
    std::vector<std::u16string> hostlessIPs_;
    std::vector<BackupSiteRecord> backupSites_;
    std::map<std::u16string, std::u16string> siteNames_;
    std::vector<BindingRecord> bindings_;
    std::vector<ConfiguredName> configured_;
};

}  // namespace qm
