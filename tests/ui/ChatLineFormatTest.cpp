#include "ui/ChatLineFormat.h"

#include <gtest/gtest.h>

namespace
{

using Kind = ChatLineFormat::Sender;

struct Case
{
    const char* line;
    const char* nickname;
    bool time;
    int timeBegin, timeEnd;
    bool sender;
    int senderBegin, senderEnd;
    Kind kind;
};

TEST(ChatLineFormat, FindsTheTwoBracketGroupsAndTheSendersColour)
{
    const Case cases[] = {
        // A line from someone else, from oneself, and lines naming the server.
        {"[12:00:01] [Alice]: hi", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        {"[12:00:01] [Bob]: hi", "Bob", true, 0, 10, true, 11, 16, Kind::Own},
        // Only the sender group can make a line the server's: the message text cannot.
        {"[12:00:01] [Alice]: the SERVER restarts", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        {"[12:00:01] [SERVER]: Alice joined.", "Bob", true, 0, 10, true, 11, 19, Kind::Server},
        {"[12:00:01] [MySERVERx]: hi", "Bob", true, 0, 10, true, 11, 22, Kind::Server},
        {"SERVER says [12:00:01]", "Bob", true, 12, 22, false, 0, 0, Kind::Other},
        {"[12:00:01] [Bob]: ask the SERVER", "Bob", true, 0, 10, true, 11, 16, Kind::Own},
        // The comparison is exact and case-sensitive; "server" is not "SERVER".
        {"[12:00:01] [Bob]: hi", "bob", true, 0, 10, true, 11, 16, Kind::Other},
        {"[12:00:01] [Bobby]: hi", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        {"[12:00:01] [Alice]: server", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        // Brackets in the message text do not move the groups.
        {"[01:02:03] [Al]: [x] ]: [y]", "Al", true, 0, 10, true, 11, 15, Kind::Own},
        // An empty name is the own one while the nickname is empty.
        {"[01:02:03] []: hi", "", true, 0, 10, true, 11, 13, Kind::Own},
    };
    for (const auto& c : cases)
    {
        const ChatLineFormat format = FormatOfChatLine(c.line, c.nickname);
        EXPECT_EQ(format.time.present, c.time) << c.line;
        EXPECT_EQ(format.time.begin, c.timeBegin) << c.line;
        EXPECT_EQ(format.time.end, c.timeEnd) << c.line;
        EXPECT_EQ(format.sender.present, c.sender) << c.line;
        EXPECT_EQ(format.sender.begin, c.senderBegin) << c.line;
        EXPECT_EQ(format.sender.end, c.senderEnd) << c.line;
        EXPECT_EQ(format.senderKind, c.kind) << c.line;
    }
}

TEST(ChatLineFormat, MissingGroupsAreLeftUnformatted)
{
    struct Partial
    {
        const char* line;
        bool time;
        bool sender;
    };
    const Partial cases[] = {
        {"", false, false},
        {"plain text", false, false},
        {"[12:00:01] no sender here", true, false},
        {"[12:00:01] [unclosed: hi", true, false},
        {"[unclosed", false, false},
        {"closed] [Bob]: hi", false, true}, // "]" before "[": no time group
        {"] [", false, false},
        {"\n", false, false},
    };
    for (const auto& c : cases)
    {
        const ChatLineFormat format = FormatOfChatLine(c.line, "Bob");
        EXPECT_EQ(format.time.present, c.time) << c.line;
        EXPECT_EQ(format.sender.present, c.sender) << c.line;
        if (format.time.present)
        {
            EXPECT_LT(format.time.begin, format.time.end) << c.line;
        }
    }
    EXPECT_EQ(FormatOfChatLine("closed] [Bob]: hi", "Bob").senderKind, Kind::Own);
}

} // namespace
