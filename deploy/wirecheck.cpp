#include "deploy/wirecheck.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "Common/OpenSSL/quorp/digest.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using List = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// A handle that connects to the target's address whatever the name says.
Easy Connect(const WireTarget& target, const std::string& scheme, const std::string& path,
             int timeoutMs, List& resolve, char* error) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
    Easy curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        return curl;
    const std::string host = Utf8FromWide(target.host);
    const std::string port = std::to_string(target.port);
    std::string address = Utf8FromWide(target.address);
    if (address.find(':') != std::string::npos && address.front() != '[')
        address = "[" + address + "]";
    // The name goes into SNI and Host; the connection goes to the address.
    resolve.reset(curl_slist_append(nullptr, (host + ":" + port + ":" + address).c_str()));
    const std::string url = scheme + "://" + host + ":" + port + path;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_RESOLVE, resolve.get());
    curl_easy_setopt(curl.get(), CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
    return curl;
}

}  // namespace

std::string ServedCertificatePem(const WireTarget& target, int timeoutMs, std::string& problem) {
    char error[CURL_ERROR_SIZE] = {};
    List resolve(nullptr, curl_slist_free_all);
    Easy curl = Connect(target, "https", "/", timeoutMs, resolve, error);
    if (!curl) {
        problem = "no TLS client";
        return {};
    }
    curl_easy_setopt(curl.get(), CURLOPT_CERTINFO, 1L);
    // Whatever is served is read, trusted or not: it is compared, not believed.
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_NOBODY, 1L);
    const CURLcode code = curl_easy_perform(curl.get());
    struct curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(curl.get(), CURLINFO_CERTINFO, &info) == CURLE_OK && info &&
        info->num_of_certs > 0) {
        for (curl_slist* field = info->certinfo[0]; field; field = field->next) {
            const std::string_view text(field->data);
            if (text.rfind("Cert:", 0) == 0 && !CertificateFingerprint(text.substr(5)).empty())
                return std::string(text.substr(5));
        }
    }
    problem = code == CURLE_OK ? "no certificate was presented"
                               : (*error ? std::string(error) : curl_easy_strerror(code));
    return {};
}

std::string ServedCertificateFingerprint(const WireTarget& target, int timeoutMs,
                                         std::string& problem) {
    const std::string pem = ServedCertificatePem(target, timeoutMs, problem);
    return pem.empty() ? std::string() : CertificateFingerprint(pem);
}

long HttpStatusAt(const WireTarget& target, const std::string& path, int timeoutMs,
                  std::string& problem) {
    char error[CURL_ERROR_SIZE] = {};
    List resolve(nullptr, curl_slist_free_all);
    Easy curl = Connect(target, "http", path, timeoutMs, resolve, error);
    if (!curl) {
        problem = "no HTTP client";
        return 0;
    }
    const CURLcode code = curl_easy_perform(curl.get());
    long status = 0;
    if (code == CURLE_OK)
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    else
        problem = *error ? std::string(error) : curl_easy_strerror(code);
    return status;
}

}  // namespace qm
