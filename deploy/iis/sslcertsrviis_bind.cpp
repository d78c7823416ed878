// The IIS deployer's changes: the certificate imported into "MY", an HTTPS
// binding per certificate name that chooses its certificate by host name,
// the TLS binding of each name, and the reverse of all of it from the
// deployment record.
#include <algorithm>
#include <chrono>

#include "Common/OpenSSL/quorp/digest.h"
#include "Common/OpenSSL/quorp/quorp.h"
#include "deploy/faultpoints.h"
#include "deploy/iis/iisbinding.h"
#include "deploy/iis/sslcertsrviis.h"
#include "deploy/netmanager.h"
#include "foundation/format.h"
#include "foundation/operation.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// Record entries: the kinds of change, and their values.
constexpr char16_t kCertificateChange[] = u"certificate";
constexpr char16_t kBindingChange[] = u"binding";
constexpr char16_t kTlsBindingChange[] = u"tlsBinding";
constexpr char16_t kBackupSiteChange[] = u"backupSite";

// How long a committed binding may take to serve before IIS is restarted.
constexpr int kServeWithoutRestartMs = 5000;

std::u16string Flag(bool value) {
    return value ? u"1" : u"0";
}

int32_t PortOf(const std::u16string& text) {
    int32_t port = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9' || port > 65535)
            return 0;
        port = port * 10 + (c - u'0');
    }
    return port;
}

TlsEndpoint EndpointOf(const RecordedChange& change) {
    return {change.Value(u"address"), PortOf(change.Value(u"port")),
            change.Value(u"hostName") == u"1"};
}

}  // namespace

void SslCertSrvIIS::GetCertificate() {
    RunOperation("SslCertSrvIIS::GetCertificate", [&] {
        // The request's key stays unencrypted and owner-only (a deferred
        // request is completed by a later run); the bundle handed to the
        // store gets a password of its own and never touches the disk.
        keyPassword_.clear();
        webType_ = u"iis";
        webVersion_ = u"0.0.0.0";
        ConstructSelSiteInfo();
        SetWebTypeVersion(webType_, webVersion_);
        SetCertParams(keyPassword_, certName_, certType_);
        SslCertSrvBase::GetCertificate();
        InstallIssuedCertificate();
    });
}

std::vector<std::pair<std::u16string, std::string>> SslCertSrvIIS::ChallengeFolderFiles() const {
    return {{u"web.config", std::string(kChallengeWebConfig)}};
}

void SslCertSrvIIS::InstallIssuedCertificate() {
    LogTrace("SslCertSrvIIS::InstallCert");
    const std::string password = RandomHex(12);
    quorp ssl;
    quorp::PrepareLibrary();
    std::string pkcs12;
    if (password.empty() || !ssl.ExportPfx(certPem_, chainCerts_, privateKeyPem_, password,
                                           NarrowFromWide(certName_), pkcs12)) {
        LogError("SslCertSrvIIS, the PKCS#12 bundle cannot be made: %s", ssl.Status());
        ThrowResult(result::kUndefined);
    }
    certHash_ = WideFromUtf8(CertificateThumbprint(certPem_));
    if (certHash_.empty())
        ThrowResult(result::kGetCertHashError);
    LogInfo(u"Cert Hash is %s", certHash_);

    const std::u16string store(kStore);
    RecordChange({kCertificateChange,
                  {{u"store", store},
                   {u"thumbprint", certHash_},
                   {u"existed", Flag(iis_.store->Contains(store, certHash_))}}});
    std::u16string thumbprint, problem;
    if (!iis_.store->ImportPkcs12(store, pkcs12, password, thumbprint, problem)) {
        LogError(u"PFXImportCertStore failed! %s", problem);
        AddUserNote(u"The certificate cannot be imported into the machine store \"MY\": " +
                    problem + u".");
        ThrowResult(result::kInstallCertFailed);
    }
    if (!SameText(thumbprint, certHash_)) {
        LogError(u"SslCertSrvIIS, the store holds %s, not %s", thumbprint, certHash_);
        ThrowResult(result::kGetCertHashError);
    }
    LogInfo("InstallCert success!");
}

void SslCertSrvIIS::BackupWeb() {
    RunOperation("SslCertSrvIIS::BackupWeb", [&] {
        LogTrace("SslCertSrvIIS::BackupWeb");
        // The HTTPS bindings as they are: what the undo record shows.
        for (const BackupSiteRecord& b : backupSites_) {
            RecordChange({kBackupSiteChange,
                          {{u"site", b.site},
                           {u"protocol", b.protocol},
                           {u"siteAddr", b.siteAddr},
                           {u"ipAddr", b.ipAddr},
                           {u"port", b.port},
                           {u"certHash", b.certHash},
                           {u"bindingInformation", b.bindingInformation},
                           {u"sslFlags", b.sslFlags}}});
        }
    });
}

std::u16string SslCertSrvIIS::SiteForDomain(const std::u16string& domain) const {
    if (const auto it = siteNames_.find(domain); it != siteNames_.end())
        return it->second;
    if (const auto it = siteNames_.find(ToggleWww(domain)); it != siteNames_.end())
        return it->second;
    return siteNames_.empty() ? std::u16string() : siteNames_.begin()->second;
}

std::u16string SslCertSrvIIS::ChooseBindingIP(const std::u16string& domain) const {
    const std::u16string twin = ToggleWww(domain);
    std::u16string result;
    for (const SiteInfo& site : sites_) {
        if (site.siteAddr != domain && site.siteAddr != twin)
            continue;
        const bool counts = site.isHttps ? site.sitePort == httpsPort_ : site.sitePort == httpPort_;
        if (!counts || (site.siteAddr == twin && !CNetManager::IsSiteAddrHaveSameIP(domain, twin)))
            continue;
        result = site.siteIP;
        if (site.isHttps)
            break;
    }
    return result.empty() ? u"*" : result;
}

void SslCertSrvIIS::ConfigCert() {
    RunOperation("SslCertSrvIIS::ConfigCert", [&] {
        LogTrace("SslCertSrvIIS::ConfigCert");
        if (!iis_.sites->SupportsHostNameCertificates()) {
            AddUserNote(
                u"This IIS cannot choose a certificate by host name (IIS 8 or later can); "
                u"binding the certificate to an address would change the certificate of every "
                u"other site on it. Nothing was changed.");
            ThrowResult(result::kUndefined);
        }
        configured_.clear();
        std::u16string problem;
        for (const SiteInfo& selected : selectedSites_) {
            const std::u16string name = ToLowerAscii(selected.siteAddr);
            if (name.empty() ||
                std::any_of(configured_.begin(), configured_.end(),
                            [&](const ConfiguredName& c) { return c.name == name; })) {
                continue;
            }
            // The name's own HTTPS binding on the port, when a started site has one.
            const auto existing =
                std::find_if(bindings_.begin(), bindings_.end(), [&](const BindingRecord& b) {
                    const BindingEndpoint ep = ParseBindingInformation(b.bindingInformation);
                    return SameText(b.protocol, u"https") && ep.port == httpsPort_ &&
                           SameText(ep.host, name);
                });
            std::u16string ip;
            if (existing != bindings_.end()) {
                ip = ParseBindingInformation(existing->bindingInformation).ip;
                if (!UsesHostNameCertificate(existing->sslFlags)) {
                    // Its certificate came with its address, shared with every
                    // other binding there: from now on it comes with its name.
                    const IisBinding from{existing->protocol, existing->bindingInformation,
                                          existing->sslFlags};
                    IisBinding to = from;
                    to.sslFlags = WithHostNameCertificate(from.sslFlags);
                    RecordChange({kBindingChange,
                                  {{u"action", u"replace"},
                                   {u"site", existing->siteName},
                                   {u"protocol", from.protocol},
                                   {u"bindingInformation", from.bindingInformation},
                                   {u"sslFlags", to.sslFlags},
                                   {u"previousSslFlags", from.sslFlags}}});
                    LogInfo(
                        u"SslCertSrvIIS, the binding %s of \"%s\" chooses its certificate "
                        u"by host name now",
                        from.bindingInformation, existing->siteName);
                    if (!iis_.sites->ReplaceBinding(existing->siteName, from, to, problem)) {
                        AddUserNote(u"The IIS binding cannot be changed: " + problem + u".");
                        ThrowResult(result::kConfigWriteFailed);
                    }
                }
            } else {
                const std::u16string site = SiteForDomain(name);
                if (site.empty()) {
                    LogWarn(u"SslCertSrvIIS, no IIS site for %s: skipped", name);
                    continue;
                }
                ip = ChooseBindingIP(name);
                const IisBinding binding{u"https", BindingInformationText({ip, httpsPort_, name}),
                                         u"1"};
                LogInfo("");
                LogInfo(u"siteName is %s", site);
                LogInfo(u"siteAddr is %s", name);
                LogInfo(u"siteIP is %s", ip);
                LogInfo(u"sitePort is %d", httpsPort_);
                LogInfo("");
                RecordChange({kBindingChange,
                              {{u"action", u"add"},
                               {u"site", site},
                               {u"protocol", binding.protocol},
                               {u"bindingInformation", binding.bindingInformation},
                               {u"sslFlags", binding.sslFlags}}});
                if (!iis_.sites->AddBinding(site, binding, problem)) {
                    AddUserNote(u"The IIS binding cannot be added: " + problem + u".");
                    ThrowResult(result::kConfigWriteFailed);
                }
                LogInfo("AddElement Success! CreateNewHttpsSite success!");
            }
            configured_.push_back({name, ip});
        }
        if (configured_.empty())
            ThrowResult(result::kNoValidDomain);
        CommitOrThrow();
        FaultPoint(u"bindings-committed");
        for (const ConfiguredName& c : configured_)
            BindCertificate({c.name, httpsPort_, true});
        LogInfo("BindCertToIpPort finish!");
    });
}

void SslCertSrvIIS::CommitOrThrow() {
    std::u16string problem;
    if (!iis_.sites->CommitChanges(problem)) {
        LogInfo("CommitChanges failed!");
        AddUserNote(u"The IIS configuration cannot be saved: " + problem + u".");
        ThrowResult(result::kConfigWriteFailed);
    }
    LogInfo("CommitChanges Success!");
}

void SslCertSrvIIS::BindCertificate(const TlsEndpoint& endpoint) {
    const TlsBinding now = CurrentTlsBinding(endpoint);
    if (SameText(now.certificateHash, certHash_))
        return;
    RecordChange({kTlsBindingChange,
                  {{u"address", endpoint.address},
                   {u"port", FormatWide(u"%d", endpoint.port)},
                   {u"hostName", Flag(endpoint.hostName)},
                   {u"hash", certHash_},
                   {u"previousHash", now.certificateHash},
                   {u"previousStore", now.storeName},
                   {u"previousAppId", now.appId}}});
    std::u16string problem;
    if (!now.certificateHash.empty()) {
        LogInfo(u"BindCertToIpPort delete param is %s", endpoint.Text());
        if (!iis_.tlsBindings->Delete(endpoint, problem)) {
            AddUserNote(u"The certificate binding of " + endpoint.Text() + u" cannot be removed: " +
                        problem + u".");
            ThrowResult(result::kConfigWriteFailed);
        }
    }
    LogInfo(u"BindCertToIpPort add param is %s certhash=%s appid=%s", endpoint.Text(), certHash_,
            appId_);
    if (!iis_.tlsBindings->Add({endpoint, certHash_, std::u16string(kStore), appId_}, problem)) {
        AddUserNote(u"The certificate cannot be bound to " + endpoint.Text() + u": " + problem +
                    u".");
        ThrowResult(result::kConfigWriteFailed);
    }
}

std::vector<WireTarget> SslCertSrvIIS::WireTargets() const {
    std::vector<WireTarget> targets;
    for (const ConfiguredName& c : configured_) {
        const std::u16string address =
            c.ip.empty() || c.ip == u"*" ? std::u16string(u"127.0.0.1") : TlsAddressOf(c.ip);
        targets.push_back({c.name, address, httpsPort_});
    }
    return targets;
}

void SslCertSrvIIS::RestartIfNeeded() {
    if (!iis_.sites->RestartNeeded())
        return;
    std::u16string problem;
    LogInfo("SslCertSrvIIS, IIS asks for a restart");
    if (!iis_.sites->Restart(problem)) {
        AddUserNote(u"IIS cannot be restarted: " + problem + u".");
        ThrowResult(result::kRestartFailed);
    }
}

void SslCertSrvIIS::ApplyConfig() {
    RunOperation("SslCertSrvIIS::ApplyConfig", [&] {
        LogTrace("SslCertSrvBase::ApplyConfig");
        FaultPoint(u"applying");
        RestartIfNeeded();
        // IIS serves committed bindings at once; one that does not is
        // restarted once, and the engine then checks again.
        const std::vector<WireTarget> targets = WireTargets();
        if (targets.empty() || WaitForServedCertificate(targets, CertificateFingerprint(certPem_),
                                                        true, kServeWithoutRestartMs)) {
            return;
        }
        LogWarn("SslCertSrvIIS, the new bindings are not served yet: restarting IIS");
        NoteServerTouched();
        std::u16string problem;
        if (!iis_.sites->Restart(problem))
            LogWarn(u"SslCertSrvIIS, IIS cannot be restarted: %s", problem);
    });
}

void SslCertSrvIIS::ApplyRestoredConfig() {
    RestartIfNeeded();
}

bool SslCertSrvIIS::RestoreRecordedChanges(DeploymentRecord& record) {
    bool ok = true;
    std::u16string problem;
    auto fail = [&](const std::u16string& what) {
        LogError(u"SslCertSrvIIS, %s: %s", what, problem);
        AddUserNote(what + u": " + problem + u".");
        ok = false;
    };
    // Newest first: the TLS bindings, then the site bindings (committed
    // once), then the certificate nothing is bound to any more.
    const auto& changes = record.changes;
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        if (it->type != kTlsBindingChange)
            continue;
        const TlsEndpoint endpoint = EndpointOf(*it);
        TlsBinding now;
        bool found = false;
        if (!iis_.tlsBindings->Query(endpoint, now, found, problem)) {
            fail(u"The certificate binding of " + endpoint.Text() + u" cannot be read");
            continue;
        }
        const std::u16string previous = it->Value(u"previousHash");
        if (found ? SameText(now.certificateHash, previous) : previous.empty())
            continue;  // as it was
        if (found && !iis_.tlsBindings->Delete(endpoint, problem)) {
            fail(u"The certificate binding of " + endpoint.Text() + u" cannot be removed");
            continue;
        }
        if (!previous.empty() &&
            !iis_.tlsBindings->Add(
                {endpoint, previous, it->Value(u"previousStore"), it->Value(u"previousAppId")},
                problem)) {
            fail(u"The certificate binding of " + endpoint.Text() + u" cannot be put back");
            continue;
        }
        LogInfo(u"SslCertSrvIIS, the certificate binding of %s is as it was", endpoint.Text());
    }
    bool edited = false;
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        if (it->type != kBindingChange)
            continue;
        const std::u16string site = it->Value(u"site");
        const IisBinding deployed{it->Value(u"protocol"), it->Value(u"bindingInformation"),
                                  it->Value(u"sslFlags")};
        bool done = false;
        if (it->Value(u"action") == u"add") {
            done = iis_.sites->RemoveBinding(site, deployed, problem);
        } else {
            IisBinding original = deployed;
            original.sslFlags = it->Value(u"previousSslFlags");
            done = iis_.sites->ReplaceBinding(site, deployed, original, problem);
        }
        if (!done) {
            fail(u"The IIS binding " + deployed.bindingInformation + u" of \"" + site +
                 u"\" cannot be put back");
            continue;
        }
        edited = true;
    }
    if (edited && !iis_.sites->CommitChanges(problem))
        fail(u"The IIS configuration cannot be saved");
    if (!RecreateRememberedBindings(record))
        ok = false;
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        if (it->type != kCertificateChange || it->Value(u"existed") == u"1")
            continue;
        // A certificate left in the store harms nobody: said, not failed.
        if (!iis_.store->Remove(it->Value(u"store"), it->Value(u"thumbprint"), problem)) {
            LogWarn(u"SslCertSrvIIS, the certificate %s stays in the store: %s",
                    it->Value(u"thumbprint"), problem);
        }
    }
    return ok;
}

void SslCertSrvIIS::CollectAlteredChanges(const DeploymentRecord& record,
                                          std::vector<std::u16string>& altered) {
    std::vector<IisSite> sites;
    std::u16string problem;
    if (iis_.sites->ReadSites(sites, problem)) {
        for (const RecordedChange& change : record.changes) {
            if (change.type == kBackupSiteChange &&
                !HasBinding(sites, change.Value(u"site"), change.Value(u"protocol"),
                            change.Value(u"bindingInformation"))) {
                altered.push_back(u"the HTTPS binding " + change.Value(u"bindingInformation") +
                                  u" of the site \"" + change.Value(u"site") +
                                  u"\" (removed since)");
            }
        }
    }
    for (const RecordedChange& change : record.changes) {
        if (change.type != kTlsBindingChange)
            continue;
        const TlsEndpoint endpoint = EndpointOf(change);
        TlsBinding now;
        bool found = false;
        std::u16string problem;
        if (!iis_.tlsBindings->Query(endpoint, now, found, problem))
            continue;  // the restore reports it
        const std::u16string hash = found ? now.certificateHash : std::u16string();
        if (!SameText(hash, change.Value(u"hash")) &&
            !SameText(hash, change.Value(u"previousHash"))) {
            altered.push_back(u"the certificate bound to " + endpoint.Text() +
                              (hash.empty() ? u" (now none)" : u" (now " + hash + u")"));
        }
    }
}

bool SslCertSrvIIS::HasBinding(const std::vector<IisSite>& sites, const std::u16string& site,
                               const std::u16string& protocol,
                               const std::u16string& bindingInformation) const {
    const BindingEndpoint wanted = ParseBindingInformation(bindingInformation);
    for (const IisSite& s : sites) {
        if (!SameText(s.name, site))
            continue;
        for (const IisBinding& b : s.bindings) {
            const BindingEndpoint ep = ParseBindingInformation(b.bindingInformation);
            if (SameText(b.protocol, protocol) && ep.port == wanted.port &&
                SameText(ep.ip, wanted.ip) && SameText(ep.host, wanted.host)) {
                return true;
            }
        }
    }
    return false;
}

bool SslCertSrvIIS::RecreateRememberedBindings(const DeploymentRecord& record) {
    std::vector<IisSite> sites;
    std::u16string problem;
    if (!iis_.sites->ReadSites(sites, problem)) {
        AddUserNote(u"The IIS configuration cannot be read: " + problem + u".");
        return false;
    }
    bool ok = true;
    std::vector<const RecordedChange*> recreated;
    for (const RecordedChange& change : record.changes) {
        const std::u16string site = change.Value(u"site");
        const IisBinding binding{change.Value(u"protocol"), change.Value(u"bindingInformation"),
                                 change.Value(u"sslFlags")};
        if (change.type != kBackupSiteChange || binding.bindingInformation.empty() ||
            HasBinding(sites, site, binding.protocol, binding.bindingInformation)) {
            continue;
        }
        if (!iis_.sites->AddBinding(site, binding, problem)) {
            AddUserNote(u"The HTTPS binding " + binding.bindingInformation + u" of \"" + site +
                        u"\" cannot be put back: " + problem + u".");
            ok = false;
            continue;
        }
        LogInfo(u"SslCertSrvIIS, the HTTPS binding %s of \"%s\" is back",
                binding.bindingInformation, site);
        recreated.push_back(&change);
    }
    if (recreated.empty())
        return ok;
    if (!iis_.sites->CommitChanges(problem)) {
        AddUserNote(u"The IIS configuration cannot be saved: " + problem + u".");
        return false;
    }
    // Each with the certificate it had, when its endpoint has none now and
    // the store still holds it.
    for (const RecordedChange* change : recreated) {
        const std::u16string hash = change->Value(u"certHash");
        const BindingEndpoint ep = ParseBindingInformation(change->Value(u"bindingInformation"));
        const TlsEndpoint endpoint = UsesHostNameCertificate(change->Value(u"sslFlags"))
                                         ? TlsEndpoint{ep.host, ep.port, true}
                                         : TlsEndpoint{TlsAddressOf(ep.ip), ep.port, false};
        TlsBinding now;
        bool found = false;
        if (hash.empty() || !iis_.tlsBindings->Query(endpoint, now, found, problem) || found ||
            !iis_.store->Contains(std::u16string(kStore), hash)) {
            continue;
        }
        if (!iis_.tlsBindings->Add({endpoint, hash, std::u16string(kStore), appId_}, problem)) {
            AddUserNote(u"The certificate cannot be bound to " + endpoint.Text() + u" again: " +
                        problem + u".");
            ok = false;
        }
    }
    return ok;
}

bool SslCertSrvIIS::PutRenewalInPlace(const DeploymentRecord& deployment) {
    InstallIssuedCertificate();
    bool any = false;
    for (const RecordedChange& change : deployment.changes) {
        if (change.type != kTlsBindingChange)
            continue;
        BindCertificate(EndpointOf(change));
        any = true;
    }
    return any;
}

void SslCertSrvIIS::RenewalServed(DeploymentRecord& deployment) {
    // An undo compares what is bound with what the deployment bound: the
    // renewed certificate is the deployment's own now.
    for (RecordedChange& change : deployment.changes) {
        for (auto& [name, value] : change.values) {
            if (change.type == kTlsBindingChange && name == u"hash")
                value = certHash_;
        }
    }
    if (!deployment.Save())
        LogWarn(u"SslCertSrvIIS, the deployment record %s keeps the former certificate",
                deployment.RecordPath());
}

void SslCertSrvIIS::RestoreWeb() {
    RunOperation("SslCertSrvIIS::RestoreWeb", [&] {
        LogTrace("SslCertSrvIIS::RestoreWeb");
        LogTrace("SslCertSrvIIS::RestoreWeb");
        std::vector<IisSite> sites;
        std::u16string problem;
        if (!iis_.sites->ReadSites(sites, problem)) {
            AddUserNote(u"The IIS configuration cannot be read: " + problem + u".");
            ThrowResult(result::kIisRestoreInitializeFailed);
        }
        SslCertSrvBase::RestoreWeb();
    });
}

}  // namespace qm
