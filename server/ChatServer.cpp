#include "server/ChatServer.h"

#include "net/Endpoint.h"
#include "server/ServerPlatform.h"
#include "server/connection/ServerTls.h"
#include "server/link/RoomEventCodec.h"
#include "server/metrics/MetricsText.h"
#include "server/operator/BanFile.h"
#include "server/room/IpNetwork.h"
#include "server/room/ServerLog.h"

#include <asio/post.hpp>

#include <algorithm>
#include <ctime>
#include <future>
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
        handshakes = std::make_unique<TlsHandshakes>(io, handshakeLimits, HandshakeThreads(),
                                                     GiveWayToTheRoom);
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
        // The room may have brought bans already: the file's are kept apart too, since a reload
        // is compared with what the file holds, not with what is in force.
        BanList inFile;
        std::vector<BanFileProblem> problems;
        if (!BanFile::Read(options.banFile, std::time(nullptr), inFile, problems, error))
            return false;
        for (const auto& problem : problems)
            WriteLogLine(log, problem.Logged(options.banFile));
        std::vector<Ban> fileBans = inFile.All();
        for (const Ban& ban : fileBans)
            bans.Add(ban);
        WriteLogLine(log, std::to_string(bans.Size()) + (bans.Size() == 1 ? " ban" : " bans") +
                              " in force, from " + options.banFile);
        // Written from a thread of its own; what became of each write comes back to this one.
        banWriter = std::make_unique<BanFileWriter>(
            options.banFile, bans, std::move(fileBans), [this](const std::string& written) {
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
    // Last, since nothing after it can fail: its reader thread outlives a server that never
    // started, and reaches it only while the console lasts.
    if (options.console || OperatorConsole::InputIsTerminal())
    {
        console = std::make_unique<OperatorConsole>(
            io, [this](const std::string& line) { return Command(line, "console"); }, log);
        WriteLogLine(log, "taking operator commands from the console (help lists them)");
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
    {
        // Asked before the loop ended, it is answered by the loop's last round (Run).
        std::lock_guard<std::mutex> lock(figuresMutex);
        if (loopEnded)
            return std::nullopt;
        asio::post(io, [this, answer] { answer->set_value(Figures()); });
    }
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
    else
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
    {
        // Figures asked for before now are given by one last round of the loop; none are asked
        // of it after.
        std::lock_guard<std::mutex> lock(figuresMutex);
        loopEnded = true;
    }
    io.restart();
    io.poll();
    metrics.reset();
    const auto deadline = stopping ? stopDeadline : Clock::now() + BanFileWriter::FinishTime;
    std::string error;
    if (banWriter && !banWriter->Finish(deadline, error))
        WriteLogLine(log, error);
}

void ChatServer::Stop()
{
    asio::post(io, [this] { Shutdown(); });
}

// Every member hears that the server is shutting down after what waits for it, and has until
// its connection's close grace to take it and go; handshakes in progress are dropped. The stop
// has StopLimit in all: the members' part ends within StopTime, and the ban file's writer is
// hurried meanwhile.
void ChatServer::Shutdown()
{
    if (stopping)
        return;
    stopping = true;
    stopDeadline = Clock::now() + StopLimit;
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
    if (banWriter)
        banWriter->Hurry();
    // A reload of the ban file still being applied stops here: its writer took the edit into
    // what it writes already, so that the file keeps it.
    banReload.reset();
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
    {
        io.stop();
        return;
    }
    // The room's goodbye through Redis is not waited for beyond the stop's limit, less the time
    // the last steps after the loop may take.
    stopTimer.expires_at(stopDeadline - LastSteps);
    stopTimer.async_wait([this](const asio::error_code& error) {
        if (error)
            return;
        WriteLogLine(log, "the room's goodbye through Redis was not done in time; the other "
                          "servers will see this one's members gone when its node expires");
        io.stop();
    });
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
    room.Ban(ban.network,
             ban.until ? std::optional<std::int64_t>(static_cast<std::int64_t>(*ban.until))
                       : std::nullopt,
             ban.Told(), ban.Note(), ban.HowLeft());
}

// The ban file as the operator left it: bans added take effect (members from there are removed,
// as by `ban`) and bans taken out are lifted. The writer reads it, off this thread, and compares
// it with what it last wrote there, so that the server's own changes not yet written stay; this
// thread applies the changes a slice at a time. A file that is not there, cannot be read, or
// holds a line that cannot be read changes nothing. One reload at a time: one asked for meanwhile
// follows it.
void ChatServer::ReloadBans()
{
    if (banReloadUnderWay)
    {
        banReloadAgain = true;
        return;
    }
    banReloadUnderWay = true;
    banWriter->Reload(std::time(nullptr), [this](BanFileReload reload) {
        auto read = std::make_shared<BanFileReload>(std::move(reload));
        asio::post(io, [this, read] { BansReloaded(std::move(*read)); });
    });
}

void ChatServer::BansReloaded(BanFileReload reload)
{
    if (stopping)
        return;
    if (!reload.Refusal().empty())
    {
        WriteLogLine(log,
                     "ban file not reloaded, the " + std::to_string(bans.Size()) +
                         (bans.Size() == 1 ? " ban in force stays: " : " bans in force stay: ") +
                         reload.Refusal());
        EndBanReload();
        return;
    }
    for (const auto& problem : reload.Problems())
        WriteLogLine(log, problem.Logged(options.banFile));
    banReload.emplace(std::move(reload));
    removedByReload = 0;
    ApplyBanSlice();
}

void ChatServer::ApplyBanSlice()
{
    if (stopping || !banReload)
        return;
    std::vector<BanFileReload::Change> applied;
    const bool more = banReload->ApplySome(bans, BanChangesPerSlice, applied);
    for (const BanFileReload::Change& change : applied)
    {
        // In a room across servers the file's changes go to the room, as the operator's ban and
        // unban do: every server applies them, this one too.
        if (room.Shared())
        {
            if (change.ban)
                GiveBanToRoom(*change.ban);
            else
                room.Unban(change.network);
            continue;
        }
        if (!change.ban || !memberAddresses.AnyIn(change.network))
            continue;
        const Ban& ban = *change.ban;
        removedByReload += room.Remove(ban.network, ban.Told(), ban.Note(), ban.HowLeft()).size();
    }
    if (more)
    {
        asio::post(io, [this] { ApplyBanSlice(); });
        return;
    }
    WriteLogLine(log, "ban file reloaded from " + options.banFile + ": " +
                          std::to_string(bans.Size()) + (bans.Size() == 1 ? " ban" : " bans") +
                          " in force (" + std::to_string(banReload->Added()) + " added, " +
                          std::to_string(banReload->Lifted()) + " lifted, " +
                          std::to_string(banReload->Changed()) + " changed" +
                          (removedByReload
                               ? "; " + std::to_string(removedByReload) + " removed from the room"
                               : "") +
                          ")");
    banReload.reset();
    EndBanReload();
}

void ChatServer::EndBanReload()
{
    banReloadUnderWay = false;
    if (banReloadAgain)
    {
        // A SIGHUP that came while this reload was under way reads the file once more.
        banReloadAgain = false;
        ReloadBans();
        return;
    }
    notifier.Ready(readyStatus);
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
    const Newcomer newcomer{nextNumber++, AddressText(remote), remote.address(), Clock::now()};
    const std::string group = AddressGroup(newcomer.ip);

    // Decided from the address alone. Connections still closing hold their descriptors, so they
    // count until they have closed.
    Refusal refusal = BanRefusal(newcomer.ip);
    const auto fromGroup = perGroup.find(group);
    const bool crowded = options.maxPerAddress != 0 && fromGroup != perGroup.end() &&
                         fromGroup->second >= options.maxPerAddress;
    if (refusal.why.empty() && OpenConnections() >= options.maxClients)
        refusal = {"server full", "Server is full."};
    else if (refusal.why.empty() && crowded)
        refusal = {"too many connections from its address",
                   "Too many connections from your address."};
    if (!refusal.why.empty())
    {
        TurnAway(std::move(socket), newcomer.number, newcomer.address, refusal);
        return;
    }

    WriteLogLine(log, "connection from " + newcomer.address);
    ++perGroup[group];
    groupOf.emplace(newcomer.number, group);
    if (!tls)
    {
        Begin(std::move(socket), newcomer, nullptr);
        return;
    }
    ++sorting;
    FirstByte::Await(std::move(socket), newcomer.acceptedAt,
                     std::chrono::seconds(options.nicknameTimeout),
                     [this, newcomer](asio::ip::tcp::socket socket, FirstByte::Kind kind,
                                      const std::string& why) {
                         Sorted(std::move(socket), kind, why, newcomer);
                     });
}

ChatServer::Refusal ChatServer::BanRefusal(const asio::ip::address& ip) const
{
    const Ban* ban = bans.Find(ip, std::time(nullptr));
    if (!ban)
        return {};
    return {"banned (" + ban->network.ToString() + ")",
            "You are banned from this server." +
                (ban->reason.empty() ? "" : " Reason: " + ban->reason + ".") +
                (ban->until ? " The ban ends " + UtcText(*ban->until) + " (UTC)." : "")};
}

void ChatServer::TurnAway(asio::ip::tcp::socket socket, std::uint64_t number,
                          const std::string& address, const Refusal& refusal)
{
    counters.CountDeparture(LeaveReason::TurnedAway);
    if (turnedAway.size() + turningAway >= MaxTurningAway)
    {
        // Too many at once to tell each why: the newest are closed straight away.
        WriteLogLine(log, "connection from " + address + " closed: " + refusal.why);
        return;
    }
    WriteLogLine(log, "connection from " + address + " turned away: " + refusal.why);
    if (!tls)
    {
        TurnAwayPlain(std::move(socket), number, address, refusal);
        return;
    }
    // A plain client is told why; a TLS client is closed as soon as it is known for one, before
    // any TLS work, since telling it would take a handshake.
    ++turningAway;
    FirstByte::Await(
        std::move(socket), Clock::now(),
        std::chrono::duration_cast<std::chrono::seconds>(ClientSession::CloseGrace),
        [this, number, address, refusal](asio::ip::tcp::socket socket, FirstByte::Kind kind,
                                         const std::string& why) {
            --turningAway;
            if (stopping)
                return;
            if (kind == FirstByte::Kind::Plain)
                TurnAwayPlain(std::move(socket), number, address, refusal);
            else if (kind == FirstByte::Kind::Tls)
                WriteLogLine(log,
                             address + " closed at once: a TLS client turned away: " + refusal.why);
            else
                WriteLogLine(log,
                             address + " disconnected: turned away: " + refusal.why + "; " + why);
        });
}

void ChatServer::TurnAwayPlain(asio::ip::tcp::socket socket, std::uint64_t number,
                               const std::string& address, const Refusal& refusal)
{
    auto session = std::make_shared<ClientSession>(context, std::move(socket), number, address);
    turnedAway.insert(number);
    sessions.emplace(number, session);
    session->TurnAway(ChatRoom::ServerLine(refusal.line), {LeaveReason::TurnedAway, refusal.why});
}

void ChatServer::Sorted(asio::ip::tcp::socket socket, FirstByte::Kind kind, const std::string& why,
                        const Newcomer& newcomer)
{
    if (stopping)
        return;
    if (kind == FirstByte::Kind::Gone || kind == FirstByte::Kind::Silent)
    {
        // Left before the room: as it would have in it, without a nickname.
        Abandoned(newcomer,
                  kind == FirstByte::Kind::Silent ? LeaveReason::Timeout : LeaveReason::Left,
                  "disconnected: " + why);
        return;
    }
    if (kind == FirstByte::Kind::Plain)
    {
        --sorting;
        if (!options.tlsOnly)
        {
            Begin(std::move(socket), newcomer, nullptr);
            return;
        }
        // Let in by its address, it still holds its place until it has gone.
        counters.CountDeparture(LeaveReason::TurnedAway);
        auto session = std::make_shared<ClientSession>(context, std::move(socket), newcomer.number,
                                                       newcomer.address);
        sessions.emplace(newcomer.number, session);
        session->TurnAway(
            ChatRoom::ServerLine("This server accepts encrypted connections only."),
            {LeaveReason::TurnedAway, "a plain connection, and this server accepts TLS only"});
        return;
    }
    // Banned while it waited for its first byte: closed before any TLS work, as at its accept.
    const Refusal banned = BanRefusal(newcomer.ip);
    if (!banned.why.empty())
    {
        Abandoned(newcomer, LeaveReason::TurnedAway,
                  "closed at once: a TLS client turned away: " + banned.why);
        return;
    }
    const auto group = groupOf.find(newcomer.number);
    handshakes->Begin(std::move(socket), tls, group != groupOf.end() ? group->second : "",
                      newcomer.acceptedAt,
                      [this, newcomer](asio::ip::tcp::socket socket, HandshakeEnd end) {
                          Handshaken(std::move(socket), std::move(end), newcomer);
                      });
}

void ChatServer::Handshaken(asio::ip::tcp::socket socket, HandshakeEnd end,
                            const Newcomer& newcomer)
{
    if (stopping)
        return;
    // Only handshakes begun count as handshakes; every connection that ends counts as leaving.
    if (end.attempted)
        ++(end.channel ? counters.tlsHandshakes : counters.tlsHandshakesFailed);
    if (!end.channel)
    {
        Abandoned(newcomer, end.reason, "disconnected: " + end.why);
        return;
    }
    --sorting;
    Begin(std::move(socket), newcomer, std::move(end.channel));
}

void ChatServer::Begin(asio::ip::tcp::socket socket, const Newcomer& newcomer,
                       std::unique_ptr<ByteChannel> tlsChannel)
{
    auto session = std::make_shared<ClientSession>(context, std::move(socket), newcomer.number,
                                                   newcomer.address, std::move(tlsChannel));
    sessions.emplace(newcomer.number, session);
    // Banned while it waited for its first byte or its handshake: told why, as a client turned
    // away at its accept is (a TLS client can hear it now), and never in the room.
    const Refusal banned = BanRefusal(newcomer.ip);
    if (!banned.why.empty())
    {
        counters.CountDeparture(LeaveReason::TurnedAway);
        WriteLogLine(log, newcomer.address + " turned away: " + banned.why);
        session->TurnAway(ChatRoom::ServerLine(banned.line), {LeaveReason::TurnedAway, banned.why});
        return;
    }
    memberAddresses.Add(newcomer.number, newcomer.ip);
    session->Start(
        room.Join(*session, newcomer.address, Clock::now(), newcomer.ip, newcomer.acceptedAt));
}

void ChatServer::Abandoned(const Newcomer& newcomer, LeaveReason reason, const std::string& what)
{
    counters.CountDeparture(reason);
    --sorting;
    ReleaseAddress(newcomer.number);
    WriteLogLine(log, newcomer.address + " " + what);
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
    memberAddresses.Remove(number);
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
