// A deployer whose state the unit tests set directly: no process, no
// center; the installation is a tree in a temporary folder, read the way
// Apache reads it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "deploy/apache/sslcertsrvapache.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm::test {

class ApacheUnderTest : public SslCertSrvApache {
public:
    using SslCertSrvApache::CreateHttpsSiteNode;
    using SslCertSrvApache::DefaultHost;
    using SslCertSrvApache::PreferredSslFile;

    void Use(const std::u16string& root, const std::u16string& conf,
             std::vector<std::u16string> defines = {}) {
        UseInstallation(root, conf, std::move(defines));
    }
    void SetPorts(int32_t http, int32_t https) {
        httpPort_ = http;
        httpsPort_ = https;
    }
    void SetInputDomains(std::vector<std::u16string> domains) {
        inputDomains_ = std::move(domains);
    }
    // The certificate files a deployment would have written (in `dir`).
    void SetCertificate(const std::u16string& dir, const std::u16string& name) {
        certName_ = name;
        certFilePath_ = dir + name + u".crt";
        keyFilePath_ = dir + name + u".key";
        chainFilePath_ = dir + name + u".chain.crt";
        chainPem_ = "-----BEGIN CERTIFICATE-----\n";
    }
    void SetCertName(const std::u16string& name) { certName_ = name; }
    void SetSelectedSites(std::vector<SiteInfo> sites) { selectedSites_ = std::move(sites); }
    const std::vector<std::u16string>& UsedCertFiles() const { return usedCertFiles_; }
    std::vector<std::u16string> Sites() {
        std::vector<std::u16string> names;
        GetSitesInfo(names);
        return names;
    }
};

// A file below the folder, its folders made; the text as the file holds it.
inline void Put(const TempDir& dir, std::u16string_view relative, std::string_view text) {
    const std::u16string path = dir / NativeSeparators(relative);
    MakeDirectoryTree(DirectoryOf(path));
    WritePlain(path, text);
}

// A file's text; on Windows in LF form, as text files are read and written
// there in text mode (CR LF on disk).
inline std::string Get(const TempDir& dir, std::u16string_view relative) {
    std::string text;
    ReadFileBytes(dir / NativeSeparators(relative), text);
#ifdef _WIN32
    text = WithoutCrLf(text);
#endif
    return text;
}

// A folder as configuration text: with "/", as Windows configurations write
// it too (there a backslash before a closing quote would escape the quote).
inline std::string ConfPath(std::u16string path) {
    ToForwardSlashes(path);
    return Utf8FromWide(path);
}

// A path as a quoted directive argument holds it: each backslash doubled.
inline std::string Escaped(const std::u16string& path) {
    std::string out;
    for (char c : Utf8FromWide(path)) {
        if (c == '\\')
            out += c;
        out += c;
    }
    return out;
}

// An upstream layout: ROOT/conf/httpd.conf with `extra` after its own lines.
inline std::string UpstreamConf(const TempDir& root, std::string_view extra) {
    return "ServerRoot \"" + ConfPath(root.path()) +
           "\"\n"
           "Listen 80\n"
           "LoadModule mpm_event_module modules/mod_mpm_event.so\n"
           "LoadModule mime_module modules/mod_mime.so\n"
           "#LoadModule ssl_module modules/mod_ssl.so\n"
           "LoadModule dir_module modules/mod_dir.so\n"
           "\n"
           "ServerName main.example.test\n"
           "DocumentRoot \"" +
           ConfPath(root.path()) + "htdocs\"\n" + std::string(extra);
}

}  // namespace qm::test
