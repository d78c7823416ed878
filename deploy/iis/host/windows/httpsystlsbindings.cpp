#include "deploy/iis/host/windows/httpsystlsbindings.h"

// Winsock first: windows.h must not bring in the older winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <http.h>
#include <objbase.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "deploy/iis/host/windows/thumbprint.h"
#include "deploy/iis/host/windows/win32text.h"
#include "foundation/format.h"

namespace qm {

using iiswin::ErrorText;
using iiswin::W;

namespace {

// Host-name bindings, which MinGW-w64's http.h lacks: the configuration
// identifier and the key, set and query records as the Windows SDK's http.h
// declares them (HTTP_SERVICE_CONFIG_SSL_SNI_KEY / _SET / _QUERY).
constexpr auto kSslSniCertInfo = static_cast<HTTP_SERVICE_CONFIG_ID>(5);

struct SslSniKey {
    SOCKADDR_STORAGE IpPort;  // the IPv4 wildcard address with the port
    PWSTR Host;
};
struct SslSniSet {
    SslSniKey KeyDesc;
    HTTP_SERVICE_CONFIG_SSL_PARAM ParamDesc;
};
struct SslSniQuery {
    HTTP_SERVICE_CONFIG_QUERY_TYPE QueryDesc;
    SslSniKey KeyDesc;
    DWORD dwToken;
};
static_assert(sizeof(void*) != 8 || (sizeof(SslSniKey) == 136 && sizeof(SslSniSet) == 216 &&
                                     sizeof(SslSniQuery) == 152),
              "the SNI records must have the SDK's x64 layout");

constexpr char16_t kDefaultStore[] = u"MY";

bool NotFound(ULONG code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_NOT_FOUND;
}

// The key of an endpoint as HTTP.sys takes it: the address and port, or
// for a host name the host and the port on the IPv4 wildcard address.
class EndpointKey {
public:
    bool Make(const TlsEndpoint& endpoint, std::u16string& problem) {
        std::memset(&address_, 0, sizeof(address_));
        if (endpoint.port <= 0 || endpoint.port > 65535) {
            problem = FormatWide(u"%s has no valid port", endpoint.Text());
            return false;
        }
        const auto port = htons(static_cast<u_short>(endpoint.port));
        if (endpoint.hostName) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address_);
            v4->sin_family = AF_INET;
            v4->sin_port = port;
            host_ = endpoint.address;
            return !host_.empty();
        }
        std::u16string text = endpoint.address;
        if (text.size() >= 2 && text.front() == u'[' && text.back() == u']')
            text = text.substr(1, text.size() - 2);
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address_);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address_);
        if (InetPtonW(AF_INET, W(text), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = port;
        } else if (InetPtonW(AF_INET6, W(text), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = port;
        } else {
            problem = FormatWide(u"\"%s\" is not an IP address", endpoint.address);
            return false;
        }
        return true;
    }

    PSOCKADDR Address() { return reinterpret_cast<PSOCKADDR>(&address_); }
    void FillSni(SslSniKey& key) {
        std::memcpy(&key.IpPort, &address_, sizeof(address_));
        key.Host = W(host_);
    }

private:
    SOCKADDR_STORAGE address_;
    std::u16string host_;
};

// HttpQueryServiceConfiguration into a buffer that grows to what it needs.
ULONG QueryConfiguration(HTTP_SERVICE_CONFIG_ID id, void* query, ULONG querySize,
                         std::vector<unsigned char>& out) {
    out.assign(1024, 0);
    ULONG code = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 3 && code == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        ULONG needed = 0;
        code = HttpQueryServiceConfiguration(nullptr, id, query, querySize, out.data(),
                                             static_cast<ULONG>(out.size()), &needed, nullptr);
        if (code == ERROR_INSUFFICIENT_BUFFER && needed > out.size())
            out.assign(needed, 0);
    }
    return code;
}

void ReadParameters(const HTTP_SERVICE_CONFIG_SSL_PARAM& parameters, TlsBinding& binding) {
    binding.certificateHash = iiswin::ThumbprintText(
        static_cast<const unsigned char*>(parameters.pSslHash), parameters.SslHashLength);
    binding.storeName =
        parameters.pSslCertStoreName && *parameters.pSslCertStoreName
            ? iiswin::U16(parameters.pSslCertStoreName)
            : std::u16string(kDefaultStore);  // what HTTP.sys uses when none is named
    wchar_t guid[64] = {};
    binding.appId = StringFromGUID2(parameters.AppId, guid, 64) > 0 ? iiswin::U16(guid) : u"";
}

}  // namespace

HttpSysTlsBindings::~HttpSysTlsBindings() {
    if (initialized_)
        HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr);
}

bool HttpSysTlsBindings::Initialize(std::u16string& problem) {
    if (initialized_)
        return true;
    const HTTPAPI_VERSION version = HTTPAPI_VERSION_1;
    const ULONG code = HttpInitialize(version, HTTP_INITIALIZE_CONFIG, nullptr);
    if (code != NO_ERROR) {
        problem = u"the HTTP Server API cannot be initialised: " + ErrorText(code);
        return false;
    }
    initialized_ = true;
    return true;
}

bool HttpSysTlsBindings::Query(const TlsEndpoint& endpoint, TlsBinding& binding, bool& found,
                               std::u16string& problem) {
    found = false;
    EndpointKey key;
    if (!Initialize(problem) || !key.Make(endpoint, problem))
        return false;
    std::vector<unsigned char> out;
    ULONG code = 0;
    if (endpoint.hostName) {
        SslSniQuery query{};
        query.QueryDesc = HttpServiceConfigQueryExact;
        key.FillSni(query.KeyDesc);
        code = QueryConfiguration(kSslSniCertInfo, &query, sizeof(query), out);
        if (code == NO_ERROR)
            ReadParameters(reinterpret_cast<const SslSniSet*>(out.data())->ParamDesc, binding);
    } else {
        HTTP_SERVICE_CONFIG_SSL_QUERY query{};
        query.QueryDesc = HttpServiceConfigQueryExact;
        query.KeyDesc.pIpPort = key.Address();
        code = QueryConfiguration(HttpServiceConfigSSLCertInfo, &query, sizeof(query), out);
        if (code == NO_ERROR) {
            ReadParameters(
                reinterpret_cast<const HTTP_SERVICE_CONFIG_SSL_SET*>(out.data())->ParamDesc,
                binding);
        }
    }
    if (NotFound(code))
        return true;
    if (code != NO_ERROR) {
        problem = FormatWide(u"the certificate binding of %s cannot be read: %s", endpoint.Text(),
                             ErrorText(code));
        return false;
    }
    binding.endpoint = endpoint;
    found = true;
    return true;
}

bool HttpSysTlsBindings::Add(const TlsBinding& binding, std::u16string& problem) {
    const TlsEndpoint& endpoint = binding.endpoint;
    EndpointKey key;
    if (!Initialize(problem) || !key.Make(endpoint, problem))
        return false;
    iiswin::ThumbprintBytes hash{};
    if (!iiswin::ParseThumbprint(binding.certificateHash, hash)) {
        problem = FormatWide(u"\"%s\" is not a certificate thumbprint", binding.certificateHash);
        return false;
    }
    GUID appId{};
    if (!binding.appId.empty() && FAILED(IIDFromString(W(binding.appId), &appId))) {
        problem = FormatWide(u"\"%s\" is not an application id", binding.appId);
        return false;
    }
    std::u16string store = binding.storeName.empty() ? kDefaultStore : binding.storeName;
    HTTP_SERVICE_CONFIG_SSL_PARAM parameters{};
    parameters.SslHashLength = static_cast<ULONG>(hash.size());
    parameters.pSslHash = hash.data();
    parameters.AppId = appId;
    parameters.pSslCertStoreName = W(store);
    ULONG code = 0;
    if (endpoint.hostName) {
        SslSniSet set{};
        key.FillSni(set.KeyDesc);
        set.ParamDesc = parameters;
        code = HttpSetServiceConfiguration(nullptr, kSslSniCertInfo, &set, sizeof(set), nullptr);
    } else {
        HTTP_SERVICE_CONFIG_SSL_SET set{};
        set.KeyDesc.pIpPort = key.Address();
        set.ParamDesc = parameters;
        code = HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &set, sizeof(set),
                                           nullptr);
    }
    if (code == ERROR_ALREADY_EXISTS) {
        problem = FormatWide(u"%s already has a certificate bound", endpoint.Text());
        return false;
    }
    if (code != NO_ERROR) {
        problem = FormatWide(u"the certificate cannot be bound to %s: %s", endpoint.Text(),
                             ErrorText(code));
        return false;
    }
    return true;
}

bool HttpSysTlsBindings::Delete(const TlsEndpoint& endpoint, std::u16string& problem) {
    EndpointKey key;
    if (!Initialize(problem) || !key.Make(endpoint, problem))
        return false;
    ULONG code = 0;
    if (endpoint.hostName) {
        SslSniSet set{};
        key.FillSni(set.KeyDesc);
        code = HttpDeleteServiceConfiguration(nullptr, kSslSniCertInfo, &set, sizeof(set), nullptr);
    } else {
        HTTP_SERVICE_CONFIG_SSL_SET set{};
        set.KeyDesc.pIpPort = key.Address();
        code = HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &set,
                                              sizeof(set), nullptr);
    }
    if (code == NO_ERROR || NotFound(code))
        return true;
    problem = FormatWide(u"the certificate binding of %s cannot be removed: %s", endpoint.Text(),
                         ErrorText(code));
    return false;
}

}  // namespace qm
