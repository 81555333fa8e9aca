#pragma once

#include "server/ServerOptions.h"
#include "server/ServiceNotifier.h"
#include "server/connection/ClientSession.h"
#include "server/connection/FirstByte.h"
#include "server/connection/TlsHandshakes.h"
#include "server/link/RedisLink.h"
#include "server/operator/BanFileWriter.h"
#include "server/operator/BanList.h"
#include "server/operator/OperatorChannels.h"
#include "server/operator/OperatorCommands.h"
#include "server/metrics/MetricsHttp.h"
#include "server/metrics/ServerFigures.h"
#include "server/room/BacklogPolicy.h"
#include "server/room/ChatRoom.h"
#include "server/room/RoomLink.h"
#include "server/room/ServerCounters.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The chat server's network side, event-driven on one thread: accepts connections, turns away
// those beyond the limits with a line saying why, and runs a ClientSession for each member; time
// drives the room's rounds and the backlog policy. The chat room is only ever touched from that
// thread, so it needs no locks.
//
// What a newcomer is let in to is decided from its address alone, before it has sent anything:
// one banned or beyond the limits costs no TLS work. With TLS, the first byte then tells how the
// client speaks, and a TLS client's handshake is made away from this thread (TlsHandshakes).
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
    // How long a stop waits for members to take their last line and close: every closing
    // connection goes by itself within ClientSession::CloseGrace; this is the bound behind it.
    static constexpr auto StopTime = std::chrono::seconds(3);
    static constexpr const char* StopNotice = "The server is shutting down.";
    // Bans that have ended are dropped at each tick, at most this many at a time, so that
    // thousands ending together never hold the room up.
    static constexpr std::size_t EndedBansPerTick = 256;

    // With tls, connections may speak TLS (options.tlsOnly: must).
    ChatServer(ServerOptions options, std::ostream& log, std::shared_ptr<ServerTls> tls = nullptr,
               OutputLimits limits = {}, HandshakeLimits handshakeLimits = {});
    ~ChatServer();
    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // With --redis, joins the room kept there (waiting for Redis, at most a few seconds): false,
    // with the reason, when Redis cannot be reached, refuses the password, or another server runs
    // as this node. Without, the room is this server alone, and this does nothing.
    bool JoinRoom(std::string& error);
    // Raises the descriptor limit, clamps the client limit to it, reads the ban file, and listens
    // on the configured address and port, for operator commands and for metrics where asked.
    // False, with the reason, when it cannot.
    bool Start(std::string& error);
    // The port listened on (the one the system chose, when port 0 was asked for).
    std::uint16_t Port() const { return port; }
    // SIGINT and SIGTERM stop the server; SIGHUP, where there is one, reloads it.
    void TakeSignals();
    // Runs the event loop until the server stops, then waits (at most
    // BanFileWriter::FinishTime) for the last changes to the bans to be written.
    void Run();
    // From any thread: tells every member the server is shutting down, closes every connection
    // (within StopTime however slowly they read) and ends Run.
    void Stop();
    // On the server's thread: reads the certificate and key again for new connections (the one
    // in use stays when they cannot be used), and the ban file.
    void Reload();

    // For a readiness check, from any thread: whether the server listens, and whether it has a
    // usable certificate (always false without TLS).
    bool Listening() const { return listening; }
    bool HasCertificate() const { return certificateLoaded; }

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
    // Not let in: told why as it can hear it, or closed.
    void TurnAway(asio::ip::tcp::socket socket, std::uint64_t number, const std::string& address,
                  const std::string& refusal, const std::string& line);
    void TurnAwayPlain(asio::ip::tcp::socket socket, std::uint64_t number,
                       const std::string& address, const std::string& refusal,
                       const std::string& line);
    // With TLS, a newcomer that was let in, once its first byte has told how it speaks.
    void Sorted(asio::ip::tcp::socket socket, FirstByte::Kind kind, const std::string& why,
                std::uint64_t number, const std::string& address, const asio::ip::address& ip);
    void Begin(asio::ip::tcp::socket socket, std::uint64_t number, const std::string& address,
               const asio::ip::address& ip, std::unique_ptr<ByteChannel> tlsChannel);
    // A newcomer that was let in and never became a session.
    void Abandoned(std::uint64_t number, const std::string& address, const std::string& why);
    void ReleaseAddress(std::uint64_t number);
    void AcceptFailed(const asio::error_code& error);
    void Tick();
    void WatchdogTick(std::chrono::microseconds interval);
    void WaitForSignal();
    void WaitForReloadSignal();
    void ReloadCertificate();
    void ReloadBans();
    void Shutdown();
    void Finish();
    void Closed(ClientSession& session);
    void BanFileWritten(const std::string& error);
    ServerFigures Figures() const;
    std::unique_ptr<RoomLink> MakeLink();
    void BanFromRoom(const RoomEvent& event);
    // In a room across servers, the room's bans rule over the ban file's.
    void KeepOnlyRoomBans(const std::set<std::string>& roomBans);
    void GiveBanToRoom(const Ban& ban);
    void GiveBanChangesToRoom(const std::map<std::string, Ban>& before,
                              const std::map<std::string, Ban>& after);
    std::size_t OpenConnections() const { return sessions.size() - turnedAway.size() + sorting; }

    ServerOptions options;
    std::ostream& log;
    ServerCounters counters;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer tickTimer;
    asio::steady_timer acceptTimer;
    asio::steady_timer watchdogTimer;
    asio::steady_timer stopTimer;
    std::unique_ptr<asio::signal_set> signals;
    std::unique_ptr<asio::signal_set> reloadSignals;
    ServiceNotifier notifier;
    std::string readyStatus;     // what `systemctl status` shows while the server runs
    RedisLink* redis = nullptr;  // the link, when the room is kept in Redis
    bool streamWaits = false;    // its stream is not read while most members are behind
    bool goodbyePending = false; // stopping: the room has not heard this server's goodbye yet
    bool finished = false;       // stopping: every connection has closed
    std::unique_ptr<RoomLink> link;
    ChatRoom room;
    std::shared_ptr<ServerTls> tls; // the certificate new connections get
    std::unique_ptr<TlsHandshakes> handshakes;
    BanList bans;
    OperatorCommands commands;
    std::unique_ptr<ControlSocket> controlSocket;
    std::unique_ptr<BanFileWriter> banWriter;
    bool banFileFailing = false;
    BacklogPolicy backlog;
    FlushBatch flushes;
    SessionContext context;
    std::uint16_t port = 0;
    bool stopping = false;
    std::atomic<bool> listening{false};
    std::atomic<bool> certificateLoaded{false};

    // Every connection until it has closed, members and those closing or turned away alike.
    std::unordered_map<std::uint64_t, std::shared_ptr<ClientSession>> sessions;
    std::uint64_t nextNumber = 1;
    std::unordered_map<std::uint64_t, std::string> groupOf; // for the per-address limit
    std::unordered_map<std::string, std::size_t> perGroup;
    std::unordered_set<std::uint64_t> turnedAway;
    // Let in, but not yet sessions: waiting for their first byte or for their TLS handshake.
    std::size_t sorting = 0;
    // Turned away, waiting for their first byte to tell how to tell them.
    std::size_t turningAway = 0;
    bool acceptFailureLogged = false;
    // Asks the loop for figures from threads of its own: it goes first when the server does.
    std::unique_ptr<MetricsHttp> metrics;
};
