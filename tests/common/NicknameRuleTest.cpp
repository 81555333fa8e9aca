#include "common/NicknameRule.h"

#include <gtest/gtest.h>

namespace
{

TEST(NicknameRule, UsableNamesAndTheReasonForEveryOther)
{
    struct Case
    {
        std::string name;
        const char* problem; // nullptr: usable
    };
    const Case cases[] = {
        {"Alice", nullptr},
        {"User#12345", nullptr},
        {std::string(32, 'x'), nullptr},
        {"with space", nullptr},
        {"caf\xE9", nullptr}, // bytes above 0x7F are the user's code page, not control bytes
        {"", "at least one character"},
        {std::string(33, 'x'), "at most 32"},
        {"a[b", "[ or ]"},
        {"a]b", "[ or ]"},
        {"tab\there", "control characters"},
        {std::string("nul\0x", 5), "control characters"},
        {"del\x7F", "control characters"},
        {"   ", "only spaces"},
        {" alice", "begin or end with a space"},
        {"alice ", "begin or end with a space"},
        {"SERVER", "SERVER"},
        {"Server", "SERVER"},
        {"sErVeR", "SERVER"},
        {"MySERVERname", "SERVER in capitals"},
        {"my SERVER", "SERVER in capitals"},
        // Only passing for the server is refused, not the word.
        {"Observer", nullptr},
        {"myserver", nullptr},
        {"my server", nullptr},
        {"Servers", nullptr},
    };
    for (const auto& c : cases)
    {
        const std::string problem = NicknameRule::Problem(c.name);
        if (!c.problem)
            EXPECT_EQ(problem, "") << c.name;
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
    }
}

TEST(NicknameRule, NamesMatchAndSortWithoutRegardToCase)
{
    EXPECT_TRUE(NicknameRule::SameName("Alice", "aLICE"));
    EXPECT_FALSE(NicknameRule::SameName("Alice", "Alice2"));
    EXPECT_FALSE(NicknameRule::SameName("Alice", "Alicf"));
    EXPECT_TRUE(NicknameRule::LessIgnoringCase("alice", "Bob"));
    EXPECT_FALSE(NicknameRule::LessIgnoringCase("ALICE", "alice"));
    EXPECT_FALSE(NicknameRule::LessIgnoringCase("alice", "ALICE"));
    // Folded alike exactly when the same name; only ASCII letters fold.
    EXPECT_EQ(NicknameRule::Folded("Alice Smith-2"), "alice smith-2");
    EXPECT_EQ(NicknameRule::Folded("\xC9mile"), NicknameRule::Folded("\xC9MILE"));
    EXPECT_NE(NicknameRule::Folded("\xC9mile"), NicknameRule::Folded("\xE9mile"));
}

} // namespace
