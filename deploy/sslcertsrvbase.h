// SslCertSrvBase: carries one deployment for one web server through its
// stages - find the serving process, read the sites (deployer), choose the
// sites for the requested domains, obtain the certificate (waiting through a
// deferred review), back up, configure and restart (deployer).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "deploy/acmesource.h"
#include "deploy/deploymentrecord.h"
#include "deploy/siteinfo.h"
#include "enrollment/certcentercomm.h"
#include "enrollment/domainverifyinfo.h"
#include "foundation/filelock.h"

namespace qm {

// Progress of BindCertToSite.
enum DeployStage : int32_t {
    kStageIdle = 0,
    kStageObtaining = 1,
    kStageWaitingDeferred = 2,
    kStageObtained = 3,
    kStageConfiguring = 4,
    kStageConfigured = 5,
};

class SslCertSrvBase {
public:
    SslCertSrvBase();
    virtual ~SslCertSrvBase();
    SslCertSrvBase(const SslCertSrvBase&) = delete;
    SslCertSrvBase& operator=(const SslCertSrvBase&) = delete;

    // Stores the centre's address and the ports, then finds the web service.
    virtual void Initialize(const std::u16string& certCenterUrl, int32_t httpPort,
                            int32_t httpsPort);
    // Deployers fill the site model and return the sorted site addresses.
    virtual void GetSitesInfo(std::vector<std::u16string>& siteAddrs);
    // The stage driver: certificate, backup, configuration, restart.
    virtual void BindCertToSite(const std::vector<std::u16string>& domains, int32_t certType);
    virtual void GetDeployStage(int32_t& stage) const;
    // Undo of the last deployment: copies back the recorded files, restarts.
    virtual void RestoreWeb();
    // Enrollment; deployers prepare the request around it.
    virtual void GetCertificate();
    virtual std::u16string GetWebServiceRoot() const;
    virtual void GetCertExpireTime(CalendarTime& expireTime) const;
    // Finds the process listening on the ports; deployers then check it is
    // their server and derive webServiceRoot.
    virtual void GetWebServiceInfo();
    virtual void MakeUniqueCertName();
    // Where the certificate and key files go: webServiceRoot + "conf/sslcert/".
    virtual std::u16string CertificateDirectory() const;
    virtual void CheckInputDomains(const std::vector<std::u16string>& domains);
    virtual void SetInputDomainUnknown(const std::vector<std::u16string>& domains);
    virtual void ConfigCert();
    virtual void ApplyConfig();
    virtual void StopWebService();
    virtual void StartWebService();
    virtual void BackupWeb();
    virtual bool AcceptsUserDomains();

    // ---- Deployments as transactions ----
    // BindCertToSite either completes (configuration changed, the server
    // serving the new certificate, the record committed) or puts back every
    // file it changed, removes every file it created and brings the server
    // back as it was. Its record (see deploymentrecord.h) is the journal
    // that lets a later run finish that rollback after a crash.

    // A step run inside the deployment, after the server took the change
    // and before the commit; its failure rolls the deployment back (the
    // task driver saves the deployment settings here). The state files it
    // writes are recorded first, so a rollback or an undo puts them back.
    void SetBeforeCommit(std::function<void()> step, std::vector<std::u16string> stateFiles = {}) {
        beforeCommit_ = std::move(step);
        beforeCommitFiles_ = std::move(stateFiles);
    }
    // Undoes the newest deployment in force: checks every backup copy and
    // every changed file first, restores, verifies each restore, makes the
    // server take it (starting it from its recorded launch when it is not
    // running). Files edited since the deployment make it refuse unless
    // `force`; a copy of each edited file is kept beside the backup.
    void UndoLastDeployment(bool force);
    // Renews the certificate of the deployment in force for the same names
    // without editing the server's configuration: a new certificate from
    // the center (waiting through a deferred review), written over the
    // files the configuration names (the previous ones kept beside them as
    // ".previous"), the server reloaded and the new certificate checked on
    // the wire. A renewal has a record of its own ("Renewal/" in the service
    // directory): any failure, and a later run after a crash, puts the
    // previous files back and reloads. The deployment's undo record is not
    // touched. Call after Initialize and GetSitesInfo.
    void RenewCertificate(const std::vector<std::u16string>& domains, int32_t certType);
    // Finishes what an interrupted run left: rolls back an unfinished
    // deployment, or completes an unfinished undo.
    void RecoverRecord(const DeploymentRecord& record);
    // Lines for the operator beside the result: what the server said, which
    // files, what a recovery found and did.
    std::vector<std::u16string> TakeUserNotes();
    // The kind of server ("nginx"), as records name it.
    virtual std::u16string ServerKind() const;
    // The configuration this deployer changes (for the lock per server).
    virtual std::u16string ConfigurationIdentity() const;
    // The record of the last deployment in this engine (empty folder: none).
    const DeploymentRecord* CurrentRecord() const { return record_.get(); }

    // Milliseconds between polls for a deferred certificate.
    void SetDeferPollInterval(int32_t milliseconds) { deferPollInterval_ = milliseconds; }
    // Asks a waiting GetCertificate to give up at its next poll (the request
    // stays deferred at the centre and a later run resumes it).
    void RequestStop() { stopRequested_ = true; }
    // The trust anchor for the centre's TLS certificate (empty: system store).
    void SetCertCenterCaFile(const std::u16string& caFile) { certCenterCaFile_ = caFile; }
    // Obtains the certificate from the ACME CA whose directory URL is the
    // centre's address (see acmesource.h) instead of the enrollment centre.
    void SetAcmeSource(AcmeSource source) { acme_ = std::move(source); }
    const AcmeSource& acmeSource() const { return acme_; }

    // Site selection for inputDomains (see siteselection.cpp).
    void ConstructSelSiteInfo();
    static std::u16string ToggleWww(const std::u16string& text);

    void SetWebTypeVersion(const std::u16string& type, const std::u16string& version);
    void SetCertParams(const std::u16string& keyPassword, const std::u16string& certName,
                       int32_t certType);
    bool FindSiteByAddr(const std::u16string& addr, SiteInfo& site) const;
    bool ContainsSiteAddr(const std::u16string& addr) const;
    bool ContainsSiteOrToggled(const std::u16string& addr) const;
    bool HasSecondSiteDir() const;
    bool AnyInputDomainUnknown(const std::vector<std::u16string>& domains) const;
    void CollectUnknownInputDomains(std::vector<std::u16string>& unknown) const;
    static void RemoveDuplicateSites(std::vector<SiteInfo>& sites);
    void CreateCRS(std::string& csr, const std::string& commonName, const std::string& password);
    // Copies the files (keys of the map) into the backup folder, stores each
    // copy's path as the value, and rewrites the undo record.
    void BackupWebConfig(std::map<std::u16string, std::u16string>& files);

    // Read access for the task driver and for tests.
    const std::vector<SiteInfo>& sites() const { return sites_; }
    const std::vector<SiteInfo>& selectedSites() const { return selectedSites_; }
    const std::vector<std::u16string>& inputDomains() const { return inputDomains_; }
    const SiteInfo& mainSite() const { return mainSite_; }
    const std::u16string& certName() const { return certName_; }
    const std::string& certPem() const { return certPem_; }
    const std::string& chainPem() const { return chainPem_; }
    const std::string& privateKeyPem() const { return privateKeyPem_; }
    int32_t httpPort() const { return httpPort_; }
    int32_t httpsPort() const { return httpsPort_; }

    // Path of the undo record: program directory + "Config/Backup/Backup.xml".
    static std::u16string BackupRecordPath();
    // Folder of the backup copies.
    static std::u16string BackupDirectory();

protected:
    // ---- Transaction hooks for deployers ----
    // Records a file before its first change (copy and hash in the record);
    // does nothing outside a deployment or for a file already recorded.
    void RecordFileChange(const std::u16string& path, bool state = false);
    // Records a file the deployment is about to create (removed again by a
    // rollback); an existing file is recorded as a change instead.
    void RecordCreatedFile(const std::u16string& path);
    // Records a change about to be made through the server's administration
    // (written before it is made); returns its place in the record.
    size_t RecordChange(RecordedChange change);
    // Updates a recorded change (what it became), written at once.
    void UpdateRecordedChange(size_t index, RecordedChange change);
    void SetDeploymentPhase(std::u16string_view phase);
    // The step set by SetBeforeCommit, its state files recorded first.
    void RunBeforeCommit();
    // Before the server is reloaded or restarted with recorded changes: a
    // rollback then makes it take the restored files again.
    void NoteServerTouched();
    void AddUserNote(std::u16string note);
    // How to bring the server back: its launch, unit and own facts.
    virtual void DescribeServer(ServerRecord& server) const;
    // Takes that description from a record when the server is not running.
    virtual void AdoptServer(const ServerRecord& server);
    // Whether the server listens on its ports now.
    virtual bool ServerRunning();
    // After files were restored: the server takes them (a reload when it
    // runs, else a start from its launch).
    virtual void ApplyRestoredConfig();
    // Takes back the recorded changes made through the server's
    // administration (rollback and undo alike); false, with notes, when
    // one cannot be.
    virtual bool RestoreRecordedChanges(DeploymentRecord& record);
    // What of the recorded changes someone else altered since the
    // deployment (an undo would overwrite it): one line each.
    virtual void CollectAlteredChanges(const DeploymentRecord& record,
                                       std::vector<std::u16string>& altered);
    // The certificate files of the deployment in force with their new
    // content, for a renewal; empty when this server is not renewed by
    // files. The default knows the deployers' PEM files among the files the
    // deployment created: NAME.crt (with the chain unless a NAME.chain.crt
    // holds it), NAME.chain.crt and NAME.key.
    struct RenewedFile {
        std::u16string path;
        std::string content;
        bool secret = false;  // a private key: owner-only
        // When set, the file gets the owner and group of this one (a server
        // that does not run as the owner reads it through its group).
        std::u16string shareWithGroupOf;
    };
    virtual std::vector<RenewedFile> RenewedFiles(const DeploymentRecord& deployment) const;
    // Files a server needs beside the ACME challenges to serve them (a
    // folder's own settings), name and content; placed with the first
    // challenge where missing and removed with the last. None by default.
    virtual std::vector<std::pair<std::u16string, std::string>> ChallengeFolderFiles() const {
        return {};
    }
    // Puts the renewed certificate where the server takes it from, every
    // change recorded first; false when there is nothing to put. The
    // default writes RenewedFiles (the previous ones kept as ".previous").
    virtual bool PutRenewalInPlace(const DeploymentRecord& deployment);
    // After a renewal is served: what the deployment in force must know of
    // it (a certificate bound through the server's administration).
    virtual void RenewalServed(DeploymentRecord& deployment);
    // Where the deployed certificate must be served once applied (none: not
    // checked).
    virtual std::vector<WireTarget> WireTargets() const;
    // Waits until every target serves the certificate (`served`) or no
    // longer serves it; false at the time-out.
    bool WaitForServedCertificate(const std::vector<WireTarget>& targets,
                                  const std::string& fingerprint, bool served, int timeoutMs);

    // ---- The server's processes ----
    // The process listening on a port (0: none; an unreadable socket table
    // counts as none yet).
    static ProcessId PortListener(int32_t port);
    // The listener of the HTTP port, else of the HTTPS port.
    ProcessId ConfiguredPortListener() const;
    // The configured ports something listens on now.
    std::vector<int32_t> ListeningConfiguredPorts() const;
    // The one process holding every port (0: none, or not one process).
    static ProcessId CommonListener(const std::vector<int32_t>& ports);
    // Starts a server from its launch without waiting for it.
    static void StartFromLaunch(const ProcessLaunch& launch);
    // Picks the certificate name: certName_, else certName_ + "(1)", "(2)"...,
    // the first whose files (certName_ + each suffix) no configured line names.
    void PickUnusedCertName(std::initializer_list<std::u16string_view> suffixes);

    DomainVerifyInfo MakeDomainVerifyInfo(const SiteInfo& site) const;
    bool FindRelatedSite(const SiteInfo& site, SiteInfo& related) const;
    void BackupFiles(std::map<std::u16string, std::u16string>& files);
    void LogGetCertificateBeginParam() const;
    // One request attempt: verification, key pair and request, certificate.
    void RequestCertificate(const std::vector<DomainVerifyInfo>& verifyList);
    void TakeIssuedCertificate();
    // Sleeps one poll interval; false when a stop was requested.
    bool WaitBeforeNextPoll();
    // The certificate stage over ACME (acmecertificate.cpp): the names of
    // the selected sites, the http-01 files in each site of a name, the order.
    void ObtainOverAcme();
    std::vector<std::string> AcmeNames() const;
    std::vector<std::u16string> ChallengeRoots(const std::string& name) const;
    void PlaceChallenge(const std::string& name, const std::string& token,
                        const std::string& keyAuthorization);
    void RemoveChallenge(const std::string& name, const std::string& token);

    std::unique_ptr<CertCenterComm> certCenter_;
    std::atomic<int32_t> deployStage_{kStageIdle};
    int32_t stopTimeout_ = 10000;
    std::u16string certCenterUrl_;
    std::u16string certCenterCaFile_;
    AcmeSource acme_;
    int32_t httpPort_ = 80;
    int32_t httpsPort_ = 443;
    bool webServiceIsService_ = false;
    std::u16string webServicePath_;
    std::u16string webServiceRoot_;
    int32_t webServicePid_ = 0;
    SiteInfo mainSite_;
    std::vector<SiteInfo> sites_;
    std::vector<std::u16string> inputDomains_;
    std::vector<SiteInfo> selectedSites_;
    std::u16string webType_;
    std::u16string webVersion_ = u"0.0.0.0";
    int32_t certType_ = 0;
    std::u16string keyPassword_;
    std::u16string certName_;
    CalendarTime certExpireTime_{};
    std::string privateKeyPem_;
    std::string certPem_;
    std::string chainPem_;
    std::vector<std::string> chainCerts_;
    std::string pfxPassword_ = "plenkovar";
    // Where enrollment writes the issued files (empty: CertificateDirectory()).
    std::u16string certificateStaging_;
    std::vector<std::u16string> usedCertFiles_;
    std::vector<std::u16string> httpListenAddrs_;
    std::vector<std::u16string> httpsListenAddrs_;

    // How long a server may take until it serves what was applied.
    int32_t applyWaitMs_ = 15000;
    // How long a removed certificate must stay away before that counts.
    static constexpr int kRemovalSettleMs = 1000;

private:
    void BeginDeployment();
    void BeginRecord(const DeploymentHistory& history);
    void RecoverRenewal();
    void CommitDeployment();
    // Takes back what the record holds; notes say what could not be.
    void RollBack(DeploymentRecord& record);
    bool RestoreRecordedFiles(DeploymentRecord& record, bool deleteCreated);
    void FinishUndo(DeploymentRecord& record);
    void CheckInterrupt() const;
    // Holds the lock of the configuration this deployer changes, until the
    // operation that took it ends.
    void LockConfiguration();
    struct ConfigurationLockRelease {
        FileLock& lock;
        ~ConfigurationLockRelease() { lock.Release(); }
    };
    void WriteUndoRecordMirror() const;
    void RestoreLegacyRecord();

    int32_t deferPollInterval_ = 15000;
    std::atomic<bool> stopRequested_{false};
    std::function<void()> beforeCommit_;
    std::vector<std::u16string> beforeCommitFiles_;
    std::unique_ptr<DeploymentRecord> record_;
    std::vector<std::u16string> userNotes_;
    FileLock configLock_;
};

}  // namespace qm
