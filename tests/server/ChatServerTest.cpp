// The chat server on a real loopback socket, run on a thread of its own, with raw test clients:
// what each client sees of joins, renames, departures, chat lines, refusals and bad input.

#include "server/ChatServer.h"
#include "common/ChatProtocol.h"
#include "net/Packet.h"
#include "support/Bytes.h"
#include "support/RawConnection.h"
#include "support/RunningServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

using namespace testing_support;
using oNet::Packet;
using oNet::PacketType;

namespace
{

ServerOptions Unlimited()
{
    ServerOptions options;
    options.lineRate = 0;
    options.maxPerAddress = 0;
    return options;
}

struct Message
{
    PacketType type = PacketType::Invalid;
    std::string text;
};

// A test client speaking the chat protocol.
class Peer
{
public:
    explicit Peer(std::uint16_t port) { EXPECT_TRUE(connection.Connect("127.0.0.1", port)); }

    void Nick(const std::string& name) { SendText(PacketType::Nickname, name); }
    void Say(const std::string& line) { SendText(PacketType::ChatMessage, line); }
    void SendText(PacketType type, const std::string& text)
    {
        Packet packet(type);
        packet << text;
        connection.Send(FrameOf(packet));
    }

    // The next packet, with its text when its type carries one; Invalid after the time.
    Message Next(int timeoutMs = 3000)
    {
        const Bytes bytes = connection.ReceivePacket(timeoutMs);
        if (bytes.size() < 2)
            return {};
        Packet packet;
        packet.buffer.assign(bytes.begin(), bytes.end());
        Message message{packet.Type(), ""};
        if (message.type != PacketType::NewUser)
            packet >> message.text;
        return message;
    }

    // The text of the next packet, which must be a server line: what follows "[SERVER]: ".
    std::string NextServerLine()
    {
        const Message message = Next();
        EXPECT_EQ(message.type, PacketType::ChatMessage);
        const std::string marker = "] [SERVER]: ";
        const std::size_t at = message.text.find(marker);
        EXPECT_EQ(at, 9u) << message.text;
        return at == std::string::npos ? "<" + message.text + ">"
                                       : message.text.substr(at + marker.size());
    }

    std::string NextUsersOnline()
    {
        const Message message = Next();
        EXPECT_EQ(message.type, PacketType::UsersOnline);
        return message.text;
    }

    bool QuietFor(int ms) { return Next(ms).type == PacketType::Invalid; }

    RawConnection connection;
};

std::string Line(const std::string& name, const std::string& text)
{
    return "[12:34:56] [" + name + "]: " + text;
}

// Names a peer and takes everything its joining sends it at once (no one has spoken yet).
void Join(Peer& peer, const std::string& name, const std::string& usersOnline)
{
    peer.Nick(name);
    EXPECT_EQ(peer.NextServerLine(), name + " joined.");
    EXPECT_EQ(peer.NextUsersOnline(), usersOnline);
}

// What an already named peer receives when someone else joins.
void SeesJoin(Peer& peer, const std::string& name, const std::string& usersOnline)
{
    EXPECT_EQ(peer.Next().type, PacketType::NewUser);
    EXPECT_EQ(peer.NextServerLine(), name + " joined.");
    EXPECT_EQ(peer.NextUsersOnline(), usersOnline);
}

TEST(ChatServer, JoinRenameAndLeaveAreSeenByEveryoneNamed)
{
    RunningServer server;
    Peer a(server.Port()), b(server.Port()), c(server.Port());

    Join(a, "Alice", "Alice");
    Join(b, "bob", "Alice\r\nbob");
    SeesJoin(a, "bob", "Alice\r\nbob");
    EXPECT_TRUE(c.QuietFor(200)) << "not named yet: hears nothing of the room";
    Join(c, "Carol", "Alice\r\nbob\r\nCarol");
    SeesJoin(a, "Carol", "Alice\r\nbob\r\nCarol");
    SeesJoin(b, "Carol", "Alice\r\nbob\r\nCarol");

    a.Nick("Zed");
    for (Peer* peer : {&a, &b, &c})
    {
        EXPECT_EQ(peer->NextServerLine(), "Alice is now known as Zed.");
        EXPECT_EQ(peer->NextUsersOnline(), "bob\r\nCarol\r\nZed");
    }

    b.connection.Close();
    for (Peer* peer : {&a, &c})
    {
        EXPECT_EQ(peer->NextServerLine(), "bob left.");
        EXPECT_EQ(peer->NextUsersOnline(), "Carol\r\nZed");
    }
    // Announcing the same name again changes nothing and says nothing.
    c.Nick("Carol");
    EXPECT_TRUE(c.QuietFor(400));

    const std::string log = server.Log();
    EXPECT_NE(log.find("joined as Alice"), std::string::npos) << log;
    EXPECT_NE(log.find("Alice is now known as Zed"), std::string::npos) << log;
    EXPECT_NE(log.find("(bob) disconnected: closed by the client"), std::string::npos) << log;
}

TEST(ChatServer, LinesReachEveryoneInTheOrderTheyArrivedAndNewcomersGetTheLatest)
{
    ServerOptions options = Unlimited();
    options.history = 3;
    RunningServer server(options);
    Peer a(server.Port()), b(server.Port());
    Join(a, "Alice", "Alice");
    Join(b, "Bob", "Alice\r\nBob");
    SeesJoin(a, "Bob", "Alice\r\nBob");

    for (int i = 0; i < 50; ++i)
    {
        a.Say(Line("Alice", "a" + std::to_string(i)));
        b.Say(Line("Bob", "b" + std::to_string(i)));
    }
    std::vector<std::string> seenByA, seenByB;
    for (int i = 0; i < 100; ++i)
    {
        seenByA.push_back(a.Next().text);
        seenByB.push_back(b.Next().text);
    }
    EXPECT_EQ(seenByA, seenByB) << "both see one order";
    // Each sender's own lines keep the order it sent them in.
    int nextA = 0, nextB = 0;
    for (const auto& line : seenByA)
    {
        if (line == Line("Alice", "a" + std::to_string(nextA)))
            ++nextA;
        else if (line == Line("Bob", "b" + std::to_string(nextB)))
            ++nextB;
        else
            ADD_FAILURE() << "unexpected line " << line;
    }
    EXPECT_EQ(nextA, 50);
    EXPECT_EQ(nextB, 50);

    // A newcomer gets the last three lines after its join, before anything new.
    Peer c(server.Port());
    Join(c, "Carol", "Alice\r\nBob\r\nCarol");
    for (int i = 97; i < 100; ++i)
        EXPECT_EQ(c.Next().text, seenByA[static_cast<std::size_t>(i)]);
    a.Say(Line("Alice", "welcome"));
    EXPECT_EQ(c.Next().text, Line("Alice", "welcome"));
}

TEST(ChatServer, ForgedAndMalformedLinesAreRefusedWithTheReason)
{
    RunningServer server;
    Peer a(server.Port()), b(server.Port()), nameless(server.Port());
    Join(a, "Alice", "Alice");
    Join(b, "Bob", "Alice\r\nBob");
    SeesJoin(a, "Bob", "Alice\r\nBob");

    nameless.Say(Line("Carol", "hello"));
    EXPECT_EQ(nameless.NextServerLine(), "Choose a nickname before you chat.");

    const std::string valid = "[00:00:00] [Alice]: [x] ]: SERVER \xE9";
    a.Say(valid);
    EXPECT_EQ(a.Next().text, valid) << "relayed unchanged, to the sender too";
    EXPECT_EQ(b.Next().text, valid);

    struct Case
    {
        std::string line;
        const char* reason;
    };
    const Case cases[] = {
        {Line("Bob", "I owe Alice money"), "own nickname"},
        {Line("SERVER", "shutting down"), "own nickname"},
        {"no time stamp", "own nickname"},
        {"[99:99:99] [Alice]: hi", "not a real time"},
        {Line("Alice", "hi\r\n[12:34:56] [SERVER]: forged"), "control characters"},
        {Line("Alice", std::string(600, 'x')), "longer than 512 bytes"},
    };
    for (const auto& c : cases)
    {
        a.Say(c.line);
        const std::string answer = a.NextServerLine();
        EXPECT_NE(answer.find(c.reason), std::string::npos) << c.line << ": " << answer;
    }
    // Bytes after the text inside the packet.
    Packet padded(PacketType::ChatMessage);
    padded << Line("Alice", "hi") << 7u;
    a.connection.Send(FrameOf(padded));
    EXPECT_NE(a.NextServerLine().find("holds more than the line"), std::string::npos);

    EXPECT_TRUE(b.QuietFor(300)) << "nothing refused reaches anyone else";
    EXPECT_TRUE(nameless.QuietFor(10));
}

TEST(ChatServer, TakenAndUnusableNicknamesAreRefusedWithTheReasonAndTheOldNameStays)
{
    RunningServer server;
    Peer a(server.Port()), b(server.Port());
    Join(a, "alice", "alice");
    Join(b, "Bob", "alice\r\nBob");
    SeesJoin(a, "Bob", "alice\r\nBob");

    b.Nick("ALICE");
    EXPECT_EQ(b.NextServerLine(), "The nickname ALICE is taken. Your nickname stays as it was.");
    for (const std::string& bad :
         {std::string(""), std::string(33, 'x'), std::string("a[b]"), std::string("tab\t"),
          std::string("Server"), std::string("alice "), std::string("   ")})
    {
        b.Nick(bad);
        const std::string line = b.NextServerLine();
        EXPECT_NE(line.find("Your nickname stays as it was."), std::string::npos) << line;
        EXPECT_EQ(line.find("A nickname "), 0u) << "the reason comes first: " << line;
    }
    EXPECT_TRUE(a.QuietFor(400));

    // Still Bob: lines in that name pass, and 32 bytes is a usable name.
    b.Say(Line("Bob", "still me"));
    EXPECT_EQ(b.Next().text, Line("Bob", "still me"));
    EXPECT_EQ(a.Next().text, Line("Bob", "still me"));
    const std::string longest(32, 'L');
    b.Nick(longest);
    EXPECT_EQ(b.NextServerLine(), "Bob is now known as " + longest + ".");
}

TEST(ChatServer, BadInputDisconnectsOnlyTheOffender)
{
    RunningServer server;
    Peer witness(server.Port());
    Join(witness, "Wit", "Wit");

    struct Case
    {
        const char* what;
        Bytes bytes;
        const char* logged;
    };
    const Case cases[] = {
        {"unknown type", {0x00, 0x02, 0x00, 0x07}, "bad input: packet type 7"},
        {"a type only the server sends",
         {0x00, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00},
         "bad input: packet type 2"},
        {"length 1", {0x00, 0x01, 0x05}, "bad input: frame length 1"},
        {"length 0", {0x00, 0x00}, "bad input: frame length 0"},
        {"length 8193", {0x20, 0x01, 0x00, 0x01}, "bad input: frame length 8193"},
        {"text past its end",
         {0x00, 0x09, 0x00, 0x05, 0x00, 0x00, 0x00, 0x64, 'a', 'b', 'c'},
         "bad input: a packet ends early"},
    };
    for (const auto& c : cases)
    {
        Peer offender(server.Port());
        offender.connection.Send(c.bytes);
        EXPECT_TRUE(offender.connection.SeesClose()) << c.what;
        witness.Say(Line("Wit", c.what));
        EXPECT_EQ(witness.Next().text, Line("Wit", c.what)) << c.what;
        EXPECT_NE(server.Log().find(c.logged), std::string::npos) << c.what << "\n" << server.Log();
    }
    const auto figures = server.AskFigures();
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->counters.Departures(LeaveReason::BadInput), std::size(cases));
    EXPECT_EQ(figures->counters.Departures(LeaveReason::Left), 0u);
    EXPECT_EQ(figures->members, 1u);
}

TEST(ChatServer, FiguresCountWhatTheRoomDid)
{
    RunningServer server(Unlimited());
    Peer a(server.Port()), b(server.Port()), unnamed(server.Port());
    Join(a, "Alice", "Alice");
    Join(b, "Bob", "Alice\r\nBob");
    SeesJoin(a, "Bob", "Alice\r\nBob");
    for (int i = 0; i < 20; ++i)
        a.Say(Line("Alice", std::to_string(i)));
    for (int i = 0; i < 20; ++i)
        for (Peer* peer : {&a, &b})
            ASSERT_EQ(peer->Next().text, Line("Alice", std::to_string(i)));

    auto figures = server.AskFigures();
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->members, 2u) << "the unnamed are no members";
    EXPECT_EQ(figures->connections, 3u);
    EXPECT_EQ(figures->counters.lines, 20u);
    EXPECT_EQ(figures->counters.broadcast.Count(), 20u);
    // Alice: her join and the list, Bob's join (three frames), the lines; Bob: his join and
    // the list, the lines. Every frame they read was counted once written.
    EXPECT_EQ(figures->counters.deliveries, 2u + 3 + 20 + 2 + 20);
    EXPECT_TRUE(figures->listening);
    EXPECT_FALSE(figures->tls);

    b.connection.Close();
    EXPECT_EQ(a.NextServerLine(), "Bob left.");
    EXPECT_EQ(a.NextUsersOnline(), "Alice");
    figures = server.AskFigures();
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->members, 1u);
    EXPECT_EQ(figures->connections, 2u);
    EXPECT_EQ(figures->counters.deliveries, 2u + 3 + 20 + 2 + 20 + 2);
    EXPECT_EQ(figures->counters.Departures(LeaveReason::Left), 1u);
}

TEST(ChatServer, FiguresComeFromTheServersOwnThreadOrNotAtAll)
{
    std::ostringstream log;
    ServerOptions options;
    options.port = 0;
    ChatServer server(options, log);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    EXPECT_FALSE(server.AskFigures(std::chrono::milliseconds(100))) << "its loop does not run";
    std::thread loop([&] { server.Run(); });
    const auto figures = server.AskFigures(std::chrono::milliseconds(5000));
    ASSERT_TRUE(figures);
    EXPECT_TRUE(figures->listening);
    server.Stop();
    loop.join();
    EXPECT_FALSE(server.AskFigures(std::chrono::milliseconds(100))) << "it has stopped";
}

// Reads everything a peer is sent, as fast as it comes, on a thread of its own, until the last
// line of the flood has arrived or the connection ends.
class Reader
{
public:
    Reader(Peer& peer, std::string last)
        : thread([this, &peer, last] {
              Bytes input;
              for (;;)
              {
                  const Bytes bytes = peer.connection.ReceiveSome(10000);
                  if (bytes.empty())
                      return; // closed, or nothing for far too long
                  input.insert(input.end(), bytes.begin(), bytes.end());
                  std::size_t at = 0;
                  while (input.size() - at >= 2)
                  {
                      const std::size_t length = (std::size_t{input[at]} << 8) | input[at + 1];
                      if (input.size() - at < 2 + length)
                          break;
                      Packet packet;
                      packet.buffer.assign(input.begin() + at + 2, input.begin() + at + 2 + length);
                      at += 2 + length;
                      if (packet.Type() != PacketType::ChatMessage)
                          continue;
                      std::string text;
                      packet >> text;
                      if (text.find("] [F") != std::string::npos)
                          ++lines;
                      else
                          serverSaid += text + "\n";
                      if (text == last)
                      {
                          sawLast = true;
                          return;
                      }
                  }
                  input.erase(input.begin(), input.begin() + at);
              }
          })
    {
    }
    ~Reader() { Join(); }
    void Join()
    {
        if (thread.joinable())
            thread.join();
    }

    std::atomic<int> lines{0};
    std::atomic<bool> sawLast{false};
    std::string serverSaid; // read once joined

private:
    std::thread thread;
};

TEST(ChatServer, MembersThatReadAreNeverCutOffWhateverOneClientSends)
{
    RunningServer server(Unlimited());
    Peer flooder(server.Port());
    Join(flooder, "F", "F");
    std::vector<std::unique_ptr<Peer>> members;
    for (int i = 0; i < 8; ++i)
    {
        members.push_back(std::make_unique<Peer>(server.Port()));
        members.back()->Nick("m" + std::to_string(i));
        // In the room before the flood begins: a member named later would miss its first lines.
        EXPECT_EQ(members.back()->NextServerLine(), "m" + std::to_string(i) + " joined.");
    }

    // 6,000 renames and then 3,000 long lines, each lot in one write, as fast as the server
    // takes them; every member (the sender too) reads all the while.
    const int lineCount = 3000;
    const std::string filler(400, 'z');
    auto lastLine = [&](const std::string& name) {
        return "[12:34:56] [" + name + "]: " + std::to_string(lineCount - 1) + filler;
    };
    std::string renames, lines;
    for (int i = 0; i < 6000; ++i)
        renames += AsString(
            FrameOf(*ChatProtocol::MakeTextPacket(PacketType::Nickname, "F" + std::to_string(i))));
    for (int i = 0; i < lineCount; ++i)
        lines += AsString(FrameOf(*ChatProtocol::MakeTextPacket(
            PacketType::ChatMessage, "[12:34:56] [F5999]: " + std::to_string(i) + filler)));
    {
        std::vector<std::unique_ptr<Reader>> readers;
        readers.push_back(std::make_unique<Reader>(flooder, lastLine("F5999")));
        for (auto& member : members)
            readers.push_back(std::make_unique<Reader>(*member, lastLine("F5999")));
        flooder.connection.Send(renames);
        flooder.connection.Send(lines);
        for (auto& reader : readers)
        {
            reader->Join();
            EXPECT_TRUE(reader->sawLast);
            EXPECT_EQ(reader->lines, lineCount);
        }
    }
    const std::string log = server.Log();
    EXPECT_EQ(log.find("too slow"), std::string::npos) << log;
    EXPECT_EQ(log.find("disconnected"), std::string::npos) << log;
}

TEST(ChatServer, SlowReaderIsLetGoAndNobodyWaitsForIt)
{
    OutputLimits limits;
    limits.behindTime = std::chrono::seconds(3);
    RunningServer server(Unlimited(), limits);
    Peer talker(server.Port()), listener(server.Port()), slow(server.Port());
    const int small = 4096;
    setsockopt(slow.connection.Socket(), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&small), sizeof small);
    Join(talker, "F", "F");
    listener.Nick("Listener");
    slow.Nick("Slow");
    // It reads a little all the while: 1 KiB every 100 ms, until it is closed.
    std::thread slowReader([&] {
        char buffer[1024];
        while (recv(slow.connection.Socket(), buffer, sizeof buffer, 0) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });

    const int lineCount = 2000;
    const std::string filler(400, 'z');
    std::string lines;
    for (int i = 0; i < lineCount; ++i)
        lines += AsString(FrameOf(*ChatProtocol::MakeTextPacket(
            PacketType::ChatMessage, Line("F", std::to_string(i) + filler))));
    const std::string last = Line("F", std::to_string(lineCount - 1) + filler);
    {
        Reader talkerReads(talker, last), listenerReads(listener, last);
        talker.connection.Send(lines);
        for (Reader* reader : {&talkerReads, &listenerReads})
        {
            reader->Join();
            EXPECT_TRUE(reader->sawLast);
            EXPECT_EQ(reader->lines, lineCount);
            EXPECT_EQ(reader->serverSaid.find("Slow left."), std::string::npos)
                << "every line arrived while the slow reader was still in the room";
        }
    }
    // Then it is let go, and the others hear it leave.
    bool sawLeave = false;
    for (Message message = talker.Next(8000); !sawLeave && message.type != PacketType::Invalid;
         message = talker.Next(8000))
        sawLeave = message.text.find("[SERVER]: Slow left.") != std::string::npos;
    EXPECT_TRUE(sawLeave);
    slowReader.join();
    EXPECT_NE(server.Log().find("(Slow) disconnected: too slow: fell 64 KiB behind"),
              std::string::npos)
        << server.Log();
    const auto figures = server.AskFigures();
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->counters.Departures(LeaveReason::TooSlow), 1u);
    EXPECT_EQ(figures->counters.lines, static_cast<std::uint64_t>(lineCount));
}

TEST(ChatServer, ClientThatNeverReadsIsCutOffWhileOthersGetEveryLine)
{
    RunningServer server(Unlimited());
    Peer talker(server.Port()), sleeper(server.Port());
    // The sleeper takes as little as the system allows into its receive buffer and never reads.
    const int small = 4096;
    setsockopt(sleeper.connection.Socket(), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&small), sizeof small);
    Join(talker, "Talker", "Talker");
    sleeper.Nick("Sleeper");
    SeesJoin(talker, "Sleeper", "Sleeper\r\nTalker");

    // The talker sends in batches and reads everything a batch brings back before it sends more,
    // until the server has given up on the sleeper, and then some more.
    const std::string filler(400, 'z');
    int received = 0;
    bool sawLeave = false;
    int batchesAfterLeave = 0;
    for (int batch = 0; batch < 400 && batchesAfterLeave < 5; ++batch)
    {
        for (int i = 0; i < 100; ++i)
            talker.Say(Line("Talker", std::to_string(batch * 100 + i) + filler));
        for (int i = 0; i < 100;)
        {
            const Message message = talker.Next();
            ASSERT_NE(message.type, PacketType::Invalid)
                << "talker stopped receiving at " << received;
            if (message.type == PacketType::ChatMessage &&
                message.text.find("[Talker]") != std::string::npos)
            {
                ASSERT_EQ(message.text, Line("Talker", std::to_string(received) + filler));
                ++received;
                ++i;
            }
            else if (message.type == PacketType::ChatMessage)
            {
                sawLeave = sawLeave || message.text.find("Sleeper left.") != std::string::npos;
            }
        }
        if (sawLeave)
            ++batchesAfterLeave;
    }
    EXPECT_TRUE(sawLeave);
    EXPECT_EQ(batchesAfterLeave, 5);
    EXPECT_NE(server.Log().find("(Sleeper) disconnected: too slow"), std::string::npos)
        << server.Log();
    EXPECT_TRUE(sleeper.connection.SeesClose());
}

// On Windows the server waits on sockets through Asio's select-based reactor: a room of a
// thousand must work there too.
TEST(ChatServer, AThousandMembersEachHearALine)
{
    ServerOptions options = Unlimited();
    options.maxClients = 1100;
    RunningServer server(options);
    std::vector<std::unique_ptr<Peer>> members;
    for (int i = 0; i < 1000; ++i)
    {
        members.push_back(std::make_unique<Peer>(server.Port()));
        members.back()->Nick("m" + std::to_string(i));
    }
    // Each is in the room once it has its own join.
    for (std::size_t i = 0; i < members.size(); ++i)
        ASSERT_EQ(members[i]->NextServerLine(), "m" + std::to_string(i) + " joined.");
    members[0]->Say(Line("m0", "to all"));
    for (std::size_t i = 0; i < members.size(); ++i)
    {
        Message message;
        do
            message = members[i]->Next(10000);
        while (message.type != PacketType::Invalid && message.text != Line("m0", "to all"));
        ASSERT_NE(message.type, PacketType::Invalid) << "member " << i << " did not hear it";
    }
    EXPECT_EQ(server.Log().find("too slow"), std::string::npos);
}

TEST(ChatServer, NewcomerBeyondTheLimitIsTurnedAwayPolitely)
{
    ServerOptions options;
    options.maxClients = 2;
    RunningServer server(options);
    Peer a(server.Port()), b(server.Port());
    Join(a, "A", "A");

    Peer late(server.Port());
    EXPECT_EQ(late.NextServerLine(), "Server is full.");
    EXPECT_TRUE(late.connection.SeesClose());

    Join(b, "B", "A\r\nB");
    SeesJoin(a, "B", "A\r\nB");
    EXPECT_NE(server.Log().find("turned away: server full"), std::string::npos);

    // A place comes free when someone leaves.
    b.connection.Close();
    EXPECT_EQ(a.NextServerLine(), "B left.");
    EXPECT_EQ(a.NextUsersOnline(), "A");
    Peer next(server.Port());
    Join(next, "C", "A\r\nC");
    const auto figures = server.AskFigures();
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->counters.Departures(LeaveReason::TurnedAway), 1u);
    EXPECT_EQ(figures->counters.Departures(LeaveReason::Left), 1u);
}

TEST(ChatServer, ConnectionsPerAddressAreLimitedAndTheUnnamedTimeOut)
{
    ServerOptions options;
    options.maxPerAddress = 2;
    options.nicknameTimeout = 1;
    RunningServer server(options);
    Peer silent(server.Port()), named(server.Port());
    Join(named, "Named", "Named");

    Peer third(server.Port());
    EXPECT_EQ(third.NextServerLine(), "Too many connections from your address.");
    EXPECT_TRUE(third.connection.SeesClose());

    // The silent one is told and closed after a second. Until it has gone, it holds its place.
    EXPECT_EQ(silent.NextServerLine(), "No nickname was chosen within 1 second.");
    EXPECT_TRUE(silent.connection.SeesClose());
    {
        Peer early(server.Port());
        EXPECT_EQ(early.NextServerLine(), "Too many connections from your address.");
    }
    silent.connection.Close();
    std::unique_ptr<Peer> next;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !next && std::chrono::steady_clock::now() < deadline;)
    {
        next = std::make_unique<Peer>(server.Port());
        if (!next->QuietFor(100))
            next.reset(); // turned away: the server has not seen the close yet
    }
    ASSERT_TRUE(next);
    Join(*next, "Next", "Named\r\nNext");
    EXPECT_NE(server.Log().find("turned away: too many connections from its address"),
              std::string::npos);
    EXPECT_NE(server.Log().find("disconnected: no nickname within 1 s"), std::string::npos);
    const auto figures = server.AskFigures();
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->counters.Departures(LeaveReason::Timeout), 1u);
    EXPECT_GE(figures->counters.Departures(LeaveReason::TurnedAway), 2u);
}

} // namespace
