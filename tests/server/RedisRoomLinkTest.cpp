// One room across several real ostrel-server processes through a real redis-server of the
// test's own (on a Unix socket), with raw clients on loopback: one conversation in one order,
// one holder of a name, servers that stop or are killed, Redis frozen, stopped and restarted
// empty, history that outlives the servers, and entries that are not the room's.

#include "common/ChatProtocol.h"
#include "support/Files.h"
#include "support/RawConnection.h"
#include "support/RedisServer.h"
#include "support/Scrape.h"
#include "support/ServerProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;
using oNet::PacketType;
using Clock = std::chrono::steady_clock;

namespace
{

std::string Line(const std::string& name, const std::string& text)
{
    return "[12:34:56] [" + name + "]: " + text;
}

// A client of one of the servers, speaking the chat protocol, that keeps all it hears.
class Member
{
public:
    explicit Member(std::uint16_t port, const char* from = nullptr)
    {
        EXPECT_TRUE(connection.Connect("127.0.0.1", port, from));
    }

    void Nick(const std::string& name) { Send(PacketType::Nickname, name); }
    void Say(const std::string& line) { Send(PacketType::ChatMessage, line); }
    void Send(PacketType type, const std::string& text)
    {
        connection.Send(oNet::WireFrame(*ChatProtocol::MakeTextPacket(type, text)));
    }

    // Whether a text holding the piece has come, reading until it has; false after the time.
    bool Hears(const std::string& piece, int timeoutMs = 5000)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (std::size_t at = 0;; ++at)
        {
            for (; at < texts.size(); ++at)
                if (texts[at].find(piece) != std::string::npos)
                    return true;
            if (!ReadOne(end))
                return false;
            at = texts.size() - 2; // look at the new one
        }
    }

    // Whether texts holding the piece have come this many times, reading until they have.
    bool HearsTimes(const std::string& piece, std::size_t times, int timeoutMs)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Count(piece) < times)
            if (!ReadOne(end))
                return false;
        return true;
    }

    // Reads until it has heard this many chat lines; false after the time.
    bool HearsLines(std::size_t count, int timeoutMs = 10000)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (ChatLines().size() < count)
            if (!ReadOne(end))
                return false;
        return true;
    }

    // Reads whatever comes for the time.
    void Listen(int ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (ReadOne(end))
        {
        }
    }

    // The members' chat lines heard (not the server's), in order.
    std::vector<std::string> ChatLines() const
    {
        std::vector<std::string> lines;
        for (const auto& text : texts)
            if (text.rfind("[12:34:56] [", 0) == 0)
                lines.push_back(text);
        return lines;
    }

    std::size_t Count(const std::string& piece) const
    {
        return static_cast<std::size_t>(std::count_if(texts.begin(), texts.end(), [&](auto& text) {
            return text.find(piece) != std::string::npos;
        }));
    }

    std::string lastList; // the latest users-online list
    std::vector<std::string> texts;
    RawConnection connection;

private:
    bool ReadOne(Clock::time_point end)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        const Bytes bytes =
            connection.ReceivePacket(static_cast<int>(std::max<long long>(1, left.count())));
        if (bytes.size() < 2)
            return false;
        oNet::Packet packet;
        packet.buffer.assign(bytes.begin(), bytes.end());
        std::string text;
        if (packet.Type() == PacketType::NewUser)
            text = "<new user>";
        else
            packet >> text;
        if (packet.Type() == PacketType::UsersOnline)
            lastList = text;
        texts.push_back(text);
        return true;
    }
};

// Names the member and waits for its join to come back: whoever joins after it, it hears of.
void Join(Member& member, const std::string& name)
{
    member.Nick(name);
    ASSERT_TRUE(member.Hears(name + " joined.")) << name;
}

// Alice and Bob join, each on a server of their own, and Alice sees Bob arrive.
void JoinAliceAndBob(Member& alice, Member& bob)
{
    Join(alice, "Alice");
    Join(bob, "Bob");
    ASSERT_TRUE(alice.Hears("Bob joined."));
}

// The port of the server's metrics endpoint, as its log names it; 0 when it does not.
std::uint16_t MetricsPort(ServerProcess& server)
{
    const std::string marker = "metrics at http://127.0.0.1:";
    if (!server.OutputShows(marker))
        return 0;
    return static_cast<std::uint16_t>(
        std::stoi(server.out.substr(server.out.find(marker) + marker.size())));
}

// Asks for the path until the answer holds the piece; whether it did within the time.
bool AnswerHolds(std::uint16_t port, const std::string& path, const std::string& piece,
                 int timeoutMs = 10000)
{
    for (const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs); Clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (HttpGet(port, path).body.find(piece) != std::string::npos)
            return true;
    return false;
}

// How many calls of a command Redis has served.
long long Calls(const RedisServer& redis, const std::string& command)
{
    const std::string stats = redis.Command({"INFO", "commandstats"});
    const std::string marker = "cmdstat_" + command + ":calls=";
    const std::size_t at = stats.find(marker);
    return at == std::string::npos ? 0 : std::stoll(stats.substr(at + marker.size()));
}

// Whether the server's output shows the text this many times within the time.
bool ShowsTimes(ServerProcess& server, const std::string& text, std::size_t times,
                int timeoutMs = 10000)
{
    for (const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs); Clock::now() < end;
         server.OutputShows("\x01", 50))
        if (server.Count(text) >= times)
            return true;
    return false;
}

// How many times Redis has refused a command as out of memory, by its own count.
long long OutOfMemoryRefusals(const RedisServer& redis)
{
    const std::string stats = redis.Command({"INFO", "errorstats"});
    const std::string marker = "errorstat_OOM:count=";
    const std::size_t at = stats.find(marker);
    return at == std::string::npos ? 0 : std::stoll(stats.substr(at + marker.size()));
}

// A TCP port of loopback nobody listens on (as free as the moment it was asked).
std::uint16_t FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(fd);
    return ntohs(address.sin_port);
}

class RedisRoom : public ::testing::Test
{
protected:
    // A server of the room, named node, on a free port; more options after the usual ones.
    std::unique_ptr<ServerProcess> StartServer(const std::string& node,
                                               std::vector<std::string> more = {"--line-rate", "0"})
    {
        std::vector<std::string> arguments = {
            "--port", "0", "--max-per-address", "0", "--redis", redis.Url(), "--node", node};
        arguments.insert(arguments.end(), more.begin(), more.end());
        auto server = std::make_unique<ServerProcess>(arguments);
        EXPECT_NE(server->ListeningPort(), 0) << server->out << server->err;
        return server;
    }

    RedisServer redis;
};

TEST_F(RedisRoom, MembersOfTwoServersHaveOneConversationInOneOrder)
{
    auto a = StartServer("a");
    auto b = StartServer("b");
    ASSERT_TRUE(
        a->OutputShows("joined the room ostrel in Redis at " + redis.Url() + " as the node a"));
    Member alice(a->ListeningPort()), bob(b->ListeningPort()), carol(a->ListeningPort());
    alice.Nick("Alice");
    ASSERT_TRUE(alice.Hears("Alice joined."));
    bob.Nick("Bob");
    ASSERT_TRUE(bob.Hears("Bob joined."));
    carol.Nick("Carol");
    ASSERT_TRUE(carol.Hears("Carol joined."));
    ASSERT_TRUE(bob.Hears("Carol joined.")) << "joins are announced on every server";
    ASSERT_TRUE(alice.Hears("Bob joined."));

    // Thirty lines each, sent as fast as the sockets take them: every member hears all ninety
    // lines, its own too, and all hear them in one order.
    for (int i = 0; i < 30; ++i)
        for (Member* member : {&alice, &bob, &carol})
        {
            const std::string name = member == &alice ? "Alice" : member == &bob ? "Bob" : "Carol";
            member->Say(Line(name, std::to_string(i)));
        }
    for (Member* member : {&alice, &bob, &carol})
        ASSERT_TRUE(member->HearsLines(90));
    alice.Listen(200);
    EXPECT_EQ(alice.ChatLines().size(), 90u);
    EXPECT_EQ(alice.ChatLines(), bob.ChatLines());
    EXPECT_EQ(alice.ChatLines(), carol.ChatLines());
    int next = 0;
    for (const auto& line : bob.ChatLines())
    {
        if (line.find("[Alice]") != std::string::npos)
        {
            EXPECT_EQ(line, Line("Alice", std::to_string(next++))) << "in the order said";
        }
    }
    EXPECT_EQ(next, 30);
    EXPECT_EQ(bob.lastList, "Alice\r\nBob\r\nCarol") << "the list of the whole room";

    // One write to Redis per line, whatever the number of members and servers.
    const long long writesBefore =
        Calls(redis, "xadd") + Calls(redis, "hset") + Calls(redis, "set");
    for (int i = 0; i < 10; ++i)
        alice.Say(Line("Alice", "counted " + std::to_string(i)));
    ASSERT_TRUE(bob.Hears(Line("Alice", "counted 9")));
    ASSERT_TRUE(carol.Hears(Line("Alice", "counted 9")));
    const long long writes = Calls(redis, "xadd") + Calls(redis, "hset") + Calls(redis, "set");
    // The servers' heartbeats (a SET each every 2 s) may fall in between.
    EXPECT_GE(writes - writesBefore, 10);
    EXPECT_LE(writes - writesBefore - 10, 4);

    // Renames and departures too, wherever they happen.
    bob.Nick("Robert");
    EXPECT_TRUE(alice.Hears("Bob is now known as Robert."));
    carol.connection.Close();
    EXPECT_TRUE(bob.Hears("Carol left."));
    EXPECT_TRUE(bob.Hears("Alice\r\nRobert"));
    // A name given up is free in the whole room.
    Member another(b->ListeningPort());
    another.Nick("bob");
    EXPECT_TRUE(another.Hears("bob joined."));
}

TEST_F(RedisRoom, TwoMembersAskingForOneNameAtOnceOnTwoServersEndWithOneHolder)
{
    auto a = StartServer("a");
    auto b = StartServer("b");
    for (int round = 0; round < 10; ++round)
    {
        const std::string name = "Racer" + std::to_string(round);
        Member first(a->ListeningPort()), second(b->ListeningPort());
        const std::string frame =
            oNet::WireFrame(*ChatProtocol::MakeTextPacket(PacketType::Nickname, name));
        std::thread other([&] { second.connection.Send(frame); });
        first.connection.Send(frame);
        other.join();
        const bool firstHas = first.Hears(name + " joined.", 3000);
        const bool secondHas = second.Hears(name + " joined.", firstHas ? 500 : 3000);
        EXPECT_NE(firstHas, secondHas) << name << ": exactly one holds it";
        Member& loser = firstHas ? second : first;
        EXPECT_TRUE(loser.Hears("The nickname " + name + " is taken. Choose another one.")) << name;
    }
}

TEST_F(RedisRoom, ServerThatStopsSaysGoodbyeAndOneKilledIsAnnouncedGoneOnceWithinFifteenSeconds)
{
    auto a = StartServer("a");
    auto b = StartServer("b");
    auto c = StartServer("c");
    Member alice(a->ListeningPort()), bob(b->ListeningPort()), carol(c->ListeningPort());
    Join(alice, "Alice");
    Join(bob, "Bob");
    Join(carol, "Carol");
    ASSERT_TRUE(alice.Hears("Carol joined."));

    // Killed: nobody says goodbye for it, but within 15 s one of the others announces its member
    // gone, once, and frees the name.
    const auto killed = Clock::now();
    b->Signal(SIGKILL);
    ASSERT_TRUE(alice.Hears("Bob left (server lost).", 15000));
    EXPECT_LT(Clock::now() - killed, std::chrono::seconds(15));
    EXPECT_TRUE(carol.Hears("Bob left (server lost).", 2000));
    alice.Listen(2500); // a heartbeat more: nobody announces it again
    carol.Listen(100);
    EXPECT_EQ(alice.Count("Bob left"), 1u);
    EXPECT_EQ(carol.Count("Bob left"), 1u);
    EXPECT_EQ(a->Count("the server b stopped without saying goodbye") +
                  c->Count("the server b stopped without saying goodbye"),
              1u);
    Member again(a->ListeningPort());
    again.Nick("Bob");
    EXPECT_TRUE(again.Hears("Bob joined.")) << "the name is free again";

    // Stopped: its members leave for everyone at once, and the node may start again at once.
    c->Signal(SIGTERM);
    EXPECT_EQ(c->Wait(5000), 0);
    EXPECT_NE(c->out.find("said goodbye to the room: 1 member leaves it"), std::string::npos)
        << c->out;
    EXPECT_TRUE(alice.Hears("Carol left (server shut down)."));
    c = StartServer("c");
    EXPECT_TRUE(c->OutputShows("as the node c: 2 members on 1 other server"));
}

TEST_F(RedisRoom, RedisFrozenOrRestartedEmptyLosesNoLineAndRepeatsNone)
{
    // A line rate: lines that waited unread while Redis was away are no flood. (At 50 a second,
    // a burst is 100 lines, and four more need 80 ms of waiting.)
    auto a = StartServer("a", {"--metrics", "127.0.0.1:0", "--line-rate", "50"});
    const std::uint16_t metrics = MetricsPort(*a);
    ASSERT_NE(metrics, 0) << a->out;
    EXPECT_TRUE(AnswerHolds(metrics, "/readyz", "ready"));
    auto b = StartServer("b", {"--line-rate", "50"});
    Member alice(a->ListeningPort()), bob(b->ListeningPort());
    ASSERT_NO_FATAL_FAILURE(JoinAliceAndBob(alice, bob));
    alice.Say(Line("Alice", "before"));
    ASSERT_TRUE(bob.Hears(Line("Alice", "before")));

    // Frozen: it stops answering; the servers give it up after a few seconds, hold their
    // members' lines, and go on when it answers again.
    redis.Freeze();
    for (int i = 0; i < 4; ++i)
    {
        alice.Say(Line("Alice", "frozen " + std::to_string(i)));
        bob.Say(Line("Bob", "frozen " + std::to_string(i)));
    }
    EXPECT_TRUE(a->OutputShows("lost Redis at " + redis.Url(), 10000));
    // Not ready while the room cannot take its events: clients are better sent elsewhere.
    EXPECT_TRUE(AnswerHolds(metrics, "/readyz", "not connected to the engine"));
    EXPECT_TRUE(AnswerHolds(metrics, "/metrics", "\nostrel_engine_up 0"));
    redis.Thaw();
    EXPECT_TRUE(a->OutputShows("back in the room ostrel", 10000));

    // Stopped, and started again empty while members talk: more lines than a member's burst
    // allows, which wait unread and are no flood once taken. (b may have gone on waiting through
    // the short freeze.)
    const std::size_t bLost = b->Count("lost Redis at");
    EXPECT_TRUE(ShowsTimes(*b, "back in the room", bLost));
    redis.Stop();
    EXPECT_TRUE(ShowsTimes(*a, "lost Redis at", 2));
    EXPECT_TRUE(ShowsTimes(*b, "lost Redis at", bLost + 1));
    for (int i = 0; i < 104; ++i)
    {
        alice.Say(Line("Alice", "away " + std::to_string(i)));
        bob.Say(Line("Bob", "away " + std::to_string(i)));
    }
    ASSERT_TRUE(redis.Start());
    EXPECT_TRUE(ShowsTimes(*a, "back in the room ostrel", 2));
    EXPECT_TRUE(ShowsTimes(*b, "back in the room ostrel", bLost + 1));
    for (auto* server : {a.get(), b.get()})
        EXPECT_TRUE(server->OutputShows("Redis lost the room's data", 10000)) << server->out;
    for (Member* member : {&alice, &bob})
    {
        ASSERT_TRUE(member->Hears(Line("Alice", "away 103"), 10000)) << a->out << b->out;
        ASSERT_TRUE(member->Hears(Line("Bob", "away 103"), 10000));
        member->Listen(500);
        for (const char* name : {"Alice", "Bob"})
            for (const std::string said : {"before", "frozen 0", "frozen 3", "away 0", "away 103"})
            {
                if (said != "before" || std::string(name) == "Alice")
                {
                    EXPECT_EQ(member->Count(Line(name, said)), 1u) << name << ": " << said;
                }
            }
        EXPECT_EQ(member->Count("sending too fast"), 0u);
    }
    EXPECT_EQ(alice.ChatLines(), bob.ChatLines());
    EXPECT_EQ(a->Count("lost Redis at"), 2u) << "said once each time";
    EXPECT_TRUE(AnswerHolds(metrics, "/metrics", "\nostrel_engine_reconnects_total 2"));
    EXPECT_TRUE(AnswerHolds(metrics, "/readyz", "ready"));

    // The names were registered again: still taken in the whole room.
    Member late(b->ListeningPort());
    late.Nick("ALICE");
    EXPECT_TRUE(late.Hears("The nickname ALICE is taken."));
}

TEST_F(RedisRoom, RedisBackFromAnOlderSaveGetsTheLatestLinesAgainAndRepeatsNone)
{
    auto a = StartServer("a");
    auto b = StartServer("b");
    Member alice(a->ListeningPort()), bob(b->ListeningPort());
    ASSERT_NO_FATAL_FAILURE(JoinAliceAndBob(alice, bob));
    alice.Say(Line("Alice", "saved"));
    ASSERT_TRUE(bob.Hears(Line("Alice", "saved")));
    ASSERT_EQ(redis.Command({"SAVE"}), "OK");
    for (int i = 0; i < 3; ++i)
        alice.Say(Line("Alice", "unsaved " + std::to_string(i)));
    ASSERT_TRUE(bob.Hears(Line("Alice", "unsaved 2")));

    // Restarted from the save: the room's epoch is the same, its stream has gone back. The
    // servers notice, and what Redis lost of theirs lately is written again, repeated to nobody.
    redis.Stop();
    ASSERT_TRUE(redis.Start());
    for (auto* server : {a.get(), b.get()})
        EXPECT_TRUE(server->OutputShows("Redis went back to an earlier state of the room", 15000))
            << server->out;
    for (const auto end = Clock::now() + std::chrono::seconds(10);
         redis.Command({"XRANGE", "ostrel:stream", "-", "+"}).find("unsaved 2") ==
             std::string::npos &&
         Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(redis.Command({"XRANGE", "ostrel:stream", "-", "+"}).find("unsaved 2"),
              std::string::npos);
    alice.Say(Line("Alice", "later"));
    ASSERT_TRUE(bob.Hears(Line("Alice", "later"), 10000));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bob.Count(Line("Alice", "unsaved " + std::to_string(i))), 1u) << i;
    EXPECT_EQ(bob.Count(Line("Alice", "saved")), 1u);
}

TEST_F(RedisRoom, HistoryOutlivesEveryServerAndTrimmedEntriesAreCountedAsMissed)
{
    auto a = StartServer("a", {"--line-rate", "0", "--history", "5", "--stream-length", "100"});
    auto b = StartServer("b", {"--line-rate", "0", "--history", "5", "--stream-length", "100",
                               "--metrics", "127.0.0.1:0"});
    Member alice(a->ListeningPort()), bob(b->ListeningPort());
    ASSERT_NO_FATAL_FAILURE(JoinAliceAndBob(alice, bob));

    Member carol(a->ListeningPort());
    Join(carol, "Carol");
    ASSERT_TRUE(bob.Hears("Alice\r\nBob\r\nCarol"));

    // One server does not read for a while (stopped), and the stream is trimmed meanwhile: it
    // counts what it missed, never delivers a line twice, and takes the members' names from
    // their servers' lists (a rename it never read included).
    b->Signal(SIGSTOP);
    alice.Say(Line("Alice", "first")); // what b's waiting read takes, held in its socket
    ASSERT_TRUE(alice.Hears(Line("Alice", "first")));
    carol.Nick("Caroline");
    ASSERT_TRUE(carol.Hears("Carol is now known as Caroline."));
    std::string lines;
    for (int i = 0; i < 600; ++i)
        lines += oNet::WireFrame(*ChatProtocol::MakeTextPacket(
            PacketType::ChatMessage, Line("Alice", "many " + std::to_string(i))));
    alice.connection.Send(lines);
    ASSERT_TRUE(alice.Hears(Line("Alice", "many 599"), 10000));
    b->Signal(SIGCONT);
    ASSERT_TRUE(bob.Hears(Line("Alice", "many 599"), 10000));
    ASSERT_TRUE(b->OutputShows("of the room's stream: they were trimmed"));
    const std::size_t at = b->out.find("missed ");
    const std::size_t missed = std::stoul(b->out.substr(at + 7));
    EXPECT_GT(missed, 0u);
    // The first line and the many, and the rename among the missed.
    EXPECT_EQ(missed + bob.ChatLines().size(), 602u) << b->out;
    EXPECT_TRUE(AnswerHolds(MetricsPort(*b), "/metrics", "\nostrel_engine_gaps_total 1"));
    EXPECT_TRUE(bob.Hears("Alice\r\nBob\r\nCaroline"));

    // Every server stops; new ones give a newcomer the last five lines, in order.
    for (auto* server : {a.get(), b.get()})
    {
        server->Signal(SIGTERM);
        EXPECT_EQ(server->Wait(), 0);
    }
    a = StartServer("a2", {"--history", "5"});
    EXPECT_TRUE(a->OutputShows("5 lines of history"));
    Member newcomer(a->ListeningPort());
    newcomer.Nick("New");
    ASSERT_TRUE(newcomer.Hears(Line("Alice", "many 599")));
    const std::vector<std::string> expected = {Line("Alice", "many 595"), Line("Alice", "many 596"),
                                               Line("Alice", "many 597"), Line("Alice", "many 598"),
                                               Line("Alice", "many 599")};
    EXPECT_EQ(newcomer.ChatLines(), expected);
}

TEST_F(RedisRoom, EntriesThatAreNotTheRoomsAreLoggedAndSkipped)
{
    auto a = StartServer("a");
    auto b = StartServer("b");
    Member alice(a->ListeningPort()), bob(b->ListeningPort());
    ASSERT_NO_FATAL_FAILURE(JoinAliceAndBob(alice, bob));

    // Another program writes to the room's stream: something else entirely, a newer version,
    // and a line forged in Bob's name with a control character in it.
    redis.Command({"XADD", "ostrel:stream", "*", "hello", "world"});
    redis.Command({"XADD", "ostrel:stream", "*", "v", "2", "kind", "line"});
    redis.Command({"XADD", "ostrel:stream", "*", "v", "1", "e",
                   "kind=line\x1forigin=b\x1frun=x\x1fnumber=1\x1fnode=b\x1fid=7\x1fname=Bob"
                   "\x1ftext=[12:34:56] [Bob]: hi\r\n[12:34:56] [SERVER]: forged"});
    alice.Say(Line("Alice", "after them"));
    ASSERT_TRUE(bob.Hears(Line("Alice", "after them")));
    for (auto* server : {a.get(), b.get()})
    {
        EXPECT_TRUE(server->OutputShows("of the room's stream: the field v is missing"));
        EXPECT_TRUE(server->OutputShows("written in version \"2\""));
        EXPECT_TRUE(server->OutputShows("the field text holds control characters"));
    }
    EXPECT_EQ(bob.Count("forged"), 0u);
}

TEST_F(RedisRoom, ServerThatCannotJoinTheRoomSaysWhyInOneLineAndExitsWithTwo)
{
    TempDir dir;
    const auto refused = [](ServerProcess& server, const std::string& why) {
        const auto start = Clock::now();
        EXPECT_EQ(server.Wait(12000), 2) << server.out << server.err;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(server.out.find("listening"), std::string::npos) << "it never listened";
        EXPECT_EQ(std::count(server.err.begin(), server.err.end(), '\n'), 1) << server.err;
        EXPECT_NE(server.err.find(why), std::string::npos) << server.err;
    };
    {
        ServerProcess nowhere({"--port", "0", "--redis", "unix:" + dir.File("nothing.sock")});
        refused(nowhere, "the room in Redis at unix:");
    }
    {
        auto running = StartServer("taken");
        ServerProcess twin({"--port", "0", "--redis", redis.Url(), "--node", "taken"});
        refused(twin, "another server runs as the node taken in the room ostrel");
    }
    {
        redis.Freeze();
        ServerProcess frozen({"--port", "0", "--redis", redis.Url(), "--node", "f"});
        refused(frozen, "did not answer");
        redis.Thaw();
    }
    ASSERT_TRUE(redis.Start({"--requirepass", "s3cret"}));
    WriteBytes(dir.File("wrong"), "guess\n");
    WriteBytes(dir.File("right"), "s3cret\n");
    {
        ServerProcess without({"--port", "0", "--redis", redis.Url(), "--node", "p"});
        refused(without, "NOAUTH");
    }
    {
        ServerProcess wrong({"--port", "0", "--redis", redis.Url(), "--node", "p",
                             "--redis-password-file", dir.File("wrong")});
        refused(wrong, "Redis refused the password");
    }
    ServerProcess right({"--port", "0", "--redis", redis.Url(), "--node", "p",
                         "--redis-password-file", dir.File("right")});
    EXPECT_NE(right.ListeningPort(), 0) << right.err;
    EXPECT_EQ(right.out.find("s3cret"), std::string::npos);

    // Redis by the name of its host (looked up aside from the server's thread).
    const std::string port = std::to_string(FreeLoopbackPort());
    ASSERT_TRUE(redis.Start({"--port", port, "--bind", "127.0.0.1", "-::1"}));
    ServerProcess named({"--port", "0", "--redis", "redis://localhost:" + port, "--node", "n"});
    EXPECT_NE(named.ListeningPort(), 0) << named.err;
    EXPECT_TRUE(named.OutputShows("in Redis at redis://localhost:" + port)) << named.out;
}

// Whether the file comes to hold the text (or, with holds false, no longer to hold it) within
// the time: the ban file is written from a thread of its own, within a second of a change.
bool FileHolds(const std::string& path, const std::string& text, bool holds = true)
{
    for (const auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if ((ReadBytes(path).find(text) != std::string::npos) == holds)
            return true;
    return false;
}

// `ostrel-server --command` to the server at the control socket: what it printed.
std::string Command(const std::string& control, const std::string& command)
{
    ServerProcess client({"--command", command, "--control", control});
    EXPECT_EQ(client.Wait(), 0) << command << ": " << client.err;
    return client.out;
}

TEST_F(RedisRoom, TheOperatorOfAnyServerActsOnTheWholeRoomAndBansHoldEverywhere)
{
    TempDir dir;
    const std::string controlA = dir.File("a.control"), controlB = dir.File("b.control");
    // A ban in a's file the room does not keep (lifted while a was away): the room's bans hold.
    WriteBytes(dir.File("a.bans"), "127.0.0.9 - lifted meanwhile\n");
    // Reasons as long as the operator may give: every server carries them.
    auto a = StartServer("a", {"--control", controlA, "--ban-file", dir.File("a.bans"),
                               "--max-line-bytes", "8186", "--console"});
    auto b = StartServer("b", {"--control", controlB, "--max-line-bytes", "8186"});
    Member alice(a->ListeningPort()), bob(b->ListeningPort()),
        carol(a->ListeningPort(), "127.0.0.3");
    Join(alice, "Alice");
    Join(bob, "Bob");
    Join(carol, "Carol");
    ASSERT_TRUE(bob.Hears("Alice\r\nBob\r\nCarol"));

    // who lists the whole room, each member with its node; say reaches everyone.
    const std::string who = Command(controlA, "who");
    EXPECT_NE(who.find("Alice  127.0.0.1:"), std::string::npos) << who;
    EXPECT_NE(who.find("0 lines  on a\n"), std::string::npos) << who;
    EXPECT_NE(who.find("Bob  127.0.0.1:"), std::string::npos) << who;
    EXPECT_NE(who.find("  on b\n"), std::string::npos) << who;
    Command(controlA, "say maintenance at noon");
    EXPECT_TRUE(bob.Hears("[SERVER]: maintenance at noon"));

    // A kick on one server removes a member of the other.
    EXPECT_EQ(Command(controlA, "kick bob being rude"), "kicked Bob (being rude)\n");
    EXPECT_TRUE(bob.Hears("You were removed from the room: being rude."));
    EXPECT_TRUE(bob.connection.SeesClose());
    EXPECT_TRUE(alice.Hears("Bob left (removed: being rude)."));
    Member dave(b->ListeningPort());
    Join(dave, "Dave");
    const std::string longest(ChatProtocol::MaxTextBytes - 256, 'r'); // the longest allowed
    a->Type("kick dave " + longest); // longer than the control socket takes
    EXPECT_TRUE(a->OutputShows("kicked Dave (" + longest + ")\n"));
    EXPECT_TRUE(dave.Hears("You were removed from the room: " + longest + "."));
    EXPECT_TRUE(alice.Hears("Dave left (removed: " + longest + ")."));

    // A ban on one server holds on every server, those that start later too, until lifted.
    const std::string banned = Command(controlB, "ban 127.0.0.3 1h spam");
    EXPECT_NE(banned.find("banned 127.0.0.3 for 1h"), std::string::npos) << banned;
    EXPECT_NE(banned.find("removed Carol"), std::string::npos) << banned;
    EXPECT_TRUE(carol.Hears("you are banned from this server (spam)."));
    EXPECT_TRUE(alice.Hears("Carol left (banned: spam)."));
    EXPECT_TRUE(a->OutputShows("the room bans 127.0.0.3 until "));
    EXPECT_TRUE(FileHolds(dir.File("a.bans"), "127.0.0.3 ")) << "kept in the ban file too";
    {
        Member again(a->ListeningPort(), "127.0.0.3");
        EXPECT_TRUE(again.Hears("You are banned from this server. Reason: spam."));
    }
    auto c = StartServer("c", {"--control", dir.File("c.control")});
    EXPECT_NE(Command(dir.File("c.control"), "bans").find("127.0.0.3  until "), std::string::npos);
    EXPECT_EQ(Command(dir.File("c.control"), "unban 127.0.0.3"), "lifted the ban on 127.0.0.3\n")
        << "kept by the room, not in memory only";
    EXPECT_TRUE(a->OutputShows("the room lifted the ban on 127.0.0.3"));
    Member back(a->ListeningPort(), "127.0.0.3");
    Join(back, "Carol");
    EXPECT_NE(a->out.find("1 ban of " + dir.File("a.bans") + " not kept by the room"),
              std::string::npos)
        << a->out;
    EXPECT_EQ(Command(controlA, "bans").find("127.0.0.9"), std::string::npos);

    // A reloaded ban file's changes go to the room (written once a's writer is done with it).
    EXPECT_TRUE(FileHolds(dir.File("a.bans"), "127.0.0.3 ", false));
    EXPECT_TRUE(FileHolds(dir.File("a.bans"), "127.0.0.9 ", false)) << "left out of the file too";
    WriteBytes(dir.File("a.bans"), ReadBytes(dir.File("a.bans")) + "127.0.0.10 - by hand\n");
    a->Signal(SIGHUP);
    EXPECT_TRUE(b->OutputShows("the room bans 127.0.0.10 until lifted (by hand)"));
    EXPECT_NE(Command(controlB, "bans").find("127.0.0.10"), std::string::npos);
}

TEST_F(RedisRoom, RedisRefusingWritesHoldsLinesKicksNobodyAndIsLoggedOnce)
{
    auto a = StartServer("a", {});
    auto b = StartServer("b", {});
    Member alice(a->ListeningPort()), bob(b->ListeningPort());
    ASSERT_NO_FATAL_FAILURE(JoinAliceAndBob(alice, bob));

    // Redis out of memory under noeviction refuses every write but answers reads. The servers
    // give it up, hold their members' lines, and try again and again, the waits growing: one
    // line each for the whole outage, nobody kicked for a name it holds.
    redis.Command({"CONFIG", "SET", "maxmemory", "1"});
    for (int i = 0; i < 12; ++i)
        alice.Say(Line("Alice", "refused " + std::to_string(i) + "."));
    EXPECT_TRUE(a->OutputShows("lost Redis at " + redis.Url() + " (Redis refused", 10000))
        << a->out;
    // Four attempts or so of each server, each refused.
    for (const auto end = Clock::now() + std::chrono::seconds(20);
         OutOfMemoryRefusals(redis) < 8 && Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GE(OutOfMemoryRefusals(redis), 8);
    for (auto* server : {a.get(), b.get()})
    {
        EXPECT_EQ(server->Count("lost Redis at"), 1u) << a->out << b->out;
        EXPECT_EQ(server->Count("back in the room"), 0u) << server->out;
        EXPECT_EQ(server->Count("lost the nickname"), 0u) << server->out;
    }
    EXPECT_EQ(bob.Count("refused"), 0u);

    redis.Command({"CONFIG", "SET", "maxmemory", "0"});
    for (auto* server : {a.get(), b.get()})
        EXPECT_TRUE(server->OutputShows("back in the room ostrel", 15000)) << server->out;
    for (Member* member : {&alice, &bob})
    {
        ASSERT_TRUE(member->Hears(Line("Alice", "refused 11."), 10000));
        member->Listen(300);
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(member->Count(Line("Alice", "refused " + std::to_string(i) + ".")), 1u) << i;
        EXPECT_EQ(member->Count("nickname was taken"), 0u);
        EXPECT_EQ(member->Count("sending too fast"), 0u);
    }
    EXPECT_EQ(a->Count("lost Redis at"), 1u);
}

TEST_F(RedisRoom, ServerAwayPastItsKeyComesBackWithoutRepeatingAnythingToItsMembers)
{
    auto a = StartServer("a");
    auto b = StartServer("b");
    Member alice(a->ListeningPort()), bob(b->ListeningPort());
    ASSERT_NO_FATAL_FAILURE(JoinAliceAndBob(alice, bob));
    bob.Say(Line("Bob", "before"));
    ASSERT_TRUE(alice.Hears(Line("Bob", "before")));

    // Stopped for longer than its key lives: the room takes its member for gone; back, the
    // member joins again for the others only, and hears neither the history nor itself again.
    a->Signal(SIGSTOP);
    ASSERT_TRUE(bob.Hears("Alice left (server lost).", 20000));
    a->Signal(SIGCONT);
    ASSERT_TRUE(bob.Hears("Alice joined.", 10000));
    EXPECT_TRUE(bob.Hears("Alice\r\nBob"));
    bob.Say(Line("Bob", "after"));
    ASSERT_TRUE(alice.Hears(Line("Bob", "after")));
    EXPECT_EQ(alice.Count(Line("Bob", "before")), 1u);
    EXPECT_EQ(alice.Count("Alice joined."), 1u);
    EXPECT_EQ(alice.Count("Alice left"), 0u);
    EXPECT_EQ(bob.Count("Alice joined."), 1u) << "after it came back";
    Member late(b->ListeningPort());
    late.Nick("alice");
    EXPECT_TRUE(late.Hears("The nickname alice is taken.")) << "held again";

    // Away that long again, and meanwhile another run of the node starts: the first one, back,
    // finds its node taken and stops, writing nothing of the other's.
    a->Signal(SIGSTOP);
    ASSERT_TRUE(bob.HearsTimes("Alice left (server lost).", 2, 20000));
    auto second = StartServer("a");
    Member carol(second->ListeningPort());
    Join(carol, "Carol");
    a->Signal(SIGCONT);
    EXPECT_EQ(a->Wait(10000), 0);
    EXPECT_NE(a->out.find("another server took the node a in the room ostrel"), std::string::npos)
        << a->out;
    Member dave(second->ListeningPort());
    Join(dave, "Dave");
    EXPECT_TRUE(carol.Hears("Dave joined."));
    EXPECT_EQ(redis.Command({"HLEN", "ostrel:members:a"}), "2") << "Carol and Dave";
}

TEST_F(RedisRoom, NamesAreFreedWhenTheServerStopsWhileClaimingOrDiesBeforeTheJoin)
{
    auto a = StartServer("a");
    Member zed(a->ListeningPort());
    // A claim on its way when the server is told to stop: Redis answers it after the goodbye.
    // The empty name is answered at once; the claim behind it has gone to Redis by then.
    redis.Freeze();
    zed.connection.Send(
        oNet::WireFrame(*ChatProtocol::MakeTextPacket(PacketType::Nickname, "")) +
        oNet::WireFrame(*ChatProtocol::MakeTextPacket(PacketType::Nickname, "Zed")));
    ASSERT_TRUE(zed.Hears("Choose another one."));
    a->Signal(SIGTERM);
    redis.Thaw();
    EXPECT_EQ(a->Wait(10000), 0);
    EXPECT_EQ(redis.Command({"EXISTS", "ostrel:name:zed"}), "0") << a->out;

    // A server killed between granting a name and its member's join: whoever finds it gone
    // frees its names.
    redis.Command({"SET", "ostrel:name:ghost", "k\n1073741825"});
    redis.Command({"SADD", "ostrel:names:k", "ghost"});
    redis.Command({"SADD", "ostrel:nodes", "k"});
    a = StartServer("a");
    EXPECT_TRUE(a->OutputShows("as the node a: 0 members"));
    for (const auto end = Clock::now() + std::chrono::seconds(10);
         redis.Command({"SISMEMBER", "ostrel:nodes", "k"}) != "0" && Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Member ghost(a->ListeningPort());
    ghost.Nick("Ghost");
    EXPECT_TRUE(ghost.Hears("Ghost joined.", 10000));
    Member second(a->ListeningPort());
    second.Nick("Zed");
    EXPECT_TRUE(second.Hears("Zed joined."));

    // A goodbye Redis does not confirm is said to be so, and the server ends all the same.
    redis.Freeze();
    a->Signal(SIGTERM);
    EXPECT_EQ(a->Wait(10000), 0);
    redis.Thaw();
    EXPECT_NE(a->out.find("the others take this server's members for gone once its key has "
                          "expired"),
              std::string::npos)
        << a->out;
}

TEST_F(RedisRoom, StartFailingAfterTakingLeftoversLeavesThemForTheNextStart)
{
    // What a killed run of the node x left: a member, and its name.
    redis.Command({"SADD", "ostrel:nodes", "x"});
    redis.Command({"HSET", "ostrel:members:x", "1073741825", "1 0 127.0.0.1 127.0.0.1:5 Ghost"});
    redis.Command({"SET", "ostrel:name:ghost", "x\n1073741825"});
    redis.Command({"SADD", "ostrel:names:x", "ghost"});
    auto b = StartServer("b");
    Member bob(b->ListeningPort());
    Join(bob, "Bob");
    EXPECT_TRUE(bob.Hears("Bob\r\nGhost"));

    // Redis refuses to show the stream: x starts no further than its leftovers, and writes none
    // of what it decided about them.
    redis.Command({"ACL", "SETUSER", "default", "-xinfo"});
    {
        ServerProcess failing({"--port", "0", "--redis", redis.Url(), "--node", "x"});
        EXPECT_EQ(failing.Wait(12000), 2) << failing.out << failing.err;
        EXPECT_NE(failing.err.find("NOPERM"), std::string::npos) << failing.out << failing.err;
    }
    EXPECT_EQ(redis.Command({"HLEN", "ostrel:members:x"}), "1");
    EXPECT_EQ(redis.Command({"EXISTS", "ostrel:alive:x"}), "0") << "the node's key given back";
    redis.Command({"ACL", "SETUSER", "default", "+xinfo"});
    // Started again at once, it announces the leftovers gone (unless b, finding x without its
    // key, did so first): once.
    auto x = StartServer("x");
    EXPECT_TRUE(bob.Hears("Ghost left (server "));
    bob.Listen(300);
    EXPECT_EQ(bob.Count("Ghost left"), 1u);
    Member ghost(x->ListeningPort());
    ghost.Nick("Ghost");
    EXPECT_TRUE(ghost.Hears("Ghost joined.")) << "the name is free";
}

} // namespace
