#include "certcenter/center.h"

#include <json/reader.h>
#include <json/writer.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <set>

#include "certcenter/namepolicy.h"
#include "certcenter/verification.h"

namespace qm::certcenter {
namespace {

// A failure answer; the handler that meets it turns it into the reply.
struct Refusal {
    std::string error;
    std::string message;
    int status = 200;
};

[[noreturn]] void Refuse(std::string error, std::string message, int status = 200) {
    throw Refusal{std::move(error), std::move(message), status};
}

std::string TextMember(const Json::Value& request, const char* member) {
    const Json::Value& value = request[member];
    if (!value.isString())
        Refuse("badRequest", std::string("member \"") + member + "\" must be a string");
    return value.asString();
}

unsigned TemplateId(const Json::Value& request) {
    const Json::Value& value = request["templateID"];
    if (!value.isUInt())
        Refuse("badRequest", "member \"templateID\" must be a non-negative whole number");
    return value.asUInt();
}

std::vector<std::string> TextArray(const Json::Value& request, const char* member,
                                   size_t maxCount) {
    const Json::Value& value = request[member];
    if (!value.isArray() || value.empty())
        Refuse("badRequest", std::string("member \"") + member + "\" must be a non-empty array");
    if (value.size() > maxCount)
        Refuse("badRequest", std::string("member \"") + member + "\" holds more than " +
                                 std::to_string(maxCount) + " entries");
    std::vector<std::string> texts;
    for (const auto& item : value) {
        if (!item.isString())
            Refuse("badRequest", std::string("member \"") + member + "\" must hold strings");
        texts.push_back(item.asString());
    }
    return texts;
}

Json::Value NamesJson(const std::vector<std::string>& names) {
    Json::Value array(Json::arrayValue);
    for (const auto& name : names)
        array.append(name);
    return array;
}

std::string LowerAscii(std::string text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The client's RSA key from "publicKey".
PKey ClientKey(const std::string& pem) {
    PKey key = ReadPublicKeyPem(pem);
    if (!key)
        Refuse("badPublicKey", "\"publicKey\" is not a PEM public key");
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) < 2048)
        Refuse("badPublicKey", "\"publicKey\" must be an RSA key of at least 2048 bits");
    return key;
}

void CheckSignature(EVP_PKEY* key, const std::string& signedText, const std::string& encrypt,
                    const char* signedMember) {
    std::string signature;
    if (!DecodeBase64(encrypt, signature) || !VerifyRsaSha256(key, signedText, signature))
        Refuse("badSignature", std::string("\"encrypt\" is not a signature of \"") + signedMember +
                                   "\" by \"publicKey\"");
}

// Parses the CSR and checks its own signature and key.
CertRequest CheckedCsr(const std::string& pem) {
    CertRequest csr = ReadCertRequestPem(pem);
    if (!csr)
        Refuse("badCsr", "\"csr\" is not a PEM certificate request");
    EVP_PKEY* key = X509_REQ_get0_pubkey(csr.get());
    if (!key || X509_REQ_verify(csr.get(), key) != 1) {
        ERR_clear_error();
        Refuse("badCsr", "the certificate request's signature does not match its key");
    }
    const int type = EVP_PKEY_get_base_id(key);
    const int bits = EVP_PKEY_get_bits(key);
    if (!((type == EVP_PKEY_RSA && bits >= 2048) || (type == EVP_PKEY_EC && bits >= 256)))
        Refuse("badCsr",
               "the certificate request's key is too weak (RSA 2048 or EC P-256 at least)");
    return csr;
}

}  // namespace

CenterSettings CenterSettings::From(const ServeOptions& options) {
    CenterSettings settings;
    settings.validitySeconds = options.validitySeconds;
    settings.defer = options.defer;
    settings.autoApproveAfter = options.autoApproveAfter;
    settings.maxNames = options.maxNames;
    settings.failChallenge = options.failChallenge;
    settings.failAuthorization = options.failAuthorization;
    settings.failCertificate = options.failCertificate;
    settings.failStatus = options.failStatus;
    settings.allowLocal = options.allowLocal;
    settings.allowedPorts = options.allowedPorts;
    settings.lifetimes.challenge = options.challengeLifetime;
    settings.lifetimes.authorization = options.authorizationLifetime;
    settings.requestsPerAddress = options.requestsPerAddress;
    settings.requestsPerKey = options.requestsPerKey;
    return settings;
}

std::string CompactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

bool IsValidDnsName(const std::string& name) {
    if (name.empty() || name.size() > 253)
        return false;
    size_t start = 0;
    bool lastAllDigits = false;
    while (start <= name.size()) {
        const size_t dot = std::min(name.find('.', start), name.size());
        const std::string_view label(name.data() + start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        lastAllDigits = true;
        for (const char c : label) {
            const bool digit = c >= '0' && c <= '9';
            if (!digit && !(c >= 'a' && c <= 'z') && c != '-')
                return false;
            lastAllDigits = lastAllDigits && digit;
        }
        start = dot + 1;
    }
    return !lastAllDigits;
}

std::string NormalizeVerificationText(std::string_view text) {
    std::string normal;
    normal.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        normal += text[i];
    }
    while (!normal.empty() && (normal.back() == '\n' || normal.back() == '\r'))
        normal.pop_back();
    return normal;
}

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string UtcTimeText(int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds(seconds)};
    const sys_days day = floor<days>(at);
    const year_month_day date(day);
    const hh_mm_ss time(at - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

CertCenter::CertCenter(CenterSettings settings, const CertificateAuthority& authority,
                       CenterState& state, VerificationFetcher fetcher)
    : settings_(std::move(settings)),
      authority_(authority),
      state_(state),
      fetcher_(std::move(fetcher)),
      byAddress_(settings_.requestsPerAddress),
      byKey_(settings_.requestsPerKey) {}

int64_t CertCenter::Now() const {
    return settings_.clock ? settings_.clock() : NowSeconds();
}

void CertCenter::AdmitKey(const std::string& keyId) {
    if (!byKey_.Admit(keyId, Now()))
        Refuse("highFrequency", "too many requests with this public key; try again in a minute");
}

void CertCenter::SaveState() {
    state_.Prune(Now(), settings_.lifetimes);
    state_.Save();
}

std::vector<FetchResult> CertCenter::FetchAll(const std::vector<std::string>& urls) {
    // Each fetch has its own deadline; running a batch together keeps a
    // request with many names from taking their sum.
    constexpr size_t kBatch = 16;
    std::vector<FetchResult> results;
    for (size_t first = 0; first < urls.size(); first += kBatch) {
        std::vector<std::future<FetchResult>> batch;
        for (size_t i = first; i < std::min(urls.size(), first + kBatch); ++i)
            batch.push_back(std::async(std::launch::async, fetcher_, urls[i]));
        for (auto& fetch : batch)
            results.push_back(fetch.get());
    }
    return results;
}

Reply CertCenter::Handle(std::string_view requestText, const std::string& peerAddress) {
    Reply reply;
    try {
        if (!byAddress_.Admit(peerAddress, Now()))
            Refuse("highFrequency", "too many requests from " + peerAddress.substr(0, 64) +
                                        "; try again in a minute");
        if (requestText.size() > kMaxRequestBytes)
            Refuse("tooLarge", "the request exceeds " + std::to_string(kMaxRequestBytes) + " bytes",
                   413);
        Json::CharReaderBuilder builder;
        builder["stackLimit"] = 64;
        builder["rejectDupKeys"] = true;
        builder["failIfExtra"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value request;
        std::string errors;
        bool parsed = false;
        try {
            parsed = reader->parse(requestText.data(), requestText.data() + requestText.size(),
                                   &request, &errors);
        } catch (const Json::Exception&) {
            // Too deeply nested: the reader throws instead of reporting.
        }
        if (!parsed || !request.isObject())
            Refuse("badRequest", "the request is not a JSON object", 400);
        const Json::Value& type = request["type"];
        if (!type.isString())
            Refuse("badRequest", "the request has no \"type\"", 400);
        reply.requestType = type.asString().substr(0, 64);

        if (reply.requestType == "challengeRequest")
            Challenge(request, reply);
        else if (reply.requestType == "authorizationRequest")
            Authorize(request, reply);
        else if (reply.requestType == "certificateRequest")
            RequestCertificate(request, reply);
        else if (reply.requestType == "statusRequest")
            Status(request, reply);
        else
            Refuse("badRequest", "unknown request type", 400);
    } catch (const Refusal& refusal) {
        reply.status = refusal.status;
        reply.answer = Json::Value(Json::objectValue);
        reply.answer["type"] = "error";
        reply.answer["error"] = refusal.error;
        reply.answer["message"] = refusal.message;
    } catch (const std::exception& e) {
        reply.status = 500;
        reply.answer = Json::Value(Json::objectValue);
        reply.answer["type"] = "error";
        reply.answer["error"] = "internal";
        reply.answer["message"] = e.what();
    }
    return reply;
}

bool CertCenter::InjectFault(FaultRule& rule, Reply& reply) {
    if (!rule.active())
        return false;
    if (rule.count > 0)
        --rule.count;
    reply.details["injected"] = true;
    return true;
}

Json::Value CertCenter::CertificateAnswer(const std::string& certificate) const {
    Json::Value answer(Json::objectValue);
    answer["type"] = "certificate";
    answer["certificate"] = certificate;
    answer["chain"] = Json::Value(Json::arrayValue);
    answer["chain"].append(authority_.certificatePem());
    return answer;
}

void CertCenter::Challenge(const Json::Value& request, Reply& reply) {
    {
        std::lock_guard lock(mutex_);
        if (InjectFault(settings_.failChallenge, reply))
            Refuse(settings_.failChallenge.error, "challenge requests are refused for now");
    }
    // Duplicates are normal (a domain with an HTTP and an HTTPS site); the
    // bound on the raw list only stops absurd requests early.
    const auto identifiers = TextArray(request, "identifier", 4 * settings_.maxNames);
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const auto& identifier : identifiers) {
        std::string name = LowerAscii(identifier);
        if (!IsValidDnsName(name))
            Refuse("badRequest", "\"" + identifier.substr(0, 300) + "\" is not a domain name");
        if (const std::string reason = RefusedNameReason(name, settings_.allowLocal);
            !reason.empty())
            Refuse("rejectedName", reason +
                                       ": nobody can prove control of it, so the center "
                                       "does not certify it");
        if (seen.insert(name).second)
            names.push_back(std::move(name));
    }
    if (names.size() > settings_.maxNames)
        Refuse("badRequest", "more than " + std::to_string(settings_.maxNames) + " names");

    Session session;
    session.id = RandomHex(16);
    session.nonce = RandomHex(16);
    session.names = names;
    session.created = Now();
    {
        std::lock_guard lock(mutex_);
        state_.AddSession(session);
        SaveState();
    }
    reply.details["sessionID"] = session.id;
    reply.details["names"] = NamesJson(names);
    reply.answer["type"] = "challenge";
    reply.answer["sessionID"] = session.id;
    reply.answer["nonce"] = session.nonce;
}

void CertCenter::Authorize(const Json::Value& request, Reply& reply) {
    {
        std::lock_guard lock(mutex_);
        if (InjectFault(settings_.failAuthorization, reply))
            Refuse(settings_.failAuthorization.error, "the session is not known (injected)");
    }
    const std::string sessionId = TextMember(request, "sessionID");
    const std::string nonce = TextMember(request, "nonce");
    const std::string publicKey = TextMember(request, "publicKey");
    const std::string encrypt = TextMember(request, "encrypt");
    const auto urls = TextArray(request, "verifyRes", 4 * settings_.maxNames);
    reply.details["sessionID"] = sessionId.substr(0, 64);

    std::vector<std::string> names;
    std::string authorizedKey;
    {
        std::lock_guard lock(mutex_);
        const Session* session = state_.FindSession(sessionId);
        if (!session)
            Refuse("unknown", "the center does not know this session");
        if (session->nonce != nonce)
            Refuse("unknown", "the nonce does not belong to this session");
        // "unknown" makes the client start over with a new challenge.
        if (Now() > session->created + settings_.lifetimes.challenge)
            Refuse("unknown", "the challenge of this session expired");
        names = session->names;
        authorizedKey = session->publicKeyId;
    }
    reply.details["names"] = NamesJson(names);

    PKey key = ClientKey(publicKey);
    const std::string keyId = PublicKeyId(key.get());
    AdmitKey(keyId);
    if (!authorizedKey.empty() && authorizedKey != keyId)
        Refuse("publicKeyIllegal", "this session is authorized for another public key");
    CheckSignature(key.get(), nonce, encrypt, "nonce");

    // Every requested name must be proven, only at the site's verification
    // file, and only requested names are fetched.
    std::set<std::string> unproven(names.begin(), names.end());
    std::vector<std::string> checkedUrls;
    for (const auto& url : urls) {
        const std::string shown = "\"" + url.substr(0, 300) + "\"";
        VerificationUrl parsed;
        if (!ParseVerificationUrl(url, parsed))
            Refuse("verifyFailed", shown + " is not an http or https URL");
        if (std::find(names.begin(), names.end(), parsed.host) == names.end())
            Refuse("verifyFailed", shown + " is not on a name of the challenge");
        if (parsed.target != kVerificationPath)
            Refuse("verifyFailed", shown +
                                       " is not the site's verification file: the center "
                                       "fetches only " +
                                       std::string(kVerificationPath));
        if (!settings_.allowedPorts.Contains(parsed.port))
            Refuse("verifyFailed", shown + ": the center fetches verification files on ports " +
                                       settings_.allowedPorts.Text() + " only");
        unproven.erase(parsed.host);
        if (std::find(checkedUrls.begin(), checkedUrls.end(), url) == checkedUrls.end())
            checkedUrls.push_back(url);
    }
    if (!unproven.empty())
        Refuse("verifyFailed", "no verification URL for " + *unproven.begin());
    const std::string expected = NormalizeVerificationText(encrypt);
    const std::vector<FetchResult> fetched = FetchAll(checkedUrls);
    Json::Value& log = reply.details["fetches"] = Json::Value(Json::arrayValue);
    for (const FetchResult& result : fetched) {
        Json::Value& entry = log.append(Json::Value(Json::objectValue));
        entry["ok"] = result.ok;
        Json::Value& hops = entry["hops"] = Json::Value(Json::arrayValue);
        for (const FetchHop& hop : result.hops) {
            Json::Value& line = hops.append(Json::Value(Json::objectValue));
            line["url"] = hop.url.substr(0, 300);
            line["address"] = hop.address;
            line["status"] = hop.status;
        }
        if (!result.ok)
            entry["problem"] = result.problem;
    }
    for (size_t i = 0; i < checkedUrls.size(); ++i) {
        if (!fetched[i].ok)
            Refuse("verifyFailed", "cannot fetch " + checkedUrls[i] + ": " + fetched[i].problem);
        if (NormalizeVerificationText(fetched[i].body) != expected)
            Refuse("verifyFailed",
                   checkedUrls[i] + " does not hold this authorization's \"encrypt\" value");
    }

    {
        std::lock_guard lock(mutex_);
        Session* session = state_.FindSession(sessionId);
        if (!session)
            Refuse("unknown", "the session expired during the verification");
        if (!session->publicKeyId.empty() && session->publicKeyId != keyId)
            Refuse("publicKeyIllegal", "this session is authorized for another public key");
        session->publicKeyId = keyId;
        session->authorized = Now();
        SaveState();
    }
    reply.answer["type"] = "authorization";
    reply.answer["status"] = "valid";
}

void CertCenter::RequestCertificate(const Json::Value& request, Reply& reply) {
    {
        std::lock_guard lock(mutex_);
        if (InjectFault(settings_.failCertificate, reply))
            Refuse(settings_.failCertificate.error, "certificate requests are refused (injected)");
    }
    const std::string csrText = TextMember(request, "csr");
    const std::string publicKey = TextMember(request, "publicKey");
    const std::string encrypt = TextMember(request, "encrypt");
    const unsigned templateId = TemplateId(request);

    PKey key = ClientKey(publicKey);
    const std::string keyId = PublicKeyId(key.get());
    AdmitKey(keyId);
    CheckSignature(key.get(), csrText, encrypt, "csr");
    std::vector<std::string> names;
    int64_t authorized = 0;
    {
        std::lock_guard lock(mutex_);
        const Session* session = state_.FindAuthorizedSession(keyId);
        if (!session)
            Refuse("publicKeyIllegal", "no authorization is known for this public key");
        if (Now() > session->authorized + settings_.lifetimes.authorization)
            Refuse("publicKeyIllegal",
                   "the authorization of this public key expired; verify the domains again");
        names = session->names;
        authorized = session->authorized;
        reply.details["sessionID"] = session->id;
    }
    reply.details["names"] = NamesJson(names);
    CertRequest csr = CheckedCsr(csrText);

    if (settings_.defer) {
        DeferredRequest deferred;
        deferred.token = RandomHex(16);
        deferred.publicKeyId = keyId;
        deferred.csr = csrText;
        deferred.names = names;
        deferred.templateId = templateId;
        deferred.created = Now();
        deferred.authorized = authorized;
        {
            std::lock_guard lock(mutex_);
            state_.AddRequest(deferred);
            SaveState();
        }
        reply.details["token"] = deferred.token;
        reply.answer["type"] = "defer";
        reply.answer["token"] = deferred.token;
        return;
    }
    const auto issued =
        authority_.Issue(X509_REQ_get0_pubkey(csr.get()), names, settings_.validitySeconds);
    reply.details["serial"] = issued.serial;
    reply.answer = CertificateAnswer(issued.pem);
}

void CertCenter::Status(const Json::Value& request, Reply& reply) {
    {
        std::lock_guard lock(mutex_);
        if (InjectFault(settings_.failStatus, reply))
            Refuse(settings_.failStatus.error, "the request is not known (injected)");
    }
    const std::string token = TextMember(request, "token");
    const std::string publicKey = TextMember(request, "publicKey");
    const std::string encrypt = TextMember(request, "encrypt");
    if (request.isMember("templateID"))
        TemplateId(request);
    reply.details["token"] = token.substr(0, 64);

    PKey key = ClientKey(publicKey);
    const std::string keyId = PublicKeyId(key.get());
    AdmitKey(keyId);
    CheckSignature(key.get(), token, encrypt, "token");

    std::lock_guard lock(mutex_);
    DeferredRequest* deferred = state_.FindRequest(token);
    if (!deferred || deferred->publicKeyId != keyId)
        Refuse("publicKeyIllegal", "no deferred request with this token for this public key");
    // The answer for a lost key: the client proves control of its domains
    // again under a new key.
    if (Now() > deferred->authorized + settings_.lifetimes.authorization)
        Refuse("publicKeyIllegal",
               "the authorization of this request expired; verify the domains again");
    reply.details["names"] = NamesJson(deferred->names);
    if (deferred->certificate.empty()) {
        const bool approved =
            state_.IsApproved(token) ||
            (settings_.autoApproveAfter >= 0 && deferred->polls >= settings_.autoApproveAfter);
        ++deferred->polls;
        if (!approved) {
            SaveState();
            reply.answer["type"] = "defer";
            reply.answer["token"] = token;
            return;
        }
        CertRequest csr = CheckedCsr(deferred->csr);
        const auto issued = authority_.Issue(X509_REQ_get0_pubkey(csr.get()), deferred->names,
                                             settings_.validitySeconds);
        deferred->certificate = issued.pem;
        reply.details["serial"] = issued.serial;
        const std::string certificate = issued.pem;
        SaveState();
        reply.answer = CertificateAnswer(certificate);
        return;
    }
    reply.answer = CertificateAnswer(deferred->certificate);
}

}  // namespace qm::certcenter
