// ostrel-server run as a process: its command line, its exit codes, its handshakes, its reload and
// shutdown on signals, and what it tells a service manager.

#include "support/ServerProcess.h"
#include "common/ChatProtocol.h"
#include "support/Files.h"
#include "support/RawConnection.h"
#include "support/Scrape.h"
#include "support/TlsTesting.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;
using oNet::PacketType;

namespace
{

TEST(ServerProcess, ClientLimitIsLoweredToTheFileLimitAndNewcomersBeyondAreTurnedAway)
{
    ServerProcess server({"--port", "0", "--max-per-address", "0"}, 64);
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.out << server.err;
    EXPECT_NE(server.out.find("--max-clients 1024 lowered to 32: the system lets this process "
                              "open 64 files"),
              std::string::npos)
        << server.out;
    std::vector<RawConnection> clients(33);
    for (auto& client : clients)
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
    // Only the last one is turned away, with the line that says why.
    const std::string full = "Server is full.";
    const auto bytes = clients.back().Receive(100, 5000);
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find(full), std::string::npos);
    EXPECT_TRUE(clients.back().SeesClose());
    EXPECT_TRUE(clients.front().Receive(1, 200).empty()) << "the others stay connected";
}

TEST(ServerProcess, BadOptionGetsOneLineAndExitCodeTwo)
{
    for (std::vector<std::string> arguments : {std::vector<std::string>{"--bogus"},
                                               {"--port", "70000"},
                                               {"--max-clients"},
                                               {"--line-rate", "fast"},
                                               {"--nickname-timeout", "0"},
                                               {"--max-line-bytes", "9000"},
                                               {"--metrics", "9464"},
                                               {"--metrics", "::1:9464"},
                                               {"--metrics", "127.0.0.1:65536"}})
    {
        ServerProcess server(arguments);
        EXPECT_EQ(server.Wait(), 2) << arguments[0];
        EXPECT_EQ(server.out, "");
        ASSERT_FALSE(server.err.empty());
        EXPECT_EQ(server.err.find('\n'), server.err.size() - 1) << "one line: " << server.err;
        EXPECT_EQ(server.err.rfind("ostrel-server: ", 0), 0u) << server.err;
    }
}

TEST(ServerProcess, HelpExplainsAndExitsWithZero)
{
    ServerProcess server({"--help"});
    EXPECT_EQ(server.Wait(), 0);
    EXPECT_EQ(server.out.rfind("Usage: ostrel-server", 0), 0u) << server.out;
}

std::string Frame(PacketType type, const std::string& text)
{
    return oNet::WireFrame(*ChatProtocol::MakeTextPacket(type, text));
}

// The text a packet carries.
std::string TextOf(const Bytes& bytes)
{
    if (bytes.size() < 2)
        return "<nothing>";
    oNet::Packet packet;
    packet.buffer.assign(bytes.begin(), bytes.end());
    if (packet.Type() == PacketType::NewUser)
        return "<new user>";
    std::string text;
    packet >> text;
    return text;
}

// Reads packets, up to a number, until one holds the piece; its text, or what came last.
template <typename Connection>
std::string TextHolding(Connection& connection, const std::string& piece, int packets = 10)
{
    std::string text;
    for (int i = 0; i < packets && text.find(piece) == std::string::npos; ++i)
        text = TextOf(connection.ReceivePacket(5000));
    return text;
}

// `ostrel-server --command ...` against a running server: its exit code, and what it printed.
struct CommandRun
{
    int exitCode;
    std::string out, err;
};
CommandRun SendCommand(const std::string& control, const std::string& command)
{
    ServerProcess client({"--command", command, "--control", control});
    CommandRun run;
    run.exitCode = client.Wait();
    run.out = client.out;
    run.err = client.err;
    return run;
}

// Whether the file comes to hold the text within the time.
bool FileComesToHold(const std::string& path, const std::string& text, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        std::error_code ignored;
        if (std::filesystem::exists(path, ignored) &&
            ReadBytes(path).find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The port of the metrics endpoint, as the log names it; 0 when it does not.
std::uint16_t MetricsPort(ServerProcess& server)
{
    const std::string marker = "metrics at http://127.0.0.1:";
    if (!server.OutputShows(marker + "") || !server.OutputShows("/metrics, health at /healthz"))
        return 0;
    return static_cast<std::uint16_t>(
        std::stoi(server.out.substr(server.out.find(marker) + marker.size())));
}

TEST(ServerProcess, SigtermAndSigintTellEveryMemberAndEndWithinFiveSecondsHoweverSlowTheyRead)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    const std::string banFile = dir.File("bans");
    for (int signal : {SIGTERM, SIGINT})
    {
        // With everything a stop has to end: members, a ban not yet written, and a metrics
        // client that holds its connection.
        ServerProcess server({"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key,
                              "--line-rate", "0", "--console", "--ban-file", banFile, "--metrics",
                              "127.0.0.1:0"});
        const std::uint16_t port = server.ListeningPort();
        ASSERT_NE(port, 0) << server.err;
        const std::uint16_t metrics = MetricsPort(server);
        ASSERT_NE(metrics, 0) << server.out;
        RawConnection scraper;
        ASSERT_TRUE(scraper.Connect("127.0.0.1", metrics));
        scraper.Send(std::string("GET /metr"));
        RawConnection paul, stuck;
        TlsClient tess;
        ASSERT_TRUE(paul.Connect("127.0.0.1", port));
        ASSERT_TRUE(tess.Connect(port));
        ASSERT_TRUE(stuck.Connect("127.0.0.1", port, "127.0.0.2"));
        paul.Send(Frame(PacketType::Nickname, "Paul"));
        ASSERT_NE(TextHolding(paul, "Paul joined.").find("joined"), std::string::npos);
        tess.Send(Frame(PacketType::Nickname, "Tess"));
        ASSERT_NE(TextHolding(tess, "Tess joined.").find("joined"), std::string::npos);
        // A member that never reads, with more waiting for it than the system holds.
        stuck.Send(Frame(PacketType::Nickname, "Stuck"));
        ASSERT_NE(TextHolding(paul, "Stuck joined.").find("joined"), std::string::npos);
        std::string lines;
        for (int i = 0; i < 600; ++i)
            lines += Frame(PacketType::ChatMessage,
                           "[12:00:00] [Paul]: " + std::string(450, 'x') + " " + std::to_string(i));
        paul.Send(lines);
        ASSERT_NE(TextHolding(paul, " 599", 700).find(" 599"), std::string::npos);
        ASSERT_NE(TextHolding(tess, " 599", 700).find(" 599"), std::string::npos);

        const std::string target = "192.0.2." + std::to_string(signal);
        server.Type("ban " + target + " at the stop");
        ASSERT_TRUE(server.OutputShows("banned " + target)) << server.out;

        // The five seconds count from the signal.
        const auto signalled = std::chrono::steady_clock::now();
        kill(server.pid, signal);
        const std::string notice = "[SERVER]: The server is shutting down.";
        EXPECT_NE(TextHolding(paul, notice).find(notice), std::string::npos) << signal;
        EXPECT_NE(TextHolding(tess, notice).find(notice), std::string::npos) << signal;
        EXPECT_TRUE(paul.SeesClose());
        EXPECT_TRUE(tess.SeesClose());
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - signalled);
        EXPECT_EQ(server.Wait(static_cast<int>(std::max<std::int64_t>(0, 5000 - spent.count()))), 0)
            << signal << ": " << server.err;
        EXPECT_NE(ReadBytes(banFile).find(target + " - at the stop\n"), std::string::npos)
            << "the last ban is written before the end";
        EXPECT_NE(server.out.find("shutting down: telling 3 connections and closing them"),
                  std::string::npos)
            << server.out;
    }
}

TEST(ServerProcess, TlsAndPlainClientsShareOnePortAndThePinIsTheKeysOwn)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    const std::string pin = OpenSslPin(made.certificate);
    ASSERT_EQ(pin.size(), 64u);
    {
        ServerProcess printer({"--tls-pin", "--tls-cert", made.certificate});
        EXPECT_EQ(printer.Wait(), 0) << printer.err;
        EXPECT_EQ(printer.out, pin + "\n");
    }

    ServerProcess server({"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;
    EXPECT_TRUE(server.OutputShows("the pin for clients' tls-pin= is " + pin)) << server.out;

    TlsClient newest, older;
    ASSERT_TRUE(newest.Connect(port));
    ASSERT_TRUE(older.Connect(port, TLS1_2_VERSION));
    EXPECT_EQ(newest.Version(), "TLSv1.3");
    EXPECT_EQ(older.Version(), "TLSv1.2");
    RawConnection plain;
    ASSERT_TRUE(plain.Connect("127.0.0.1", port));
    newest.Send(Frame(PacketType::Nickname, "Tess"));
    older.Send(Frame(PacketType::Nickname, "Toby"));
    plain.Send(Frame(PacketType::Nickname, "Paul"));
    EXPECT_NE(TextHolding(newest, "Tess joined.").find("Tess joined."), std::string::npos);
    EXPECT_NE(TextHolding(older, "Toby joined.").find("Toby joined."), std::string::npos);
    EXPECT_NE(TextHolding(plain, "Paul joined.").find("Paul joined."), std::string::npos);

    // One room: what each says, every other hears, whichever way its bytes travel.
    plain.Send(Frame(PacketType::ChatMessage, "[12:00:00] [Paul]: in the clear"));
    newest.Send(Frame(PacketType::ChatMessage, "[12:00:01] [Tess]: under TLS 1.3"));
    older.Send(Frame(PacketType::ChatMessage, "[12:00:02] [Toby]: under TLS 1.2"));
    // The three lines come in any order among the room's other news.
    const auto hears = [](auto& connection) {
        std::string heard;
        for (int i = 0; i < 20; ++i)
        {
            heard += TextOf(connection.ReceivePacket(5000)) + "\n";
            if (heard.find("[Paul]: in the clear") != std::string::npos &&
                heard.find("[Tess]: under TLS 1.3") != std::string::npos &&
                heard.find("[Toby]: under TLS 1.2") != std::string::npos)
                return true;
        }
        ADD_FAILURE() << heard;
        return false;
    };
    EXPECT_TRUE(hears(plain));
    EXPECT_TRUE(hears(newest));
    EXPECT_TRUE(hears(older));
}

TEST(ServerProcess, TlsOnlyRefusesPlainClientsAndUnusableKeysStopTheStart)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    const TestCertificate other = MakeCertificate(dir.Path(), "other", "rsa");
    const TestCertificate another = MakeCertificate(dir.Path(), "another");
    {
        ServerProcess server(
            {"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key, "--tls-only"});
        const std::uint16_t port = server.ListeningPort();
        ASSERT_NE(port, 0) << server.err;
        RawConnection plain;
        ASSERT_TRUE(plain.Connect("127.0.0.1", port));
        plain.Send(Frame(PacketType::Nickname, "Paul"));
        EXPECT_NE(TextOf(plain.ReceivePacket())
                      .find("[SERVER]: This server accepts encrypted connections only."),
                  std::string::npos);
        EXPECT_TRUE(plain.SeesClose());
        TlsClient tls;
        EXPECT_TRUE(tls.Connect(port)) << "TLS clients are welcome";
    }
    {
        // A server without TLS tells a TLS client at once, not after the nickname time-out.
        ServerProcess server({"--port", "0"});
        const std::uint16_t port = server.ListeningPort();
        TlsClient tls;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(tls.Connect(port));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(server.OutputShows("began a TLS handshake, and this server has no TLS"));
    }
    for (const auto& [arguments, why] :
         {std::pair<std::vector<std::string>, std::string>{
              {"--tls-cert", made.certificate, "--tls-key", other.key},
              "the private key " + other.key + " is not the key of the certificate"},
          {{"--tls-cert", made.certificate, "--tls-key", another.key},
           "the private key " + another.key + " is not the key of the certificate"},
          {{"--tls-cert", made.key, "--tls-key", made.key}, "holds no usable certificate"},
          {{"--tls-cert", dir.File("missing.crt"), "--tls-key", made.key},
           "cannot read the certificate"}})
    {
        ServerProcess server(arguments);
        EXPECT_EQ(server.Wait(), 2) << arguments[1];
        EXPECT_EQ(server.err.find('\n'), server.err.size() - 1) << "one line: " << server.err;
        EXPECT_NE(server.err.find(why), std::string::npos) << server.err;
    }
}

TEST(ServerProcess, AHandshakeStormFromOneAddressWaitsItsTurnWhileTheRoomAndOthersGoOn)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    ServerProcess server({"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key,
                          "--max-per-address", "0", "--nickname-timeout", "3"});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;
    RawConnection alice;
    ASSERT_TRUE(alice.Connect("127.0.0.1", port));
    alice.Send(Frame(PacketType::Nickname, "Alice"));
    ASSERT_NE(TextHolding(alice, "Alice joined.").find("joined"), std::string::npos);

    // Twelve hellos from one address, none of them going on: four handshakes from one address
    // are made at a time, the others wait for a place.
    std::vector<TlsClient> storm(12);
    for (auto& hello : storm)
        ASSERT_TRUE(hello.SendHello(port, "127.0.0.20"));
    // Whichever four are served first, however late; the others are told nothing.
    std::vector<std::size_t> answered, waiting;
    std::vector<bool> served(storm.size(), false);
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         answered.size() < 4 && std::chrono::steady_clock::now() < end;)
        for (std::size_t i = 0; i < storm.size(); ++i)
            if (!served[i] && storm[i].Answered(10))
            {
                served[i] = true;
                answered.push_back(i);
            }
    ASSERT_EQ(answered.size(), 4u);
    for (std::size_t i = 0; i < storm.size(); ++i)
        if (!served[i])
            waiting.push_back(i);

    // Meanwhile the room and a TLS client from elsewhere go on.
    TlsClient tess;
    ASSERT_TRUE(tess.Connect(port, 0, "127.0.0.21"));
    tess.Send(Frame(PacketType::Nickname, "Tess"));
    EXPECT_NE(TextHolding(alice, "Tess joined.").find("Tess joined."), std::string::npos);
    tess.Send(Frame(PacketType::ChatMessage, "[12:00:00] [Tess]: still here"));
    EXPECT_NE(TextHolding(alice, "still here").find("[Tess]: still here"), std::string::npos);
    // A server that answered the others late would be seen within this second.
    const auto quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (std::size_t i : waiting)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            quietUntil - std::chrono::steady_clock::now());
        EXPECT_FALSE(storm[i].Answered(static_cast<int>(std::max<std::int64_t>(0, left.count()))))
            << "hello " << i << " had no place";
    }

    // A handshake that ends gives its place to the next one waiting, and its client is a member.
    ASSERT_TRUE(storm[answered[0]].FinishHandshake());
    EXPECT_TRUE(storm[waiting[0]].Answered(5000));
    storm[answered[0]].Send(Frame(PacketType::Nickname, "Stormy"));
    EXPECT_NE(TextHolding(alice, "Stormy joined.").find("Stormy joined."), std::string::npos);

    // Handshakes not made in time are given up, waiting or not, and the log says why.
    for (std::size_t i = 0; i < storm.size(); ++i)
    {
        if (i != answered[0])
        {
            EXPECT_TRUE(storm[i].SeesClose(8000)) << "hello " << i;
        }
    }
    EXPECT_TRUE(server.OutputShows("disconnected: no TLS handshake within 3 s")) << server.out;
    tess.Send(Frame(PacketType::ChatMessage, "[12:00:01] [Tess]: after the storm"));
    EXPECT_NE(TextHolding(alice, "after the storm").find("[Tess]: after the storm"),
              std::string::npos);
}

// A TLS client from the address says hello and is closed unanswered, and the log says why.
void ExpectTlsHelloTurnedAway(ServerProcess& server, std::uint16_t port, const char* from,
                              const std::string& why)
{
    TlsClient client;
    ASSERT_TRUE(client.SendHello(port, from));
    EXPECT_TRUE(client.ClosedUnanswered()) << from;
    EXPECT_TRUE(server.OutputShows("closed at once: a TLS client turned away: " + why))
        << server.out;
}

TEST(ServerProcess, BannedAndTurnedAwayTlsClientsAreClosedBeforeAnyTlsWork)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    const std::string banFile = dir.File("bans");
    WriteBytes(banFile, "127.0.0.30 - spam\n");
    ServerProcess server({"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key,
                          "--ban-file", banFile, "--max-per-address", "1", "--max-clients", "2"});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;

    // Banned: a TLS client's hello is never answered, a plain client is told why.
    ExpectTlsHelloTurnedAway(server, port, "127.0.0.30", "banned (127.0.0.30)");
    RawConnection bannedPlain;
    ASSERT_TRUE(bannedPlain.Connect("127.0.0.1", port, "127.0.0.30"));
    bannedPlain.Send(Frame(PacketType::Nickname, "Spammer"));
    EXPECT_NE(TextOf(bannedPlain.ReceivePacket()).find("You are banned from this server."),
              std::string::npos);

    // One connection an address, two in all.
    TlsClient first, third;
    ASSERT_TRUE(first.Connect(port, 0, "127.0.0.31"));
    ExpectTlsHelloTurnedAway(server, port, "127.0.0.31", "too many connections from its address");
    ASSERT_TRUE(third.Connect(port, 0, "127.0.0.32"));
    ExpectTlsHelloTurnedAway(server, port, "127.0.0.33", "server full");
    RawConnection plain;
    ASSERT_TRUE(plain.Connect("127.0.0.1", port, "127.0.0.33"));
    plain.Send(Frame(PacketType::Nickname, "Paul"));
    EXPECT_NE(TextOf(plain.ReceivePacket()).find("[SERVER]: Server is full."), std::string::npos);

    // Those let in are members as ever.
    first.Send(Frame(PacketType::Nickname, "First"));
    ASSERT_NE(TextHolding(first, "First joined.").find("First joined."), std::string::npos);
    third.Send(Frame(PacketType::Nickname, "Third"));
    EXPECT_NE(TextHolding(first, "Third joined.").find("Third joined."), std::string::npos);
}

TEST(ServerProcess, ABanReachesNewcomersStillWaitingForTheirFirstByteOrTheirHandshake)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    ServerProcess server(
        {"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key, "--console"});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;
    ASSERT_TRUE(server.OutputShows("taking operator commands from the console"));

    // Let in by their addresses: two that have sent nothing yet, one in its handshake.
    RawConnection quietPlain, quietTls;
    ASSERT_TRUE(quietPlain.Connect("127.0.0.1", port, "127.0.0.40"));
    ASSERT_TRUE(quietTls.Connect("127.0.0.1", port, "127.0.0.41"));
    TlsClient shaking;
    ASSERT_TRUE(shaking.SendHello(port, "127.0.0.42"));
    ASSERT_TRUE(shaking.Answered(5000));
    ASSERT_TRUE(server.OutputShows("connection from 127.0.0.42"));

    server.Type("ban 127.0.0.40/31 spam");
    server.Type("ban 127.0.0.42 spam");
    ASSERT_TRUE(server.OutputShows("banned 127.0.0.42")) << server.out;

    // The plain client is told why, the TLS client is closed before any TLS work, and the one
    // whose handshake ends is told why and closed: none of them reaches the room.
    quietPlain.Send(Frame(PacketType::Nickname, "Plain"));
    EXPECT_NE(TextOf(quietPlain.ReceivePacket()).find("You are banned from this server."),
              std::string::npos);
    EXPECT_TRUE(quietPlain.SeesClose());
    quietTls.Send(std::string("\x16\x03\x01\x00\x05hello"));
    EXPECT_TRUE(quietTls.SeesClose());
    EXPECT_TRUE(
        server.OutputShows("closed at once: a TLS client turned away: banned (127.0.0.40/31)"))
        << server.out;
    if (shaking.FinishHandshake())
    {
        shaking.Send(Frame(PacketType::Nickname, "Shaking"));
        EXPECT_NE(TextOf(shaking.ReceivePacket()).find("You are banned from this server."),
                  std::string::npos);
    }
    EXPECT_TRUE(shaking.SeesClose());
    server.Type("who");
    EXPECT_TRUE(server.OutputShows("nobody is connected")) << server.out;
    EXPECT_EQ(server.Count(" joined as "), 0u) << server.out;
}

TEST(ServerProcess, ANewcomersTimeToNameItselfCountsFromItsConnectionWhateverItWaitedFor)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    ServerProcess server({"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key,
                          "--nickname-timeout", "2"});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;

    // A plain client whose first byte comes three quarters into its time: told nothing, and not
    // closed, until then.
    RawConnection late;
    ASSERT_TRUE(late.Connect("127.0.0.1", port));
    EXPECT_FALSE(late.SeesClose(1500));
    late.Send(Bytes{0x00});
    // What is left of its time is all it has: closed 2 s from its connection, not from its
    // first byte (which would be 3.5 s from it).
    const std::string told = TextOf(late.ReceivePacket(1500));
    EXPECT_NE(told.find("No nickname was chosen within 2 seconds."), std::string::npos) << told;
    EXPECT_TRUE(late.SeesClose(1000));
}

TEST(ServerProcess, SighupReloadsTheCertificateForNewcomersWhileMembersStayAndBadFilesChangeNothing)
{
    TempDir dir;
    const TestCertificate made = MakeCertificate(dir.Path(), "server");
    ServerProcess server({"--port", "0", "--tls-cert", made.certificate, "--tls-key", made.key});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;
    TlsClient tess;
    RawConnection paul;
    ASSERT_TRUE(tess.Connect(port));
    ASSERT_TRUE(paul.Connect("127.0.0.1", port));
    tess.Send(Frame(PacketType::Nickname, "Tess"));
    ASSERT_NE(TextHolding(tess, "Tess joined.").find("joined"), std::string::npos);
    paul.Send(Frame(PacketType::Nickname, "Paul"));
    ASSERT_NE(TextHolding(tess, "Paul joined.").find("joined"), std::string::npos);
    int said = 0;
    // Tess is still in the room, over the connection she began with.
    const auto tessStays = [&] {
        const std::string line = "[12:00:00] [Tess]: still here " + std::to_string(++said);
        tess.Send(Frame(PacketType::ChatMessage, line));
        EXPECT_NE(TextHolding(paul, line).find(line), std::string::npos);
    };
    // What a newcomer gets: the certificate's DER, with its pin checked too.
    const auto newcomerGets = [&](const std::string& pin) {
        TlsClient newcomer;
        EXPECT_TRUE(newcomer.Connect(port));
        EXPECT_EQ(newcomer.ServerPin(), pin);
        return newcomer.ServerCertificateDer();
    };

    // Renewed with a new key: newcomers get it, and the log says the pin has changed.
    const std::string oldPin = OpenSslPin(made.certificate);
    MakeCertificate(dir.Path(), "server");
    const std::string newPin = OpenSslPin(made.certificate);
    ASSERT_NE(newPin, oldPin);
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("certificate reloaded from " + made.certificate +
                                   " for new connections; the pin for clients' tls-pin= is " +
                                   newPin + " (a new key"))
        << server.out;
    EXPECT_EQ(newcomerGets(newPin), OpenSslCertificateDer(made.certificate));
    tessStays();

    // Renewed with the same key and a new expiry: the same pin.
    ASSERT_EQ(std::system(("openssl req -x509 -key '" + made.key +
                           "' -days 30 -subj /CN=renewed -out '" + made.certificate + "'")
                              .c_str()),
              0);
    const std::string renewed = OpenSslCertificateDer(made.certificate);
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows(newPin + " (unchanged)")) << server.out;
    EXPECT_EQ(newcomerGets(newPin), renewed);
    tessStays();

    // Files that cannot be used: the certificate in use stays, and one line says why.
    const std::string goodCertificate = ReadBytes(made.certificate);
    WriteBytes(made.certificate, "not a certificate\n");
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("certificate not reloaded, the one in use stays: cannot use the "
                                   "certificate " +
                                   made.certificate))
        << server.out;
    EXPECT_EQ(newcomerGets(newPin), renewed);
    WriteBytes(made.certificate, goodCertificate);
    const TestCertificate other = MakeCertificate(dir.Path(), "other");
    WriteBytes(made.key, ReadBytes(other.key));
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("the one in use stays: the private key " + made.key +
                                   " is not the key of the certificate"))
        << server.out;
    EXPECT_EQ(newcomerGets(newPin), renewed);
    tessStays();

    kill(server.pid, SIGTERM);
    EXPECT_EQ(server.Wait(), 0) << server.err;
    EXPECT_EQ(std::count(server.out.begin(), server.out.end(), '\n'),
              std::count(server.out.begin(), server.out.end(), '['))
        << "one line each: " << server.out;
}

TEST(ServerProcess, SighupReadsTheBanFileAgainAndAFileThatCannotBeReadChangesNothing)
{
    TempDir dir;
    const std::string banFile = dir.File("bans");
    const std::string control = dir.File("control");
    WriteBytes(banFile, "192.0.2.0/24 - the office\n");
    ServerProcess server({"--port", "0", "--ban-file", banFile, "--control", control});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;
    RawConnection alice, bob;
    ASSERT_TRUE(alice.Connect("127.0.0.1", port));
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, "127.0.0.3"));
    alice.Send(Frame(PacketType::Nickname, "Alice"));
    ASSERT_NE(TextHolding(alice, "Alice joined.").find("joined"), std::string::npos);
    bob.Send(Frame(PacketType::Nickname, "Bob"));
    ASSERT_NE(TextHolding(alice, "Bob joined.").find("joined"), std::string::npos);
    const auto newcomerFrom = [&](const char* address) {
        RawConnection newcomer;
        EXPECT_TRUE(newcomer.Connect("127.0.0.1", port, address));
        return TextOf(newcomer.ReceivePacket());
    };

    // Edited by hand: one ban lifted, two added; the member from a banned address goes.
    WriteBytes(banFile, "127.0.0.3 - spam\n127.0.0.4 2099-01-01T00:00:00Z flooding\n");
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("ban file reloaded from " + banFile +
                                   ": 2 bans in force (2 added, 1 lifted, 0 changed; 1 removed "
                                   "from the room)"))
        << server.out;
    EXPECT_NE(TextHolding(bob, "banned").find("you are banned from this server (spam)."),
              std::string::npos);
    EXPECT_TRUE(bob.SeesClose());
    EXPECT_NE(TextHolding(alice, "Bob left").find("Bob left (banned: spam)."), std::string::npos);
    EXPECT_NE(newcomerFrom("127.0.0.4").find("You are banned from this server. Reason: flooding."),
              std::string::npos);

    // A line that cannot be read, or no file at all: the bans in force stay.
    WriteBytes(banFile, "127.0.0.3 - spam\n127.0.0.4 tomorrow flooding\n");
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("ban file not reloaded, the 2 bans in force stay: " + banFile +
                                   " line 2: the end time tomorrow is neither"))
        << server.out;
    std::filesystem::remove(banFile);
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("the 2 bans in force stay: " + banFile + " is not there"))
        << server.out;
    EXPECT_NE(newcomerFrom("127.0.0.4").find("You are banned from this server."),
              std::string::npos);
    alice.Send(Frame(PacketType::ChatMessage, "[12:00:00] [Alice]: still here"));
    EXPECT_NE(TextHolding(alice, "still here").find("[Alice]: still here"), std::string::npos);

    // The operator's bans reach the file at most once a second: a reload right after a ban,
    // before it is written, keeps it (the file is compared with what was last written there).
    ASSERT_EQ(SendCommand(control, "ban 198.51.100.1 first").exitCode, 0);
    ASSERT_TRUE(FileComesToHold(banFile, "198.51.100.1 - first\n"));
    ASSERT_EQ(SendCommand(control, "ban 198.51.100.2 second").exitCode, 0);
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("ban file reloaded from " + banFile +
                                   ": 4 bans in force (0 added, 0 lifted, 0 changed)"))
        << server.out;
    EXPECT_TRUE(FileComesToHold(banFile, "198.51.100.2 - second\n")) << ReadBytes(banFile);
    const std::string listed = SendCommand(control, "bans").out;
    EXPECT_NE(listed.find("198.51.100.1"), std::string::npos) << listed;
    EXPECT_NE(listed.find("198.51.100.2"), std::string::npos) << listed;
    // A reason with a control character is only cleaned: the reload takes the file.
    WriteBytes(banFile, ReadBytes(banFile) + "198.51.100.3 - tab\there\n");
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(server.OutputShows("ban file reloaded from " + banFile +
                                   ": 5 bans in force (1 added, 0 lifted, 0 changed)"))
        << server.out;
}

// A datagram socket where systemd would listen, and what comes to it.
class NotifySocket
{
public:
    explicit NotifySocket(const std::string& path) : path(path)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~NotifySocket() { close(fd); }

    // The next message; empty when none comes in time.
    std::string Next(int timeoutMs = 5000)
    {
        pollfd record{fd, POLLIN, 0};
        if (poll(&record, 1, timeoutMs) <= 0)
            return "";
        char message[4096];
        const ssize_t n = recv(fd, message, sizeof message, 0);
        return n > 0 ? std::string(message, static_cast<std::size_t>(n)) : "";
    }
    // Messages until one begins with the text; that one, or empty.
    std::string NextStarting(const std::string& text, int count = 50)
    {
        for (int i = 0; i < count; ++i)
        {
            const std::string message = Next();
            if (message.empty() || message.rfind(text, 0) == 0)
                return message;
        }
        return "";
    }

    const std::string path;

private:
    int fd = -1;
};

TEST(ServerProcess, TellsTheServiceManagerItIsReadyReloadingStoppingAndAlive)
{
    TempDir dir;
    NotifySocket systemd(dir.File("notify"));
    ServerProcess server({"--port", "0"}, 0,
                         {"NOTIFY_SOCKET=" + systemd.path, "WATCHDOG_USEC=400000"});
    const std::string ready = systemd.Next();
    EXPECT_EQ(ready.rfind("READY=1\nSTATUS=listening on 127.0.0.1 port ", 0), 0u) << ready;
    // Ready means ready for a reload too, at once: the signal does not end the server.
    kill(server.pid, SIGHUP);
    std::string reloading = systemd.NextStarting("RELOADING=1");
    ASSERT_NE(reloading, "") << server.err;
    EXPECT_EQ(systemd.NextStarting("READY=1"), ready);
    // Ready means listening.
    const std::uint16_t port = server.ListeningPort();
    RawConnection client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    // Every 200 ms, from the event loop.
    EXPECT_EQ(systemd.Next(), "WATCHDOG=1");
    EXPECT_EQ(systemd.Next(), "WATCHDOG=1");

    kill(server.pid, SIGHUP);
    reloading = systemd.NextStarting("RELOADING=1");
    EXPECT_NE(reloading.find("\nMONOTONIC_USEC="), std::string::npos) << reloading;
    EXPECT_EQ(systemd.NextStarting("READY=1"), ready) << "the same status as at start";
    EXPECT_TRUE(server.OutputShows("reload: nothing to read again")) << server.out;

    kill(server.pid, SIGTERM);
    EXPECT_EQ(systemd.NextStarting("STOPPING=1"), "STOPPING=1\nSTATUS=shutting down");
    EXPECT_EQ(server.Wait(), 0);
}

TEST(ServerProcess, OperatorRunsTheRoomFromTheConsoleAndTheControlSocketAndBansLast)
{
    TempDir dir;
    const std::string control = dir.File("control");
    const std::string banFile = dir.File("bans");
    const std::vector<std::string> arguments = {"--port", "0",          "--console", "--control",
                                                control,  "--ban-file", banFile};
    auto server = std::make_unique<ServerProcess>(arguments);
    std::uint16_t port = server->ListeningPort();
    ASSERT_NE(port, 0) << server->err;
    ASSERT_TRUE(server->OutputShows("taking operator commands from the console"));
    struct stat socketFile
    {
    };
    ASSERT_EQ(stat(control.c_str(), &socketFile), 0);
    EXPECT_EQ(socketFile.st_mode & 0777, 0600u) << "the server's own user only";

    RawConnection alice, bob;
    ASSERT_TRUE(alice.Connect("127.0.0.1", port));
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, "127.0.0.2"));
    alice.Send(Frame(PacketType::Nickname, "Alice"));
    bob.Send(Frame(PacketType::Nickname, "Bob the Builder"));
    ASSERT_NE(TextHolding(alice, "Alice joined.").find("joined"), std::string::npos);
    ASSERT_NE(TextHolding(bob, "Bob the Builder joined.").find("joined"), std::string::npos);

    // At the console.
    server->Type("who");
    EXPECT_TRUE(server->OutputShows("2 connections\nAlice  127.0.0.1:")) << server->out;
    EXPECT_TRUE(server->OutputShows("Bob the Builder  127.0.0.2:"));
    EXPECT_TRUE(server->OutputShows("console: who -> listed"));

    // Through the control socket.
    const CommandRun said = SendCommand(control, "say maintenance at noon");
    EXPECT_EQ(said.exitCode, 0) << said.err;
    EXPECT_EQ(said.out, "said to everyone: maintenance at noon\n");
    EXPECT_NE(TextHolding(alice, "maintenance").find("[SERVER]: maintenance at noon"),
              std::string::npos);

    const CommandRun kicked = SendCommand(control, "kick alice being rude");
    EXPECT_EQ(kicked.exitCode, 0) << kicked.err;
    EXPECT_NE(TextHolding(alice, "removed").find("You were removed from the room: being rude."),
              std::string::npos);
    EXPECT_TRUE(alice.SeesClose());
    EXPECT_NE(TextHolding(bob, "Alice left").find("Alice left (removed: being rude)."),
              std::string::npos);
    EXPECT_TRUE(server->OutputShows("control socket: kick alice being rude -> kicked Alice"));

    // Bad commands change nothing and say why.
    for (const std::string bad :
         {"frobnicate", "kick Nobody", "ban Bob the Builder 5x spam", "unban 192.0.2.1", "say"})
    {
        const CommandRun refused = SendCommand(control, bad);
        EXPECT_EQ(refused.exitCode, 1) << bad;
        EXPECT_EQ(refused.out, "") << bad;
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
    }

    // A ban by nickname bans the member's address, and lasts over a restart.
    server->Type("ban Bob the Builder 30m spamming");
    EXPECT_TRUE(server->OutputShows("-> banned 127.0.0.2 for 30m, until ")) << server->out;
    EXPECT_NE(TextHolding(bob, "banned").find("you are banned from this server (spamming)."),
              std::string::npos);
    EXPECT_TRUE(bob.SeesClose());
    kill(server->pid, SIGTERM);
    EXPECT_EQ(server->Wait(), 0);
    server = std::make_unique<ServerProcess>(arguments);
    port = server->ListeningPort();
    ASSERT_NE(port, 0) << server->err;
    EXPECT_TRUE(server->OutputShows("1 ban in force"));
    ASSERT_TRUE(server->OutputShows("taking operator commands from the console"));
    RawConnection banned, welcome;
    ASSERT_TRUE(banned.Connect("127.0.0.1", port, "127.0.0.2"));
    EXPECT_NE(TextOf(banned.ReceivePacket())
                  .find("You are banned from this server. Reason: spamming. The ban ends 20"),
              std::string::npos);
    EXPECT_TRUE(banned.SeesClose());
    ASSERT_TRUE(welcome.Connect("127.0.0.1", port));
    welcome.Send(Frame(PacketType::Nickname, "Welcome"));
    EXPECT_NE(TextHolding(welcome, "Welcome joined.").find("joined"), std::string::npos);

    const CommandRun lifted = SendCommand(control, "unban 127.0.0.2");
    EXPECT_EQ(lifted.out, "lifted the ban on 127.0.0.2\n") << lifted.err;
    EXPECT_EQ(SendCommand(control, "bans").out, "no bans\n");
    RawConnection back;
    ASSERT_TRUE(back.Connect("127.0.0.1", port, "127.0.0.2"));
    back.Send(Frame(PacketType::Nickname, "Bob"));
    EXPECT_NE(TextHolding(back, "Bob joined.").find("joined"), std::string::npos);

    // One server at a time on a control socket; none there, and the command says so.
    ServerProcess second({"--port", "0", "--control", control});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.err.find("another server takes commands at " + control), std::string::npos)
        << second.err;
    const CommandRun nobody = SendCommand(dir.File("nothing"), "who");
    EXPECT_EQ(nobody.exitCode, 2);
    EXPECT_NE(nobody.err.find("cannot reach the server at"), std::string::npos);
}

// Scrapes until the sample has the value, for what the server counts after the client can tell;
// the last scrape.
HttpAnswer ScrapeUntil(std::uint16_t port, const std::string& sample, double value)
{
    HttpAnswer scraped;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         std::chrono::steady_clock::now() < end;)
    {
        scraped = HttpGet(port, "/metrics");
        if (SampleValue(scraped.body, sample) == value)
            break;
    }
    return scraped;
}

TEST(ServerProcess, MetricsShowAnOperatorWhatTheRoomDoes)
{
    TempDir dir;
    const std::string certificate = dir.File("soon.crt"), key = dir.File("soon.key");
    ASSERT_NE(CommandOutput("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                            "-days 3 -subj /CN=soon -keyout '" +
                            key + "' -out '" + certificate + "' 2>/dev/null && echo made"),
              "")
        << "a certificate that expires in three days";
    ServerProcess server({"--port", "0", "--console", "--nickname-timeout", "1", "--metrics",
                          "127.0.0.1:0", "--tls-cert", certificate, "--tls-key", key});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;
    const std::uint16_t metrics = MetricsPort(server);
    ASSERT_NE(metrics, 0) << server.out;
    ASSERT_TRUE(server.OutputShows("taking operator commands from the console"));

    // Clients of the metrics port that never ask anything hold up neither the room nor the
    // other scrapers.
    std::vector<RawConnection> silent(4);
    for (auto& connection : silent)
        ASSERT_TRUE(connection.Connect("127.0.0.1", metrics));

    TlsClient tess;
    ASSERT_TRUE(tess.Connect(port));
    tess.Send(Frame(PacketType::Nickname, "Tess"));
    ASSERT_NE(TextHolding(tess, "Tess joined.").find("joined"), std::string::npos);
    const auto member = [&](const std::string& name, const char* from = "127.0.0.1") {
        auto connection = std::make_unique<RawConnection>();
        EXPECT_TRUE(connection->Connect("127.0.0.1", port, from));
        connection->Send(Frame(PacketType::Nickname, name));
        EXPECT_NE(TextHolding(*connection, name + " joined.").find("joined"), std::string::npos);
        // Tess hears everything, and may have more before it.
        EXPECT_NE(TextHolding(tess, name + " joined.", 200).find("joined"), std::string::npos);
        return connection;
    };
    auto bob = member("Bob");
    for (int i = 0; i < 3; ++i)
    {
        const std::string line = "[12:00:00] [Tess]: line " + std::to_string(i);
        tess.Send(Frame(PacketType::ChatMessage, line));
        EXPECT_EQ(TextHolding(*bob, line), line);
    }
    EXPECT_EQ(HttpGet(metrics, "/healthz").body, "ok\n");
    EXPECT_EQ(HttpGet(metrics, "/readyz").body, "ready\n");

    HttpAnswer scraped = HttpGet(metrics, "/metrics");
    ASSERT_EQ(scraped.status, 200);
    EXPECT_EQ(PromtoolProblems(scraped.body), "") << scraped.body;
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_members"), 2);
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_lines_total"), 3);
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_broadcast_seconds_count"), 3);
    EXPECT_GE(SampleValue(scraped.body, "ostrel_deliveries_total"), 3 * 2);
    const double expiry =
        SampleValue(scraped.body, "ostrel_tls_certificate_expiry_timestamp_seconds");
    EXPECT_NEAR(expiry, static_cast<double>(std::time(nullptr) + 3 * 86400), 3600)
        << "the certificate runs out in three days";
    EXPECT_GT(SampleValue(scraped.body, "process_resident_memory_bytes"), 1 << 20);
    EXPECT_GE(SampleValue(scraped.body, "process_open_fds"), 4 + 2);

    // Every way of leaving that a client or the operator brings about, once each.
    auto dave = member("Dave");
    dave->Close();
    EXPECT_NE(TextHolding(tess, "Dave left.", 200).find("Dave left."), std::string::npos);

    server.Type("kick Bob");
    EXPECT_TRUE(bob->SeesClose());

    auto fred = member("Fred");
    std::string flood;
    for (int i = 0; i < 70; ++i)
        flood += Frame(PacketType::ChatMessage, "[12:00:00] [Fred]: " + std::to_string(i));
    fred->Send(flood);
    EXPECT_TRUE(fred->SeesClose()) << "cut off for flooding";

    RawConnection garbled, nameless;
    ASSERT_TRUE(garbled.Connect("127.0.0.1", port));
    garbled.Send(Bytes{0x00, 0x01, 0x05});
    EXPECT_TRUE(garbled.SeesClose());
    ASSERT_TRUE(nameless.Connect("127.0.0.1", port));
    EXPECT_TRUE(nameless.SeesClose()) << "no nickname within a second";

    auto carl = member("Carl", "127.0.0.3");
    server.Type("ban 127.0.0.3");
    EXPECT_TRUE(carl->SeesClose());
    RawConnection again;
    ASSERT_TRUE(again.Connect("127.0.0.1", port, "127.0.0.3"));
    EXPECT_TRUE(again.SeesClose()) << "turned away: banned";

    // A TLS record that is no handshake: the handshake fails, and the connection counts as one
    // that sent what cannot be read.
    RawConnection notTls;
    ASSERT_TRUE(notTls.Connect("127.0.0.1", port));
    notTls.Send(Bytes{0x16, 0x03, 0x01, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'});
    EXPECT_TRUE(notTls.SeesClose());

    // The handshake's end reaches the room's thread after the client has seen its close.
    scraped = ScrapeUntil(metrics, "ostrel_tls_handshakes_total{result=\"failed\"}", 1);
    EXPECT_EQ(PromtoolProblems(scraped.body), "") << scraped.body;
    for (const char* reason : {"left", "kicked", "flooding", "timeout", "banned", "turned_away"})
        EXPECT_EQ(SampleValue(scraped.body,
                              "ostrel_disconnects_total{reason=\"" + std::string(reason) + "\"}"),
                  1)
            << reason;
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_disconnects_total{reason=\"bad_input\"}"), 2);
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_disconnects_total{reason=\"too_slow\"}"), 0);
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_tls_handshakes_total{result=\"ok\"}"), 1);
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_tls_handshakes_total{result=\"failed\"}"), 1);

    // The console's stats give the same figures.
    server.Type("stats");
    for (const char* line :
         {"members 1, connections 1, bans 1\n",
          "disconnects: left 1, flooding 1, too_slow 0, timeout 1, bad_input 2, kicked 1, banned "
          "1, "
          "turned_away 1\n",
          "TLS: 1 handshakes, 1 failed; the certificate expires in ", "ready, version "})
        EXPECT_TRUE(server.OutputShows(line)) << line << " in\n" << server.out;
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_members"), 1) << "Tess stays";
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_bans"), 1);
    EXPECT_GE(SampleValue(scraped.body, "ostrel_lines_total"), 3 + 1) << "some of Fred's lines";

    kill(server.pid, SIGTERM);
    EXPECT_EQ(server.Wait(), 0) << server.err;
}

// Whether the condition comes true within the time, looking every 20 ms.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool OneLine(const std::string& text)
{
    return !text.empty() && text.find('\n') == text.size() - 1;
}

TEST(ServerProcess, BanFileCannotBeTurnedAgainstTheServerAndVeryLongBansLastOverARestart)
{
    TempDir dir;
    const std::string victim = dir.File("victim");
    WriteBytes(victim, "precious\n");

    // Anything but a regular file at --ban-file stops the start at once, with one line: a named
    // pipe would hold it for ever, a link or a folder would be replaced by the first ban.
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("folder"));
    std::filesystem::create_symlink(victim, dir.File("link"));
    for (const char* name : {"pipe", "folder", "link"})
    {
        ServerProcess server({"--port", "0", "--ban-file", dir.File(name)});
        EXPECT_EQ(server.Wait(), 2) << name;
        EXPECT_EQ(server.out, "") << name;
        EXPECT_TRUE(OneLine(server.err)) << server.err;
        EXPECT_NE(server.err.find(dir.File(name) + " is a"), std::string::npos) << server.err;
        EXPECT_NE(server.err.find(", not a regular file"), std::string::npos) << server.err;
    }

    // A link planted beside the ban file, at the name its new content was once written to, is
    // not written through: the new content goes to a file of its own.
    const std::string control = dir.File("control");
    const std::string banFile = dir.File("bans");
    std::filesystem::create_symlink(victim, banFile + ".tmp");
    const std::vector<std::string> arguments = {"--port", "0",          "--control",
                                                control,  "--ban-file", banFile};
    auto server = std::make_unique<ServerProcess>(arguments);
    ASSERT_NE(server->ListeningPort(), 0) << server->err;
    ASSERT_TRUE(server->OutputShows("taking operator commands at"));
    const CommandRun banned = SendCommand(control, "ban 203.0.113.11 500000w far too long");
    EXPECT_EQ(banned.exitCode, 0) << banned.err;
    EXPECT_EQ(banned.out, "banned 203.0.113.11 until lifted (3500000d is longer than the longest "
                          "timed ban, 3650d) (far too long)\n");
    EXPECT_TRUE(Eventually([&] {
        return ReadBytes(banFile).find("\n203.0.113.11 - far too long\n") != std::string::npos;
    })) << ReadBytes(banFile);
    EXPECT_EQ(ReadBytes(victim), "precious\n");
    struct stat status
    {
    };
    ASSERT_EQ(lstat(banFile.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << "the ban file is a file, not the planted link";
    ASSERT_EQ(lstat((banFile + ".tmp").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));

    // The ban, far longer than ten years, lasts until lifted, over a restart too.
    kill(server->pid, SIGTERM);
    EXPECT_EQ(server->Wait(), 0);
    server = std::make_unique<ServerProcess>(arguments);
    ASSERT_NE(server->ListeningPort(), 0) << server->err;
    EXPECT_TRUE(server->OutputShows("1 ban in force")) << server->out;
    ASSERT_TRUE(server->OutputShows("taking operator commands at"));
    EXPECT_EQ(SendCommand(control, "bans").out, "203.0.113.11  until lifted  far too long\n");
}

TEST(ServerProcess, BanFileThatCannotBeWrittenIsLoggedAndSaidUntilItCanBeAgain)
{
    TempDir dir;
    const std::string control = dir.File("control");
    const std::string state = dir.File("state");
    std::filesystem::create_directory(state);
    ServerProcess server({"--port", "0", "--control", control, "--ban-file", state + "/bans"});
    ASSERT_NE(server.ListeningPort(), 0) << server.err;
    ASSERT_TRUE(server.OutputShows("taking operator commands at"));

    // The folder goes: the next write fails, the log says so, and so does the next change.
    std::filesystem::remove(state);
    EXPECT_EQ(SendCommand(control, "ban 192.0.2.1").out, "banned 192.0.2.1 until lifted\n");
    // Both say why, in the system's words.
    const std::string why = "cannot write the ban file " + state +
                            "/bans (cannot make a new file beside it: No such file or directory)";
    EXPECT_TRUE(server.OutputShows(why + ": the bans hold until the server stops")) << server.out;
    EXPECT_EQ(SendCommand(control, "ban 192.0.2.2").out,
              "banned 192.0.2.2 until lifted\n(" + why +
                  ": the bans hold until the server stops, unless it can be written again)\n");

    // Back again, the next change writes every ban.
    std::filesystem::create_directory(state);
    EXPECT_EQ(SendCommand(control, "unban 192.0.2.1").exitCode, 0);
    EXPECT_TRUE(server.OutputShows("the ban file " + state + "/bans is written again"));
    EXPECT_EQ(ReadBytes(state + "/bans").substr(ReadBytes(state + "/bans").find("\n192")),
              "\n192.0.2.2 -\n");
    EXPECT_EQ(SendCommand(control, "ban 192.0.2.3").out, "banned 192.0.2.3 until lifted\n");
}

TEST(ServerProcess, OperatorTextsWithControlCharactersReachNobody)
{
    TempDir dir;
    const std::string control = dir.File("control");
    ServerProcess server({"--port", "0", "--control", control});
    const std::uint16_t port = server.ListeningPort();
    ASSERT_NE(port, 0) << server.err;
    RawConnection bob;
    ASSERT_TRUE(bob.Connect("127.0.0.1", port));
    bob.Send(Frame(PacketType::Nickname, "Bob"));
    ASSERT_NE(TextHolding(bob, "Bob joined.").find("joined"), std::string::npos);

    // Escape and backspaces would erase what the members see; every command refuses them alike.
    for (const std::string command : {"say", "kick Bob", "ban Bob"})
    {
        const CommandRun refused = SendCommand(control, command + " bye\x1b[2K\b\b");
        EXPECT_EQ(refused.exitCode, 1) << command;
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err, command.substr(0, command.find(' ')) +
                                   ": the command holds a control character (byte 0x1B), which "
                                   "members' screens would act on; nothing was done\n");
    }
    // Bob is still there, and the next he hears is the next line said.
    EXPECT_EQ(SendCommand(control, "say still here").exitCode, 0);
    std::string heard;
    for (int i = 0; i < 10 && heard.find("still here") == std::string::npos; ++i)
        heard += TextOf(bob.ReceivePacket(5000)) + "\n";
    EXPECT_NE(heard.find("[SERVER]: still here"), std::string::npos) << heard;
    EXPECT_EQ(heard.find('\x1b'), std::string::npos) << heard;
    EXPECT_EQ(heard.find("removed"), std::string::npos) << heard;
}

TEST(ServerProcess, ControlPathTooLongGetsOneLineAndExitCodeTwoBeforeAnythingListens)
{
    TempDir dir;
    const std::string path = dir.File(std::string(120, 'c'));
    ServerProcess server({"--port", "0", "--control", path});
    EXPECT_EQ(server.Wait(), 2);
    EXPECT_EQ(server.out, "") << "nothing listened";
    EXPECT_TRUE(OneLine(server.err)) << server.err;
    EXPECT_NE(server.err.find("may be at most 107 bytes"), std::string::npos) << server.err;

    const CommandRun command = SendCommand(path, "who");
    EXPECT_EQ(command.exitCode, 2);
    EXPECT_TRUE(OneLine(command.err)) << command.err;
    EXPECT_NE(command.err.find("may be at most 107 bytes"), std::string::npos) << command.err;
}

TEST(ServerProcess, LongBanListIsPrintedWholeAndAControlClientThatDoesNotReadIsDropped)
{
    TempDir dir;
    const std::string control = dir.File("control");
    const std::string banFile = dir.File("bans");
    std::string file, listing;
    for (int i = 0; i < 50000; ++i)
    {
        const std::string network =
            "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24";
        file += network + " - raid\n";
        listing += network + "  until lifted  raid\n";
    }
    WriteBytes(banFile, file);
    ServerProcess server({"--port", "0", "--console", "--control", control, "--ban-file", banFile});
    ASSERT_NE(server.ListeningPort(), 0) << server.err;
    ASSERT_TRUE(server.OutputShows("50000 bans in force")) << server.out;
    ASSERT_TRUE(server.OutputShows("taking operator commands from the console"));

    const CommandRun bans = SendCommand(control, "bans");
    EXPECT_EQ(bans.exitCode, 0) << bans.err;
    EXPECT_TRUE(bans.out == listing) << bans.out.size() << " bytes of " << listing.size();
    // The console prints it whole too, piece after piece.
    const std::size_t before = server.out.size();
    server.Type("bans");
    ASSERT_TRUE(server.OutputShows("10.195.79.0/24  until lifted  raid\n"));
    EXPECT_NE(server.out.find(listing, before), std::string::npos);

    // A client that asks for the list and reads none of it is let go; the others are answered
    // meanwhile.
    const int idle = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    control.copy(where.sun_path, sizeof where.sun_path - 1);
    ASSERT_EQ(connect(idle, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(write(idle, "bans\n", 5), 5);
    EXPECT_EQ(SendCommand(control, "who").out, "nobody is connected\n");
    EXPECT_TRUE(server.OutputShows("control socket: a client took nothing of its answer for 5 s; "
                                   "closed",
                                   15000))
        << server.out;
    std::string received;
    char chunk[65536];
    for (ssize_t n; (n = read(idle, chunk, sizeof chunk)) > 0;)
        received.append(chunk, static_cast<std::size_t>(n));
    close(idle);
    EXPECT_EQ(received.rfind("ok\n10.0.0.0/24  until lifted  raid\n", 0), 0u);
    EXPECT_LT(received.size(), listing.size()) << "closed before the end";
}

TEST(ServerProcess, PortInUseIsReportedWithExitCodeOne)
{
    ServerProcess first({"--port", "0"});
    const std::uint16_t port = first.ListeningPort();
    ASSERT_NE(port, 0);
    ServerProcess second({"--port", std::to_string(port)});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.err.find("cannot listen on 127.0.0.1 port " + std::to_string(port)),
              std::string::npos)
        << second.err;
}

} // namespace
