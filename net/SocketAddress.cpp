#include "net/SocketAddress.h"

#include <algorithm>
#include <cstring>

namespace oNet
{

int SocketAddressOf(const Endpoint& endpoint, sockaddr_storage& storage)
{
    storage = {};
    if (endpoint.ipVersion == IpVersion::V4)
    {
        auto& address = reinterpret_cast<sockaddr_in&>(storage);
        address.sin_family = AF_INET;
        address.sin_port = htons(endpoint.port);
        std::memcpy(&address.sin_addr, endpoint.addressBytes.data(),
                    std::min<std::size_t>(endpoint.addressBytes.size(), 4));
        return sizeof(sockaddr_in);
    }
    auto& address = reinterpret_cast<sockaddr_in6&>(storage);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(endpoint.port);
    std::memcpy(&address.sin6_addr, endpoint.addressBytes.data(),
                std::min<std::size_t>(endpoint.addressBytes.size(), 16));
    return sizeof(sockaddr_in6);
}

bool SetNonBlocking(SOCKET socket, bool nonBlocking)
{
    u_long mode = nonBlocking ? 1 : 0;
    return ioctlsocket(socket, FIONBIO, &mode) != SOCKET_ERROR;
}

} // namespace oNet
