#pragma once

// A blocking TCP connection to a benchmark's own listener on 127.0.0.1. A benchmark cannot go on
// without it, so failing to connect ends the program with one line saying why.

#include "net/SocketPlatform.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>

inline SOCKET ConnectToLoopback(std::uint16_t port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (s == INVALID_SOCKET ||
        connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        std::cerr << "cannot connect to 127.0.0.1 port " << port << ": error " << WSAGetLastError()
                  << std::endl;
        std::exit(1);
    }
    return s;
}
