#include "deploy/nginx/nginxserver.h"

#include <algorithm>
#include <string_view>

#include "foundation/textconv.h"

namespace qm {

namespace {

bool AllDigits(std::u16string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

// A port number as nginx reads it (leading zeros allowed); 0 when it is
// not one (not digits, out of range).
int32_t PortNumber(std::u16string_view text) {
    if (!AllDigits(text))
        return 0;
    while (text.size() > 1 && text.front() == u'0')
        text.remove_prefix(1);
    if (text.size() > 5)
        return 0;
    int32_t value = 0;
    for (char16_t c : text)
        value = value * 10 + (c - u'0');
    return value <= 65535 ? value : 0;
}

bool IsRedirectCode(const std::u16string& code) {
    return code == u"301" || code == u"302" || code == u"303" || code == u"307" || code == u"308";
}

bool StartsWithHttps(const std::u16string& text) {
    return ToLowerAscii(text).rfind(u"https://", 0) == 0;
}

// return 301 https://...; return https://...; rewrite ^ https://... permanent;
bool RedirectsToHttps(const NginxDirective& d) {
    if (d.name() == u"return") {
        if (d.argCount() == 1)
            return StartsWithHttps(d.arg(0));
        return d.argCount() >= 2 && IsRedirectCode(d.arg(0)) && StartsWithHttps(d.arg(1));
    }
    if (d.name() == u"rewrite" && d.argCount() >= 2)
        return StartsWithHttps(d.arg(1));
    return false;
}

void Visit(const std::vector<NginxNode>& nodes, bool serverLevel, NginxServerFacts& facts) {
    using namespace std::string_view_literals;
    for (const NginxNode& node : nodes) {
        const std::u16string_view name = node.name();
        if (serverLevel) {
            if (name == u"listen"sv)
                facts.listens.push_back(&node);
            else if (name == u"server_name"sv)
                facts.serverNames.push_back(&node);
            else if (name == u"ssl_protocols"sv)
                facts.protocols = &node;
            else if (name == u"ssl_ciphers"sv)
                facts.ciphers = &node;
            else if (!node.hasBlock() && (name == u"return"sv || name == u"rewrite"sv) &&
                     RedirectsToHttps(*node.directive))
                facts.redirectsToHttps = true;
        }
        if (name == u"root"sv) {
            if (!facts.root)
                facts.root = &node;
        } else if (name == u"index"sv) {
            if (!facts.index)
                facts.index = &node;
        } else if (name.starts_with(u"ssl_certificate"sv)) {
            if (name.size() == 15 && !facts.certificate)
                facts.certificate = &node;
            else if (name == u"ssl_certificate_key"sv && !facts.certificateKey)
                facts.certificateKey = &node;
        }
        if (node.hasBlock())
            Visit(node.children, false, facts);
    }
}

}  // namespace

NginxListenPlace ListenPlaceOf(const NginxDirective& listen) {
    NginxListenPlace out;
    if (listen.argCount() == 0)
        return out;
    const std::u16string_view first = listen.arg(0);
    if (first.starts_with(u"unix:")) {
        out.address = first;
        out.port = 0;
        return out;
    }
    if (AllDigits(first)) {
        out.port = PortNumber(first);
        return out;
    }
    size_t colon = std::u16string_view::npos;
    if (!first.empty() && first.front() == u'[') {
        const size_t close = first.find(u']');
        if (close != std::u16string_view::npos && close + 1 < first.size() &&
            first[close + 1] == u':')
            colon = close + 1;
    } else {
        colon = first.rfind(u':');
    }
    if (colon == std::u16string_view::npos) {
        out.address = first;
        return out;  // an address alone listens on port 80
    }
    out.address = first.substr(0, colon);
    out.port = PortNumber(first.substr(colon + 1));
    return out;
}

NginxListen ParseListen(const NginxDirective& listen) {
    NginxListen out;
    const NginxListenPlace place = ListenPlaceOf(listen);
    out.address = std::u16string(place.address);
    out.port = place.port;
    for (size_t i = 1; i < listen.argCount(); ++i)
        out.parameters.push_back(listen.arg(i));
    return out;
}

std::u16string ListenAddressKey(const std::u16string& address) {
    if (address.empty() || address == u"*" || address == u"0.0.0.0")
        return u"*";
    return ToLowerAscii(address);
}

std::u16string ParameterName(const std::u16string& parameter) {
    const size_t equals = parameter.find(u'=');
    return equals == std::u16string::npos ? parameter : parameter.substr(0, equals);
}

bool IsOncePerAddressParameter(const std::u16string& parameter) {
    static const std::u16string_view kNames[] = {
        u"default_server", u"default",      u"reuseport", u"backlog",  u"rcvbuf",
        u"sndbuf",         u"deferred",     u"bind",      u"ipv6only", u"fastopen",
        u"accept_filter",  u"so_keepalive", u"setfib",    u"multipath"};
    const std::u16string name = ParameterName(parameter);
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

NginxServerFacts FactsOf(const NginxNode& server) {
    NginxServerFacts facts;
    Visit(server.children, true, facts);
    return facts;
}

std::u16string RawArguments(const NginxConfig& config, const NginxNode& node) {
    const NginxDirective& d = *node.directive;
    if (d.argCount() == 0)
        return {};
    const std::u16string& text = config.File(node.file).text;
    const size_t from = d.words[1].start;
    const size_t to = d.words.back().end;
    return text.substr(from, to - from);
}

}  // namespace qm
