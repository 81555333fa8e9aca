#pragma once

// Loopback connections for the benchmarks' own listeners and clients on 127.0.0.1. A benchmark
// cannot go on without them, so a failure ends the program with one line saying why.

#include "net/Endpoint.h"
#include "net/SocketAddress.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>

inline void LoopbackFailed(const char* what, std::uint16_t port)
{
    std::cerr << "cannot " << what << " 127.0.0.1 port " << port << ": error " << WSAGetLastError()
              << std::endl;
    std::exit(1);
}

// A blocking connection to a listener on 127.0.0.1.
inline SOCKET ConnectToLoopback(std::uint16_t port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage address;
    const int length = oNet::SocketAddressOf(oNet::Endpoint("127.0.0.1", port), address);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0)
        LoopbackFailed("connect to", port);
    return s;
}

// Small writes at once and no waiting: how the benchmarks' chat clients talk.
inline SOCKET QuickLoopbackConnection(std::uint16_t port)
{
    const SOCKET s = ConnectToLoopback(port);
    const int noDelay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    oNet::SetNonBlocking(s, true);
    return s;
}

// A listener on a free port of 127.0.0.1; port receives the port.
inline SOCKET ListenOnLoopback(std::uint16_t& port, int backlog = SOMAXCONN)
{
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage address;
    socklen_t length = oNet::SocketAddressOf(oNet::Endpoint("127.0.0.1", 0), address);
    if (listener == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, backlog) != 0)
        LoopbackFailed("listen on", 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
    return listener;
}
