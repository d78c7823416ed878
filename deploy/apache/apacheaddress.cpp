#include "deploy/apache/apacheaddress.h"

#include <algorithm>

#include "foundation/textconv.h"

namespace qm {

namespace {

int32_t PortNumber(std::u16string_view text) {
    if (text.empty() || text.size() > 5)
        return 0;
    int32_t port = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return 0;
        port = port * 10 + (c - u'0');
    }
    return port;
}

}  // namespace

bool IsIPv4Text(std::u16string_view text) {
    int parts = 0;
    size_t i = 0;
    while (i <= text.size()) {
        size_t digits = 0;
        while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3)
            return false;
        ++parts;
        if (i == text.size())
            break;
        if (text[i] != u'.')
            return false;
        ++i;
    }
    return parts == 4;
}

ApacheAddress ParseApacheAddress(std::u16string_view text) {
    ApacheAddress a;
    if (text.empty())
        return a;
    size_t colon = std::u16string_view::npos;
    if (text.front() == u'[') {
        const size_t close = text.find(u']');
        if (close == std::u16string_view::npos) {
            a.host.assign(text);
            return a;
        }
        a.host.assign(text.substr(0, close + 1));
        if (close + 1 < text.size() && text[close + 1] == u':')
            colon = close + 1;
    } else {
        colon = text.rfind(u':');
        a.host.assign(text.substr(0, colon));
    }
    if (colon != std::u16string_view::npos) {
        const std::u16string_view port = text.substr(colon + 1);
        if (port == u"*")
            a.anyPort = true;
        else
            a.port = PortNumber(port);
    }
    return a;
}

int32_t VirtualHostPort(const std::vector<std::u16string>& addresses, int32_t httpPort) {
    std::vector<int32_t> ports;
    for (const auto& text : addresses) {
        const ApacheAddress a = ParseApacheAddress(text);
        if (a.anyPort || a.port == 0)
            ports.push_back(httpPort);
        else
            ports.push_back(a.port);
    }
    if (ports.empty() || std::find(ports.begin(), ports.end(), httpPort) != ports.end())
        return httpPort;
    return ports.front();
}

std::u16string VirtualHostIP(const std::vector<std::u16string>& addresses) {
    for (const auto& text : addresses) {
        const ApacheAddress a = ParseApacheAddress(text);
        if (IsIPv4Text(a.host))
            return a.host;
    }
    for (const auto& text : addresses) {
        if (EqualsIgnoreCaseAscii(ParseApacheAddress(text).host, u"localhost"))
            return u"localhost";
    }
    return u"";
}

std::vector<std::u16string> HttpsAddresses(const std::vector<std::u16string>& addresses,
                                           int32_t httpsPort) {
    std::vector<std::u16string> out;
    const std::u16string port = WideFromAscii(std::to_string(httpsPort));
    for (const auto& text : addresses) {
        ApacheAddress a = ParseApacheAddress(text);
        if (a.host.empty())
            a.host = u"*";
        const std::u16string address = a.host + u":" + port;
        if (std::find(out.begin(), out.end(), address) == out.end())
            out.push_back(address);
    }
    if (out.empty())
        out.push_back(u"*:" + port);
    return out;
}

bool ApacheListen::CoversAll() const {
    return host.empty() || host == u"*" || host == u"0.0.0.0" || host == u"[::]";
}

ApacheListen ParseApacheListen(std::span<const std::u16string> args) {
    ApacheListen l;
    if (args.empty())
        return l;
    const std::u16string& text = args.front();
    const int32_t bare = PortNumber(text);
    if (bare != 0) {
        l.port = bare;
        return l;
    }
    const ApacheAddress a = ParseApacheAddress(text);
    l.host = a.host;
    l.port = a.port;
    return l;
}

std::u16string ConnectAddressOf(const std::u16string& host) {
    if (host.empty() || host == u"*" || host == u"_default_" || host == u"0.0.0.0" ||
        EqualsIgnoreCaseAscii(host, u"localhost"))
        return u"127.0.0.1";
    if (host.size() >= 2 && host.front() == u'[') {
        const std::u16string inner = host.substr(1, host.size() - 2);
        return inner == u"::" ? u"::1" : inner;
    }
    return host;
}

}  // namespace qm
