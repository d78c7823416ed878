// AcmeClient against pebble, Let's Encrypt's ACME test server: real http-01
// validation of names the private /etc/hosts maps to loopback, chains
// checked under pebble's roots, refused nonces, failed validations, reused
// authorizations, alternate roots and external account binding.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>

#include "acme/acmeclient.h"
#include "acme/tests/test_certs.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/pebble_process.h"
#include "tests/support/temp_dir.h"

namespace qm::acme {
namespace {

using e2e::PebbleOptions;
using e2e::PebbleProcess;
using e2e::StaticFileServer;

const std::vector<std::string> kNames = {"acme.example.test", "www.acme.example.test"};

std::vector<X509Ptr> ReadCerts(const std::string& pem) {
    std::vector<X509Ptr> certs;
    for (const std::string& block : SplitPemCertificates(pem)) {
        BIO* bio = BIO_new_mem_buf(block.data(), static_cast<int>(block.size()));
        certs.emplace_back(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
    }
    return certs;
}

// OpenSSL's verdict on the chain with `rootPem` as the only trust anchor;
// empty when it verifies.
std::string VerifyChain(const CertificateChain& chain, const std::string& rootPem) {
    const std::vector<X509Ptr> leaf = ReadCerts(chain.certificatePem);
    const std::vector<X509Ptr> issuers = ReadCerts(chain.chainPem);
    const std::vector<X509Ptr> roots = ReadCerts(rootPem);
    if (leaf.size() != 1 || roots.size() != 1)
        return "unreadable certificates";
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, roots[0].get());
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    for (const X509Ptr& cert : issuers)
        sk_X509_push(untrusted, cert.get());
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, leaf[0].get(), untrusted);
    X509_STORE_CTX_set_purpose(ctx, X509_PURPOSE_SSL_SERVER);
    const bool ok = X509_verify_cert(ctx) == 1;
    std::string why = ok ? "" : X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
    X509_STORE_CTX_free(ctx);
    sk_X509_free(untrusted);
    X509_STORE_free(store);
    return why;
}

std::string CommonNameOf(const std::string& pem) {
    const std::vector<X509Ptr> certs = ReadCerts(pem);
    char name[256] = {};
    if (!certs.empty())
        X509_NAME_get_text_by_NID(X509_get_subject_name(certs[0].get()), NID_commonName, name,
                                  sizeof name);
    return name;
}

class Pebble : public testing::Test {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_PEBBLE();
        site_ = std::make_unique<StaticFileServer>(siteDir_.narrow());
    }

    void Start(PebbleOptions options) {
        options.httpPort = site_->port();
        pebble_ = std::make_unique<PebbleProcess>(options);
    }

    AcmeOptions Options(const std::string& account = "account") {
        AcmeOptions options;
        options.directoryUrl = pebble_->directoryUrl();
        options.caFile = WideFromUtf8(pebble_->caFile());
        options.accountDir = accountDir_.path() + WideFromUtf8(account);
        options.agreeToTerms = true;
        options.maxWait = std::chrono::seconds(60);
        options.stopRequested = [] { return false; };
        return options;
    }

    // The deployers' way: a file under the document root, removed afterwards.
    Http01Responder Files() {
        return {[this](const std::string&, const std::string& token,
                       const std::string& keyAuthorization) {
                    ++placed_;
                    const std::filesystem::path folder =
                        std::filesystem::path(siteDir_.narrow()) / ".well-known/acme-challenge";
                    std::filesystem::create_directories(folder);
                    std::ofstream(folder / token, std::ios::binary) << keyAuthorization;
                },
                [this](const std::string&, const std::string& token) {
                    ++removed_;
                    std::filesystem::remove(std::filesystem::path(siteDir_.narrow()) /
                                            ".well-known/acme-challenge" / token);
                }};
    }

    std::string Csr(const std::vector<std::string>& names = kNames) {
        return test::MakeCsr(certKey_.get(), names);
    }

    size_t ChallengeFilesLeft() const {
        const std::filesystem::path folder =
            std::filesystem::path(siteDir_.narrow()) / ".well-known/acme-challenge";
        if (!std::filesystem::exists(folder))
            return 0;
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                 std::filesystem::directory_iterator()));
    }

    qm::test::TempDir siteDir_;
    qm::test::TempDir accountDir_;
    std::unique_ptr<StaticFileServer> site_;
    std::unique_ptr<PebbleProcess> pebble_;
    EvpPkeyPtr certKey_ = test::NewEcKey();
    int placed_ = 0;
    int removed_ = 0;
};

TEST_F(Pebble, IssuesForTwoNamesThroughRefusedNoncesAndTheChainVerifies) {
    Start({.nonceRejectPercent = 30});
    AcmeOptions options = Options();
    // At 30 % refusals the default five retries would fail a run now and then.
    options.badNonceRetries = 12;
    AcmeClient client(options);
    const IssuedChain issued = client.Obtain(kNames, Csr(), Files());

    EXPECT_EQ(VerifyChain(issued.chain, pebble_->RootPem(0)), "");
    EXPECT_EQ(issued.chain.TopIssuer(), CommonNameOf(pebble_->RootPem(0)));
    // Pebble fetched both files from the site under their own names.
    int fetches = 0;
    for (const std::string& fetched : site_->Fetched()) {
        if (fetched.find(" /.well-known/acme-challenge/") != std::string::npos)
            ++fetches;
    }
    EXPECT_GE(fetches, 2);
    EXPECT_EQ(placed_, 2);
    EXPECT_EQ(removed_, 2);
    EXPECT_EQ(ChallengeFilesLeft(), 0u);
    EXPECT_TRUE(client.Stats().accountCreated);

    // Refusals are random: a second order gives them another chance to show.
    if (client.Stats().badNonceRetries == 0)
        client.Obtain({kNames[0]}, Csr({kNames[0]}), Files());
    EXPECT_GT(client.Stats().badNonceRetries, 0) << pebble_->Output();

    // Pebble (2.4) offers no renewal information; a CA that does answers.
    const auto window = client.RenewalInfo(issued.chain.certificatePem);
    if (window) {
        EXPECT_LT(window->start, window->end);
    }
}

TEST_F(Pebble, AFileThatIsNotThereSurfacesPebblesProblem) {
    Start({});
    Http01Responder nothing = Files();
    nothing.place = [this](const std::string&, const std::string&, const std::string&) {
        ++placed_;
    };
    AcmeClient client(Options());
    try {
        client.Obtain({kNames[0]}, Csr({kNames[0]}), nothing);
        FAIL() << "issued without a challenge file";
    } catch (const AcmeError& error) {
        EXPECT_EQ(error.cause(), AcmeError::Cause::Server) << error.what();
        EXPECT_FALSE(error.type().empty()) << error.what();
        EXPECT_FALSE(error.detail().empty()) << error.what();
        const std::string message = error.what();
        EXPECT_NE(message.find("http-01 validation of acme.example.test"), std::string::npos)
            << message;
        EXPECT_NE(message.find(error.detail()), std::string::npos) << message;
    }
    EXPECT_EQ(placed_, 1);
    EXPECT_EQ(removed_, 1);
}

TEST_F(Pebble, AReusedAuthorizationNeedsNoNewChallenge) {
    Start({.authzReusePercent = 100});
    AcmeClient client(Options());
    client.Obtain({kNames[0]}, Csr({kNames[0]}), Files());
    ASSERT_EQ(placed_, 1);
    ASSERT_EQ(client.Stats().challengesAnswered, 1);
    const IssuedChain again = client.Obtain({kNames[0]}, Csr({kNames[0]}), Files());
    EXPECT_EQ(placed_, 1);
    EXPECT_EQ(client.Stats().challengesAnswered, 1);
    EXPECT_EQ(client.Stats().authorizationsReused, 1);
    EXPECT_EQ(VerifyChain(again.chain, pebble_->RootPem(0)), "");
}

TEST_F(Pebble, AlternateChainsLeadToTheOtherRoots) {
    Start({.alternateRoots = 2, .chainLength = 2});
    AcmeOptions options = Options();
    options.accountKey = KeyKind::Rsa;
    AcmeClient client(options);
    const IssuedChain issued = client.Obtain(kNames, Csr(), Files());
    ASSERT_EQ(issued.alternates.size(), 2u);
    // Each chain, the default and the alternates, verifies under its own root.
    std::vector<const CertificateChain*> chains{&issued.chain};
    for (const auto& alternate : issued.alternates)
        chains.push_back(&alternate);
    for (int root = 0; root < 3; ++root) {
        const std::string rootPem = pebble_->RootPem(root);
        const CertificateChain& picked = PreferredChain(issued, CommonNameOf(rootPem));
        EXPECT_EQ(picked.TopIssuer(), CommonNameOf(rootPem));
        EXPECT_EQ(VerifyChain(picked, rootPem), "") << "root " << root;
        EXPECT_EQ(picked.certificatePem, issued.chain.certificatePem);
        // Chain length 2: two intermediates between the leaf and the root.
        EXPECT_EQ(SplitPemCertificates(picked.chainPem).size(), 2u);
    }
}

TEST_F(Pebble, ExternalAccountBindingIsRequiredAndAccepted) {
    const std::string key = "zWNDZM6eQGHWpSRTPal5eIUYFTu7EajVIoguysqZ9wG44nMEtx3MUAsUDkMTQ12W";
    Start({.eabKeys = {{"kid-1", key}}});
    AcmeClient unbound(Options("unbound"));
    EXPECT_TRUE(unbound.ExternalAccountRequired());
    EXPECT_THROW(unbound.AccountUrl(), AcmeError);

    AcmeOptions wrong = Options("wrong");
    wrong.eabKid = "kid-1";
    wrong.eabHmacKey = "b10lLJs8l1GPIzsLP0s6pMt8O0XVGnfTaCeROxQM0BIt2XrJMDHJZBM5NuQmQJQH";
    try {
        AcmeClient(wrong).AccountUrl();
        ADD_FAILURE() << "an account with a wrong binding key";
    } catch (const AcmeError& error) {
        EXPECT_EQ(error.cause(), AcmeError::Cause::Server) << error.what();
    }

    AcmeOptions bound = Options("bound");
    bound.eabKid = "kid-1";
    bound.eabHmacKey = key;
    AcmeClient client(bound);
    const IssuedChain issued = client.Obtain({kNames[0]}, Csr({kNames[0]}), Files());
    EXPECT_EQ(VerifyChain(issued.chain, pebble_->RootPem(0)), "");
}

TEST_F(Pebble, TheAccountIsFoundAgainAndTermsAreTheCallersToAgree) {
    Start({});
    const std::string url = AcmeClient(Options()).AccountUrl();
    AcmeOptions later = Options();
    later.agreeToTerms = false;
    AcmeClient again(later);
    EXPECT_EQ(again.AccountUrl(), url);
    EXPECT_FALSE(again.Stats().accountCreated);

    AcmeOptions fresh = Options("fresh");
    fresh.agreeToTerms = false;
    AcmeClient disagreeing(fresh);
    EXPECT_FALSE(disagreeing.TermsOfService().empty());
    try {
        disagreeing.AccountUrl();
        ADD_FAILURE() << "pebble made an account without agreement to its terms";
    } catch (const AcmeError& error) {
        EXPECT_EQ(error.cause(), AcmeError::Cause::Server) << error.what();
        EXPECT_NE(std::string(error.what()).find(disagreeing.TermsOfService()), std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace qm::acme
