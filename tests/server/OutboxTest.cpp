// What a server wrote to the room's stream, kept until shown back and a while after, and how far
// ahead it may write.

#include "server/link/Outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

std::vector<std::uint64_t> Resent(const Outbox& outbox, bool everything,
                                  Outbox::Clock::time_point lostAt)
{
    std::vector<std::uint64_t> numbers;
    outbox.Resend(everything, lostAt,
                  [&](const Outbox::Entry& entry) { numbers.push_back(entry.number); });
    return numbers;
}

TEST(Outbox, EntriesWaitUntilShownBackAreKeptAWhileAndPaceTheWriter)
{
    Outbox outbox;
    const auto now = Outbox::Clock::time_point{} + std::chrono::hours(1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(outbox.Add({"XADD", std::to_string(i)}).number, std::uint64_t(i + 1));
    EXPECT_EQ(outbox.NextNumber(), 5u);

    // Redis took 1 and 2; 3 comes back: 1 to 3 are in the stream, 4 may not be.
    outbox.Taken(1);
    outbox.Taken(2);
    outbox.Taken(99); // no such entry: nothing
    outbox.SeenBack(3, now);
    EXPECT_EQ(Resent(outbox, false, now), (std::vector<std::uint64_t>{4}));
    EXPECT_EQ(Resent(outbox, true, now + std::chrono::seconds(5)),
              (std::vector<std::uint64_t>{1, 2, 3, 4}))
        << "Redis lost its data soon after: those shown back are written again, in order";
    EXPECT_EQ(Resent(outbox, true, now + Outbox::RetainTime + std::chrono::seconds(1)),
              (std::vector<std::uint64_t>{4}))
        << "lost long after: they were safe";

    // An entry not known taken before the one shown back stays (its write may have been lost),
    // and so does all after it: written again, a reader knows those it has by their numbers.
    Outbox gaps;
    gaps.Add({"a"});
    gaps.Add({"b"});
    gaps.SeenBack(2, now);
    EXPECT_EQ(Resent(gaps, false, now), (std::vector<std::uint64_t>{1, 2}));
    gaps.Taken(1);
    gaps.SeenBack(2, now);
    EXPECT_EQ(Resent(gaps, false, now), (std::vector<std::uint64_t>{}));

    // Far ahead at PaceHigh waiting, near again at PaceLow.
    Outbox pace;
    for (std::size_t i = 1; i < Outbox::PaceHigh; ++i)
        pace.Add({"x"});
    EXPECT_FALSE(pace.Ahead());
    pace.Add({"x"});
    EXPECT_TRUE(pace.Ahead());
    for (std::uint64_t number = 1; number <= Outbox::PaceHigh; ++number)
        pace.Taken(number);
    pace.SeenBack(Outbox::PaceHigh - Outbox::PaceLow - 1, now);
    EXPECT_TRUE(pace.Ahead()) << "one more than PaceLow waits";
    pace.SeenBack(Outbox::PaceHigh - Outbox::PaceLow, now);
    EXPECT_FALSE(pace.Ahead());
}

} // namespace
