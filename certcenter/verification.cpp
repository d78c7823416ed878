#include "certcenter/verification.h"

#include <curl/curl.h>
#include <openssl/bio.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>
#include <mutex>
#include <optional>

#include "certcenter/addresspolicy.h"
#include "certcenter/host/sockets.h"
#include "foundation/curlsupport.h"

namespace qm::certcenter {

bool ParseVerificationUrl(std::string_view url, VerificationUrl& parsed) {
    parsed = {};
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return false;
    std::string scheme(url.substr(0, schemeEnd));
    for (auto& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https")
        return false;
    parsed.scheme = scheme;
    parsed.port = scheme == "https" ? 443 : 80;

    const std::string_view rest = url.substr(schemeEnd + 3);
    const auto authorityEnd = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view host = authority;
    if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        const std::string_view port = authority.substr(colon + 1);
        int value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || error != std::errc() || end != port.data() + port.size() || value < 1 ||
            value > 65535)
            return false;
        parsed.port = value;
    }
    parsed.host = std::string(host);
    for (auto& c : parsed.host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!IsValidDnsName(parsed.host))
        return false;

    std::string_view target =
        authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    if (const auto fragment = target.find('#'); fragment != std::string_view::npos)
        target = target.substr(0, fragment);
    for (const char c : target)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return false;
    parsed.target = target.empty() ? "/" : std::string(target);
    if (parsed.target.front() == '?')
        parsed.target.insert(0, "/");
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUserAgent = "quillmate-certcenter (verification file check)";
// Headers are kept by curl until the transfer ends: bound them like the body.
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kMaxUrlInProblem = 200;

using EasyHandle = CurlEasyHandle;

struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

// Problem texts are one line and come partly from the target: no control
// characters, bounded length.
std::string OneLine(std::string_view text, size_t limit = kMaxUrlInProblem) {
    std::string line;
    for (const char c : text) {
        if (line.size() >= limit) {
            // Cut at a character boundary, not inside a UTF-8 sequence.
            while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xc0) == 0x80)
                line.pop_back();
            if (!line.empty() && static_cast<unsigned char>(line.back()) >= 0xc0)
                line.pop_back();
            line += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        line += byte < ' ' || byte == 0x7f ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::string Seconds(std::chrono::milliseconds duration) {
    const long long ms = duration.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0')
            fraction.pop_back();
        text += "." + fraction;
    }
    return text + (ms == 1000 ? " second" : " seconds");
}

std::optional<std::string> UrlPiece(CURLU* url, CURLUPart which, unsigned flags = 0) {
    char* value = nullptr;
    if (curl_url_get(url, which, &value, flags) != CURLUE_OK || value == nullptr)
        return std::nullopt;
    std::string text(value);
    curl_free(value);
    return text;
}

std::string Lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Parses `text` as curl will fetch it: absolute, or relative to `base`.
// Any scheme parses, so that the policy can name it.
UrlHandle ParseUrl(const std::string& text, CURLU* base) {
    UrlHandle url(base ? curl_url_dup(base) : curl_url());
    if (!url)
        return nullptr;
    unsigned flags = CURLU_NON_SUPPORT_SCHEME;
    if (base)
        flags |= CURLU_URLENCODE | CURLU_ALLOW_SPACE;  // as curl treats a Location
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK)
        return nullptr;
    return url;
}

// Why the policy refuses to request `url` (`text` as written); empty when
// it may be requested.
std::string Refusal(CURLU* url, const std::string& text, const FetchPolicy& policy, bool redirect) {
    const std::string to = redirect ? "redirect to " : "";
    const std::string scheme = Lower(UrlPiece(url, CURLUPART_SCHEME).value_or(""));
    if (scheme != "http" && scheme != "https")
        return to + OneLine(text) + " is not http or https";
    if (UrlPiece(url, CURLUPART_USER) || UrlPiece(url, CURLUPART_PASSWORD))
        return to + "a URL with user information is not allowed";
    const std::string host = Lower(UrlPiece(url, CURLUPART_HOST).value_or(""));
    if (IsIpAddressText(host)) {
        if (!policy.allowPrivateAddresses)
            return to + "an IP address host (" + OneLine(host) + ") is not allowed";
    } else if (!IsValidDnsName(host)) {
        return to + "\"" + OneLine(host) + "\" is not a domain name";
    }
    const std::string portText = UrlPiece(url, CURLUPART_PORT, CURLU_DEFAULT_PORT).value_or("0");
    int port = 0;
    std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (!policy.allowedPorts.Contains(port))
        return to + "port " + OneLine(portText) + " is not allowed";
    return {};
}

// One request: its callbacks' shared state.
struct Transfer {
    CURL* handle = nullptr;
    const FetchPolicy* policy = nullptr;
    Clock::time_point deadline;
    std::string body;
    std::string address;         // the address the connection reached
    std::string refusedAddress;  // why that address may not be used
    size_t headerBytes = 0;
    bool tooLarge = false;
    bool headersTooLarge = false;
    bool tooSlow = false;
    bool bodyNotWanted = false;  // a status other than 200: its body is not read

    bool PastDeadline() {
        if (Clock::now() >= deadline)
            tooSlow = true;
        return tooSlow;
    }
};

// Runs before every connection attempt with the address curl is about to
// connect to: a refused address gets no connection at all, not even a TCP
// handshake or a TLS hello.
curl_socket_t OpenCheckedSocket(void* userdata, curlsocktype purpose, curl_sockaddr* address) {
    auto* transfer = static_cast<Transfer*>(userdata);
    if (purpose == CURLSOCKTYPE_IPCXN && !transfer->policy->allowPrivateAddresses) {
        const std::string text = host::SocketAddressText(&address->addr);
        const AddressKind kind = ClassifyAddress(text);
        if (kind != AddressKind::Public) {
            transfer->address = text;
            transfer->refusedAddress =
                text.empty() ? "the address to connect to is unknown"
                             : OneLine(text) + " is " + std::string(DescribeAddressKind(kind));
            return CURL_SOCKET_BAD;
        }
    }
    const int socket = BIO_socket(address->family, address->socktype, address->protocol, 0);
    return socket < 0 ? CURL_SOCKET_BAD : static_cast<curl_socket_t>(socket);
}

// Runs once the connection is up (TLS included) and before the request is
// sent: the address checked again is the one actually used.
int CheckPeer(void* userdata, char* primaryIp, char*, int, int) {
    auto* transfer = static_cast<Transfer*>(userdata);
    transfer->address = primaryIp ? primaryIp : "";
    if (transfer->policy->allowPrivateAddresses)
        return CURL_PREREQFUNC_OK;
    const AddressKind kind = ClassifyAddress(transfer->address);
    if (kind == AddressKind::Public)
        return CURL_PREREQFUNC_OK;
    transfer->refusedAddress =
        transfer->address.empty()
            ? "the address connected to is unknown"
            : OneLine(transfer->address) + " is " + std::string(DescribeAddressKind(kind));
    return CURL_PREREQFUNC_ABORT;
}

size_t OnHeader(char*, size_t size, size_t count, void* userdata) {
    auto* transfer = static_cast<Transfer*>(userdata);
    const size_t total = size * count;
    if (transfer->PastDeadline())
        return 0;
    transfer->headerBytes += total;
    if (transfer->headerBytes > kMaxHeaderBytes) {
        transfer->headersTooLarge = true;
        return 0;
    }
    return total;
}

size_t OnBody(char* bytes, size_t size, size_t count, void* userdata) {
    auto* transfer = static_cast<Transfer*>(userdata);
    const size_t total = size * count;
    if (transfer->PastDeadline())
        return 0;
    long status = 0;
    curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        transfer->bodyNotWanted = true;
        return 0;
    }
    if (total > transfer->policy->maxBytes - transfer->body.size()) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->body.append(bytes, total);
    return total;
}

int OnProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(userdata)->PastDeadline() ? 1 : 0;
}

long Milliseconds(Clock::duration duration) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

// Performs one GET of `url`; fills the hop and returns the problem (empty
// when an answer with a status was read).
std::string Request(CURL* handle, CURLU* url, const FetchPolicy& policy, Clock::time_point deadline,
                    Transfer& transfer, FetchHop& hop) {
    transfer.handle = handle;
    transfer.policy = &policy;
    transfer.deadline = deadline;

    const long remaining = std::max(1L, Milliseconds(deadline - Clock::now()));
    const long connectTimeout =
        std::clamp(static_cast<long>(policy.connectTimeout.count()), 1L, remaining);
    char errorText[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(handle, CURLOPT_CURLU, url);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connectTimeout);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, remaining);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, OpenCheckedSocket);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, CheckPeer);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

    const CURLcode code = curl_easy_perform(handle);
    hop.address = transfer.address;
    if (!transfer.refusedAddress.empty())
        return transfer.refusedAddress;

    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    hop.status = static_cast<int>(status);
    if (transfer.tooLarge)
        return "the file is larger than " + std::to_string(policy.maxBytes) + " bytes";
    if (transfer.headersTooLarge)
        return "the answer's headers are larger than " + std::to_string(kMaxHeaderBytes) + " bytes";
    // curl's own timer ends the transfer a few milliseconds early at times.
    if (transfer.tooSlow || (code == CURLE_OPERATION_TIMEDOUT &&
                             Clock::now() + std::chrono::milliseconds(50) >= deadline))
        return "the fetch took longer than " + Seconds(policy.deadline);
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && transfer.bodyNotWanted))
        return status > 0 ? "" : "no HTTP answer";
    const std::string detail = OneLine(errorText[0] ? errorText : curl_easy_strerror(code), 300);
    return detail.empty() ? "the transfer failed" : detail;
}

// Where a redirect answer points: curl's reading of it when the answer was
// read to the end, else its Location header resolved against `base`.
std::optional<std::string> RedirectTarget(CURL* handle, CURLU* base) {
    char* redirect = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect)
        return std::string(redirect);
    curl_header* location = nullptr;
    if (curl_easy_header(handle, "Location", 0, CURLH_HEADER, -1, &location) != CURLHE_OK ||
        !location)
        return std::nullopt;
    if (UrlHandle resolved = ParseUrl(location->value, base))
        return UrlPiece(resolved.get(), CURLUPART_URL);
    return std::string(location->value);  // refused below as not a URL
}

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

FetchResult FetchVerificationFile(const std::string& url, const FetchPolicy& policy) {
    InitializeCurlOnce();
    const Clock::time_point deadline = Clock::now() + policy.deadline;
    FetchResult result;

    std::string currentText = url;
    UrlHandle current = ParseUrl(url, nullptr);
    if (!current) {
        result.problem = OneLine(url) + " is not a URL";
        return result;
    }
    for (int redirects = 0;; ++redirects) {
        const bool redirected = redirects > 0;
        if (std::string refusal = Refusal(current.get(), currentText, policy, redirected);
            !refusal.empty()) {
            result.problem = std::move(refusal);
            return result;
        }
        const std::string where = redirected ? "redirected to " + OneLine(currentText) + ": " : "";
        if (Clock::now() >= deadline) {
            result.problem = "the fetch took longer than " + Seconds(policy.deadline);
            return result;
        }
        EasyHandle easy(curl_easy_init());
        if (!easy) {
            result.problem = "cannot start a transfer";
            return result;
        }
        Transfer transfer;
        FetchHop& hop = result.hops.emplace_back();
        hop.url = currentText;
        if (std::string problem =
                Request(easy.get(), current.get(), policy, deadline, transfer, hop);
            !problem.empty()) {
            result.problem = where + problem;
            return result;
        }
        if (hop.status == 200) {
            result.ok = true;
            result.body = std::move(transfer.body);
            return result;
        }
        const auto target =
            IsRedirect(hop.status) ? RedirectTarget(easy.get(), current.get()) : std::nullopt;
        if (!target) {
            result.problem = where + "HTTP status " + std::to_string(hop.status);
            return result;
        }
        if (redirects >= policy.maxRedirects) {
            result.problem = "more than " + std::to_string(policy.maxRedirects) + " redirects";
            return result;
        }
        UrlHandle next = ParseUrl(*target, nullptr);
        if (!next) {
            result.problem = "redirect to " + OneLine(*target) + " is not a URL";
            return result;
        }
        easy.reset();  // it reads `current` until cleaned up
        current = std::move(next);
        currentText = *target;
    }
}

}  // namespace qm::certcenter
