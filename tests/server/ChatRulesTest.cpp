#include "server/room/ChatRules.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace
{

TEST(ChatRules, OnlyWellFormedLinesInTheSendersOwnNameAreRelayed)
{
    struct Case
    {
        std::string line;
        const char* problem; // nullptr: relayed
    };
    const std::string own = "must start with the time and your own nickname";
    const Case cases[] = {
        {"[12:00:00] [Alice]: hi", nullptr},
        {"[12:00:00] [Alice]: ", nullptr},
        {"[23:59:59] [Alice]: [x] ]: y \xE9", nullptr},
        {"[00:00:00] [Alice]: " + std::string(492, 'x'), nullptr}, // 512 bytes in all
        {"[00:00:00] [Alice]: " + std::string(493, 'x'), "longer than 512 bytes"},
        {"[12:00:00] [Bob]: hi", own.c_str()},
        {"[12:00:00] [alice]: hi", own.c_str()},
        {"[12:00:00] [Alice2]: hi", own.c_str()},
        {"[12:00:00] [Alice]:hi", own.c_str()},
        {"[12:00:00] [Alice]", own.c_str()},
        {"[1:00:00] [Alice]: hi", own.c_str()},
        {"[ab:cd:ef] [Alice]: hi", own.c_str()},
        {"[12:00:00][Alice]: hi", own.c_str()},
        {"", own.c_str()},
        {"[12:00:00] [SERVER]: Alice joined.", own.c_str()},
        {"[24:00:00] [Alice]: hi", "not a real time"},
        {"[99:99:99] [Alice]: hi", "not a real time"},
        {"[12:60:00] [Alice]: hi", "not a real time"},
        {"[12:00:60] [Alice]: hi", "not a real time"},
        {"[12:00:00] [Alice]: hi\r\n[12:00:00] [SERVER]: forged", "control characters"},
        {std::string("[12:00:00] [Alice]: a\0b", 23), "control characters"},
        {"[12:00:00] [Alice]: bell\x07", "control characters"},
        {"[12:00:00] [Alice]: del\x7F", "control characters"},
    };
    for (const auto& c : cases)
    {
        const std::string problem = ChatRules::ChatLineProblem(c.line, "Alice", 512);
        if (!c.problem)
            EXPECT_EQ(problem, "") << c.line;
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.line << ": " << problem;
    }
}

TEST(ChatRules, UsersOnlineTextListsNamesInOrderAndCountsWhatDoesNotFit)
{
    EXPECT_EQ(ChatRules::UsersOnlineText(std::vector<std::string>{"alice", "Bob"}, 2, 8186),
              "alice\r\nBob");
    EXPECT_EQ(ChatRules::UsersOnlineText(std::vector<std::string>{}, 0, 8186), "");

    std::set<std::string> names;
    for (int i = 0; i < 1024; ++i)
        names.insert("user-with-a-long-name-" + std::to_string(1000 + i));
    const std::string text = ChatRules::UsersOnlineText(names, names.size(), 8186);
    EXPECT_LE(text.size(), 8186u);
    const std::string tail = text.substr(text.rfind("\r\n") + 2);
    ASSERT_EQ(tail.front(), '(');
    const int more = std::stoi(tail.substr(1));
    EXPECT_EQ(tail, "(" + std::to_string(more) + " more)");
    // Every name is either listed or counted.
    int listed = 0;
    for (std::size_t at = text.find("user-with"); at != std::string::npos;
         at = text.find("user-with", at + 1))
        ++listed;
    EXPECT_EQ(listed + more, 1024);
}

} // namespace
