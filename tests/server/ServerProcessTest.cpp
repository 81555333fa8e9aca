// ostrel-server run as a process: its command line, its exit codes and its shutdown on signals.

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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

using namespace testing_support;
using oNet::PacketType;

namespace
{

class ServerProcess
{
public:
    // With a file limit, the server is started through the shell, which sets it first. Its
    // standard input is a pipe the test writes to (Type).
    explicit ServerProcess(std::vector<std::string> arguments, int fileLimit = 0)
    {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        arguments.insert(arguments.begin(), OSTREL_SERVER_PATH);
        if (fileLimit > 0)
            arguments.insert(arguments.begin(),
                             {"/bin/sh", "-c",
                              "ulimit -n " + std::to_string(fileLimit) + " && exec \"$0\" \"$@\""});
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        inFd = in[1];
        outFd = out[0];
        errFd = err[0];
    }

    // A line on the server's standard input, as typed at its console.
    void Type(const std::string& line)
    {
        const std::string bytes = line + "\n";
        EXPECT_EQ(write(inFd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    ~ServerProcess()
    {
        if (pid > 0 && !exited)
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(inFd);
        close(outFd);
        close(errFd);
    }

    // Reads the standard output until it holds the text; false after the time.
    bool OutputShows(const std::string& text, int timeoutMs = 5000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.find(text) == std::string::npos)
        {
            if (std::chrono::steady_clock::now() > end)
                return false;
            ReadAvailable(outFd, out, 50);
        }
        return true;
    }

    // Waits for the process to end and collects all it wrote; its exit status, or -1.
    int Wait(int timeoutMs = 5000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0)
        {
            if (std::chrono::steady_clock::now() > end)
                return -1;
            ReadAvailable(outFd, out, 20);
            ReadAvailable(errFd, err, 0);
        }
        exited = true;
        while (ReadAvailable(outFd, out, 0) || ReadAvailable(errFd, err, 0))
        {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The port the server reported listening on.
    std::uint16_t ListeningPort()
    {
        if (!OutputShows(" for up to "))
            return 0;
        const std::size_t at = out.find(" port ");
        return static_cast<std::uint16_t>(std::stoi(out.substr(at + 6)));
    }

    pid_t pid = -1;
    std::string out;
    std::string err;

private:
    static bool ReadAvailable(int fd, std::string& into, int timeoutMs)
    {
        pollfd record{fd, POLLIN, 0};
        if (poll(&record, 1, timeoutMs) <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        into.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int inFd = -1;
    int outFd = -1;
    int errFd = -1;
    bool exited = false;
};

TEST(ServerProcess, SignalsCloseEveryConnectionAndExitWithZero)
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
    {
        ServerProcess server({"--listen", "127.0.0.1", "--port", "0"});
        ASSERT_GT(server.pid, 0);
        const std::uint16_t port = server.ListeningPort();
        ASSERT_NE(port, 0) << server.out;
        RawConnection client;
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        ASSERT_TRUE(server.OutputShows("connection from 127.0.0.1"));

        kill(server.pid, signal);
        EXPECT_EQ(server.Wait(), 0) << signal << ": " << server.err;
        EXPECT_TRUE(client.SeesClose());
        EXPECT_NE(server.out.find("shutting down: closing 1 connections"), std::string::npos)
            << server.out;
    }
}

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

// Reads packets (at most `most`) until one holds the piece; its text, or what came last.
template <typename Connection>
std::string TextHolding(Connection& connection, const std::string& piece, int most = 10)
{
    std::string text;
    for (int i = 0; i < most && text.find(piece) == std::string::npos; ++i)
        text = TextOf(connection.ReceivePacket(5000));
    return text;
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
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--tls-cert", made.certificate, "--tls-key", other.key},
          {"--tls-cert", made.key, "--tls-key", made.key},
          {"--tls-cert", dir.File("missing.crt"), "--tls-key", made.key}})
    {
        ServerProcess server(arguments);
        EXPECT_EQ(server.Wait(), 2) << arguments[1];
        EXPECT_EQ(server.err.find('\n'), server.err.size() - 1) << "one line: " << server.err;
    }
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

// The port of the metrics endpoint, as the log names it; 0 when it does not.
std::uint16_t MetricsPort(ServerProcess& server)
{
    const std::string marker = "metrics at http://127.0.0.1:";
    if (!server.OutputShows(marker + "") || !server.OutputShows("/metrics, health at /healthz"))
        return 0;
    return static_cast<std::uint16_t>(
        std::stoi(server.out.substr(server.out.find(marker) + marker.size())));
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

    scraped = HttpGet(metrics, "/metrics");
    EXPECT_EQ(PromtoolProblems(scraped.body), "") << scraped.body;
    for (const char* reason :
         {"left", "kicked", "flooding", "bad_input", "timeout", "banned", "turned_away"})
        EXPECT_EQ(SampleValue(scraped.body,
                              "ostrel_disconnects_total{reason=\"" + std::string(reason) + "\"}"),
                  1)
            << reason;
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_disconnects_total{reason=\"too_slow\"}"), 0);
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_members"), 1) << "Tess stays";
    EXPECT_EQ(SampleValue(scraped.body, "ostrel_bans"), 1);
    EXPECT_GE(SampleValue(scraped.body, "ostrel_lines_total"), 3 + 1) << "some of Fred's lines";

    kill(server.pid, SIGTERM);
    EXPECT_EQ(server.Wait(), 0) << server.err;
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
