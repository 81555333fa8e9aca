// The operator's commands against a room without sockets: names with spaces, bans of a network,
// and what the answers and the log say.

#include "server/operator/OperatorCommands.h"
#include "common/ChatProtocol.h"

#include <gtest/gtest.h>

#include <sstream>

using oNet::PacketType;

namespace
{

class Connection : public ChatParticipant
{
public:
    void Deliver(const Frame& frame) override { frames.push_back(frame); }
    void Disconnect() override { disconnected = true; }
    void ContinueInput() override {}
    std::vector<Frame> frames;
    bool disconnected = false;
};

class Operator : public ::testing::Test
{
protected:
    Operator() : room(RoomOptions(), log), commands(room, bans, "", 512, log) {}

    ChatRoom::MemberId Join(Connection& connection, const char* ip, const std::string& name)
    {
        const auto id =
            room.Join(connection, std::string(ip) + ":1000", now, asio::ip::make_address(ip));
        if (!name.empty())
        {
            oNet::Packet packet(PacketType::Nickname);
            packet << name;
            room.Handle(id, packet, now);
        }
        return id;
    }

    OperatorCommands::Answer Run(const std::string& line)
    {
        return commands.Run(line, "console", now, 1'800'000'000);
    }

    std::ostringstream log;
    ChatRoom room;
    BanList bans;
    OperatorCommands commands;
    ChatRoom::Clock::time_point now = ChatRoom::Clock::now();
};

TEST_F(Operator, NamesWithSpacesAreMatchedWholeAndQuotesMayBeUsed)
{
    Connection bob, builder, carol;
    Join(bob, "192.0.2.1", "Bob");
    Join(builder, "192.0.2.2", "Bob the Builder");
    Join(carol, "192.0.2.3", "Carol Ann");

    EXPECT_EQ(Run("kick BOB THE BUILDER too loud").text, "kicked Bob the Builder (too loud)\n");
    EXPECT_TRUE(builder.disconnected);
    EXPECT_FALSE(bob.disconnected);
    EXPECT_EQ(Run("kick \"carol ann\"").text, "kicked Carol Ann\n");
    EXPECT_TRUE(carol.disconnected);
    const auto nobody = Run("kick Carol Ann");
    EXPECT_FALSE(nobody.ok);
    EXPECT_EQ(nobody.text, "nobody in the room is called Carol Ann\n");
    EXPECT_NE(log.str().find("console: kick Carol Ann -> refused: nobody in the room"),
              std::string::npos)
        << log.str();
}

TEST_F(Operator, BanOfANetworkRemovesEveryoneInItNamedOrNot)
{
    Connection a, b, unnamed, outside;
    Join(a, "192.0.2.1", "A");
    Join(b, "192.0.2.200", "B");
    Join(unnamed, "192.0.2.9", "");
    Join(outside, "198.51.100.1", "Outside");

    const auto banned = Run("ban 192.0.2.0/24 12h raid");
    ASSERT_TRUE(banned.ok) << banned.text;
    EXPECT_EQ(banned.text.substr(0, banned.text.find('\n')),
              "banned 192.0.2.0/24 for 12h, until 2027-01-15T20:00:00Z (raid); removed A, B, "
              "192.0.2.9:1000 (unnamed)");
    EXPECT_NE(banned.text.find("kept in memory only"), std::string::npos) << "no ban file";
    EXPECT_TRUE(a.disconnected && b.disconnected && unnamed.disconnected);
    EXPECT_FALSE(outside.disconnected);
    ASSERT_NE(bans.Find(asio::ip::make_address("192.0.2.77"), 1'800'000'000), nullptr);

    // Who is left, and bad lines that change nothing.
    const std::string who = Run("who").text;
    EXPECT_EQ(who.substr(0, who.find('\n')), "1 connection");
    EXPECT_NE(who.find("Outside  198.51.100.1:1000  connected "), std::string::npos) << who;
    for (const char* bad : {"ban", "ban 192.0.2.0/33", "ban Nobody 1h", "ban 10.0.0.1 90x", "unban",
                            "unban 10.0.0.1", "say \x01", "who me", "bogus"})
    {
        const auto answer = Run(bad);
        EXPECT_FALSE(answer.ok) << bad;
        EXPECT_EQ(std::count(answer.text.begin(), answer.text.end(), '\n'), 1) << answer.text;
    }
    EXPECT_EQ(bans.Size(), 1u);
    EXPECT_FALSE(outside.disconnected);
}

} // namespace
