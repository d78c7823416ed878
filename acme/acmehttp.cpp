#include "acme/acmehttp.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "acme/acmeerror.h"
#include "acme/renewalinfo.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "foundation/version.h"

namespace qm::acme {

namespace {

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

struct Transfer {
    HttpResponse response;
    bool overflow = false;
    const std::function<bool()>* stop = nullptr;
    bool stopped = false;
};

size_t OnBody(char* bytes, size_t size, size_t count, void* userdata) {
    auto* transfer = static_cast<Transfer*>(userdata);
    const size_t total = size * count;
    if (total > HttpTransport::kMaxResponseSize - transfer->response.body.size()) {
        transfer->overflow = true;
        return 0;  // makes curl abandon the transfer
    }
    transfer->response.body.append(bytes, total);
    return total;
}

size_t OnHeader(char* bytes, size_t size, size_t count, void* userdata) {
    auto* transfer = static_cast<Transfer*>(userdata);
    const size_t total = size * count;
    const std::string_view line(bytes, total);
    // A new status line (after "100 Continue") starts the headers afresh.
    if (line.starts_with("HTTP/")) {
        transfer->response.headers.clear();
        return total;
    }
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && colon > 0)
        transfer->response.headers.emplace_back(Lower(Trim(line.substr(0, colon))),
                                                std::string(Trim(line.substr(colon + 1))));
    return total;
}

int OnProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(userdata);
    if (transfer->stop != nullptr && *transfer->stop && (*transfer->stop)()) {
        transfer->stopped = true;
        return 1;
    }
    return 0;
}

// IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT", the form servers send.
std::optional<std::chrono::system_clock::time_point> ParseHttpDate(std::string_view text) {
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 29 || text[3] != ',' || !text.ends_with(" GMT"))
        return std::nullopt;
    const auto month = std::find(std::begin(kMonths), std::end(kMonths), text.substr(8, 3));
    if (month == std::end(kMonths) || text[7] != ' ' || text[11] != ' ' || text[16] != ' ')
        return std::nullopt;
    // Rewritten as RFC 3339, whose reader checks the digits and ranges.
    const int monthNumber = static_cast<int>(month - std::begin(kMonths)) + 1;
    const std::string iso =
        std::string(text.substr(12, 4)) + "-" + static_cast<char>('0' + monthNumber / 10) +
        static_cast<char>('0' + monthNumber % 10) + "-" + std::string(text.substr(5, 2)) + "T" +
        std::string(text.substr(17, 8)) + "Z";
    std::chrono::system_clock::time_point time;
    if (!ParseRfc3339(iso, time))
        return std::nullopt;
    return time;
}

}  // namespace

std::string HttpResponse::Header(std::string_view name) const {
    const std::string key = Lower(name);
    for (const auto& [headerName, value] : headers) {
        if (headerName == key)
            return value;
    }
    return {};
}

std::vector<std::string> HttpResponse::HeaderValues(std::string_view name) const {
    const std::string key = Lower(name);
    std::vector<std::string> values;
    for (const auto& [headerName, value] : headers) {
        if (headerName == key)
            values.push_back(value);
    }
    return values;
}

HttpTransport::HttpTransport(std::u16string caFile, std::function<bool()> stopRequested)
    : caFile_(std::move(caFile)), stopRequested_(std::move(stopRequested)) {}

HttpTransport::~HttpTransport() = default;

std::string HttpTransport::UserAgent() {
    return std::string(QUILLMATE_PRODUCT_NAME) + "/" + QUILLMATE_PRODUCT_VERSION + " acme-client";
}

HttpResponse HttpTransport::Get(const std::string& url, const std::string& accept) const {
    return Perform(Method::Get, url, nullptr, {}, accept);
}

HttpResponse HttpTransport::Head(const std::string& url) const {
    return Perform(Method::Head, url, nullptr, {}, {});
}

HttpResponse HttpTransport::Post(const std::string& url, const std::string& body,
                                 const std::string& contentType, const std::string& accept) const {
    return Perform(Method::Post, url, &body, contentType, accept);
}

const std::string& HttpTransport::TrustBundle() const {
    if (trustLoaded_ || caFile_.empty())
        return trustBundle_;
    // The system bundle curl would use, plus the anchor: the anchor adds
    // trust, it does not replace the system's.
    std::string anchor;
    if (!ReadFileBytes(caFile_, anchor) || anchor.empty())
        throw AcmeError(AcmeError::Cause::Network,
                        "cannot read the trust anchor " + Utf8FromWide(caFile_));
    std::string bundle;
    InitializeCurlOnce();
    CurlEasyHandle probe(curl_easy_init());
    char* systemBundle = nullptr;
    if (probe && curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &systemBundle) == CURLE_OK &&
        systemBundle != nullptr)
        ReadFileBytes(WideFromUtf8(systemBundle), bundle);
    if (!bundle.empty() && bundle.back() != '\n')
        bundle += '\n';
    trustBundle_ = bundle + anchor;
    trustLoaded_ = true;
    return trustBundle_;
}

HttpResponse HttpTransport::Perform(Method method, const std::string& url, const std::string* body,
                                    const std::string& contentType,
                                    const std::string& accept) const {
    if (stopRequested_ && stopRequested_())
        throw AcmeError(AcmeError::Cause::Stopped, "stopped on request");
    InitializeCurlOnce();
    const std::string& trust = TrustBundle();
    // One handle for all requests: its live connection to the CA is reused,
    // which spares a TLS handshake (and reading the trust bundle) each time.
    if (!handle_)
        handle_.reset(curl_easy_init());
    if (!handle_)
        throw AcmeError(AcmeError::Cause::Network, "cannot start a transfer");
    Transfer transfer;
    transfer.stop = &stopRequested_;
    char errorText[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, SlistFree> headers;
    auto addHeader = [&](const std::string& line) {
        curl_slist* list = curl_slist_append(headers.get(), line.c_str());
        if (list != nullptr) {
            headers.release();
            headers.reset(list);
        }
    };
    if (!contentType.empty())
        addHeader("Content-Type: " + contentType);
    if (!accept.empty())
        addHeader("Accept: " + accept);
    // curl would wait up to a second for "100 Continue" before larger bodies.
    if (method == Method::Post)
        addHeader("Expect:");
    const std::string userAgent = UserAgent();
    CURL* h = handle_.get();
    bool ok = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_TIMEOUT, kTransferTimeoutSeconds) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    if (ok && !trust.empty()) {
        curl_blob blob{const_cast<char*>(trust.data()), trust.size(), CURL_BLOB_NOCOPY};
        ok = curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK;
    }
    if (ok && method == Method::Head)
        ok = curl_easy_setopt(h, CURLOPT_NOBODY, 1L) == CURLE_OK;
    if (ok && method == Method::Post)
        ok = curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->c_str()) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                              static_cast<curl_off_t>(body->size())) == CURLE_OK;
    if (!ok) {
        curl_easy_reset(h);
        throw AcmeError(AcmeError::Cause::Network, "cannot set up the transfer to " + url);
    }
    const CURLcode code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &transfer.response.status);
    // The handle outlives this call: it must not keep pointers to its locals.
    curl_easy_reset(h);
    if (transfer.stopped)
        throw AcmeError(AcmeError::Cause::Stopped, "stopped on request");
    if (code != CURLE_OK) {
        std::string why = transfer.overflow
                              ? "answer larger than " + std::to_string(kMaxResponseSize) + " bytes"
                          : errorText[0] != '\0' ? std::string(errorText)
                                                 : std::string(curl_easy_strerror(code));
        throw AcmeError(AcmeError::Cause::Network, url + ": " + why);
    }
    return std::move(transfer.response);
}

std::vector<std::string> LinkTargets(const HttpResponse& response, std::string_view rel) {
    std::vector<std::string> targets;
    for (const std::string& value : response.HeaderValues("link")) {
        // link-value = "<" URI ">" *( ";" param ), several per line split by ","
        size_t at = 0;
        while (at < value.size()) {
            const size_t open = value.find('<', at);
            if (open == std::string::npos)
                break;
            const size_t close = value.find('>', open);
            if (close == std::string::npos)
                break;
            const std::string target = value.substr(open + 1, close - open - 1);
            // The parameters run to the next "," outside quotes.
            size_t end = close + 1;
            bool quoted = false;
            for (; end < value.size(); ++end) {
                if (value[end] == '"')
                    quoted = !quoted;
                else if (value[end] == ',' && !quoted)
                    break;
            }
            const std::string_view params(value.data() + close + 1, end - close - 1);
            size_t p = 0;
            while (p < params.size()) {
                size_t semi = params.find(';', p);
                if (semi == std::string_view::npos)
                    semi = params.size();
                const std::string_view param = Trim(params.substr(p, semi - p));
                const size_t eq = param.find('=');
                if (eq != std::string_view::npos && Lower(Trim(param.substr(0, eq))) == "rel") {
                    std::string_view relValue = Trim(param.substr(eq + 1));
                    if (relValue.size() >= 2 && relValue.front() == '"' && relValue.back() == '"')
                        relValue = relValue.substr(1, relValue.size() - 2);
                    // rel may list several relation types separated by spaces.
                    size_t r = 0;
                    while (r < relValue.size()) {
                        size_t space = relValue.find(' ', r);
                        if (space == std::string_view::npos)
                            space = relValue.size();
                        if (Lower(relValue.substr(r, space - r)) == Lower(rel))
                            targets.push_back(target);
                        r = space + 1;
                    }
                }
                p = semi + 1;
            }
            at = end + 1;
        }
    }
    return targets;
}

std::optional<std::chrono::seconds> RetryAfter(const HttpResponse& response,
                                               std::chrono::system_clock::time_point now) {
    const std::string value = response.Header("retry-after");
    if (value.empty())
        return std::nullopt;
    if (std::all_of(value.begin(), value.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        // Absurd values are capped so that adding them to a time cannot overflow.
        if (value.size() > 9)
            return std::chrono::seconds(999999999);
        return std::chrono::seconds(std::stol(value));
    }
    const auto date = ParseHttpDate(value);
    if (!date)
        return std::nullopt;
    if (*date <= now)
        return std::chrono::seconds(0);
    return std::chrono::ceil<std::chrono::seconds>(*date - now);
}

}  // namespace qm::acme
