// The IIS site administration: the sites IIS knows, their state, document
// roots and bindings, and the binding edits a deployment makes. Edits are
// held until CommitChanges, as IIS's own administration holds them.
//
// Windows: IIS's administration interfaces. POSIX: applicationHost.config in
// IIS's own schema, edited so that every byte an edit does not concern stays
// as it was (posix/filesiteadministration.h).
#pragma once

#include <string>
#include <vector>

namespace qm {

struct IisBinding {
    std::u16string protocol;            // "http", "https", "net.tcp"...
    std::u16string bindingInformation;  // "IP:PORT:HOST"
    std::u16string sslFlags;            // as written; empty when absent

    bool operator==(const IisBinding&) const = default;
};

struct IisSite {
    std::u16string name;
    std::u16string state;  // "Started", "Stopped"; empty when it cannot be read
    // Of every application's virtual directories, in document order, as
    // written (environment references not expanded).
    std::vector<std::u16string> physicalPaths;
    std::vector<IisBinding> bindings;
};

class IisSiteAdministration {
public:
    virtual ~IisSiteAdministration() = default;

    // Every site, in configuration order; false with `problem` when the
    // configuration cannot be read.
    virtual bool ReadSites(std::vector<IisSite>& sites, std::u16string& problem) = 0;
    // Adds a binding at the end of the site's bindings.
    virtual bool AddBinding(const std::u16string& site, const IisBinding& binding,
                            std::u16string& problem) = 0;
    // Removes the site's binding equal to `binding`; true when it is not
    // there (already removed).
    virtual bool RemoveBinding(const std::u16string& site, const IisBinding& binding,
                               std::u16string& problem) = 0;
    // Turns the site's binding `from` into `to` where it stands; true when
    // `to` is there already. An empty sslFlags removes the attribute.
    virtual bool ReplaceBinding(const std::u16string& site, const IisBinding& from,
                                const IisBinding& to, std::u16string& problem) = 0;
    // Makes the edits permanent (IIS applies them at once).
    virtual bool CommitChanges(std::u16string& problem) = 0;
    // Whether the web service must restart before committed bindings serve.
    virtual bool RestartNeeded() const = 0;
    // Restarts the web service (every site).
    virtual bool Restart(std::u16string& problem) = 0;
    // Whether a binding can choose its certificate by host name (SNI).
    virtual bool SupportsHostNameCertificates() const = 0;
    // Where the configuration lives, for messages and the lock per server.
    virtual std::u16string ConfigurationPath() const = 0;
};

}  // namespace qm
