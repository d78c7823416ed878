#include "certcenter/addresspolicy.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qm::certcenter {
namespace {

using Cases = std::vector<std::pair<const char*, AddressKind>>;

void ExpectKinds(const Cases& cases) {
    for (const auto& [text, kind] : cases)
        EXPECT_EQ(ClassifyAddress(text), kind)
            << text << " (expected " << DescribeAddressKind(kind) << ", got "
            << DescribeAddressKind(ClassifyAddress(text)) << ")";
}

TEST(AddressPolicyTest, ClassifiesIPv4RangesAtTheirEdges) {
    ExpectKinds({
        {"0.0.0.0", AddressKind::Unspecified},
        {"0.255.255.255", AddressKind::Unspecified},
        {"1.0.0.0", AddressKind::Public},
        {"9.255.255.255", AddressKind::Public},
        {"10.0.0.0", AddressKind::Private},
        {"10.255.255.255", AddressKind::Private},
        {"11.0.0.0", AddressKind::Public},
        {"100.63.255.255", AddressKind::Public},
        {"100.64.0.0", AddressKind::SharedNat},
        {"100.127.255.255", AddressKind::SharedNat},
        {"100.128.0.0", AddressKind::Public},
        {"126.255.255.255", AddressKind::Public},
        {"127.0.0.1", AddressKind::Loopback},
        {"127.255.255.254", AddressKind::Loopback},
        {"128.0.0.0", AddressKind::Public},
        {"169.253.255.255", AddressKind::Public},
        {"169.254.0.0", AddressKind::LinkLocal},
        {"169.254.169.254", AddressKind::LinkLocal},
        {"169.255.0.0", AddressKind::Public},
        {"172.15.255.255", AddressKind::Public},
        {"172.16.0.0", AddressKind::Private},
        {"172.31.255.255", AddressKind::Private},
        {"172.32.0.0", AddressKind::Public},
        {"192.0.0.8", AddressKind::Reserved},
        {"192.0.2.1", AddressKind::Reserved},
        {"192.0.3.1", AddressKind::Public},
        {"192.167.255.255", AddressKind::Public},
        {"192.168.0.0", AddressKind::Private},
        {"192.168.255.255", AddressKind::Private},
        {"192.169.0.0", AddressKind::Public},
        {"198.17.255.255", AddressKind::Public},
        {"198.18.0.0", AddressKind::Reserved},
        {"198.19.255.255", AddressKind::Reserved},
        {"198.20.0.0", AddressKind::Public},
        {"198.51.100.7", AddressKind::Reserved},
        {"203.0.113.7", AddressKind::Reserved},
        {"223.255.255.255", AddressKind::Public},
        {"224.0.0.0", AddressKind::Multicast},
        {"239.255.255.255", AddressKind::Multicast},
        {"240.0.0.0", AddressKind::Reserved},
        {"255.255.255.254", AddressKind::Reserved},
        {"255.255.255.255", AddressKind::Broadcast},
        {"8.8.8.8", AddressKind::Public},
        {"93.184.216.34", AddressKind::Public},
    });
}

TEST(AddressPolicyTest, ClassifiesIPv6RangesAtTheirEdges) {
    ExpectKinds({
        {"::", AddressKind::Unspecified},
        {"0:0:0:0:0:0:0:0", AddressKind::Unspecified},
        {"::1", AddressKind::Loopback},
        {"0000:0000:0000:0000:0000:0000:0000:0001", AddressKind::Loopback},
        {"[::1]", AddressKind::Loopback},
        {"fbff:ffff::1", AddressKind::Reserved},
        {"fc00::", AddressKind::Private},
        {"fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", AddressKind::Private},
        {"fe7f::1", AddressKind::Reserved},
        {"fe80::", AddressKind::LinkLocal},
        {"fe80::1%eth0", AddressKind::LinkLocal},
        {"[fe80::1%25eth0]", AddressKind::LinkLocal},
        {"febf:ffff::1", AddressKind::LinkLocal},
        {"fec0::1", AddressKind::Private},
        {"feff::1", AddressKind::Private},
        {"ff00::", AddressKind::Multicast},
        {"ff02::1", AddressKind::Multicast},
        {"FF0E::101", AddressKind::Multicast},
        {"2001:db8::1", AddressKind::Reserved},
        {"2001:db9::1", AddressKind::Public},
        {"2606:4700:4700::1111", AddressKind::Public},
        {"2a00:1450:4001:82b::200e", AddressKind::Public},
        {"3fff:ffff::1", AddressKind::Public},
        {"4000::1", AddressKind::Reserved},
        {"1fff::1", AddressKind::Reserved},
        {"100::1", AddressKind::Reserved},
    });
}

TEST(AddressPolicyTest, IPv6CarryingIPv4TakesTheKindOfTheIPv4) {
    ExpectKinds({
        {"::ffff:127.0.0.1", AddressKind::Loopback},
        {"::FFFF:7f00:1", AddressKind::Loopback},
        {"::ffff:10.1.2.3", AddressKind::Private},
        {"::ffff:169.254.169.254", AddressKind::LinkLocal},
        {"::ffff:8.8.8.8", AddressKind::Public},
        {"0:0:0:0:0:ffff:192.168.1.1", AddressKind::Private},
        {"::127.0.0.1", AddressKind::Loopback},
        {"::10.0.0.1", AddressKind::Private},
        {"::8.8.8.8", AddressKind::Public},
        {"::0.0.0.2", AddressKind::Unspecified},
        {"64:ff9b::127.0.0.1", AddressKind::Loopback},
        {"64:ff9b::a00:1", AddressKind::Private},
        {"64:ff9b::8.8.8.8", AddressKind::Public},
        {"64:ff9b:1::8.8.8.8", AddressKind::Private},
        {"2002:7f00:1::1", AddressKind::Loopback},
        {"2002:c0a8:101::1", AddressKind::Private},
        {"2002:808:808::1", AddressKind::Public},
        {"::ffff:1:127.0.0.1", AddressKind::Reserved},  // not mapped: ffff is in the wrong group
    });
}

TEST(AddressPolicyTest, TextThatIsNoAddressIsNotPublic) {
    for (const char* bad : {"",
                            " ",
                            "localhost",
                            "example.com",
                            "1.2.3",
                            "1.2.3.4.5",
                            "1.2.3.256",
                            "01.2.3.4",
                            "1.2.3.04",
                            "1.2.3.4 ",
                            " 1.2.3.4",
                            "1..2.3",
                            "1.2.3.",
                            ".1.2.3",
                            "0x7f.0.0.1",
                            "2130706433",
                            "1.2.3.-4",
                            "1.2.3.4/8",
                            "[1.2.3.4]",
                            ":",
                            ":::",
                            "1:2:3:4:5:6:7",
                            "1:2:3:4:5:6:7:8:9",
                            "1::2::3",
                            "12345::1",
                            "::g",
                            "1:2:3:4:5:6:7:8::",
                            "::1:2:3:4:5:6:7:8",
                            "[::1",
                            "::1]",
                            "[]",
                            "fe80::1%",
                            "::ffff:1.2.3",
                            "::ffff:1.2.3.4:5",
                            "1.2.3.4::",
                            "::1.2.3.4.5",
                            "1:2:3:4:5:6:7:1.2.3.4",
                            "::ffff:01.2.3.4"}) {
        EXPECT_EQ(ClassifyAddress(bad), AddressKind::NotAnAddress) << bad;
        EXPECT_FALSE(IsPublicAddress(bad)) << bad;
        EXPECT_FALSE(IsIpAddressText(bad)) << bad;
    }
    // The longest forms still parse.
    EXPECT_TRUE(IsPublicAddress("2001:0db9:0000:0000:0000:0000:0000:0001"));
    EXPECT_TRUE(IsPublicAddress("2001:2:3:4:5:6:7::"));
    EXPECT_EQ(ClassifyAddress("::2:3:4:5:6:7:8"), AddressKind::Reserved);
    EXPECT_TRUE(IsPublicAddress("2001:db9:0:0:0:0:1.2.3.4"));
    EXPECT_TRUE(IsIpAddressText("127.0.0.1"));
    EXPECT_TRUE(IsIpAddressText("[::1]"));
    EXPECT_EQ(std::string(DescribeAddressKind(ClassifyAddress("127.0.0.1"))), "a loopback address");
}

}  // namespace
}  // namespace qm::certcenter
