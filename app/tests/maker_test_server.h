// A loopback stand-in for the maker's web service: keeps every JSON body
// posted to it and answers with the test's rule; answers can be held back
// to catch a sender in the middle of its post.
#pragma once

#include <httplib.h>
#include <json/json.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/makerservice.h"
#include "enrollment/tests/tls_test_server.h"

namespace qm::test {

class MakerTestServer {
public:
    using Rule = std::function<std::string(const Json::Value& request)>;

    explicit MakerTestServer(Rule rule)
        : rule_(std::move(rule)), server_(Pki().serverCertFile(), Pki().serverKeyFile()) {
        server_.Handlers().Post(
            ".*", [this](const httplib::Request& request, httplib::Response& response) {
                Json::Value body;
                Json::Reader reader;
                if (!reader.parse(request.body, body))
                    body = Json::Value();
                std::unique_lock lock(mutex_);
                requests_.push_back(body);
                paths_.push_back(request.path);
                changed_.notify_all();
                changed_.wait(lock, [this] { return !holding_; });
                response.set_content(rule_(body), "application/json");
            });
        server_.Start();
    }
    ~MakerTestServer() {
        ReleaseAnswers();
        server_.Stop();
    }

    MakerService Service() const { return {server_.Url(), Pki().caFile()}; }

    void SetRule(Rule rule) {
        std::lock_guard lock(mutex_);
        rule_ = std::move(rule);
    }
    void HoldAnswers() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    void ReleaseAnswers() {
        std::lock_guard lock(mutex_);
        holding_ = false;
        changed_.notify_all();
    }

    std::vector<Json::Value> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<std::string> Paths() const {
        std::lock_guard lock(mutex_);
        return paths_;
    }
    size_t RequestCount() const { return Requests().size(); }

    // An answer of `type`, with "msg" when given.
    static Rule Answer(std::string type, std::string msg = {}) {
        return [type, msg](const Json::Value&) {
            Json::Value answer(Json::objectValue);
            answer["type"] = type;
            if (!msg.empty())
                answer["msg"] = msg;
            return Json::FastWriter().write(answer);
        };
    }

    // One test CA for the whole run: making keys is the slow part.
    static const TestPki& Pki() {
        static const TestPki pki;
        return pki;
    }

private:
    Rule rule_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    std::vector<Json::Value> requests_;
    std::vector<std::string> paths_;
    TlsTestServer server_;
};

// An address where nothing answers.
inline MakerService UnreachableService() {
    return {u"https://localhost:1", MakerTestServer::Pki().caFile()};
}

}  // namespace qm::test
