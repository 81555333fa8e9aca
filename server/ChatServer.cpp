#include "server/ChatServer.h"

#include "chat/ChatProtocol.h"
#include "net/Endpoint.h"
#include "server/ChatRules.h"
#include "server/ServerPlatform.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <ostream>

using oNet::Packet;
using oNet::PacketType;

namespace
{

using Clock = std::chrono::steady_clock;

// How long a connection turned away (server full) may take to read why before it is closed.
constexpr auto TurnAwayGrace = std::chrono::seconds(2);
// Most bytes read from one connection in one pass, so that one busy client cannot starve others.
constexpr std::size_t ReadPerPass = 4 * 65536;

std::tm LocalNow()
{
    const std::time_t now = std::time(nullptr);
    return *std::localtime(&now); // the server has one thread
}

// A packet as it goes on the wire: the 2-byte big-endian length, then the packet.
std::string FrameOf(const Packet& packet)
{
    std::string frame;
    frame.reserve(2 + packet.buffer.size());
    frame += static_cast<char>(packet.buffer.size() >> 8);
    frame += static_cast<char>(packet.buffer.size() & 0xFF);
    frame.append(packet.buffer.data(), packet.buffer.size());
    return frame;
}

std::string TextFrame(PacketType type, const std::string& text)
{
    return FrameOf(*ChatProtocol::MakeTextPacket(type, text));
}

std::string ServerLineFrame(const std::string& text)
{
    return TextFrame(PacketType::ChatMessage,
                     ChatProtocol::FormatTimestamp(LocalNow()) + " [SERVER]: " + text);
}

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

} // namespace

struct ChatServer::Connection
{
    SOCKET socket = INVALID_SOCKET;
    std::string address;
    std::string nickname; // empty until the first valid Nickname packet
    std::vector<char> input;
    std::string output;
    std::size_t outputStart = 0;
    bool turnedAway = false;
    Clock::time_point turnAwayDeadline;
    bool closed = false;
    bool abort = false; // reset rather than close: what is still queued for it is dropped
    std::string closeReason;

    std::size_t Pending() const { return output.size() - outputStart; }
    std::string Label() const
    {
        return nickname.empty() ? address : address + " (" + nickname + ")";
    }
};

ChatServer::ChatServer(ServerOptions options, std::ostream& log)
    : options(std::move(options)), log(log)
{
}

ChatServer::~ChatServer()
{
    for (auto& connection : connections)
        closesocket(connection->socket);
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
    Log("listening on " + endpoint.ipText + " port " + std::to_string(port) + " for up to " +
        std::to_string(options.maxClients) + " clients");
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
        WSAPOLLFD record = {};
        record.fd = connection->socket;
        record.events = static_cast<short>(POLLRDNORM | (connection->Pending() ? POLLWRNORM : 0));
        pollRecords.push_back(record);
    }

    const std::size_t polled = connections.size();
    if (WSAPoll(pollRecords.data(), static_cast<unsigned long>(pollRecords.size()), timeoutMs) > 0)
    {
        for (std::size_t i = 0; i < polled; ++i)
        {
            Connection& connection = *connections[i];
            if (!connection.closed &&
                (pollRecords[i + 1].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)))
                ReadFrom(connection);
        }
        if (pollRecords[0].revents & POLLRDNORM)
            AcceptNew();
    }

    const auto now = Clock::now();
    for (auto& connection : connections)
    {
        if (connection->turnedAway && !connection->closed && now > connection->turnAwayDeadline)
            Close(*connection, "turned away: server full");
    }
    SweepClosed();
    for (auto& connection : connections)
        Flush(*connection);
}

void ChatServer::Stop()
{
    Log("shutting down: closing " + std::to_string(connections.size()) + " connections");
    for (auto& connection : connections)
    {
        Flush(*connection);
        closesocket(connection->socket);
    }
    connections.clear();
    if (listener != INVALID_SOCKET)
        closesocket(listener);
    listener = INVALID_SOCKET;
}

std::size_t ChatServer::ClientCount() const
{
    return static_cast<std::size_t>(
        std::count_if(connections.begin(), connections.end(),
                      [](const auto& c) { return !c->turnedAway && !c->closed; }));
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
        auto connection = std::make_unique<Connection>();
        connection->socket = accepted;
        connection->address = AddressOf(address);
        const int noDelay = 1;
        setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        if (!SetNonBlocking(accepted))
        {
            Log("connection from " + connection->address + " dropped: cannot make it non-blocking");
            closesocket(accepted);
            continue;
        }
        if (ClientCount() >= options.maxClients)
        {
            TurnAway(std::move(connection));
            continue;
        }
        Log("connection from " + connection->address);
        connections.push_back(std::move(connection));
    }
}

// The server is full: the newcomer gets a line saying so, then the connection is closed once
// it has read it (or after a short grace).
void ChatServer::TurnAway(std::unique_ptr<Connection> connection)
{
    Log("connection from " + connection->address + " turned away: server full");
    connection->turnedAway = true;
    connection->turnAwayDeadline = Clock::now() + TurnAwayGrace;
    connection->output = ServerLineFrame("Server is full.");
    Flush(*connection);
    shutdown(connection->socket, SD_SEND);
    connections.push_back(std::move(connection));
}

void ChatServer::ReadFrom(Connection& connection)
{
    std::size_t taken = 0;
    while (taken < ReadPerPass && !connection.closed)
    {
        const int received =
            recv(connection.socket, readBuffer.data(), static_cast<int>(readBuffer.size()), 0);
        if (received == 0)
        {
            Close(connection,
                  connection.turnedAway ? "turned away: server full" : "closed by the client");
            return;
        }
        if (received < 0)
        {
            const int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK)
                Close(connection, "connection error " + std::to_string(error));
            return;
        }
        taken += static_cast<std::size_t>(received);
        if (connection.turnedAway)
            continue; // whatever it sends is not listened to
        connection.input.insert(connection.input.end(), readBuffer.data(),
                                readBuffer.data() + received);
        HandleInput(connection);
    }
}

// Handles every complete frame in the connection's input and keeps the rest for later.
void ChatServer::HandleInput(Connection& connection)
{
    std::size_t start = 0;
    while (!connection.closed && connection.input.size() - start >= 2)
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(connection.input.data() + start);
        const std::size_t length = (std::size_t{bytes[0]} << 8) | bytes[1];
        if (length < 2 || length > oNet::MaxPacketSize)
        {
            Close(connection, "bad input: frame length " + std::to_string(length));
            break;
        }
        if (connection.input.size() - start < 2 + length)
            break;
        Packet packet;
        packet.buffer.assign(connection.input.begin() + static_cast<std::ptrdiff_t>(start + 2),
                             connection.input.begin() +
                                 static_cast<std::ptrdiff_t>(start + 2 + length));
        start += 2 + length;
        if (!HandlePacket(connection, packet))
            break;
    }
    connection.input.erase(connection.input.begin(),
                           connection.input.begin() + static_cast<std::ptrdiff_t>(start));
}

bool ChatServer::HandlePacket(Connection& connection, Packet& packet)
{
    try
    {
        switch (packet.Type())
        {
        case PacketType::Nickname: {
            std::string name;
            packet >> name;
            HandleNickname(connection, name);
            return true;
        }
        case PacketType::ChatMessage: {
            std::string line;
            packet >> line;
            HandleChatLine(connection, line, packet);
            return true;
        }
        default:
            Close(connection,
                  "bad input: packet type " + std::to_string(static_cast<unsigned>(packet.Type())));
            return false;
        }
    }
    catch (const oNet::PacketException&)
    {
        Close(connection, "bad input: a packet ends early");
        return false;
    }
}

void ChatServer::HandleNickname(Connection& connection, const std::string& name)
{
    if (name == connection.nickname)
        return; // announced again, nothing changes
    const std::string problem = ChatRules::NicknameProblem(name);
    if (!problem.empty())
    {
        Log(connection.Label() + " asked for an unusable nickname");
        SendServerLine(connection, problem + " Your nickname stays as it was.");
        return;
    }
    for (const auto& other : connections)
    {
        if (other.get() != &connection && !other->closed &&
            ChatRules::SameName(other->nickname, name))
        {
            Log(connection.Label() + " asked for the nickname " + name + ", which is taken");
            SendServerLine(connection,
                           "The nickname " + name + " is taken. Your nickname stays as it was.");
            return;
        }
    }

    const std::string old = connection.nickname;
    connection.nickname = name;
    if (old.empty())
    {
        Log(connection.address + " joined as " + name);
        const std::string newUser = FrameOf(Packet(PacketType::NewUser));
        for (auto& other : connections)
            if (other.get() != &connection && !other->turnedAway && !other->closed)
                Send(*other, newUser);
        BroadcastServerLine(name + " joined.");
    }
    else
    {
        Log(old + " is now known as " + name);
        BroadcastServerLine(old + " is now known as " + name + ".");
    }
    BroadcastUsersOnline();
}

void ChatServer::HandleChatLine(Connection& connection, const std::string& line,
                                const Packet& packet)
{
    if (connection.nickname.empty())
    {
        Log(connection.Label() + ": a line before choosing a nickname was dropped");
        SendServerLine(connection, "Choose a nickname before you chat.");
        return;
    }
    if (!ChatRules::IsChatLineFrom(line, connection.nickname))
    {
        Log(connection.Label() + ": a line not in its own name was dropped");
        SendServerLine(
            connection,
            "Your line was not passed on: it must start with the time and your own nickname.");
        return;
    }
    Broadcast(FrameOf(packet));
}

void ChatServer::Send(Connection& connection, const std::string& frame)
{
    if (connection.closed)
        return;
    connection.output += frame;
    if (connection.Pending() > OutputLimit)
    {
        // What waits for it, here and in the system's buffers, will never be read: drop it all.
        connection.abort = true;
        Close(connection, "too slow: more than 1 MiB waiting to be sent");
    }
}

void ChatServer::SendServerLine(Connection& connection, const std::string& text)
{
    Send(connection, ServerLineFrame(text));
}

void ChatServer::Broadcast(const std::string& frame)
{
    for (auto& connection : connections)
        if (!connection->turnedAway)
            Send(*connection, frame);
}

void ChatServer::BroadcastServerLine(const std::string& text)
{
    Broadcast(ServerLineFrame(text));
}

void ChatServer::BroadcastUsersOnline()
{
    std::vector<std::string> names;
    for (const auto& connection : connections)
        if (!connection->closed && !connection->nickname.empty())
            names.push_back(connection->nickname);
    Broadcast(TextFrame(PacketType::UsersOnline,
                        ChatRules::UsersOnlineText(names, ChatProtocol::MaxTextBytes)));
}

void ChatServer::Flush(Connection& connection)
{
    while (!connection.closed && connection.Pending() > 0)
    {
        const int sent =
            send(connection.socket, connection.output.data() + connection.outputStart,
                 static_cast<int>(std::min<std::size_t>(connection.Pending(), 1 << 30)), 0);
        if (sent > 0)
        {
            connection.outputStart += static_cast<std::size_t>(sent);
            continue;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            Close(connection, "connection error " + std::to_string(error));
        break;
    }
    if (connection.outputStart == connection.output.size())
    {
        connection.output.clear();
        connection.outputStart = 0;
    }
    else if (connection.outputStart > 65536 &&
             connection.outputStart * 2 > connection.output.size())
    {
        connection.output.erase(0, connection.outputStart);
        connection.outputStart = 0;
    }
}

void ChatServer::Close(Connection& connection, const std::string& reason)
{
    if (connection.closed)
        return;
    connection.closed = true;
    connection.closeReason = reason;
}

// Removes the connections closed in this pass, then tells the others who has left.
void ChatServer::SweepClosed()
{
    std::vector<std::string> left;
    for (auto it = connections.begin(); it != connections.end();)
    {
        Connection& connection = **it;
        if (!connection.closed)
        {
            ++it;
            continue;
        }
        Log(connection.Label() + " disconnected: " + connection.closeReason);
        if (connection.abort)
        {
            linger reset = {};
            reset.l_onoff = 1;
            reset.l_linger = 0;
            setsockopt(connection.socket, SOL_SOCKET, SO_LINGER,
                       reinterpret_cast<const char*>(&reset), sizeof reset);
        }
        closesocket(connection.socket);
        if (!connection.nickname.empty())
            left.push_back(connection.nickname);
        it = connections.erase(it);
    }
    for (const auto& name : left)
        BroadcastServerLine(name + " left.");
    if (!left.empty())
        BroadcastUsersOnline();
    // Telling the others may itself cut off a client that cannot keep up.
    if (std::any_of(connections.begin(), connections.end(),
                    [](const auto& c) { return c->closed; }))
        SweepClosed();
}

void ChatServer::Log(const std::string& line)
{
    const std::tm now = LocalNow();
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &now);
    log << '[' << stamp << "] " << line << std::endl;
}
