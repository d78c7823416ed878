// The key store and the edits of Server.xml: the HTTPS connector in the
// form the running version accepts, typed domains as hosts or aliases.
// New text is spliced in with the file's line ends and its indentation;
// attributes of existing elements change in place; nothing else moves.
#include <algorithm>

#include "Common/OpenSSL/quorp/digest.h"
#include "Common/OpenSSL/quorp/quorp.h"
#include "deploy/tomcat/sslcertsrvtomcat.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

std::u16string Normalized(const std::u16string& name) {
    std::u16string out;
    for (char16_t c : name) {
        if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n' && c != u'\f' && c != u'\v')
            out.push_back(c);
    }
    return ToLowerAscii(out);
}

std::u16string EscapeAttribute(std::u16string_view value) {
    std::u16string out;
    for (char16_t c : value) {
        switch (c) {
            case u'&':
                out += u"&amp;";
                break;
            case u'<':
                out += u"&lt;";
                break;
            case u'"':
                out += u"&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

// A password of its own for every key store: 24 random hex digits.
std::string RandomPassword() {
    std::string password = RandomHex(12);
    if (password.empty())
        ThrowResult(result::kUndefined);
    return password;
}

}  // namespace

std::u16string SslCertSrvTomcat::CertificateDirectory() const {
    return catalinaBase_ + NativeSeparators(u"conf/sslcert/");
}

void SslCertSrvTomcat::GetCertificate() {
    RunOperation("SslCertSrvTomcat::GetCertificate", [&] {
        // The request's key is kept unencrypted and owner-only (so that a
        // deferred request can be taken up by a later run); the key store
        // gets a password of its own.
        keyPassword_.clear();
        webType_ = u"tomcat";
        webVersion_ = u"0.0.0.0";
        GetTomcatVersion();
        ConstructSelSiteInfo();
        SetWebTypeVersion(webType_, webVersion_);
        const std::u16string dir = CertificateDirectory();
        RecordCreatedFile(dir);
        MakeDirectoryTree(dir);
        MakeUniqueCertName();
        pfxFilePath_ = dir + certName_ + u".pfx";
        LogInfo(u"CertPath is %s", pfxFilePath_);
        RecordCreatedFile(pfxFilePath_);
        SetCertParams(keyPassword_, certName_, certType_);
        SslCertSrvBase::GetCertificate();

        pfxPassword_ = RandomPassword();
        quorp ssl;
        quorp::PrepareLibrary();
        std::string der;
        if (!ssl.ExportPfx(certPem_, chainCerts_, privateKeyPem_, pfxPassword_,
                           NarrowFromWide(certName_), der)) {
            LogError("SslCertSrvTomcat::GetCertificate, the key store cannot be made: %s",
                     ssl.Status());
            ThrowResult(result::kUndefined);
        }
        // Readable by Tomcat (the owner and group of its Server.xml), by
        // nobody else.
        if (!WriteFileAtomic(pfxFilePath_, der, FilePrivacy::OwnerOnly)) {
            AddUserNote(u"The key store " + pfxFilePath_ + u" cannot be written.");
            ThrowResult(result::kUndefined);
        }
        if (!ShareWithGroupOf(pfxFilePath_, serverXmlPath_))
            LogWarn(u"SslCertSrvTomcat, %s keeps its owner-only access", pfxFilePath_);
        DeleteFileToRecycleBin(dir + certName_ + u".chain.crt");
        if (!UsesPemFiles()) {
            DeleteFileToRecycleBin(dir + certName_ + u".crt");
            return;
        }
        // A connector configured with PEM files keeps that form: the
        // certificate with its chain, and the key beside it.
        pemCertPath_ = dir + certName_ + u".crt";
        pemKeyPath_ = dir + certName_ + u".key";
        RecordCreatedFile(pemKeyPath_);
        std::string pem = certPem_;
        for (const auto& c : chainCerts_) {
            if (!pem.empty() && pem.back() != '\n')
                pem += '\n';
            pem += c;
        }
        if (!WriteFileAtomic(pemCertPath_, pem, FilePrivacy::Normal) ||
            !WriteFileAtomic(pemKeyPath_, privateKeyPem_, FilePrivacy::OwnerOnly)) {
            AddUserNote(u"The certificate files " + pemCertPath_ + u" cannot be written.");
            ThrowResult(result::kUndefined);
        }
        ShareWithGroupOf(pemKeyPath_, serverXmlPath_);
    });
}

// ---- Splicing Server.xml ----

std::u16string SslCertSrvTomcat::LineEnd() const {
    return crlfFile_ ? u"\r\n" : u"\n";
}

// The white space between the start of the line holding `pos` and `pos`,
// when nothing else stands there.
std::u16string SslCertSrvTomcat::IndentBefore(size_t pos) const {
    const std::u16string& text = serverXml_.GetDocument();
    size_t start = pos;
    while (start > 0 && (text[start - 1] == u' ' || text[start - 1] == u'\t'))
        --start;
    if (start > 0 && text[start - 1] != u'\n')
        return u"";
    return text.substr(start, pos - start);
}

void SslCertSrvTomcat::SpliceServerXml(size_t pos, size_t length, const std::u16string& text) {
    std::u16string document = serverXml_.GetDocument();
    document.replace(pos, length, text);
    if (!serverXml_.SetDocument(document)) {
        LogError(u"SslCertSrvTomcat, an edit broke Server.xml: %s", serverXml_.ResultText());
        ThrowResult(result::kUndefined);
    }
}

// The indentation of the children of the current element: that of its
// first child, else its own and one step more.
std::u16string SslCertSrvTomcat::ChildIndent() {
    XmlDocument::Span self;
    serverXml_.GetElementSpan(self);
    std::u16string indent = IndentBefore(self.start) + u"  ";
    serverXml_.IntoElement();
    XmlDocument::Span child;
    if (serverXml_.FindElement() && serverXml_.GetElementSpan(child) &&
        !IndentBefore(child.start).empty())
        indent = IndentBefore(child.start);
    serverXml_.OutOfElement();
    return indent;
}

// Adds `element` as the last child of the current element, on a line of its
// own (an empty-element tag is opened up).
void SslCertSrvTomcat::AppendChild(const std::u16string& element) {
    XmlDocument::Span span;
    if (!serverXml_.GetElementSpan(span))
        ThrowResult(result::kUndefined);
    const std::u16string& text = serverXml_.GetDocument();
    const std::u16string indent = IndentBefore(span.start);
    const std::u16string childIndent = ChildIndent();
    if (span.endTagLength == 0) {
        size_t slash = span.start + span.startTagLength - 2;
        while (slash > span.start && text[slash] != u'/')
            --slash;
        const std::u16string name = serverXml_.GetTagName();
        SpliceServerXml(
            slash, span.start + span.startTagLength - slash,
            u">" + LineEnd() + childIndent + element + LineEnd() + indent + u"</" + name + u">");
        return;
    }
    const size_t endTag = span.end - span.endTagLength;
    const std::u16string before = IndentBefore(endTag);
    if (endTag >= before.size() + 1 && text[endTag - before.size() - 1] == u'\n')
        SpliceServerXml(endTag - before.size(), 0, childIndent + element + LineEnd());
    else
        SpliceServerXml(endTag, 0, LineEnd() + childIndent + element + LineEnd() + indent);
}

// ---- The HTTPS connector ----

std::u16string SslCertSrvTomcat::NewConnector(const std::u16string& indent) const {
    const std::u16string le = LineEnd();
    const std::u16string port = FormatWide(u"%d", httpsPort_);
    const std::u16string file = EscapeAttribute(pfxFilePath_);
    const std::u16string password = EscapeAttribute(WideFromUtf8(pfxPassword_));
    if (sslHostConfigForm_) {
        return u"<Connector port=\"" + port +
               u"\" protocol=\"org.apache.coyote.http11.Http11NioProtocol\"" + le + indent +
               u"           maxThreads=\"150\" SSLEnabled=\"true\" scheme=\"https\" "
               u"secure=\"true\">" +
               le + indent + u"    <SSLHostConfig protocols=\"" +
               std::u16string(kSslHostConfigProtocols) + u"\">" + le + indent +
               u"        <Certificate certificateKeystoreFile=\"" + file + u"\"" + le + indent +
               u"                     certificateKeystoreType=\"PKCS12\"" + le + indent +
               u"                     certificateKeystorePassword=\"" + password + u"\" />" + le +
               indent + u"    </SSLHostConfig>" + le + indent + u"</Connector>";
    }
    // The attributes older versions read from the connector itself.
    return u"<Connector port=\"" + port +
           u"\" protocol=\"org.apache.coyote.http11.Http11NioProtocol\" maxThreads=\"150\" "
           u"SSLEnabled=\"true\" scheme=\"https\" secure=\"true\" keystoreType=\"PKCS12\" "
           u"keystoreFile=\"" +
           file + u"\" keystorePass=\"" + password + u"\" clientAuth=\"false\" " +
           protocolsAttrName_ + u"=\"" + std::u16string(kConnectorProtocols) +
           u"\" truststoreFile=\"" + file + u"\" truststorePass=\"" + password + u"\"/>";
}

void SslCertSrvTomcat::ConfigureConnector() {
    const std::u16string password = WideFromUtf8(pfxPassword_);
    if (!HasHttpsConnector()) {
        // After the last connector of the service, else before its end tag.
        GoToService();
        XmlDocument::Span last;
        bool any = false;
        while (serverXml_.FindElement(u"Connector"))
            any = serverXml_.GetElementSpan(last) || any;
        if (any) {
            const std::u16string indent = IndentBefore(last.start);
            SpliceServerXml(last.end, 0, LineEnd() + indent + NewConnector(indent));
        } else {
            serverXml_.OutOfElement();
            AppendChild(NewConnector(ChildIndent()));
        }
        LogInfo("tomcat: a new HTTPS connector on port %d", httpsPort_);
        if (!HasHttpsConnector())
            ThrowResult(result::kUndefined);
        return;
    }
    // The connector there: its certificate changes, in the form it uses.
    if (!serverXml_.GetAttribute(u"SSLCertificateFile").empty()) {
        // PEM files named on the connector (the APR connector's form).
        serverXml_.SetAttribute(u"SSLCertificateFile", pemCertPath_);
        serverXml_.SetAttribute(u"SSLCertificateKeyFile", pemKeyPath_);
        if (!serverXml_.GetAttribute(u"SSLCertificateChainFile").empty())
            serverXml_.SetAttribute(u"SSLCertificateChainFile", pemCertPath_);
        if (!serverXml_.GetAttribute(u"SSLProtocol").empty())
            serverXml_.SetAttribute(u"SSLProtocol", u"TLSv1.2+TLSv1.3");
        LogInfo("tomcat: the HTTPS connector's PEM attributes point at the new files");
        return;
    }
    const bool oldForm = !serverXml_.GetAttribute(u"keystoreFile").empty() ||
                         !serverXml_.GetAttribute(u"certificateKeystoreFile").empty() ||
                         !sslHostConfigForm_;
    if (oldForm) {
        const std::u16string prefix =
            serverXml_.GetAttribute(u"certificateKeystoreFile").empty() ? u"" : u"certificate";
        if (prefix.empty()) {
            serverXml_.SetAttribute(u"keystoreType", u"PKCS12");
            serverXml_.SetAttribute(u"keystoreFile", pfxFilePath_);
            serverXml_.SetAttribute(u"keystorePass", password);
        } else {
            serverXml_.SetAttribute(u"certificateKeystoreType", u"PKCS12");
            serverXml_.SetAttribute(u"certificateKeystoreFile", pfxFilePath_);
            serverXml_.SetAttribute(u"certificateKeystorePassword", password);
        }
        // An attribute already there keeps its name.
        const std::u16string protocols = !serverXml_.GetAttribute(u"sslProtocols").empty()
                                             ? std::u16string(u"sslProtocols")
                                             : protocolsAttrName_;
        serverXml_.SetAttribute(protocols, kConnectorProtocols);
        if (!serverXml_.GetAttribute(u"truststoreFile").empty() || !sslHostConfigForm_) {
            serverXml_.SetAttribute(u"truststoreFile", pfxFilePath_);
            serverXml_.SetAttribute(u"truststorePass", password);
        }
        LogInfo("tomcat: the HTTPS connector's key store attributes point at the new key store");
        return;
    }
    // SSLHostConfig and Certificate: the first of each (the default host's).
    serverXml_.IntoElement();
    if (!serverXml_.FindElement(u"SSLHostConfig")) {
        serverXml_.OutOfElement();
        const std::u16string indent = ChildIndent();
        AppendChild(u"<SSLHostConfig protocols=\"" + std::u16string(kSslHostConfigProtocols) +
                    u"\">" + LineEnd() + indent + u"    <Certificate certificateKeystoreFile=\"" +
                    EscapeAttribute(pfxFilePath_) +
                    u"\" certificateKeystoreType=\"PKCS12\" certificateKeystorePassword=\"" +
                    EscapeAttribute(password) + u"\" />" + LineEnd() + indent +
                    u"</SSLHostConfig>");
        HasHttpsConnector();
        return;
    }
    serverXml_.SetAttribute(u"protocols", kSslHostConfigProtocols);
    serverXml_.IntoElement();
    if (serverXml_.FindElement(u"Certificate") &&
        !serverXml_.GetAttribute(u"certificateFile").empty()) {
        serverXml_.SetAttribute(u"certificateFile", pemCertPath_);
        serverXml_.SetAttribute(u"certificateKeyFile", pemKeyPath_);
        if (!serverXml_.GetAttribute(u"certificateChainFile").empty())
            serverXml_.SetAttribute(u"certificateChainFile", pemCertPath_);
    } else if (serverXml_.GetTagName() == u"Certificate") {
        serverXml_.SetAttribute(u"certificateKeystoreFile", pfxFilePath_);
        serverXml_.SetAttribute(u"certificateKeystoreType", u"PKCS12");
        serverXml_.SetAttribute(u"certificateKeystorePassword", password);
    } else {
        serverXml_.OutOfElement();
        AppendChild(u"<Certificate certificateKeystoreFile=\"" + EscapeAttribute(pfxFilePath_) +
                    u"\" certificateKeystoreType=\"PKCS12\" certificateKeystorePassword=\"" +
                    EscapeAttribute(password) + u"\" />");
    }
    LogInfo("tomcat: the HTTPS connector's certificate points at the new key store");
}

// ---- Typed domains ----

// Whether the HTTPS connector names its certificate by PEM files (on the
// connector, or in its first SSLHostConfig's first Certificate).
bool SslCertSrvTomcat::UsesPemFiles() {
    if (!HasHttpsConnector())
        return false;
    if (!serverXml_.GetAttribute(u"SSLCertificateFile").empty())
        return true;
    serverXml_.IntoElement();
    bool pem = false;
    if (serverXml_.FindElement(u"SSLHostConfig")) {
        serverXml_.IntoElement();
        pem = serverXml_.FindElement(u"Certificate") &&
              !serverXml_.GetAttribute(u"certificateFile").empty();
    }
    return pem;
}

bool SslCertSrvTomcat::FindHost(const std::u16string& name) {
    GoToEngine();
    const std::u16string wanted = Normalized(name);
    while (serverXml_.FindElement(u"Host")) {
        if (Normalized(serverXml_.GetAttribute(u"name")) == wanted)
            return true;
    }
    return false;
}

void SslCertSrvTomcat::AddAlias(const std::u16string& hostName, const std::u16string& alias) {
    if (!FindHost(hostName))
        return;
    std::u16string escaped;
    for (char16_t c : alias)
        escaped += c == u'&' ? u"&amp;" : c == u'<' ? u"&lt;" : std::u16string(1, c);
    AppendChild(u"<Alias>" + escaped + u"</Alias>");
}

void SslCertSrvTomcat::AddNewNode(const std::u16string& templateName,
                                  const std::u16string& newName) {
    if (!FindHost(templateName))
        return;
    // The copy keeps the template's attributes and children but not its
    // aliases: those names stay the template's.
    XmlDocument copy;
    if (!copy.SetDocument(serverXml_.GetSubDocument()) || !copy.FindElement(u"Host"))
        ThrowResult(result::kUndefined);
    copy.SetAttribute(u"name", newName);
    copy.IntoElement();
    while (copy.FindElement(u"Alias")) {
        copy.RemoveElement();
        copy.ResetMainPosition();
        copy.FindElement(u"Host");
        copy.IntoElement();
    }
    std::u16string text = copy.GetDocument();
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ' ||
                             text.back() == u'\t'))
        text.pop_back();
    // After the last host of the engine.
    GoToEngine();
    XmlDocument::Span last;
    while (serverXml_.FindElement(u"Host"))
        serverXml_.GetElementSpan(last);
    const std::u16string indent = IndentBefore(last.start);
    SpliceServerXml(last.end, 0, LineEnd() + indent + text);
}

void SslCertSrvTomcat::AddInputSites() {
    std::vector<std::u16string> handled;
    auto seen = [&](const std::u16string& name) {
        return ContainsSiteAddr(name) ||
               std::find(handled.begin(), handled.end(), name) != handled.end();
    };
    for (const SiteInfo& site : selectedSites_) {
        const std::u16string& name = site.siteAddr;
        LogInfo(u"site addr is %s", name);
        if (seen(name))
            continue;
        const std::u16string twin = ToggleWww(name);
        if (seen(twin)) {
            LogInfo(u"AddAlias addr1 is %s, addr2 %s", name, twin);
            AddAlias(twin, name);
        } else {
            LogInfo(u"AddNewNode is %s", name);
            AddNewNode(defaultHost_, name);
        }
        handled.push_back(name);
    }
}

bool SslCertSrvTomcat::AcceptsUserDomains() {
    if (defaultHost_.empty())
        ThrowResult(u"defaultHost is empty, not support user input site domain name");
    SiteInfo site;
    if (!FindSiteByAddr(Normalized(defaultHost_), site))
        ThrowResult(u"defaultHost is not exist, not support user input site domain name");
    return true;
}

void SslCertSrvTomcat::ConfigCert() {
    RunOperation("SslCertSrvTomcat::ConfigCert", [&] {
        ConfigureConnector();
        AddInputSites();
        SaveServerXml();
    });
}

void SslCertSrvTomcat::SaveServerXml() {
    // Every line end added is the file's own.
    if (!crlfFile_) {
        std::u16string text = serverXml_.GetDocument();
        size_t at = 0;
        bool changed = false;
        while ((at = text.find(u"\r\n", at)) != std::u16string::npos) {
            text.erase(at, 1);
            changed = true;
        }
        if (changed && !serverXml_.SetDocument(text))
            ThrowResult(result::kUndefined);
    }
    RecordFileChange(serverXmlPath_);
    if (!serverXml_.Save(serverXmlPath_)) {
        AddUserNote(u"Tomcat's configuration " + serverXmlPath_ + u" cannot be written (" +
                    serverXml_.ResultText() + u").");
        ThrowResult(result::kConfigWriteFailed);
    }
    LogInfo(u"written: %s", serverXmlPath_);
}

void SslCertSrvTomcat::BackupWeb() {
    RunOperation("SslCertSrvTomcat::BackupWeb", [&] {
        std::map<std::u16string, std::u16string> files{{serverXmlPath_, u""}};
        BackupWebConfig(files);
    });
}

}  // namespace qm

namespace qm {

std::u16string SslCertSrvTomcat::KeystorePasswordFor(const std::u16string& path) const {
    XmlDocument doc;
    if (!doc.Load(serverXmlPath_))
        return {};
    auto names = [&](const std::u16string& file) {
        return !file.empty() && PathAgainst(NativeSeparators(file), catalinaBase_) == path;
    };
    doc.ResetPosition();
    if (!doc.FindElement(u"Server") || !doc.IntoElement())
        return {};
    while (doc.FindElement(u"Service")) {
        doc.IntoElement();
        while (doc.FindElement(u"Connector")) {
            if (names(doc.GetAttribute(u"keystoreFile")))
                return doc.GetAttribute(u"keystorePass");
            doc.IntoElement();
            while (doc.FindElement(u"SSLHostConfig")) {
                doc.IntoElement();
                while (doc.FindElement(u"Certificate")) {
                    if (names(doc.GetAttribute(u"certificateKeystoreFile")))
                        return doc.GetAttribute(u"certificateKeystorePassword");
                }
                doc.OutOfElement();
            }
            doc.OutOfElement();
        }
        doc.OutOfElement();
    }
    return {};
}

std::vector<SslCertSrvBase::RenewedFile> SslCertSrvTomcat::RenewedFiles(
    const DeploymentRecord& deployment) const {
    std::vector<RenewedFile> files = SslCertSrvBase::RenewedFiles(deployment);
    for (RenewedFile& f : files) {
        if (f.secret)
            f.shareWithGroupOf = serverXmlPath_;
    }
    for (const std::u16string& path : deployment.created) {
        if (path.size() < 4 || path.substr(path.size() - 4) != u".pfx" || !FileExists(path))
            continue;
        const std::u16string password = KeystorePasswordFor(path);
        quorp ssl;
        quorp::PrepareLibrary();
        std::string der;
        if (password.empty() ||
            !ssl.ExportPfx(certPem_, chainCerts_, privateKeyPem_, NarrowFromWide(password),
                           NarrowFromWide(StripExtension(FileNameOf(path))), der)) {
            LogError(u"SslCertSrvTomcat, the key store %s cannot be renewed", path);
            continue;
        }
        files.push_back({path, der, true, serverXmlPath_});
    }
    return files;
}

}  // namespace qm
