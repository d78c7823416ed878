#include "deploy/iis/iisbinding.h"

#include "foundation/format.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

int32_t LeadingNumber(std::u16string_view text) {
    int64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9' || value > 0xFFFFFF)
            break;
        value = value * 10 + (c - u'0');
    }
    return static_cast<int32_t>(value);
}

}  // namespace

BindingEndpoint ParseBindingInformation(std::u16string_view text) {
    BindingEndpoint endpoint;
    size_t portStart = 0;
    if (!text.empty() && text.front() == u'[') {
        const size_t close = text.find(u']');
        if (close == std::u16string_view::npos) {
            endpoint.ip = std::u16string(text);
            return endpoint;
        }
        endpoint.ip = std::u16string(text.substr(0, close + 1));
        portStart = close + 1 < text.size() && text[close + 1] == u':' ? close + 2 : close + 1;
    } else {
        const size_t colon = text.find(u':');
        if (colon == 0 || text.empty())
            endpoint.ip.assign(1, u'*');
        else
            endpoint.ip.assign(text.data(), std::min(colon, text.size()));
        if (colon == std::u16string_view::npos)
            return endpoint;
        portStart = colon + 1;
    }
    const std::u16string_view rest = text.substr(std::min(portStart, text.size()));
    const size_t colon = rest.find(u':');
    endpoint.port = LeadingNumber(rest.substr(0, colon));
    if (colon != std::u16string_view::npos)
        endpoint.host = std::u16string(rest.substr(colon + 1));
    return endpoint;
}

std::u16string BindingInformationText(const BindingEndpoint& endpoint) {
    return FormatWide(u"%s:%d:%s", endpoint.ip.empty() ? u"*" : endpoint.ip, endpoint.port,
                      endpoint.host);
}

std::u16string TlsAddressOf(std::u16string_view ip) {
    if (ip.empty() || ip == u"*")
        return u"0.0.0.0";
    if (ip.size() >= 2 && ip.front() == u'[' && ip.back() == u']')
        return std::u16string(ip.substr(1, ip.size() - 2));
    return std::u16string(ip);
}

bool UsesHostNameCertificate(std::u16string_view sslFlags) {
    return (LeadingNumber(sslFlags) & 1) != 0;
}

std::u16string WithHostNameCertificate(std::u16string_view sslFlags) {
    return FormatWide(u"%d", LeadingNumber(sslFlags) | 1);
}

bool SameText(std::u16string_view a, std::u16string_view b) {
    return ToLowerAscii(std::u16string(a)) == ToLowerAscii(std::u16string(b));
}

}  // namespace qm
