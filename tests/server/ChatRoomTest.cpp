// The chat room without sockets: packets in as a connection hands them over, frames out as the
// room hands them to each member, with the clock in the test's hands; and the room with a link
// that carries its events as a room across servers does.

#include "server/room/ChatRoom.h"
#include "common/ChatProtocol.h"
#include "server/connection/FrameSplitter.h"

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
    void ContinueInput() override { ++continued; }

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
    int continued = 0;
};

// Hands the room every whole packet among the bytes, as a connection does.
void Feed(ChatRoom& room, FrameSplitter& splitter, ChatRoom::MemberId id, const std::string& bytes,
          ChatRoom::Clock::time_point now, ChatRoom::Clock::time_point unreadSince)
{
    splitter.Append(bytes.data(), bytes.size());
    oNet::Packet packet;
    std::size_t badLength = 0;
    while (splitter.Next(packet, badLength) == FrameSplitter::Result::Packet)
        if (room.Handle(id, packet, now, unreadSince) == ChatRoom::Input::Closed)
            return;
}

class Room : public ::testing::Test
{
protected:
    Room() : room(Options(), log) {}

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
        oNet::Packet packet(type);
        packet << text;
        room.Handle(id, packet, now);
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
    FrameSplitter splitter;
    for (char byte : input)
        Feed(room, splitter, aliceId, std::string(1, byte), now, now);

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
    room.Leave(cId, {LeaveReason::Left});
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
    FrameSplitter steadyInput, flooderInput;
    Feed(room, steadyInput, steadyId, lines("Steady", 40), now, since);
    EXPECT_EQ(witness.Take().size(), 40u);
    EXPECT_EQ(steady.Take().size(), 40u) << "every line back, and no warning";

    // The flooder gets what the rate allows for that time and a burst, then is dropped and cut off.
    Feed(room, flooderInput, flooderId, lines("Fast", 1000), now, since);
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

    // A newcomer that waited 8 s for its first byte and handshake before joining has 2 s left,
    // and is closed before one that joined earlier with its whole time.
    Connection early, waited;
    room.Join(early, "127.0.0.1:2000", now);
    Pass(1s);
    room.Join(waited, "127.0.0.1:2001", now, {}, now - 8s);
    Pass(1900ms);
    EXPECT_FALSE(waited.disconnected);
    Pass(200ms);
    EXPECT_TRUE(waited.disconnected) << "its time counts from its accept";
    EXPECT_FALSE(early.disconnected);
    Pass(7s);
    EXPECT_TRUE(early.disconnected);
}

// A link that holds what the room publishes and answers claims when the test says, as a room
// across servers does: the events come back later, among those of other servers.
class HeldLink : public RoomLink
{
public:
    void Attach(Listener& listener) override { this->listener = &listener; }
    const std::string& Node() const override { return node; }
    MemberId FirstMemberId() const override { return 5000; }
    void Publish(RoomEvent event) override { published.push_back(std::move(event)); }
    void Claim(MemberId id, const std::string& name) override { claims.emplace_back(id, name); }
    void Release(MemberId id, const std::string& name) override { released.emplace_back(id, name); }
    const std::deque<Frame>& History() const override { return history; }

    // Hands back everything published so far, in order.
    void ComeBack()
    {
        std::vector<RoomEvent> events;
        events.swap(published);
        for (RoomEvent& event : events)
            listener->Apply(event);
    }

    const std::string node = "here";
    Listener* listener = nullptr;
    std::vector<RoomEvent> published;
    std::vector<std::pair<MemberId, std::string>> claims, released;
    std::deque<Frame> history;
};

class LinkedRoom : public Room
{
protected:
    LinkedRoom() : linked(Options(), log, link) {}

    ChatRoom::Input Send(ChatRoom::MemberId id, PacketType type, const std::string& text)
    {
        oNet::Packet packet(type);
        packet << text;
        return linked.Handle(id, packet, now);
    }

    void Pass(std::chrono::milliseconds time)
    {
        for (const auto end = now + time; now < end;)
        {
            now += 100ms;
            linked.Tick(now);
        }
    }

    RoomEvent FromElsewhere(RoomEvent::Kind kind, const std::string& name)
    {
        RoomEvent event;
        event.kind = kind;
        event.origin = "there";
        event.member = {"there", 7};
        event.name = name;
        return event;
    }

    HeldLink link;
    ChatRoom linked;
};

TEST_F(LinkedRoom, NamesWaitForTheirClaimAndOwnLinesComeOnlyBackThroughTheLink)
{
    Connection alice, second, early;
    const auto aliceId = linked.Join(alice, "10.0.0.1:1", now);
    EXPECT_EQ(aliceId, 5000u) << "numbers start where the link says";
    EXPECT_EQ(Send(aliceId, PacketType::Nickname, "Alice"), ChatRoom::Input::Wait);
    ASSERT_EQ(link.claims.size(), 1u);
    EXPECT_EQ(link.claims[0].second, "Alice");
    EXPECT_TRUE(link.published.empty());

    link.listener->Claimed(aliceId, "Alice", true);
    EXPECT_EQ(alice.continued, 1) << "its next packet may come";
    ASSERT_EQ(link.published.size(), 1u);
    EXPECT_EQ(link.published[0].kind, RoomEvent::Kind::Joined);
    EXPECT_EQ(link.published[0].member, (MemberRef{"here", aliceId}));
    EXPECT_EQ(link.published[0].address, "10.0.0.1:1");
    // Named now, so its line goes out; but nothing reaches it before its join comes back.
    EXPECT_EQ(Send(aliceId, PacketType::ChatMessage, "[10:00:00] [Alice]: hi"),
              ChatRoom::Input::Next);
    EXPECT_TRUE(alice.Take().empty());
    link.ComeBack();
    auto heard = alice.Take();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(Said(heard[0]), "Alice joined.");
    EXPECT_EQ(heard[1].text, "Alice");
    EXPECT_EQ(heard[2].text, "[10:00:00] [Alice]: hi");

    // A member of another server joins: announced with the list of the whole room.
    RoomEvent bob = FromElsewhere(RoomEvent::Kind::Joined, "Bob");
    bob.address = "10.0.0.9:9";
    bob.ip = asio::ip::make_address("10.0.0.9");
    link.listener->Apply(bob);
    Pass(300ms);
    heard = alice.Take();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].type, PacketType::NewUser);
    EXPECT_EQ(Said(heard[1]), "Bob joined.");
    EXPECT_EQ(heard[2].text, "Alice\r\nBob");
    const auto who = linked.Who(now);
    ASSERT_EQ(who.size(), 2u);
    EXPECT_EQ(who[1].nickname, "Bob");
    EXPECT_EQ(who[1].node, "there");
    EXPECT_EQ(linked.AddressOf("bob"), asio::ip::make_address("10.0.0.9"));

    // Here a name is only asked for: the whole room answers.
    const auto secondId = linked.Join(second, "10.0.0.2:2", now);
    EXPECT_EQ(Send(secondId, PacketType::Nickname, "BOB"), ChatRoom::Input::Wait);
    link.listener->Claimed(secondId, "BOB", false);
    EXPECT_EQ(Said(second.Take().at(0)), "The nickname BOB is taken. Choose another one.");
    EXPECT_EQ(second.continued, 1);
    EXPECT_TRUE(link.published.empty());

    // The operator here kicks a member of another server: that server removes it, and its
    // leaving comes back from there.
    EXPECT_EQ(linked.Remove("bob", "You were removed from the room.", "removed",
                            Departure{LeaveReason::Kicked, ""}),
              std::vector<std::string>{"Bob"});
    ASSERT_EQ(link.published.size(), 1u);
    EXPECT_EQ(link.published[0].kind, RoomEvent::Kind::Kicked);
    EXPECT_EQ(link.published[0].member, (MemberRef{"there", 7}));
    link.ComeBack();
    EXPECT_FALSE(alice.disconnected);
    RoomEvent gone = FromElsewhere(RoomEvent::Kind::Left, "Bob");
    gone.note = "removed";
    link.listener->Apply(gone);
    Pass(300ms);
    heard = alice.Take();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(Said(heard[0]), "Bob left (removed).");
    EXPECT_EQ(heard[1].text, "Alice");

    // One that leaves while its claim is open gives the name back when it is granted.
    const auto earlyId = linked.Join(early, "10.0.0.3:3", now);
    Send(earlyId, PacketType::Nickname, "Early");
    linked.Leave(earlyId, {LeaveReason::Left});
    link.listener->Claimed(earlyId, "Early", true);
    ASSERT_EQ(link.released.size(), 1u);
    EXPECT_EQ(link.released[0].second, "Early");
    EXPECT_TRUE(link.published.empty()) << "it never joined, so it does not leave";
}

} // namespace
