#include "net/SocketCalls.h"

#include "net/SocketAddress.h"

namespace oNet
{

namespace
{

SOCKET PlatformOpen(int family)
{
    return socket(family, SOCK_STREAM, IPPROTO_TCP);
}

bool PlatformSetNoDelay(SOCKET socket)
{
    const int noDelay = 1;
    return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                      sizeof noDelay) == 0;
}

int PlatformConnect(SOCKET socket, const sockaddr* address, int length)
{
    return connect(socket, address, length);
}

int PlatformConnectResult(SOCKET socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return WSAGetLastError();
    return error;
}

int PlatformPoll(WSAPOLLFD* records, unsigned long count, int timeoutMs)
{
    return WSAPoll(records, count, timeoutMs);
}

int PlatformReceive(SOCKET socket, char* buffer, int length)
{
    return recv(socket, buffer, length, 0);
}

int PlatformSend(SOCKET socket, const char* buffer, int length)
{
    return send(socket, buffer, length, 0);
}

int PlatformClose(SOCKET socket)
{
    return closesocket(socket);
}

int PlatformLastError()
{
    return WSAGetLastError();
}

} // namespace

SocketCalls PlatformSocketCalls()
{
    SocketCalls calls{};
    calls.open = PlatformOpen;
    calls.setNonBlocking = SetNonBlocking;
    calls.setNoDelay = PlatformSetNoDelay;
    calls.connect = PlatformConnect;
    calls.connectResult = PlatformConnectResult;
    calls.poll = PlatformPoll;
    calls.receive = PlatformReceive;
    calls.send = PlatformSend;
    calls.close = PlatformClose;
    calls.lastError = PlatformLastError;
    return calls;
}

} // namespace oNet
