// Discovery: the installation behind the listening JVM, Server.xml, the
// version, the hosts and their aliases, the HTTPS connector.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "deploy/tomcat/sslcertsrvtomcat.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

std::u16string WithoutWhitespace(const std::u16string& text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n' && c != u'\f' && c != u'\v')
            out.push_back(c);
    }
    return out;
}

std::u16string AsFolder(std::u16string path) {
    if (!path.empty())
        EnsureTrailingSeparator(path);
    return path;
}

}  // namespace

SslCertSrvTomcat::SslCertSrvTomcat() = default;
SslCertSrvTomcat::~SslCertSrvTomcat() = default;

void SslCertSrvTomcat::GetWebServiceInfo() {
    RunOperation("SslCertSrvTomcat::GetWebServiceInfo", [&] {
        SslCertSrvBase::GetWebServiceInfo();
        const auto running = ReadProcessLaunch(static_cast<ProcessId>(webServicePid_));
        launch_ = running ? *running : ProcessLaunch();
        if (launch_.program.empty())
            launch_.program = webServicePath_;
        serviceUnit_ = ServiceNameOfProcess(static_cast<ProcessId>(webServicePid_));

        if (IsJavaProgram(FileNameOf(webServicePath_))) {
            // A JVM started by Tomcat's scripts (or a unit): catalina.base
            // and catalina.home from its own command line, else from its
            // environment, else from ours.
            TomcatFolders folders = TomcatFoldersOf(launch_.arguments, launch_.environment);
            if (folders.home.empty()) {
                folders.home = GetEnvironmentValue(u"CATALINA_HOME");
                if (folders.base.empty())
                    folders.base = folders.home;
            }
            if (folders.base.empty()) {
                AddUserNote(
                    u"Java runs on the ports, but neither its command line nor its "
                    u"environment names catalina.base or CATALINA_HOME.");
                ThrowResult(result::kEnvVariableNotExist);
            }
            catalinaHome_ = AsFolder(PathAgainst(folders.home, launch_.directory));
            catalinaBase_ = AsFolder(PathAgainst(folders.base, launch_.directory));
            launchedByScripts_ = true;
        } else {
            // Tomcat's own executable, in the installation's bin/.
            const std::u16string bin = WithoutTrailingSeparator(DirectoryOf(webServicePath_));
            catalinaHome_ = catalinaBase_ = DirectoryOf(bin);
            launchedByScripts_ = false;
        }
        if (catalinaHome_.empty())
            catalinaHome_ = catalinaBase_;
        webServiceRoot_ = catalinaBase_;
        LogInfo(u"tomcat base: %s, home: %s", catalinaBase_, catalinaHome_);
        if (!serviceUnit_.empty())
            LogInfo(u"tomcat runs in the systemd unit %s", serviceUnit_);
        LoadServerXml();
    });
}

void SslCertSrvTomcat::UseInstallation(const std::u16string& catalinaBase,
                                       const std::u16string& catalinaHome) {
    catalinaBase_ = AsFolder(catalinaBase);
    catalinaHome_ = AsFolder(catalinaHome.empty() ? catalinaBase : catalinaHome);
    webServiceRoot_ = catalinaBase_;
    LoadServerXml();
}

// conf/Server.xml of the base; Windows does not tell "server.xml" from
// "Server.xml", so neither does this lookup.
void SslCertSrvTomcat::LoadServerXml() {
    const std::u16string conf = catalinaBase_ + u"conf" + PathSeparator();
    serverXmlPath_ = conf + u"Server.xml";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(FsPath(conf), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::u16string name = WidePath(it->path().filename());
        if (EqualsIgnoreCaseAscii(name, u"server.xml")) {
            serverXmlPath_ = conf + name;
            break;
        }
    }
    if (!serverXml_.Load(serverXmlPath_)) {
        LogError(u"SslCertSrvTomcat, cannot load %s: %s", serverXmlPath_, serverXml_.ResultText());
        AddUserNote(u"Tomcat's configuration " + serverXmlPath_ +
                    u" cannot be read or is not well-formed XML.");
        ThrowResult(result::kWebServiceNotRunning);
    }
    crlfFile_ = serverXml_.GetDocument().find(u"\r\n") != std::u16string::npos;
    LogInfo(u"tomcat configuration: %s", serverXmlPath_);
}

void SslCertSrvTomcat::GoToService() {
    serverXml_.ResetPosition();
    if (!serverXml_.FindElement(u"Server") || !serverXml_.IntoElement() ||
        !serverXml_.FindElement(u"Service") || !serverXml_.IntoElement())
        ThrowResult(result::kUndefined);
}

void SslCertSrvTomcat::GoToEngine() {
    GoToService();
    if (!serverXml_.FindElement(u"Engine") || !serverXml_.IntoElement())
        ThrowResult(result::kUndefined);
}

void SslCertSrvTomcat::GetTomcatVersion() {
    LogTrace("%s", "SslCertSrvTomcat::GetTomcatVersion");
    std::u16string jar = catalinaHome_ + NativeSeparators(u"lib/catalina.jar");
    if (!FileExists(jar))
        jar = catalinaHome_ + NativeSeparators(u"server/lib/catalina.jar");
    std::u16string version;
    if (!ReadCatalinaVersion(jar, version))
        return;
    if (!version.empty())
        webVersion_ = version;
    protocolsAttrName_ =
        CompareVersions(webVersion_, u"6.0.38.0") > 0 ? u"sslEnabledProtocols" : u"sslProtocols";
    // Tomcat 8.5 took the TLS settings from the connector into
    // SSLHostConfig and Certificate; later versions refuse some of the old
    // connector attributes.
    sslHostConfigForm_ = CompareVersions(webVersion_, u"8.5") >= 0;
    LogInfo(u"Tomcat Version is %s", webVersion_);
}

bool SslCertSrvTomcat::HasHttpsConnector() {
    GoToService();
    const std::u16string port = FormatWide(u"%d", httpsPort_);
    while (serverXml_.FindElement(u"Connector")) {
        if (serverXml_.GetAttribute(u"port") == port &&
            serverXml_.GetAttribute(u"SSLEnabled") == u"true" &&
            serverXml_.GetAttribute(u"scheme") == u"https" &&
            serverXml_.GetAttribute(u"secure") == u"true")
            return true;
    }
    return false;
}

std::u16string SslCertSrvTomcat::AppBaseDir(const std::u16string& appBase) const {
    // An absolute appBase is where Tomcat looks; a relative one is read
    // against catalina.base.
    std::u16string dir = PathAgainst(NativeSeparators(appBase), catalinaBase_);
    if (dir.empty())
        dir = catalinaBase_;
    return AsFolder(dir);
}

void SslCertSrvTomcat::GetSitesInfo(std::vector<std::u16string>& siteAddrs) {
    RunOperation("SslCertSrvTomcat::GetSitesInfo", [&] {
        siteAddrs.clear();
        sites_.clear();
        const bool https = HasHttpsConnector();
        GoToService();
        if (!serverXml_.FindElement(u"Engine"))
            ThrowResult(result::kUndefined);
        defaultHost_ = serverXml_.GetAttribute(u"defaultHost");
        if (!serverXml_.IntoElement())
            ThrowResult(result::kUndefined);
        while (serverXml_.FindElement(u"Host")) {
            const std::u16string name = serverXml_.GetAttribute(u"name");
            if (name.empty())
                continue;
            SiteInfo site;
            site.siteAddr = ToLowerAscii(WithoutWhitespace(name));
            site.siteDir =
                AppBaseDir(serverXml_.GetAttribute(u"appBase")) + u"ROOT" + PathSeparator();
            site.sitePort = https ? httpsPort_ : httpPort_;
            site.isHttps = https;
            siteAddrs.push_back(site.siteAddr);
            sites_.push_back(site);
            if (site.siteAddr == ToLowerAscii(WithoutWhitespace(defaultHost_)))
                mainSite_ = site;
            serverXml_.IntoElement();
            while (serverXml_.FindElement(u"Alias")) {
                SiteInfo alias = site;
                alias.siteAddr = ToLowerAscii(WithoutWhitespace(serverXml_.GetContent()));
                if (alias.siteAddr.empty())
                    continue;
                siteAddrs.push_back(alias.siteAddr);
                sites_.push_back(alias);
            }
            serverXml_.OutOfElement();
        }
        std::sort(siteAddrs.begin(), siteAddrs.end());
        siteAddrs.erase(std::unique(siteAddrs.begin(), siteAddrs.end()), siteAddrs.end());
        RemoveDuplicateSites(sites_);
        LogInfo("tomcat: %d sites, HTTPS connector %d", static_cast<int>(sites_.size()),
                https ? 1 : 0);
    });
}

void SslCertSrvTomcat::CollectKeystoreFiles() {
    GoToService();
    while (serverXml_.FindElement(u"Connector")) {
        if (serverXml_.GetAttribute(u"SSLEnabled") != u"true" ||
            serverXml_.GetAttribute(u"scheme") != u"https" ||
            serverXml_.GetAttribute(u"secure") != u"true")
            continue;
        keystoreFiles_.push_back(serverXml_.GetAttribute(u"keystoreFile"));
        keystoreFiles_.push_back(serverXml_.GetAttribute(u"truststoreFile"));
        // The form of Tomcat 8.5 and later names its key stores inside.
        serverXml_.IntoElement();
        while (serverXml_.FindElement(u"SSLHostConfig")) {
            keystoreFiles_.push_back(serverXml_.GetAttribute(u"truststoreFile"));
            serverXml_.IntoElement();
            while (serverXml_.FindElement(u"Certificate"))
                keystoreFiles_.push_back(serverXml_.GetAttribute(u"certificateKeystoreFile"));
            serverXml_.OutOfElement();
        }
        serverXml_.OutOfElement();
        break;
    }
    std::sort(keystoreFiles_.begin(), keystoreFiles_.end());
    keystoreFiles_.erase(std::unique(keystoreFiles_.begin(), keystoreFiles_.end()),
                         keystoreFiles_.end());
}

void SslCertSrvTomcat::MakeUniqueCertName() {
    RunOperation("SslCertSrvTomcat::MakeUniqueCertName", [&] {
        CollectKeystoreFiles();
        usedCertFiles_ = keystoreFiles_;
        PickUnusedCertName({u".pfx"});
    });
}

}  // namespace qm
