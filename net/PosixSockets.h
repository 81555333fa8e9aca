#pragma once

// The Winsock names the networking library uses, offered over POSIX sockets for the host build.
// Only what the library and its tests rely on is here, with the behaviour they rely on:
// FIONBIO (the system's own request code) switches non-blocking mode, a read that would block
// reports 10035 (WSAEWOULDBLOCK), and starting the socket layer reports version 2.2.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

using SOCKET = int;
using WSAPOLLFD = pollfd;
using u_long = unsigned long;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int SD_SEND = SHUT_WR;

// Winsock error codes, as WSAGetLastError reports them.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;

struct WSADATA
{
    WORD wVersion;
    WORD wHighVersion;
};

constexpr WORD MAKEWORD(BYTE low, BYTE high)
{
    return static_cast<WORD>(low | (high << 8));
}
constexpr BYTE LOBYTE(WORD value)
{
    return static_cast<BYTE>(value & 0xFF);
}
constexpr BYTE HIBYTE(WORD value)
{
    return static_cast<BYTE>(value >> 8);
}

// Reports version 2.2. Also makes writes to a closed connection fail with an error code instead
// of ending the process with SIGPIPE, as they do on Windows.
int WSAStartup(WORD requestedVersion, WSADATA* data);
int WSACleanup();
// The last socket error of this thread, as a Winsock code.
int WSAGetLastError();
int ioctlsocket(SOCKET socket, long command, u_long* argument);
int closesocket(SOCKET socket);
int WSAPoll(WSAPOLLFD* records, unsigned long count, int timeout);
