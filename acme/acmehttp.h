// HTTPS for the ACME client: GET, HEAD and POST with libcurl, the answer's
// status, headers and body. The CA's certificate is verified (peer and host
// name) against the system's trust store plus an optional extra anchor;
// plain http is refused (RFC 8555 §6.1). A stop request ends a transfer at
// once. Also the readers of the headers ACME relies on: Link and Retry-After.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/curlsupport.h"

namespace qm::acme {

struct HttpResponse {
    long status = 0;
    std::string body;
    // In arrival order, names in lower case, values trimmed.
    std::vector<std::pair<std::string, std::string>> headers;

    // The first value of the header `name` (any case); empty when absent.
    std::string Header(std::string_view name) const;
    std::vector<std::string> HeaderValues(std::string_view name) const;
};

class HttpTransport {
public:
    static constexpr long kConnectTimeoutSeconds = 30;
    static constexpr long kTransferTimeoutSeconds = 90;
    static constexpr size_t kMaxResponseSize = size_t{4} << 20;

    // `caFile`: an extra trust anchor (PEM), empty for the system's alone.
    // `stopRequested` is asked during transfers; it may be empty.
    HttpTransport(std::u16string caFile, std::function<bool()> stopRequested);
    ~HttpTransport();
    HttpTransport(const HttpTransport&) = delete;
    HttpTransport& operator=(const HttpTransport&) = delete;

    // Each throws AcmeError: Network when no complete answer arrived (or the
    // anchor cannot be read), Stopped when a stop was requested.
    HttpResponse Get(const std::string& url, const std::string& accept = {}) const;
    HttpResponse Head(const std::string& url) const;
    HttpResponse Post(const std::string& url, const std::string& body,
                      const std::string& contentType, const std::string& accept = {}) const;

    static std::string UserAgent();

private:
    enum class Method { Get, Head, Post };
    HttpResponse Perform(Method method, const std::string& url, const std::string* body,
                         const std::string& contentType, const std::string& accept) const;
    const std::string& TrustBundle() const;

    std::u16string caFile_;
    std::function<bool()> stopRequested_;
    mutable CurlEasyHandle handle_;
    mutable std::string trustBundle_;  // read on first use
    mutable bool trustLoaded_ = false;
};

// The targets of every Link header with relation `rel` (RFC 8288), e.g.
// "alternate" or "up", resolved against nothing: ACME servers send
// absolute URLs.
std::vector<std::string> LinkTargets(const HttpResponse& response, std::string_view rel);

// Retry-After (RFC 9110 §10.2.3): delay seconds or an HTTP-date, relative to
// `now`. Empty when absent or unreadable; a date in the past gives zero.
std::optional<std::chrono::seconds> RetryAfter(const HttpResponse& response,
                                               std::chrono::system_clock::time_point now);

}  // namespace qm::acme
