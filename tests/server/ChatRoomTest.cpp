// The chat room without sockets: bytes in as a connection delivers them, frames out as the room
// hands them to each member, with the clock in the test's hands.

#include "server/room/ChatRoom.h"
#include "common/ChatProtocol.h"

#include <gtest/gtest.h>

#include <sstream>

using oNet::PacketType;
using namespace std::chrono_literals;

namespace
{

struct Message
{
    PacketType type;
    std::string text; // empty for NewUser
};

// Server lines carry the time they were made; what follows it is what they say.
std::string Said(const Message& message)
{
    const std::size_t colon = message.text.find("]: ");
    return colon == std::string::npos ? message.text : message.text.substr(colon + 3);
}

class Connection : public ChatParticipant
{
public:
    void Deliver(const Frame& frame) override { frames.push_back(frame); }
    void Disconnect() override { disconnected = true; }

    // Everything delivered since the last call.
    std::vector<Message> Take()
    {
        std::vector<Message> messages;
        for (const Frame& frame : frames)
        {
            oNet::Packet packet;
            packet.buffer.assign(frame->begin() + 2, frame->end());
            Message message{packet.Type(), ""};
            if (message.type != PacketType::NewUser)
                packet >> message.text;
            messages.push_back(message);
        }
        frames.clear();
        return messages;
    }

    std::vector<Frame> frames;
    bool disconnected = false;
};

class Room : public ::testing::Test
{
protected:
    Room() : room(Options(), log, counters) {}

    static RoomOptions Options()
    {
        RoomOptions options;
        options.history = 2;
        return options;
    }

    ChatRoom::MemberId Join(Connection& connection)
    {
        return room.Join(connection, "127.0.0.1:" + std::to_string(++port), now);
    }

    void Send(ChatRoom::MemberId id, PacketType type, const std::string& text)
    {
        const std::string frame = oNet::WireFrame(*ChatProtocol::MakeTextPacket(type, text));
        room.Receive(id, frame.data(), frame.size(), now);
    }

    // Lets time pass, a tick at a time, as the server does; readingWaits while it reads from
    // nobody.
    void Pass(std::chrono::milliseconds time, bool readingWaits = false)
    {
        for (const auto end = now + time; now < end;)
        {
            now += 100ms;
            room.Tick(now, readingWaits);
        }
    }

    std::ostringstream log;
    ServerCounters counters;
    ChatRoom room;
    ChatRoom::Clock::time_point now = ChatRoom::Clock::now();
    int port = 1000;
};

TEST_F(Room, InputSplitAtEveryByteIsHandledAsWholeFrames)
{
    Connection listener, alice;
    const auto listenerId = Join(listener);
    Send(listenerId, PacketType::Nickname, "Listener");
    const auto aliceId = Join(alice);
    const std::string input =
        oNet::WireFrame(*ChatProtocol::MakeTextPacket(PacketType::Nickname, "Alice")) +
        oNet::WireFrame(
            *ChatProtocol::MakeTextPacket(PacketType::ChatMessage, "[10:00:00] [Alice]: one"));
    Pass(1s);
    listener.Take();
    for (char byte : input)
        room.Receive(aliceId, &byte, 1, now);

    // The line makes the room tell of the join first.
    const auto heard = listener.Take();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].type, PacketType::NewUser);
    EXPECT_EQ(Said(heard[1]), "Alice joined.");
    EXPECT_EQ(heard[2].text, "[10:00:00] [Alice]: one");
    EXPECT_EQ(room.NamedCount(), 2u);
}

TEST_F(Room, NewcomerIsToldAtOnceAndTheOthersTogetherAtTheNextRound)
{
    Connection a, b, c, quiet;
    const auto aId = Join(a);
    const auto bId = Join(b);
    const auto cId = Join(c);
    Join(quiet); // never named: hears nothing of the room
    Send(aId, PacketType::Nickname, "Alice");
    for (int i = 1; i <= 3; ++i)
        Send(aId, PacketType::ChatMessage,
             "[10:00:0" + std::to_string(i) + "] [Alice]: " + std::to_string(i));
    Pass(1s);
    a.Take();

    Send(bId, PacketType::Nickname, "bob");
    Send(cId, PacketType::Nickname, "Carol");
    // The newcomer at once: its join, who is here, and the last two lines.
    const auto toBob = b.Take();
    ASSERT_EQ(toBob.size(), 4u);
    EXPECT_EQ(Said(toBob[0]), "bob joined.");
    EXPECT_EQ(toBob[1].text, "Alice\r\nbob");
    EXPECT_EQ(toBob[2].text, "[10:00:02] [Alice]: 2");
    EXPECT_EQ(toBob[3].text, "[10:00:03] [Alice]: 3");
    c.Take();
    EXPECT_TRUE(a.Take().empty()) << "the others wait for the round";

    Pass(300ms);
    const auto toAlice = a.Take();
    ASSERT_EQ(toAlice.size(), 4u);
    EXPECT_EQ(toAlice[0].type, PacketType::NewUser);
    EXPECT_EQ(Said(toAlice[1]), "bob joined.");
    EXPECT_EQ(Said(toAlice[2]), "Carol joined.");
    EXPECT_EQ(toAlice[3].text, "Alice\r\nbob\r\nCarol");
    // Bob hears only what came after his own join.
    const auto toBobLater = b.Take();
    ASSERT_EQ(toBobLater.size(), 3u);
    EXPECT_EQ(Said(toBobLater[1]), "Carol joined.");
    EXPECT_TRUE(quiet.Take().empty());

    // A rename is told to the renamer at once, and to the others once, with the list.
    Send(bId, PacketType::Nickname, "Bob");
    ASSERT_EQ(b.Take().size(), 1u);
    room.Leave(cId, "closed by the client");
    Pass(300ms);
    const auto later = a.Take();
    ASSERT_EQ(later.size(), 3u);
    EXPECT_EQ(Said(later[0]), "bob is now known as Bob.");
    EXPECT_EQ(Said(later[1]), "Carol left.");
    EXPECT_EQ(later[2].text, "Alice\r\nBob");
    EXPECT_EQ(b.Take().size(), 2u);
    EXPECT_NE(log.str().find("(Carol) disconnected: closed by the client"), std::string::npos);
}

TEST_F(Room, AThousandJoinsInOneRoundAreSummedUp)
{
    Connection watcher;
    Send(Join(watcher), PacketType::Nickname, "Watcher");
    Pass(1s);
    watcher.Take();
    std::vector<Connection> others(1000);
    for (std::size_t i = 0; i < others.size(); ++i)
        Send(Join(others[i]), PacketType::Nickname, "newcomer-" + std::to_string(i));
    EXPECT_TRUE(watcher.Take().empty());
    for (auto& other : others)
        other.Take(); // what each one's own join brought
    Pass(300ms);
    const auto heard = watcher.Take();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].type, PacketType::NewUser);
    EXPECT_EQ(Said(heard[1]), "1000 users joined.");
    EXPECT_EQ(heard[2].type, PacketType::UsersOnline);
    EXPECT_NE(heard[2].text.find(" more)"), std::string::npos);
    // A newcomer of the round is told only of those who came after it, never of itself.
    const auto toFirst = others.front().Take();
    ASSERT_EQ(toFirst.size(), 3u);
    EXPECT_EQ(toFirst[0].type, PacketType::NewUser);
    EXPECT_EQ(Said(toFirst[1]), "999 users joined.");
    EXPECT_TRUE(others.back().Take().empty()) << "nobody came after the last, who has the list";
}

TEST_F(Room, FloodingIsDroppedWithOneWarningAndClosedIfItGoesOn)
{
    Connection flooder, witness;
    const auto id = Join(flooder);
    Send(Join(witness), PacketType::Nickname, "Witness");
    Send(id, PacketType::Nickname, "Fast");
    Pass(3s);
    flooder.Take();
    witness.Take();

    // A burst of ten goes through (the nickname above came before the pause), then drops.
    for (int i = 0; i < 12; ++i)
        Send(id, PacketType::ChatMessage, "[10:00:00] [Fast]: " + std::to_string(i));
    EXPECT_EQ(witness.Take().size(), 10u);
    const auto told = flooder.Take();
    ASSERT_EQ(told.size(), 11u);
    EXPECT_NE(Said(told.back()).find("sending too fast"), std::string::npos);

    // A pause long enough to fill the bucket again forgives; going on does not.
    Pass(3s);
    for (int i = 0; i < 10 + static_cast<int>(ChatRoom::FloodDropsToClose) - 1; ++i)
        Send(id, PacketType::ChatMessage, "[10:00:00] [Fast]: x");
    EXPECT_FALSE(flooder.disconnected);
    Send(id, PacketType::ChatMessage, "[10:00:00] [Fast]: x");
    EXPECT_TRUE(flooder.disconnected);
    EXPECT_FALSE(room.IsMember(id));
    EXPECT_NE(log.str().find("(Fast) disconnected: flooding"), std::string::npos) << log.str();
}

TEST_F(Room, LinesThatWaitedUnreadAreJudgedByTheSendersOwnPace)
{
    Connection steady, flooder, witness;
    const auto steadyId = Join(steady);
    const auto flooderId = Join(flooder);
    Send(Join(witness), PacketType::Nickname, "Witness");
    Send(steadyId, PacketType::Nickname, "Steady");
    Send(flooderId, PacketType::Nickname, "Fast");
    Pass(3s);
    for (Connection* c : {&steady, &flooder, &witness})
        c->Take();

    // The server read from nobody for 10 s. One member said 4 lines a second meanwhile (under
    // the rate of 5), the other 1,000 lines; each arrives in one read.
    const auto since = now;
    Pass(10s, true);
    auto lines = [](const std::string& name, int count) {
        std::string bytes;
        for (int i = 0; i < count; ++i)
            bytes += oNet::WireFrame(*ChatProtocol::MakeTextPacket(
                PacketType::ChatMessage, "[10:00:00] [" + name + "]: " + std::to_string(i)));
        return bytes;
    };
    const std::string steadyLines = lines("Steady", 40);
    room.Receive(steadyId, steadyLines.data(), steadyLines.size(), now, since);
    EXPECT_EQ(witness.Take().size(), 40u);
    EXPECT_EQ(steady.Take().size(), 40u) << "every line back, and no warning";

    // The flooder gets what the rate allows for that time and a burst, then is dropped and cut off.
    const std::string flood = lines("Fast", 1000);
    room.Receive(flooderId, flood.data(), flood.size(), now, since);
    EXPECT_EQ(witness.Take().size(), 60u);
    EXPECT_TRUE(flooder.disconnected);
    EXPECT_NE(log.str().find("(Fast) disconnected: flooding"), std::string::npos) << log.str();
    EXPECT_EQ(log.str().find("Steady is sending too fast"), std::string::npos) << log.str();
}

TEST_F(Room, ConnectionThatChoosesNoNicknameInTimeIsClosed)
{
    Connection silent, named, refused;
    const auto silentId = Join(silent);
    Send(Join(named), PacketType::Nickname, "Named");
    const auto refusedId = Join(refused);
    Send(refusedId, PacketType::Nickname, "SERVER");
    Send(refusedId, PacketType::Nickname, "");
    Pass(9900ms);
    EXPECT_FALSE(silent.disconnected);
    Pass(200ms);
    EXPECT_TRUE(silent.disconnected);
    // It is told why before it is closed.
    EXPECT_NE(Said(silent.Take().back()).find("No nickname was chosen within 10 seconds"),
              std::string::npos);
    EXPECT_FALSE(room.IsMember(silentId));
    // A refused name does not count; each refusal was answered with its reason.
    EXPECT_TRUE(refused.disconnected);
    const auto answers = refused.Take();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_NE(Said(answers[0]).find("SERVER"), std::string::npos);
    EXPECT_NE(Said(answers[1]).find("at least one character"), std::string::npos);
    EXPECT_FALSE(named.disconnected);

    // While the server reads from nobody, a newcomer's time does not run: its name may be
    // waiting unread.
    Connection late;
    const auto lateId = Join(late);
    Pass(30s, true);
    EXPECT_FALSE(late.disconnected);
    Pass(9500ms);
    EXPECT_FALSE(late.disconnected);
    Send(lateId, PacketType::Nickname, "Late");
    Pass(2s);
    EXPECT_FALSE(late.disconnected);
}

} // namespace
