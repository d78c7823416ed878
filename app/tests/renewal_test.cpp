// When the renewal service renews, what its command line takes, and a pass
// with nothing deployed.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sstream>

#include "app/renewal.h"
#include "app/vantrel.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

TEST(RenewalPolicy, ReadsSharesAndDays) {
    RenewalPolicy p;
    ASSERT_TRUE(ParseRenewalPolicy("1/3", p));
    EXPECT_DOUBLE_EQ(p.fraction, 1.0 / 3.0);
    EXPECT_EQ(p.days, 0);
    ASSERT_TRUE(ParseRenewalPolicy("0.25", p));
    EXPECT_DOUBLE_EQ(p.fraction, 0.25);
    ASSERT_TRUE(ParseRenewalPolicy("30d", p));
    EXPECT_EQ(p.days, 30);
    EXPECT_EQ(p.fraction, 0);
    for (const char* bad : {"", "0", "1", "1.5", "-1/3", "1/0", "x", "3/", "d", "0d", "1/3x"}) {
        RenewalPolicy q;
        EXPECT_FALSE(ParseRenewalPolicy(bad, q)) << bad;
    }
}

TEST(RenewalPolicy, DueWhenLessThanTheShareOrTheDaysAreLeft) {
    const int64_t day = 86400;
    const RenewalPolicy third;  // 1/3 of the lifetime
    // A 90-day certificate: due in its last 30 days.
    EXPECT_FALSE(RenewalDue(59 * day, 0, 90 * day, third));
    EXPECT_TRUE(RenewalDue(61 * day, 0, 90 * day, third));
    EXPECT_TRUE(RenewalDue(91 * day, 0, 90 * day, third));  // expired: due
    RenewalPolicy week{0, 7};
    EXPECT_FALSE(RenewalDue(80 * day, 0, 90 * day, week));
    EXPECT_TRUE(RenewalDue(84 * day, 0, 90 * day, week));
    // Two minutes, renewed once less than 9/10 are left.
    RenewalPolicy nine{0.9, 0};
    EXPECT_FALSE(RenewalDue(1000 + 5, 1000, 1120, nine));
    EXPECT_TRUE(RenewalDue(1000 + 13, 1000, 1120, nine));
}

TEST(RenewalPolicy, ReadsACertificatesValidity) {
    int64_t from = 0, to = 0;
    EXPECT_FALSE(CertificateValidity("no certificate", from, to));
    // A certificate valid for exactly two minutes from a fixed time.
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_pubkey(x, key);
    ASN1_TIME_set(X509_getm_notBefore(x), 1800000000);
    ASN1_TIME_set(X509_getm_notAfter(x), 1800000120);
    X509_sign(x, key, EVP_sha256());
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, x);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    const std::string pem(data, size_t(n));
    BIO_free(bio);
    X509_free(x);
    EVP_PKEY_free(key);
    ASSERT_TRUE(CertificateValidity(pem, from, to));
    EXPECT_EQ(from, 1800000000);
    EXPECT_EQ(to, 1800000120);
}

TEST(RenewalPass, NothingDeployedIsSaidAndExitsWithItsCode) {
    test::TempDir service;
    const std::string previous = std::getenv("VANTREL_HOME") ? std::getenv("VANTREL_HOME") : "";
    setenv("VANTREL_HOME", service.narrow().c_str(), 1);
    const RenewalPass pass = RenewIfDue({});
    EXPECT_EQ(pass.outcome, RenewalPass::Outcome::NothingDeployed);
    std::ostringstream out, err;
    EXPECT_EQ(RunVantrel({"renew"}, out, err), 8);
    EXPECT_NE(out.str().find("nothing deployed"), std::string::npos) << out.str();
    test::RestoreServiceHome();
}

TEST(VantrelCommandLine, RefusesWhatItDoesNotKnow) {
    std::ostringstream out, err;
    EXPECT_EQ(RunVantrel({}, out, err), 2);
    EXPECT_EQ(RunVantrel({"renew", "--renew-at", "2"}, out, err), 2);
    EXPECT_EQ(RunVantrel({"run", "--interval", "0"}, out, err), 2);
    EXPECT_EQ(RunVantrel({"run", "--interval"}, out, err), 2);
    EXPECT_EQ(RunVantrel({"frobnicate"}, out, err), 2);
    EXPECT_EQ(RunVantrel({"renew", "--nope"}, out, err), 2);
    std::ostringstream help;
    EXPECT_EQ(RunVantrel({"--help"}, help, err), 0);
    EXPECT_NE(help.str().find("/Service"), std::string::npos);
}

}  // namespace
}  // namespace qm
