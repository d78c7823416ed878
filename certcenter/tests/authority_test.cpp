#include "certcenter/authority.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "certcenter/tests/test_client.h"
#include "tests/support/temp_dir.h"

namespace qm::certcenter {
namespace {

using test::CommonName;
using test::SubjectAltNames;

// Whether `pem` chains to the CA certificate, checked as a TLS client would.
bool VerifiesAgainst(const std::string& pem, X509* ca) {
    Cert cert = ReadCertificatePem(pem);
    std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>> store(X509_STORE_new());
    std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX_free>> context(
        X509_STORE_CTX_new());
    X509_STORE_add_cert(store.get(), ca);
    X509_STORE_CTX_init(context.get(), store.get(), cert.get(), nullptr);
    X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
    return X509_verify_cert(context.get()) == 1;
}

TEST(CertificateAuthorityTest, CreatedOnceKeptPrivateAndReopened) {
    qm::test::TempDir dir;
    const std::string state = dir.narrow() + "state";
    const auto created = CertificateAuthority::OpenOrCreate(state, KeyKind::Ec);
#ifndef _WIN32  // file modes
    const auto keyPerms = std::filesystem::status(state + "/ca-key.pem").permissions();
    EXPECT_EQ(keyPerms & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
    EXPECT_EQ(qm::test::ReadAll(dir / u"state/ca.pem"), created.certificatePem());

    const auto reopened = CertificateAuthority::OpenOrCreate(state, KeyKind::Rsa);
    EXPECT_EQ(reopened.certificatePem(), created.certificatePem());
    EXPECT_EQ(X509_check_ca(created.certificate()), 1);
}

TEST(CertificateAuthorityTest, RefusesIncompleteOrMismatchedState) {
    qm::test::TempDir a, b;
    CertificateAuthority::OpenOrCreate(a.narrow(), KeyKind::Ec);
    CertificateAuthority::OpenOrCreate(b.narrow(), KeyKind::Ec);

    // A key from another CA must not be paired silently with this certificate.
    std::filesystem::remove(a.narrow() + "ca-key.pem");
    std::filesystem::copy_file(b.narrow() + "ca-key.pem", a.narrow() + "ca-key.pem");
    EXPECT_THROW(CertificateAuthority::OpenOrCreate(a.narrow(), KeyKind::Ec), std::runtime_error);

    // A lone certificate must not be replaced by a new CA behind the operator's back.
    std::filesystem::remove(b.narrow() + "ca-key.pem");
    EXPECT_THROW(CertificateAuthority::OpenOrCreate(b.narrow(), KeyKind::Ec), std::runtime_error);
    EXPECT_TRUE(std::filesystem::exists(b.narrow() + "ca.pem"));

    qm::test::WriteAll(b / u"ca-key.pem", "garbage");
    EXPECT_THROW(CertificateAuthority::OpenOrCreate(b.narrow(), KeyKind::Ec), std::runtime_error);
}

TEST(CertificateAuthorityTest, AKeyLeftWithoutItsCertificateGetsOneForTheSameKey) {
    // What a first start cut off between writing the key and the certificate leaves.
    qm::test::TempDir dir;
    CertificateAuthority::OpenOrCreate(dir.narrow(), KeyKind::Ec);
    const std::string key = qm::test::ReadAll(dir / u"ca-key.pem");
    std::filesystem::remove(dir.narrow() + "ca.pem");
    const auto reopened = CertificateAuthority::OpenOrCreate(dir.narrow(), KeyKind::Rsa);
    EXPECT_EQ(qm::test::ReadAll(dir / u"ca-key.pem"), key);
    EXPECT_EQ(qm::test::ReadAll(dir / u"ca.pem"), reopened.certificatePem());
    const PKey loaded = ReadPrivateKeyPem(key);
    EXPECT_EQ(X509_check_private_key(reopened.certificate(), loaded.get()), 1);
}

#ifndef _WIN32  // file modes
TEST(CertificateAuthorityTest, AKeyOthersMayReadStopsTheStart) {
    qm::test::TempDir dir;
    CertificateAuthority::OpenOrCreate(dir.narrow(), KeyKind::Ec);
    const std::string keyPath = dir.narrow() + "ca-key.pem";
    for (const auto extra :
         {std::filesystem::perms::group_read, std::filesystem::perms::others_read}) {
        std::filesystem::permissions(keyPath, extra, std::filesystem::perm_options::add);
        try {
            CertificateAuthority::OpenOrCreate(dir.narrow(), KeyKind::Ec);
            ADD_FAILURE() << "a key others may read was used";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("ca-key.pem may be read by others"),
                      std::string::npos)
                << e.what();
        }
        std::filesystem::permissions(keyPath, extra, std::filesystem::perm_options::remove);
    }
    EXPECT_NO_THROW(CertificateAuthority::OpenOrCreate(dir.narrow(), KeyKind::Ec));
}
#endif

TEST(CertificateAuthorityTest, IssuesServerCertificatesForTheNames) {
    for (const KeyKind kind : {KeyKind::Ec, KeyKind::Rsa}) {
        qm::test::TempDir state;
        const auto ca = CertificateAuthority::OpenOrCreate(state.narrow(), kind);
        const PKey key = GenerateKey(KeyKind::Rsa);
        const auto first =
            ca.Issue(key.get(), {"shop.example.test", "www.shop.example.test"}, 30L * 86400);
        const auto second = ca.Issue(key.get(), {"shop.example.test"}, 30L * 86400);

        EXPECT_EQ(SubjectAltNames(first.pem),
                  (std::vector<std::string>{"shop.example.test", "www.shop.example.test"}));
        EXPECT_EQ(CommonName(first.pem), "shop.example.test");
        EXPECT_NE(first.serial, second.serial);
        EXPECT_GE(first.serial.size(), 32u) << "128-bit random serials";
        EXPECT_TRUE(VerifiesAgainst(first.pem, ca.certificate()));

        Cert cert = ReadCertificatePem(first.pem);
        EXPECT_EQ(X509_get_signature_nid(cert.get()),
                  kind == KeyKind::Ec ? NID_ecdsa_with_SHA256 : NID_sha256WithRSAEncryption);
        int days = 0, seconds = 0;
        ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert.get()),
                                 X509_get0_notAfter(cert.get())),
                  1);
        EXPECT_EQ(days, 30);
        EXPECT_EQ(seconds, 0) << "the backdating is inside the validity";
        EXPECT_EQ(X509_check_ca(cert.get()), 0);
        EXPECT_EQ(X509_check_purpose(cert.get(), X509_PURPOSE_SSL_SERVER, 0), 1);
    }
}

// notAfter - notBefore is the validity to the second, short or long; the
// certificate is valid at once and stays so for most of its validity.
TEST(CertificateAuthorityTest, PeriodIsTheValidity) {
    qm::test::TempDir state;
    const auto ca = CertificateAuthority::OpenOrCreate(state.narrow(), KeyKind::Ec);
    const PKey key = GenerateKey(KeyKind::Ec);
    for (const long validity : {1L, 120L, 3600L, 90L * 86400, 825L * 86400}) {
        const time_t before = time(nullptr);
        const auto leaf = ca.Issue(key.get(), {"shop.example.test"}, validity);
        const time_t after = time(nullptr);
        Cert cert = ReadCertificatePem(leaf.pem);
        int days = 0, seconds = 0;
        ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert.get()),
                                 X509_get0_notAfter(cert.get())),
                  1);
        EXPECT_EQ(days * 86400L + seconds, validity) << validity;
        // X509_cmp_time: -1 when the certificate's time is at or before the
        // given one, 1 when after it.
        time_t signedBy = after;
        EXPECT_EQ(X509_cmp_time(X509_get0_notBefore(cert.get()), &signedBy), -1) << validity;
        time_t endsAfter = before + validity - std::min(300L, validity / 10) - 1;
        EXPECT_EQ(X509_cmp_time(X509_get0_notAfter(cert.get()), &endsAfter), 1) << validity;
    }
}

TEST(CertificateAuthorityTest, LongFirstNameLeavesCommonNameOut) {
    qm::test::TempDir state;
    const auto ca = CertificateAuthority::OpenOrCreate(state.narrow(), KeyKind::Ec);
    const PKey key = GenerateKey(KeyKind::Ec);
    const std::string longName = std::string(60, 'a') + ".example.test";  // 73 characters
    const auto issued = ca.Issue(key.get(), {longName}, 86400);
    EXPECT_EQ(CommonName(issued.pem), "");
    EXPECT_EQ(SubjectAltNames(issued.pem), std::vector<std::string>{longName});
    EXPECT_TRUE(VerifiesAgainst(issued.pem, ca.certificate()));
}

TEST(CertificateAuthorityTest, TlsIdentityNamesTheCenter) {
    qm::test::TempDir state;
    const auto ca = CertificateAuthority::OpenOrCreate(state.narrow(), KeyKind::Ec);
    const auto identity = ca.MakeTlsIdentity({"center.example.test", "10.1.2.3"});
    X509* cert = identity.certificate.get();
    EXPECT_EQ(X509_check_host(cert, "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_host(cert, "center.example.test", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(cert, "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_ip_asc(cert, "10.1.2.3", 0), 1);
    EXPECT_EQ(X509_check_host(cert, "other.example.test", 0, 0, nullptr), 0);
    EXPECT_EQ(X509_check_private_key(cert, identity.key.get()), 1);
    EXPECT_TRUE(VerifiesAgainst(CertificatePem(cert), ca.certificate()));

    EXPECT_THROW(ca.MakeTlsIdentity({"bad,DNS:evil.test"}), std::invalid_argument);
}

}  // namespace
}  // namespace qm::certcenter
