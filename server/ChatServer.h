#pragma once

#include "server/MemberAddresses.h"
#include "server/ServerOptions.h"
#include "server/ServiceNotifier.h"
#include "server/connection/ClientSession.h"
#include "server/connection/FirstByte.h"
#include "server/connection/FlushBatch.h"
#include "server/connection/SessionContext.h"
#include "server/connection/TlsHandshakes.h"
#include "server/link/RedisLink.h"
#include "server/metrics/MetricsHttp.h"
#include "server/metrics/ServerFigures.h"
#include "server/operator/BanFileReload.h"
#include "server/operator/BanFileWriter.h"
#include "server/operator/BanList.h"
#include "server/operator/ControlSocket.h"
#include "server/operator/OperatorCommands.h"
#include "server/operator/OperatorConsole.h"
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
#include <mutex>
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
// client speaks, and a TLS client's handshake is made away from this thread (TlsHandshakes). A
// ban made meanwhile is checked again once the first byte has come and once the handshake is
// made, and the newcomer's time to name itself counts from its accept, whatever it waited for.
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
    // The whole stop, from the signal to the end of Run: the members' last lines and closes, the
    // room's goodbye (through Redis) and the last write of the ban file all happen within it,
    // side by side; whatever is not done by then is left, so that the process is gone well
    // within the 5 seconds a service manager may give it.
    static constexpr auto StopLimit = std::chrono::milliseconds(4500);
    // Of StopLimit, what is kept for the steps after the loop has ended (the ban file's last
    // write, letting the threads go).
    static constexpr auto LastSteps = std::chrono::milliseconds(500);
    static constexpr const char* StopNotice = "The server is shutting down.";
    // Bans that have ended are dropped at each tick, at most this many at a time, so that
    // thousands ending together never hold the room up.
    static constexpr std::size_t EndedBansPerTick = 256;
    // A reload of the ban file applies this many changes at a time, with the room's other work
    // in between.
    static constexpr std::size_t BanChangesPerSlice = 1000;

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
    // SIGINT and SIGTERM stop the server; SIGHUP, where there is one, reloads it. Called before
    // Start, so that a signal that comes once the service manager has heard the server is ready
    // finds it ready for the signal too.
    void TakeSignals();
    // Runs the event loop until the server stops, then waits, within StopLimit of the stop's
    // beginning, for the last changes to the bans to be written.
    void Run();
    // From any thread: tells every member the server is shutting down, closes every connection
    // (within StopTime however slowly they read) and ends Run.
    void Stop();
    // On the server's thread: reads the certificate and key again for new connections (the one
    // in use stays when they cannot be used), and the ban file (read on its writer's thread and
    // applied a slice at a time: the service manager hears the server is ready again once it
    // has been).
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
    // A connection let in by its address, on its way to the room.
    struct Newcomer
    {
        std::uint64_t number = 0;
        std::string address; // as the log shows it
        asio::ip::address ip;
        Clock::time_point acceptedAt; // what its time to name itself counts from
    };
    // Why a connection is not let in: as the log says it, and the line that tells the client.
    struct Refusal
    {
        std::string why;
        std::string line;
    };

    void Accept();
    void Accepted(asio::ip::tcp::socket socket);
    // The refusal of a ban in force on the address; an empty one when there is none.
    Refusal BanRefusal(const asio::ip::address& ip) const;
    // Not let in: told why as it can hear it, or closed.
    void TurnAway(asio::ip::tcp::socket socket, std::uint64_t number, const std::string& address,
                  const Refusal& refusal);
    void TurnAwayPlain(asio::ip::tcp::socket socket, std::uint64_t number,
                       const std::string& address, const Refusal& refusal);
    // With TLS, a newcomer that was let in, once its first byte has told how it speaks.
    void Sorted(asio::ip::tcp::socket socket, FirstByte::Kind kind, const std::string& why,
                const Newcomer& newcomer);
    void Handshaken(asio::ip::tcp::socket socket, HandshakeEnd end, const Newcomer& newcomer);
    void Begin(asio::ip::tcp::socket socket, const Newcomer& newcomer,
               std::unique_ptr<ByteChannel> tlsChannel);
    // A newcomer that was let in and never became a session: counted as leaving for reason, and
    // logged as its address and what became of it.
    void Abandoned(const Newcomer& newcomer, LeaveReason reason, const std::string& what);
    void ReleaseAddress(std::uint64_t number);
    void AcceptFailed(const asio::error_code& error);
    void Tick();
    void WatchdogTick(std::chrono::microseconds interval);
    void WaitForSignal();
    void WaitForReloadSignal();
    void ReloadCertificate();
    void ReloadBans();
    void BansReloaded(BanFileReload reload);
    void ApplyBanSlice();
    // Ends a ban reload: reads the file again if asked meanwhile, or tells systemd it is ready.
    void EndBanReload();
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
    std::unique_ptr<OperatorConsole> console;
    std::unique_ptr<BanFileWriter> banWriter;
    bool banFileFailing = false;
    // A reload of the ban file: read by the writer, then applied here a slice at a time.
    bool banReloadUnderWay = false;
    bool banReloadAgain = false; // asked for again meanwhile
    std::optional<BanFileReload> banReload;
    std::size_t removedByReload = 0;
    BacklogPolicy backlog;
    FlushBatch flushes;
    SessionContext context;
    std::uint16_t port = 0;
    bool stopping = false;
    Clock::time_point stopDeadline; // stopping: the end of StopLimit
    std::atomic<bool> listening{false};
    std::atomic<bool> certificateLoaded{false};

    // Every connection until it has closed, members and those closing or turned away alike.
    std::unordered_map<std::uint64_t, std::shared_ptr<ClientSession>> sessions;
    MemberAddresses memberAddresses; // of the sessions that joined the room
    std::uint64_t nextNumber = 1;
    std::unordered_map<std::uint64_t, std::string> groupOf; // for the per-address limit
    std::unordered_map<std::string, std::size_t> perGroup;
    std::unordered_set<std::uint64_t> turnedAway;
    // Let in, but not yet sessions: waiting for their first byte or for their TLS handshake.
    std::size_t sorting = 0;
    // Turned away, waiting for their first byte to tell how to tell them.
    std::size_t turningAway = 0;
    bool acceptFailureLogged = false;
    // Once the loop has ended, nothing more is asked of it: an ask comes back at once.
    std::mutex figuresMutex;
    bool loopEnded = false;
    // Asks the loop for figures from threads of its own: it goes first when the server does.
    std::unique_ptr<MetricsHttp> metrics;
};
