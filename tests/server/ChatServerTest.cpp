// The chat server on a real loopback socket, run on a thread of its own, with raw test clients:
// what each client sees of joins, renames, departures, chat lines, refusals and bad input.

#include "server/ChatServer.h"
#include "net/Packet.h"
#include "support/Bytes.h"
#include "support/RawConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace testing_support;
using oNet::Packet;
using oNet::PacketType;

namespace
{

// A log the server thread writes and the test reads.
class LockedLog : public std::streambuf
{
public:
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return text;
    }

protected:
    int overflow(int c) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (c != traits_type::eof())
            text += static_cast<char>(c);
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        text.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    std::mutex mutex;
    std::string text;
};

class RunningServer
{
public:
    explicit RunningServer(std::size_t maxClients = 1024)
        : logStream(&log), server(Options(maxClients), logStream)
    {
        std::string error;
        started = server.Start(error);
        EXPECT_TRUE(started) << error;
        thread = std::thread([this] {
            while (!stop)
                server.RunOnce(5);
            server.Stop();
        });
    }
    ~RunningServer()
    {
        stop = true;
        thread.join();
    }

    std::uint16_t Port() const { return server.Port(); }
    std::string Log() { return log.Text(); }

private:
    static ServerOptions Options(std::size_t maxClients)
    {
        ServerOptions options;
        options.port = 0;
        options.maxClients = maxClients;
        return options;
    }

    LockedLog log;
    std::ostream logStream;
    ChatServer server;
    bool started = false;
    std::atomic<bool> stop{false};
    std::thread thread;
};

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

// Names a peer and takes everything its joining sends it.
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

TEST(ChatServer, JoinRenameAndLeaveAreSeenByEveryone)
{
    RunningServer server;
    Peer a(server.Port()), b(server.Port()), c(server.Port());

    Join(a, "Alice", "Alice");
    SeesJoin(b, "Alice", "Alice"); // not named yet, still told
    SeesJoin(c, "Alice", "Alice");

    Join(b, "bob", "Alice\r\nbob");
    SeesJoin(a, "bob", "Alice\r\nbob");
    SeesJoin(c, "bob", "Alice\r\nbob");

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
    EXPECT_TRUE(c.QuietFor(200));

    const std::string log = server.Log();
    EXPECT_NE(log.find("joined as Alice"), std::string::npos) << log;
    EXPECT_NE(log.find("Alice is now known as Zed"), std::string::npos) << log;
    EXPECT_NE(log.find("(bob) disconnected: closed by the client"), std::string::npos) << log;
}

TEST(ChatServer, LinesReachEveryoneInTheOrderTheyArrived)
{
    RunningServer server;
    Peer a(server.Port()), b(server.Port());
    Join(a, "Alice", "Alice");
    SeesJoin(b, "Alice", "Alice");
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
}

TEST(ChatServer, LinesAreRelayedUnchangedToTheSenderToo)
{
    RunningServer server;
    Peer a(server.Port());
    Join(a, "Alice", "Alice");
    const std::string line = "[00:00:00] [Alice]: [x] ]: SERVER \xE9";
    a.Say(line);
    const Message echo = a.Next();
    EXPECT_EQ(echo.type, PacketType::ChatMessage);
    EXPECT_EQ(echo.text, line);
    a.Say(Line("Alice", ""));
    EXPECT_EQ(a.Next().text, Line("Alice", ""));
}

TEST(ChatServer, ImpersonationAndUnnamedSpeechAreRefused)
{
    RunningServer server;
    Peer a(server.Port()), b(server.Port()), nameless(server.Port());
    Join(a, "Alice", "Alice");
    SeesJoin(b, "Alice", "Alice");
    SeesJoin(nameless, "Alice", "Alice");
    Join(b, "Bob", "Alice\r\nBob");
    SeesJoin(a, "Bob", "Alice\r\nBob");
    SeesJoin(nameless, "Bob", "Alice\r\nBob");

    nameless.Say(Line("Carol", "hello"));
    EXPECT_EQ(nameless.NextServerLine(), "Choose a nickname before you chat.");

    for (const std::string& forged :
         {Line("Bob", "I owe Alice money"), Line("SERVER", "shutting down"),
          std::string("no time stamp"), Line("alice", "case matters")})
    {
        a.Say(forged);
        EXPECT_NE(a.NextServerLine().find("own nickname"), std::string::npos) << forged;
    }
    EXPECT_TRUE(b.QuietFor(300)) << "nothing refused reaches anyone else";
    EXPECT_TRUE(nameless.QuietFor(10));
}

TEST(ChatServer, TakenAndInvalidNicknamesAreRefusedAndTheOldNameStays)
{
    RunningServer server;
    Peer a(server.Port()), b(server.Port());
    Join(a, "Alice", "Alice");
    SeesJoin(b, "Alice", "Alice");
    Join(b, "Bob", "Alice\r\nBob");
    SeesJoin(a, "Bob", "Alice\r\nBob");

    b.Nick("ALICE");
    EXPECT_EQ(b.NextServerLine(), "The nickname ALICE is taken. Your nickname stays as it was.");
    for (const std::string& bad : {std::string(""), std::string(33, 'x'), std::string("a[b]"),
                                   std::string("tab\t"), std::string("MySERVER")})
    {
        b.Nick(bad);
        const std::string line = b.NextServerLine();
        EXPECT_NE(line.find("Your nickname stays as it was."), std::string::npos) << line;
        EXPECT_EQ(line.find(bad.empty() ? "<none>" : bad), std::string::npos)
            << "not echoed: " << line;
    }
    EXPECT_TRUE(a.QuietFor(300));

    // Still Bob: lines in that name pass, and 32 bytes is a valid name.
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
}

TEST(ChatServer, ClientThatNeverReadsIsCutOffWhileOthersGetEveryLine)
{
    RunningServer server;
    Peer talker(server.Port()), sleeper(server.Port());
    // The sleeper takes as little as the system allows into its receive buffer and never reads.
    const int small = 4096;
    setsockopt(sleeper.connection.Socket(), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&small), sizeof small);
    Join(talker, "Talker", "Talker");
    sleeper.Nick("Sleeper");
    EXPECT_EQ(talker.Next().type, PacketType::NewUser);
    EXPECT_EQ(talker.NextServerLine(), "Sleeper joined.");
    EXPECT_EQ(talker.NextUsersOnline(), "Sleeper\r\nTalker");

    // The talker sends in batches and reads everything a batch brings back before it sends more,
    // until the server has given up on the sleeper (the system's own buffers take megabytes
    // first), and then some more.
    const std::string filler(900, 'z');
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

TEST(ChatServer, NewcomerBeyondTheLimitIsTurnedAwayPolitely)
{
    RunningServer server(2);
    Peer a(server.Port()), b(server.Port());
    Join(a, "A", "A");
    SeesJoin(b, "A", "A");

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
}

} // namespace
