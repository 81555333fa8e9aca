// Entries of the room's stream taken once each, by their run and number, in bounded memory.

#include "server/link/SeenEntries.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(SeenEntries, EachEntryIsTakenOnceInAnyOrderAndWhatOthersWriteStaysBounded)
{
    SeenEntries seen;
    for (std::uint64_t number : {1, 2, 4, 3})
        EXPECT_TRUE(seen.Add("a", "r1", number)) << number;
    for (std::uint64_t number : {1, 2, 3, 4})
        EXPECT_FALSE(seen.Add("a", "r1", number)) << "read before: " << number;
    EXPECT_TRUE(seen.Add("a", "r2", 1)) << "another run counts anew";
    EXPECT_TRUE(seen.Add("b", "r1", 1)) << "so does another server";

    // Numbers that never come are given up on beyond the window; those above it still count.
    const std::uint64_t far = 10 + SeenEntries::Window;
    for (std::uint64_t number = 10; number <= far; ++number)
        EXPECT_TRUE(seen.Add("a", "r1", number));
    EXPECT_FALSE(seen.Add("a", "r1", 5)) << "given up on: taken for read";
    EXPECT_FALSE(seen.Add("a", "r1", far));

    // A writer making up runs pushes out the one read from least lately, never beyond the bound.
    for (std::size_t run = 0; run < 2 * SeenEntries::MostRuns; ++run)
    {
        EXPECT_TRUE(seen.Add("x", "made-up" + std::to_string(run), 1));
        EXPECT_FALSE(seen.Add("a", "r1", far)) << "read lately: kept";
    }
    EXPECT_EQ(seen.Runs(), SeenEntries::MostRuns);
    EXPECT_TRUE(seen.Add("b", "r1", 1)) << "forgotten";
}

} // namespace
