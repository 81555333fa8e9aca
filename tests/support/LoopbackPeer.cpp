#include "support/LoopbackPeer.h"

#include "net/SocketAddress.h"
#include "net/SocketCalls.h"

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

LoopbackPeer::LoopbackPeer(const char* address) : address(address)
{
    listener = ListenOn(address, port);
}

LoopbackPeer::LoopbackPeer(const char* address, std::uint16_t fixedPort)
    : address(address), port(fixedPort)
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

bool LoopbackPeer::StopAnswering()
{
    // Connections the listener's queue takes complete at once; the first that does not waits
    // for an answer that will not come, and every later one does the same.
    for (int queued = 0; queued < 256; ++queued)
    {
        SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        oNet::SetNonBlocking(filler, true);
        sockaddr_storage remote;
        const int length = oNet::SocketAddressOf(oNet::Endpoint(address.c_str(), port), remote);
        const bool made = connect(filler, reinterpret_cast<sockaddr*>(&remote), length) == 0 ||
                          (WaitFor(filler, POLLWRNORM, 300) &&
                           oNet::PlatformSocketCalls().connectResult(filler) == 0);
        if (!made)
        {
            closesocket(filler);
            return true;
        }
        fillers.emplace_back(filler);
    }
    return false;
}

std::uint16_t RefusingPort()
{
    std::uint16_t port = 0;
    SOCKET listener = ListenOn("127.0.0.1", port);
    closesocket(listener);
    return port;
}

} // namespace testing_support
