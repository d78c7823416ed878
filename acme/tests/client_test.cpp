// AcmeClient against the in-process fake CA: the whole order, accounts,
// nonces, problem documents, polling limits and the http-01 files.
#include "acme/acmeclient.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "acme/tests/fake_acme_server.h"
#include "acme/tests/test_certs.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm::acme {
namespace {

using std::chrono::steady_clock;
using test::FakeAcmeServer;
using test::FakeCaScript;

const std::vector<std::string> kNames = {"a.example.test", "b.example.test"};

// The sites' challenge files, as the deployers would place them.
class Site {
public:
    Http01Responder Responder() {
        return {[this](const std::string& name, const std::string& token,
                       const std::string& keyAuthorization) {
                    std::lock_guard lock(mutex_);
                    ++placed_;
                    files_[name + "/" + token] = keyAuthorization;
                    if (onPlace_)
                        onPlace_(name, token);
                },
                [this](const std::string& name, const std::string& token) {
                    std::lock_guard lock(mutex_);
                    ++removed_;
                    files_.erase(name + "/" + token);
                }};
    }
    FakeAcmeServer::Fetch Fetcher() {
        return [this](const std::string& name, const std::string& token) {
            std::lock_guard lock(mutex_);
            const auto it = files_.find(name + "/" + token);
            return it == files_.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
    }
    int placed() const { return placed_; }
    int removed() const { return removed_; }
    size_t filesLeft() const { return files_.size(); }
    std::function<void(const std::string&, const std::string&)> onPlace_;
    std::map<std::string, std::string> files_;

private:
    std::mutex mutex_;
    int placed_ = 0;
    int removed_ = 0;
};

class Client : public testing::Test {
protected:
    static void SetUpTestSuite() { pki_ = new qm::test::TestPki(); }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    void TearDown() override {
        if (server_) {
            EXPECT_EQ(server_->Faults(), std::vector<std::string>{});
        }
    }

    FakeAcmeServer& Serve(FakeCaScript script = {}) {
        if (server_) {
            EXPECT_EQ(server_->Faults(), std::vector<std::string>{});
        }
        server_ = std::make_unique<FakeAcmeServer>(*pki_, std::move(script), site_.Fetcher());
        return *server_;
    }

    AcmeOptions Options() {
        AcmeOptions options;
        if (server_)
            options.directoryUrl = server_->directoryUrl();
        options.caFile = pki_->caFile();
        options.accountDir = accountDir_.path() + u"account";
        options.agreeToTerms = true;
        options.maxWait = std::chrono::seconds(20);
        options.stopRequested = [] { return false; };
        return options;
    }

    std::string AccountKeyPem() {
        std::string pem;
        EXPECT_TRUE(ReadFileBytes(accountDir_.path() + u"account/account.key", pem));
        return pem;
    }

    std::string Csr(const std::vector<std::string>& names = kNames) {
        return test::MakeCsr(certKey_.get(), names);
    }

    static AcmeError ErrorOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const AcmeError& error) {
            return error;
        }
        ADD_FAILURE() << "no AcmeError";
        return AcmeError(AcmeError::Cause::Local, "none");
    }

    static qm::test::TestPki* pki_;
    qm::test::TempDir accountDir_;
    Site site_;
    std::unique_ptr<FakeAcmeServer> server_;
    EvpPkeyPtr certKey_ = test::NewEcKey();
};
qm::test::TestPki* Client::pki_ = nullptr;

std::vector<std::string> SubjectAltNames(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    std::vector<std::string> names;
    auto* general =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; general && i < sk_GENERAL_NAME_num(general); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
        if (name->type == GEN_DNS)
            names.emplace_back(
                reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                static_cast<size_t>(ASN1_STRING_length(name->d.dNSName)));
    }
    GENERAL_NAMES_free(general);
    X509_free(cert);
    return names;
}

TEST_F(Client, ObtainsTheChainAndItsAlternateWithEveryFileRemoved) {
    FakeAcmeServer& ca = Serve();
    std::vector<std::string> keyAuthorizations;
    site_.onPlace_ = [&](const std::string& name, const std::string& token) {
        keyAuthorizations.push_back(site_.files_[name + "/" + token]);
    };
    AcmeClient client(Options());
    const IssuedChain issued = client.Obtain(kNames, Csr(), site_.Responder());

    EXPECT_EQ(SubjectAltNames(issued.chain.certificatePem), kNames);
    EXPECT_EQ(issued.chain.issuers, (std::vector<std::string>{"Fake Issuing CA", "Fake Root A"}));
    ASSERT_EQ(issued.alternates.size(), 1u);
    EXPECT_EQ(issued.alternates[0].TopIssuer(), "Fake Root B");
    EXPECT_EQ(issued.alternates[0].certificatePem, issued.chain.certificatePem);
    EXPECT_EQ(&PreferredChain(issued, "Fake Root B"), &issued.alternates[0]);
    EXPECT_EQ(issued.orderUrl, ca.url("/order/0"));
    EXPECT_EQ(ca.LastAccept(), "application/pem-certificate-chain");

    // Each file held token.thumbprint and is gone again.
    ASSERT_EQ(keyAuthorizations.size(), 2u);
    for (const auto& keyAuthorization : keyAuthorizations)
        EXPECT_EQ(keyAuthorization.substr(keyAuthorization.find('.') + 1),
                  JwkThumbprint(PublicJwk(PrivateKeyFromPem(AccountKeyPem()).get())));
    EXPECT_EQ(site_.placed(), 2);
    EXPECT_EQ(site_.removed(), 2);
    EXPECT_EQ(site_.filesLeft(), 0u);

    EXPECT_EQ(client.Stats().challengesAnswered, 2);
    EXPECT_TRUE(client.Stats().accountCreated);
    EXPECT_EQ(client.AccountUrl(), ca.url("/acct/0"));
    EXPECT_EQ(ca.LastNewAccountPayload()["termsOfServiceAgreed"], Json::Value(true));
    // One newNonce: every answer's Replay-Nonce feeds the next request.
    EXPECT_EQ(ca.CountOf("HEAD /nonce"), 1);
    EXPECT_EQ(client.TermsOfService(), "https://ca.test/terms");
}

TEST_F(Client, KeepsTheAccountKeyOwnerOnlyAndSignsRs256WhenAsked) {
    FakeAcmeServer& ca = Serve();
    AcmeOptions options = Options();
    options.accountKey = KeyKind::Rsa;
    AcmeClient client(options);
    client.Obtain({"rsa.example.test"}, Csr({"rsa.example.test"}), site_.Responder());
    const std::string pem = AccountKeyPem();
    EXPECT_EQ(JwsAlgorithm(PrivateKeyFromPem(pem).get()), "RS256");
#ifndef _WIN32
    const auto permissions =
        std::filesystem::status(FsPath(options.accountDir + u"/account.key")).permissions();
    EXPECT_EQ(permissions & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
    EXPECT_EQ(ca.AccountsCreated(), 1);
}

TEST_F(Client, AKnownKeyFindsItsAccountInsteadOfMakingAnother) {
    {
        FakeAcmeServer& ca = Serve();
        const std::string first = AcmeClient(Options()).AccountUrl();
        AcmeOptions again = Options();
        again.agreeToTerms = false;  // not needed to find an account
        AcmeClient second(again);
        EXPECT_EQ(second.AccountUrl(), first);
        EXPECT_FALSE(second.Stats().accountCreated);
        EXPECT_EQ(ca.AccountsCreated(), 1);
        const Json::Value lookup = ca.LastNewAccountPayload();
        EXPECT_EQ(lookup["onlyReturnExisting"], Json::Value(true));
        EXPECT_FALSE(lookup.isMember("termsOfServiceAgreed"));
    }

    // A CA that does not know the key: the lookup fails and the account is made.
    FakeAcmeServer& other = Serve();
    AcmeClient third(Options());
    EXPECT_EQ(third.AccountUrl(), other.url("/acct/0"));
    EXPECT_TRUE(third.Stats().accountCreated);
    EXPECT_EQ(other.CountOf("POST /new-account"), 2);
}

TEST_F(Client, TermsAreAgreedToOnlyWhenTheCallerSaysSo) {
    FakeAcmeServer& ca = Serve();
    AcmeOptions options = Options();
    options.agreeToTerms = false;
    options.contacts = {"mailto:admin@example.test"};
    const AcmeError refused = ErrorOf([&] { AcmeClient(options).AccountUrl(); });
    EXPECT_EQ(refused.cause(), AcmeError::Cause::Server);
    EXPECT_TRUE(refused.Is("malformed"));
    EXPECT_NE(std::string(refused.what()).find("https://ca.test/terms"), std::string::npos)
        << refused.what();
    EXPECT_FALSE(ca.LastNewAccountPayload().isMember("termsOfServiceAgreed"));
    EXPECT_EQ(ca.LastNewAccountPayload()["contact"][0].asString(), "mailto:admin@example.test");

    // A CA without terms takes the account as it is.
    FakeCaScript noTerms;
    noTerms.requireTerms = false;
    noTerms.termsOfService.clear();
    FakeAcmeServer& free = Serve(noTerms);
    options.directoryUrl = free.directoryUrl();
    AcmeClient client(options);
    client.Obtain({"a.example.test"}, Csr({"a.example.test"}), site_.Responder());
    EXPECT_FALSE(free.LastNewAccountPayload().isMember("termsOfServiceAgreed"));
}

TEST_F(Client, BadNoncesAreRetriedWithinTheBudgetOnly) {
    FakeCaScript script;
    script.rejectNonces = 4;
    {
        FakeAcmeServer& ca = Serve(script);
        AcmeClient client(Options());
        client.Obtain(kNames, Csr(), site_.Responder());
        EXPECT_EQ(client.Stats().badNonceRetries, 4);
        EXPECT_EQ(ca.NoncesRejected(), 4);
    }

    script.rejectNonces = 100;
    FakeAcmeServer& stubborn = Serve(script);
    AcmeOptions options = Options();
    options.badNonceRetries = 2;
    AcmeClient limited(options);
    const AcmeError error = ErrorOf([&] { limited.AccountUrl(); });
    EXPECT_TRUE(error.Is("badNonce")) << error.what();
    EXPECT_EQ(stubborn.NoncesRejected(), 3);  // the first try and two retries
    EXPECT_EQ(limited.Stats().badNonceRetries, 2);
}

TEST_F(Client, ABusyCaIsAskedAgainAfterItsShortWaitsOnly) {
    FakeCaScript script;
    script.unavailable = 2;
    script.rateLimited = 1;
    script.retryAfterBusy = 0;
    {
        FakeAcmeServer& ca = Serve(script);
        AcmeClient client(Options());
        client.Obtain(kNames, Csr(), site_.Responder());
        EXPECT_EQ(client.Stats().busyRetries, 3);
        EXPECT_EQ(ca.BusyAnswers(), 3);
    }
    // A limit lifted only in an hour is reported at once, with the CA's words.
    script.unavailable = 0;
    script.rateLimited = 1;
    script.retryAfterBusy = 3600;
    {
        Serve(script);
        AcmeClient client(Options());
        const auto start = std::chrono::steady_clock::now();
        const AcmeError error = ErrorOf([&] { client.AccountUrl(); });
        EXPECT_TRUE(error.Is("rateLimited")) << error.what();
        EXPECT_NE(std::string(error.what()).find("too many requests"), std::string::npos);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(client.Stats().busyRetries, 0);
    }
    // A CA that stays unavailable: three more tries, then its answer.
    script.unavailable = 100;
    script.rateLimited = 0;
    script.retryAfterBusy = 0;
    FakeAcmeServer& down = Serve(script);
    AcmeClient client(Options());
    const AcmeError error = ErrorOf([&] { client.AccountUrl(); });
    EXPECT_EQ(error.httpStatus(), 503) << error.what();
    EXPECT_EQ(down.BusyAnswers(), 4);
}

TEST_F(Client, TwoClientsMakingTheFirstAccountShareOneKey) {
    FakeAcmeServer& ca = Serve();
    std::string urls[2];
    std::thread other([&] { urls[1] = AcmeClient(Options()).AccountUrl(); });
    urls[0] = AcmeClient(Options()).AccountUrl();
    other.join();
    EXPECT_EQ(urls[0], urls[1]);
    EXPECT_EQ(urls[0], ca.url("/acct/0"));
    // No lock is left taken: a third client in another folder state works too.
    EXPECT_EQ(AcmeClient(Options()).AccountUrl(), urls[0]);
}

TEST_F(Client, ARefusedOrderCarriesTheProblemAndItsSubproblems) {
    FakeCaScript script;
    Json::Value problem;
    problem["type"] = "urn:ietf:params:acme:error:rejectedIdentifier";
    problem["detail"] = "Error creating new order :: Cannot issue for \"bad_name.test\"";
    problem["status"] = 400;
    problem["subproblems"][0]["type"] = "urn:ietf:params:acme:error:malformed";
    problem["subproblems"][0]["detail"] = "Domain name contains an invalid character";
    problem["subproblems"][0]["identifier"]["type"] = "dns";
    problem["subproblems"][0]["identifier"]["value"] = "bad_name.test";
    script.newOrderProblem = problem;
    Serve(script);
    AcmeClient client(Options());
    const AcmeError error = ErrorOf(
        [&] { client.Obtain({"bad_name.test"}, Csr({"bad_name.test"}), site_.Responder()); });
    EXPECT_EQ(error.type(), "urn:ietf:params:acme:error:rejectedIdentifier");
    EXPECT_EQ(error.detail(), problem["detail"].asString());
    EXPECT_EQ(error.httpStatus(), 400);
    ASSERT_EQ(error.subproblems().size(), 1u);
    EXPECT_EQ(error.subproblems()[0].identifier, "bad_name.test");
    EXPECT_NE(std::string(error.what()).find("invalid character"), std::string::npos);
    EXPECT_EQ(site_.placed(), 0);
}

TEST_F(Client, AFailedValidationTellsWhatTheCaFetchedAndRemovesEveryFile) {
    FakeCaScript script;
    script.failNames = {"b.example.test"};
    Serve(script);
    AcmeClient client(Options());
    const AcmeError error = ErrorOf([&] { client.Obtain(kNames, Csr(), site_.Responder()); });
    EXPECT_EQ(error.cause(), AcmeError::Cause::Server);
    EXPECT_TRUE(error.Is("connection"));
    const std::string message = error.what();
    EXPECT_NE(message.find("http-01 validation of b.example.test"), std::string::npos) << message;
    EXPECT_NE(message.find("Connection refused"), std::string::npos) << message;
    EXPECT_NE(message.find("the CA fetched http://b.example.test/.well-known/acme-challenge/"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("from 127.0.0.1"), std::string::npos) << message;
    EXPECT_EQ(site_.placed(), 2);
    EXPECT_EQ(site_.removed(), 2);
}

TEST_F(Client, AWrongFileIsReportedInTheCasWords) {
    Serve();
    Http01Responder wrong = site_.Responder();
    const auto place = wrong.place;
    wrong.place = [place](const std::string& name, const std::string& token, const std::string&) {
        place(name, token, "something else");
    };
    AcmeClient client(Options());
    const AcmeError error =
        ErrorOf([&] { client.Obtain({"a.example.test"}, Csr({"a.example.test"}), wrong); });
    EXPECT_TRUE(error.Is("unauthorized")) << error.what();
    EXPECT_NE(std::string(error.what()).find("something else"), std::string::npos);
    EXPECT_EQ(site_.filesLeft(), 0u);
}

TEST_F(Client, RetryAfterIsHonouredAndTheWholeWaitIsBounded) {
    FakeCaScript script;
    script.pendingPolls = 1;
    script.processingPolls = 1;
    script.retryAfterSeconds = 1;
    Serve(script);
    auto start = steady_clock::now();
    AcmeClient(Options()).Obtain({"a.example.test"}, Csr({"a.example.test"}), site_.Responder());
    // One pending authorization poll and one processing order poll, a second each.
    EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(1900));

    script.pendingPolls = 1000;
    Serve(script);
    AcmeOptions options = Options();
    options.maxWait = std::chrono::seconds(2);
    start = steady_clock::now();
    const AcmeError error = ErrorOf([&] {
        AcmeClient(options).Obtain({"a.example.test"}, Csr({"a.example.test"}), site_.Responder());
    });
    const auto took = steady_clock::now() - start;
    EXPECT_EQ(error.cause(), AcmeError::Cause::Timeout) << error.what();
    EXPECT_GE(took, std::chrono::seconds(2));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(site_.filesLeft(), 0u);
}

TEST_F(Client, AStopRequestEndsTheWaitPromptlyAndStillRemovesTheFiles) {
    FakeCaScript script;
    script.pendingPolls = 1000;
    script.retryAfterSeconds = 30;
    Serve(script);
    std::atomic<int> asked{0};
    AcmeOptions options = Options();
    // Stops once the CA has been asked to validate and polling has begun.
    options.stopRequested = [&] { return server_->CountOf("POST /authz/") >= 2 && ++asked > 0; };
    const auto start = steady_clock::now();
    const AcmeError error = ErrorOf([&] {
        AcmeClient(options).Obtain({"a.example.test"}, Csr({"a.example.test"}), site_.Responder());
    });
    EXPECT_EQ(error.cause(), AcmeError::Cause::Stopped) << error.what();
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(site_.removed(), 1);
    EXPECT_EQ(site_.filesLeft(), 0u);
}

TEST_F(Client, ValidAuthorizationsAreReusedWithoutNewChallenges) {
    FakeCaScript script;
    script.reuseAuthorizations = true;
    Serve(script);
    AcmeClient client(Options());
    client.Obtain(kNames, Csr(), site_.Responder());
    ASSERT_EQ(site_.placed(), 2);
    AcmeClient again(Options());
    again.Obtain(kNames, Csr(), site_.Responder());
    EXPECT_EQ(site_.placed(), 2);
    EXPECT_EQ(again.Stats().challengesAnswered, 0);
    EXPECT_EQ(again.Stats().authorizationsReused, 2);
}

TEST_F(Client, OnlyHttp01IsSpokenAndItsAbsenceIsNamed) {
    FakeCaScript script;
    script.offerHttp01 = false;
    Serve(script);
    const AcmeError error = ErrorOf([&] {
        AcmeClient(Options()).Obtain({"a.example.test"}, Csr({"a.example.test"}),
                                     site_.Responder());
    });
    EXPECT_EQ(error.cause(), AcmeError::Cause::Protocol);
    EXPECT_NE(std::string(error.what()).find("only dns-01"), std::string::npos) << error.what();
}

TEST_F(Client, ExternalAccountBindingIsSentWhenTheCaRequiresIt) {
    FakeCaScript script;
    script.eabKid = "kid-1";
    script.eabKey = "zWNDZM6eQGHWpSRTPal5eIUYFTu7EajVIoguysqZ9wG44nMEtx3MUAsUDkMTQ12W";
    FakeAcmeServer& ca = Serve(script);
    AcmeOptions options = Options();
    AcmeClient without(options);
    EXPECT_TRUE(without.ExternalAccountRequired());
    EXPECT_EQ(ErrorOf([&] { without.AccountUrl(); }).cause(), AcmeError::Cause::Local);

    options.eabKid = "kid-1";
    options.eabHmacKey = "b10lLJs8l1GPIzsLP0s6pMt8O0XVGnfTaCeROxQM0BIt2XrJMDHJZBM5NuQmQJQH";
    EXPECT_TRUE(ErrorOf([&] { AcmeClient(options).AccountUrl(); }).Is("unauthorized"));

    options.eabHmacKey = script.eabKey;
    AcmeClient bound(options);
    EXPECT_EQ(bound.AccountUrl(), ca.url("/acct/0"));
}

TEST_F(Client, RenewalInfoComesFromTheCaWhenItOffersIt) {
    FakeCaScript script;
    script.renewalInfo = true;
    FakeAcmeServer& ca = Serve(script);
    IssuedChain issued;
    {
        AcmeClient client(Options());
        issued = client.Obtain({"a.example.test"}, Csr({"a.example.test"}), site_.Responder());
        EXPECT_EQ(AriCertId(issued.chain.certificatePem), ca.LastCertId());
        const auto window = client.RenewalInfo(issued.chain.certificatePem);
        ASSERT_TRUE(window);
        EXPECT_EQ(window->explanationUrl, "https://ca.test/ari");
        EXPECT_EQ(window->retryAfter, std::chrono::seconds(21600));
        EXPECT_LT(window->start, window->end);
        // A renewal names the certificate it replaces.
        client.Obtain({"a.example.test"}, Csr({"a.example.test"}), site_.Responder(),
                      AriCertId(issued.chain.certificatePem));
        EXPECT_EQ(ca.LastNewOrderPayload()["replaces"].asString(),
                  AriCertId(issued.chain.certificatePem));

        // A certificate the CA does not know.
        const EvpPkeyPtr key = test::NewEcKey();
        test::CertFields fields;
        fields.commonName = "other.example.test";
        fields.authorityKeyId = "some key id";
        const std::string stranger = test::PemOf(test::MakeCert(key.get(), fields).get());
        EXPECT_FALSE(client.RenewalInfo(stranger));
    }
    // A CA without renewal information: no window, and no "replaces" either.
    Serve();
    {
        AcmeClient client(Options());
        EXPECT_FALSE(client.RenewalInfo(issued.chain.certificatePem));
        client.Obtain({"a.example.test"}, Csr({"a.example.test"}), site_.Responder(),
                      AriCertId(issued.chain.certificatePem));
        EXPECT_FALSE(server_->LastNewOrderPayload().isMember("replaces"));
    }
}

TEST_F(Client, BadInputAndBadTransportFailClearly) {
    Serve();
    AcmeClient client(Options());
    const Http01Responder responder = site_.Responder();
    EXPECT_EQ(ErrorOf([&] { client.Obtain({}, Csr(), responder); }).cause(),
              AcmeError::Cause::Local);
    EXPECT_EQ(ErrorOf([&] { client.Obtain({"a b"}, Csr(), responder); }).cause(),
              AcmeError::Cause::Local);
    EXPECT_EQ(ErrorOf([&] { client.Obtain(kNames, "not a csr", responder); }).cause(),
              AcmeError::Cause::Local);
    EXPECT_EQ(ErrorOf([&] { client.Obtain(kNames, Csr(), Http01Responder{}); }).cause(),
              AcmeError::Cause::Local);

    AcmeOptions plain = Options();
    plain.directoryUrl = "http://localhost/dir";
    EXPECT_EQ(ErrorOf([&] { AcmeClient refused(plain); }).cause(), AcmeError::Cause::Local);

    // Without the test CA as anchor the CA's certificate is not trusted.
    AcmeOptions untrusted = Options();
    untrusted.caFile.clear();
    EXPECT_EQ(ErrorOf([&] { AcmeClient(untrusted).TermsOfService(); }).cause(),
              AcmeError::Cause::Network);
    AcmeOptions missingAnchor = Options();
    missingAnchor.caFile = accountDir_.path() + u"no-such.pem";
    EXPECT_EQ(ErrorOf([&] { AcmeClient(missingAnchor).TermsOfService(); }).cause(),
              AcmeError::Cause::Network);

    // The account key file must be a key.
    AcmeOptions corrupt = Options();
    corrupt.accountDir = accountDir_.path() + u"corrupt";
    ASSERT_TRUE(MakeDirectoryTree(corrupt.accountDir));
    ASSERT_TRUE(WriteFileAtomic(corrupt.accountDir + u"/account.key", "garbage"));
    EXPECT_EQ(ErrorOf([&] { AcmeClient(corrupt).AccountUrl(); }).cause(), AcmeError::Cause::Local);

    // Nobody listens any more.
    AcmeOptions gone = Options();
    server_.reset();
    EXPECT_EQ(ErrorOf([&] { AcmeClient(gone).TermsOfService(); }).cause(),
              AcmeError::Cause::Network);
}

TEST_F(Client, MalformedAnswersBecomeErrorsNotCrashes) {
    // A server that answers every directory request with the next text.
    const std::vector<std::pair<int, std::string>> answers = {
        {200, "[1,2]"},
        {200, "{}"},
        {200, "{\"newNonce\":5,\"newAccount\":[],\"newOrder\":{}}"},
        {200, std::string(100000, '[')},
        {500, "<html>busy</html>"},
        {503, "{\"type\":\"urn:ietf:params:acme:error:serverInternal\",\"detail\":\"later\"}"},
        {200,
         "{\"newNonce\":\"https://localhost:1/n\",\"newAccount\":\"x\","
         "\"newOrder\":\"y\",\"meta\":\"not an object\"}"},
    };
    std::atomic<size_t> next{0};
    qm::test::TlsTestServer server(pki_->serverCertFile(), pki_->serverKeyFile());
    server.Handlers().Get("/dir", [&](const httplib::Request&, httplib::Response& response) {
        const auto& [status, body] = answers[std::min(next++, answers.size() - 1)];
        response.status = status;
        response.set_content(body, "application/json");
    });
    server.Start();
    AcmeOptions options = Options();
    options.directoryUrl = Utf8FromWide(server.Url()) + "/dir";
    const std::vector<AcmeError::Cause> expected = {
        AcmeError::Cause::Protocol, AcmeError::Cause::Protocol, AcmeError::Cause::Protocol,
        AcmeError::Cause::Protocol, AcmeError::Cause::Server,   AcmeError::Cause::Server};
    for (size_t i = 0; i < expected.size(); ++i) {
        const AcmeError error = ErrorOf([&] { AcmeClient(options).TermsOfService(); });
        EXPECT_EQ(error.cause(), expected[i]) << i << ": " << error.what();
    }
    // The last one reads, its odd meta ignored; the nonce URL leads nowhere.
    AcmeClient odd(options);
    EXPECT_EQ(odd.TermsOfService(), "");
    EXPECT_FALSE(odd.ExternalAccountRequired());
    EXPECT_EQ(ErrorOf([&] { odd.AccountUrl(); }).cause(), AcmeError::Cause::Network);
}

}  // namespace
}  // namespace qm::acme
