// A deployer whose state the unit tests set directly: no process, no
// center; the installation is a temporary folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "deploy/nginx/sslcertsrvnginx.h"

namespace qm::test {

class NginxUnderTest : public SslCertSrvNginx {
public:
    void SetRoot(const std::u16string& root) { webServiceRoot_ = root; }
    void SetPorts(int32_t http, int32_t https) {
        httpPort_ = http;
        httpsPort_ = https;
    }
    void SetConfText(const std::u16string& text) { UseConfigurationText(text); }
    void SetConfFilePath(const std::u16string& path) { confFilePath_ = path; }
    void SetCertFiles(const std::u16string& cert, const std::u16string& key) {
        certFilePath_ = cert;
        keyFilePath_ = key;
    }
    void SetCertName(const std::u16string& name) { certName_ = name; }
    void SetUsedCertFiles(std::vector<std::u16string> used) { usedCertFiles_ = std::move(used); }
    void SetInputDomains(std::vector<std::u16string> domains) {
        inputDomains_ = std::move(domains);
    }
    void SetSites(std::vector<SiteInfo> sites) { sites_ = std::move(sites); }
    void SetDefaults(const std::u16string& root, const std::u16string& index) {
        defaultRoot_ = root;
        defaultIndex_ = index;
    }
    void SetDefaultSites(std::vector<SiteInfo> sites) { defaultSites_ = std::move(sites); }
    std::u16string Alias(const std::u16string& name) const { return ResolveAlias(name); }
    std::u16string SiteDir(const std::u16string& value) const { return SiteDirForRoot(value); }
};

// A text as configuration files hold it (one character per byte), and back.
inline std::u16string Bytes(std::string_view text) {
    std::u16string out;
    for (char c : text)
        out.push_back(static_cast<unsigned char>(c));
    return out;
}
inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(static_cast<char>(c));
    return out;
}

// The blocks of a text as the deployer splits them.
std::vector<std::u16string> BlocksOf(NginxUnderTest& d, const std::u16string& text);

}  // namespace qm::test
