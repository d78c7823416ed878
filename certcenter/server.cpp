#include "certcenter/server.h"

#include <httplib.h>
#include <openssl/ssl.h>

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

void Send(httplib::Response& response, const Reply& reply) {
    response.status = reply.status;
    response.set_content(CompactJson(reply.answer), "application/json");
}

}  // namespace

int RunServe(const ServeOptions& options) {
    try {
        if (!MakeDirectoryTree(WideFromUtf8(options.stateDir)))
            throw std::runtime_error("cannot create the state folder " + options.stateDir);
        const auto authority = CertificateAuthority::OpenOrCreate(options.stateDir, options.caKey);
        CenterState state(options.stateDir);
        auto identity = authority.MakeTlsIdentity(options.hostnames);
        RequestLog log(options.stateDir + "/requests.log");
        CertCenter center(CenterSettings::From(options), authority, state,
                          [](const std::string& url) { return FetchVerificationFile(url); });

        httplib::SSLServer server([&](SSL_CTX& context) {
            return SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) == 1 &&
                   SSL_CTX_use_certificate(&context, identity.certificate.get()) == 1 &&
                   SSL_CTX_use_PrivateKey(&context, identity.key.get()) == 1 &&
                   SSL_CTX_add1_chain_cert(&context, authority.certificate()) == 1;
        });
        if (!server.is_valid())
            throw CryptoError("cannot set up TLS");
        server.set_payload_max_length(CertCenter::kMaxRequestBytes);

        // The content-reader form takes the body whatever its Content-Type
        // (the client posts JSON without naming it, which reads as a form).
        server.Post(".*", [&](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& read) {
            std::string body;
            bool tooLarge = false;
            const bool complete = read([&](const char* data, size_t length) {
                if (body.size() + length > CertCenter::kMaxRequestBytes) {
                    tooLarge = true;
                    return false;
                }
                body.append(data, length);
                return true;
            });
            // The library refuses a declared length beyond the limit before
            // reading anything; a body without a length is cut off above.
            const auto declared = request.get_header_value<uint64_t>("Content-Length");
            if (!complete && (tooLarge || declared > CertCenter::kMaxRequestBytes))
                tooLarge = true;
            const Reply reply =
                tooLarge   ? TooLarge()
                : complete ? center.Handle(body)
                           : ErrorReply(400, "badRequest", "the request body could not be read");
            log.Write(reply);
            Send(response, reply);
        });
        auto notAllowed = [&](const httplib::Request&, httplib::Response& response) {
            Send(response, ErrorReply(405, "badRequest", "messages are posted as JSON"));
        };
        server.Get(".*", notAllowed);
        server.Put(".*", notAllowed);
        server.Delete(".*", notAllowed);
        // Our own answers already carry a body; this gives the library's
        // bare refusals (oversize headers or bodies, bad request lines) one.
        server.set_error_handler([&](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty())
                return;
            if (response.status == 413) {
                const Reply reply = TooLarge();
                log.Write(reply);
                Send(response, reply);
            } else {
                Send(response,
                     ErrorReply(response.status, "badRequest", "the request was not understood"));
            }
        });
        server.set_exception_handler(
            [&](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
                Send(response, ErrorReply(500, "internal", "the center failed on this request"));
            });

        // SIGTERM and SIGINT end the center cleanly.
        InstallStopHandlers();
        const int port = BindServer(server, options.listenHost, options.listenPort);
        std::cout << "listening on " << ListenUrl(options.listenHost, port) << "\n"
                  << "CA certificate: " << options.stateDir << "/ca.pem" << std::endl;
        AnnounceReady(options.readyFile, port);
        if (!ServeUntilStopped(server))
            throw std::runtime_error("stopped serving");
        std::cerr << "quillmate-certcenter: stopped" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quillmate-certcenter: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace qm::certcenter
