// The IIS site administration over an applicationHost.config of our own in
// IIS's schema (configuration/system.applicationHost/sites/site, with
// application/virtualDirectory physicalPath and bindings/binding protocol,
// bindingInformation and sslFlags). A site's state is its "state"
// attribute; without one it is started unless serverAutoStart is "false".
//
// Edits are spliced into the text and written at CommitChanges through an
// atomic replace: a binding added takes a line of its own in the indentation
// and line ends of its neighbours, and removing it takes exactly that line
// again, so an edit and its reverse leave the file byte for byte as it was.
// The stand-in web service reads the file itself; a restart is asked of it
// with a reload signal to the process its "w3svc.pid" names.
#pragma once

#include <string>
#include <vector>

#include "deploy/iis/iissiteadministration.h"
#include "foundation/xmldocument.h"

namespace qm {

class FileSiteAdministration : public IisSiteAdministration {
public:
    // `home`: the folder of applicationHost.config, ending in a separator.
    explicit FileSiteAdministration(std::u16string home);

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
    bool SupportsHostNameCertificates() const override { return true; }
    std::u16string ConfigurationPath() const override { return path_; }

private:
    // Loads the file unless edits are pending.
    bool Ensure(std::u16string& problem);
    // Positions the document inside the sites section.
    bool GoToSites(std::u16string& problem);
    // Positions the document on the site's "bindings" element.
    bool GoToBindings(const std::u16string& site, std::u16string& problem);
    // Positions the document on the binding of `bindings` equal to `binding`
    // (protocol and binding information, in any letter case).
    bool FindBinding(const IisBinding& binding);
    bool Splice(size_t pos, size_t length, const std::u16string& text, std::u16string& problem);

    std::u16string home_;
    std::u16string path_;
    XmlDocument doc_;
    bool pending_ = false;
};

}  // namespace qm
