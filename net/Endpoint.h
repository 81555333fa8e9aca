#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace oNet
{

enum class IpVersion : std::int32_t
{
    Unresolved = 0,
    V4 = 1,
    V6 = 2,
};

// Removes whitespace and NUL characters from both ends of a text; inner ones stay.
std::string Trim(const std::string& text);

// The server's address: the host text as configured, what it resolved to (as text and as
// address bytes in network order) and the TCP port. Construction resolves at once and blocks
// while the resolver works; a host that does not resolve leaves the endpoint Unresolved.
// IPv4 is preferred: a name with both kinds of address gives its first IPv4 address.
class Endpoint
{
public:
    // No server: Unresolved.
    Endpoint() = default;
    Endpoint(const char* host, std::uint16_t port);

    IpVersion ipVersion = IpVersion::Unresolved;
    std::string hostText;
    std::string ipText;
    std::vector<std::uint8_t> addressBytes;
    std::uint16_t port = 0;

private:
    bool TakeLiteral(int family, const char* host);
    bool TakeLookup(int family, const char* host);
};

} // namespace oNet
