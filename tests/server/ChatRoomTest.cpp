// The chat room without sockets: bytes in as a connection delivers them, frames out as they wait
// for each member, and the departures the server is told to close.

#include "server/ChatRoom.h"
#include "chat/ChatProtocol.h"

#include <gtest/gtest.h>

#include <sstream>

using oNet::PacketType;

namespace
{

struct Message
{
    PacketType type;
    std::string text; // empty for NewUser
};

// Reads every frame waiting for a member, marks it as sent, and returns the messages.
std::vector<Message> TakeOutput(ChatRoom& room, ChatRoom::MemberId id)
{
    const std::string bytes(room.Pending(id));
    room.Sent(id, bytes.size());
    std::vector<Message> messages;
    for (std::size_t at = 0; at < bytes.size();)
    {
        EXPECT_GE(bytes.size() - at, 4u);
        const std::size_t length = (static_cast<unsigned char>(bytes[at]) << 8) |
                                   static_cast<unsigned char>(bytes[at + 1]);
        oNet::Packet packet;
        packet.buffer.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at + 2),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
        Message message{packet.Type(), ""};
        if (message.type != PacketType::NewUser)
            packet >> message.text;
        messages.push_back(message);
        at += 2 + length;
    }
    return messages;
}

std::string Frame(PacketType type, const std::string& text)
{
    return ChatProtocol::WireFrame(*ChatProtocol::MakeTextPacket(type, text));
}

void Feed(ChatRoom& room, ChatRoom::MemberId id, const std::string& bytes)
{
    room.Receive(id, bytes.data(), bytes.size());
}

// Server lines carry the time they were made; what follows it is what they say.
std::string Said(const Message& message)
{
    const std::size_t colon = message.text.find("]: ");
    return colon == std::string::npos ? message.text : message.text.substr(colon + 3);
}

TEST(ChatRoom, InputSplitAtEveryByteIsHandledAsWholeFrames)
{
    const std::string input = Frame(PacketType::Nickname, "Alice") +
                              Frame(PacketType::ChatMessage, "[10:00:00] [Alice]: one") +
                              Frame(PacketType::ChatMessage, "[10:00:01] [Alice]: two");
    std::ostringstream log;
    ChatRoom room(log);
    const auto listener = room.Join("127.0.0.1:1000");
    const auto alice = room.Join("127.0.0.1:1001");
    for (char byte : input)
        Feed(room, alice, std::string(1, byte));

    const auto heard = TakeOutput(room, listener);
    ASSERT_EQ(heard.size(), 5u);
    EXPECT_EQ(heard[0].type, PacketType::NewUser);
    EXPECT_EQ(Said(heard[1]), "Alice joined.");
    EXPECT_EQ(heard[2].type, PacketType::UsersOnline);
    EXPECT_EQ(heard[2].text, "Alice");
    EXPECT_EQ(heard[3].text, "[10:00:00] [Alice]: one");
    EXPECT_EQ(heard[4].text, "[10:00:01] [Alice]: two");
    EXPECT_FALSE(room.IsClosed(alice));
    EXPECT_EQ(room.MemberCount(), 2u);
}

TEST(ChatRoom, MemberThatNeverTakesItsOutputIsResetAloneAtTheLimit)
{
    std::ostringstream log;
    ChatRoom room(log);
    const auto reader = room.Join("r");
    const auto stuck = room.Join("s");
    Feed(room, reader, Frame(PacketType::Nickname, "Reader"));
    const std::string line = "[10:00:00] [Reader]: " + std::string(1000, 'x');
    const std::string frame = Frame(PacketType::ChatMessage, line);

    std::size_t sentLines = 0;
    while (!room.IsClosed(stuck) && sentLines < 2000)
    {
        Feed(room, reader, frame);
        ++sentLines;
        EXPECT_EQ(TakeOutput(room, reader).back().text, line);
    }
    ASSERT_TRUE(room.IsClosed(stuck));
    EXPECT_GT(sentLines * frame.size(), ChatRoom::OutputLimit - 2 * frame.size());
    EXPECT_LE(sentLines * frame.size(), ChatRoom::OutputLimit + 2 * frame.size());

    const auto departures = room.Sweep();
    ASSERT_EQ(departures.size(), 1u);
    EXPECT_EQ(departures[0].id, stuck);
    EXPECT_TRUE(departures[0].abort) << "what waits for it will never be read";
    EXPECT_TRUE(room.Pending(stuck).empty());
    EXPECT_FALSE(room.IsClosed(reader));
    EXPECT_NE(log.str().find("too slow"), std::string::npos);
}

TEST(ChatRoom, DepartureThatPushesAnotherOverTheLimitTakesItInTheSameSweep)
{
    std::ostringstream log;
    ChatRoom room(log);
    const auto alice = room.Join("a");
    const auto bob = room.Join("b");
    const auto slow = room.Join("c");
    Feed(room, alice, Frame(PacketType::Nickname, "Alice"));
    Feed(room, bob, Frame(PacketType::Nickname, "Bob"));
    Feed(room, slow, Frame(PacketType::Nickname, "Slow"));
    TakeOutput(room, alice);

    // Fill what waits for Slow to just under the limit with Alice's lines.
    const std::string frame =
        Frame(PacketType::ChatMessage, "[10:00:00] [Alice]: " + std::string(4000, 'y'));
    while (room.Pending(slow).size() + frame.size() <= ChatRoom::OutputLimit)
    {
        Feed(room, alice, frame);
        TakeOutput(room, alice);
        room.Sent(bob, room.Pending(bob).size());
    }
    // Then to 5 bytes under it: a chat line's frame is 28 bytes besides its message.
    const std::size_t roomLeft = ChatRoom::OutputLimit - room.Pending(slow).size();
    if (roomLeft > 33)
    {
        Feed(room, alice,
             Frame(PacketType::ChatMessage,
                   "[10:00:00] [Alice]: " + std::string(roomLeft - 33, 'z')));
        TakeOutput(room, alice);
        room.Sent(bob, room.Pending(bob).size());
    }
    ASSERT_LT(ChatRoom::OutputLimit - room.Pending(slow).size(), 40u);
    ASSERT_FALSE(room.IsClosed(slow));

    room.Close(bob, "closed by the client");
    const auto departures = room.Sweep();
    ASSERT_EQ(departures.size(), 2u);
    EXPECT_EQ(departures[0].id, bob);
    EXPECT_FALSE(departures[0].abort);
    EXPECT_EQ(departures[1].id, slow);
    EXPECT_TRUE(departures[1].abort);

    const auto heard = TakeOutput(room, alice);
    ASSERT_EQ(heard.size(), 4u);
    EXPECT_EQ(Said(heard[0]), "Bob left.");
    EXPECT_EQ(heard[1].text, "Alice") << "Slow was cut off before the list went out";
    EXPECT_EQ(Said(heard[2]), "Slow left.");
    EXPECT_EQ(heard[3].text, "Alice");
    EXPECT_EQ(room.MemberCount(), 1u);
}

} // namespace
