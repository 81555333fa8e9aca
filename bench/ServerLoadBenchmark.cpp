// The chat server under hostile and heavy use, as its clients see it. The real ostrel-server runs
// as a process of its own pinned to one core; every client runs here, pinned to the other.
//
//   server_load_benchmark [--members N] [--seconds S] [--slow-seconds S] [--only PART]
//                         [--old-server PATH]
//
// PART is one of attacks, scale, stalled, slow, tls, storm; without --only, all but the storm run
// (scripts/bench.sh storm runs it against an older build of the server).
//
// 1. Attacks (each on a fresh server, S seconds, default 6): one client floods lines, with and
//    without --line-rate 0; one client renames itself 6,000 times in one write; 1,000 clients join
//    back to back. Meanwhile 50 members read everything and a probe member measures how long its
//    own chat line takes to come back. Reported: the probe's round trips, and who was cut off.
// 2. Scale: N named members (default 10,000). A private round trip (a refused nickname, answered
//    to the sender alone) at 100 connections and at N; the server time one more join costs; a
//    line to all N against a bare loop that writes the same frame once to each of N sockets;
//    memory per idle member.
// 3. Stalled members: 20 that never read, in a room with a busy talker, until they are cut off:
//    memory per stalled member, in the server and in the kernel.
// 4. A slow reader: 20 members each say 4 lines of about 500 bytes a second (under the default
//    rate of 5) and a probe member times its own lines, for S seconds (default 35), with no slow
//    member, with one that reads 1 KiB a second through a 2 KiB receive buffer, and with one that
//    reads 16 KiB every 1.5 s through a 64 KiB buffer. Reported: the probe's round trips, lines
//    that did not reach everyone, "too fast" warnings, and when the slow member was let go.
// 5. Encrypted members: N members (default 10,000) over TLS against the same room in plain TCP,
//    side by side: a line to all, and memory per idle member; the server's CPU time per TLS
//    handshake; 1,000 TLS clients joining back to back beside 50 reading members.
// 6. A handshake storm: 1,000 TLS ClientHellos at once, from 1,000 addresses, with a P-256 and
//    with an RSA-2048 certificate, beside 50 reading members and a probe member. With
//    --old-server, another build of the server (the one before handshakes left the room's
//    thread) takes the same storms in turn with this one. Reported: the probe's round trips, who
//    was cut off, and how many handshakes a second the server made, on the clock and per core.

#include "bench/ServerBenchSupport.h"

#include <sys/resource.h>
#include <sys/un.h>

#include <atomic>
#include <functional>
#include <iomanip>
#include <map>
#include <set>

using namespace bench;
using oNet::PacketType;

namespace
{

int attackSeconds = 6;

std::vector<std::string> With(std::vector<std::string> options,
                              const std::vector<std::string>& more)
{
    options.insert(options.end(), more.begin(), more.end());
    return options;
}

std::string Nick(const std::string& name)
{
    return TextFrame(PacketType::Nickname, name);
}

std::string Say(const std::string& name, const std::string& text)
{
    return TextFrame(PacketType::ChatMessage, "[12:00:00] [" + name + "]: " + text);
}

// Writes all the bytes, reading (and dropping) whatever comes meanwhile, as a client that reads
// does. False when the server closed the connection.
bool SendReading(SOCKET s, const std::string& bytes, const std::atomic<bool>& done)
{
    static thread_local char sink[65536];
    std::size_t sent = 0;
    do
    {
        const int n = bytes.empty()
                          ? 0
                          : send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        for (;;)
        {
            const int r = recv(s, sink, sizeof sink, 0);
            if (r == 0 || (r < 0 && WSAGetLastError() != WSAEWOULDBLOCK))
                return false;
            if (r < 0)
                break;
        }
    } while (sent < bytes.size() && !done);
    return true;
}

// Reads and drops until the time is up or the server closes; false when it closed.
bool KeepReading(SOCKET s, const std::atomic<bool>& done)
{
    while (!done)
    {
        if (!SendReading(s, "", done))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// 1. Attacks.

using Attack =
    std::function<std::string(const ServerProcess& server, const std::atomic<bool>& done)>;

std::string Flood(const ServerProcess& server, const std::atomic<bool>& done)
{
    const std::uint16_t port = server.Port();
    const SOCKET s = QuickLoopbackConnection(port);
    SendAll(s, Nick("flooder"));
    std::string batch;
    for (int i = 0; i < 200; ++i)
        batch += Say("flooder", std::string(100, 'f'));
    long long lines = 0;
    const auto start = Clock::now();
    bool open = true;
    while (!done && (open = SendReading(s, batch, done)))
        lines += 200;
    const double ms = MsSince(start);
    closesocket(s);
    std::ostringstream out;
    out << std::fixed << std::setprecision(0);
    if (open)
        out << "sent " << lines << " lines, " << lines * 1000 / ms << " a second, to the end";
    else
        out << "was cut off for flooding after " << ms << " ms and " << lines << " lines";
    return out.str();
}

std::string RenameStorm(const ServerProcess& server, const std::atomic<bool>& done)
{
    const std::uint16_t port = server.Port();
    const SOCKET s = QuickLoopbackConnection(port);
    SendAll(s, Nick("renamer"));
    std::string renames;
    for (int i = 0; i < 6000; ++i)
        renames += Nick("renamer-" + std::to_string(i));
    const bool open = SendReading(s, renames, done) && KeepReading(s, done);
    closesocket(s);
    return std::string("6,000 renames in one write, reading all the while") +
           (open ? "" : "; it was cut off by the server");
}

std::string MassJoin(const ServerProcess& server, const std::atomic<bool>& done)
{
    const std::uint16_t port = server.Port();
    Crowd joiners;
    const auto start = Clock::now();
    for (int i = 0; i < 1000 && !done; ++i)
    {
        const SOCKET s = QuickLoopbackConnection(port);
        joiners.Add(s);
        SendAll(s, Nick("joiner-" + std::to_string(i)));
        joiners.Poll(0, [](std::size_t, PacketType, std::string_view) {});
    }
    const double joinMs = MsSince(start);
    while (!done)
        joiners.Poll(5, [](std::size_t, PacketType, std::string_view) {});
    std::ostringstream out;
    out << joiners.Size() << " joined back to back in " << std::fixed << std::setprecision(0)
        << joinMs << " ms, all reading; " << joiners.ClosedCount() << " of them cut off";
    return out.str();
}

struct AttackOutcome
{
    std::string name;
    std::vector<double> roundTripsMs;
    std::size_t lost = 0;
    std::size_t readersCutOff = 0;
    std::size_t tooSlowLogged = 0;
    std::string attacker;
};

// The probe says a line every probeEveryMs and waits for it to come back before the next; with
// openLoop it keeps to its time whether or not the last has come back, so that a room that stops
// for a while shows in every line said meanwhile, not in one.
AttackOutcome RunAttack(const std::string& name, const std::vector<std::string>& options,
                        int probeEveryMs, const Attack& attack,
                        const std::string& serverPath = OSTREL_SERVER_PATH, bool openLoop = false)
{
    AttackOutcome outcome;
    outcome.name = name;
    ServerProcess server(serverPath,
                         With(options, {"--max-per-address", "0", "--max-clients", "5000"}));
    Crowd crowd;
    for (int i = 0; i < 50; ++i)
    {
        crowd.Add(QuickLoopbackConnection(server.Port()));
        SendAll(crowd.Socket(i), Nick("reader-" + std::to_string(i)));
    }
    const std::size_t probe = crowd.Add(QuickLoopbackConnection(server.Port()));
    SendAll(crowd.Socket(probe), Nick("probe"));
    crowd.Drain(500);

    std::atomic<bool> done{false};
    std::string attackerSays;
    std::thread attacker([&] {
        PinToCore(1);
        attackerSays = attack(server, done);
    });

    const auto start = Clock::now();
    std::set<std::int64_t> outstanding; // when each line said and not back yet was sent
    auto nextProbe = Clock::now();
    while (MsSince(start) < attackSeconds * 1000.0)
    {
        if ((openLoop || outstanding.empty()) && Clock::now() >= nextProbe && crowd.Open(probe))
        {
            const std::int64_t sentNs = NowNs();
            SendAll(crowd.Socket(probe), Say("probe", std::to_string(sentNs)));
            outstanding.insert(sentNs);
            nextProbe = std::max(openLoop ? nextProbe : Clock::now(),
                                 Clock::now() - std::chrono::milliseconds(probeEveryMs)) +
                        std::chrono::milliseconds(probeEveryMs);
        }
        while (!outstanding.empty() && NowNs() - *outstanding.begin() > 2'000'000'000)
        {
            ++outcome.lost; // not back within 2 s
            outstanding.erase(outstanding.begin());
        }
        crowd.Poll(1, [&](std::size_t index, PacketType type, std::string_view text) {
            const std::string_view marker = "[probe]: ";
            const std::size_t at = text.find(marker);
            if (index != probe || type != PacketType::ChatMessage || at == std::string_view::npos)
                return;
            const auto sent =
                outstanding.find(std::stoll(std::string(text.substr(at + marker.size()))));
            if (sent == outstanding.end())
                return;
            outcome.roundTripsMs.push_back((NowNs() - *sent) / 1e6);
            outstanding.erase(sent);
        });
    }
    done = true;
    attacker.join();
    outcome.attacker = attackerSays;
    outcome.readersCutOff = crowd.ClosedCount();
    outcome.tooSlowLogged = server.LogCount("too slow");
    return outcome;
}

// ---------------------------------------------------------------------------------------------
// 2. Scale.

// Members named m0, m1, ... joining in lots, everyone reading all the while.
void AddMembers(Crowd& crowd, std::uint16_t port, std::size_t count)
{
    const std::size_t first = crowd.Size();
    for (std::size_t i = first; i < first + count; ++i)
    {
        crowd.Add(QuickLoopbackConnection(port));
        SendAll(crowd.Socket(i), Nick("m" + std::to_string(i)));
        if (i % 100 == 0)
            crowd.Poll(0, [](std::size_t, PacketType, std::string_view) {});
    }
    crowd.Drain(1500);
}

// A connection to the server from a loopback address of its own, reading without waiting.
SOCKET ConnectFrom(const std::string& from, std::uint16_t port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage local, remote;
    const int localLength = oNet::SocketAddressOf(oNet::Endpoint(from.c_str(), 0), local);
    const int remoteLength = oNet::SocketAddressOf(oNet::Endpoint("127.0.0.1", port), remote);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), localLength) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&remote), remoteLength) != 0)
        LoopbackFailed("connect from another address to", port);
    oNet::SetNonBlocking(s, true);
    return s;
}

// Sends one operator command to the server's control socket and waits for its answer.
std::string OperatorCommand(const std::string& control, const std::string& command)
{
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", control.c_str());
    std::string answer;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    {
        const std::string line = command + "\n";
        if (write(s, line.data(), line.size()) == static_cast<ssize_t>(line.size()))
        {
            char chunk[4096];
            for (ssize_t n; (n = read(s, chunk, sizeof chunk)) > 0;)
                answer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(s);
    return answer;
}

// Round trips of a request the server answers to the sender alone: a nickname it refuses.
std::vector<double> PrivateRoundTrips(Crowd& crowd, std::size_t who, int count)
{
    std::vector<double> samples;
    for (int i = 0; i < count; ++i)
    {
        const auto start = Clock::now();
        SendAll(crowd.Socket(who), Nick("SERVER"));
        bool answered = false;
        while (!answered && MsSince(start) < 5000)
            crowd.Poll(1, [&](std::size_t index, PacketType type, std::string_view) {
                answered = answered || (index == who && type == PacketType::ChatMessage);
            });
        samples.push_back(MsSince(start));
    }
    return samples;
}

struct Spread
{
    std::vector<double> samples;
    void Add(double value) { samples.push_back(value); }
    double P50() const { return Percentile(samples, 0.5); }
    double P99() const { return Percentile(samples, 0.99); }
};

// Time from sending a frame until every one of the crowd's members from `first` to `last` has it.
template <typename Send>
double TimeToReachAll(Crowd& crowd, std::size_t first, std::size_t last, const std::string& marker,
                      Send&& send)
{
    std::vector<bool> got(crowd.Size(), false);
    std::size_t reached = 0;
    const auto start = Clock::now();
    send();
    while (reached < last - first && MsSince(start) < 30000)
        crowd.Poll(1, [&](std::size_t index, PacketType type, std::string_view text) {
            if (index >= first && index < last && !got[index] && type == PacketType::ChatMessage &&
                text.find(marker) != std::string_view::npos)
            {
                got[index] = true;
                ++reached;
            }
        });
    return MsSince(start);
}

// ... from the first to the `members`th.
template <typename Send>
double TimeToReachAll(Crowd& crowd, std::size_t members, const std::string& marker, Send&& send)
{
    return TimeToReachAll(crowd, 0, members, marker, std::forward<Send>(send));
}

struct ScaleOutcome
{
    std::size_t members = 0;
    Spread privateAt100, privateAtN;
    Spread joinHandledMs, joinWithRoundMs;
    double marginalJoinMs = 0;
    Spread leaveMs, kickMs, banMs; // server time until everyone else has heard of it
    Spread broadcastMs, broadcastCpuMs, bareMs, bareWriterMs;
    double rssPerMember = 0, kernelPerMember = 0;
};

ScaleOutcome RunScale(std::size_t members)
{
    ScaleOutcome outcome;
    outcome.members = members;
    {
        const std::string control = "/tmp/ostrel-bench-control-" + std::to_string(getpid());
        ServerProcess server(OSTREL_SERVER_PATH,
                             {"--line-rate", "0", "--max-per-address", "0", "--max-clients",
                              std::to_string(members + 2000), "--nickname-timeout", "3600",
                              "--control", control});
        Crowd crowd;
        AddMembers(crowd, server.Port(), 100);
        PrivateRoundTrips(crowd, 0, 20); // warm-up
        outcome.privateAt100.samples = PrivateRoundTrips(crowd, 0, 300);
        const std::size_t rss100 = server.Rss();
        const std::size_t kernel100 = KernelSlabMemory();

        AddMembers(crowd, server.Port(), members - 100);
        outcome.privateAtN.samples = PrivateRoundTrips(crowd, 0, 300);
        outcome.rssPerMember = static_cast<double>(server.Rss() - rss100) / (members - 100);
        outcome.kernelPerMember =
            (static_cast<double>(KernelSlabMemory()) - static_cast<double>(kernel100)) /
            (members - 100);

        // A line from one member to all of them.
        for (int i = 0; i < 20; ++i)
        {
            const std::string marker = "broadcast " + std::to_string(i);
            const double cpu = server.CpuMs();
            outcome.broadcastMs.Add(TimeToReachAll(
                crowd, members, marker, [&] { SendAll(crowd.Socket(1), Say("m1", marker)); }));
            outcome.broadcastCpuMs.Add(server.CpuMs() - cpu);
            crowd.Drain(50);
        }

        // One more join: what its own handling costs, and with the round that tells everyone.
        for (int i = 0; i < 5; ++i)
        {
            const std::size_t newcomer = crowd.Add(QuickLoopbackConnection(server.Port()));
            crowd.Drain(300);
            const std::string name = "late-" + std::to_string(i);
            const double before = server.CpuMs();
            bool listed = false;
            const auto start = Clock::now();
            SendAll(crowd.Socket(newcomer), Nick(name));
            while (!listed && MsSince(start) < 5000)
                crowd.Poll(1, [&](std::size_t index, PacketType type, std::string_view) {
                    listed = listed || (index == newcomer && type == PacketType::UsersOnline);
                });
            outcome.joinHandledMs.Add(server.CpuMs() - before);
            TimeToReachAll(crowd, members, name + " joined.", [] {});
            outcome.joinWithRoundMs.Add(server.CpuMs() - before);
            crowd.Drain(300);
        }

        // One member leaving, against the operator removing one: the server's time until all
        // the others have heard of it (a round of the users list, told to everyone, included).
        // Those banned come from addresses of their own, since the rest share 127.0.0.1.
        for (int i = 0; i < 5; ++i)
        {
            const std::string leaver = "m" + std::to_string(10 + i);
            double before = server.CpuMs();
            closesocket(crowd.Socket(10 + i));
            TimeToReachAll(crowd, 100, members, leaver + " left.", [] {});
            outcome.leaveMs.Add(server.CpuMs() - before);

            const std::string kicked = "m" + std::to_string(20 + i);
            before = server.CpuMs();
            TimeToReachAll(crowd, 100, members, kicked + " left (removed",
                           [&] { OperatorCommand(control, "kick " + kicked); });
            outcome.kickMs.Add(server.CpuMs() - before);

            const std::string from = "127.0.0." + std::to_string(100 + i);
            const std::string banned = "banned-" + std::to_string(i);
            const std::size_t index = crowd.Add(ConnectFrom(from, server.Port()));
            SendAll(crowd.Socket(index), Nick(banned));
            crowd.Drain(300);
            before = server.CpuMs();
            TimeToReachAll(crowd, 100, members, banned + " left (banned",
                           [&] { OperatorCommand(control, "ban " + banned + " 1h"); });
            outcome.banMs.Add(server.CpuMs() - before);
            crowd.Drain(300);
        }

        // A thousand more, back to back: the server time per join, rounds included.
        const double before = server.CpuMs();
        AddMembers(crowd, server.Port(), 1000);
        outcome.marginalJoinMs = (server.CpuMs() - before) / 1000;
    }

    // The bare loop: the same frame written once to each of as many loopback sockets, from a
    // process pinned where the server ran (this one cannot hold both ends of so many connections),
    // read by the same kind of crowd.
    {
        std::uint16_t port = 0;
        const SOCKET listener = ListenOnLoopback(port);
        int go[2], report[2];
        if (pipe(go) != 0 || pipe(report) != 0)
            std::exit(1);
        const int rounds = 20;
        const pid_t writer = fork();
        if (writer == 0)
        {
            PinToCore(0);
            std::vector<SOCKET> sockets;
            for (std::size_t i = 0; i < members; ++i)
            {
                sockets.push_back(accept(listener, nullptr, nullptr));
                const int noDelay = 1;
                setsockopt(sockets.back(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
            }
            for (int i = 0; i < rounds; ++i)
            {
                char signal = 0;
                if (read(go[0], &signal, 1) != 1)
                    break;
                const std::string frame = Say("m1", "broadcast " + std::to_string(i));
                const auto start = Clock::now();
                for (SOCKET s : sockets)
                    send(s, frame.data(), frame.size(), 0);
                const double ms = MsSince(start);
                if (write(report[1], &ms, sizeof ms) != sizeof ms)
                    break;
            }
            _exit(0);
        }
        closesocket(listener);
        Crowd crowd;
        for (std::size_t i = 0; i < members; ++i)
            crowd.Add(QuickLoopbackConnection(port));
        crowd.Drain(500);
        for (int i = 0; i < rounds; ++i)
        {
            outcome.bareMs.Add(
                TimeToReachAll(crowd, members, "broadcast " + std::to_string(i) + "", [&] {
                    if (write(go[1], "g", 1) != 1)
                        std::exit(1);
                }));
            double writerMs = 0;
            if (read(report[0], &writerMs, sizeof writerMs) == sizeof writerMs)
                outcome.bareWriterMs.Add(writerMs);
            crowd.Drain(50);
        }
        waitpid(writer, nullptr, 0);
        for (int fd : {go[0], go[1], report[0], report[1]})
            close(fd);
    }
    return outcome;
}

// ---------------------------------------------------------------------------------------------
// 3. Stalled members.

struct StallOutcome
{
    std::size_t stalled = 20;
    std::size_t cutOff = 0;
    double seconds = 0;
    double peakRssPerMember = 0;
    double peakKernelPerMember = 0;
};

StallOutcome RunStalled()
{
    StallOutcome outcome;
    ServerProcess server(OSTREL_SERVER_PATH, {"--line-rate", "0", "--max-per-address", "0"});
    Crowd talkers;
    talkers.Add(QuickLoopbackConnection(server.Port()));
    SendAll(talkers.Socket(0), Nick("talker"));
    talkers.Drain(300);
    const std::size_t rss0 = server.Rss();
    const std::size_t kernel0 = KernelTcpMemory();

    std::vector<SOCKET> stalled;
    for (std::size_t i = 0; i < outcome.stalled; ++i)
    {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const int small = 4096;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_storage remote;
        const int length =
            oNet::SocketAddressOf(oNet::Endpoint("127.0.0.1", server.Port()), remote);
        connect(s, reinterpret_cast<sockaddr*>(&remote), length);
        SendAll(s, Nick("stalled-" + std::to_string(i)));
        stalled.push_back(s);
    }

    // The talker says 400-byte lines, 2,000 a second, and reads them back, until every stalled
    // member has been cut off (or 30 s).
    const auto start = Clock::now();
    std::size_t peakKernel = kernel0;
    int said = 0;
    while (server.LogCount("too slow") < outcome.stalled && MsSince(start) < 30000)
    {
        const int due = static_cast<int>(MsSince(start) * 2);
        std::string lines;
        for (; said < due; ++said)
            lines += Say("talker", std::to_string(said) + std::string(400, 't'));
        SendAll(talkers.Socket(0), lines);
        talkers.Poll(1, [](std::size_t, PacketType, std::string_view) {});
        peakKernel = std::max(peakKernel, KernelTcpMemory());
    }
    outcome.seconds = MsSince(start) / 1000;
    outcome.cutOff = server.LogCount("too slow");
    outcome.peakRssPerMember = static_cast<double>(server.PeakRss() - rss0) / outcome.stalled;
    outcome.peakKernelPerMember =
        (static_cast<double>(peakKernel) - static_cast<double>(kernel0)) / outcome.stalled;
    for (SOCKET s : stalled)
        closesocket(s);
    return outcome;
}

// ---------------------------------------------------------------------------------------------
// 4. A slow reader in a room that keeps to the line rate.

int slowRoomSeconds = 35;

struct SlowReader
{
    const char* name;
    int receiveBuffer; // 0: no slow member
    int readBytes;
    int everyMs;
};

struct SlowRoomOutcome
{
    std::string name;
    std::vector<double> roundTripsMs;
    long long said = 0;
    long long missing = 0; // deliveries of lines said that never arrived
    std::size_t toldTooFast = 0;
    std::size_t talkersCutOff = 0;
    double slowLetGoAfterS = -1; // -1: still connected at the end
    std::string logged;
};

SlowRoomOutcome RunSlowRoom(const SlowReader& slow)
{
    SlowRoomOutcome outcome;
    outcome.name = slow.name;
    ServerProcess server(OSTREL_SERVER_PATH, {"--max-per-address", "0"});
    const int talkers = 20;
    Crowd crowd;
    for (int i = 0; i < talkers; ++i)
    {
        crowd.Add(QuickLoopbackConnection(server.Port()));
        SendAll(crowd.Socket(i), Nick("talker-" + std::to_string(i)));
    }
    const std::size_t probe = crowd.Add(QuickLoopbackConnection(server.Port()));
    SendAll(crowd.Socket(probe), Nick("probe"));

    // The slow member reads on a thread of its own, at its own pace, until it is closed.
    std::atomic<bool> done{false};
    std::atomic<double> closedAfterMs{-1};
    const auto start = Clock::now();
    std::thread slowThread;
    if (slow.receiveBuffer > 0)
    {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &slow.receiveBuffer, sizeof slow.receiveBuffer);
        sockaddr_storage remote;
        const int length =
            oNet::SocketAddressOf(oNet::Endpoint("127.0.0.1", server.Port()), remote);
        connect(s, reinterpret_cast<sockaddr*>(&remote), length);
        SendAll(s, Nick("slow"));
        slowThread = std::thread([&, s] {
            std::vector<char> buffer(static_cast<std::size_t>(slow.readBytes));
            while (!done)
            {
                std::size_t got = 0;
                while (got < buffer.size())
                {
                    const ssize_t n = recv(s, buffer.data() + got, buffer.size() - got, 0);
                    if (n <= 0)
                    {
                        closedAfterMs = MsSince(start);
                        closesocket(s);
                        return;
                    }
                    got += static_cast<std::size_t>(n);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(slow.everyMs));
            }
            closesocket(s);
        });
    }
    crowd.Drain(500);

    // Everyone says a line every 250 ms, the talkers spread over that time; a line is about 500
    // bytes on the wire. Each member counts the lines it hears.
    const std::string filler(470, 'x');
    std::vector<long long> heard(crowd.Size(), 0);
    std::int64_t probeSentNs = 0;
    bool probeWaiting = false;
    const auto talkStart = Clock::now();
    std::vector<int> saidBy(talkers + 1, 0);
    while (MsSince(talkStart) < slowRoomSeconds * 1000.0)
    {
        const double elapsed = MsSince(talkStart);
        for (int i = 0; i < talkers; ++i)
        {
            const double due = (saidBy[i] * 250.0) + i * (250.0 / talkers);
            if (elapsed >= due && crowd.Open(i))
            {
                SendAll(crowd.Socket(i),
                        Say("talker-" + std::to_string(i), std::to_string(saidBy[i]) + filler));
                ++saidBy[i];
                ++outcome.said;
            }
        }
        if (elapsed >= saidBy[talkers] * 250.0 && crowd.Open(probe))
        {
            if (probeWaiting)
                outcome.roundTripsMs.push_back(2000); // not back before the next: counted slow
            probeSentNs = NowNs();
            SendAll(crowd.Socket(probe), Say("probe", std::to_string(probeSentNs)));
            probeWaiting = true;
            ++saidBy[talkers];
            ++outcome.said;
        }
        crowd.Poll(1, [&](std::size_t index, PacketType type, std::string_view text) {
            if (type != PacketType::ChatMessage)
                return;
            if (text.find("sending too fast") != std::string_view::npos)
                ++outcome.toldTooFast;
            if (text.find("] [talker-") != std::string_view::npos ||
                text.find("] [probe]") != std::string_view::npos)
                ++heard[index];
            if (index == probe && probeWaiting &&
                text.find("[probe]: " + std::to_string(probeSentNs)) != std::string_view::npos)
            {
                outcome.roundTripsMs.push_back((NowNs() - probeSentNs) / 1e6);
                probeWaiting = false;
            }
        });
    }
    crowd.Drain(1000);
    done = true;
    if (slowThread.joinable())
        slowThread.join();
    for (std::size_t i = 0; i < crowd.Size(); ++i)
        outcome.missing += outcome.said - heard[i];
    outcome.talkersCutOff = crowd.ClosedCount();
    outcome.slowLetGoAfterS = closedAfterMs / 1000;
    const std::string log = server.Log();
    const std::size_t at = log.find("(slow) disconnected: ");
    if (at != std::string::npos)
        outcome.logged = log.substr(at + 21, log.find('\n', at) - at - 21);
    return outcome;
}

// ---------------------------------------------------------------------------------------------
// 5. Encrypted members.

// A key and a certificate for the server, made by openssl in a folder of their own: an ECDSA key
// on P-256, or (rsa) an RSA key of 2048 bits.
struct BenchCertificate
{
    explicit BenchCertificate(bool rsa = false)
    {
        char folderTemplate[] = "/tmp/ostrel-bench-tls-XXXXXX";
        folder = mkdtemp(folderTemplate);
        certificate = folder + "/server.crt";
        key = folder + "/server.key";
        const std::string command = std::string("openssl req -x509 -newkey ") +
                                    (rsa ? "rsa:2048" : "ec -pkeyopt ec_paramgen_curve:P-256") +
                                    " -nodes -days 2 -subj /CN=bench -keyout " + key + " -out " +
                                    certificate + " 2>/dev/null";
        if (std::system(command.c_str()) != 0)
        {
            std::cerr << "cannot make a certificate with openssl" << std::endl;
            std::exit(1);
        }
    }
    ~BenchCertificate() { std::system(("rm -rf " + folder).c_str()); }
    std::vector<std::string> Options() const
    {
        return {"--tls-cert", certificate, "--tls-key", key};
    }

    std::string folder, certificate, key;
};

// Members named m0, m1, ... joining over TLS, everyone reading all the while.
void AddTlsMembers(Crowd& crowd, TlsClients& clients, std::uint16_t port, std::size_t count)
{
    const std::size_t first = crowd.Size();
    for (std::size_t i = first; i < first + count; ++i)
    {
        SOCKET s = INVALID_SOCKET;
        SSL* ssl = clients.Connect(port, s);
        if (!ssl)
        {
            std::cerr << "a TLS handshake failed" << std::endl;
            std::exit(1);
        }
        crowd.Add(s, ssl);
        crowd.Send(i, Nick("m" + std::to_string(i)));
        if (i % 100 == 0)
            crowd.Poll(0, [](std::size_t, PacketType, std::string_view) {});
    }
    crowd.Drain(1500);
}

std::string TlsMassJoin(const ServerProcess& server, const std::atomic<bool>& done)
{
    const std::uint16_t port = server.Port();
    Crowd joiners;
    TlsClients clients;
    const auto start = Clock::now();
    for (int i = 0; i < 1000 && !done; ++i)
    {
        SOCKET s = INVALID_SOCKET;
        SSL* ssl = clients.Connect(port, s);
        if (!ssl)
            continue;
        const std::size_t index = joiners.Add(s, ssl);
        joiners.Send(index, Nick("joiner-" + std::to_string(i)));
        joiners.Poll(0, [](std::size_t, PacketType, std::string_view) {});
    }
    const double joinMs = MsSince(start);
    while (!done)
        joiners.Poll(5, [](std::size_t, PacketType, std::string_view) {});
    std::ostringstream out;
    out << joiners.Size() << " joined over TLS back to back in " << std::fixed
        << std::setprecision(0) << joinMs << " ms, all reading; " << joiners.ClosedCount()
        << " of them cut off";
    return out.str();
}

struct TlsOutcome
{
    std::size_t members = 0;
    Spread broadcastMs[2], broadcastCpuMs[2]; // plain, then TLS
    double rssPerMember[2] = {};
    double handshakeCpuMs = 0;
    AttackOutcome massJoin;
};

TlsOutcome RunTls(std::size_t members)
{
    TlsOutcome outcome;
    outcome.members = members;
    const BenchCertificate certificate;
    for (int encrypted = 0; encrypted < 2; ++encrypted)
    {
        ServerProcess server(OSTREL_SERVER_PATH,
                             With({"--line-rate", "0", "--max-per-address", "0", "--max-clients",
                                   std::to_string(members + 2000), "--nickname-timeout", "3600"},
                                  certificate.Options()));
        Crowd crowd;
        TlsClients clients;
        const std::size_t rss0 = server.Rss();
        if (encrypted)
            AddTlsMembers(crowd, clients, server.Port(), members);
        else
            AddMembers(crowd, server.Port(), members);
        outcome.rssPerMember[encrypted] = (static_cast<double>(server.Rss()) - rss0) / members;
        for (int i = 0; i < 20; ++i)
        {
            const std::string marker = "broadcast " + std::to_string(i);
            const double cpu = server.CpuMs();
            outcome.broadcastMs[encrypted].Add(
                TimeToReachAll(crowd, members, marker, [&] { crowd.Send(1, Say("m1", marker)); }));
            outcome.broadcastCpuMs[encrypted].Add(server.CpuMs() - cpu);
            crowd.Drain(50);
        }
        if (encrypted)
        {
            // Handshakes alone: connect, handshake, close.
            const int handshakes = 1000;
            const double before = server.CpuMs();
            for (int i = 0; i < handshakes; ++i)
            {
                SOCKET s = INVALID_SOCKET;
                SSL* ssl = clients.Connect(server.Port(), s);
                SSL_free(ssl);
                closesocket(s);
            }
            outcome.handshakeCpuMs = (server.CpuMs() - before) / handshakes;
        }
    }
    outcome.massJoin =
        RunAttack("1,000 TLS clients join back to back", certificate.Options(), 250, TlsMassJoin);
    return outcome;
}

// ---------------------------------------------------------------------------------------------
// 6. A handshake storm.

constexpr int StormHellos = 1000;

struct StormFigures
{
    std::size_t made = 0;
    std::size_t failed = 0;
    double firstToLastMs = 0; // from the first hello sent to the last handshake made
    double serverCpuMs = 0;   // the server's CPU time (all its threads) meanwhile
    double roomCpuMs = 0;     // the CPU time of the thread that runs the room
};

// 1,000 TLS clients, each from an address of its own (127.0.1.1 on), connect and then send their
// ClientHellos at once, and make their handshakes as fast as the server answers them; then they
// stay, unnamed, to the end.
std::string HandshakeStorm(const ServerProcess& server, const std::atomic<bool>& done,
                           StormFigures& figures)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    std::vector<SOCKET> sockets;
    std::vector<SSL*> clients;
    for (int i = 0; i < StormHellos; ++i)
    {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl((127u << 24) | ((1u + i / 250) << 8) | (1u + i % 250));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(server.Port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
            connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            LoopbackFailed("connect to", server.Port());
        oNet::SetNonBlocking(s, true);
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, static_cast<int>(s));
        sockets.push_back(s);
        clients.push_back(ssl);
    }

    const int epoll = epoll_create1(0);
    std::vector<bool> over(clients.size(), false);
    // One step of a client's handshake; it is watched for what it waits for.
    const auto step = [&](std::size_t i, bool first) {
        const int result = SSL_connect(clients[i]);
        const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(clients[i], result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        {
            epoll_event event{};
            event.events = error == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
            event.data.u64 = i;
            epoll_ctl(epoll, first ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, sockets[i], &event);
            return;
        }
        over[i] = true;
        (result == 1 ? figures.made : figures.failed) += 1;
        if (!first)
            epoll_ctl(epoll, EPOLL_CTL_DEL, sockets[i], nullptr);
    };
    const double cpuBefore = server.CpuMs();
    const double roomBefore = server.MainThreadCpuMs();
    const auto start = Clock::now();
    for (std::size_t i = 0; i < clients.size(); ++i)
        step(i, true);
    while (figures.made + figures.failed < clients.size() && !done)
    {
        epoll_event events[256];
        const int ready = epoll_wait(epoll, events, 256, 5);
        for (int e = 0; e < ready; ++e)
            step(events[e].data.u64, false);
    }
    figures.firstToLastMs = MsSince(start);
    figures.serverCpuMs = server.CpuMs() - cpuBefore;
    figures.roomCpuMs = server.MainThreadCpuMs() - roomBefore;
    while (!done)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    close(epoll);
    for (std::size_t i = 0; i < clients.size(); ++i)
    {
        SSL_free(clients[i]);
        closesocket(sockets[i]);
    }
    SSL_CTX_free(context);
    std::ostringstream out;
    out << figures.made << " handshakes made, " << figures.failed << " failed";
    return out.str();
}

struct StormOutcome
{
    std::string certificate;
    std::string server;
    AttackOutcome attack;
    StormFigures figures;
    // Handshakes one after another, each with its connect and close, on a server of its own.
    double oneByOneMs = 0;
    double oneByOneCpuMs = 0;
};

// 1,000 handshakes one after another (connect, handshake, close): the wall time and the server's
// CPU time of each.
void HandshakesOneByOne(const std::string& serverPath, const BenchCertificate& certificate,
                        StormOutcome& outcome)
{
    const int handshakes = 1000;
    ServerProcess server(serverPath, With(certificate.Options(), {"--max-per-address", "0"}));
    TlsClients clients;
    const double before = server.CpuMs();
    const auto start = Clock::now();
    for (int i = 0; i < handshakes; ++i)
    {
        SOCKET s = INVALID_SOCKET;
        SSL* ssl = clients.Connect(server.Port(), s);
        SSL_free(ssl);
        closesocket(s);
    }
    outcome.oneByOneMs = MsSince(start) / handshakes;
    outcome.oneByOneCpuMs = (server.CpuMs() - before) / handshakes;
}

// Each certificate's storm against each server, the old and the new in turn, twice over.
std::vector<StormOutcome> RunStorms(const std::string& oldServer)
{
    std::vector<std::pair<std::string, std::string>> servers;
    if (!oldServer.empty())
        servers.emplace_back("before", oldServer);
    servers.emplace_back("now", OSTREL_SERVER_PATH);
    std::vector<StormOutcome> outcomes;
    for (int round = 0; round < 2; ++round)
        for (const bool rsa : {false, true})
        {
            const BenchCertificate certificate(rsa);
            for (const auto& [label, path] : servers)
            {
                StormOutcome outcome;
                outcome.certificate = rsa ? "RSA-2048" : "P-256";
                outcome.server = label;
                StormFigures& figures = outcome.figures;
                outcome.attack = RunAttack(
                    "handshake storm", With(certificate.Options(), {"--line-rate", "0"}), 10,
                    [&figures](const ServerProcess& server, const std::atomic<bool>& done) {
                        return HandshakeStorm(server, done, figures);
                    },
                    path, true);
                HandshakesOneByOne(path, certificate, outcome);
                outcomes.push_back(std::move(outcome));
            }
        }
    return outcomes;
}

// ---------------------------------------------------------------------------------------------

// Raises this process's limit on open files as far as it may go, and returns it.
std::size_t RaiseFileLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

std::string Ms(double value)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(value < 10 ? 2 : 1) << value;
    return out.str();
}

void ReportAttacks()
{
    std::cout << "## Attacks (" << attackSeconds
              << " s each; 50 reading members and a probe member)\n\n"
              << "| attack | probe round trip p50 / p99 / max ms (samples, lost) | readers cut "
                 "off | 'too slow' in the log | the attacker |\n|---|---|---|---|---|"
              << std::endl;
    const std::vector<std::pair<std::string, std::function<AttackOutcome()>>> attacks = {
        {"flood, default --line-rate",
         [] { return RunAttack("one client floods lines (--line-rate 5)", {}, 250, Flood); }},
        {"flood, --line-rate 0",
         [] {
             return RunAttack("one client floods lines (--line-rate 0)", {"--line-rate", "0"}, 20,
                              Flood);
         }},
        {"rename storm",
         [] {
             return RunAttack("rename storm (--line-rate 0)", {"--line-rate", "0"}, 20,
                              RenameStorm);
         }},
        {"mass join",
         [] { return RunAttack("1,000 clients join back to back", {}, 250, MassJoin); }},
    };
    for (const auto& entry : attacks)
    {
        const AttackOutcome outcome = entry.second();
        std::cout << "| " << outcome.name << " | " << Ms(Percentile(outcome.roundTripsMs, 0.5))
                  << " / " << Ms(Percentile(outcome.roundTripsMs, 0.99)) << " / "
                  << Ms(Percentile(outcome.roundTripsMs, 1.0)) << " ("
                  << outcome.roundTripsMs.size() << ", " << outcome.lost << ") | "
                  << outcome.readersCutOff << " of 51 | " << outcome.tooSlowLogged << " | "
                  << outcome.attacker << " |" << std::endl;
    }
}

void ReportSlowRooms()
{
    std::cout << "## A slow reader in a room of 20 that keeps to the line rate (" << slowRoomSeconds
              << " s each)\n\n| the slow member | probe round trip p50 / p99 / max ms | lines "
                 "said | deliveries missing | told too fast | talkers cut off | the slow member "
                 "was |\n|---|---|---|---|---|---|---|"
              << std::endl;
    for (const SlowReader& slow :
         {SlowReader{"none", 0, 0, 0},
          SlowReader{"reads 1 KiB a second (2 KiB buffer)", 2048, 1024, 1000},
          SlowReader{"reads 16 KiB every 1.5 s (64 KiB buffer)", 65536, 16384, 1500}})
    {
        const SlowRoomOutcome outcome = RunSlowRoom(slow);
        std::ostringstream fate;
        if (slow.receiveBuffer == 0)
            fate << "-";
        else if (outcome.slowLetGoAfterS < 0)
            fate << "still connected";
        else
            fate << "let go after " << std::fixed << std::setprecision(1) << outcome.slowLetGoAfterS
                 << " s: " << outcome.logged;
        std::cout << "| " << outcome.name << " | " << Ms(Percentile(outcome.roundTripsMs, 0.5))
                  << " / " << Ms(Percentile(outcome.roundTripsMs, 0.99)) << " / "
                  << Ms(Percentile(outcome.roundTripsMs, 1.0)) << " | " << outcome.said << " | "
                  << outcome.missing << " | " << outcome.toldTooFast << " | "
                  << outcome.talkersCutOff << " | " << fate.str() << " |" << std::endl;
    }
}

void ReportScale(std::size_t members)
{
    const ScaleOutcome scale = RunScale(members);
    std::cout << "## " << scale.members
              << " named members\n\n| measure | p50 | p99 |\n|---|---|---|\n"
              << "| private round trip at 100 connections, ms | " << Ms(scale.privateAt100.P50())
              << " | " << Ms(scale.privateAt100.P99()) << " |\n"
              << "| private round trip at " << scale.members << " connections, ms | "
              << Ms(scale.privateAtN.P50()) << " | " << Ms(scale.privateAtN.P99()) << " |\n"
              << "| one more join: server time for the join itself, ms | "
              << Ms(scale.joinHandledMs.P50()) << " | " << Ms(scale.joinHandledMs.P99()) << " |\n"
              << "| one more join: server time with the round that tells everyone, ms | "
              << Ms(scale.joinWithRoundMs.P50()) << " | " << Ms(scale.joinWithRoundMs.P99())
              << " |\n"
              << "| a member leaves: server time until everyone has heard, ms | "
              << Ms(scale.leaveMs.P50()) << " | " << Ms(scale.leaveMs.P99()) << " |\n"
              << "| the operator kicks a member: the same, ms | " << Ms(scale.kickMs.P50()) << " | "
              << Ms(scale.kickMs.P99()) << " |\n"
              << "| the operator bans a member: the same, ms | " << Ms(scale.banMs.P50()) << " | "
              << Ms(scale.banMs.P99()) << " |\n"
              << "| a line to all " << scale.members << ": sent until the last has it, ms | "
              << Ms(scale.broadcastMs.P50()) << " | " << Ms(scale.broadcastMs.P99()) << " |\n"
              << "| the same: the server's time, ms | " << Ms(scale.broadcastCpuMs.P50()) << " | "
              << Ms(scale.broadcastCpuMs.P99()) << " |\n"
              << "| bare loop, one send to each socket: sent until the last has it, ms | "
              << Ms(scale.bareMs.P50()) << " | " << Ms(scale.bareMs.P99()) << " |\n"
              << "| bare loop: the writer's own time, ms | " << Ms(scale.bareWriterMs.P50())
              << " | " << Ms(scale.bareWriterMs.P99()) << " |\n\n"
              << "- private round trip, " << scale.members
              << " against 100 connections: " << std::setprecision(2) << std::fixed
              << scale.privateAtN.P50() / scale.privateAt100.P50() << "x at p50\n"
              << "- a line to all against the bare loop: "
              << scale.broadcastMs.P50() / scale.bareMs.P50() << "x at p50, "
              << scale.broadcastMs.P99() / scale.bareMs.P99() << "x at p99\n"
              << "- 1,000 more joins back to back: " << Ms(scale.marginalJoinMs)
              << " ms of server time each, rounds included\n"
              << "- memory per idle member: " << std::setprecision(0) << scale.rssPerMember / 1024
              << " KiB in the server, " << scale.kernelPerMember / 1024
              << " KiB of kernel slab (sockets, files, epoll; both ends of loopback)" << std::endl;
}

void ReportStalled()
{
    const StallOutcome stall = RunStalled();
    std::cout << "## Stalled members\n\n- " << stall.cutOff << " of " << stall.stalled
              << " members that never read were cut off within " << std::fixed
              << std::setprecision(1) << stall.seconds
              << " s\n- memory per stalled member at the peak: " << std::setprecision(0)
              << stall.peakRssPerMember / 1024 << " KiB in the server, "
              << stall.peakKernelPerMember / 1024 << " KiB in the kernel (both ends)" << std::endl;
}

void ReportTls(std::size_t members)
{
    const TlsOutcome tls = RunTls(members);
    std::cout << "## " << tls.members
              << " members over TLS against plain TCP\n\n| measure | plain p50 / p99 | TLS p50 / "
                 "p99 | TLS against plain |\n|---|---|---|---|\n";
    const char* names[] = {"a line to all: sent until the last has it, ms",
                           "the same: the server's time, ms"};
    const Spread* spreads[2][2] = {{&tls.broadcastMs[0], &tls.broadcastMs[1]},
                                   {&tls.broadcastCpuMs[0], &tls.broadcastCpuMs[1]}};
    for (int row = 0; row < 2; ++row)
        std::cout << "| " << names[row] << " | " << Ms(spreads[row][0]->P50()) << " / "
                  << Ms(spreads[row][0]->P99()) << " | " << Ms(spreads[row][1]->P50()) << " / "
                  << Ms(spreads[row][1]->P99()) << " | " << std::fixed << std::setprecision(2)
                  << spreads[row][1]->P50() / spreads[row][0]->P50() << "x at p50, "
                  << spreads[row][1]->P99() / spreads[row][0]->P99() << "x at p99 |\n";
    std::cout << "| memory per idle member in the server, KiB | " << std::setprecision(1)
              << tls.rssPerMember[0] / 1024 << " | " << tls.rssPerMember[1] / 1024 << " | |\n\n"
              << "- a TLS handshake (with its accept and close) costs the server "
              << std::setprecision(2) << tls.handshakeCpuMs
              << " ms of CPU: " << std::setprecision(0) << 1000 / tls.handshakeCpuMs
              << " handshakes a second on one core\n- " << tls.massJoin.name << ": probe p50 / p99 "
              << Ms(Percentile(tls.massJoin.roundTripsMs, 0.5)) << " / "
              << Ms(Percentile(tls.massJoin.roundTripsMs, 0.99)) << " ms, "
              << tls.massJoin.readersCutOff << " of 51 reading members cut off; "
              << tls.massJoin.attacker << "\n"
              << std::endl;
}

void ReportStorms(const std::string& oldServer)
{
    std::cout << "## A handshake storm: " << StormHellos
              << " TLS ClientHellos at once, each from an address of its own (" << attackSeconds
              << " s each; 50 reading members and a probe member saying a line every 10 ms "
                 "whether or not the last has come back, --line-rate 0)\n\n"
              << "| certificate | server | probe round trip p50 / p99 / max ms (samples, lost) | "
                 "readers cut off | handshakes made (failed) | first hello to last handshake, ms "
                 "| handshakes a second | server CPU per handshake, ms (a second on one core) "
                 "| of it on the room's thread, ms | one by one: ms each, server CPU ms each "
                 "(a second on one core) |\n|---|---|---|---|---|---|---|---|---|---|"
              << std::endl;
    for (const StormOutcome& outcome : RunStorms(oldServer))
    {
        const StormFigures& figures = outcome.figures;
        const double cpuEach = figures.made ? figures.serverCpuMs / figures.made : 0;
        std::cout << "| " << outcome.certificate << " | " << outcome.server << " | "
                  << Ms(Percentile(outcome.attack.roundTripsMs, 0.5)) << " / "
                  << Ms(Percentile(outcome.attack.roundTripsMs, 0.99)) << " / "
                  << Ms(Percentile(outcome.attack.roundTripsMs, 1.0)) << " ("
                  << outcome.attack.roundTripsMs.size() << ", " << outcome.attack.lost << ") | "
                  << outcome.attack.readersCutOff << " of 51 | " << figures.made << " ("
                  << figures.failed << ") | " << std::fixed << std::setprecision(0)
                  << figures.firstToLastMs << " | "
                  << (figures.firstToLastMs > 0 ? figures.made * 1000 / figures.firstToLastMs : 0)
                  << " | " << std::setprecision(3) << cpuEach << " (" << std::setprecision(0)
                  << (cpuEach > 0 ? 1000 / cpuEach : 0) << ") | " << std::setprecision(3)
                  << (figures.made ? figures.roomCpuMs / figures.made : 0) << " | "
                  << outcome.oneByOneMs << ", " << outcome.oneByOneCpuMs << " ("
                  << std::setprecision(0) << 1000 / outcome.oneByOneCpuMs << ") |" << std::endl;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t members = 10000;
    std::string only;
    std::string oldServer;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string name = argv[i];
        if (name == "--members")
            members = std::stoul(argv[i + 1]);
        else if (name == "--seconds")
            attackSeconds = std::stoi(argv[i + 1]);
        else if (name == "--slow-seconds")
            slowRoomSeconds = std::stoi(argv[i + 1]);
        else if (name == "--only")
            only = argv[i + 1];
        else if (name == "--old-server")
            oldServer = argv[i + 1];
    }
    // This process holds one end of every connection: the members and 1,000 more who join.
    const std::size_t files = RaiseFileLimit();
    if (members + 1200 > files)
    {
        members = files - 1200;
        std::cout << "(the file limit allows only " << members << " members)" << std::endl;
    }
    PinToCore(1);
    signal(SIGPIPE, SIG_IGN);

    if (only.empty() || only == "attacks")
        ReportAttacks();
    if (only.empty() || only == "slow")
        ReportSlowRooms();
    if (only.empty() || only == "scale")
        ReportScale(members);
    if (only.empty() || only == "stalled")
        ReportStalled();
    if (only.empty() || only == "tls")
        ReportTls(members);
    if (only == "storm")
        ReportStorms(oldServer);
    return 0;
}
