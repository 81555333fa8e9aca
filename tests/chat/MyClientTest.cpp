// The chat client against a real loopback peer: every packet type's handling, with what it
// leaves for the chat log, its output lines and sounds, and the way out of a chat line and a
// nickname.

#include "chat/MyClient.h"
#include "chat/ScriptedPeer.h"
#include "net/Packet.h"
#include "support/Bytes.h"
#include "support/FakeClock.h"
#include "support/LoopbackPeer.h"
#include "support/LoopbackRelay.h"
#include "support/RunningServer.h"
#include "support/StreamCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

using namespace testing_support;
using oNet::Endpoint;
using oNet::Packet;
using oNet::PacketType;

namespace
{

std::shared_ptr<Packet> TextPacket(PacketType type, const std::string& text)
{
    auto packet = std::make_shared<Packet>(type);
    *packet << text;
    return packet;
}

std::shared_ptr<Packet> IntegerArray(std::initializer_list<std::uint32_t> values)
{
    auto packet = std::make_shared<Packet>(PacketType::IntegerArray);
    *packet << static_cast<std::uint32_t>(values.size());
    for (auto value : values)
        *packet << value;
    return packet;
}

std::tm At(int hour, int minute, int second)
{
    std::tm time = {};
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

using Lines = std::deque<std::string>;

class MyClientTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (SoundPlayer* player : {&client.newMessageSound, &client.newUserSound})
            player->sender = [this](const std::wstring& command) {
                sounds.push_back(command);
                if (onSound)
                    onSound();
                return 0u;
            };
        ASSERT_TRUE(client.Connect(Endpoint("127.0.0.1", peer.Port())));
        ASSERT_TRUE(peer.Accept());
        client.nickname = "Bob";
    }

    void TearDown() override
    {
        if (client.IsConnected())
            client.Disconnect("test over");
        // The players close what they opened while this fixture's recorder is still there.
        client.newMessageSound.Close();
        client.newUserSound.Close();
    }

    // Runs frames until the condition holds, the client stops or five seconds pass.
    bool FramesUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done())
        {
            if (!client.Running() || std::chrono::steady_clock::now() > deadline)
                return done();
            client.Frame();
        }
        return true;
    }

    void Deliver(const std::shared_ptr<Packet>& packet) { peer.Send(FrameOf(*packet)); }

    // Moves the client to a server on a fixed port (which a server started later can listen on
    // again) with reconnection on, the fake clock, a schedule without jitter and 10:00:00 as the
    // local time. Returns that server, its connection accepted.
    std::unique_ptr<LoopbackPeer> ReconnectingToFixedPort(std::uint16_t port)
    {
        auto server = std::make_unique<LoopbackPeer>("127.0.0.1", port);
        client.Disconnect("to the server on the fixed port");
        EXPECT_TRUE(client.Connect(Endpoint("127.0.0.1", port)));
        EXPECT_TRUE(server->Accept());
        client.reconnect = true;
        client.now = fake_clock::Now;
        client.schedule = oNet::ReconnectSchedule([] { return 0.0; });
        client.localTime = [] { return At(10, 0, 0); };
        return server;
    }

    // Declared first, so that they outlive the sound players that record into them.
    std::vector<std::wstring> sounds;
    std::function<void()> onSound;
    MyClient client;
    LoopbackPeer peer;
};

TEST_F(MyClientTest, ChatLineIsLeftForTheLogPlayedAndEchoed)
{
    StreamCapture capture;
    Deliver(TextPacket(PacketType::ChatMessage, "[12:00:01] [Alice]: hi"));
    ASSERT_TRUE(FramesUntil([&] { return !capture.Out().empty(); }));
    EXPECT_EQ(capture.Out(), "[12:00:01] [Alice]: hi\n");
    EXPECT_EQ(client.chatLogLines, Lines{"[12:00:01] [Alice]: hi"});
    const std::vector<std::wstring> expected = {
        L"open src/snd_newmessage.mp3 type mpegvideo alias newmessage",
        L"open src/snd_newuser.mp3 type mpegvideo alias newuser",
        L"setaudio newmessage volume to 200",
        L"play newmessage from 0",
    };
    EXPECT_EQ(sounds, expected);
}

TEST_F(MyClientTest, EmptyChatLineLeavesAnEmptyLine)
{
    StreamCapture capture;
    Deliver(TextPacket(PacketType::ChatMessage, ""));
    ASSERT_TRUE(FramesUntil([&] { return !capture.Out().empty(); }));
    EXPECT_EQ(capture.Out(), "\n");
    EXPECT_EQ(client.chatLogLines, Lines{""});
    EXPECT_EQ(sounds.back(), L"play newmessage from 0");
}

TEST_F(MyClientTest, IntegerArraysArePrintedOnly)
{
    StreamCapture capture;
    Deliver(IntegerArray({7, 9}));
    Deliver(IntegerArray({}));
    ASSERT_TRUE(
        FramesUntil([&] { return capture.Out().find("Array Size: 0") != std::string::npos; }));
    EXPECT_EQ(capture.Out(), "Array Size: 2\nElement[0] - 7\nElement[1] - 9\nArray Size: 0\n");
    EXPECT_TRUE(client.chatLogLines.empty());
    EXPECT_TRUE(client.IsConnected());
}

TEST_F(MyClientTest, NewUserPlaysItsSoundAndShowsNothing)
{
    StreamCapture capture;
    auto packet = std::make_shared<Packet>(PacketType::NewUser);
    *packet << 12345u; // payload bytes are ignored
    Deliver(packet);
    ASSERT_TRUE(FramesUntil([&] { return sounds.size() == 4; }));
    EXPECT_EQ(sounds[2], L"setaudio newuser volume to 200");
    EXPECT_EQ(sounds[3], L"play newuser from 0");
    EXPECT_EQ(capture.Out(), "");
    EXPECT_TRUE(client.chatLogLines.empty());
    EXPECT_FALSE(client.usersOnlineChanged);
}

TEST_F(MyClientTest, OnlyTheLastUsersOnlineTextOfAFrameIsKept)
{
    client.connection.incoming.Append(TextPacket(PacketType::UsersOnline, "Alice\r\nBob"));
    client.connection.incoming.Append(TextPacket(PacketType::UsersOnline, "Bob"));
    EXPECT_TRUE(client.Frame());
    EXPECT_TRUE(client.usersOnlineChanged);
    EXPECT_EQ(client.usersOnlineText, "Bob");

    client.usersOnlineChanged = false;
    Deliver(TextPacket(PacketType::UsersOnline, ""));
    ASSERT_TRUE(FramesUntil([&] { return client.usersOnlineChanged; }));
    EXPECT_EQ(client.usersOnlineText, "");
}

TEST_F(MyClientTest, TypesTheClientDoesNotAcceptCloseTheConnection)
{
    for (std::uint16_t type : {5, 3, 0, 7, 0xFFFF})
    {
        LoopbackPeer otherPeer;
        MyClient other;
        other.newMessageSound.sender =
            other.newUserSound.sender = [](const std::wstring&) { return 0u; };
        ASSERT_TRUE(other.Connect(Endpoint("127.0.0.1", otherPeer.Port())));
        other.connection.incoming.Append(std::make_shared<Packet>(static_cast<PacketType>(type)));
        other.connection.incoming.Append(
            TextPacket(PacketType::ChatMessage, "[1] [x]: never shown"));

        StreamCapture capture;
        EXPECT_FALSE(other.Frame());
        EXPECT_EQ(capture.Out(),
                  "Unrecognized packet type: " + std::to_string(type) +
                      "\nLost connection. Reason: Failed to process incoming packet.\n");
        EXPECT_FALSE(other.IsConnected());
        EXPECT_TRUE(other.chatLogLines.empty()) << "packets after the refused one are not handled";
    }
}

TEST_F(MyClientTest, MalformedPayloadsCloseTheConnectionWithoutHarm)
{
    StreamCapture capture;
    // A UsersOnline text whose count runs past the end.
    peer.Send(Bytes{0x00, 0x08, 0x00, 0x06, 0x00, 0x00, 0x01, 0x00, 'a', 'b'});
    ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));
    EXPECT_EQ(capture.Out(), "Lost connection. Reason: Failed to process incoming packet.\n");
    EXPECT_FALSE(client.usersOnlineChanged);
    EXPECT_EQ(client.usersOnlineText, "");
}

TEST_F(MyClientTest, ShortIntegerArrayPrintsWhatItReadThenCloses)
{
    StreamCapture capture;
    auto packet = std::make_shared<Packet>(PacketType::IntegerArray);
    *packet << 3u << 7u;
    Deliver(packet);
    ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));
    EXPECT_EQ(capture.Out(), "Array Size: 3\nElement[0] - 7\n"
                             "Lost connection. Reason: Failed to process incoming packet.\n");
}

TEST_F(MyClientTest, ChatLineAndNicknameGoOutAsComposed)
{
    client.localTime = [] { return At(9, 5, 3); };
    client.SendChatMessage("hi");
    client.AnnounceNickname("Cid");
    EXPECT_EQ(client.nickname, "Cid");
    EXPECT_EQ(client.connection.outgoing.packets.size(), 2u);

    // The line goes out exactly as composed: a 20-byte text after the frame's length and type;
    // then the nickname.
    const std::string line = "[09:05:03] [Bob]: hi";
    ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
    EXPECT_EQ(peer.Receive(4 + 4 + line.size()),
              Concat({0x00, 0x1A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14}, line));
    EXPECT_EQ(peer.Receive(11), Concat({0x00, 0x09, 0x00, 0x05, 0x00, 0x00, 0x00, 0x03}, "Cid"));
}

TEST_F(MyClientTest, ChatLinesAreTimeStampedWithTwoDigitNumbers)
{
    struct Case
    {
        std::tm time;
        const char* nickname;
        const char* text;
        const char* line;
    };
    const Case cases[] = {
        {At(9, 5, 3), "abc", "hi", "[09:05:03] [abc]: hi"},
        {At(0, 0, 0), "abc", "hi", "[00:00:00] [abc]: hi"},
        {At(23, 59, 59), "abc", "[x] ]: y", "[23:59:59] [abc]: [x] ]: y"},
    };
    for (const auto& c : cases)
    {
        client.localTime = [&] { return c.time; };
        client.nickname = c.nickname;
        client.SendChatMessage(c.text);
        ASSERT_TRUE(client.connection.outgoing.HasPending());
        auto packet = client.connection.outgoing.Front();
        client.connection.outgoing.Pop();
        EXPECT_EQ(packet->Type(), PacketType::ChatMessage);
        std::string line;
        *packet >> line;
        EXPECT_EQ(line, c.line);
    }
    EXPECT_EQ(client.MakeTimestamp(), "[23:59:59]");
}

TEST_F(MyClientTest, TwoQuickMessagesLeaveInTheOrderTheyWereSent)
{
    client.SendChatMessage("first");
    client.SendChatMessage("second");
    ASSERT_EQ(client.connection.outgoing.packets.size(), 2u);
    std::string first, second;
    *client.connection.outgoing.packets[0] >> first;
    *client.connection.outgoing.packets[1] >> second;
    EXPECT_EQ(first.substr(first.size() - 5), "first");
    EXPECT_EQ(second.substr(second.size() - 6), "second");
}

TEST_F(MyClientTest, ConnectingGivesAGeneratedNicknameAndWritesNoMore)
{
    LoopbackPeer otherPeer;
    MyClient other;
    StreamCapture capture;
    ASSERT_TRUE(other.Connect(Endpoint("127.0.0.1", otherPeer.Port())));
    EXPECT_EQ(capture.Out(), "Successfully connected to server 127.0.0.1.\n\n");
    ASSERT_EQ(other.nickname.rfind("User#", 0), 0u) << other.nickname;
    const int number = std::stoi(other.nickname.substr(5));
    EXPECT_GE(number, 10000);
    EXPECT_LE(number, 42767);
    EXPECT_FALSE(other.connection.outgoing.HasPending()) << "connecting sends nothing";
    other.Disconnect("done");
}

Bytes Frame(PacketType type, const std::string& text)
{
    return FrameOf(*TextPacket(type, text));
}

// The text of a ChatMessage packet, after its type and count.
std::string LineOf(const Bytes& packet)
{
    return packet.size() < 6 ? "<no line>" : std::string(packet.begin() + 6, packet.end());
}

// A socket that takes five bytes of what the client writes first, then nothing more.
int partialWrites = 0;
int FiveBytesThenNothing(SOCKET socket, const char* buffer, int length)
{
    if (partialWrites++ > 0)
        return SOCKET_ERROR;
    return send(socket, buffer, std::min(length, 5), 0);
}

// With reconnect, a lost connection is tried again after 1 s, then 2 s and 4 s after each try
// that failed (the random source here gives delays without jitter), none of them in the chat
// log. A try that connects announces the nickname; only once the server lets the client in (its
// users list) is the client back: the log says so, and the line whose frame was half written
// when the connection went is sent again, whole and once.
TEST_F(MyClientTest, LostConnectionIsMadeAgainOnScheduleAndAHalfWrittenLineGoesWholeOnceLetIn)
{
    using namespace std::chrono_literals;
    const std::uint16_t port = RefusingPort();
    auto first = ReconnectingToFixedPort(port);
    ASSERT_FALSE(HasFailure());
    first->Send(Frame(PacketType::UsersOnline, "Bob"));
    ASSERT_TRUE(FramesUntil([&] { return client.CanSend(); }));
    client.calls.send = FiveBytesThenNothing;
    partialWrites = 0;
    client.SendChatMessage("said as it went");
    ASSERT_TRUE(FramesUntil([&] { return client.connection.outgoing.transferred == 5; }));
    EXPECT_EQ(first->Receive(5).size(), 5u);
    first.reset();

    StreamCapture capture;
    ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));
    client.calls.send = oNet::PlatformSocketCalls().send;
    EXPECT_TRUE(client.Running());
    EXPECT_FALSE(client.CanSend());
    EXPECT_EQ(capture.Out().rfind("Lost connection. Reason: ", 0), 0u) << capture.Out();
    EXPECT_EQ(client.chatLogLines,
              Lines{"[10:00:00] The connection to the server was lost. Trying again in 1 second."});
    EXPECT_TRUE(client.usersOnlineChanged);
    EXPECT_EQ(client.usersOnlineText, "");

    // Tries as their times come, each written as it always is; between them, none.
    const auto framesAt = [&](oNet::Clock::duration later) {
        fake_clock::time += later;
        for (int i = 0; i < 20; ++i)
            client.Frame();
    };
    const auto fails = [&] {
        std::size_t count = 0;
        for (std::size_t at = capture.Out().find("Failed to connect.\n"); at != std::string::npos;
             at = capture.Out().find("Failed to connect.\n", at + 1))
            ++count;
        return count;
    };
    framesAt(999ms);
    EXPECT_EQ(fails(), 0u);
    framesAt(1ms);
    EXPECT_EQ(fails(), 1u) << capture.Out();
    framesAt(1999ms);
    EXPECT_EQ(fails(), 1u);
    framesAt(1ms);
    EXPECT_EQ(fails(), 2u);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_TRUE(client.Running());

    LoopbackPeer back("127.0.0.1", port);
    ASSERT_TRUE(back.Listening());
    framesAt(3999ms);
    EXPECT_FALSE(back.Accept(100)) << "tried before its time";
    fake_clock::time += 1ms;
    ASSERT_TRUE(FramesUntil([&] { return client.IsConnected(); }));
    ASSERT_TRUE(back.Accept());
    EXPECT_NE(capture.Out().find("Failed to connect.\nSuccessfully connected to server 127.0.0.1."),
              std::string::npos)
        << capture.Out();
    ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
    EXPECT_EQ(back.ReceivePacket(), Concat({0x00, 0x05, 0x00, 0x00, 0x00, 0x03}, "Bob"));
    for (int i = 0; i < 20; ++i)
        client.Frame();
    EXPECT_TRUE(back.ReceivePacket(200).empty()) << "no line before the server lets it in";
    EXPECT_EQ(client.chatLogLines.size(), 1u) << "connected is not back yet";

    back.Send(Frame(PacketType::UsersOnline, "Bob"));
    ASSERT_TRUE(FramesUntil([&] { return client.CanSend(); }));
    EXPECT_EQ(client.chatLogLines.back(), "[10:00:00] Connected to the server again.");
    EXPECT_EQ(client.usersOnlineText, "Bob");
    ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
    EXPECT_EQ(LineOf(back.ReceivePacket()), "[10:00:00] [Bob]: said as it went");
    for (int i = 0; i < 20; ++i)
        client.Frame();
    EXPECT_TRUE(back.ReceivePacket(200).empty()) << "nothing else";

    // Lost again at once, as from a server that lets the client in and drops it: the tries go
    // on with the next delay. A try that connects and is turned away before it is let in is a
    // try that failed: the log has nothing more, and the server's reason, the same on the next
    // try, is shown once. Lost after the connection has lasted, the tries start afresh.
    back.CloseConnection();
    client.chatLogLines.clear();
    ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));
    EXPECT_EQ(
        client.chatLogLines,
        Lines{"[10:00:00] The connection to the server was lost. Trying again in 8 seconds."});
    for (const auto wait : {8s, 16s})
    {
        fake_clock::time += wait;
        ASSERT_TRUE(FramesUntil([&] { return client.IsConnected(); }));
        ASSERT_TRUE(back.Accept());
        ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
        EXPECT_FALSE(back.ReceivePacket().empty()) << "the nickname";
        back.Send(Frame(PacketType::ChatMessage, "[10:00:08] [SERVER]: Server is full."));
        back.CloseConnection();
        ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));
    }
    EXPECT_EQ(client.chatLogLines,
              (Lines{"[10:00:00] The connection to the server was lost. Trying again in 8 seconds.",
                     "[10:00:08] [SERVER]: Server is full."}));
    framesAt(29999ms);
    EXPECT_FALSE(client.IsConnected()) << "the next try comes after 30 s";
    fake_clock::time += 1ms;
    ASSERT_TRUE(FramesUntil([&] { return client.IsConnected(); }));
    ASSERT_TRUE(back.Accept());
    back.Send(Frame(PacketType::UsersOnline, "Bob"));
    ASSERT_TRUE(FramesUntil([&] { return client.CanSend(); }));
    fake_clock::time += 30s;
    back.CloseConnection();
    client.chatLogLines.clear();
    ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));
    EXPECT_EQ(client.chatLogLines,
              Lines{"[10:00:00] The connection to the server was lost. Trying again in 1 second."});
}

// A line the server has not echoed when the connection goes is sent again once the client has
// been let in after it, with the nickname the client has then: here a name chosen while away,
// which the server says is taken (the connection it lost may still hold it), and then another
// one. Until the client is let in, nothing is sent; lines sent again go one at a time, before
// anything typed later.
TEST_F(MyClientTest, UnechoedLineGoesAgainWithTheNicknameOfTheMomentOnceLetIn)
{
    using namespace std::chrono_literals;
    const std::uint16_t port = RefusingPort();
    auto first = ReconnectingToFixedPort(port);
    ASSERT_FALSE(HasFailure());
    EXPECT_FALSE(client.CanSend()) << "not before the server has let the client in";
    first->Send(Frame(PacketType::UsersOnline, "Bob"));
    ASSERT_TRUE(FramesUntil([&] { return client.CanSend(); }));
    client.SendChatMessage("echoed");
    client.SendChatMessage("not echoed");
    ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
    EXPECT_EQ(LineOf(first->ReceivePacket()), "[10:00:00] [Bob]: echoed");
    EXPECT_EQ(LineOf(first->ReceivePacket()), "[10:00:00] [Bob]: not echoed");
    first->Send(Frame(PacketType::ChatMessage, "[10:00:00] [Bob]: echoed"));
    ASSERT_TRUE(FramesUntil([&] { return client.chatLogLines.size() == 1; }));
    first.reset();
    ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));

    client.AnnounceNickname("Cid");
    EXPECT_FALSE(client.connection.outgoing.HasPending()) << "nothing is sent while away";
    LoopbackPeer back("127.0.0.1", port);
    fake_clock::time += 1s;
    ASSERT_TRUE(FramesUntil([&] { return client.IsConnected(); }));
    ASSERT_TRUE(back.Accept());
    ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
    EXPECT_EQ(back.ReceivePacket(), Concat({0x00, 0x05, 0x00, 0x00, 0x00, 0x03}, "Cid"));
    back.Send(Frame(PacketType::ChatMessage,
                    "[10:00:01] [SERVER]: The nickname Cid is taken. Choose another one."));
    ASSERT_TRUE(FramesUntil([&] { return client.chatLogLines.size() == 3; }));
    for (int i = 0; i < 20; ++i)
        client.Frame();
    EXPECT_TRUE(back.ReceivePacket(200).empty()) << "no line while the server keeps it out";
    EXPECT_FALSE(client.CanSend());
    // Asked again by the user, the server's same answer is shown again.
    client.AnnounceNickname("Cid");
    ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
    EXPECT_EQ(back.ReceivePacket(), Concat({0x00, 0x05, 0x00, 0x00, 0x00, 0x03}, "Cid"));
    back.Send(Frame(PacketType::ChatMessage,
                    "[10:00:02] [SERVER]: The nickname Cid is taken. Choose another one."));
    ASSERT_TRUE(FramesUntil([&] { return client.chatLogLines.size() == 4; }));

    client.AnnounceNickname("Dee");
    ASSERT_TRUE(FramesUntil([&] { return !client.connection.outgoing.HasPending(); }));
    EXPECT_EQ(back.ReceivePacket(), Concat({0x00, 0x05, 0x00, 0x00, 0x00, 0x03}, "Dee"));
    back.Send(Frame(PacketType::UsersOnline, "Dee"));
    ASSERT_TRUE(FramesUntil([&] { return client.CanSend(); }));
    client.SendChatMessage("typed after");
    for (int i = 0; i < 20; ++i)
        client.Frame();
    EXPECT_EQ(LineOf(back.ReceivePacket()), "[10:00:00] [Dee]: not echoed");
    EXPECT_TRUE(back.ReceivePacket(200).empty()) << "the next line waits its turn";
    fake_clock::time += MyClient::ResendInterval;
    for (int i = 0; i < 20; ++i)
        client.Frame();
    EXPECT_EQ(LineOf(back.ReceivePacket()), "[10:00:00] [Dee]: typed after");
    EXPECT_EQ(client.chatLogLines,
              (Lines{"[10:00:00] [Bob]: echoed",
                     "[10:00:00] The connection to the server was lost. Trying again in 1 second.",
                     "[10:00:01] [SERVER]: The nickname Cid is taken. Choose another one.",
                     "[10:00:02] [SERVER]: The nickname Cid is taken. Choose another one.",
                     "[10:00:00] Connected to the server again."}));
}

// Through a real server that keeps running while the client's connection is cut (by a relay
// between them): the lines the client missed come with the server's replay, those it had shown
// are not shown again, and its own line that reached the room but whose echo was lost with the
// connection is shown once and not sent again. Every line exactly once, in order.
TEST(MyClientReplay, CutWhileTheRoomGoesOnShowsEveryLineOnceInOrder)
{
    using namespace std::chrono_literals;
    RunningServer server;
    LoopbackRelay relay("127.0.0.1", server.Port());
    ScriptedPeer ann;
    ASSERT_TRUE(ann.Connect(Endpoint("127.0.0.1", server.Port())));
    ann.Announce("Ann");
    ASSERT_TRUE(ann.RunUntil([&] { return ann.Saw("Ann joined."); }, 5s));
    MyClient bob;
    bob.newMessageSound.sender = bob.newUserSound.sender = [](const std::wstring&) { return 0u; };
    bob.reconnect = true;
    bob.now = fake_clock::Now;
    ASSERT_TRUE(bob.Connect(Endpoint("127.0.0.1", relay.Port())));
    bob.AnnounceNickname("Bob");
    const auto shows = [&](const std::string& text) {
        return std::any_of(bob.chatLogLines.begin(), bob.chatLogLines.end(),
                           [&](const std::string& line) { return line.find(text) != line.npos; });
    };
    const auto until = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < deadline && bob.Running())
        {
            bob.Frame();
            ann.Frame();
        }
        return done();
    };
    ASSERT_TRUE(until([&] { return bob.CanSend() && ann.Saw("Bob joined."); })) << server.Log();

    ann.Say("one");
    ann.Say("two");
    ASSERT_TRUE(until([&] { return shows("[Ann]: two"); }));
    bob.SendChatMessage("three");
    ASSERT_TRUE(until([&] { return shows("[Bob]: three"); }));
    relay.HoldServerBytes();
    bob.SendChatMessage("four");
    ASSERT_TRUE(until([&] { return ann.Saw("[Bob]: four"); }));
    ann.Say("five");
    ASSERT_TRUE(until([&] { return ann.Saw("[Ann]: five"); }));
    relay.Cut();
    ASSERT_TRUE(until([&] { return !bob.IsConnected() && ann.Saw("Bob left."); }));
    ann.Say("six");
    ASSERT_TRUE(until([&] { return ann.Saw("[Ann]: six"); }));

    fake_clock::time += 1s;
    ASSERT_TRUE(until([&] { return bob.CanSend(); })) << server.Log();
    EXPECT_EQ(relay.Accepted(), 2);
    bob.SendChatMessage("seven");
    ASSERT_TRUE(until([&] { return shows("[Bob]: seven") && ann.Saw("[Bob]: seven"); }));

    std::vector<std::string> said;
    for (const std::string& line : bob.chatLogLines)
        if (line.find("] [Ann]: ") != line.npos || line.find("] [Bob]: ") != line.npos)
            said.push_back(line.substr(line.find("]: ") + 3));
    EXPECT_EQ(said,
              (std::vector<std::string>{"one", "two", "three", "four", "five", "six", "seven"}));
    EXPECT_EQ(std::count_if(
                  ann.lines.begin(), ann.lines.end(),
                  [](const std::string& line) { return line.find("[Bob]: four") != line.npos; }),
              1)
        << "not sent again";
    bob.Disconnect("test over");
    ann.Disconnect("test over");
    bob.newMessageSound.Close();
    bob.newUserSound.Close();
}

TEST_F(MyClientTest, WithoutReconnectALostConnectionEndsTheClient)
{
    peer.CloseConnection();
    ASSERT_TRUE(FramesUntil([&] { return !client.IsConnected(); }));
    EXPECT_FALSE(client.Running());
    EXPECT_TRUE(client.chatLogLines.empty());
    client.Frame();
    EXPECT_FALSE(client.IsConnecting());
}

} // namespace
