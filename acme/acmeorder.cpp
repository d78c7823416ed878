// AcmeClient::Obtain: one order from newOrder to the downloaded chains
// (RFC 8555 §7.4): authorizations proven with http-01, finalization with the
// caller's CSR, polling in between.
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

#include "acme/acmeclient.h"
#include "acme/acmesession.h"
#include "foundation/runlog.h"

namespace qm::acme {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr char kPemChain[] = "application/pem-certificate-chain";

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ReqFree {
    void operator()(X509_REQ* req) const { X509_REQ_free(req); }
};

std::string StringAt(const Json::Value& object, const char* name) {
    if (!object.isObject())
        return {};
    const Json::Value& value = object[name];
    return value.isString() ? value.asString() : std::string();
}

// The CSR as DER, checked to be one: a PEM text or DER bytes.
std::string CsrDer(std::string_view csr) {
    std::unique_ptr<X509_REQ, ReqFree> request;
    if (csr.find("-----BEGIN") != std::string_view::npos) {
        std::unique_ptr<BIO, BioFree> bio(
            BIO_new_mem_buf(csr.data(), static_cast<int>(csr.size())));
        if (bio)
            request.reset(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
    } else {
        const auto* p = reinterpret_cast<const unsigned char*>(csr.data());
        request.reset(d2i_X509_REQ(nullptr, &p, static_cast<long>(csr.size())));
    }
    unsigned char* der = nullptr;
    const int length = request ? i2d_X509_REQ(request.get(), &der) : -1;
    if (length <= 0)
        throw AcmeError(AcmeError::Cause::Local, "the certificate request cannot be read");
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The name an authorization is for, "*." in front for a wildcard.
std::string IdentifierName(const Json::Value& authorization) {
    const std::string value = StringAt(authorization["identifier"], "value");
    const bool wildcard = authorization["wildcard"].isBool() && authorization["wildcard"].asBool();
    return wildcard ? "*." + value : value;
}

// A token names a file on the sites: only the base64url alphabet may pass.
bool IsSafeToken(const std::string& token) {
    return !token.empty() && token.size() <= 256 &&
           std::all_of(token.begin(), token.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

// Why an authorization became invalid, in the CA's words: the failed
// challenge's problem and what the CA fetched from where.
AcmeError ValidationFailure(const Json::Value& authorization, const std::string& name) {
    const Json::Value& challenges = authorization["challenges"];
    if (challenges.isArray()) {
        for (const Json::Value& challenge : challenges) {
            if (!challenge.isObject() || !challenge["error"].isObject())
                continue;
            const Json::Value& problem = challenge["error"];
            const int status = problem["status"].isInt() ? problem["status"].asInt() : 0;
            const AcmeError base = AcmeError::FromProblem(
                problem, status,
                StringAt(challenge, "type") + " validation of " + name + " failed");
            std::string message = base.what();
            const Json::Value& records = challenge["validationRecord"];
            if (records.isArray()) {
                for (const Json::Value& record : records) {
                    const std::string url = StringAt(record, "url");
                    const std::string address = StringAt(record, "addressUsed");
                    if (url.empty() && address.empty())
                        continue;
                    message += "; the CA fetched " + (url.empty() ? name : url);
                    if (!address.empty())
                        message += " from " + address;
                }
            }
            return AcmeError(AcmeError::Cause::Server, message, base.type(), base.detail(),
                             base.subproblems(), status);
        }
    }
    return AcmeError(AcmeError::Cause::Server,
                     "the authorization for " + name + " is invalid (the CA gave no reason)");
}

// Retry-After when the CA sent one (at least 100 ms, so that "0" does not
// make a busy loop); else 250 ms doubling up to 5 s.
milliseconds PollDelay(const HttpResponse& response, int attempt) {
    if (const auto after = RetryAfter(response, std::chrono::system_clock::now()))
        return std::max(milliseconds(100), std::chrono::duration_cast<milliseconds>(*after));
    return std::min(milliseconds(5000), milliseconds(250L << std::min(attempt, 5)));
}

// Files placed for the CA; each one is removed when this goes, whatever
// happened in between.
class PlacedFiles {
public:
    explicit PlacedFiles(const Http01Responder& responder) : responder_(responder) {}
    ~PlacedFiles() { RemoveAll(); }
    PlacedFiles(const PlacedFiles&) = delete;
    PlacedFiles& operator=(const PlacedFiles&) = delete;

    void Place(const std::string& name, const std::string& token,
               const std::string& keyAuthorization) {
        // Listed first: a place that fails halfway still gets its remove.
        placed_.emplace_back(name, token);
        responder_.place(name, token, keyAuthorization);
    }

    void RemoveAll() noexcept {
        for (const auto& [name, token] : placed_) {
            try {
                if (responder_.remove)
                    responder_.remove(name, token);
            } catch (const std::exception& error) {
                LogWarn("ACME: removing the http-01 file of %s failed: %s", name, error.what());
            } catch (...) {
                LogWarn("ACME: removing the http-01 file of %s failed", name);
            }
        }
        placed_.clear();
    }

private:
    const Http01Responder& responder_;
    std::vector<std::pair<std::string, std::string>> placed_;
};

struct Validation {
    std::string name;
    std::string authorizationUrl;
    std::string challengeUrl;
    bool respond = false;  // the challenge is still pending: tell the CA to validate
};

// Polls the authorization until it is valid; throws for invalid.
void AwaitAuthorization(AcmeSession& session, const Validation& validation,
                        Clock::time_point deadline) {
    for (int attempt = 0;; ++attempt) {
        HttpResponse raw;
        const Json::Value authorization =
            session.Fetch(validation.authorizationUrl, "authorization of " + validation.name, &raw);
        const std::string status = StringAt(authorization, "status");
        if (status == "valid")
            return;
        if (status == "invalid")
            throw ValidationFailure(authorization, validation.name);
        if (status != "pending" && status != "processing")
            throw AcmeError(AcmeError::Cause::Server,
                            "the authorization for " + validation.name + " is " +
                                (status.empty() ? std::string("without status") : status));
        session.Pause(PollDelay(raw, attempt), deadline, "validating " + validation.name);
    }
}

// Polls the order while its status is one of `waiting`.
Json::Value AwaitOrder(AcmeSession& session, const std::string& orderUrl,
                       std::initializer_list<std::string_view> waiting, Clock::time_point deadline,
                       std::string_view what) {
    HttpResponse raw;
    Json::Value order = session.Fetch(orderUrl, "order", &raw);
    for (int attempt = 0;; ++attempt) {
        const std::string status = StringAt(order, "status");
        if (std::find(waiting.begin(), waiting.end(), status) == waiting.end())
            return order;
        session.Pause(PollDelay(raw, attempt), deadline, what);
        order = session.Fetch(orderUrl, "order", &raw);
    }
}

// Finds the pending http-01 challenges of the order, places their files and
// returns what remains to be validated.
std::vector<Validation> PrepareValidations(AcmeSession& session, const Json::Value& order,
                                           PlacedFiles& files) {
    const Json::Value& urls = order["authorizations"];
    if (!urls.isArray() || urls.empty())
        throw AcmeError(AcmeError::Cause::Protocol, "newOrder: the order lists no authorizations");
    std::vector<Validation> validations;
    for (const Json::Value& url : urls) {
        if (!url.isString())
            throw AcmeError(AcmeError::Cause::Protocol,
                            "newOrder: an authorization URL is not a string");
        const Json::Value authorization = session.Fetch(url.asString(), "authorization");
        const std::string name = IdentifierName(authorization);
        const std::string status = StringAt(authorization, "status");
        if (status == "valid") {
            ++session.stats().authorizationsReused;
            continue;
        }
        if (status == "invalid")
            throw ValidationFailure(authorization, name);
        if (status != "pending")
            throw AcmeError(AcmeError::Cause::Server,
                            "the authorization for " + name + " is " +
                                (status.empty() ? std::string("without status") : status));
        const Json::Value* http01 = nullptr;
        std::string offered;
        for (const Json::Value& challenge : authorization["challenges"]) {
            const std::string type = StringAt(challenge, "type");
            offered += (offered.empty() ? "" : ", ") + type;
            if (type == "http-01" && http01 == nullptr)
                http01 = &challenge;
        }
        if (http01 == nullptr)
            throw AcmeError(AcmeError::Cause::Protocol,
                            "the CA offers no http-01 challenge for " + name + " (only " +
                                (offered.empty() ? std::string("none") : offered) + ")");
        const std::string token = StringAt(*http01, "token");
        const std::string challengeUrl = StringAt(*http01, "url");
        const std::string challengeStatus = StringAt(*http01, "status");
        if (!IsSafeToken(token) || challengeUrl.empty())
            throw AcmeError(AcmeError::Cause::Protocol,
                            "the http-01 challenge for " + name + " has no usable token or URL");
        if (challengeStatus == "invalid")
            throw ValidationFailure(authorization, name);
        // A challenge already "processing" (an earlier run asked) still needs its file.
        if (challengeStatus != "valid")
            files.Place(name, token, KeyAuthorization(token, session.jwk()));
        validations.push_back({name, url.asString(), challengeUrl, challengeStatus == "pending"});
    }
    return validations;
}

}  // namespace

IssuedChain AcmeClient::Obtain(const std::vector<std::string>& names, std::string_view csr,
                               const Http01Responder& responder,
                               const std::string& replacesCertId) {
    AcmeSession& session = *session_;
    if (names.empty())
        throw AcmeError(AcmeError::Cause::Local, "a certificate needs at least one name");
    for (const std::string& name : names) {
        if (name.empty() || name.find_first_of(" \t\r\n/\\") != std::string::npos)
            throw AcmeError(AcmeError::Cause::Local, "not a DNS name: \"" + name + "\"");
    }
    if (!responder.place)
        throw AcmeError(AcmeError::Cause::Local, "no http-01 responder to place the files");
    const std::string der = CsrDer(csr);
    const Clock::time_point deadline = Clock::now() + session.options().maxWait;
    const std::string joined = JoinNames(names);

    session.EnsureAccount();
    const AcmeDirectory& directory = session.Directory();
    Json::Value request(Json::objectValue);
    request["identifiers"] = Json::Value(Json::arrayValue);
    for (const std::string& name : names) {
        Json::Value identifier(Json::objectValue);
        identifier["type"] = "dns";
        identifier["value"] = name;
        request["identifiers"].append(identifier);
    }
    // "replaces" is an ARI member: CAs without renewal information may refuse it.
    if (!replacesCertId.empty() && !directory.renewalInfo.empty())
        request["replaces"] = replacesCertId;
    const HttpResponse created =
        session.SignedPost(directory.newOrder, CompactJson(request), "newOrder for " + joined);
    const Json::Value order = AcmeSession::ObjectOf(created, "newOrder");
    const std::string orderUrl = created.Header("location");
    if (orderUrl.empty())
        throw AcmeError(AcmeError::Cause::Protocol, "newOrder: the CA named no order URL");
    LogInfo("ACME: order %s for %s", orderUrl, joined);

    if (StringAt(order, "status") == "ready" && order["authorizations"].isArray())
        session.stats().authorizationsReused += static_cast<int>(order["authorizations"].size());
    if (StringAt(order, "status") == "pending") {
        PlacedFiles files(responder);
        const std::vector<Validation> validations = PrepareValidations(session, order, files);
        // Every file is in place before the CA is asked to look at any (§7.5.1).
        for (const Validation& validation : validations) {
            if (!validation.respond)
                continue;
            session.SignedPost(validation.challengeUrl, "{}",
                               "http-01 challenge of " + validation.name);
            ++session.stats().challengesAnswered;
        }
        for (const Validation& validation : validations)
            AwaitAuthorization(session, validation, deadline);
        files.RemoveAll();
    }

    Json::Value current = AwaitOrder(session, orderUrl, {"pending"}, deadline, "the order");
    if (StringAt(current, "status") == "ready") {
        const std::string finalizeUrl = StringAt(current, "finalize");
        if (finalizeUrl.empty())
            throw AcmeError(AcmeError::Cause::Protocol, "the order has no finalize URL");
        Json::Value finalize(Json::objectValue);
        finalize["csr"] = Base64UrlEncode(der);
        session.SignedPost(finalizeUrl, CompactJson(finalize), "finalize of " + joined);
        // "ready" can linger a moment after finalize on some CAs.
        current = AwaitOrder(session, orderUrl, {"processing", "ready"}, deadline,
                             "issuing the certificate");
    } else if (StringAt(current, "status") == "processing") {
        // An order the CA reused that an earlier run had finalized already.
        current =
            AwaitOrder(session, orderUrl, {"processing"}, deadline, "issuing the certificate");
    }
    const std::string status = StringAt(current, "status");
    if (status == "invalid") {
        const Json::Value& problem = current["error"];
        if (problem.isObject())
            throw AcmeError::FromProblem(problem, 0, "the order for " + joined + " failed");
        throw AcmeError(AcmeError::Cause::Server, "the order for " + joined + " became invalid");
    }
    const std::string certificateUrl = StringAt(current, "certificate");
    if (status != "valid" || certificateUrl.empty())
        throw AcmeError(AcmeError::Cause::Protocol,
                        "the order for " + joined + " is " + status + " without a certificate");

    IssuedChain issued;
    issued.orderUrl = orderUrl;
    const HttpResponse download =
        session.SignedPost(certificateUrl, std::string(), "certificate download", false, kPemChain);
    issued.chain = ReadChain(certificateUrl, download.body);
    for (const std::string& url : LinkTargets(download, "alternate")) {
        const HttpResponse alternate =
            session.SignedPost(url, std::string(), "alternate chain", false, kPemChain);
        issued.alternates.push_back(ReadChain(url, alternate.body));
    }
    LogInfo("ACME: certificate for %s issued by %s (%d alternate chains)", joined,
            issued.chain.issuers.front(), static_cast<int>(issued.alternates.size()));
    return issued;
}

}  // namespace qm::acme
