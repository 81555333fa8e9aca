#pragma once

#include "net/Packet.h"
#include "net/SocketPlatform.h"
#include "server/ServerOptions.h"

#include <array>
#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

// The chat server: one thread, one non-blocking poll loop. It keeps each connection's nickname,
// relays chat lines of the client's form to everyone (the sender included) in the order they
// arrive, announces who joins, renames and leaves, and keeps the users-online list current.
// Every frame it reads and writes is a Packet. Bad input from a client ends that client's
// connection only; a client that lets more than a mebibyte of output pile up is cut off.
class ChatServer
{
public:
    static constexpr std::size_t OutputLimit = 1 << 20;

    ChatServer(ServerOptions options, std::ostream& log);
    ~ChatServer();
    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // Listens on the configured address and port. False, with the reason, when it cannot.
    bool Start(std::string& error);
    // The port listened on (the one the system chose, when port 0 was asked for).
    std::uint16_t Port() const { return port; }
    // One pass: waits up to timeoutMs for network events, then accepts, reads, handles and
    // writes what it can.
    void RunOnce(int timeoutMs);
    // Closes every connection and stops listening.
    void Stop();
    // Connections that count as clients (not those turned away because the server was full).
    std::size_t ClientCount() const;

private:
    struct Connection;

    void AcceptNew();
    void TurnAway(std::unique_ptr<Connection> connection);
    void ReadFrom(Connection& connection);
    void HandleInput(Connection& connection);
    bool HandlePacket(Connection& connection, oNet::Packet& packet);
    void HandleNickname(Connection& connection, const std::string& name);
    void HandleChatLine(Connection& connection, const std::string& line,
                        const oNet::Packet& packet);
    void Send(Connection& connection, const std::string& frame);
    void SendServerLine(Connection& connection, const std::string& text);
    void Broadcast(const std::string& frame);
    void BroadcastServerLine(const std::string& text);
    void BroadcastUsersOnline();
    void Flush(Connection& connection);
    void Close(Connection& connection, const std::string& reason);
    void SweepClosed();
    void Log(const std::string& line);

    ServerOptions options;
    std::ostream& log;
    SOCKET listener = INVALID_SOCKET;
    std::uint16_t port = 0;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<WSAPOLLFD> pollRecords;
    std::array<char, 65536> readBuffer{};
};
