// Addresses of <VirtualHost> and Listen lines, and the HTTPS form of a host's.
#include <gtest/gtest.h>

#include "deploy/apache/apacheaddress.h"

namespace qm {
namespace {

using Addresses = std::vector<std::u16string>;

TEST(ApacheAddress, ParsesEveryForm) {
    auto a = ParseApacheAddress(u"[2001:db8::1]:8443");
    EXPECT_EQ(a.host, u"[2001:db8::1]");
    EXPECT_EQ(a.port, 8443);
    a = ParseApacheAddress(u"[::]");
    EXPECT_EQ(a.host, u"[::]");
    EXPECT_EQ(a.port, 0);
    a = ParseApacheAddress(u"*:*");
    EXPECT_TRUE(a.anyPort);
    a = ParseApacheAddress(u"_default_:443");
    EXPECT_EQ(a.host, u"_default_");
    EXPECT_EQ(a.port, 443);
    a = ParseApacheAddress(u"192.0.2.7");
    EXPECT_EQ(a.host, u"192.0.2.7");
    EXPECT_EQ(a.port, 0);
}

TEST(ApacheAddress, PortOfAHost) {
    EXPECT_EQ(VirtualHostPort({u"*:443"}, 80), 443);
    EXPECT_EQ(VirtualHostPort({u"_default_:443"}, 80), 443);
    EXPECT_EQ(VirtualHostPort({u"*"}, 80), 80);
    EXPECT_EQ(VirtualHostPort({u"*:*"}, 8080), 8080);
    EXPECT_EQ(VirtualHostPort({u"*:8443", u"*:80"}, 80), 80);
    EXPECT_EQ(VirtualHostPort({u"*:8443", u"*:9443"}, 80), 8443);
    EXPECT_EQ(VirtualHostPort({}, 80), 80);
}

TEST(ApacheAddress, AddressOfAHost) {
    EXPECT_EQ(VirtualHostIP({u"[::]:80", u"192.0.2.1:80"}), u"192.0.2.1");
    EXPECT_EQ(VirtualHostIP({u"localhost:80"}), u"localhost");
    EXPECT_EQ(VirtualHostIP({u"*:80"}), u"");
}

TEST(ApacheAddress, HttpsFormKeepsEveryAddress) {
    EXPECT_EQ(HttpsAddresses({u"[::]:80", u"*:80"}, 443), (Addresses{u"[::]:443", u"*:443"}));
    EXPECT_EQ(HttpsAddresses({u"*:80", u"*:8080"}, 443), (Addresses{u"*:443"}));
    EXPECT_EQ(HttpsAddresses({u"*"}, 8443), (Addresses{u"*:8443"}));
    EXPECT_EQ(HttpsAddresses({u"_default_:80"}, 443), (Addresses{u"_default_:443"}));
    EXPECT_EQ(HttpsAddresses({u"192.0.2.1"}, 443), (Addresses{u"192.0.2.1:443"}));
    EXPECT_EQ(HttpsAddresses({}, 443), (Addresses{u"*:443"}));
}

TEST(ApacheAddress, ListenLines) {
    auto l = ParseApacheListen(Addresses{u"443", u"https"});
    EXPECT_EQ(l.port, 443);
    EXPECT_TRUE(l.CoversAll());
    l = ParseApacheListen(Addresses{u"192.0.2.1:8080"});
    EXPECT_EQ(l.host, u"192.0.2.1");
    EXPECT_EQ(l.port, 8080);
    EXPECT_FALSE(l.CoversAll());
    EXPECT_TRUE(ParseApacheListen(Addresses{u"[::]:443"}).CoversAll());
    EXPECT_TRUE(ParseApacheListen(Addresses{u"0.0.0.0:443"}).CoversAll());
    // Port 8080 is not port 80.
    EXPECT_EQ(ParseApacheListen(Addresses{u"8080"}).port, 8080);
    EXPECT_EQ(ConnectAddressOf(u"[::]"), u"::1");
    EXPECT_EQ(ConnectAddressOf(u"*"), u"127.0.0.1");
    EXPECT_EQ(ConnectAddressOf(u"192.0.2.1"), u"192.0.2.1");
    EXPECT_TRUE(IsIPv4Text(u"10.0.0.1"));
    EXPECT_FALSE(IsIPv4Text(u"10.0.0"));
    EXPECT_FALSE(IsIPv4Text(u"10.0.0.1234"));
}

}  // namespace
}  // namespace qm
