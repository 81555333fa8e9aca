#include "server/ChatServer.h"

#include "net/Endpoint.h"
#include "server/room/IpNetwork.h"
#include "server/room/ServerLog.h"
#include "server/ServerPlatform.h"
#include "server/connection/ServerTls.h"

#include <asio/post.hpp>

#include <algorithm>
#include <ctime>
#include <future>
#include <system_error>

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

} // namespace

ChatServer::ChatServer(ServerOptions options, std::ostream& log, ServerTls* tls,
                       OutputLimits limits)
    : options(std::move(options)), log(log), acceptor(io), tickTimer(io), acceptTimer(io),
      room(this->options, log),
      commands(room, bans, this->options.banFile, this->options.maxLineBytes, log),
      backlog(Clock::now(), limits),
      flushes(io), context{room,
                           backlog,
                           flushes,
                           log,
                           counters,
                           [this](ClientSession& session) { Closed(session); },
                           tls,
                           tls && this->options.tlsOnly}
{
    room.CountInto(counters);
}

ChatServer::~ChatServer()
{
    // Its requests wait for this server's loop; none may be under way once the server goes.
    metrics.reset();
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
        if (!bans.Load(options.banFile, std::time(nullptr), problems, error))
            return false;
        for (const auto& problem : problems)
            WriteLogLine(log, problem);
        WriteLogLine(log, std::to_string(bans.Size()) + (bans.Size() == 1 ? " ban" : " bans") +
                              " in force, from " + options.banFile);
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
    if (context.tls)
        WriteLogLine(log, std::string("TLS on") +
                              (context.tlsOnly ? ", plain connections refused"
                                               : " beside plain connections") +
                              "; the pin for clients' tls-pin= is " + context.tls->Pin());
    if (!options.control.empty())
    {
        controlSocket = ControlSocket::Open(
            io, options.control,
            [this](const std::string& line) { return Command(line, "control socket"); }, error);
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
    bansChecked = Clock::now();
    Accept();
    Tick();
    return true;
}

CommandAnswer ChatServer::Command(const std::string& line, const std::string& source)
{
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
    figures.connections = sessions.size();
    figures.bans = bans.Size();
    figures.listening = acceptor.is_open() && !stopping;
    if (context.tls)
        figures.tls = TlsFigures{context.tls->NotAfter()};
    return figures;
}

void ChatServer::StopOnSignals()
{
    signals = std::make_unique<asio::signal_set>(io);
    for (int signal : StopSignals())
        signals->add(signal);
    signals->async_wait([this](const asio::error_code& error, int) {
        if (!error)
            Shutdown();
    });
}

void ChatServer::Run()
{
    io.run();
}

void ChatServer::Stop()
{
    asio::post(io, [this] { Shutdown(); });
}

void ChatServer::Shutdown()
{
    if (stopping)
        return;
    stopping = true;
    WriteLogLine(log, "shutting down: closing " + std::to_string(sessions.size()) + " connections");
    asio::error_code ignored;
    acceptor.close(ignored);
    tickTimer.cancel();
    acceptTimer.cancel();
    if (signals)
        signals->cancel(ignored);
    std::vector<std::shared_ptr<ClientSession>> all;
    all.reserve(sessions.size());
    for (const auto& entry : sessions)
        all.push_back(entry.second);
    for (const auto& session : all)
        session->Shutdown();
    io.stop();
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
    auto session = std::make_shared<ClientSession>(context, std::move(socket), number, address);

    // Connections still closing hold their descriptors, so they count until they have closed.
    std::string refusal;
    std::string line;
    const Ban* ban = bans.Find(remote.address(), std::time(nullptr));
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
    else if (options.maxPerAddress != 0 && perGroup[group] >= options.maxPerAddress)
    {
        refusal = "too many connections from its address";
        line = "Too many connections from your address.";
    }
    if (!refusal.empty())
    {
        if (perGroup[group] == 0)
            perGroup.erase(group);
        counters.CountDeparture(LeaveReason::TurnedAway);
        if (turnedAway.size() >= MaxTurningAway)
        {
            // Too many at once to tell each why: the newest are closed straight away.
            WriteLogLine(log, "connection from " + address + " closed: " + refusal);
            return;
        }
        WriteLogLine(log, "connection from " + address + " turned away: " + refusal);
        turnedAway.insert(number);
        sessions.emplace(number, session);
        session->TurnAway(ChatRoom::ServerLine(line), {LeaveReason::TurnedAway, refusal});
        return;
    }

    WriteLogLine(log, "connection from " + address);
    ++perGroup[group];
    groupOf.emplace(number, group);
    sessions.emplace(number, session);
    session->Start(room.Join(*session, address, Clock::now(), remote.address()));
}

// ---------------------------------------------------------------------------------------------
// Time: the room's registration time-outs and collected announcements, and the members that
// are behind.

void ChatServer::Tick()
{
    const auto now = Clock::now();
    room.Tick(now, backlog.RoomWaits());
    if (now - bansChecked >= BanCheckInterval)
    {
        bansChecked = now;
        DropEndedBans();
    }
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

void ChatServer::DropEndedBans()
{
    if (!bans.DropEnded(std::time(nullptr)) || options.banFile.empty())
        return;
    std::string error;
    if (!bans.Save(options.banFile, error))
        WriteLogLine(log, error);
}

void ChatServer::Closed(ClientSession& session)
{
    const std::uint64_t number = session.Number();
    const auto group = groupOf.find(number);
    if (group != groupOf.end())
    {
        if (--perGroup[group->second] == 0)
            perGroup.erase(group->second);
        groupOf.erase(group);
    }
    turnedAway.erase(number);
    // The session may be in the middle of a call: it is let go once the current handler is done.
    const auto found = sessions.find(number);
    if (found == sessions.end())
        return;
    asio::post(io, [retired = std::move(found->second)] {});
    sessions.erase(found);
}
