#include "certcenter/server.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "certcenter/authority.h"
#include "certcenter/center.h"
#include "certcenter/center_state.h"
#include "certcenter/httpsfront.h"
#include "certcenter/serveloop.h"
#include "certcenter/verification.h"
#include "foundation/files.h"
#include "foundation/textconv.h"

namespace qm::certcenter {
namespace {

// One JSON line per request in requests.log (for tests and operators) and
// the same line on stderr.
class RequestLog {
public:
    explicit RequestLog(std::string path) : path_(std::move(path)) {}

    void Write(const Reply& reply) {
        Json::Value line = reply.details.isObject() ? reply.details : Json::Value();
        line["time"] = UtcTimeText(NowSeconds());
        line["type"] = reply.requestType;
        line["outcome"] = reply.outcome();
        if (reply.outcome() == "error") {
            line["error"] = reply.answer.get("error", "").asString();
            line["message"] = reply.answer.get("message", "").asString();
        }
        line["status"] = reply.status;
        const std::string text = CompactJson(line) + "\n";
        std::lock_guard lock(mutex_);
        AppendLogLine(path_, text);
    }

private:
    std::string path_;
    std::mutex mutex_;
};

Reply ErrorReply(int status, const std::string& error, const std::string& message) {
    Reply reply;
    reply.status = status;
    reply.answer["type"] = "error";
    reply.answer["error"] = error;
    reply.answer["message"] = message;
    return reply;
}

Reply TooLarge() {
    return ErrorReply(
        413, "tooLarge",
        "the request exceeds " + std::to_string(CertCenter::kMaxRequestBytes) + " bytes");
}

FrontAnswer Send(const Reply& reply) {
    return {reply.status, "application/json", CompactJson(reply.answer)};
}

FrontLimits LimitsFrom(const ServeOptions& options) {
    FrontLimits limits;
    limits.handshakeTimeout = std::chrono::milliseconds(options.handshakeTimeoutMs);
    limits.requestTimeout = std::chrono::milliseconds(options.requestTimeoutMs);
    limits.writeTimeout = std::chrono::milliseconds(options.writeTimeoutMs);
    limits.maxConnections = options.maxConnections;
    limits.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
    limits.maxBodyBytes = CertCenter::kMaxRequestBytes;
    return limits;
}

FetchPolicy FetchPolicyFrom(const ServeOptions& options) {
    FetchPolicy policy;
    policy.allowedPorts = options.allowedPorts;
    policy.allowPrivateAddresses = options.allowLocal;
    policy.deadline = std::chrono::milliseconds(options.fetchTimeoutMs);
    policy.connectTimeout = std::min(policy.connectTimeout, policy.deadline);
    return policy;
}

// The center's certificate (with the CA above it) and key, TLS 1.2 or later.
std::unique_ptr<SSL_CTX, OpenSslDeleter<SSL_CTX_free>> MakeTlsContext(
    const CertificateAuthority& authority, const CertificateAuthority::TlsIdentity& identity) {
    std::unique_ptr<SSL_CTX, OpenSslDeleter<SSL_CTX_free>> context(
        SSL_CTX_new(TLS_server_method()));
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate(context.get(), identity.certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), identity.key.get()) != 1 ||
        SSL_CTX_add1_chain_cert(context.get(), authority.certificate()) != 1 ||
        SSL_CTX_check_private_key(context.get()) != 1)
        throw CryptoError("cannot set up TLS");
    // Renegotiation would let one client make the center repeat handshakes
    // at will.
    SSL_CTX_set_options(context.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    return context;
}

}  // namespace

int RunServe(const ServeOptions& options) {
    try {
        if (!MakeDirectoryTree(WideFromUtf8(options.stateDir)))
            throw std::runtime_error("cannot create the state folder " + options.stateDir);
        CenterState::RemoveStaleTemporaries(options.stateDir);
        const auto authority = CertificateAuthority::OpenOrCreate(options.stateDir, options.caKey);
        CenterState state(options.stateDir);
        auto identity = authority.MakeTlsIdentity(options.hostnames);
        RequestLog log(options.stateDir + "/requests.log");
        const FetchPolicy policy = FetchPolicyFrom(options);
        CertCenter center(
            CenterSettings::From(options), authority, state,
            [policy](const std::string& url) { return FetchVerificationFile(url, policy); });

        const auto context = MakeTlsContext(authority, identity);

        HttpsFront front(context.get(), LimitsFrom(options), [&](const FrontRequest& request) {
            using Problem = FrontRequest::Problem;
            Reply reply;
            switch (request.problem) {
                case Problem::TooLarge:
                    reply = TooLarge();
                    log.Write(reply);
                    return Send(reply);
                case Problem::BadHead:
                    return Send(ErrorReply(400, "badRequest", "the request was not understood"));
                case Problem::BadBody:
                    if (request.method != "POST")
                        break;
                    reply = ErrorReply(400, "badRequest", "the request body could not be read");
                    log.Write(reply);
                    return Send(reply);
                case Problem::None:
                    break;
            }
            // Any path; the client posts JSON without naming it (as a form).
            if (request.method != "POST")
                return Send(ErrorReply(405, "badRequest", "messages are posted as JSON"));
            try {
                reply = center.Handle(request.body, request.peerAddress);
            } catch (const std::exception&) {
                return Send(ErrorReply(500, "internal", "the center failed on this request"));
            }
            log.Write(reply);
            return Send(reply);
        });

        // SIGTERM and SIGINT end the center cleanly.
        InstallStopHandlers();
        const int port = front.Listen(options.listenHost, options.listenPort);
        front.Start();
        std::cout << "listening on " << ListenUrl(options.listenHost, port) << "\n"
                  << "CA certificate: " << options.stateDir << "/ca.pem" << std::endl;
        AnnounceReady(options.readyFile, port);
        while (!StopRequested())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        front.Stop();
        std::cerr << "quillmate-certcenter: stopped" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quillmate-certcenter: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace qm::certcenter
