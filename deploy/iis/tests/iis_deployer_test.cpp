// The IIS deployer against the file-backed IIS: what it reads from a table
// of applicationHost.config variants, which bindings a deployment adds or
// changes (and which it leaves alone), and that a rollback, a recovery and
// an undo put the configuration back byte for byte, the TLS bindings and
// the store as they were.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/iis/iisbinding.h"
#include "deploy/iis/posix/filecertificatestore.h"
#include "deploy/iis/posix/filesiteadministration.h"
#include "deploy/iis/posix/filetlsbindings.h"
#include "deploy/iis/sslcertsrviis.h"
#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::ResultOf;

struct Pem {
    std::string certificate;
    std::string key;
};

// A self-signed P-256 certificate for the names (all of them subject
// alternative names), made in memory.
Pem SelfSigned(const std::vector<std::string>& names) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    ASN1_INTEGER_set(
        X509_get_serialNumber(x),
        static_cast<long>(std::hash<std::string>()(names.front() + std::to_string(rand()))) &
            0x7fffffff);
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(names.front().c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(x, subject);
    std::string san;
    for (const auto& n : names)
        san += (san.empty() ? "DNS:" : ",DNS:") + n;
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(x, key, EVP_sha256());
    Pem pem;
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, x);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    pem.certificate.assign(data, size_t(n));
    BIO_free(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    n = BIO_get_mem_data(bio, &data);
    pem.key.assign(data, size_t(n));
    BIO_free(bio);
    X509_free(x);
    EVP_PKEY_free(key);
    return pem;
}

// A deployer on the file-backed IIS in a folder of its own, with the
// certificate of a test instead of one from the center, and no server to
// check on the wire.
class TestIis : public SslCertSrvIIS {
public:
    TestIis(const std::u16string& home, std::unique_ptr<TlsBindings> tls)
        : SslCertSrvIIS(IisInterfaces{
              std::make_unique<FileSiteAdministration>(home),
              std::make_unique<FileCertificateStore>(home + u"Certificates/"), std::move(tls)}) {
        httpPort_ = 80;
        httpsPort_ = 443;
    }

    void GetCertificate() override {
        webType_ = u"iis";
        ConstructSelSiteInfo();
        std::vector<std::string> names;
        for (const auto& s : selectedSites_)
            names.push_back(Utf8FromWide(s.siteAddr));
        const Pem pem = SelfSigned(names);
        certPem_ = pem.certificate;
        privateKeyPem_ = pem.key;
        InstallIssuedCertificate();
    }
    std::vector<WireTarget> WireTargets() const override { return {}; }
    std::vector<WireTarget> Targets() const { return SslCertSrvIIS::WireTargets(); }
    using SslCertSrvIIS::SitePhysicalPath;
};

// TLS bindings that fail from the n-th addition on.
class FailingTlsBindings : public FileTlsBindings {
public:
    FailingTlsBindings(std::u16string path, int failFrom)
        : FileTlsBindings(std::move(path)), failFrom_(failFrom) {}
    bool Add(const TlsBinding& binding, std::u16string& problem) override {
        if (++adds_ >= failFrom_) {
            problem = u"the parameter is incorrect";
            return false;
        }
        return FileTlsBindings::Add(binding, problem);
    }

private:
    int failFrom_;
    int adds_ = 0;
};

constexpr char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- IIS configuration: edited by hand too -->\n"
    "<configuration>\n"
    "    <system.applicationHost>\n"
    "        <sites>\n";
constexpr char kTail[] =
    "            <siteDefaults>\n"
    "                <logFile logFormat=\"W3C\" directory=\"%SystemDrive%\\inetpub\\logs\" />\n"
    "            </siteDefaults>\n"
    "        </sites>\n"
    "    </system.applicationHost>\n"
    "</configuration>\n";

std::string Site(const std::string& name, const std::string& attrs, const std::string& root,
                 const std::vector<std::string>& bindings) {
    std::string s = "            <site name=\"" + name + "\" id=\"1\"" + attrs + ">\n" +
                    "                <application path=\"/\">\n" +
                    "                    <virtualDirectory path=\"/\" physicalPath=\"" + root +
                    "\" />\n" + "                </application>\n" + "                <bindings>\n";
    for (const auto& b : bindings)
        s += "                    " + b + "\n";
    return s + "                </bindings>\n            </site>\n";
}

std::string Binding(const std::string& protocol, const std::string& info,
                    const std::string& flags = "") {
    return "<binding protocol=\"" + protocol + "\" bindingInformation=\"" + info + "\"" +
           (flags.empty() ? "" : " sslFlags=\"" + flags + "\"") + " />";
}

class IisDeployer : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = dir_.path();
        test::InstallConfigTemplates(test::ProgramHome());
        DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
    }
    void TearDown() override { DeleteDirectoryTree(GetServiceDirectory() + u"Undo"); }

    std::u16string Home() const { return home_; }
    std::u16string ConfigPath() const { return home_ + u"applicationHost.config"; }
    std::u16string BindingsPath() const { return home_ + u"sslbindings.xml"; }

    void WriteConfig(const std::string& sites) {
        test::WriteAll(ConfigPath(), std::string(kHead) + sites + kTail);
    }
    // A certificate for the names in the store, bound to the endpoint.
    std::u16string Install(const std::vector<std::string>& names, const TlsEndpoint& endpoint) {
        const Pem pem = SelfSigned(names);
        const std::u16string thumbprint = WideFromUtf8(CertificateThumbprint(pem.certificate));
        MakeDirectoryTree(home_ + u"Certificates/MY/");
        test::WriteAll(home_ + u"Certificates/MY/" + thumbprint + u".pem",
                       pem.certificate + pem.key);
        std::u16string problem;
        FileTlsBindings tls(BindingsPath());
        EXPECT_TRUE(tls.Add(
            {endpoint, thumbprint, u"MY", u"{11111111-2222-3333-4444-555555555555}"}, problem))
            << Utf8FromWide(problem);
        return thumbprint;
    }
    std::unique_ptr<TestIis> Deployer(int failFrom = 1000) {
        return std::make_unique<TestIis>(
            home_, std::make_unique<FailingTlsBindings>(BindingsPath(), failFrom));
    }
    std::vector<TlsBinding> TlsNow() {
        std::vector<TlsBinding> all;
        std::u16string problem;
        FileTlsBindings(BindingsPath()).List(all, problem);
        return all;
    }
    std::u16string HashAt(const TlsEndpoint& endpoint) {
        for (const TlsBinding& b : TlsNow()) {
            if (b.endpoint == endpoint)
                return b.certificateHash;
        }
        return {};
    }
    std::vector<std::u16string> StoreNow() {
        std::vector<std::u16string> names;
        std::error_code ec;
        for (const auto& e :
             std::filesystem::directory_iterator(FsPath(home_ + u"Certificates/MY/"), ec))
            names.push_back(WidePath(e.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempDir dir_;
    std::u16string home_;
    test::FixedResolver resolver_{{{"shop.example.test", {"127.0.0.1"}},
                                   {"www.shop.example.test", {"127.0.0.1"}},
                                   {"other.example.test", {"127.0.0.1"}},
                                   {"v6.example.test", {"127.0.0.1"}}}};
};

// Several sites: the default one with host-less bindings and an installed
// certificate for two names, the shop with two HTTP bindings and an HTTPS
// binding that takes its certificate from its address, a site on IPv6
// whose binding chooses its certificate by name, a stopped site, an
// unrelated site on the HTTPS port, and bindings of other protocols and
// ports.
std::string ManySites() {
    return Site("Default Web Site", "", "%QM_TEST_ROOT%/default",
                {Binding("http", "*:80:"), Binding("https", "*:443:"),
                 Binding("net.tcp", "808:*")}) +
           Site("shop", " state=\"Started\"", "/srv/shop",
                {Binding("http", "*:80:shop.example.test"),
                 Binding("http", "*:80:www.shop.example.test"),
                 Binding("https", "*:443:shop.example.test"),
                 Binding("http", "*:8080:shop.example.test")}) +
           Site("v6", "", "/srv/v6",
                {Binding("http", "[::1]:80:v6.example.test"),
                 Binding("https", "[::1]:443:v6.example.test", "1")}) +
           Site("old", " state=\"Stopped\"", "/srv/old",
                {Binding("http", "*:80:old.example.test")}) +
           Site("other", " serverAutoStart=\"true\"", "/srv/other",
                {Binding("http", "*:80:other.example.test"),
                 Binding("https", "*:443:other.example.test", "1")});
}

TEST_F(IisDeployer, ReadsStartedSitesBindingsAndTheNamesOfInstalledCertificates) {
    ::setenv("QM_TEST_ROOT", "/srv/iis", 1);
    WriteConfig(ManySites());
    const std::u16string defaultHash =
        Install({"default.example.test", "www.default.example.test"}, {u"0.0.0.0", 443, false});
    const std::u16string otherHash =
        Install({"other.example.test"}, {u"other.example.test", 443, true});
    const std::u16string v6Hash = Install({"v6.example.test"}, {u"v6.example.test", 443, true});
    auto iis = Deployer();
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "succeed");
    EXPECT_EQ(names,
              (std::vector<std::u16string>{u"default.example.test", u"other.example.test",
                                           u"shop.example.test", u"v6.example.test",
                                           u"www.default.example.test", u"www.shop.example.test"}));
    // The stopped site, other ports and protocols count nowhere.
    for (const SiteInfo& s : iis->sites()) {
        EXPECT_NE(s.siteAddr, u"old.example.test");
        EXPECT_TRUE(s.sitePort == 80 || s.sitePort == 443);
    }
    EXPECT_EQ(iis->siteNames().at(u""), u"Default Web Site");
    EXPECT_EQ(iis->siteNames().at(u"www.default.example.test"), u"Default Web Site");
    EXPECT_EQ(iis->siteNames().at(u"www.shop.example.test"), u"shop");
    EXPECT_EQ(iis->siteNames().at(u"v6.example.test"), u"v6");
    // The document root: environment references expanded, the host's separator added.
    const std::u16string separator(1, PathSeparator());
    EXPECT_EQ(iis->mainSite().siteDir, u"/srv/iis/default" + separator);
    EXPECT_TRUE(iis->mainSite().isHttps);
    EXPECT_EQ(iis->hostlessIPs(), (std::vector<std::u16string>{u"*", u"*"}));
    // Every HTTPS binding on the HTTPS port, with the certificate it serves;
    // the shop's comes from its address.
    ASSERT_EQ(iis->backupSites().size(), 4u);
    EXPECT_EQ(iis->backupSites()[0].certHash, defaultHash);
    EXPECT_EQ(iis->backupSites()[1].siteAddr, u"shop.example.test");
    EXPECT_EQ(iis->backupSites()[1].certHash, defaultHash);
    EXPECT_EQ(iis->backupSites()[2].ipAddr, u"[::1]");
    EXPECT_EQ(iis->backupSites()[2].certHash, v6Hash);
    EXPECT_EQ(iis->backupSites()[3].certHash, otherHash);
    // Several applications: the last virtual directory of the last one.
    IisSite site;
    site.physicalPaths = {u"/a", u"/b/"};
    EXPECT_EQ(TestIis::SitePhysicalPath(site), u"/b/");
    site.physicalPaths = {u"%QM_NOT_SET%/x"};
    EXPECT_EQ(TestIis::SitePhysicalPath(site), u"%QM_NOT_SET%/x" + separator);
}

TEST_F(IisDeployer, RefusesWhatItCannotRead) {
    auto iis = Deployer();
    std::vector<std::u16string> names;
    // No configuration at all.
    EXPECT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "IIS Initialize failed");
    const auto notes = iis->TakeUserNotes();
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes.front().find(u"applicationHost.config"), std::u16string::npos);
    // Only stopped sites.
    WriteConfig(Site("old", " state=\"Stopped\"", "/srv/old", {Binding("http", "*:80:")}));
    EXPECT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "web service is not running.");
    // A wildcard among the names of a host-less binding's certificate.
    WriteConfig(Site("w", "", "/srv/w", {Binding("https", "*:443:")}));
    Install({"*.example.test"}, {u"0.0.0.0", 443, false});
    EXPECT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "Not support wildcard domain name");
    // The undo of a deployment needs the administration too.
    std::filesystem::remove(FsPath(ConfigPath()));
    EXPECT_EQ(ResultOf([&] { iis->RestoreWeb(); }), "IIS  Initialize failed");
}

TEST_F(IisDeployer, BindsEachNameByHostAndLeavesOtherSitesAlone) {
    WriteConfig(ManySites());
    const std::u16string defaultHash =
        Install({"default.example.test", "www.default.example.test"}, {u"0.0.0.0", 443, false});
    const std::u16string otherHash =
        Install({"other.example.test"}, {u"other.example.test", 443, true});
    const std::string configBefore = test::ReadAll(ConfigPath());
    const auto tlsBefore = TlsNow();
    const auto storeBefore = StoreNow();

    auto iis = Deployer();
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "succeed");
    ASSERT_EQ(ResultOf([&] {
                  iis->BindCertToSite({u"shop.example.test", u"www.shop.example.test"}, 1);
              }),
              "succeed");
    const std::u16string hash = iis->certHash();
    ASSERT_EQ(hash.size(), 40u);

    // The shop's binding now chooses its certificate by name; its www. twin
    // got a binding of its own in the same site; nothing else changed.
    const std::string config = test::ReadAll(ConfigPath());
    std::string expected = configBefore;
    const std::string shopHttps = Binding("https", "*:443:shop.example.test");
    expected.replace(expected.find(shopHttps), shopHttps.size(),
                     Binding("https", "*:443:shop.example.test", "1"));
    const std::string lastShopBinding = Binding("http", "*:8080:shop.example.test");
    expected.insert(
        expected.find(lastShopBinding) + lastShopBinding.size(),
        "\n                    " + Binding("https", "*:443:www.shop.example.test", "1"));
    EXPECT_EQ(config, expected);
    EXPECT_EQ(HashAt({u"shop.example.test", 443, true}), hash);
    EXPECT_EQ(HashAt({u"www.shop.example.test", 443, true}), hash);
    EXPECT_EQ(HashAt({u"other.example.test", 443, true}), otherHash);
    EXPECT_EQ(HashAt({u"0.0.0.0", 443, false}), defaultHash);
    EXPECT_EQ(StoreNow().size(), storeBefore.size() + 1);
    EXPECT_EQ(iis->Targets(),
              (std::vector<WireTarget>{{u"shop.example.test", u"127.0.0.1", 443},
                                       {u"www.shop.example.test", u"127.0.0.1", 443}}));
    // The undo record shows the HTTPS bindings as they were.
    XmlDocument mirror;
    ASSERT_TRUE(mirror.Load(SslCertSrvBase::BackupRecordPath()));
    mirror.FindElement(u"config");
    mirror.IntoElement();
    int entries = 0;
    while (mirror.FindElement(u"operate")) {
        if (mirror.GetAttribute(u"type") != u"backupSite")
            continue;
        ++entries;
        if (mirror.GetAttribute(u"siteAddr") == u"shop.example.test") {
            EXPECT_EQ(mirror.GetAttribute(u"site"), u"shop");
            EXPECT_EQ(mirror.GetAttribute(u"ipAddr"), u"*");
            EXPECT_EQ(mirror.GetAttribute(u"port"), u"443");
            EXPECT_EQ(mirror.GetAttribute(u"certHash"), defaultHash);
        }
    }
    EXPECT_EQ(entries, 4);
    // Each with the attributes in their order, and nothing more.
    const std::string mirrorText = test::ReadAll(SslCertSrvBase::BackupRecordPath());
    const size_t at = mirrorText.find("<operate type=\"backupSite\"");
    ASSERT_NE(at, std::string::npos);
    const std::string tag = mirrorText.substr(at, mirrorText.find('>', at) - at);
    size_t last = 0;
    for (const char* name :
         {"type=", "site=", "protocol=", "siteAddr=", "ipAddr=", "port=", "certHash="}) {
        const size_t pos = tag.find(std::string(" ") + name);
        ASSERT_NE(pos, std::string::npos) << name;
        EXPECT_GT(pos, last) << name;
        last = pos;
    }
    EXPECT_EQ(tag.find("sslFlags"), std::string::npos);

    // Deployed again: the same bindings, the new certificate.
    auto again = Deployer();
    ASSERT_EQ(ResultOf([&] { again->GetSitesInfo(names); }), "succeed");
    ASSERT_EQ(ResultOf([&] {
                  again->BindCertToSite({u"shop.example.test", u"www.shop.example.test"}, 1);
              }),
              "succeed");
    EXPECT_EQ(test::ReadAll(ConfigPath()), config);
    EXPECT_EQ(HashAt({u"shop.example.test", 443, true}), again->certHash());

    // Undone twice: the first deployment's state, then the original.
    auto undo = Deployer();
    ASSERT_EQ(ResultOf([&] { undo->RestoreWeb(); }), "succeed");
    EXPECT_EQ(test::ReadAll(ConfigPath()), config);
    EXPECT_EQ(HashAt({u"shop.example.test", 443, true}), hash);
    auto undo2 = Deployer();
    ASSERT_EQ(ResultOf([&] { undo2->RestoreWeb(); }), "succeed");
    EXPECT_EQ(test::ReadAll(ConfigPath()), configBefore);
    const auto tlsAfter = TlsNow();
    ASSERT_EQ(tlsAfter.size(), tlsBefore.size());
    for (size_t i = 0; i < tlsAfter.size(); ++i) {
        EXPECT_EQ(tlsAfter[i].endpoint, tlsBefore[i].endpoint);
        EXPECT_EQ(tlsAfter[i].certificateHash, tlsBefore[i].certificateHash);
        EXPECT_EQ(tlsAfter[i].appId, tlsBefore[i].appId);
    }
    EXPECT_EQ(StoreNow(), storeBefore);
    EXPECT_EQ(ResultOf([&] { Deployer()->RestoreWeb(); }), "nothing to undo");
}

TEST_F(IisDeployer, ANameBoundByNameKeepsItsBindingAndAnIpv6SiteGetsItsAddress) {
    WriteConfig(Site("v6", "", "/srv/v6",
                     {Binding("http", "[::1]:80:v6.example.test"),
                      Binding("https", "[::1]:443:v6.example.test", "1"),
                      Binding("http", "[::1]:80:six.example.test")}));
    const std::u16string oldHash = Install({"v6.example.test"}, {u"v6.example.test", 443, true});
    const std::string before = test::ReadAll(ConfigPath());
    test::FixedResolver resolver(
        {{"v6.example.test", {"127.0.0.1"}}, {"six.example.test", {"127.0.0.1"}}});
    auto iis = Deployer();
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "succeed");
    ASSERT_EQ(ResultOf([&] { iis->BindCertToSite({u"v6.example.test"}, 1); }), "succeed");
    EXPECT_EQ(test::ReadAll(ConfigPath()), before);  // the binding was right already
    EXPECT_EQ(HashAt({u"v6.example.test", 443, true}), iis->certHash());
    EXPECT_EQ(iis->Targets(), (std::vector<WireTarget>{{u"v6.example.test", u"::1", 443}}));
    ASSERT_EQ(ResultOf([&] { Deployer()->RestoreWeb(); }), "succeed");
    EXPECT_EQ(HashAt({u"v6.example.test", 443, true}), oldHash);

    auto six = Deployer();
    ASSERT_EQ(ResultOf([&] { six->GetSitesInfo(names); }), "succeed");
    ASSERT_EQ(ResultOf([&] { six->BindCertToSite({u"six.example.test"}, 1); }), "succeed");
    EXPECT_NE(test::ReadAll(ConfigPath()).find(Binding("https", "[::1]:443:six.example.test", "1")),
              std::string::npos);
    ASSERT_EQ(ResultOf([&] { Deployer()->RestoreWeb(); }), "succeed");
    EXPECT_EQ(test::ReadAll(ConfigPath()), before);
}

TEST_F(IisDeployer, AFailedBindingRollsBackEverythingAndARecordAloneSuffices) {
    // Line ends of Windows, a byte order mark, and a typed name for a site
    // with only a host-less binding.
    std::string text = std::string(kHead) +
                       Site("Default Web Site", "", "/srv/default", {Binding("http", "*:80:")}) +
                       kTail;
    std::string crlf = "\xEF\xBB\xBF";
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    test::WriteAll(ConfigPath(), crlf);
    test::FixedResolver resolver(std::map<std::string, std::vector<std::string>>{
        {"typed.example.test", {"127.0.0.1"}}, {"www.typed.example.test", {"127.0.0.1"}}});
    const auto storeBefore = StoreNow();

    // The second TLS binding fails: everything goes back.
    auto failing = Deployer(2);
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] { failing->GetSitesInfo(names); }), "succeed");
    EXPECT_EQ(ResultOf([&] {
                  failing->BindCertToSite({u"typed.example.test", u"www.typed.example.test"}, 1);
              }),
              "web server configuration cannot be written");
    EXPECT_EQ(test::ReadAll(ConfigPath()), crlf);
    EXPECT_TRUE(TlsNow().empty());
    EXPECT_EQ(StoreNow(), storeBefore);
    EXPECT_TRUE(DeploymentHistory(GetServiceDirectory()).Folders().empty());

    // A deployment whose run ended while it was applying: a new run, with
    // nothing but the record, takes it back.
    auto iis = Deployer();
    ASSERT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "succeed");
    ASSERT_EQ(ResultOf([&] { iis->BindCertToSite({u"typed.example.test"}, 1); }), "succeed");
    const std::string deployed = test::ReadAll(ConfigPath());
    EXPECT_NE(deployed.find("\r\n                    " +
                            Binding("https", "*:443:typed.example.test", "1") + "\r\n"),
              std::string::npos);
    const auto folders = DeploymentHistory(GetServiceDirectory()).Folders();
    ASSERT_EQ(folders.size(), 1u);
    std::u16string problem;
    auto record = DeploymentRecord::Load(folders.back(), problem);
    ASSERT_TRUE(record);
    record->phase = u"applying";
    ASSERT_TRUE(record->Save());
    auto recovery = Deployer();
    ASSERT_EQ(ResultOf([&] { recovery->RecoverRecord(*record); }), "succeed");
    EXPECT_EQ(test::ReadAll(ConfigPath()), crlf);
    EXPECT_TRUE(TlsNow().empty());
    EXPECT_EQ(StoreNow(), storeBefore);
}

TEST_F(IisDeployer, AnUndoRefusesToOverwriteACertificateBoundSinceUnlessForced) {
    WriteConfig(Site("shop", "", "/srv/shop", {Binding("http", "*:80:shop.example.test")}));
    auto iis = Deployer();
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "succeed");
    ASSERT_EQ(ResultOf([&] { iis->BindCertToSite({u"shop.example.test"}, 1); }), "succeed");
    // Someone binds another certificate to the name afterwards.
    const TlsEndpoint endpoint{u"shop.example.test", 443, true};
    std::u16string problem;
    ASSERT_TRUE(FileTlsBindings(BindingsPath()).Delete(endpoint, problem));
    const std::u16string theirs = Install({"shop.example.test"}, endpoint);

    auto undo = Deployer();
    EXPECT_EQ(ResultOf([&] { undo->UndoLastDeployment(false); }),
              "configuration edited since the deployment");
    const auto notes = undo->TakeUserNotes();
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [&](const std::u16string& n) {
        return n.find(u"shop.example.test:443 (now " + theirs + u")") != std::u16string::npos;
    }));
    EXPECT_EQ(HashAt(endpoint), theirs);
    auto forced = Deployer();
    ASSERT_EQ(ResultOf([&] { forced->UndoLastDeployment(true); }), "succeed");
    EXPECT_EQ(HashAt(endpoint), u"");
    EXPECT_EQ(test::ReadAll(ConfigPath()).find("https"), std::string::npos);
}

TEST_F(IisDeployer, AnUndoPutsBackARememberedBindingRemovedSinceWhenForced) {
    WriteConfig(ManySites());
    const std::u16string otherHash =
        Install({"other.example.test"}, {u"other.example.test", 443, true});
    const std::string before = test::ReadAll(ConfigPath());
    auto iis = Deployer();
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] { iis->GetSitesInfo(names); }), "succeed");
    ASSERT_EQ(ResultOf([&] { iis->BindCertToSite({u"v6.example.test"}, 1); }), "succeed");
    // The unrelated site's HTTPS binding goes afterwards, with its certificate binding.
    std::u16string problem;
    FileSiteAdministration sites(Home());
    ASSERT_TRUE(
        sites.RemoveBinding(u"other", {u"https", u"*:443:other.example.test", u"1"}, problem));
    ASSERT_TRUE(sites.CommitChanges(problem));
    ASSERT_TRUE(
        FileTlsBindings(BindingsPath()).Delete({u"other.example.test", 443, true}, problem));

    auto undo = Deployer();
    EXPECT_EQ(ResultOf([&] { undo->UndoLastDeployment(false); }),
              "configuration edited since the deployment");
    const auto notes = undo->TakeUserNotes();
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::u16string& n) {
        return n.find(u"*:443:other.example.test of the site \"other\"") != std::u16string::npos;
    }));
    auto forced = Deployer();
    ASSERT_EQ(ResultOf([&] { forced->UndoLastDeployment(true); }), "succeed");
    EXPECT_EQ(test::ReadAll(ConfigPath()), before);
    EXPECT_EQ(HashAt({u"other.example.test", 443, true}), otherHash);
}

TEST(FileSiteAdministration, AnEmptyBindingsElementOpensUpAndComesBack) {
    test::TempDir dir;
    const std::string text = std::string(kHead) +
                             "            <site name=\"bare\">\n"
                             "                <bindings />\n"
                             "            </site>\n" +
                             kTail;
    test::WriteAll(dir / u"applicationHost.config", text);
    FileSiteAdministration sites(dir.path());
    std::u16string problem;
    const IisBinding binding{u"https", u"*:443:a.example", u"1"};
    ASSERT_TRUE(sites.AddBinding(u"bare", binding, problem)) << Utf8FromWide(problem);
    ASSERT_TRUE(sites.CommitChanges(problem));
    std::vector<IisSite> read;
    ASSERT_TRUE(sites.ReadSites(read, problem));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].bindings, std::vector<IisBinding>{binding});
    EXPECT_EQ(read[0].state, u"Started");
    EXPECT_FALSE(sites.AddBinding(u"missing", binding, problem));
    EXPECT_NE(problem.find(u"missing"), std::u16string::npos);
    ASSERT_TRUE(sites.RemoveBinding(u"bare", binding, problem));
    ASSERT_TRUE(sites.RemoveBinding(u"bare", binding, problem));  // gone already
    ASSERT_TRUE(sites.CommitChanges(problem));
    EXPECT_EQ(test::ReadAll(dir / u"applicationHost.config"),
              std::string(kHead) +
                  "            <site name=\"bare\">\n"
                  "                <bindings>\n"
                  "                </bindings>\n"
                  "            </site>\n" +
                  kTail);
}

}  // namespace
}  // namespace qm
