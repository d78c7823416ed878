// The message layer: exact request texts, the answer checks, the signature
// and the verification files, and answers that are not what they should be.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "enrollment/certcentercomm.h"
#include "enrollment/tests/tls_test_server.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/textconv.h"
#include "tests/support/result_of.h"

namespace qm {
namespace {

using test::FailureOf;

// A JSON string's escaped form, as StyledWriter writes it.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

bool VerifiesWith(const std::string& publicKeyPem, const std::string& data,
                  const std::string& base64Signature) {
    quorp crypto;
    std::string signature;
    if (!crypto.Base64Decode(base64Signature, signature))
        return false;
    BIO* bio = BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok =
        key != nullptr && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                         data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

class Messages : public testing::Test {
protected:
    void SetUp() override {
        test::InstallConfigTemplates(test::ProgramHome());
        session_.Initialize(u"https://localhost:1", u"general", u"", true);
        const std::u16string authFile = site_ / u"auth.txt";
        verifyList_ = {
            {false, 80, u"shop.example.test", u"http://shop.example.test:80/auth/auth.txt",
             authFile},
            {true, 443, u"shop.example.test", u"https://shop.example.test:443/auth/auth.txt",
             authFile},
        };
        session_.SetDemand(verifyList_, u"nginx", u"1.22.1");
    }

    test::TempDir site_;
    std::vector<DomainVerifyInfo> verifyList_;
    CertCenterComm session_;
};

TEST_F(Messages, ChallengeRequestIsStyledJsonWithEveryDomain) {
    EXPECT_EQ(session_.CreateChallengeRequest(),
              "{\n"
              "   \"identifier\" : [ \"shop.example.test\", \"shop.example.test\" ],\n"
              "   \"type\" : \"challengeRequest\",\n"
              "   \"webType\" : \"nginx\",\n"
              "   \"webVersion\" : \"1.22.1\"\n"
              "}\n");
    // Both records name the domain, but the demand keeps it once.
    ASSERT_EQ(session_.DemandList().size(), 1u);
    EXPECT_FALSE(session_.DemandList()[0].isHttps);
}

TEST_F(Messages, SignedRequestsCarryThePublicKeyAndTheirSignature) {
    session_.CreateSelfKeyPair();
    const std::string publicKey = session_.PublicKeyText();
    ASSERT_EQ(publicKey.rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);

    const std::string auth = session_.CreateAuthRequest("sess-1", "nonce-1");
    const size_t from = auth.find("\"encrypt\" : \"") + 13;
    const std::string encryptEscaped = auth.substr(from, auth.find('"', from) - from);
    std::string encrypt = encryptEscaped;
    for (size_t p; (p = encrypt.find("\\n")) != std::string::npos;)
        encrypt.replace(p, 2, "\n");
    EXPECT_EQ(encrypt.size(), 344u + 5u);  // 344 characters on six lines
    EXPECT_TRUE(VerifiesWith(publicKey, "nonce-1", encrypt));
    EXPECT_EQ(auth,
              "{\n"
              "   \"customerID\" : \"general\",\n"
              "   \"encrypt\" : \"" +
                  Escaped(encrypt) +
                  "\",\n"
                  "   \"nonce\" : \"nonce-1\",\n"
                  "   \"publicKey\" : \"" +
                  Escaped(publicKey) +
                  "\",\n"
                  "   \"sessionID\" : \"sess-1\",\n"
                  "   \"type\" : \"authorizationRequest\",\n"
                  "   \"verifyRes\" : [\n"
                  "      \"http://shop.example.test:80/auth/auth.txt\",\n"
                  "      \"https://shop.example.test:443/auth/auth.txt\"\n"
                  "   ]\n"
                  "}\n");

    const std::string csr =
        "-----BEGIN CERTIFICATE REQUEST-----\nMIIB\n-----END CERTIFICATE "
        "REQUEST-----\n";
    const std::string certRequest = session_.CreateCertRequest(csr, 3);
    const std::string csrSignature = session_.SignText(csr);
    EXPECT_TRUE(VerifiesWith(publicKey, csr, csrSignature));
    EXPECT_EQ(certRequest,
              "{\n"
              "   \"csr\" : \"" +
                  Escaped(csr) +
                  "\",\n"
                  "   \"encrypt\" : \"" +
                  Escaped(csrSignature) +
                  "\",\n"
                  "   \"publicKey\" : \"" +
                  Escaped(publicKey) +
                  "\",\n"
                  "   \"templateID\" : 3,\n"
                  "   \"type\" : \"certificateRequest\"\n"
                  "}\n");

    EXPECT_EQ(session_.CreateStatusRequest("tok-9", 3),
              "{\n"
              "   \"encrypt\" : \"" +
                  Escaped(session_.SignText("tok-9")) +
                  "\",\n"
                  "   \"publicKey\" : \"" +
                  Escaped(publicKey) +
                  "\",\n"
                  "   \"templateID\" : 3,\n"
                  "   \"token\" : \"tok-9\",\n"
                  "   \"type\" : \"statusRequest\"\n"
                  "}\n");
}

TEST_F(Messages, VerificationFileHoldsTheSignatureWithCrLfAndNoFinalBreak) {
    session_.CreateSelfKeyPair();
    // A record whose folder does not exist is skipped, not fatal.
    verifyList_.push_back({false, 80, u"gone.example.test",
                           u"http://gone.example.test/auth/auth.txt", site_ / u"missing/auth.txt"});
    session_.SetDemand(verifyList_, u"nginx", u"1.22.1");
    test::WriteAll(site_ / u"auth.txt", "stale content from an earlier run\r\n");

    const std::string auth = session_.CreateAuthRequest("s", "n");
    std::string encrypt = session_.SignText("n");
    std::string expected;
    for (char c : encrypt)
        expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string file = test::ReadAll(site_ / u"auth.txt");
    EXPECT_EQ(file, expected);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 5);
    EXPECT_NE(file.back(), '\n');
    EXPECT_NE(auth.find(Escaped(encrypt)), std::string::npos);
    EXPECT_FALSE(FileExists(site_ / u"missing/auth.txt"));
}

TEST_F(Messages, SigningWithoutAKeyFailsAsUndefined) {
    EXPECT_EQ(FailureOf([&] { session_.SignText("n"); }), "undefined");
    EXPECT_EQ(FailureOf([&] { session_.CreateAuthRequest("s", "n"); }), "undefined");
}

TEST_F(Messages, CheckResponseTurnsErrorAnswersIntoResultTexts) {
    using Exchange = CertCenterComm::Exchange;
    auto check = [&](const std::string& answer, Exchange exchange = Exchange::Challenge) {
        return FailureOf([&] { session_.CheckResponse(answer, exchange); });
    };
    EXPECT_EQ(check(R"({"type":"challenge","nonce":"x"})"), "");
    EXPECT_EQ(check(R"({"nonce":"x"})"), "");
    EXPECT_EQ(check(R"({"type":"error","error":"unknown","message":"who?"})"),
              "The server does not recognize an ID/token in the request");
    EXPECT_EQ(check(R"({"type":"error","error":"publicKeyIllegal"})", Exchange::Status),
              "The client public key not exist/exceed time limit");
    // Only the answer to a status request may say so; elsewhere it is just an error.
    for (Exchange other : {Exchange::Challenge, Exchange::Authorization, Exchange::Certificate}) {
        EXPECT_EQ(check(R"({"type":"error","error":"publicKeyIllegal","message":"m"})", other),
                  "error: publicKeyIllegal, message: m");
    }
    EXPECT_EQ(check(R"({"type":"error","error":"badCsr","message":"no CN"})"),
              "error: badCsr, message: no CN");
    EXPECT_EQ(check(R"({"type":"error"})"), "error: , message: ");
    EXPECT_EQ(check(R"({"type":"error","error":{"nested":1},"message":["m"]})"),
              "error: , message: ");
    EXPECT_EQ(check(R"({"type":"error","error":"x","message":"100% sure"})"),
              "error: x, message: 100% sure");
}

TEST_F(Messages, TooFrequentRequestsNameTheStepThatWasRefused) {
    using Exchange = CertCenterComm::Exchange;
    const std::string answer = R"({"type":"error","error":"highFrequency","message":"slow down"})";
    auto check = [&](Exchange exchange) {
        return FailureOf([&] { session_.CheckResponse(answer, exchange); });
    };
    EXPECT_EQ(check(Exchange::Challenge), "high frequency challenge request error");
    EXPECT_EQ(check(Exchange::Authorization), "high frequency challenge request error");
    EXPECT_EQ(check(Exchange::Certificate), "high frequency certificate request error");
    EXPECT_EQ(check(Exchange::Status), "high frequency certificate request error");
}

TEST_F(Messages, MalformedAnswersFailWithoutACrash) {
    auto check = [&](const std::string& answer) {
        return FailureOf(
            [&] { session_.CheckResponse(answer, CertCenterComm::Exchange::Certificate); });
    };
    EXPECT_EQ(check("not json"), "undefined");
    EXPECT_EQ(check("{\"type\":"), "undefined");
    EXPECT_EQ(check(""), "undefined");
    EXPECT_EQ(check("{\"a\":" + std::string(100000, '[')), "undefined");
    // A root that is not an object has no "type": it passes the check...
    EXPECT_EQ(check("[1,2]"), "");
    // ...and yields no certificate.
    EXPECT_EQ(FailureOf([&] { session_.ParseRecvCert("[1,2]"); }), "undefined");
    EXPECT_EQ(FailureOf([&] { session_.ParseRecvCert("not json"); }), "undefined");
    EXPECT_EQ(FailureOf([&] { session_.ParseRecvCert(R"({"certificate":{"pem":1}})"); }),
              "undefined");
    EXPECT_EQ(FailureOf([&] { session_.ParseRecvCert(R"({"certificate":"-----BEGIN"})"); }),
              "undefined");
    std::string huge = R"({"type":"certificate","padding":")" + std::string(4 << 20, 'x') + "\"}";
    EXPECT_EQ(check(huge), "");
    EXPECT_EQ(FailureOf([&] { session_.ParseRecvCert(huge); }), "undefined");
}

class ParsedCertificate : public Messages {
protected:
    static void SetUpTestSuite() { pki_ = new test::TestPki(); }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    void SetUp() override {
        Messages::SetUp();
        if (const char* tz = std::getenv("TZ"))
            savedTz_ = tz, hadTz_ = true;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    static test::TestPki* pki_;
    std::string savedTz_;
    bool hadTz_ = false;
};
test::TestPki* ParsedCertificate::pki_ = nullptr;

TEST_F(ParsedCertificate, KeepsCertificateChainAndExpiry) {
    const std::string leaf = pki_->IssueLeaf("shop.example.test", "20491231120000Z");
    const std::string intermediate = pki_->IssueLeaf("intermediate", "");
    Json::Value chain(Json::arrayValue);
    chain.append(intermediate);
    chain.append(pki_->caPem());
    session_.ParseRecvCert(
        test::JsonAnswer({{"type", "certificate"}, {"certificate", leaf}, {"chain", chain}}));

    std::string_view certificate;
    std::string_view chainText;
    std::vector<std::string> chainList;
    session_.ExportCertificate(certificate, chainText, chainList);
    EXPECT_EQ(certificate, leaf);
    EXPECT_EQ(chainText, intermediate + pki_->caPem());  // back to back, in order
    EXPECT_EQ(chainList, (std::vector<std::string>{intermediate, pki_->caPem()}));
    const CalendarTime& expiry = session_.ExpiryTime();
    EXPECT_EQ(expiry.year, 2049);
    EXPECT_EQ(expiry.month, 12);
    EXPECT_EQ(expiry.day, 31);
    EXPECT_EQ(expiry.hour, 12);
    EXPECT_EQ(expiry.dayOfWeek, 5);  // a Friday

    // Two-digit years below 50 are this century.
    session_.ParseRecvCert(
        test::JsonAnswer({{"certificate", pki_->IssueLeaf("a.example.test", "490101000000Z")},
                          {"chain", "not an array"}}));
    EXPECT_EQ(session_.ExpiryTime().year, 2049);
    session_.ExportCertificate(certificate, chainText, chainList);
    EXPECT_TRUE(chainText.empty());
    EXPECT_TRUE(chainList.empty());
}

TEST_F(ParsedCertificate, UnreadableExpiryIsReported) {
    const std::string badTime = pki_->IssueLeaf("shop.example.test", "20491301000000Z");
    EXPECT_EQ(FailureOf([&] {
                  session_.ParseRecvCert(test::JsonAnswer({{"certificate", badTime}}));
              }),
              "parse asn time failed");
}

TEST_F(ParsedCertificate, CertificateFilesHoldTheTextsAsReceived) {
    const std::string leaf = pki_->IssueLeaf("shop.example.test", "");
    Json::Value chain(Json::arrayValue);
    chain.append(pki_->caPem());
    chain.append(pki_->caPem());
    session_.ParseRecvCert(test::JsonAnswer({{"certificate", leaf}, {"chain", chain}}));
    test::TempDir dir;
    // Without calling CertRequest the names are empty: give them through a
    // request that fails early (no record step), which stores them.
    const std::u16string folder = dir / u"conf/sslcert";
    EXPECT_NE(FailureOf([&] { session_.CertRequest(dir / u"csr.txt", folder, u"shop", 1); }), "");
    session_.ParseRecvCert(test::JsonAnswer({{"certificate", leaf}, {"chain", chain}}));
    session_.SaveCertFile();
    EXPECT_EQ(test::ReadAll(folder + u"/shop.crt"), HostTextBytes(leaf));
    EXPECT_EQ(test::ReadAll(folder + u"/shop.chain.crt"),
              HostTextBytes(pki_->caPem() + pki_->caPem()));
}

}  // namespace
}  // namespace qm
