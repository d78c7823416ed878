#include "certcenter/verification.h"

#include <httplib.h>

#include <charconv>

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

FetchResult FetchVerificationFile(const std::string& url, const FetchLimits& limits) {
    FetchResult result;
    VerificationUrl parsed;
    if (!ParseVerificationUrl(url, parsed)) {
        result.problem = "not an http or https URL";
        return result;
    }
    httplib::Client client(parsed.scheme + "://" + parsed.host + ":" + std::to_string(parsed.port));
    client.enable_server_certificate_verification(false);
    client.set_follow_location(false);
    client.set_connection_timeout(limits.connectTimeout.count());
    client.set_read_timeout(limits.totalTimeout.count());
    client.set_write_timeout(limits.connectTimeout.count());

    const auto deadline = std::chrono::steady_clock::now() + limits.totalTimeout;
    int status = 0;
    bool tooLarge = false;
    bool tooSlow = false;
    const auto response = client.Get(
        parsed.target,
        [&](const httplib::Response& head) {
            status = head.status;
            return status == 200;
        },
        [&](const char* data, size_t length) {
            if (result.body.size() + length > limits.maxBytes) {
                tooLarge = true;
                return false;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                tooSlow = true;
                return false;
            }
            result.body.append(data, length);
            return true;
        });
    if (tooLarge) {
        result.problem = "the file is larger than " + std::to_string(limits.maxBytes) + " bytes";
    } else if (tooSlow) {
        result.problem = "the transfer took longer than " +
                         std::to_string(limits.totalTimeout.count()) + " seconds";
    } else if (status != 0 && status != 200) {
        result.problem = "HTTP status " + std::to_string(status);
    } else if (!response) {
        result.problem = httplib::to_string(response.error());
    } else {
        result.ok = true;
    }
    if (!result.ok)
        result.body.clear();
    return result;
}

}  // namespace qm::certcenter
