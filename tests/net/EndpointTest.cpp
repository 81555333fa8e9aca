#include "net/Endpoint.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace oNet;

namespace
{

using ByteList = std::vector<std::uint8_t>;

struct Resolution
{
    const char* host;
    IpVersion version;
    const char* hostText;
    const char* ipText;
    ByteList bytes;
};

TEST(Endpoint, ResolvesLiteralsAndNames)
{
    const ByteList loopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const Resolution cases[] = {
        {"127.0.0.1", IpVersion::V4, "127.0.0.1", "127.0.0.1", {0x7F, 0, 0, 1}},
        // Not taken as a literal; the lookup yields the same address.
        {"255.255.255.255",
         IpVersion::V4,
         "255.255.255.255",
         "255.255.255.255",
         {0xFF, 0xFF, 0xFF, 0xFF}},
        {"::1", IpVersion::V6, "::1", "::1", loopback6},
        {"localhost", IpVersion::V4, "localhost", "127.0.0.1", {0x7F, 0, 0, 1}},
        {"10.1.2.3", IpVersion::V4, "10.1.2.3", "10.1.2.3", {10, 1, 2, 3}},
    };
    for (const auto& c : cases)
    {
        const Endpoint endpoint(c.host, 6112);
        EXPECT_EQ(endpoint.ipVersion, c.version) << c.host;
        EXPECT_EQ(endpoint.hostText, c.hostText) << c.host;
        EXPECT_EQ(endpoint.ipText, c.ipText) << c.host;
        EXPECT_EQ(endpoint.addressBytes, c.bytes) << c.host;
        EXPECT_EQ(endpoint.port, 6112) << c.host;
    }
}

TEST(Endpoint, LookedUpAddressTextCarriesNoPadding)
{
    // The lookup fills a 16-character zero-padded buffer; the padding must not survive.
    const Endpoint endpoint("localhost", 6112);
    ASSERT_EQ(endpoint.ipVersion, IpVersion::V4);
    EXPECT_EQ(endpoint.ipText.size(), 9u);
    EXPECT_EQ(endpoint.ipText.find('\0'), std::string::npos);
}

TEST(Endpoint, UnresolvableNameKeepsOnlyThePort)
{
    // (An empty name is no such case: Windows resolves it to the local machine.)
    for (const char* host : {"no-such-host.invalid", "name.with.several.labels.invalid"})
    {
        const Endpoint endpoint(host, 4321);
        EXPECT_EQ(endpoint.ipVersion, IpVersion::Unresolved) << host;
        EXPECT_EQ(endpoint.hostText, "") << host;
        EXPECT_EQ(endpoint.ipText, "") << host;
        EXPECT_TRUE(endpoint.addressBytes.empty()) << host;
        EXPECT_EQ(endpoint.port, 4321) << host;
    }
}

TEST(Endpoint, TrimRemovesWhitespaceAndNulFromBothEndsOnly)
{
    struct Case
    {
        std::string in, out;
    };
    const Case cases[] = {
        {"  host  ", "host"},
        {std::string("\0\t host\n\0", 9), "host"},
        {"inner space kept", "inner space kept"},
        {std::string(" a\0b ", 5), std::string("a\0b", 3)},
        {" \r\n\v\f", ""},
        {"", ""},
        {std::string(16, '\0'), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Trim(c.in), c.out);
}

TEST(Endpoint, CopiesAreIndependent)
{
    const Endpoint original("127.0.0.1", 6112);
    Endpoint copy = original;
    copy.addressBytes[3] = 9;
    copy.ipText = "x";
    EXPECT_EQ(original.addressBytes, (ByteList{0x7F, 0, 0, 1}));
    EXPECT_EQ(original.ipText, "127.0.0.1");
}

} // namespace
