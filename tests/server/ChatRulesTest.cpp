#include "server/ChatRules.h"

#include <gtest/gtest.h>

using namespace ChatRules;

namespace
{

TEST(ChatRules, NicknamesFollowTheServersRules)
{
    struct Case
    {
        std::string name;
        bool valid;
    };
    const Case cases[] = {
        {"Alice", true},
        {"User#12345", true},
        {std::string(32, 'x'), true},
        {"with space", true},
        {"Server", true}, // only the capitals are reserved
        {"", false},
        {std::string(33, 'x'), false},
        {"a[b", false},
        {"a]b", false},
        {"tab\there", false},
        {"bell\x07", false},
        {std::string("nul\0x", 5), false},
        {"del\x7F", false},
        {"SERVER", false},
        {"MySERVERname", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NicknameProblem(c.name).empty(), c.valid) << c.name;
}

TEST(ChatRules, NamesMatchWithoutRegardToCase)
{
    EXPECT_TRUE(SameName("Alice", "aLICE"));
    EXPECT_TRUE(SameName("", ""));
    EXPECT_FALSE(SameName("Alice", "Alice2"));
    EXPECT_FALSE(SameName("Alice", "Alicf"));
}

TEST(ChatRules, OnlyLinesInTheSendersOwnNameAreChatLines)
{
    struct Case
    {
        const char* line;
        const char* nickname;
        bool accepted;
    };
    const Case cases[] = {
        {"[12:00:00] [Alice]: hi", "Alice", true},
        {"[12:00:00] [Alice]: ", "Alice", true},
        {"[23:59:59] [Alice]: [x] ]: y", "Alice", true},
        {"[12:00:00] [Bob]: hi", "Alice", false},
        {"[12:00:00] [alice]: hi", "Alice", false},
        {"[12:00:00] [Alice2]: hi", "Alice", false},
        {"[12:00:00] [Alice]:hi", "Alice", false},
        {"[12:00:00] [Alice] hi", "Alice", false},
        {"[12:00:00] [Alice]", "Alice", false},
        {"[1:00:00] [Alice]: hi", "Alice", false},
        {"[ab:cd:ef] [Alice]: hi", "Alice", false},
        {"[12:00:00][Alice]: hi", "Alice", false},
        {"12:00:00 [Alice]: hi", "Alice", false},
        {"", "Alice", false},
        {"[12:00:00] [SERVER]: Alice joined.", "Alice", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsChatLineFrom(c.line, c.nickname), c.accepted) << c.line;
}

TEST(ChatRules, UsersOnlineTextIsSortedWithoutRegardToCase)
{
    EXPECT_EQ(UsersOnlineText({"carol", "Bob", "alice", "Dave"}, 8186),
              "alice\r\nBob\r\ncarol\r\nDave");
    EXPECT_EQ(UsersOnlineText({"solo"}, 8186), "solo");
    EXPECT_EQ(UsersOnlineText({}, 8186), "");
}

TEST(ChatRules, UsersOnlineTextTooLongForAPacketSaysHowManyMore)
{
    std::vector<std::string> names;
    for (int i = 0; i < 1024; ++i)
        names.push_back("user-with-a-long-name-" + std::to_string(1000 + i));
    const std::string text = UsersOnlineText(names, 8186);
    EXPECT_LE(text.size(), 8186u);
    const std::size_t last = text.rfind("\r\n");
    const std::string tail = text.substr(last + 2);
    ASSERT_EQ(tail.front(), '(');
    const int more = std::stoi(tail.substr(1));
    // Every name is either listed or counted.
    int listed = 0;
    for (std::size_t at = text.find("user-with"); at != std::string::npos;
         at = text.find("user-with", at + 1))
        ++listed;
    EXPECT_EQ(listed + more, 1024);
    EXPECT_EQ(tail, "(" + std::to_string(more) + " more)");
}

} // namespace
