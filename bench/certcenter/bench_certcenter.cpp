// Availability of the certificate center while clients misbehave. A
// legitimate client makes complete challengeRequest exchanges, each on a
// fresh TLS connection, as many as it can in 3 s: first alone, then while
// 200 idle TCP connections (never a TLS handshake) and 20
// authorizationRequests whose verification files trickle in one byte every
// 2 s are held against the center, then alone again. Prints the rates and
// the ratio of the rate under attack to the mean of the rates alone (1.0:
// the attack costs the client nothing); times are reported, not asserted.
//
// The center runs with its request-rate limits off (--requests-per-address
// 0, --requests-per-key 0): they would cap the legitimate client itself,
// and what is measured here is the transport's availability.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "certcenter/tests/test_client.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/harness_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using qm::certcenter::test::ParseAnswer;
using qm::certcenter::test::TestClient;
using std::chrono::milliseconds;

constexpr auto kRun = std::chrono::seconds(3);
constexpr int kIdleConnections = 200;
constexpr int kIdlePerAddress = 10;  // below the center's default of 16 per address
constexpr int kIdleFirstAddress = 2;
constexpr int kSlowVerifications = 20;
constexpr int kSlowFirstAddress = 100;
constexpr auto kTrickleInterval = std::chrono::seconds(2);

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Address(int last) {
    return "127.0.0." + std::to_string(last);
}

// Whether the peer has closed the connection.
bool ClosedByPeer(int socket) {
    pollfd entry{socket, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0)
        return false;
    char byte;
    const ssize_t read = recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return read == 0 || (read < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Plain HTTP on a free loopback port, answering every request with a 200
// whose bytes come one every 2 s: a verification target as slow as a site
// can be without ever stalling a single read for long.
class TricklingSite {
public:
    TricklingSite() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        socklen_t size = sizeof address;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(listener_, 64) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot start the trickling site");
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~TricklingSite() {
        stop_ = true;
        acceptor_.join();
        for (auto& worker : workers_)
            worker.join();
        close(listener_);
    }
    TricklingSite(const TricklingSite&) = delete;
    TricklingSite& operator=(const TricklingSite&) = delete;

    int port() const { return port_; }
    int connections() const { return connections_; }

private:
    void Accept() {
        while (!stop_) {
            pollfd entry{listener_, POLLIN, 0};
            if (poll(&entry, 1, 100) <= 0)
                continue;
            const int socket = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (socket < 0)
                continue;
            ++connections_;
            workers_.emplace_back([this, socket] {
                Trickle(socket);
                close(socket);
            });
        }
    }

    void Trickle(int socket) {
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 64\r\n\r\n" +
            std::string(64, 'x');
        for (const char byte : answer) {
            if (send(socket, &byte, 1, MSG_NOSIGNAL) != 1)
                return;
            for (auto waited = milliseconds(0); waited < kTrickleInterval;
                 waited += milliseconds(100)) {
                if (stop_)
                    return;
                std::this_thread::sleep_for(milliseconds(100));
            }
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    std::vector<std::thread> workers_;  // the acceptor's
};

size_t AppendToString(char* data, size_t size, size_t count, void* text) {
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
}

struct Posted {
    bool ok = false;
    long status = 0;
    std::string body;
};

// One POST on a fresh connection from `source`, trusting the center's CA, as
// the enrollment client posts.
Posted Post(const qm::e2e::CertCenterProcess& center, const std::string& body,
            const std::string& source, long timeoutSeconds) {
    Posted posted;
    CURL* curl = curl_easy_init();
    if (!curl)
        return posted;
    const std::string interface = "host!" + source;
    curl_easy_setopt(curl, CURLOPT_URL, center.url().c_str());
    curl_easy_setopt(curl, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    curl_easy_setopt(curl, CURLOPT_INTERFACE, interface.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, center.caFile().c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendToString);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &posted.body);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
    posted.ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &posted.status);
    curl_easy_cleanup(curl);
    return posted;
}

struct Rate {
    int answered = 0;  // complete challenges
    int failed = 0;    // errors, refusals, cut connections
    double seconds = 0;
    double perSecond() const { return seconds > 0 ? answered / seconds : 0; }
};

// The legitimate client: challengeRequest after challengeRequest for kRun.
Rate MeasureClient(const qm::e2e::CertCenterProcess& center) {
    const std::string challenge = TestClient::Challenge({"localhost"});
    Rate rate;
    const auto start = Clock::now();
    while (Clock::now() - start < kRun) {
        const Posted posted = Post(center, challenge, Address(1), 10);
        if (posted.ok && posted.status == 200 &&
            ParseAnswer(posted.body)["type"].asString() == "challenge")
            ++rate.answered;
        else
            ++rate.failed;
    }
    rate.seconds = SecondsSince(start);
    return rate;
}

// An authorizationRequest for "localhost" whose verification file is on the
// trickling site; what the center answered and when.
struct SlowOutcome {
    std::string answer;  // the answer's "error" or "type"; "" when none came
    std::string message;
    double seconds = 0;
};

SlowOutcome SlowVerification(const qm::e2e::CertCenterProcess& center, const TestClient& client,
                             const std::string& source, int sitePort) {
    SlowOutcome outcome;
    const auto start = Clock::now();
    const Posted challenged = Post(center, TestClient::Challenge({"localhost"}), source, 10);
    const Json::Value challenge = ParseAnswer(challenged.body);
    if (challenge["type"].asString() != "challenge") {
        outcome.answer = "no challenge: " + challenged.body.substr(0, 200);
        return outcome;
    }
    const std::string url = "http://localhost:" + std::to_string(sitePort) + "/auth/auth.txt";
    const Posted posted = Post(center,
                               client.Authorization(challenge["sessionID"].asString(),
                                                    challenge["nonce"].asString(), {url}),
                               source, 60);
    const Json::Value answer = ParseAnswer(posted.body);
    outcome.answer =
        answer.isMember("error") ? answer["error"].asString() : answer.get("type", "").asString();
    outcome.message = answer.get("message", "").asString();
    outcome.seconds = SecondsSince(start);
    return outcome;
}

}  // namespace

int main() {
    qm::e2e::CurlGlobalInit();
    TricklingSite site;
    const std::string sitePort = std::to_string(site.port());
    std::unique_ptr<qm::e2e::CertCenterProcess> center;
    try {
        center = std::make_unique<qm::e2e::CertCenterProcess>(
            std::vector<std::string>{"--allow-local", "--allow-port", sitePort,
                                     "--requests-per-address", "0", "--requests-per-key", "0"});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "the center did not start: %s\n", e.what());
        return 1;
    }
    std::printf("center on port %d, rate limits off; connection limits at their defaults\n",
                center->port());

    MeasureClient(*center);  // warms up the center and its state
    const Rate alone = MeasureClient(*center);
    std::printf("alone: %d challengeRequest exchanges answered in %.2f s (%d failed): %.1f/s\n",
                alone.answered, alone.seconds, alone.failed, alone.perSecond());
    if (alone.answered == 0) {
        std::fprintf(stderr, "the center answered nothing:\n%s\n", center->StderrText().c_str());
        return 1;
    }

    // The attack: idle connections first, then the slow verifications.
    std::vector<int> idle;
    for (int i = 0; i < kIdleConnections; ++i) {
        const int socket =
            qm::e2e::ConnectFrom(Address(kIdleFirstAddress + i / kIdlePerAddress), center->port());
        if (socket >= 0)
            idle.push_back(socket);
    }
    std::this_thread::sleep_for(milliseconds(300));
    int accepted = 0;
    for (const int socket : idle)
        accepted += ClosedByPeer(socket) ? 0 : 1;
    const int lastIdleAddress = kIdleFirstAddress + (kIdleConnections - 1) / kIdlePerAddress;
    std::printf(
        "idle connections: %zu of %d opened, %d from each of %s to %s; accepted and held by the "
        "center: %d\n",
        idle.size(), kIdleConnections, kIdlePerAddress, Address(kIdleFirstAddress).c_str(),
        Address(lastIdleAddress).c_str(), accepted);

    const TestClient client;
    std::vector<SlowOutcome> outcomes(kSlowVerifications);
    std::vector<std::thread> slow;
    for (int i = 0; i < kSlowVerifications; ++i)
        slow.emplace_back([&, i] {
            outcomes[i] =
                SlowVerification(*center, client, Address(kSlowFirstAddress + i), site.port());
        });
    const auto waitStart = Clock::now();
    while (site.connections() < kSlowVerifications && SecondsSince(waitStart) < 5)
        std::this_thread::sleep_for(milliseconds(20));
    std::printf(
        "slow verifications: %d authorizationRequests from %s to %s, each fetching a file that "
        "trickles in one byte every %lld s; fetches in progress: %d\n",
        kSlowVerifications, Address(kSlowFirstAddress).c_str(),
        Address(kSlowFirstAddress + kSlowVerifications - 1).c_str(),
        static_cast<long long>(kTrickleInterval.count()), site.connections());

    const Rate attacked = MeasureClient(*center);
    int stillOpen = 0;
    for (const int socket : idle)
        stillOpen += ClosedByPeer(socket) ? 0 : 1;
    std::printf(
        "under attack: %d challengeRequest exchanges answered in %.2f s (%d failed): %.1f/s; idle "
        "connections still held at the end: %d\n",
        attacked.answered, attacked.seconds, attacked.failed, attacked.perSecond(), stillOpen);

    for (const int socket : idle)
        close(socket);
    for (auto& thread : slow)
        thread.join();
    // Each ends when the center's fetch deadline cuts the trickle off.
    std::map<std::string, int> answers;
    double longest = 0;
    for (const auto& outcome : outcomes) {
        answers[outcome.answer + (outcome.message.empty() ? "" : " (" + outcome.message + ")")]++;
        longest = std::max(longest, outcome.seconds);
    }
    std::printf("slow verifications ended after %.1f s at the latest, answered:\n", longest);
    for (const auto& [answer, count] : answers)
        std::printf("  %d x %s\n", count, answer.c_str());

    // The load of a shared machine drifts over a run: the attack is compared
    // with the mean of the runs alone before and after it.
    const Rate after = MeasureClient(*center);
    std::printf(
        "alone again: %d challengeRequest exchanges answered in %.2f s (%d failed): %.1f/s\n",
        after.answered, after.seconds, after.failed, after.perSecond());
    const double baseline = (alone.perSecond() + after.perSecond()) / 2;
    std::printf("ratio under attack / alone (mean of before and after): %.2f\n",
                baseline > 0 ? attacked.perSecond() / baseline : 0);
    return 0;
}
