#include "server/ChatServer.h"

#include "net/Endpoint.h"
#include "server/ServerPlatform.h"
#include "server/metrics/MetricsText.h"
#include "server/connection/ServerTls.h"
#include "server/link/RoomEventCodec.h"
#include "server/operator/BanFile.h"
#include "server/room/IpNetwork.h"
#include "server/room/ServerLog.h"

#include <asio/post.hpp>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <system_error>
#include <thread>

namespace
{

std::string AddressText(const asio::ip::tcp::endpoint& endpoint)
{
    const std::string ip = endpoint.address().to_string();
    const std::string port = std::to_string(endpoint.port());
    return endpoint.address().is_v6() ? "[" + ip + "]:" + port : ip + ":" + port;
}

bool OutOfDescriptors(const asio::error_code& error)
{
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == std::errc::too_many_files_open_in_system;
}

// The handshakes' threads: one beside the room's on a machine of two cores, two where there are
// more.
std::size_t HandshakeThreads()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 3 ? 2 : 1;
}

} // namespace

ChatServer::ChatServer(ServerOptions options, std::ostream& log, std::shared_ptr<ServerTls> tls,
                       OutputLimits limits, HandshakeLimits handshakeLimits)
    : options(std::move(options)), log(log), acceptor(io), tickTimer(io), acceptTimer(io),
      watchdogTimer(io), stopTimer(io), notifier(log), link(MakeLink()),
      room(this->options, log, *link), tls(std::move(tls)),
      commands(room, bans, this->options.banFile, this->options.maxLineBytes, log),
      backlog(Clock::now(), limits),
      flushes(io), context{room,
                           backlog,
                           flushes,
                           log,
                           counters,
                           [this](ClientSession& session) { Closed(session); },
                           this->tls != nullptr}
{
    room.CountInto(counters);
    commands.ReportStatsWith(
        [this] { return StatsText(Figures(), ReadProcessFigures(), std::time(nullptr)); });
    if (this->tls)
    {
        // A TLS client's handshake has as long as a client has to name itself.
        handshakeLimits.time = std::chrono::seconds(this->options.nicknameTimeout);
        handshakes = std::make_unique<TlsHandshakes>(io, handshakeLimits, HandshakeThreads());
    }
    room.OnBans([this](const RoomEvent& event) { BanFromRoom(event); });
}

ChatServer::~ChatServer()
{
    // Its requests wait for this server's loop; none may be under way once the server goes.
    metrics.reset();
    bans.Watch(nullptr);
}

// A ban or unban of another server of the room (or one the room kept from before this server
// started) holds here too, and in the ban file (its writer is told of every change of the list).
void ChatServer::BanFromRoom(const RoomEvent& event)
{
    if (event.origin == link->Node())
        return; // this server's own operator made it, and has it already
    const std::string target = event.network.ToString();
    if (event.kind == RoomEvent::Kind::Banned)
    {
        Ban ban{event.network, event.departure.detail, std::nullopt};
        if (event.until)
            ban.until = static_cast<std::time_t>(*event.until);
        bans.Add(ban);
        WriteLogLine(log, "the room bans " + target +
                              (ban.until ? " until " + UtcText(*ban.until) : " until lifted") +
                              (ban.reason.empty() ? "" : " (" + ban.reason + ")"));
    }
    else if (bans.Remove(event.network))
        WriteLogLine(log, "the room lifted the ban on " + target);
}

// The room on this server alone, or kept in Redis with the other servers that join it.
std::unique_ptr<RoomLink> ChatServer::MakeLink()
{
    if (options.redis.empty())
        return std::make_unique<LocalLink>(options.history);
    RedisRoomOptions room;
    room.address = options.redisAddress;
    room.password = options.redisPassword;
    room.room = options.room;
    room.node = options.node.empty()
                    ? HostName() + "/" + options.listenAddress + ":" + std::to_string(options.port)
                    : options.node;
    room.streamLength = options.streamLength;
    room.history = options.history;
    auto made = RedisLink::Create(io, room, log);
    redis = made.get();
    if (!made)
        return std::make_unique<LocalLink>(options.history);
    return made;
}

bool ChatServer::JoinRoom(std::string& error)
{
    if (!redis)
        return options.redis.empty() || (error = RedisLink::Unavailable()).empty();
    // The name made of the host's name may not do (too long, a space in it).
    const std::string problem = RoomEventCodec::NodeProblem(redis->Node());
    if (!problem.empty())
    {
        error = "this server's name in the room, " + redis->Node() + ", will not do (" + problem +
                "): give one with --node NAME";
        return false;
    }
    // While Redis is away, the server reads from none of its members.
    redis->OnAvailable([this](bool available) { backlog.Hold(!available); });
    redis->OnEnded([this](const std::string&) { Stop(); });
    bool decided = false;
    redis->Start([&](const std::string& why) {
        decided = true;
        error = why;
    });
    while (!decided && io.run_one() > 0)
    {
    }
    if (io.stopped())
        io.restart();
    return decided && error.empty();
}

bool ChatServer::Start(std::string& error)
{
    const std::size_t descriptors = RaiseDescriptorLimit();
    if (descriptors != NoDescriptorLimit && options.maxClients + ReservedDescriptors > descriptors)
    {
        const std::size_t allowed =
            descriptors > ReservedDescriptors + 1 ? descriptors - ReservedDescriptors : 1;
        WriteLogLine(log, "--max-clients " + std::to_string(options.maxClients) + " lowered to " +
                              std::to_string(allowed) + ": the system lets this process open " +
                              std::to_string(descriptors) + " files");
        options.maxClients = allowed;
    }

    if (!options.banFile.empty())
    {
        std::vector<std::string> problems;
        if (!BanFile::Read(options.banFile, std::time(nullptr), bans, problems, error))
            return false;
        for (const auto& problem : problems)
            WriteLogLine(log, problem);
        WriteLogLine(log, std::to_string(bans.Size()) + (bans.Size() == 1 ? " ban" : " bans") +
                              " in force, from " + options.banFile);
        // Written from a thread of its own; what became of each write comes back to this one.
        banWriter = std::make_unique<BanFileWriter>(
            options.banFile, bans, [this](const std::string& written) {
                asio::post(io, [this, written] { BanFileWritten(written); });
            });
        bans.Watch(banWriter.get());
        if (redis)
            KeepOnlyRoomBans(redis->BannedNetworks());
    }

    const oNet::Endpoint endpoint(options.listenAddress.c_str(), options.port);
    if (endpoint.ipVersion == oNet::IpVersion::Unresolved)
    {
        error = "cannot resolve the address " + options.listenAddress;
        return false;
    }
    asio::error_code failure;
    const asio::ip::tcp::endpoint where(asio::ip::make_address(endpoint.ipText, failure),
                                        options.port);
    const std::string named = options.listenAddress + " port " + std::to_string(options.port);
    if (!failure)
        acceptor.open(where.protocol(), failure);
    if (!failure)
    {
        AllowQuickRestart(acceptor);
        acceptor.bind(where, failure);
    }
    if (!failure)
        acceptor.listen(asio::socket_base::max_listen_connections, failure);
    if (failure)
    {
        error = "cannot listen on " + named + ": " + failure.message();
        asio::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    port = acceptor.local_endpoint(failure).port();
    WriteLogLine(log, "listening on " + endpoint.ipText + " port " + std::to_string(port) +
                          " for up to " + std::to_string(options.maxClients) + " clients");
    if (tls)
        WriteLogLine(log, std::string("TLS on") +
                              (options.tlsOnly ? ", plain connections refused"
                                               : " beside plain connections") +
                              "; the pin for clients' tls-pin= is " + tls->Pin());
    if (!options.control.empty())
    {
        controlSocket = ControlSocket::Open(
            io, options.control,
            [this](const std::string& line) { return Command(line, "control socket"); }, log,
            error);
        if (!controlSocket)
            return false;
        WriteLogLine(log, "taking operator commands at " + options.control);
    }
    if (options.console || OperatorConsole::InputIsTerminal())
    {
        OperatorConsole::Start(
            io, [this](const std::string& line) { return Command(line, "console"); }, log);
        WriteLogLine(log, "taking operator commands from the console (help lists them)");
    }
    if (!options.metricsHost.empty())
    {
        metrics = MetricsHttp::Start(
            options.metricsHost, options.metricsPort,
            [this](std::chrono::milliseconds wait) { return AskFigures(wait); }, error);
        if (!metrics)
            return false;
        const std::string host = options.metricsHost.find(':') != std::string::npos
                                     ? "[" + options.metricsHost + "]"
                                     : options.metricsHost;
        WriteLogLine(log, "metrics at http://" + host + ":" + std::to_string(metrics->Port()) +
                              "/metrics, health at /healthz, readiness at /readyz");
    }
    Accept();
    Tick();
    listening = true;
    certificateLoaded = tls != nullptr;
    readyStatus = "listening on " + endpoint.ipText + " port " + std::to_string(port);
    notifier.Ready(readyStatus);
    const auto watchdog = notifier.WatchdogInterval();
    if (watchdog.count() > 0)
        WatchdogTick(watchdog);
    return true;
}

// From the event loop itself: a loop that is stuck sends nothing, and the service manager
// restarts the server.
void ChatServer::WatchdogTick(std::chrono::microseconds interval)
{
    notifier.Alive();
    watchdogTimer.expires_after(interval);
    watchdogTimer.async_wait([this, interval](const asio::error_code& error) {
        if (!error)
            WatchdogTick(interval);
    });
}

CommandAnswer ChatServer::Command(const std::string& line, const std::string& source)
{
    // The room is being left: nothing more is done in it.
    if (stopping)
        return {false, "the server is shutting down\n", {}};
    return commands.Run(line, source, Clock::now(), std::time(nullptr));
}

std::optional<ServerFigures> ChatServer::AskFigures(std::chrono::milliseconds wait)
{
    // Shared with the handler, which may run after the asker has given up on it.
    auto answer = std::make_shared<std::promise<ServerFigures>>();
    std::future<ServerFigures> figures = answer->get_future();
    asio::post(io, [this, answer] { answer->set_value(Figures()); });
    if (figures.wait_for(wait) != std::future_status::ready)
        return std::nullopt;
    return figures.get();
}

ServerFigures ChatServer::Figures() const
{
    ServerFigures figures;
    figures.counters = counters;
    figures.members = room.LocalNamedCount();
    figures.connections = sessions.size() + sorting + turningAway;
    figures.bans = bans.Size();
    figures.listening = listening;
    if (tls)
        figures.tls = TlsFigures{certificateLoaded ? tls->NotAfter() : 0};
    // The engine that carries a room across servers: Redis.
    if (redis)
    {
        const LinkFigures link = redis->Figures();
        figures.engine = EngineFigures{link.up, link.lagEntries, link.reconnects, link.gaps};
    }
    return figures;
}

void ChatServer::TakeSignals()
{
    signals = std::make_unique<asio::signal_set>(io);
    for (int signal : StopSignals())
        signals->add(signal);
    signals->async_wait([this](const asio::error_code& error, int) {
        if (!error)
            Shutdown();
    });
    if (ReloadSignals().empty())
        return;
    reloadSignals = std::make_unique<asio::signal_set>(io);
    for (int signal : ReloadSignals())
        reloadSignals->add(signal);
    WaitForReloadSignal();
}

void ChatServer::WaitForReloadSignal()
{
    reloadSignals->async_wait([this](const asio::error_code& error, int) {
        if (error || stopping)
            return;
        Reload();
        WaitForReloadSignal();
    });
}

void ChatServer::Reload()
{
    if (stopping)
        return;
    notifier.Reloading();
    if (options.tlsCert.empty() && options.banFile.empty())
        WriteLogLine(log, "reload: nothing to read again (no --tls-cert, no --ban-file)");
    if (!options.tlsCert.empty())
        ReloadCertificate();
    if (!options.banFile.empty())
        ReloadBans();
    notifier.Ready(readyStatus);
}

// A certificate renewed with the same key keeps its pin; one with a new key does not, and the
// clients that trust the old pin will refuse it: the log says which it is.
void ChatServer::ReloadCertificate()
{
    std::string error;
    std::shared_ptr<ServerTls> fresh = ServerTls::Load(options.tlsCert, options.tlsKey, error);
    if (!fresh)
    {
        WriteLogLine(log, "certificate not reloaded, the one in use stays: " + error);
        return;
    }
    const std::string pin = fresh->Pin();
    const bool samePin = tls && tls->Pin() == pin;
    tls = std::move(fresh);
    certificateLoaded = true;
    WriteLogLine(log, "certificate reloaded from " + options.tlsCert +
                          " for new connections; the pin for clients' tls-pin= is " + pin +
                          (samePin ? " (unchanged)"
                                   : " (a new key: clients that trust the old pin will refuse "
                                     "the server until they trust this one)"));
}

void ChatServer::Run()
{
    io.run();
    std::string error;
    if (banWriter && !banWriter->Finish(BanFileWriter::FinishTime, error))
        WriteLogLine(log, error);
}

void ChatServer::Stop()
{
    asio::post(io, [this] { Shutdown(); });
}

// Every member hears that the server is shutting down after what waits for it, and has until
// its connection's close grace to take it and go; handshakes in progress are dropped.
void ChatServer::Shutdown()
{
    if (stopping)
        return;
    stopping = true;
    listening = false;
    notifier.Stopping();
    WriteLogLine(log, "shutting down: telling " + std::to_string(sessions.size()) +
                          " connections and closing them");
    asio::error_code ignored;
    acceptor.close(ignored);
    tickTimer.cancel();
    acceptTimer.cancel();
    if (signals)
        signals->cancel(ignored);
    if (reloadSignals)
        reloadSignals->cancel(ignored);
    if (handshakes)
        handshakes->Stop();
    const Frame notice = ChatRoom::ServerLine(StopNotice);
    std::vector<std::shared_ptr<ClientSession>> all;
    all.reserve(sessions.size());
    for (const auto& entry : sessions)
        all.push_back(entry.second);
    for (const auto& session : all)
        session->Shutdown(notice);
    // A server of a room across servers says goodbye at once: its members leave for everyone
    // while their connections close.
    if (redis)
    {
        goodbyePending = true;
        redis->Stop([this] {
            goodbyePending = false;
            if (finished)
                io.stop();
        });
    }
    if (sessions.empty())
    {
        Finish();
        return;
    }
    stopTimer.expires_after(StopTime);
    stopTimer.async_wait([this](const asio::error_code& error) {
        if (!error)
            Finish();
    });
}

void ChatServer::Finish()
{
    std::vector<std::shared_ptr<ClientSession>> left;
    for (const auto& entry : sessions)
        left.push_back(entry.second);
    for (const auto& session : left)
        session->Close(true);
    stopTimer.cancel();
    watchdogTimer.cancel();
    finished = true;
    if (!goodbyePending)
        io.stop();
}

// In a room across servers the room's bans rule: a ban of the file the room does not keep was
// lifted while this server was away (or never given to the room), and goes from the file too.
void ChatServer::KeepOnlyRoomBans(const std::set<std::string>& roomBans)
{
    std::vector<IpNetwork> extra;
    for (const Ban& ban : bans.All())
        if (roomBans.count(ban.network.ToString()) == 0)
            extra.push_back(ban.network);
    for (const IpNetwork& network : extra)
        bans.Remove(network);
    if (!extra.empty())
        WriteLogLine(log, std::to_string(extra.size()) + (extra.size() == 1 ? " ban" : " bans") +
                              " of " + options.banFile +
                              " not kept by the room (lifted while this server was away, or never "
                              "given to the room) left out: the room's bans hold; to give bans to "
                              "the room, ban them, or add them to the file and reload");
}

// A ban put in place here (from the ban file) for the whole room, as the operator's ban does:
// every server removes its members from there, this one too.
void ChatServer::GiveBanToRoom(const Ban& ban)
{
    const std::string told = "You were removed from the room: you are banned from this server" +
                             (ban.reason.empty() ? "." : " (" + ban.reason + ").");
    room.Ban(ban.network,
             ban.until ? std::optional<std::int64_t>(static_cast<std::int64_t>(*ban.until))
                       : std::nullopt,
             told, ban.reason.empty() ? "banned" : "banned: " + ban.reason,
             Departure{LeaveReason::Banned, ban.reason});
}

// In a room across servers, a reloaded ban file's changes go to the room, as the operator's ban
// and unban do: every server applies them.
void ChatServer::GiveBanChangesToRoom(const std::map<std::string, Ban>& before,
                                      const std::map<std::string, Ban>& after)
{
    std::size_t added = 0, lifted = 0, changed = 0;
    for (const auto& [target, ban] : before)
        if (after.count(target) == 0)
        {
            bans.Remove(ban.network);
            room.Unban(ban.network);
            ++lifted;
        }
    for (const auto& [target, ban] : after)
    {
        const auto old = before.find(target);
        if (old != before.end() && old->second.until == ban.until &&
            old->second.reason == ban.reason)
            continue;
        ++(old == before.end() ? added : changed);
        bans.Add(ban);
        GiveBanToRoom(ban);
    }
    WriteLogLine(log, "ban file reloaded from " + options.banFile + " and given to the room: " +
                          std::to_string(added) + " added, " + std::to_string(lifted) +
                          " lifted, " + std::to_string(changed) + " changed");
}

// The ban file as the operator left it: bans added take effect (members from there are removed,
// as by `ban`) and bans taken out are lifted. A file that is not there, cannot be read, or holds
// a line that cannot be read changes nothing, so that no slip of the hand lifts a ban.
void ChatServer::ReloadBans()
{
    const std::string kept = "ban file not reloaded, the " + std::to_string(bans.Size()) +
                             (bans.Size() == 1 ? " ban in force stays: " : " bans in force stay: ");
    std::error_code missing;
    if (!std::filesystem::exists(options.banFile, missing))
    {
        WriteLogLine(log, kept + options.banFile + " is not there");
        return;
    }
    BanList fresh;
    std::vector<std::string> problems;
    std::string error;
    if (!BanFile::Read(options.banFile, std::time(nullptr), fresh, problems, error))
    {
        WriteLogLine(log, kept + error);
        return;
    }
    if (!problems.empty())
    {
        std::string first = problems.front();
        const std::string skipped = "; skipped";
        if (first.size() > skipped.size() &&
            first.compare(first.size() - skipped.size(), skipped.size(), skipped) == 0)
            first.resize(first.size() - skipped.size());
        WriteLogLine(log, kept + first +
                              (problems.size() > 1
                                   ? " (and " + std::to_string(problems.size() - 1) + " more)"
                                   : ""));
        return;
    }

    std::map<std::string, Ban> before, after;
    for (const Ban& ban : bans.All())
        before.emplace(ban.network.ToString(), ban);
    for (const Ban& ban : fresh.All())
        after.emplace(ban.network.ToString(), ban);
    if (room.Shared())
    {
        GiveBanChangesToRoom(before, after);
        return;
    }
    // Applied one change at a time, as the operator's commands make them.
    std::size_t added = 0, lifted = 0, changed = 0, removed = 0;
    for (const auto& [target, ban] : before)
        if (after.count(target) == 0)
        {
            bans.Remove(ban.network);
            ++lifted;
        }
    for (const auto& [target, ban] : after)
    {
        const auto old = before.find(target);
        if (old != before.end())
        {
            if (old->second.until != ban.until || old->second.reason != ban.reason)
            {
                bans.Add(ban);
                ++changed;
            }
            continue;
        }
        bans.Add(ban);
        ++added;
        const std::string told = "You were removed from the room: you are banned from this server" +
                                 (ban.reason.empty() ? "." : " (" + ban.reason + ").");
        removed +=
            room.Remove(ban.network, told, ban.reason.empty() ? "banned" : "banned: " + ban.reason,
                        Departure{LeaveReason::Banned, ban.reason})
                .size();
    }
    WriteLogLine(
        log, "ban file reloaded from " + options.banFile + ": " + std::to_string(bans.Size()) +
                 (bans.Size() == 1 ? " ban" : " bans") + " in force (" + std::to_string(added) +
                 " added, " + std::to_string(lifted) + " lifted, " + std::to_string(changed) +
                 " changed" +
                 (removed ? "; " + std::to_string(removed) + " removed from the room" : "") + ")");
}

// ---------------------------------------------------------------------------------------------
// Accepting.

void ChatServer::Accept()
{
    acceptor.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (error == asio::error::operation_aborted || stopping)
            return;
        if (error)
        {
            AcceptFailed(error);
            return;
        }
        acceptFailureLogged = false;
        Accepted(std::move(socket));
        Accept();
    });
}

// Out of descriptors, the waiting connection stays waiting and every new attempt fails at once:
// the failure is logged once and accepting pauses, rather than spinning.
void ChatServer::AcceptFailed(const asio::error_code& error)
{
    if (!acceptFailureLogged)
    {
        acceptFailureLogged = true;
        WriteLogLine(log, std::string("cannot accept connections") +
                              (OutOfDescriptors(error) ? ": out of file descriptors" : "") + " (" +
                              error.message() + "); trying again every 100 ms");
    }
    acceptTimer.expires_after(AcceptPause);
    acceptTimer.async_wait([this](const asio::error_code& waited) {
        if (!waited && !stopping)
            Accept();
    });
}

void ChatServer::Accepted(asio::ip::tcp::socket socket)
{
    asio::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error)
        return; // gone already
    const std::string address = AddressText(remote);
    const std::string group = AddressGroup(remote.address());
    const std::uint64_t number = nextNumber++;

    // Decided from the address alone. Connections still closing hold their descriptors, so they
    // count until they have closed.
    std::string refusal;
    std::string line;
    const Ban* ban = bans.Find(remote.address(), std::time(nullptr));
    const auto fromGroup = perGroup.find(group);
    if (ban)
    {
        refusal = "banned (" + ban->network.ToString() + ")";
        line = "You are banned from this server." +
               (ban->reason.empty() ? "" : " Reason: " + ban->reason + ".") +
               (ban->until ? " The ban ends " + UtcText(*ban->until) + " (UTC)." : "");
    }
    else if (OpenConnections() >= options.maxClients)
    {
        refusal = "server full";
        line = "Server is full.";
    }
    else if (options.maxPerAddress != 0 && fromGroup != perGroup.end() &&
             fromGroup->second >= options.maxPerAddress)
    {
        refusal = "too many connections from its address";
        line = "Too many connections from your address.";
    }
    if (!refusal.empty())
    {
        TurnAway(std::move(socket), number, address, refusal, line);
        return;
    }

    WriteLogLine(log, "connection from " + address);
    ++perGroup[group];
    groupOf.emplace(number, group);
    if (!tls)
    {
        Begin(std::move(socket), number, address, remote.address(), nullptr);
        return;
    }
    ++sorting;
    FirstByte::Await(std::move(socket), std::chrono::seconds(options.nicknameTimeout),
                     [this, number, address, ip = remote.address()](asio::ip::tcp::socket socket,
                                                                    FirstByte::Kind kind,
                                                                    const std::string& why) {
                         Sorted(std::move(socket), kind, why, number, address, ip);
                     });
}

void ChatServer::TurnAway(asio::ip::tcp::socket socket, std::uint64_t number,
                          const std::string& address, const std::string& refusal,
                          const std::string& line)
{
    counters.CountDeparture(LeaveReason::TurnedAway);
    if (turnedAway.size() + turningAway >= MaxTurningAway)
    {
        // Too many at once to tell each why: the newest are closed straight away.
        WriteLogLine(log, "connection from " + address + " closed: " + refusal);
        return;
    }
    WriteLogLine(log, "connection from " + address + " turned away: " + refusal);
    if (!tls)
    {
        TurnAwayPlain(std::move(socket), number, address, refusal, line);
        return;
    }
    // A plain client is told why; a TLS client is closed as soon as it is known for one, before
    // any TLS work, since telling it would take a handshake.
    ++turningAway;
    FirstByte::Await(
        std::move(socket),
        std::chrono::duration_cast<std::chrono::seconds>(ClientSession::CloseGrace),
        [this, number, address, refusal, line](asio::ip::tcp::socket socket, FirstByte::Kind kind,
                                               const std::string& why) {
            --turningAway;
            if (stopping)
                return;
            if (kind == FirstByte::Kind::Plain)
                TurnAwayPlain(std::move(socket), number, address, refusal, line);
            else if (kind == FirstByte::Kind::Tls)
                WriteLogLine(log,
                             address + " closed at once: a TLS client turned away: " + refusal);
            else
                WriteLogLine(log, address + " disconnected: turned away: " + refusal + "; " + why);
        });
}

void ChatServer::TurnAwayPlain(asio::ip::tcp::socket socket, std::uint64_t number,
                               const std::string& address, const std::string& refusal,
                               const std::string& line)
{
    auto session = std::make_shared<ClientSession>(context, std::move(socket), number, address);
    turnedAway.insert(number);
    sessions.emplace(number, session);
    session->TurnAway(ChatRoom::ServerLine(line), {LeaveReason::TurnedAway, refusal});
}

void ChatServer::Sorted(asio::ip::tcp::socket socket, FirstByte::Kind kind, const std::string& why,
                        std::uint64_t number, const std::string& address,
                        const asio::ip::address& ip)
{
    if (stopping)
        return;
    if (kind == FirstByte::Kind::Gone || kind == FirstByte::Kind::Silent)
    {
        // Left before the room: as it would have in it, without a nickname.
        counters.CountDeparture(kind == FirstByte::Kind::Silent ? LeaveReason::Timeout
                                                                 : LeaveReason::Left);
        Abandoned(number, address, why);
        return;
    }
    if (kind == FirstByte::Kind::Plain)
    {
        --sorting;
        if (!options.tlsOnly)
        {
            Begin(std::move(socket), number, address, ip, nullptr);
            return;
        }
        // Let in by its address, it still holds its place until it has gone.
        counters.CountDeparture(LeaveReason::TurnedAway);
        auto session = std::make_shared<ClientSession>(context, std::move(socket), number, address);
        sessions.emplace(number, session);
        session->TurnAway(
            ChatRoom::ServerLine("This server accepts encrypted connections only."),
            {LeaveReason::TurnedAway, "a plain connection, and this server accepts TLS only"});
        return;
    }
    const auto group = groupOf.find(number);
    handshakes->Begin(std::move(socket), tls, group != groupOf.end() ? group->second : "",
                      [this, number, address, ip](asio::ip::tcp::socket socket,
                                                  std::unique_ptr<ByteChannel> channel,
                                                  const std::string& failure) {
                          if (stopping)
                              return;
                          if (!channel)
                          {
                              ++counters.tlsHandshakesFailed;
                              Abandoned(number, address, failure);
                              return;
                          }
                          ++counters.tlsHandshakes;
                          --sorting;
                          Begin(std::move(socket), number, address, ip, std::move(channel));
                      });
}

void ChatServer::Begin(asio::ip::tcp::socket socket, std::uint64_t number,
                       const std::string& address, const asio::ip::address& ip,
                       std::unique_ptr<ByteChannel> tlsChannel)
{
    auto session = std::make_shared<ClientSession>(context, std::move(socket), number, address,
                                                   std::move(tlsChannel));
    sessions.emplace(number, session);
    session->Start(room.Join(*session, address, Clock::now(), ip));
}

void ChatServer::Abandoned(std::uint64_t number, const std::string& address, const std::string& why)
{
    --sorting;
    ReleaseAddress(number);
    WriteLogLine(log, address + " disconnected: " + why);
}

void ChatServer::ReleaseAddress(std::uint64_t number)
{
    const auto group = groupOf.find(number);
    if (group == groupOf.end())
        return;
    if (--perGroup[group->second] == 0)
        perGroup.erase(group->second);
    groupOf.erase(group);
}

// ---------------------------------------------------------------------------------------------
// Time: the room's registration time-outs and collected announcements, and the members that
// are behind.

void ChatServer::Tick()
{
    const auto now = Clock::now();
    room.Tick(now, backlog.RoomWaits());
    // While most members are behind, the room's stream waits in Redis rather than here, and is
    // read again as soon as they have caught up.
    if (redis && !streamWaits && backlog.ReadersBehind())
    {
        streamWaits = true;
        redis->Read(false);
        backlog.WaitForReaders([this] {
            streamWaits = false;
            redis->Read(true);
        });
    }
    bans.DropEnded(std::time(nullptr), EndedBansPerTick);
    for (const auto& letGo : backlog.Tick(now))
    {
        const auto found = sessions.find(letGo.id);
        if (found != sessions.end())
            found->second->LetGo(letGo.departure);
    }
    for (const std::uint64_t id : backlog.Behind())
    {
        const auto found = sessions.find(id);
        if (found != sessions.end())
            found->second->TryWrite();
    }

    tickTimer.expires_after(TickInterval);
    tickTimer.async_wait([this](const asio::error_code& error) {
        if (!error && !stopping)
            Tick();
    });
}

// On the server's thread, after each write of the ban file: a failure is logged, and said to
// the operator with every change to the bans until a write succeeds again.
void ChatServer::BanFileWritten(const std::string& error)
{
    commands.BanFileWritten(error);
    if (!error.empty())
        WriteLogLine(log, error + ": the bans hold until the server stops, unless it can be "
                                  "written again");
    else if (banFileFailing)
        WriteLogLine(log, "the ban file " + options.banFile + " is written again");
    banFileFailing = !error.empty();
}

void ChatServer::Closed(ClientSession& session)
{
    const std::uint64_t number = session.Number();
    ReleaseAddress(number);
    turnedAway.erase(number);
    // The session may be in the middle of a call: it is let go once the current handler is done.
    const auto found = sessions.find(number);
    if (found == sessions.end())
        return;
    asio::post(io, [retired = std::move(found->second)] {});
    sessions.erase(found);
    if (stopping && sessions.empty())
        asio::post(io, [this] { Finish(); });
}
