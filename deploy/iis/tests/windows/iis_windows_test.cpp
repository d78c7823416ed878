// The Windows backends of the IIS interfaces against what the system in hand
// provides. The CryptoAPI store works under Wine too and is checked in full
// with PKCS#12 bundles made here. IIS and a working HTTP.sys configuration
// exist only on Windows: without IIS the site administration and the
// deployer say why they cannot go on; the TLS bindings round trip where
// HTTP.sys keeps them (Windows, as an administrator) and are skipped, with
// the reason, where it does not (Wine accepts bindings and forgets them).
// Nothing here touches a real site's bindings: the TLS tests use a port of
// their own and remove what they add.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Common/OpenSSL/quorp/digest.h"
#include "Common/OpenSSL/quorp/quorp.h"
#include "deploy/iis/host/windows/comsiteadministration.h"
#include "deploy/iis/host/windows/cryptoapistore.h"
#include "deploy/iis/host/windows/httpsystlsbindings.h"
#include "deploy/iis/host/windows/thumbprint.h"
#include "deploy/iis/iisinterfaces.h"
#include "deploy/iis/posix/filecertificatestore.h"
#include "deploy/iis/posix/filetlsbindings.h"
#include "deploy/iis/sslcertsrviis.h"
#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::ResultOf;

constexpr char kPassword[] = "iis-test-password";
// A port no site of a test machine is expected to bind.
constexpr int32_t kTestPort = 44391;

std::string Narrow(const std::u16string& text) {
    return Utf8FromWide(text);
}

bool EndsWith(const std::u16string& text, std::u16string_view tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail.data(), tail.size()) == 0;
}

// A certificate with an RSA key (what Wine's PKCS#12 import takes), signed
// by `issuer` or by itself; a CA when asked.
struct TestCertificate {
    X509Ptr certificate;
    EvpPkeyPtr key;

    std::string Pem() const {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, certificate.get());
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio, &data);
        std::string pem(data, size_t(length));
        BIO_free(bio);
        return pem;
    }
    std::u16string Thumbprint() const { return WideFromUtf8(CertificateThumbprint(Pem())); }
};

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    ASSERT_NE(extension, nullptr) << value;
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

TestCertificate MakeCertificate(const std::string& commonName,
                                const std::vector<std::string>& names,
                                const TestCertificate* issuer, bool ca) {
    TestCertificate made;
    made.key.reset(EVP_RSA_gen(2048));
    made.certificate.reset(X509_new());
    X509* x = made.certificate.get();
    X509_set_version(x, 2);
    std::random_device random;
    ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(random() & 0x7fffffff));
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, made.key.get());
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509* signer = issuer ? issuer->certificate.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    AddExtension(x, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (!names.empty()) {
        std::string san;
        for (const std::string& name : names)
            san += (san.empty() ? "DNS:" : ",DNS:") + name;
        AddExtension(x, signer, NID_subject_alt_name, san);
    }
    X509_sign(x, issuer ? issuer->key.get() : made.key.get(), EVP_sha256());
    return made;
}

std::string Pkcs12(const TestCertificate& leaf, const std::vector<const TestCertificate*>& chain,
                   const std::string& password) {
    std::vector<X509*> certificates;
    for (const TestCertificate* c : chain)
        certificates.push_back(c->certificate.get());
    quorp::PrepareLibrary();
    quorp ssl;
    std::string der;
    EXPECT_TRUE(ssl.ExportPfx(leaf.certificate.get(), certificates, leaf.key.get(), password,
                              "iis windows test", der));
    return der;
}

// A host name of this run's own.
std::string UniqueName(const char* label) {
    std::random_device random;
    return std::string(label) + "-" + std::to_string(random() % 1000000) + ".example.test";
}

// ---------------------------------------------------------------------------
// Thumbprints

TEST(IisWindowsThumbprint, ParsesEitherCaseAndWritesUpperCase) {
    iiswin::ThumbprintBytes bytes{};
    ASSERT_TRUE(iiswin::ParseThumbprint(u"0123456789abcdefABCDEF0123456789abcdef01", bytes));
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[7], 0xEF);
    EXPECT_EQ(iiswin::ThumbprintText(bytes.data(), bytes.size()),
              u"0123456789ABCDEFABCDEF0123456789ABCDEF01");
    EXPECT_FALSE(iiswin::ParseThumbprint(u"0123", bytes));
    EXPECT_FALSE(iiswin::ParseThumbprint(u"0123456789abcdefABCDEF0123456789abcdefXY", bytes));
}

// ---------------------------------------------------------------------------
// The CryptoAPI store

TEST(CryptoApiStore, ImportsFindsAndRemovesABundle) {
    const std::string name = UniqueName("iis-store");
    const TestCertificate leaf = MakeCertificate(name, {name, "www." + name}, nullptr, false);
    const std::string bundle = Pkcs12(leaf, {}, kPassword);
    const std::u16string expected = leaf.Thumbprint();
    ASSERT_EQ(expected.size(), 40u);

    CryptoApiStore store;
    std::u16string thumbprint, problem;
    if (!store.ImportPkcs12(u"MY", bundle, kPassword, thumbprint, problem)) {
        GTEST_SKIP() << "the local machine's store \"MY\" takes no certificate here: "
                     << Narrow(problem);
    }
    // The thumbprint is the SHA-1 of the DER form, in upper case.
    EXPECT_EQ(thumbprint, expected);
    EXPECT_TRUE(store.Contains(u"MY", expected));
    EXPECT_TRUE(store.Contains(u"MY", ToLowerAscii(expected)));
    std::vector<std::u16string> names;
    EXPECT_TRUE(store.DnsNames(u"MY", expected, names));
    EXPECT_EQ(names,
              (std::vector<std::u16string>{WideFromUtf8(name), WideFromUtf8("www." + name)}));

    // Again: the same certificate, nothing new.
    std::u16string again;
    EXPECT_TRUE(store.ImportPkcs12(u"MY", bundle, kPassword, again, problem)) << Narrow(problem);
    EXPECT_EQ(again, expected);

    EXPECT_TRUE(store.Remove(u"MY", ToLowerAscii(expected), problem)) << Narrow(problem);
    EXPECT_FALSE(store.Contains(u"MY", expected));
    EXPECT_FALSE(store.DnsNames(u"MY", expected, names));
    EXPECT_TRUE(names.empty());
    // Gone already: nothing to do.
    EXPECT_TRUE(store.Remove(u"MY", expected, problem)) << Narrow(problem);
}

TEST(CryptoApiStore, RefusesAWrongPasswordAndWhatIsNoBundle) {
    const std::string name = UniqueName("iis-refuse");
    const TestCertificate leaf = MakeCertificate(name, {name}, nullptr, false);
    const std::string bundle = Pkcs12(leaf, {}, kPassword);

    CryptoApiStore store;
    std::u16string thumbprint, problem;
    EXPECT_FALSE(store.ImportPkcs12(u"MY", bundle, "not the password", thumbprint, problem));
    EXPECT_FALSE(problem.empty());
    EXPECT_TRUE(thumbprint.empty());
    EXPECT_FALSE(store.Contains(u"MY", leaf.Thumbprint()));

    problem.clear();
    EXPECT_FALSE(store.ImportPkcs12(u"MY", "not a bundle", kPassword, thumbprint, problem));
    EXPECT_FALSE(problem.empty());

    // Not thumbprints, or of nothing the store holds.
    EXPECT_FALSE(store.Contains(u"MY", u"not a thumbprint"));
    EXPECT_FALSE(store.Contains(u"MY", std::u16string(40, u'0')));
    std::vector<std::u16string> names;
    EXPECT_FALSE(store.DnsNames(u"MY", std::u16string(40, u'0'), names));
    EXPECT_TRUE(store.Remove(u"MY", std::u16string(40, u'0'), problem)) << Narrow(problem);
}

TEST(CryptoApiStore, PutsTheChainWhereTlsFindsItAndTrustsNoRoot) {
    const std::string name = UniqueName("iis-chain");
    const TestCertificate root = MakeCertificate("Quillmate Test Root " + name, {}, nullptr, true);
    const TestCertificate intermediate =
        MakeCertificate("Quillmate Test CA " + name, {}, &root, true);
    const TestCertificate leaf = MakeCertificate(name, {name}, &intermediate, false);
    const std::string bundle = Pkcs12(leaf, {&intermediate, &root}, kPassword);

    CryptoApiStore store;
    std::u16string thumbprint, problem;
    if (!store.ImportPkcs12(u"MY", bundle, kPassword, thumbprint, problem)) {
        GTEST_SKIP() << "the local machine's store \"MY\" takes no certificate here: "
                     << Narrow(problem);
    }
    EXPECT_EQ(thumbprint, leaf.Thumbprint());
    EXPECT_TRUE(store.Contains(u"MY", leaf.Thumbprint()));
    EXPECT_FALSE(store.Contains(u"MY", intermediate.Thumbprint()));
    EXPECT_TRUE(store.Contains(u"CA", intermediate.Thumbprint()));
    EXPECT_FALSE(store.Contains(u"CA", root.Thumbprint()));
    EXPECT_FALSE(store.Contains(u"Root", root.Thumbprint()));

    EXPECT_TRUE(store.Remove(u"MY", thumbprint, problem)) << Narrow(problem);
    EXPECT_TRUE(store.Remove(u"CA", intermediate.Thumbprint(), problem)) << Narrow(problem);
    EXPECT_FALSE(store.Contains(u"CA", intermediate.Thumbprint()));
}

// ---------------------------------------------------------------------------
// The site administration

TEST(ComSiteAdministration, SaysWhyWhenIisCannotBeRead) {
    ComSiteAdministration sites;
    EXPECT_FALSE(sites.RestartNeeded());
    EXPECT_TRUE(EndsWith(sites.ConfigurationPath(), u"\\inetsrv\\config\\applicationHost.config"))
        << Narrow(sites.ConfigurationPath());
    EXPECT_EQ(sites.SupportsHostNameCertificates(), sites.IisMajorVersion() >= 8);

    std::vector<IisSite> list;
    std::u16string problem;
    if (sites.ReadSites(list, problem)) {
        // IIS is installed: only read. Editing a real server is left to the
        // end-to-end run on Windows Server.
        for (const IisSite& site : list) {
            EXPECT_FALSE(site.name.empty());
            for (const IisBinding& binding : site.bindings)
                EXPECT_FALSE(binding.protocol.empty()) << Narrow(site.name);
        }
        GTEST_SKIP() << "IIS " << sites.IisMajorVersion() << " is installed: " << list.size()
                     << " sites read, nothing edited";
    }
    EXPECT_FALSE(problem.empty());
    EXPECT_TRUE(list.empty());
    if (sites.IisMajorVersion() == 0) {
        EXPECT_NE(problem.find(u"IIS"), std::u16string::npos) << Narrow(problem);
    }

    const IisBinding binding{u"https", u"*:443:shop.example.test", u"1"};
    std::u16string edit;
    EXPECT_FALSE(sites.AddBinding(u"Default Web Site", binding, edit));
    EXPECT_EQ(edit, problem);
    edit.clear();
    EXPECT_FALSE(sites.RemoveBinding(u"Default Web Site", binding, edit));
    EXPECT_EQ(edit, problem);
    edit.clear();
    EXPECT_FALSE(sites.ReplaceBinding(u"Default Web Site", binding, binding, edit));
    EXPECT_EQ(edit, problem);
    // Nothing pending, nothing to commit.
    edit.clear();
    EXPECT_TRUE(sites.CommitChanges(edit));
    EXPECT_TRUE(edit.empty());
    EXPECT_FALSE(sites.Restart(edit));
    EXPECT_EQ(edit, problem);
}

class IisWindowsDeployer : public ::testing::Test {
protected:
    void SetUp() override {
        test::InstallConfigTemplates(test::ProgramHome());
        DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
    }
    void TearDown() override { DeleteDirectoryTree(GetServiceDirectory() + u"Undo"); }

    test::TempDir dir_;
};

TEST_F(IisWindowsDeployer, ReportsIisInitializeFailedWithoutIis) {
    {
        ComSiteAdministration probe;
        std::vector<IisSite> sites;
        std::u16string problem;
        if (probe.ReadSites(sites, problem))
            GTEST_SKIP() << "IIS is installed here; the deployer is not run against it";
    }
    SslCertSrvIIS iis(
        IisInterfaces{std::make_unique<ComSiteAdministration>(),
                      std::make_unique<FileCertificateStore>(dir_.path() + u"Certificates\\"),
                      std::make_unique<FileTlsBindings>(dir_.path() + u"sslbindings.xml")});
    std::vector<std::u16string> names;
    EXPECT_EQ(ResultOf([&] { iis.GetSitesInfo(names); }), "IIS Initialize failed");
    const auto notes = iis.TakeUserNotes();
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes.front().find(u"IIS configuration cannot be read"), std::u16string::npos)
        << Narrow(notes.front());
    EXPECT_EQ(ResultOf([&] { iis.RestoreWeb(); }), "IIS  Initialize failed");
}

TEST(IisWindowsInterfaces, UseTheFileBackedOnesUnderQuillmateIisHome) {
    const auto saved = host::ProcessEnvironmentValue(u"QUILLMATE_IIS_HOME");
    test::TempDir dir;
    host::SetProcessEnvironmentValue(u"QUILLMATE_IIS_HOME", dir.path());
    const IisInterfaces files = CreateIisInterfaces();
    host::SetProcessEnvironmentValue(u"QUILLMATE_IIS_HOME", std::nullopt);
    const IisInterfaces real = CreateIisInterfaces();
    host::SetProcessEnvironmentValue(u"QUILLMATE_IIS_HOME", saved);

    EXPECT_EQ(files.sites->ConfigurationPath(), dir.path() + u"applicationHost.config");
    EXPECT_NE(dynamic_cast<FileCertificateStore*>(files.store.get()), nullptr);
    EXPECT_NE(dynamic_cast<FileTlsBindings*>(files.tlsBindings.get()), nullptr);
    EXPECT_NE(dynamic_cast<ComSiteAdministration*>(real.sites.get()), nullptr);
    EXPECT_NE(dynamic_cast<CryptoApiStore*>(real.store.get()), nullptr);
    EXPECT_NE(dynamic_cast<HttpSysTlsBindings*>(real.tlsBindings.get()), nullptr);
}

// ---------------------------------------------------------------------------
// HTTP.sys

TEST(HttpSysTlsBindings, RefusesWhatIsNoEndpoint) {
    HttpSysTlsBindings tls;
    TlsBinding binding;
    bool found = true;
    std::u16string problem;
    EXPECT_FALSE(tls.Query({u"not an address", kTestPort, false}, binding, found, problem));
    EXPECT_FALSE(found);
    if (problem.find(u"HTTP Server API") != std::u16string::npos)
        GTEST_SKIP() << Narrow(problem);
    EXPECT_NE(problem.find(u"not an address"), std::u16string::npos) << Narrow(problem);
    problem.clear();
    EXPECT_FALSE(tls.Query({u"0.0.0.0", 0, false}, binding, found, problem));
    EXPECT_FALSE(problem.empty());
    problem.clear();
    EXPECT_FALSE(tls.Add({{u"0.0.0.0", kTestPort, false},
                          u"not a thumbprint",
                          u"MY",
                          u"{11111111-2222-3333-4444-555555555555}"},
                         problem));
    EXPECT_NE(problem.find(u"thumbprint"), std::u16string::npos) << Narrow(problem);
    problem.clear();
    EXPECT_FALSE(tls.Add(
        {{u"0.0.0.0", kTestPort, false}, std::u16string(40, u'A'), u"MY", u"not a guid"}, problem));
    EXPECT_NE(problem.find(u"application id"), std::u16string::npos) << Narrow(problem);
}

// Adds, reads back, refuses a second, deletes: one endpoint of each kind.
void RoundTrip(HttpSysTlsBindings& tls, const TlsEndpoint& endpoint,
               const std::u16string& thumbprint) {
    SCOPED_TRACE(Narrow(endpoint.Text()));
    const std::u16string appId = u"{6A1F0C52-3B7E-4D21-9C08-7E5D2B4A9F13}";
    TlsBinding binding;
    bool found = true;
    std::u16string problem;
    ASSERT_TRUE(tls.Query(endpoint, binding, found, problem)) << Narrow(problem);
    if (found)
        GTEST_SKIP() << Narrow(endpoint.Text()) << " is bound already; left alone";
    if (!tls.Add({endpoint, thumbprint, u"MY", appId}, problem))
        GTEST_SKIP() << "HTTP.sys takes no binding here (an administrator can): "
                     << Narrow(problem);
    ASSERT_TRUE(tls.Query(endpoint, binding, found, problem)) << Narrow(problem);
    if (!found) {
        GTEST_SKIP() << "this HTTP Server API accepts bindings and keeps none "
                        "(Wine): only Windows can check them";
    }
    EXPECT_EQ(binding.endpoint, endpoint);
    EXPECT_EQ(binding.certificateHash, thumbprint);
    EXPECT_EQ(binding.storeName, u"MY");
    EXPECT_EQ(binding.appId, appId);

    std::u16string twice;
    EXPECT_FALSE(tls.Add({endpoint, thumbprint, u"MY", appId}, twice));
    EXPECT_EQ(twice, endpoint.Text() + u" already has a certificate bound");

    EXPECT_TRUE(tls.Delete(endpoint, problem)) << Narrow(problem);
    ASSERT_TRUE(tls.Query(endpoint, binding, found, problem)) << Narrow(problem);
    EXPECT_FALSE(found);
    EXPECT_TRUE(tls.Delete(endpoint, problem)) << Narrow(problem);
}

TEST(HttpSysTlsBindings, BindsAnAddressAndAHostName) {
    const std::string name = UniqueName("iis-tls");
    const TestCertificate leaf = MakeCertificate(name, {name}, nullptr, false);
    CryptoApiStore store;
    std::u16string thumbprint, problem;
    // HTTP.sys wants a certificate it can find, with its key.
    if (!store.ImportPkcs12(u"MY", Pkcs12(leaf, {}, kPassword), kPassword, thumbprint, problem)) {
        GTEST_SKIP() << "no certificate can be put into \"MY\" here: " << Narrow(problem);
    }
    struct Cleanup {
        CryptoApiStore& store;
        std::u16string thumbprint;
        ~Cleanup() {
            std::u16string ignored;
            store.Remove(u"MY", thumbprint, ignored);
        }
    } cleanup{store, thumbprint};

    HttpSysTlsBindings tls;
    TlsBinding binding;
    bool found = false;
    if (!tls.Query({u"0.0.0.0", kTestPort, false}, binding, found, problem))
        GTEST_SKIP() << "the HTTP.sys bindings cannot be read here: " << Narrow(problem);
    const TlsEndpoint endpoints[] = {{u"0.0.0.0", kTestPort, false},
                                     {u"::1", kTestPort, false},
                                     {WideFromUtf8(name), kTestPort, true}};
    for (const TlsEndpoint& endpoint : endpoints) {
        RoundTrip(tls, endpoint, thumbprint);
        if (IsSkipped() || HasFatalFailure())
            return;
    }
}

}  // namespace
}  // namespace qm
