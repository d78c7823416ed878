// The listen directive read as nginx reads it: address and port forms, the
// address as nginx compares listen sockets, and the parameters nginx takes
// only once per address and port.
#include "deploy/nginx/nginxserver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "deploy/nginx/nginxlexer.h"
#include "foundation/textconv.h"

namespace qm {
namespace {

NginxListen Listen(std::u16string_view text) {
    const NginxParse parse = ParseNginxText(text);
    EXPECT_TRUE(parse.error.empty());
    EXPECT_EQ(parse.directives.size(), 1u);
    return ParseListen(parse.directives.at(0));
}

struct ListenCase {
    const char16_t* text;
    const char16_t* address;
    int32_t port;
    const char16_t* key;
};

TEST(NginxListen, AddressAndPortForms) {
    const ListenCase cases[] = {
        {u"listen 80;", u"", 80, u"*"},
        {u"listen 8080;", u"", 8080, u"*"},
        {u"listen *:80;", u"*", 80, u"*"},
        {u"listen *;", u"*", 80, u"*"},
        {u"listen 0.0.0.0:80;", u"0.0.0.0", 80, u"*"},
        {u"listen 0.0.0.0;", u"0.0.0.0", 80, u"*"},
        {u"listen 127.0.0.1;", u"127.0.0.1", 80, u"127.0.0.1"},
        {u"listen 127.0.0.1:8080;", u"127.0.0.1", 8080, u"127.0.0.1"},
        {u"listen [::]:80;", u"[::]", 80, u"[::]"},
        {u"listen [::];", u"[::]", 80, u"[::]"},
        {u"listen [::1]:443;", u"[::1]", 443, u"[::1]"},
        {u"listen [::1];", u"[::1]", 80, u"[::1]"},
        {u"listen [FE80::1]:8443;", u"[FE80::1]", 8443, u"[fe80::1]"},
        {u"listen localhost:80;", u"localhost", 80, u"localhost"},
        {u"listen LocalHost;", u"LocalHost", 80, u"localhost"},
        {u"listen shop.example.test:81;", u"shop.example.test", 81, u"shop.example.test"},
        {u"listen unix:/run/x.sock;", u"unix:/run/x.sock", 0, u"unix:/run/x.sock"},
        {u"listen \"127.0.0.1:8081\";", u"127.0.0.1", 8081, u"127.0.0.1"},
        // Ports nginx would not take read as no port.
        {u"listen 123456;", u"", 0, u"*"},
        {u"listen 65536;", u"", 0, u"*"},
        {u"listen 127.0.0.1:99999;", u"127.0.0.1", 0, u"127.0.0.1"},
        {u"listen 127.0.0.1:1234567890123;", u"127.0.0.1", 0, u"127.0.0.1"},
        {u"listen [::1]:70000;", u"[::1]", 0, u"[::1]"},
        {u"listen 127.0.0.1:http;", u"127.0.0.1", 0, u"127.0.0.1"},
        {u"listen 127.0.0.1:;", u"127.0.0.1", 0, u"127.0.0.1"},
        // The largest port, and leading zeros within five digits.
        {u"listen 65535;", u"", 65535, u"*"},
        {u"listen 127.0.0.1:08080;", u"127.0.0.1", 8080, u"127.0.0.1"},
    };
    for (const ListenCase& c : cases) {
        SCOPED_TRACE(Utf8FromWide(c.text));
        const NginxListen listen = Listen(c.text);
        EXPECT_EQ(listen.address, c.address);
        EXPECT_EQ(listen.port, c.port);
        EXPECT_TRUE(listen.parameters.empty());
        EXPECT_EQ(ListenAddressKey(listen.address), c.key);
    }
}

TEST(NginxListen, ParametersFollowTheAddress) {
    const NginxListen plain = Listen(u"listen [::1]:443 ssl http2 default_server backlog=511;");
    EXPECT_EQ(plain.address, u"[::1]");
    EXPECT_EQ(plain.port, 443);
    EXPECT_EQ(plain.parameters,
              (std::vector<std::u16string>{u"ssl", u"http2", u"default_server", u"backlog=511"}));
    const NginxListen local = Listen(u"listen unix:/run/x.sock proxy_protocol;");
    EXPECT_EQ(local.parameters, (std::vector<std::u16string>{u"proxy_protocol"}));
}

TEST(NginxListen, AddressKeys) {
    EXPECT_EQ(ListenAddressKey(u""), u"*");
    EXPECT_EQ(ListenAddressKey(u"*"), u"*");
    EXPECT_EQ(ListenAddressKey(u"0.0.0.0"), u"*");
    EXPECT_EQ(ListenAddressKey(u"127.0.0.1"), u"127.0.0.1");
    EXPECT_EQ(ListenAddressKey(u"[::]"), u"[::]");
    EXPECT_EQ(ListenAddressKey(u"[::ABCD]"), u"[::abcd]");
    // "[::]" is every IPv6 address, not the IPv4 wildcard.
    EXPECT_NE(ListenAddressKey(u"[::]"), ListenAddressKey(u"*"));
}

TEST(NginxListen, OncePerAddressParameters) {
    for (const char16_t* once :
         {u"default_server", u"default", u"reuseport", u"backlog=511", u"rcvbuf=64k", u"sndbuf=64k",
          u"deferred", u"bind", u"ipv6only=on", u"fastopen=10", u"accept_filter=dataready",
          u"so_keepalive=on", u"so_keepalive=30m::10", u"setfib=1"})
        EXPECT_TRUE(IsOncePerAddressParameter(once)) << Utf8FromWide(once);
    for (const char16_t* many : {u"ssl", u"http2", u"quic", u"proxy_protocol", u"", u"backlogs=1",
                                 u"default_servers", u"Default_Server"})
        EXPECT_FALSE(IsOncePerAddressParameter(many)) << Utf8FromWide(many);
    EXPECT_EQ(ParameterName(u"backlog=511"), u"backlog");
    EXPECT_EQ(ParameterName(u"so_keepalive=30m::10"), u"so_keepalive");
    EXPECT_EQ(ParameterName(u"ssl"), u"ssl");
    EXPECT_EQ(ParameterName(u"=x"), u"");
}

TEST(NginxListen, LeadingZerosBeyondFiveDigits) {
    EXPECT_EQ(Listen(u"listen 0000080;").port, 80);
    EXPECT_EQ(Listen(u"listen 127.0.0.1:000443;").port, 443);
}

TEST(NginxListen, MultipathIsOncePerAddress) {
    EXPECT_TRUE(IsOncePerAddressParameter(u"multipath"));
}

}  // namespace
}  // namespace qm
