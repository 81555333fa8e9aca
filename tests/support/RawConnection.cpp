#include "support/RawConnection.h"

#include "net/SocketAddress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace testing_support
{

namespace
{

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

bool Readable(SOCKET socket, int timeoutMs)
{
    WSAPOLLFD record{};
    record.fd = socket;
    record.events = POLLRDNORM;
    return WSAPoll(&record, 1, timeoutMs) > 0;
}

} // namespace

RawConnection::~RawConnection()
{
    Close();
}

RawConnection::RawConnection(RawConnection&& other) noexcept : socket(other.socket)
{
    other.socket = INVALID_SOCKET;
}

RawConnection& RawConnection::operator=(RawConnection&& other) noexcept
{
    if (this != &other)
    {
        Close();
        socket = other.socket;
        other.socket = INVALID_SOCKET;
    }
    return *this;
}

bool RawConnection::Connect(const char* address, std::uint16_t port, const char* from)
{
    Close();
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (from)
    {
        sockaddr_storage local;
        const int length = oNet::SocketAddressOf(oNet::Endpoint(from, 0), local);
        if (bind(socket, reinterpret_cast<sockaddr*>(&local), length) != 0)
        {
            Close();
            return false;
        }
    }
    sockaddr_storage remote;
    const int length = oNet::SocketAddressOf(oNet::Endpoint(address, port), remote);
    if (connect(socket, reinterpret_cast<sockaddr*>(&remote), length) != 0)
    {
        Close();
        return false;
    }
    return true;
}

void RawConnection::Send(const Bytes& bytes)
{
    Send(AsString(bytes));
}

void RawConnection::Send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const int n = send(socket, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0)
        {
            ADD_FAILURE() << "send failed: " << WSAGetLastError();
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

Bytes RawConnection::Receive(std::size_t count, int timeoutMs)
{
    Bytes received;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.size() < count)
    {
        if (!Readable(socket, MillisecondsUntil(deadline)))
            break;
        char chunk[16384];
        const std::size_t want = std::min(sizeof chunk, count - received.size());
        const int n = recv(socket, chunk, static_cast<int>(want), 0);
        if (n <= 0)
            break;
        received.insert(received.end(), chunk, chunk + n);
    }
    return received;
}

Bytes RawConnection::ReceiveSome(int timeoutMs)
{
    if (!Readable(socket, timeoutMs))
        return {};
    char chunk[65536];
    const int n = recv(socket, chunk, sizeof chunk, 0);
    return n > 0 ? Bytes(chunk, chunk + n) : Bytes{};
}

Bytes RawConnection::ReceivePacket(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Bytes prefix = Receive(2, timeoutMs);
    if (prefix.size() != 2)
        return {};
    const std::size_t size = (std::size_t{prefix[0]} << 8) | prefix[1];
    Bytes packet = Receive(size, std::max(MillisecondsUntil(deadline), 1000));
    return packet.size() == size ? packet : Bytes{};
}

bool RawConnection::SeesClose(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline)
    {
        WSAPOLLFD record{};
        record.fd = socket;
        record.events = POLLRDNORM;
        if (WSAPoll(&record, 1, 50) <= 0)
            continue;
        if (record.revents & (POLLHUP | POLLERR))
            return true;
        char chunk[16384];
        if (recv(socket, chunk, sizeof chunk, 0) <= 0)
            return true;
    }
    return false;
}

void RawConnection::Close()
{
    if (socket != INVALID_SOCKET)
        closesocket(socket);
    socket = INVALID_SOCKET;
}

} // namespace testing_support
