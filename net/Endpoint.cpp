#include "net/Endpoint.h"

#include "net/SocketPlatform.h"

#include <cctype>
#include <cstring>

namespace oNet
{

namespace
{

bool IsTrimmed(char c)
{
    return c == '\0' || std::isspace(static_cast<unsigned char>(c));
}

// inet_ntop's buffer sizes for the two families.
constexpr std::size_t Ipv4TextSize = 16;
constexpr std::size_t Ipv6TextSize = 46;

} // namespace

std::string Trim(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsTrimmed(text[begin]))
        ++begin;
    while (end > begin && IsTrimmed(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

Endpoint::Endpoint(const char* host, std::uint16_t port) : port(port)
{
    // The first step that succeeds decides; IPv4 before IPv6, a literal before a lookup.
    const bool resolved = TakeLiteral(AF_INET, host) || TakeLookup(AF_INET, host) ||
                          TakeLiteral(AF_INET6, host) || TakeLookup(AF_INET6, host);
    (void)resolved; // an unresolved endpoint is reported by its ipVersion
}

bool Endpoint::TakeLiteral(int family, const char* host)
{
    unsigned char bytes[16] = {};
    if (inet_pton(family, host, bytes) != 1)
        return false;
    const std::size_t size = family == AF_INET ? 4 : 16;
    // The all-ones IPv4 address is not taken as a literal; the lookup that follows resolves it.
    if (family == AF_INET && std::memcmp(bytes, "\xFF\xFF\xFF\xFF", 4) == 0)
        return false;
    ipText = Trim(host);
    hostText = Trim(host);
    addressBytes.assign(bytes, bytes + size);
    ipVersion = family == AF_INET ? IpVersion::V4 : IpVersion::V6;
    return true;
}

bool Endpoint::TakeLookup(int family, const char* host)
{
    addrinfo hints{};
    hints.ai_family = family;
    addrinfo* results = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &results) != 0)
        return false;

    const void* address = nullptr;
    std::size_t size = 0;
    if (family == AF_INET)
    {
        address = &reinterpret_cast<const sockaddr_in*>(results->ai_addr)->sin_addr;
        size = 4;
    }
    else
    {
        address = &reinterpret_cast<const sockaddr_in6*>(results->ai_addr)->sin6_addr;
        size = 16;
    }

    // inet_ntop writes into a zero-filled text of its buffer size; trimming drops the padding.
    std::string text(family == AF_INET ? Ipv4TextSize : Ipv6TextSize, '\0');
    inet_ntop(family, address, &text[0], text.size());
    ipText = Trim(text);
    hostText = Trim(host);
    const auto* bytes = static_cast<const std::uint8_t*>(address);
    addressBytes.assign(bytes, bytes + size);
    ipVersion = family == AF_INET ? IpVersion::V4 : IpVersion::V6;
    freeaddrinfo(results);
    return true;
}

} // namespace oNet
