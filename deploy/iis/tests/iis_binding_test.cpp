// Binding information as IIS writes it, and the flags of a binding.
#include <gtest/gtest.h>

#include "deploy/iis/iisbinding.h"
#include "deploy/iis/tlsbindings.h"

namespace qm {
namespace {

TEST(IisBindingInformation, ReadsEveryFormIisWrites) {
    struct Case {
        std::u16string text, ip;
        int32_t port;
        std::u16string host;
    };
    const Case cases[] = {
        {u"*:80:", u"*", 80, u""},
        {u"*:443:shop.example", u"*", 443, u"shop.example"},
        {u":443:", u"*", 443, u""},  // no address: all of them
        {u"127.0.0.1:8443:a.b", u"127.0.0.1", 8443, u"a.b"},
        {u"[::1]:443:v6.example", u"[::1]", 443, u"v6.example"},  // colons inside brackets
        {u"[::]:80:", u"[::]", 80, u""},
        {u"*:http:", u"*", 0, u""},  // not a port
        {u"*", u"*", 0, u""},
        {u"[::1", u"[::1", 0, u""},
        {u"", u"*", 0, u""},
    };
    for (const Case& c : cases) {
        const BindingEndpoint ep = ParseBindingInformation(c.text);
        EXPECT_EQ(ep.ip, c.ip) << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(ep.port, c.port) << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(ep.host, c.host) << std::string(c.text.begin(), c.text.end());
    }
    EXPECT_EQ(BindingInformationText({u"[::1]", 443, u"a.b"}), u"[::1]:443:a.b");
    EXPECT_EQ(BindingInformationText({u"", 443, u""}), u"*:443:");
}

TEST(IisBindingInformation, AddressesAndFlagsForTlsBindings) {
    EXPECT_EQ(TlsAddressOf(u"*"), u"0.0.0.0");
    EXPECT_EQ(TlsAddressOf(u""), u"0.0.0.0");
    EXPECT_EQ(TlsAddressOf(u"[::1]"), u"::1");
    EXPECT_EQ(TlsAddressOf(u"10.0.0.5"), u"10.0.0.5");
    EXPECT_FALSE(UsesHostNameCertificate(u""));
    EXPECT_FALSE(UsesHostNameCertificate(u"2"));
    EXPECT_TRUE(UsesHostNameCertificate(u"3"));
    EXPECT_EQ(WithHostNameCertificate(u""), u"1");
    EXPECT_EQ(WithHostNameCertificate(u"2"), u"3");  // other bits kept
    EXPECT_EQ((TlsEndpoint{u"::", 443, false}.Text()), u"[::]:443");
    EXPECT_EQ((TlsEndpoint{u"shop.example", 443, true}.Text()), u"shop.example:443");
}

}  // namespace
}  // namespace qm
