#include "server/room/IpNetwork.h"

#include <algorithm>
#include <functional>

namespace
{

void Mask(std::array<std::uint8_t, 16>& bytes, unsigned prefix)
{
    for (unsigned i = 0; i < bytes.size(); ++i)
    {
        const unsigned bitsBefore = i * 8;
        if (prefix >= bitsBefore + 8)
            continue;
        const unsigned keep = prefix > bitsBefore ? prefix - bitsBefore : 0;
        bytes[i] = static_cast<std::uint8_t>(bytes[i] & (0xFF00u >> keep));
    }
}

} // namespace

asio::ip::address Unmapped(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

IpNetwork IpNetwork::Of(const asio::ip::address& address, unsigned prefix)
{
    const asio::ip::address plain = Unmapped(address);
    IpNetwork network;
    network.v4 = plain.is_v4();
    network.prefix = std::min(prefix, network.v4 ? 32u : 128u);
    if (network.v4)
    {
        const auto v4 = plain.to_v4().to_bytes();
        std::copy(v4.begin(), v4.end(), network.bytes.begin());
    }
    else
    {
        network.bytes = plain.to_v6().to_bytes();
    }
    Mask(network.bytes, network.prefix);
    return network;
}

IpNetwork IpNetwork::Of(const asio::ip::address& address)
{
    return Of(address, 128);
}

bool IpNetwork::Parse(const std::string& text, IpNetwork& network, std::string& error)
{
    const std::size_t slash = text.find('/');
    const std::string addressText = text.substr(0, slash);
    asio::error_code failure;
    const asio::ip::address address = asio::ip::make_address(addressText, failure);
    // IPv4 only as four numbers with dots: some systems read "192.0.2" as 192.0.0.2.
    const bool dottedQuad = addressText.find(':') != std::string::npos ||
                            (std::count(addressText.begin(), addressText.end(), '.') == 3 &&
                             addressText.find_first_not_of("0123456789.") == std::string::npos);
    if (failure || !dottedQuad || addressText.find('%') != std::string::npos)
    {
        error = "not an IPv4 or IPv6 address: " + addressText;
        return false;
    }
    const bool isV4 = Unmapped(address).is_v4();
    // As written: a mapped address's length counts the 96 bits before the IPv4 address.
    const unsigned most = address.is_v4() ? 32 : 128;
    unsigned prefix = isV4 ? 32 : 128;
    if (slash != std::string::npos)
    {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 ||
            !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoul(bits) > most)
        {
            error = "a network's length is a number of bits from 0 to " + std::to_string(most) +
                    ", not " + bits;
            return false;
        }
        prefix = static_cast<unsigned>(std::stoul(bits));
        if (isV4 && address.is_v6())
        {
            if (prefix < 96)
            {
                error = "an IPv4-mapped network needs a length of at least 96 bits";
                return false;
            }
            prefix -= 96;
        }
    }
    network = Of(address, prefix);
    return true;
}

bool IpNetwork::Contains(const asio::ip::address& address) const
{
    return Of(address, prefix) == *this;
}

std::string IpNetwork::ToString() const
{
    std::string text;
    if (v4)
    {
        asio::ip::address_v4::bytes_type four;
        std::copy_n(bytes.begin(), 4, four.begin());
        text = asio::ip::address_v4(four).to_string();
    }
    else
    {
        text = asio::ip::address_v6(bytes).to_string();
    }
    return prefix == (v4 ? 32u : 128u) ? text : text + "/" + std::to_string(prefix);
}

std::size_t IpNetwork::Hash() const
{
    std::size_t hash = std::hash<unsigned>()(prefix * 2 + (v4 ? 1 : 0));
    for (std::uint8_t byte : bytes)
        hash = hash * 131 + byte;
    return hash;
}

std::string AddressGroup(const asio::ip::address& address)
{
    const asio::ip::address plain = Unmapped(address);
    return plain.is_v4() ? plain.to_string() : IpNetwork::Of(plain, 64).ToString();
}
