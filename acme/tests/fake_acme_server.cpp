#include "acme/tests/fake_acme_server.h"

#include <httplib.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>

#include "acme/jws.h"
#include "acme/tests/test_certs.h"

namespace qm::acme::test {

namespace {

constexpr char kPrefix[] = "urn:ietf:params:acme:error:";
// The intermediate's subject key identifier, so that certIDs can be worked
// out here without the client's code.
const std::string kIssuerKeyId = "0123456789abcdefghij";

std::string RandomToken() {
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    return Base64UrlEncode(std::string_view(reinterpret_cast<char*>(bytes), sizeof bytes));
}

std::optional<Json::Value> JsonOf(const std::string& text) {
    Json::Value value;
    if (!ParseJson(text, value))
        return std::nullopt;
    return value;
}

std::string Decode(const Json::Value& value) {
    std::string bytes;
    if (!value.isString() || !Base64UrlDecode(value.asString(), bytes))
        return std::string("\x01invalid");
    return bytes;
}

std::set<std::string> CsrNames(X509_REQ* request) {
    std::set<std::string> names;
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request);
    const int index = X509v3_get_ext_by_NID(extensions, NID_subject_alt_name, -1);
    if (index >= 0) {
        auto* general =
            static_cast<GENERAL_NAMES*>(X509V3_EXT_d2i(X509v3_get_ext(extensions, index)));
        for (int i = 0; general && i < sk_GENERAL_NAME_num(general); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
            if (name->type == GEN_DNS)
                names.insert(std::string(
                    reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                    static_cast<size_t>(ASN1_STRING_length(name->d.dNSName))));
        }
        GENERAL_NAMES_free(general);
    }
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    return names;
}

}  // namespace

FakeAcmeServer::FakeAcmeServer(const qm::test::TestPki& pki, FakeCaScript script, Fetch fetch)
    : script_(std::move(script)),
      fetch_(std::move(fetch)),
      server_(pki.serverCertFile(), pki.serverKeyFile()) {
    rootAKey_ = NewEcKey();
    rootBKey_ = NewEcKey();
    interKey_ = NewEcKey();
    CertFields root;
    root.ca = true;
    root.commonName = RootName(0);
    rootA_ = MakeCert(rootAKey_.get(), root);
    root.commonName = RootName(1);
    rootB_ = MakeCert(rootBKey_.get(), root);
    CertFields inter;
    inter.ca = true;
    inter.commonName = "Fake Issuing CA";
    inter.subjectKeyId = kIssuerKeyId;
    inter.issuer = rootA_.get();
    inter.issuerKey = rootAKey_.get();
    interA_ = MakeCert(interKey_.get(), inter);
    inter.issuer = rootB_.get();
    inter.issuerKey = rootBKey_.get();
    interB_ = MakeCert(interKey_.get(), inter);
    interAPem_ = PemOf(interA_.get());
    interBPem_ = PemOf(interB_.get());
    Install();
    // A client still holding a connection must not make the stop wait long;
    // answers go out at once instead of waiting for the client's ACK.
    server_.Handlers().set_keep_alive_timeout(1);
    server_.Handlers().set_keep_alive_max_count(1000);
    server_.Handlers().set_tcp_nodelay(true);
    server_.Start();
}

FakeAcmeServer::~FakeAcmeServer() {
    server_.Stop();
}

std::string FakeAcmeServer::url(const std::string& path) const {
    return "https://localhost:" + std::to_string(server_.port()) + path;
}

std::string FakeAcmeServer::directoryUrl() const {
    return url("/dir");
}

std::vector<std::string> FakeAcmeServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int FakeAcmeServer::CountOf(const std::string& methodAndPath) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(
        requests_.begin(), requests_.end(),
        [&](const std::string& request) { return request.starts_with(methodAndPath); }));
}

std::vector<std::string> FakeAcmeServer::Faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

int FakeAcmeServer::AccountsCreated() const {
    std::lock_guard lock(mutex_);
    return accountsCreated_;
}

int FakeAcmeServer::NoncesRejected() const {
    std::lock_guard lock(mutex_);
    return noncesRejected_;
}

int FakeAcmeServer::BusyAnswers() const {
    std::lock_guard lock(mutex_);
    return busyAnswers_;
}

Json::Value FakeAcmeServer::LastNewAccountPayload() const {
    std::lock_guard lock(mutex_);
    return lastNewAccount_;
}

Json::Value FakeAcmeServer::LastNewOrderPayload() const {
    std::lock_guard lock(mutex_);
    return lastNewOrder_;
}

std::string FakeAcmeServer::LastAccept() const {
    std::lock_guard lock(mutex_);
    return lastAccept_;
}

std::string FakeAcmeServer::LastCertId() const {
    std::lock_guard lock(mutex_);
    return lastCertId_;
}

void FakeAcmeServer::Fault(const std::string& what) {
    faults_.push_back(what);
}

void FakeAcmeServer::Log(const httplib::Request& request) {
    requests_.push_back(request.method + " " + request.path);
}

std::string FakeAcmeServer::NewNonce() {
    const std::string nonce = "n" + std::to_string(++nonceCounter_) + RandomToken();
    nonces_.insert(nonce);
    return nonce;
}

void FakeAcmeServer::Reply(httplib::Response& response, int status, const Json::Value& body) {
    response.status = status;
    response.set_header("Replay-Nonce", NewNonce());
    response.set_content(CompactJson(body), "application/json");
}

void FakeAcmeServer::Problem(httplib::Response& response, int status, const std::string& type,
                             const std::string& detail) {
    Json::Value problem;
    problem["type"] = kPrefix + type;
    problem["detail"] = detail;
    problem["status"] = status;
    response.status = status;
    response.set_header("Replay-Nonce", NewNonce());
    response.set_content(CompactJson(problem), "application/problem+json");
}

bool FakeAcmeServer::Verify(const httplib::Request& request, httplib::Response& response,
                            Verified& out, bool jwkAllowed) {
    if (request.get_header_value("Content-Type") != "application/jose+json")
        Fault(request.path + ": Content-Type " + request.get_header_value("Content-Type"));
    if (request.get_header_value("User-Agent").find("Quillmate") == std::string::npos)
        Fault(request.path + ": User-Agent " + request.get_header_value("User-Agent"));
    const auto body = JsonOf(request.body);
    if (!body || !body->isObject() || !(*body)["protected"].isString() ||
        !(*body)["payload"].isString() || !(*body)["signature"].isString() || body->size() != 3) {
        Fault(request.path + ": not a flattened JWS: " + request.body);
        Problem(response, 400, "malformed", "not a flattened JWS");
        return false;
    }
    const auto header = JsonOf(Decode((*body)["protected"]));
    if (!header || !header->isObject()) {
        Fault(request.path + ": unreadable protected header");
        Problem(response, 400, "malformed", "unreadable protected header");
        return false;
    }
    const std::string alg = (*header)["alg"].asString();
    const std::string nonce = (*header)["nonce"].asString();
    if (nonces_.erase(nonce) == 0) {
        Fault(request.path + ": nonce not issued or used twice: " + nonce);
        Problem(response, 400, "badNonce", "unknown nonce");
        return false;
    }
    if (script_.unavailable > 0 || script_.rateLimited > 0) {
        const bool unavailable = script_.unavailable > 0;
        --(unavailable ? script_.unavailable : script_.rateLimited);
        ++busyAnswers_;
        if (unavailable)
            Problem(response, 503, "serverInternal", "the CA is busy");
        else
            Problem(response, 429, "rateLimited", "too many requests for this account");
        if (script_.retryAfterBusy >= 0)
            response.set_header("Retry-After", std::to_string(script_.retryAfterBusy));
        return false;
    }
    if (script_.rejectNonces > 0) {
        --script_.rejectNonces;
        ++noncesRejected_;
        Problem(response, 400, "badNonce", "JWS has an invalid anti-replay nonce");
        return false;
    }
    if ((*header)["url"].asString() != url(request.path)) {
        Fault(request.path + ": url " + (*header)["url"].asString());
        Problem(response, 401, "unauthorized", "url mismatch");
        return false;
    }
    const bool hasJwk = header->isMember("jwk");
    const bool hasKid = header->isMember("kid");
    EvpPkeyPtr key;
    if (hasJwk == hasKid || (hasJwk && !jwkAllowed)) {
        Fault(request.path + ": jwk/kid wrong");
        Problem(response, 400, "malformed", "exactly one of jwk and kid, jwk for newAccount only");
        return false;
    }
    if (hasJwk) {
        out.jwk = (*header)["jwk"];
        key = KeyFromJwk(out.jwk);
    } else {
        const std::string kid = (*header)["kid"].asString();
        const std::string prefix = url("/acct/");
        const int index = kid.starts_with(prefix) ? std::atoi(kid.c_str() + prefix.size()) : -1;
        if (index < 0 || index >= static_cast<int>(accounts_.size())) {
            Fault(request.path + ": unknown kid " + kid);
            Problem(response, 400, "accountDoesNotExist", "no such account");
            return false;
        }
        out.account = index;
        out.jwk = accounts_[static_cast<size_t>(index)];
        key = KeyFromJwk(out.jwk);
    }
    if ((alg == "ES256") != EVP_PKEY_is_a(key.get(), "EC") ||
        !VerifyJwsSignature(key.get(), alg,
                            (*body)["protected"].asString() + "." + (*body)["payload"].asString(),
                            Decode((*body)["signature"]))) {
        Fault(request.path + ": bad signature (" + alg + ")");
        Problem(response, 400, "malformed", "JWS verification error");
        return false;
    }
    out.header = *header;
    out.payload = Decode((*body)["payload"]);
    return true;
}

Json::Value FakeAcmeServer::AuthorizationJson(int id) const {
    const Authorization& a = authorizations_[static_cast<size_t>(id)];
    Json::Value json;
    json["identifier"]["type"] = "dns";
    json["identifier"]["value"] = a.name;
    json["status"] = a.status;
    json["expires"] = "2099-01-01T00:00:00Z";
    Json::Value http01;
    http01["type"] = "http-01";
    http01["url"] = url("/chall/" + std::to_string(id));
    http01["token"] = a.token;
    http01["status"] = a.challengeStatus;
    if (!a.error.isNull())
        http01["error"] = a.error;
    if (!a.validationRecord.isNull())
        http01["validationRecord"] = a.validationRecord;
    Json::Value dns01;
    dns01["type"] = "dns-01";
    dns01["url"] = url("/chall-dns/" + std::to_string(id));
    dns01["token"] = a.token;
    dns01["status"] = "pending";
    json["challenges"] = Json::Value(Json::arrayValue);
    if (script_.offerHttp01)
        json["challenges"].append(http01);
    json["challenges"].append(dns01);
    return json;
}

Json::Value FakeAcmeServer::OrderJson(int id) {
    const Order& o = orders_[static_cast<size_t>(id)];
    Json::Value json;
    json["identifiers"] = Json::Value(Json::arrayValue);
    for (const auto& name : o.names) {
        Json::Value identifier;
        identifier["type"] = "dns";
        identifier["value"] = name;
        json["identifiers"].append(identifier);
    }
    json["authorizations"] = Json::Value(Json::arrayValue);
    bool allValid = true;
    bool anyInvalid = false;
    for (int a : o.authorizations) {
        json["authorizations"].append(url("/authz/" + std::to_string(a)));
        allValid = allValid && authorizations_[static_cast<size_t>(a)].status == "valid";
        anyInvalid = anyInvalid || authorizations_[static_cast<size_t>(a)].status == "invalid";
    }
    json["finalize"] = url("/finalize/" + std::to_string(id));
    if (o.finalized) {
        json["status"] = o.processingLeft > 0 ? "processing" : "valid";
        if (o.processingLeft == 0)
            json["certificate"] = url("/cert/" + std::to_string(o.certificate));
    } else if (anyInvalid) {
        json["status"] = "invalid";
        json["error"]["type"] = std::string(kPrefix) + "unauthorized";
        json["error"]["detail"] = "an authorization failed";
    } else {
        json["status"] = allValid ? "ready" : "pending";
    }
    return json;
}

std::string FakeAcmeServer::IssueCertificate(const Order& order, EVP_PKEY* publicKey) {
    const size_t index = leaves_.size();
    CertFields fields;
    fields.commonName = order.names.front();
    fields.dnsNames = order.names;
    fields.issuer = interA_.get();
    fields.issuerKey = interKey_.get();
    // The top bit set: the certID's serial then needs its leading zero.
    char serial[8];
    std::snprintf(serial, sizeof serial, "A0%02X", static_cast<unsigned>(index & 0xFF));
    fields.serialHex = serial;
    fields.authorityKeyId = kIssuerKeyId;
    const X509Ptr leaf = MakeCert(publicKey, fields);
    leaves_.push_back(PemOf(leaf.get()));
    lastCertId_ = Base64UrlEncode(kIssuerKeyId) + "." +
                  Base64UrlEncode(std::string("\x00\xA0", 2) + static_cast<char>(index & 0xFF));
    certIds_[lastCertId_] = static_cast<int>(index);
    return leaves_.back();
}

void FakeAcmeServer::Install() {
    httplib::SSLServer& http = server_.Handlers();

    http.Get("/dir", [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex_);
        Log(request);
        Json::Value dir;
        dir["newNonce"] = url("/nonce");
        dir["newAccount"] = url("/new-account");
        dir["newOrder"] = url("/new-order");
        dir["revokeCert"] = url("/revoke");
        dir["keyChange"] = url("/key-change");
        if (script_.renewalInfo)
            dir["renewalInfo"] = url("/renewal-info");
        if (!script_.termsOfService.empty())
            dir["meta"]["termsOfService"] = script_.termsOfService;
        dir["meta"]["externalAccountRequired"] = !script_.eabKid.empty();
        response.set_content(CompactJson(dir), "application/json");
    });

    // httplib answers HEAD with the GET handler, without the body.
    http.Get("/nonce", [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex_);
        Log(request);
        response.set_header("Replay-Nonce", NewNonce());
        response.set_header("Cache-Control", "no-store");
        response.status = 200;
    });

    http.Post("/new-account", [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex_);
        Log(request);
        Verified v;
        if (!Verify(request, response, v, true))
            return;
        const auto payload = JsonOf(v.payload);
        if (!payload || !payload->isObject()) {
            Fault("newAccount payload is not an object");
            return Problem(response, 400, "malformed", "payload");
        }
        lastNewAccount_ = *payload;
        int found = -1;
        for (size_t i = 0; i < accounts_.size(); ++i) {
            if (accounts_[i] == v.jwk)
                found = static_cast<int>(i);
        }
        Json::Value account;
        account["status"] = "valid";
        if ((*payload)["onlyReturnExisting"].asBool() || found >= 0) {
            if (found < 0)
                return Problem(response, 400, "accountDoesNotExist", "no account for this key");
            response.set_header("Location", url("/acct/" + std::to_string(found)));
            return Reply(response, 200, account);
        }
        if (script_.requireTerms && !(*payload)["termsOfServiceAgreed"].asBool())
            return Problem(response, 400, "malformed",
                           "Provided account did not agree to the terms of service");
        if (!script_.eabKid.empty()) {
            const Json::Value& eab = (*payload)["externalAccountBinding"];
            const auto header = JsonOf(Decode(eab["protected"]));
            std::string key;
            Base64UrlDecode(script_.eabKey, key);
            const bool ok =
                eab.isObject() && header && (*header)["alg"].asString() == "HS256" &&
                (*header)["kid"].asString() == script_.eabKid &&
                (*header)["url"].asString() == url("/new-account") &&
                JsonOf(Decode(eab["payload"])) == std::optional<Json::Value>(v.jwk) &&
                Decode(eab["signature"]) ==
                    HmacSha256(key, eab["protected"].asString() + "." + eab["payload"].asString());
            if (!ok)
                return Problem(response, 401, "unauthorized", "external account binding invalid");
        }
        accounts_.push_back(v.jwk);
        ++accountsCreated_;
        response.set_header("Location", url("/acct/" + std::to_string(accounts_.size() - 1)));
        Reply(response, 201, account);
    });

    http.Post("/new-order", [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex_);
        Log(request);
        Verified v;
        if (!Verify(request, response, v, false))
            return;
        if (script_.newOrderProblem) {
            response.status = 400;
            response.set_header("Replay-Nonce", NewNonce());
            response.set_content(CompactJson(*script_.newOrderProblem), "application/problem+json");
            return;
        }
        const auto payload = JsonOf(v.payload);
        if (!payload || !payload->isObject()) {
            Fault("newOrder payload is not an object");
            return Problem(response, 400, "malformed", "payload");
        }
        lastNewOrder_ = *payload;
        Order order;
        order.account = v.account;
        for (const auto& identifier : (*payload)["identifiers"]) {
            if (identifier["type"].asString() != "dns")
                Fault("identifier type " + identifier["type"].asString());
            order.names.push_back(identifier["value"].asString());
        }
        for (const auto& name : order.names) {
            int reuse = -1;
            for (size_t i = 0; script_.reuseAuthorizations && i < authorizations_.size(); ++i) {
                const Authorization& a = authorizations_[i];
                if (a.name == name && a.account == v.account && a.status == "valid")
                    reuse = static_cast<int>(i);
            }
            if (reuse < 0) {
                Authorization a;
                a.name = name;
                a.token = RandomToken();
                a.account = v.account;
                authorizations_.push_back(a);
                reuse = static_cast<int>(authorizations_.size() - 1);
            }
            order.authorizations.push_back(reuse);
        }
        orders_.push_back(order);
        const int id = static_cast<int>(orders_.size() - 1);
        response.set_header("Location", url("/order/" + std::to_string(id)));
        Reply(response, 201, OrderJson(id));
    });

    http.Post(
        R"(/order/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            Log(request);
            Verified v;
            if (!Verify(request, response, v, false))
                return;
            if (!v.payload.empty())
                Fault("order fetch is not POST-as-GET");
            const int id = std::stoi(request.matches[1]);
            if (id >= static_cast<int>(orders_.size()))
                return Problem(response, 404, "malformed", "no such order");
            Order& order = orders_[static_cast<size_t>(id)];
            const Json::Value json = OrderJson(id);
            if (order.finalized && order.processingLeft > 0) {
                --order.processingLeft;
                if (script_.retryAfterSeconds > 0)
                    response.set_header("Retry-After", std::to_string(script_.retryAfterSeconds));
            }
            Reply(response, 200, json);
        });

    http.Post(R"(/authz/(\d+))", [this](const httplib::Request& request,
                                        httplib::Response& response) {
        std::lock_guard lock(mutex_);
        Log(request);
        Verified v;
        if (!Verify(request, response, v, false))
            return;
        if (!v.payload.empty())
            Fault("authorization fetch is not POST-as-GET");
        const int id = std::stoi(request.matches[1]);
        if (id >= static_cast<int>(authorizations_.size()))
            return Problem(response, 404, "malformed", "no such authorization");
        Authorization& a = authorizations_[static_cast<size_t>(id)];
        if (a.challengeStatus == "processing") {
            if (a.pollsLeft > 0) {
                --a.pollsLeft;
                if (script_.retryAfterSeconds > 0)
                    response.set_header("Retry-After", std::to_string(script_.retryAfterSeconds));
            } else {
                a.status = a.error.isNull() ? "valid" : "invalid";
                a.challengeStatus = a.status;
            }
        }
        Reply(response, 200, AuthorizationJson(id));
    });

    http.Post(
        R"(/chall/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            Log(request);
            Verified v;
            if (!Verify(request, response, v, false))
                return;
            if (v.payload != "{}")
                Fault("challenge response payload " + v.payload);
            const int id = std::stoi(request.matches[1]);
            if (id >= static_cast<int>(authorizations_.size()))
                return Problem(response, 404, "malformed", "no such challenge");
            Authorization& a = authorizations_[static_cast<size_t>(id)];
            if (a.challengeStatus == "pending") {
                const std::string fetched =
                    "http://" + a.name + "/.well-known/acme-challenge/" + a.token;
                Json::Value record;
                record["url"] = fetched;
                record["hostname"] = a.name;
                record["port"] = "80";
                record["addressUsed"] = "127.0.0.1";
                a.validationRecord.append(record);
                const std::string expected =
                    a.token + "." + JwkThumbprint(accounts_[static_cast<size_t>(a.account)]);
                const auto content =
                    script_.failNames.count(a.name) ? std::nullopt : fetch_(a.name, a.token);
                if (script_.failNames.count(a.name)) {
                    a.error["type"] = std::string(kPrefix) + "connection";
                    a.error["detail"] = "127.0.0.1: Fetching " + fetched + ": Connection refused";
                    a.error["status"] = 400;
                } else if (!content) {
                    a.error["type"] = std::string(kPrefix) + "unauthorized";
                    a.error["detail"] = "Invalid response from " + fetched + ": 404";
                    a.error["status"] = 403;
                } else if (*content != expected) {
                    a.error["type"] = std::string(kPrefix) + "unauthorized";
                    a.error["detail"] = "The key authorization file did not match: " + *content;
                    a.error["status"] = 403;
                }
                a.challengeStatus = "processing";
                a.pollsLeft = script_.pendingPolls;
                if (a.pollsLeft == 0) {
                    a.status = a.error.isNull() ? "valid" : "invalid";
                    a.challengeStatus = a.status;
                }
            }
            Json::Value challenge = AuthorizationJson(id)["challenges"][0];
            Reply(response, 200, challenge);
        });

    http.Post(R"(/finalize/(\d+))",
              [this](const httplib::Request& request, httplib::Response& response) {
                  std::lock_guard lock(mutex_);
                  Log(request);
                  Verified v;
                  if (!Verify(request, response, v, false))
                      return;
                  const int id = std::stoi(request.matches[1]);
                  if (id >= static_cast<int>(orders_.size()))
                      return Problem(response, 404, "malformed", "no such order");
                  if (OrderJson(id)["status"].asString() != "ready")
                      return Problem(response, 403, "orderNotReady", "the order is not ready");
                  Order& order = orders_[static_cast<size_t>(id)];
                  const auto payload = JsonOf(v.payload);
                  const std::string der = payload ? Decode((*payload)["csr"]) : std::string();
                  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
                  X509_REQ* csr = d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size()));
                  EVP_PKEY* publicKey = csr ? X509_REQ_get0_pubkey(csr) : nullptr;
                  const std::set<std::string> wanted(order.names.begin(), order.names.end());
                  if (csr == nullptr || publicKey == nullptr ||
                      X509_REQ_verify(csr, publicKey) != 1 || CsrNames(csr) != wanted) {
                      X509_REQ_free(csr);
                      return Problem(response, 400, "badCSR", "the CSR does not match the order");
                  }
                  order.certificate = static_cast<int>(leaves_.size());
                  IssueCertificate(order, publicKey);
                  X509_REQ_free(csr);
                  order.finalized = true;
                  order.processingLeft = script_.processingPolls;
                  response.set_header("Location", url("/order/" + std::to_string(id)));
                  Reply(response, 200, OrderJson(id));
              });

    auto serveChain = [this](const httplib::Request& request, httplib::Response& response,
                             bool alternate) {
        std::lock_guard lock(mutex_);
        Log(request);
        Verified v;
        if (!Verify(request, response, v, false))
            return;
        if (!v.payload.empty())
            Fault("certificate download is not POST-as-GET");
        lastAccept_ = request.get_header_value("Accept");
        const int id = std::stoi(request.matches[1]);
        if (id >= static_cast<int>(leaves_.size()))
            return Problem(response, 404, "malformed", "no such certificate");
        response.set_header("Replay-Nonce", NewNonce());
        if (!alternate)
            response.set_header(
                "Link", "<" + url("/cert/" + std::to_string(id) + "/alt") + ">;rel=\"alternate\"");
        response.set_header("Link", "<" + url("/dir") + ">;rel=\"index\"");
        response.set_content(
            leaves_[static_cast<size_t>(id)] + (alternate ? interBPem_ : interAPem_),
            "application/pem-certificate-chain");
    };
    http.Post(R"(/cert/(\d+))",
              [serveChain](const httplib::Request& request, httplib::Response& response) {
                  serveChain(request, response, false);
              });
    http.Post(R"(/cert/(\d+)/alt)",
              [serveChain](const httplib::Request& request, httplib::Response& response) {
                  serveChain(request, response, true);
              });

    http.Get(R"(/renewal-info/(.+))", [this](const httplib::Request& request,
                                             httplib::Response& response) {
        std::lock_guard lock(mutex_);
        Log(request);
        if (!script_.renewalInfo || certIds_.count(request.matches[1]) == 0) {
            response.status = 404;
            return;
        }
        response.set_header("Retry-After", "21600");
        response.set_content(
            R"({"suggestedWindow":{"start":"2030-01-01T00:00:00Z","end":"2030-01-02T00:00:00Z"},)"
            R"("explanationURL":"https://ca.test/ari"})",
            "application/json");
    });
}

}  // namespace qm::acme::test
