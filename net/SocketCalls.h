#pragma once

#include "net/SocketPlatform.h"

namespace oNet
{

// Every socket call the client makes that can fail. They default to the platform's own; tests
// replace them to make any one of them fail, a peer that accepts one byte at a time, or a poll
// that reports chosen events.
struct SocketCalls
{
    SOCKET (*open)(int family); // a TCP stream socket
    bool (*setNonBlocking)(SOCKET socket, bool nonBlocking);
    bool (*setNoDelay)(SOCKET socket); // small writes go out at once
    // On a non-blocking socket: 0 when connected at once; otherwise SOCKET_ERROR, and lastError
    // tells whether the connection is under way (WSAEWOULDBLOCK or WSAEINPROGRESS).
    int (*connect)(SOCKET socket, const sockaddr* address, int length);
    // The socket's pending error (SO_ERROR): while a connection is under way, or once a poll has
    // reported it writable, 0 unless it has failed; otherwise the platform's error code.
    int (*connectResult)(SOCKET socket);
    int (*poll)(WSAPOLLFD* records, unsigned long count, int timeoutMs);
    int (*receive)(SOCKET socket, char* buffer, int length);
    int (*send)(SOCKET socket, const char* buffer, int length);
    int (*close)(SOCKET socket);
    int (*lastError)();
};

SocketCalls PlatformSocketCalls();

} // namespace oNet
