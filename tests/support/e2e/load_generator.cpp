#include "tests/support/e2e/load_generator.h"

#include <curl/curl.h>

#include <sstream>
#include <stdexcept>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"

namespace qm::e2e {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long a waiting transfer sleeps before it looks at the stop flag again.
constexpr int kPollMs = 20;

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

}  // namespace

std::string LoadCounts::Describe() const {
    std::ostringstream text;
    text << "sent " << sent << ", ok " << ok << ", failed " << failed << ", interrupted "
         << interrupted;
    if (failed > 0)
        text << "; failures from " << firstFailure.count() << " ms to " << lastFailure.count()
             << " ms";
    for (const LoadFailure& f : failures)
        text << "\n  " << f.sinceStart.count() << " ms " << f.url << ": " << f.text;
    return text.str();
}

LoadGenerator::LoadGenerator(Options options) : options_(std::move(options)) {}

LoadGenerator::~LoadGenerator() {
    Stop();
}

void LoadGenerator::Start() {
    if (!threads_.empty())
        throw std::logic_error("the load generator is running already");
    if (options_.targets.empty())
        throw std::invalid_argument("the load generator needs at least one target");
    if (!(options_.requestsPerSecond > 0))
        throw std::invalid_argument("the load generator needs a positive rate");
    CurlGlobalInit();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        counts_ = LoadCounts{};
    }
    stop_ = false;
    next_ = 0;
    start_ = steady_clock::now();
    wallStart_ = std::chrono::system_clock::now();
    deadline_ = start_ + options_.maxDuration;
    const int threads = options_.threads > 0 ? options_.threads : 1;
    working_ = threads;
    for (int i = 0; i < threads; ++i)
        threads_.emplace_back([this] { Work(); });
}

LoadCounts LoadGenerator::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        t.join();
    threads_.clear();
    return Counts();
}

LoadCounts LoadGenerator::Counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

bool LoadGenerator::Running() const {
    return working_ > 0 && !ShouldEnd();
}

bool LoadGenerator::ShouldEnd() const {
    return stop_ || steady_clock::now() >= deadline_;
}

void LoadGenerator::Work() {
    const auto period = std::chrono::duration<double>(1.0 / options_.requestsPerSecond);
    for (;;) {
        // Request number n is due at start + n periods, whichever thread sends it.
        const uint64_t n = next_++;
        const auto due =
            start_ + duration_cast<steady_clock::duration>(period * static_cast<double>(n));
        if (due >= deadline_)
            break;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_until(lock, due, [this] { return stop_.load(); }))
                break;
        }
        if (ShouldEnd())
            break;
        const LoadTarget& target = options_.targets[n % options_.targets.size()];
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++counts_.sent;
        }
        std::string error;
        const Outcome outcome = Request(target, error);
        Record(target, outcome, error);
    }
    --working_;
}

LoadGenerator::Outcome LoadGenerator::Request(const LoadTarget& target, std::string& error) {
    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    curl_slist* connectTo = nullptr;
    if (!easy || !multi) {
        error = "cannot make a transfer";
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
        return Outcome::Failed;
    }
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_URL, target.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.requestTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
    // Every request on a connection of its own.
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, target.insecure ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, target.insecure ? 0L : 2L);
    curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    if (!target.caFile.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, target.caFile.c_str());
    if (!target.connectTo.empty()) {
        connectTo = curl_slist_append(nullptr, ConnectToEntry(target.connectTo).c_str());
        curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
    }
    curl_multi_add_handle(multi, easy);

    // The transfer runs in short steps so that the end of the run cuts it off.
    bool ended = false;
    bool cutOff = false;
    CURLcode result = CURLE_OK;
    while (!ended) {
        int running = 0;
        const CURLMcode step = curl_multi_perform(multi, &running);
        if (step != CURLM_OK) {
            error = curl_multi_strerror(step);
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                result = message->data.result;
                ended = true;
            }
        }
        if (ended)
            break;
        if (ShouldEnd()) {
            // A request cut off by the end of the run says nothing about the server.
            cutOff = true;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
    }

    Outcome outcome = cutOff ? Outcome::CutOff : Outcome::Failed;
    if (ended) {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_OK)
            error = errorText[0] ? errorText : curl_easy_strerror(result);
        else if (status >= 500 || status < 100)
            error = "HTTP " + std::to_string(status);
        else
            outcome = Outcome::Ok;
    }
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_slist_free_all(connectTo);
    return outcome;
}

void LoadGenerator::Record(const LoadTarget& target, Outcome outcome, const std::string& error) {
    const auto now = steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcome == Outcome::Ok) {
        ++counts_.ok;
        return;
    }
    if (outcome == Outcome::CutOff) {
        ++counts_.interrupted;
        return;
    }
    ++counts_.failed;
    const auto since = duration_cast<milliseconds>(now - start_);
    if (counts_.firstFailure.count() < 0)
        counts_.firstFailure = since;
    counts_.lastFailure = since;
    if (counts_.failures.size() < options_.keptFailures) {
        counts_.failures.push_back(
            {since, wallStart_ + duration_cast<std::chrono::system_clock::duration>(now - start_),
             target.url, error});
    }
}

}  // namespace qm::e2e
