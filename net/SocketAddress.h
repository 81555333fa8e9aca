#pragma once

#include "net/Endpoint.h"
#include "net/SocketPlatform.h"

namespace oNet
{

// The socket address of an endpoint, as connect and bind take it: an IPv4 or IPv6 address with
// the endpoint's address bytes and port. Returns its length.
int SocketAddressOf(const Endpoint& endpoint, sockaddr_storage& storage);

// Switches a socket between blocking and non-blocking mode. False when the platform refuses.
bool SetNonBlocking(SOCKET socket, bool nonBlocking);

} // namespace oNet
