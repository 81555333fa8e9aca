#include "support/LoopbackPeer.h"

#include <gtest/gtest.h>

#include <chrono>

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

// Listens on the address and port; port 0 lets the system choose and reports its choice.
SOCKET ListenOn(const char* address, std::uint16_t& port)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (port != 0)
    {
        // Earlier connections on the same fixed port may still linger.
        const int reuse = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof reuse);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address, &local.sin_addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listener, 4) != 0)
    {
        ADD_FAILURE() << "cannot listen on " << address << ":" << port << ": " << WSAGetLastError();
        closesocket(listener);
        return INVALID_SOCKET;
    }
    socklen_t length = sizeof local;
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
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
    CloseConnection();
    CloseListener();
}

bool LoopbackPeer::Accept(int timeoutMs)
{
    if (!WaitFor(listener, POLLRDNORM, timeoutMs))
        return false;
    connection = accept(listener, nullptr, nullptr);
    return connection != INVALID_SOCKET;
}

void LoopbackPeer::Send(const Bytes& bytes)
{
    Send(AsString(bytes));
}

void LoopbackPeer::Send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const int n =
            send(connection, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0)
        {
            ADD_FAILURE() << "peer send failed: " << WSAGetLastError();
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

Bytes LoopbackPeer::Receive(std::size_t count, int timeoutMs)
{
    Bytes received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.size() < count)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !WaitFor(connection, POLLRDNORM, static_cast<int>(left)))
            break;
        char chunk[4096];
        const std::size_t want = std::min(sizeof chunk, count - received.size());
        const int n = recv(connection, chunk, static_cast<int>(want), 0);
        if (n <= 0)
            break;
        received.insert(received.end(), chunk, chunk + n);
    }
    return received;
}

Bytes LoopbackPeer::ReceivePacket(int timeoutMs)
{
    const Bytes prefix = Receive(2, timeoutMs);
    if (prefix.size() != 2)
        return {};
    const std::size_t size = (std::size_t{prefix[0]} << 8) | prefix[1];
    Bytes packet = Receive(size, timeoutMs);
    return packet.size() == size ? packet : Bytes{};
}

bool LoopbackPeer::SeesClose(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
    {
        WSAPOLLFD record{};
        record.fd = connection;
        record.events = POLLRDNORM;
        if (WSAPoll(&record, 1, 50) <= 0)
            continue;
        if (record.revents & (POLLHUP | POLLERR))
            return true;
        char byte;
        if (recv(connection, &byte, 1, 0) <= 0)
            return true;
    }
    return false;
}

void LoopbackPeer::CloseConnection()
{
    if (connection != INVALID_SOCKET)
        closesocket(connection);
    connection = INVALID_SOCKET;
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
