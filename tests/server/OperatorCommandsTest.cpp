// The operator's commands against a room without sockets: names with spaces, bans of a network,
// and what the answers and the log say.

#include "server/operator/OperatorCommands.h"
#include "common/ChatProtocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
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
    explicit Operator(std::size_t maxLineBytes = 512)
        : room(Options(maxLineBytes), log), commands(room, bans, "", maxLineBytes, log)
    {
    }

    static RoomOptions Options(std::size_t maxLineBytes)
    {
        RoomOptions options;
        options.maxLineBytes = maxLineBytes;
        return options;
    }

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

TEST_F(Operator, TheCommandTableDrivesTheDispatchAndTheHelp)
{
    const std::string help = OperatorCommands::Help();
    EXPECT_EQ(Run("help").text, help);
    std::size_t rows = 0;
    for (const auto& command : OperatorCommands::Table())
    {
        const std::string name = command.name;
        // Each command has its row in the help: its name and arguments, then what it does.
        const std::string usage = name + (*command.arguments ? " " : "") + command.arguments;
        const std::string what =
            std::string(command.help).substr(0, std::string(command.help).find('\n'));
        const std::size_t row = ("\n" + help).find("\n" + usage + "  ");
        ASSERT_NE(row, std::string::npos) << usage;
        EXPECT_EQ(help.substr(row, help.find('\n', row) - row).substr(32), what) << usage;
        ++rows;
        // Each is dispatched to its own handler; one that takes nothing refuses more.
        const auto answer = Run(name + " x");
        EXPECT_EQ(answer.text.find("unknown command"), std::string::npos) << name;
        if (!*command.arguments)
        {
            EXPECT_FALSE(answer.ok);
            EXPECT_EQ(answer.text, name + " takes nothing after it\n");
        }
    }
    EXPECT_EQ(rows, 8u);
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; ++at, ++lines)
    {
    }
    EXPECT_GT(lines, rows) << "a long help text goes on under its own column";
    const auto unknown = Run("status");
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(unknown.text, "unknown command status: help lists them\n");
    // stats answers what the server gives it, when it gives anything.
    EXPECT_EQ(Run("stats").text, "stats: this server keeps no figures\n");
    commands.ReportStatsWith([] { return std::string("members 3\n"); });
    EXPECT_EQ(Run("stats").text, "members 3\n");
}

TEST_F(Operator, ControlCharactersAreRefusedInEveryCommandWithTheSameLine)
{
    Connection bob;
    Join(bob, "192.0.2.1", "Bob");
    bob.frames.clear();
    std::vector<std::string> refusals;
    for (const std::string command : {"say", "kick", "ban"})
    {
        const std::string line = command + (command == "say" ? "" : " Bob") + " bye\x1b[2K\b\b";
        const auto answer = Run(line);
        EXPECT_FALSE(answer.ok) << line;
        refusals.push_back(answer.text.substr(command.size()));
        EXPECT_EQ(answer.text, command +
                                   ": the command holds a control character (byte 0x1B), which "
                                   "members' screens would act on; nothing was done\n");
    }
    EXPECT_EQ(refusals[0], refusals[1]);
    EXPECT_EQ(refusals[1], refusals[2]);
    EXPECT_TRUE(bob.frames.empty()) << "nothing reached the member";
    EXPECT_FALSE(bob.disconnected);
    EXPECT_EQ(bans.Size(), 0u);
    // The log shows what was sent without passing the control characters on.
    EXPECT_NE(log.str().find("console: kick Bob bye\\x1B[2K\\x08\\x08 -> refused: kick: the "
                             "command holds a control character"),
              std::string::npos)
        << log.str();
}

TEST_F(Operator, BanLongerThanTenYearsLastsUntilLifted)
{
    const auto longer = Run("ban 203.0.113.11 500000w far too long");
    ASSERT_TRUE(longer.ok) << longer.text;
    EXPECT_EQ(longer.text.substr(0, longer.text.find('\n')),
              "banned 203.0.113.11 until lifted (3500000d is longer than the longest timed ban, "
              "3650d) (far too long)");
    EXPECT_FALSE(bans.Find(asio::ip::make_address("203.0.113.11"), 1'800'000'000)->until);
    ASSERT_TRUE(Run("ban 203.0.113.12 3650d").ok);
    EXPECT_EQ(*bans.Find(asio::ip::make_address("203.0.113.12"), 1'800'000'000)->until,
              1'800'000'000 + MaxBanDuration);
}

TEST_F(Operator, LongBanListIsAnsweredInPiecesThatGoOnWhereTheyStopped)
{
    const auto bansOf = [](int from, int to) {
        std::vector<std::string> targets;
        for (int i = from; i < to; ++i)
            targets.push_back("10." + std::to_string(i / 256) + "." + std::to_string(i % 256) +
                              ".0/24");
        return targets;
    };
    for (const auto& target : bansOf(0, 2500))
        ASSERT_TRUE(Run("ban " + target + " 1d raid").ok);
    auto answer = Run("bans");
    ASSERT_TRUE(answer.ok);
    ASSERT_TRUE(answer.more);
    std::string all = answer.text;
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1000);
    // Between pieces, bans change: one already listed goes, one before the place is added (not
    // listed), one after it is added (listed).
    ASSERT_TRUE(Run("unban 10.0.0.0/24").ok);
    ASSERT_TRUE(Run("ban 9.0.0.0/8").ok);
    ASSERT_TRUE(Run("ban 11.0.0.0/8").ok);
    for (std::string piece; !(piece = answer.more()).empty();)
        all += piece;
    std::string expected;
    for (const auto& target : bansOf(0, 2500))
        expected += target + "  until 2027-01-16T08:00:00Z  raid\n";
    expected += "11.0.0.0/8  until lifted\n";
    EXPECT_EQ(all, expected);
    EXPECT_EQ(answer.more(), "") << "over";
    EXPECT_NE(log.str().find("console: bans -> listed"), std::string::npos);
}

TEST_F(Operator, LongWhoIsAnsweredInPiecesAndEveryoneIsListedOnce)
{
    // More members than two pieces hold, named and not; those named come first, by name.
    std::vector<std::unique_ptr<Connection>> connections;
    for (int i = 0; i < 2300; ++i)
    {
        connections.push_back(std::make_unique<Connection>());
        const std::string ip = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        char name[16];
        std::snprintf(name, sizeof name, "M%04d", i);
        Join(*connections.back(), ip.c_str(), i < 2200 ? name : "");
    }
    auto answer = Run("who");
    ASSERT_TRUE(answer.ok);
    ASSERT_TRUE(answer.more) << "in pieces";
    EXPECT_EQ(answer.text.substr(0, answer.text.find('\n')), "2300 connections");
    EXPECT_EQ(std::count(answer.text.begin(), answer.text.end(), '\n'),
              1 + static_cast<long>(OperatorCommands::MembersPerPiece));
    std::string all = answer.text;
    int pieces = 1;
    for (std::string piece; !(piece = answer.more()).empty(); ++pieces)
        all += piece;
    EXPECT_EQ(pieces, 3);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1 + 2300);
    EXPECT_NE(all.find("\nM0000  10.1.0.0:1000  connected "), std::string::npos);
    EXPECT_LT(all.find("\nM2199  "), all.find("\n(unnamed)  10.1.8.200:1000"))
        << all.substr(0, 200);
    EXPECT_EQ(all.find("M2200"), std::string::npos);
    EXPECT_EQ(answer.more(), "") << "over";
}

class OperatorWithLongestLines : public Operator
{
protected:
    OperatorWithLongestLines() : Operator(ChatProtocol::MaxTextBytes) {}
};

TEST_F(OperatorWithLongestLines, TextsTooLongForAServerLineAreRefusedNotThrown)
{
    Connection bob;
    Join(bob, "192.0.2.1", "Bob");
    // At --max-line-bytes 8186, a text of that length would not fit in a server line with the
    // words around it.
    const std::string longest(MaxReasonBytes, 'x');
    for (const std::string command : {"say ", "kick Bob ", "ban 192.0.2.9 1h "})
    {
        const auto answer = Run(command + longest + "x");
        EXPECT_FALSE(answer.ok) << command;
        EXPECT_NE(answer.text.find("is longer than " + std::to_string(MaxReasonBytes) + " bytes"),
                  std::string::npos)
            << answer.text;
    }
    EXPECT_FALSE(bob.disconnected);
    EXPECT_TRUE(Run("say " + longest).ok);
    EXPECT_TRUE(Run("kick Bob " + longest).ok);
    EXPECT_TRUE(bob.disconnected);
}

} // namespace
