// The IIS site administration through IIS's own administration objects:
// the writable admin manager ("Microsoft.ApplicationHost.WritableAdminManager")
// on MACHINE/WEBROOT/APPHOST, section system.applicationHost/sites, the same
// configuration IIS Manager and appcmd edit. Edits stay in the admin manager
// until CommitChanges; while none are pending every read starts from a fresh
// one, so it sees what others committed in the meantime.
//
// A site's state is its "state" property, which IIS answers from the
// running Windows Process Activation Service: empty when it cannot (the
// service is stopped). IIS serves committed bindings at once, so no restart
// is needed; Restart stops and starts every started site through the
// site's "Stop" and "Start" methods. Host-name certificates (SNI) need IIS 8
// or later (the MajorVersion IIS writes under HKLM\SOFTWARE\Microsoft\InetStp).
//
// COM is initialised on first use, in the multithreaded apartment unless
// the calling thread already has one; the object belongs to that thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "deploy/iis/iissiteadministration.h"

namespace qm {

class ComSiteAdministration : public IisSiteAdministration {
public:
    ComSiteAdministration();
    ~ComSiteAdministration() override;
    ComSiteAdministration(const ComSiteAdministration&) = delete;
    ComSiteAdministration& operator=(const ComSiteAdministration&) = delete;

    bool ReadSites(std::vector<IisSite>& sites, std::u16string& problem) override;
    bool AddBinding(const std::u16string& site, const IisBinding& binding,
                    std::u16string& problem) override;
    bool RemoveBinding(const std::u16string& site, const IisBinding& binding,
                       std::u16string& problem) override;
    bool ReplaceBinding(const std::u16string& site, const IisBinding& from, const IisBinding& to,
                        std::u16string& problem) override;
    bool CommitChanges(std::u16string& problem) override;
    bool RestartNeeded() const override { return false; }
    bool Restart(std::u16string& problem) override;
    bool SupportsHostNameCertificates() const override { return iisMajorVersion_ >= 8; }
    std::u16string ConfigurationPath() const override { return configurationPath_; }

    // IIS's major version; 0 when IIS is not installed.
    unsigned long IisMajorVersion() const { return iisMajorVersion_; }

private:
    struct Com;

    // An admin manager to read or edit through: the one holding pending
    // edits, else a fresh one.
    bool Ensure(std::u16string& problem);
    // Drops the pending edits with the admin manager that holds them.
    void Discard();
    // The end of an edit: pending on success; else `failure` and the
    // system's words in `problem`, and every pending edit discarded.
    bool EditDone(long hr, const std::u16string& failure, std::u16string& problem);  // an HRESULT

    std::unique_ptr<Com> com_;
    bool pending_ = false;
    unsigned long iisMajorVersion_ = 0;
    std::u16string configurationPath_;
};

}  // namespace qm
