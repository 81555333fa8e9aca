#include "support/LoopbackPeer.h"

#include "net/SocketAddress.h"

#include <gtest/gtest.h>

namespace testing_support
{

namespace
{

bool WaitFor(SOCKET socket, short events, int timeoutMs)
{
    WSAPOLLFD record{};
    record.fd = socket;
    record.events = events;
    return WSAPoll(&record, 1, timeoutMs) > 0;
}

// Listens on the address and port; port 0 lets the system choose and reports its choice. A fixed
// port may be taken: the caller asks Listening() and decides.
SOCKET ListenOn(const char* address, std::uint16_t& port)
{
    const bool fixed = port != 0;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fixed)
    {
        // Earlier connections on the same fixed port may still linger.
        const int reuse = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof reuse);
    }
    sockaddr_storage local;
    socklen_t length = oNet::SocketAddressOf(oNet::Endpoint(address, port), local);
    if (bind(listener, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        listen(listener, 4) != 0)
    {
        if (!fixed)
            ADD_FAILURE() << "cannot listen on " << address << ": " << WSAGetLastError();
        closesocket(listener);
        return INVALID_SOCKET;
    }
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
    return listener;
}

} // namespace

LoopbackPeer::LoopbackPeer(const char* address)
{
    listener = ListenOn(address, port);
}

LoopbackPeer::LoopbackPeer(const char* address, std::uint16_t fixedPort) : port(fixedPort)
{
    listener = ListenOn(address, port);
}

LoopbackPeer::~LoopbackPeer()
{
    CloseListener();
}

bool LoopbackPeer::Accept(int timeoutMs)
{
    if (!WaitFor(listener, POLLRDNORM, timeoutMs))
        return false;
    connection = RawConnection(accept(listener, nullptr, nullptr));
    return connection.Open();
}

void LoopbackPeer::CloseListener()
{
    if (listener != INVALID_SOCKET)
        closesocket(listener);
    listener = INVALID_SOCKET;
}

std::uint16_t RefusingPort()
{
    std::uint16_t port = 0;
    SOCKET listener = ListenOn("127.0.0.1", port);
    closesocket(listener);
    return port;
}

} // namespace testing_support
