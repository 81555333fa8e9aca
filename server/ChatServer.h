#pragma once

#include "net/SocketPlatform.h"
#include "server/ChatRoom.h"
#include "server/ServerOptions.h"

#include <array>
#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

// The chat server's network side: one thread, one non-blocking poll loop over the listening
// socket and every connection. What it reads goes to the chat room, what the room has waiting
// for a member it writes out. Newcomers beyond the client limit are turned away with a line
// saying why.
class ChatServer
{
public:
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
    std::size_t ClientCount() const { return room.MemberCount(); }

private:
    struct Connection
    {
        SOCKET socket = INVALID_SOCKET;
        std::string address;
        ChatRoom::MemberId member = 0; // 0: turned away, not in the room
        std::string farewell;          // a turned-away connection's last line, as far as unsent
        std::chrono::steady_clock::time_point deadline;
        bool closed = false;
    };

    void AcceptNew();
    void TurnAway(Connection& connection);
    void EndTurnAway(Connection& connection);
    void ReadFrom(Connection& connection);
    void Flush(Connection& connection);
    void CloseDeparted();

    ServerOptions options;
    std::ostream& log;
    ChatRoom room;
    SOCKET listener = INVALID_SOCKET;
    std::uint16_t port = 0;
    std::vector<Connection> connections;
    std::vector<WSAPOLLFD> pollRecords;
    std::array<char, 65536> readBuffer{};
};
