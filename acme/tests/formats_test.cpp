// The readers around the protocol: ARI certID and windows, RFC 3339 times,
// Link and Retry-After headers, problem documents and served chains.
#include <gtest/gtest.h>

#include "acme/acmeerror.h"
#include "acme/acmehttp.h"
#include "acme/certchain.h"
#include "acme/jws.h"
#include "acme/renewalinfo.h"
#include "acme/tests/test_certs.h"

namespace qm::acme {
namespace {

using std::chrono::seconds;
using std::chrono::system_clock;

system_clock::time_point Epoch(long long secondsSince1970) {
    return system_clock::time_point(seconds(secondsSince1970));
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values)
        bytes += static_cast<char>(v);
    return bytes;
}

TEST(AriCertId, MatchesTheRfc9773Example) {
    // RFC 9773 §4.1: keyIdentifier 69:88:5B:...:D4 and serial 00:87:65:43:21.
    const EvpPkeyPtr key = test::NewEcKey();
    test::CertFields fields;
    fields.commonName = "example.com";
    fields.dnsNames = {"example.com"};
    fields.serialHex = "87654321";
    fields.authorityKeyId = Bytes({0x69, 0x88, 0x5B, 0x6B, 0x87, 0x46, 0x40, 0x41, 0xE1, 0xB3,
                                   0x7B, 0x84, 0x7B, 0xA0, 0xAE, 0x2C, 0xDE, 0x01, 0xC8, 0xD4});
    const X509Ptr cert = test::MakeCert(key.get(), fields);
    EXPECT_EQ(AriCertId(test::PemOf(cert.get())), "aYhba4dGQEHhs3uEe6CuLN4ByNQ.AIdlQyE");

    // A serial without the top bit set needs no leading zero; DER input works too.
    fields.serialHex = "7F";
    const X509Ptr small = test::MakeCert(key.get(), fields);
    unsigned char* der = nullptr;
    const int length = i2d_X509(small.get(), &der);
    const std::string derText(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    EXPECT_EQ(AriCertId(derText), "aYhba4dGQEHhs3uEe6CuLN4ByNQ.fw");
}

TEST(AriCertId, RefusesCertificatesWithoutAuthorityKeyIdAndGarbage) {
    const EvpPkeyPtr key = test::NewEcKey();
    test::CertFields fields;
    fields.commonName = "no-aki.example";
    const X509Ptr cert = test::MakeCert(key.get(), fields);
    EXPECT_THROW(AriCertId(test::PemOf(cert.get())), AcmeError);
    EXPECT_THROW(AriCertId(""), AcmeError);
    EXPECT_THROW(AriCertId("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"),
                 AcmeError);
}

TEST(Rfc3339, ReadsZonesFractionsAndRefusesWhatIsNotATime) {
    system_clock::time_point t;
    ASSERT_TRUE(ParseRfc3339("2025-01-02T03:04:05Z", t));
    EXPECT_EQ(t, Epoch(1735787045));
    ASSERT_TRUE(ParseRfc3339("2025-01-02t04:04:05.5+01:00", t));
    EXPECT_EQ(t, Epoch(1735787045) + std::chrono::milliseconds(500));
    ASSERT_TRUE(ParseRfc3339("2025-01-01T22:34:05.123456789123-04:30", t));
    EXPECT_EQ(std::chrono::floor<seconds>(t), Epoch(1735787045));
    ASSERT_TRUE(ParseRfc3339("2024-02-29T00:00:00z", t));
    for (const char* bad :
         {"", "2025-01-02", "2025-01-02T03:04:05", "2025-13-02T03:04:05Z", "2025-02-30T03:04:05Z",
          "2025-01-02T24:00:00Z", "2025-01-02T03:04:05Zx", "2025-01-02T03:04:05.Z",
          "2025-01-02T03:04:05+0100", "2025/01/02T03:04:05Z", "+2025-01-02T03:04:05Z"})
        EXPECT_FALSE(ParseRfc3339(bad, t)) << bad;
}

TEST(RenewalInfo, ReadsTheSuggestedWindowAndPicksWithinIt) {
    const auto window = ParseRenewalInfo(
        R"({"suggestedWindow":{"start":"2025-01-02T03:04:05Z","end":"2025-01-03T03:04:05Z"},)"
        R"("explanationURL":"https://ca.test/why"})");
    ASSERT_TRUE(window);
    EXPECT_EQ(window->start, Epoch(1735787045));
    EXPECT_EQ(window->end, Epoch(1735787045 + 86400));
    EXPECT_EQ(window->explanationUrl, "https://ca.test/why");
    for (int i = 0; i < 20; ++i) {
        const auto pick = window->RandomTimeWithin();
        EXPECT_GE(pick, window->start);
        EXPECT_LT(pick, window->end);
    }
    EXPECT_FALSE(ParseRenewalInfo(""));
    EXPECT_FALSE(ParseRenewalInfo("{}"));
    EXPECT_FALSE(ParseRenewalInfo(R"({"suggestedWindow":{"start":"2025-01-02T03:04:05Z"}})"));
    // The end must come after the start.
    EXPECT_FALSE(ParseRenewalInfo(
        R"({"suggestedWindow":{"start":"2025-01-03T03:04:05Z","end":"2025-01-02T03:04:05Z"}})"));
    EXPECT_FALSE(ParseRenewalInfo(R"({"suggestedWindow":{"start":1,"end":2}})"));
}

HttpResponse WithHeaders(std::vector<std::pair<std::string, std::string>> headers) {
    HttpResponse response;
    response.status = 200;
    response.headers = std::move(headers);
    return response;
}

TEST(Headers, LinkTargetsFollowRelationsAcrossLinesAndLists) {
    const HttpResponse response = WithHeaders({
        {"link", "<https://ca.test/dir>;rel=\"index\""},
        {"link",
         "<https://ca.test/cert/1/1>;rel=\"alternate\", <https://ca.test/cert/1/2>; "
         "title=\"a, b\"; REL=alternate"},
        {"link", "<https://ca.test/issuer>;rel=\"up alternate\""},
        {"link", "garbage without brackets"},
        {"link", "<https://ca.test/open"},
    });
    EXPECT_EQ(LinkTargets(response, "alternate"),
              (std::vector<std::string>{"https://ca.test/cert/1/1", "https://ca.test/cert/1/2",
                                        "https://ca.test/issuer"}));
    EXPECT_EQ(LinkTargets(response, "up"), (std::vector<std::string>{"https://ca.test/issuer"}));
    EXPECT_TRUE(LinkTargets(response, "next").empty());
    EXPECT_EQ(response.Header("LINK"), "<https://ca.test/dir>;rel=\"index\"");
    EXPECT_EQ(response.Header("location"), "");
}

TEST(Headers, RetryAfterTakesSecondsOrADate) {
    const auto now = Epoch(784111777);  // Sun, 06 Nov 1994 08:49:37 GMT
    EXPECT_EQ(RetryAfter(WithHeaders({{"retry-after", "120"}}), now), seconds(120));
    EXPECT_EQ(RetryAfter(WithHeaders({{"retry-after", "0"}}), now), seconds(0));
    EXPECT_EQ(RetryAfter(WithHeaders({{"retry-after", "Sun, 06 Nov 1994 08:50:07 GMT"}}), now),
              seconds(30));
    EXPECT_EQ(RetryAfter(WithHeaders({{"retry-after", "Sat, 05 Nov 1994 08:49:37 GMT"}}), now),
              seconds(0));
    EXPECT_EQ(RetryAfter(WithHeaders({{"retry-after", "99999999999999999999"}}), now),
              seconds(999999999));
    EXPECT_FALSE(RetryAfter(WithHeaders({}), now));
    for (const char* bad : {"-5", "soon", "Sun, 06 Nov 1994 08:49:37 UTC",
                            "Sun, 06 Xyz 1994 08:49:37 GMT", "Sun, 32 Nov 1994 08:49:37 GMT", " "})
        EXPECT_FALSE(RetryAfter(WithHeaders({{"retry-after", bad}}), now)) << bad;
}

TEST(Problems, CarryTypeDetailAndSubproblemsIntoTheMessage) {
    Json::Value problem;
    problem["type"] = "urn:ietf:params:acme:error:rejectedIdentifier";
    problem["detail"] = "Some identifiers were rejected";
    Json::Value sub;
    sub["type"] = "urn:ietf:params:acme:error:malformed";
    sub["detail"] = "Invalid underscore in DNS name";
    sub["identifier"]["type"] = "dns";
    sub["identifier"]["value"] = "_example.org";
    problem["subproblems"].append(sub);
    problem["subproblems"].append("not an object");
    const AcmeError error = AcmeError::FromProblem(problem, 400, "newOrder");
    EXPECT_EQ(error.cause(), AcmeError::Cause::Server);
    EXPECT_TRUE(error.Is("rejectedIdentifier"));
    EXPECT_FALSE(error.Is("rejected"));
    EXPECT_EQ(error.detail(), "Some identifiers were rejected");
    EXPECT_EQ(error.httpStatus(), 400);
    ASSERT_EQ(error.subproblems().size(), 2u);
    EXPECT_EQ(error.subproblems()[0].identifier, "_example.org");
    EXPECT_EQ(error.subproblems()[0].type, "urn:ietf:params:acme:error:malformed");
    EXPECT_STREQ(error.what(),
                 "newOrder: Some identifiers were rejected [rejectedIdentifier]; _example.org: "
                 "Invalid underscore in DNS name [malformed], no detail given");

    const AcmeError bare = AcmeError::FromProblem(Json::Value("<html>"), 502, "directory");
    EXPECT_EQ(bare.type(), "");
    EXPECT_NE(std::string(bare.what()).find("HTTP 502"), std::string::npos);
    EXPECT_EQ(ShortProblemType("urn:example:other"), "urn:example:other");
}

class Chains : public testing::Test {
protected:
    void SetUp() override {
        rootA_ = Make(rootAKey_.get(), "Root A", nullptr, nullptr, true);
        rootB_ = Make(rootBKey_.get(), "Root B", nullptr, nullptr, true);
        // The same intermediate (name and key) signed by each root.
        interA_ = Make(interKey_.get(), "Issuing CA", rootA_.get(), rootAKey_.get(), true);
        interB_ = Make(interKey_.get(), "Issuing CA", rootB_.get(), rootBKey_.get(), true);
        leaf_ = Make(leafKey_.get(), "shop.example", interA_.get(), interKey_.get(), false);
    }

    static X509Ptr Make(EVP_PKEY* key, const char* name, X509* issuer, EVP_PKEY* issuerKey,
                        bool ca) {
        test::CertFields fields;
        fields.commonName = name;
        fields.issuer = issuer;
        fields.issuerKey = issuerKey;
        fields.ca = ca;
        if (!ca)
            fields.dnsNames = {name};
        return test::MakeCert(key, fields);
    }

    EvpPkeyPtr rootAKey_ = test::NewEcKey(), rootBKey_ = test::NewEcKey(),
               interKey_ = test::NewEcKey(), leafKey_ = test::NewEcKey();
    X509Ptr rootA_, rootB_, interA_, interB_, leaf_;
};

TEST_F(Chains, ReadSplitsLeafFromIssuersAndNamesEachIssuer) {
    const std::string leaf = test::PemOf(leaf_.get());
    const std::string inter = test::PemOf(interA_.get());
    // CRLF line ends and text between the blocks do not matter.
    std::string served = "junk\r\n" + leaf + "\n\n" + inter;
    for (size_t at = served.find('\n'); at != std::string::npos; at = served.find('\n', at + 2))
        served.insert(at, "\r");
    const CertificateChain chain = ReadChain("https://ca.test/cert/1", served);
    EXPECT_EQ(chain.url, "https://ca.test/cert/1");
    EXPECT_EQ(chain.certificatePem, leaf);
    EXPECT_EQ(chain.chainPem, inter);
    EXPECT_EQ(chain.issuers, (std::vector<std::string>{"Issuing CA", "Root A"}));
    EXPECT_EQ(chain.TopIssuer(), "Root A");

    EXPECT_THROW(ReadChain("u", ""), AcmeError);
    EXPECT_THROW(ReadChain("u", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"),
                 AcmeError);
    EXPECT_EQ(SplitPemCertificates(leaf + "-----BEGIN CERTIFICATE-----\nunfinished").size(), 1u);
}

TEST_F(Chains, PreferredChainPicksByIssuerNameElseTheDefault) {
    IssuedChain issued;
    const std::string leaf = test::PemOf(leaf_.get());
    issued.chain = ReadChain("default", leaf + test::PemOf(interA_.get()));
    issued.alternates.push_back(ReadChain("alternate", leaf + test::PemOf(interB_.get())));
    EXPECT_EQ(PreferredChain(issued, "Root B").url, "alternate");
    EXPECT_EQ(PreferredChain(issued, "Root A").url, "default");
    EXPECT_EQ(PreferredChain(issued, "Issuing CA").url, "default");
    EXPECT_EQ(PreferredChain(issued, "Nobody").url, "default");
    EXPECT_EQ(PreferredChain(issued, "").url, "default");
}

}  // namespace
}  // namespace qm::acme
