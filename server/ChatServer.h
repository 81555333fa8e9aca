#pragma once

#include "server/ChatRoom.h"
#include "server/ServerOptions.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class ClientSession;

// The chat server's network side, event-driven on one thread: accepts connections, turns away
// those beyond the limits with a line saying why, and runs a ClientSession for each member. The
// chat room is only ever touched from that thread, so it needs no locks.
class ChatServer
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr auto TickInterval = std::chrono::milliseconds(100);
    // Descriptors kept back from --max-clients: the listener, the event loop's own, standard
    // streams, and the connections being turned away.
    static constexpr std::size_t ReservedDescriptors = 32;
    static constexpr std::size_t MaxTurningAway = 16;
    static constexpr auto AcceptPause = std::chrono::milliseconds(100);

    ChatServer(ServerOptions options, std::ostream& log);
    ~ChatServer();
    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // Raises the descriptor limit, clamps the client limit to it, and listens on the configured
    // address and port. False, with the reason, when it cannot listen.
    bool Start(std::string& error);
    // The port listened on (the one the system chose, when port 0 was asked for).
    std::uint16_t Port() const { return port; }
    // SIGINT, SIGTERM (and SIGHUP where there is one) stop the server.
    void StopOnSignals();
    // Runs the event loop until the server stops.
    void Run();
    // From any thread: closes every connection and ends Run.
    void Stop();

    // For sessions.
    ChatRoom& Room() { return room; }
    std::ostream& Log() { return log; }
    char* ReadBuffer() { return readBuffer.data(); }
    std::size_t ReadBufferSize() const { return readBuffer.size(); }
    char* WriteBuffer() { return writeBuffer.data(); }
    std::size_t WriteBufferSize() const { return writeBuffer.size(); }
    void ScheduleFlush(const std::shared_ptr<ClientSession>& session);
    bool HoldingBack() const { return holders > 0; }
    void PauseReading(const std::shared_ptr<ClientSession>& session);
    void Hold() { ++holders; }
    void ReleaseHold();
    void Congested(ClientSession* session, bool high);
    void Closing(const std::shared_ptr<ClientSession>& session);
    void Closed(ClientSession* session);

private:
    void Accept();
    void Accepted(asio::ip::tcp::socket socket);
    void AcceptFailed(const asio::error_code& error);
    void Tick();
    void FlushScheduled();
    void Shutdown();
    void ReleaseAddress(ClientSession* session);

    ServerOptions options;
    std::ostream& log;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer tickTimer;
    asio::steady_timer acceptTimer;
    std::unique_ptr<asio::signal_set> signals;
    ChatRoom room;
    std::uint16_t port = 0;
    bool stopping = false;

    std::unordered_map<ClientSession*, std::shared_ptr<ClientSession>> sessions;
    std::unordered_map<ClientSession*, std::string> hostOf; // members, for the per-address limit
    std::unordered_map<std::string, std::size_t> perAddress;
    std::unordered_set<ClientSession*> turnedAway;
    std::vector<std::shared_ptr<ClientSession>> flushQueue;
    bool flushPosted = false;
    std::size_t holders = 0;
    std::vector<std::shared_ptr<ClientSession>> pausedReaders;
    std::unordered_set<ClientSession*> congested;
    std::vector<std::shared_ptr<ClientSession>> closing;
    bool acceptFailureLogged = false;
    // One of each serves every connection: the loop does one thing at a time.
    std::array<char, 16384> readBuffer{};
    std::array<char, 65536> writeBuffer{};
};
