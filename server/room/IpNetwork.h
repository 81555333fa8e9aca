#pragma once

#include <asio/ip/address.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// An IPv4 or IPv6 network: an address and how many of its leading bits count. One address is a
// network of 32 (IPv4) or 128 (IPv6) bits. An IPv4-mapped IPv6 address (::ffff:192.0.2.7) is
// the IPv4 address it carries, wherever it is met.
class IpNetwork
{
public:
    IpNetwork() = default;

    // "192.0.2.7", "192.0.2.0/24", "2001:db8::1", "2001:db8::/48". Bits beyond the prefix are
    // dropped ("192.0.2.7/24" is 192.0.2.0/24). False, with the reason, for anything else.
    static bool Parse(const std::string& text, IpNetwork& network, std::string& error);
    // The network of `prefix` bits that holds the address.
    static IpNetwork Of(const asio::ip::address& address, unsigned prefix);
    static IpNetwork Of(const asio::ip::address& address);

    bool Contains(const asio::ip::address& address) const;
    bool IsV4() const { return v4; }
    unsigned Prefix() const { return prefix; }
    // The way Parse reads it: the address alone for a single address, else "address/prefix".
    std::string ToString() const;

    bool operator==(const IpNetwork& other) const
    {
        return v4 == other.v4 && prefix == other.prefix && bytes == other.bytes;
    }
    bool operator!=(const IpNetwork& other) const { return !(*this == other); }
    // An order for sorted lists: IPv4 before IPv6, then by address, a network before the
    // longer networks and addresses inside it.
    bool operator<(const IpNetwork& other) const
    {
        if (v4 != other.v4)
            return v4;
        return bytes != other.bytes ? bytes < other.bytes : prefix < other.prefix;
    }
    std::size_t Hash() const;

private:
    bool v4 = true;
    unsigned prefix = 0;
    std::array<std::uint8_t, 16> bytes{}; // IPv4 in the first 4
};

// An IPv4-mapped IPv6 address as the IPv4 address; any other as it is.
asio::ip::address Unmapped(const asio::ip::address& address);

// The key under which connections count against --max-per-address: an IPv4 address itself; an
// IPv6 address by its /64, the block every IPv6 customer is given.
std::string AddressGroup(const asio::ip::address& address);
