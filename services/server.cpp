#include "services/server.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "certcenter/authority.h"
#include "certcenter/center.h"
#include "certcenter/serveloop.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "services/downloads.h"
#include "services/feedback.h"

namespace qm::services {
namespace {

using certcenter::AnnounceReady;
using certcenter::AppendLogLine;
using certcenter::BindServer;
using certcenter::InstallStopHandlers;
using certcenter::ListenUrl;
using certcenter::ServeUntilStopped;

bool Stopping() {
    return certcenter::StopRequested();
}

constexpr const char* kDownloadPrefix = "/download/";
constexpr const char* kFeedbackPath = "/ReceiveFeedbackServer";
constexpr auto kLongestStall = std::chrono::seconds(120);
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxDrainedBytes = 4 * 1024 * 1024;

// One JSON line per request in requests.log (for tests and operators) and
// the same line on stderr.
class RequestLog {
public:
    explicit RequestLog(std::string path) : path_(std::move(path)) {}

    void Write(const httplib::Request& request, int status, Json::Value line = {}) {
        line["time"] = certcenter::UtcTimeText(certcenter::NowSeconds());
        line["method"] = request.method;
        line["path"] = request.path.substr(0, 256);
        line["status"] = status;
        const std::string text = OneLineJson(line) + "\n";
        std::lock_guard lock(mutex_);
        AppendLogLine(path_, text);
    }

private:
    std::string path_;
    std::mutex mutex_;
};

void Send(httplib::Response& response, const Answer& answer) {
    response.status = answer.status;
    response.set_content(answer.body, answer.contentType);
}

// Log details of an answer: for posts the message's type and the outcome,
// for refusals why.
Json::Value Details(const httplib::Request& request, const Answer& answer) {
    Json::Value details(Json::objectValue);
    if (request.method == "POST") {
        details["type"] = answer.requestType;
        details["outcome"] = answer.outcome;
    }
    if (!answer.problem.empty())
        details["msg"] = answer.problem;
    return details;
}

// Sends the body as the fault planned it: a stall that a stop ends, a cut
// that closes the connection (the provider's false does).
httplib::ContentProvider FaultyProvider(std::shared_ptr<DownloadBody> body) {
    auto stalled = std::make_shared<bool>(false);
    return [body, stalled](size_t offset, size_t, httplib::DataSink& sink) {
        for (;;) {
            const DownloadStep step = NextStep(*body, offset, *stalled, kChunk);
            switch (step.kind) {
                case DownloadStep::Kind::Close:
                    return false;
                case DownloadStep::Kind::Stall:
                    *stalled = true;
                    if (StallFor(kLongestStall, Stopping))
                        return false;
                    continue;
                case DownloadStep::Kind::Send:
                    return sink.write(body->bytes.data() + offset, step.size);
            }
        }
    };
}

}  // namespace

int RunServe(const ServeOptions& options) {
    try {
        if (!MakeDirectoryTree(WideFromUtf8(options.stateDir)))
            throw std::runtime_error("cannot create the state folder " + options.stateDir);
        const auto authority = certcenter::CertificateAuthority::OpenOrCreate(
            options.stateDir, certcenter::KeyKind::Ec);
        auto identity = authority.MakeTlsIdentity(options.hostnames);
        RequestLog log(options.stateDir + "/requests.log");
        ReceivedStore store(options.stateDir + "/received.jsonl");
        FeedbackDesk desk(store, options.feedbackFault);
        FaultSwitch downloadFault(options.downloadFault);

        httplib::SSLServer server([&](SSL_CTX& context) {
            return SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) == 1 &&
                   SSL_CTX_use_certificate(&context, identity.certificate.get()) == 1 &&
                   SSL_CTX_use_PrivateKey(&context, identity.key.get()) == 1 &&
                   SSL_CTX_add1_chain_cert(&context, authority.certificate()) == 1;
        });
        if (!server.is_valid())
            throw certcenter::CryptoError("cannot set up TLS");
        server.set_payload_max_length(kMaxMessageBytes);
        // One request per connection: a body left unread (cut off, or not
        // parseable) must not be taken for the next request. Clients of this
        // service make a handful of requests, so keep-alive buys nothing.
        server.set_keep_alive_max_count(1);

        auto refuse = [&](const httplib::Request& request, httplib::Response& response, int status,
                          const std::string& problem) {
            const Answer answer = ErrorAnswer(status, problem);
            log.Write(request, status, Details(request, answer));
            Send(response, answer);
        };
        auto wrongMethod = [&](const httplib::Request& request, httplib::Response& response) {
            const bool known =
                request.path.starts_with(kDownloadPrefix) || request.path == kFeedbackPath;
            if (known)
                refuse(request, response, 405,
                       "downloads are fetched with GET, messages posted with POST");
            else
                refuse(request, response, 404, "no such path");
        };

        server.Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
            if (!request.path.starts_with(kDownloadPrefix))
                return wrongMethod(request, response);
            const std::string name = request.path.substr(std::string(kDownloadPrefix).size());
            std::string bytes;
            if (!ReadReleaseFile(options.releaseDir, name, bytes))
                return refuse(request, response, 404, "no such file");
            const std::string fault = downloadFault.Take(name);
            Json::Value details(Json::objectValue);
            details["bytes"] = static_cast<Json::UInt64>(bytes.size());
            if (!fault.empty())
                details["fault"] = fault;
            log.Write(request, 200, details);
            response.status = 200;
            if (fault.empty()) {
                response.set_content(std::move(bytes), ContentTypeFor(name));
                return;
            }
            // A provider, so that the declared length and what is sent differ on the wire.
            auto body = std::make_shared<DownloadBody>(PlanDownload(std::move(bytes), fault));
            const size_t length = body->bytes.size();
            response.set_content_provider(length, ContentTypeFor(name), FaultyProvider(body));
        });

        // The content-reader form takes the body whatever its Content-Type
        // (a client may post JSON without naming it, which reads as a form).
        server.Post(".*", [&](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& read) {
            // Bodies beyond the limit are read on (and dropped) up to a point,
            // so that the client is still there to read the answer.
            std::string body;
            size_t received = 0;
            const auto take = [&](const char* data, size_t length) {
                received += length;
                if (received <= kMaxMessageBytes)
                    body.append(data, length);
                return received <= kMaxDrainedBytes;
            };
            // The library parses multipart bodies itself; nobody posts those here.
            const bool multipart = request.is_multipart_form_data();
            const bool complete =
                multipart ? read([](const httplib::MultipartFormData&) { return true; }, take)
                          : read(take);
            // The library refuses a declared length beyond the limit before
            // reading anything.
            const bool tooLarge =
                received > kMaxMessageBytes ||
                request.get_header_value<uint64_t>("Content-Length") > kMaxMessageBytes;
            if (request.path != kFeedbackPath)
                return wrongMethod(request, response);
            const Answer answer = tooLarge    ? TooLargeAnswer()
                                  : multipart ? ErrorAnswer(400, "messages are posted as JSON")
                                  : complete  ? desk.Handle(body)
                                              : ErrorAnswer(400, "the message could not be read");
            log.Write(request, answer.status, Details(request, answer));
            Send(response, answer);
        });
        server.Put(".*", wrongMethod);
        server.Patch(".*", wrongMethod);
        server.Delete(".*", wrongMethod);
        server.Options(".*", wrongMethod);
        // Our own refusals already carry a body; this gives the library's
        // bare ones (oversize bodies, bad request lines) one, and a log line.
        server.set_error_handler([&](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty())
                return;
            const Answer answer =
                response.status == 413
                    ? TooLargeAnswer()
                    : ErrorAnswer(response.status, "the request was not understood");
            log.Write(request, answer.status, Details(request, answer));
            Send(response, answer);
        });
        server.set_exception_handler(
            [&](const httplib::Request& request, httplib::Response& response, std::exception_ptr) {
                refuse(request, response, 500, "the service failed on this request");
            });

        // SIGTERM and SIGINT end the service cleanly; a stalling download
        // sees the same request and gives up its worker.
        InstallStopHandlers();
        const int port = BindServer(server, options.listenHost, options.listenPort);
        std::cout << "listening on " << ListenUrl(options.listenHost, port) << "\n"
                  << "CA certificate: " << options.stateDir << "/ca.pem\n"
                  << "release folder: "
                  << (options.releaseDir.empty() ? "(none)" : options.releaseDir) << std::endl;
        AnnounceReady(options.readyFile, port);
        if (!ServeUntilStopped(server))
            throw std::runtime_error("stopped serving");
        std::cerr << "quillmate-services: stopped" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quillmate-services: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace qm::services
