#pragma once

#include "server/room/BacklogPolicy.h"
#include "server/operator/BanList.h"
#include "server/room/ChatRoom.h"
#include "server/connection/ClientSession.h"
#include "server/operator/OperatorChannels.h"
#include "server/operator/OperatorCommands.h"
#include "server/metrics/MetricsHttp.h"
#include "server/metrics/ServerFigures.h"
#include "server/room/ServerCounters.h"
#include "server/ServerOptions.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The chat server's network side, event-driven on one thread: accepts connections, turns away
// those beyond the limits with a line saying why, and runs a ClientSession for each member; time
// drives the room's rounds and the backlog policy. The chat room is only ever touched from that
// thread, so it needs no locks.
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
    // How often bans that have ended are dropped from the list and the file.
    static constexpr auto BanCheckInterval = std::chrono::seconds(60);

    // With tls, connections may speak TLS (options.tlsOnly: must); it outlives the server.
    ChatServer(ServerOptions options, std::ostream& log, ServerTls* tls = nullptr,
               OutputLimits limits = {});
    ~ChatServer();
    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // Raises the descriptor limit, clamps the client limit to it, reads the ban file, and listens
    // on the configured address and port, for operator commands and for metrics where asked.
    // False, with the reason, when it cannot.
    bool Start(std::string& error);
    // The port listened on (the one the system chose, when port 0 was asked for).
    std::uint16_t Port() const { return port; }
    // SIGINT, SIGTERM (and SIGHUP where there is one) stop the server.
    void StopOnSignals();
    // Runs the event loop until the server stops.
    void Run();
    // From any thread: closes every connection and ends Run.
    void Stop();

    // An operator's command, on the server's thread; source names where it came from.
    CommandAnswer Command(const std::string& line, const std::string& source);

    // From any thread but the server's own: its figures, taken on its thread, or nothing when
    // it did not get to them within the time (the loop is stuck, or the server has stopped).
    std::optional<ServerFigures> AskFigures(std::chrono::milliseconds wait);
    // The port the metrics endpoint listens on; 0 without one.
    std::uint16_t MetricsPort() const { return metrics ? metrics->Port() : 0; }

private:
    void Accept();
    void Accepted(asio::ip::tcp::socket socket);
    void AcceptFailed(const asio::error_code& error);
    void Tick();
    void Shutdown();
    void Closed(ClientSession& session);
    void DropEndedBans();
    ServerFigures Figures() const;
    std::size_t OpenConnections() const { return sessions.size() - turnedAway.size(); }

    ServerOptions options;
    std::ostream& log;
    ServerCounters counters;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer tickTimer;
    asio::steady_timer acceptTimer;
    std::unique_ptr<asio::signal_set> signals;
    ChatRoom room;
    BanList bans;
    OperatorCommands commands;
    std::unique_ptr<ControlSocket> controlSocket;
    Clock::time_point bansChecked;
    BacklogPolicy backlog;
    FlushBatch flushes;
    SessionContext context;
    std::uint16_t port = 0;
    bool stopping = false;

    // Every connection until it has closed, members and those closing or turned away alike.
    std::unordered_map<std::uint64_t, std::shared_ptr<ClientSession>> sessions;
    std::uint64_t nextNumber = 1;
    std::unordered_map<std::uint64_t, std::string> groupOf; // for the per-address limit
    std::unordered_map<std::string, std::size_t> perGroup;
    std::unordered_set<std::uint64_t> turnedAway;
    bool acceptFailureLogged = false;
    // Asks the loop for figures from threads of its own: it goes first when the server does.
    std::unique_ptr<MetricsHttp> metrics;
};
