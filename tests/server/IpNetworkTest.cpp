// Addresses and networks as the server counts and bans them.

#include "server/room/IpNetwork.h"

#include <gtest/gtest.h>

namespace
{

asio::ip::address Address(const char* text)
{
    return asio::ip::make_address(text);
}

TEST(IpNetwork, ConnectionsCountByIpv4AddressOrIpv6Slash64)
{
    EXPECT_EQ(AddressGroup(Address("192.0.2.7")), "192.0.2.7");
    EXPECT_EQ(AddressGroup(Address("::ffff:192.0.2.7")), "192.0.2.7");
    EXPECT_EQ(AddressGroup(Address("2001:db8:1:2:aaaa::1")), "2001:db8:1:2::/64");
    EXPECT_EQ(AddressGroup(Address("2001:db8:1:2:ffff:ffff:ffff:ffff")), "2001:db8:1:2::/64");
    EXPECT_NE(AddressGroup(Address("2001:db8:1:3::1")), AddressGroup(Address("2001:db8:1:2::1")));
}

TEST(IpNetwork, ParsesAddressesAndNetworksAndSaysWhatIsWrong)
{
    struct Case
    {
        const char* text;
        const char* read; // nullptr: refused
        const char* inside;
        const char* outside;
    };
    const Case cases[] = {
        {"192.0.2.7", "192.0.2.7", "192.0.2.7", "192.0.2.8"},
        {"192.0.2.0/24", "192.0.2.0/24", "192.0.2.255", "192.0.3.0"},
        {"192.0.2.77/25", "192.0.2.0/25", "::ffff:192.0.2.127", "192.0.2.128"},
        {"10.0.0.0/9", "10.0.0.0/9", "10.127.255.255", "10.128.0.0"},
        {"0.0.0.0/0", "0.0.0.0/0", "203.0.113.9", "2001:db8::1"},
        {"::ffff:192.0.2.0/120", "192.0.2.0/24", "192.0.2.1", "192.0.3.1"},
        {"2001:db8::/48", "2001:db8::/48", "2001:db8:0:ffff::1", "2001:db8:1::1"},
        {"2001:DB8::1", "2001:db8::1", "2001:db8::1", "2001:db8::2"},
        {"192.0.2.0/33", nullptr, nullptr, nullptr},
        {"192.0.2.0/", nullptr, nullptr, nullptr},
        {"192.0.2.0/-1", nullptr, nullptr, nullptr},
        {"192.0.2", nullptr, nullptr, nullptr},
        {"bob", nullptr, nullptr, nullptr},
        {"2001:db8::/129", nullptr, nullptr, nullptr},
        {"fe80::1%eth0", nullptr, nullptr, nullptr},
        {"", nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases)
    {
        IpNetwork network;
        std::string error;
        const bool parsed = IpNetwork::Parse(c.text, network, error);
        if (!c.read)
        {
            EXPECT_FALSE(parsed) << c.text;
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        ASSERT_TRUE(parsed) << c.text << ": " << error;
        EXPECT_EQ(network.ToString(), c.read);
        EXPECT_TRUE(network.Contains(Address(c.inside))) << c.text;
        EXPECT_FALSE(network.Contains(Address(c.outside))) << c.text;
    }
}

} // namespace
