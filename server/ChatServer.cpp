#include "server/ChatServer.h"

#include "net/Endpoint.h"
#include "server/ServerLog.h"
#include "server/ServerPlatform.h"

#include <algorithm>
#include <cstring>

namespace
{

using Clock = std::chrono::steady_clock;

// How long a connection turned away (server full) may take to read why before it is closed.
constexpr auto TurnAwayGrace = std::chrono::seconds(2);
// Most bytes read from one connection in one pass, so that one busy client cannot starve others.
constexpr std::size_t ReadPerPass = 4 * 65536;

std::string AddressOf(const sockaddr_storage& address)
{
    char text[64] = {};
    if (address.ss_family == AF_INET6)
    {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
}

bool SetNonBlocking(SOCKET socket)
{
    u_long mode = 1;
    return ioctlsocket(socket, FIONBIO, &mode) != SOCKET_ERROR;
}

// Writes as much of the bytes as the socket takes now; -1 on a connection error.
long long SendSome(SOCKET socket, std::string_view bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const int n =
            send(socket, bytes.data() + sent,
                 static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 30)), 0);
        if (n > 0)
        {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return -1;
        break;
    }
    return static_cast<long long>(sent);
}

} // namespace

ChatServer::ChatServer(ServerOptions options, std::ostream& log)
    : options(std::move(options)), log(log), room(log)
{
}

ChatServer::~ChatServer()
{
    for (auto& connection : connections)
        closesocket(connection.socket);
    if (listener != INVALID_SOCKET)
        closesocket(listener);
}

bool ChatServer::Start(std::string& error)
{
    const oNet::Endpoint endpoint(options.listenAddress.c_str(), options.port);
    if (endpoint.ipVersion == oNet::IpVersion::Unresolved)
    {
        error = "cannot resolve the address " + options.listenAddress;
        return false;
    }
    const bool v4 = endpoint.ipVersion == oNet::IpVersion::V4;
    listener = socket(v4 ? AF_INET : AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
    {
        error = "cannot make a socket: error " + std::to_string(WSAGetLastError());
        return false;
    }
    AllowQuickRestart(listener);

    sockaddr_storage address = {};
    int length = 0;
    if (v4)
    {
        auto& v4Address = reinterpret_cast<sockaddr_in&>(address);
        v4Address.sin_family = AF_INET;
        v4Address.sin_port = htons(endpoint.port);
        std::memcpy(&v4Address.sin_addr, endpoint.addressBytes.data(), 4);
        length = sizeof v4Address;
    }
    else
    {
        auto& v6Address = reinterpret_cast<sockaddr_in6&>(address);
        v6Address.sin6_family = AF_INET6;
        v6Address.sin6_port = htons(endpoint.port);
        std::memcpy(&v6Address.sin6_addr, endpoint.addressBytes.data(), 16);
        length = sizeof v6Address;
    }
    const std::string where = options.listenAddress + " port " + std::to_string(options.port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, SOMAXCONN) != 0 || !SetNonBlocking(listener))
    {
        error = "cannot listen on " + where + ": error " + std::to_string(WSAGetLastError());
        closesocket(listener);
        listener = INVALID_SOCKET;
        return false;
    }

    socklen_t boundLength = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &boundLength);
    port = ntohs(v4 ? reinterpret_cast<sockaddr_in&>(address).sin_port
                    : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
    WriteLogLine(log, "listening on " + endpoint.ipText + " port " + std::to_string(port) +
                          " for up to " + std::to_string(options.maxClients) + " clients");
    return true;
}

void ChatServer::RunOnce(int timeoutMs)
{
    pollRecords.clear();
    WSAPOLLFD listening = {};
    listening.fd = listener;
    listening.events = POLLRDNORM;
    pollRecords.push_back(listening);
    for (const auto& connection : connections)
    {
        const bool waiting = connection.member ? !room.Pending(connection.member).empty()
                                               : !connection.farewell.empty();
        WSAPOLLFD record = {};
        record.fd = connection.socket;
        record.events = static_cast<short>(POLLRDNORM | (waiting ? POLLWRNORM : 0));
        pollRecords.push_back(record);
    }

    const std::size_t polled = connections.size();
    const bool ready =
        WSAPoll(pollRecords.data(), static_cast<unsigned long>(pollRecords.size()), timeoutMs) > 0;
    // Newcomers join before anything is read, whatever the poll said of the listener: a client
    // connected before another sent a line is in the room when that line goes out.
    if (ready)
    {
        AcceptNew();
        for (std::size_t i = 0; i < polled; ++i)
        {
            if (pollRecords[i + 1].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL))
                ReadFrom(connections[i]);
        }
    }

    const auto now = Clock::now();
    for (auto& connection : connections)
    {
        if (!connection.member && !connection.closed && now > connection.deadline)
            EndTurnAway(connection);
    }
    CloseDeparted();
    for (auto& connection : connections)
        Flush(connection);
}

void ChatServer::Stop()
{
    WriteLogLine(log,
                 "shutting down: closing " + std::to_string(connections.size()) + " connections");
    for (auto& connection : connections)
    {
        Flush(connection);
        closesocket(connection.socket);
    }
    connections.clear();
    if (listener != INVALID_SOCKET)
        closesocket(listener);
    listener = INVALID_SOCKET;
}

void ChatServer::AcceptNew()
{
    for (;;)
    {
        sockaddr_storage address = {};
        socklen_t length = sizeof address;
        const SOCKET accepted = accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
        if (accepted == INVALID_SOCKET)
            return; // nothing more waiting
        Connection connection;
        connection.socket = accepted;
        connection.address = AddressOf(address);
        const int noDelay = 1;
        setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        if (!SetNonBlocking(accepted))
        {
            WriteLogLine(log, "connection from " + connection.address +
                                  " dropped: cannot make it non-blocking");
            closesocket(accepted);
            continue;
        }
        if (room.MemberCount() >= options.maxClients)
            TurnAway(connection);
        else
        {
            WriteLogLine(log, "connection from " + connection.address);
            connection.member = room.Join(connection.address);
        }
        connections.push_back(std::move(connection));
    }
}

// The server is full: the newcomer gets a line saying so, then the connection is closed once
// it has read it (or after a short grace).
void ChatServer::TurnAway(Connection& connection)
{
    WriteLogLine(log, "connection from " + connection.address + " turned away: server full");
    connection.deadline = Clock::now() + TurnAwayGrace;
    connection.farewell = ChatRoom::ServerLineFrame("Server is full.");
    Flush(connection);
    shutdown(connection.socket, SD_SEND);
}

// A turned-away connection is done: it read its line, went away, or had its grace.
void ChatServer::EndTurnAway(Connection& connection)
{
    WriteLogLine(log, connection.address + " disconnected: turned away: server full");
    connection.closed = true;
}

void ChatServer::ReadFrom(Connection& connection)
{
    std::size_t taken = 0;
    while (taken < ReadPerPass && !connection.closed &&
           !(connection.member && room.IsClosed(connection.member)))
    {
        const int received =
            recv(connection.socket, readBuffer.data(), static_cast<int>(readBuffer.size()), 0);
        if (received > 0)
        {
            taken += static_cast<std::size_t>(received);
            // A turned-away connection is not listened to.
            if (connection.member)
                room.Receive(connection.member, readBuffer.data(),
                             static_cast<std::size_t>(received));
            continue;
        }
        const int error = received < 0 ? WSAGetLastError() : 0;
        if (received < 0 && error == WSAEWOULDBLOCK)
            return;
        const std::string reason =
            received == 0 ? "closed by the client" : "connection error " + std::to_string(error);
        if (connection.member)
            room.Close(connection.member, reason);
        else
            EndTurnAway(connection);
        return;
    }
}

void ChatServer::Flush(Connection& connection)
{
    if (connection.closed)
        return;
    if (!connection.member)
    {
        const long long sent = SendSome(connection.socket, connection.farewell);
        connection.farewell.erase(0, sent > 0 ? static_cast<std::size_t>(sent) : 0);
        return;
    }
    const std::string_view pending = room.Pending(connection.member);
    if (pending.empty() || room.IsClosed(connection.member))
        return;
    const long long sent = SendSome(connection.socket, pending);
    if (sent < 0)
        room.Close(connection.member, "connection error " + std::to_string(WSAGetLastError()));
    else
        room.Sent(connection.member, static_cast<std::size_t>(sent));
}

// Closes the sockets of members that have left the room, and of turned-away connections done.
void ChatServer::CloseDeparted()
{
    for (const auto& departure : room.Sweep())
    {
        for (auto& connection : connections)
        {
            if (connection.member != departure.id)
                continue;
            if (departure.abort)
            {
                linger reset = {};
                reset.l_onoff = 1;
                reset.l_linger = 0;
                setsockopt(connection.socket, SOL_SOCKET, SO_LINGER,
                           reinterpret_cast<const char*>(&reset), sizeof reset);
            }
            connection.closed = true;
        }
    }
    for (auto& connection : connections)
        if (connection.closed)
            closesocket(connection.socket);
    connections.erase(
        std::remove_if(connections.begin(), connections.end(),
                       [](const Connection& connection) { return connection.closed; }),
        connections.end());
}
