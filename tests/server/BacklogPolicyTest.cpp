// The backlog policy with the clock in the test's hands: who is behind, when the room waits, who
// is let go.

#include "server/room/BacklogPolicy.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;

namespace
{

class Backlog : public ::testing::Test
{
protected:
    Backlog() : policy(now)
    {
        for (BacklogPolicy::Id id = 1; id <= 5; ++id)
            policy.Add(id);
    }

    // Time passes a tick at a time; returns who was let go, in the order of their ids.
    std::vector<BacklogPolicy::Id> Pass(std::chrono::milliseconds time)
    {
        std::vector<BacklogPolicy::Id> letGo;
        for (const auto end = now + time; now < end;)
        {
            now += 100ms;
            for (const auto& verdict : policy.Tick(now))
            {
                EXPECT_EQ(verdict.departure.reason, LeaveReason::TooSlow);
                EXPECT_NE(verdict.departure.Text().find("too slow: fell 64 KiB behind"),
                          std::string::npos);
                letGo.push_back(verdict.id);
            }
        }
        std::sort(letGo.begin(), letGo.end());
        return letGo;
    }

    BacklogPolicy::Clock::time_point now = BacklogPolicy::Clock::now();
    BacklogPolicy policy;
    const std::size_t behind = 64 * 1024;
};

TEST_F(Backlog, OneMemberBehindNeverMakesTheRoomWaitAndIsLetGoEvenIfItReadsALittle)
{
    EXPECT_EQ(policy.Check(1, behind, false), std::nullopt);
    EXPECT_FALSE(policy.RoomWaits());
    EXPECT_EQ(policy.Behind(), std::vector<BacklogPolicy::Id>{1});
    // A little progress every tick does not save it; others coming and going behind do not
    // make the room wait either.
    for (int i = 0; i < 95; ++i)
    {
        EXPECT_TRUE(Pass(100ms).empty()) << i;
        EXPECT_EQ(policy.Check(1, behind + 1000 - static_cast<std::size_t>(i), true), std::nullopt);
        EXPECT_EQ(policy.Check(2, i % 2 ? behind : 0, false), std::nullopt);
        EXPECT_FALSE(policy.RoomWaits());
    }
    EXPECT_EQ(Pass(1s), std::vector<BacklogPolicy::Id>{1});
    policy.Remove(1);

    // One that catches up (down to 16 KiB) starts afresh.
    EXPECT_EQ(policy.Check(3, behind, false), std::nullopt);
    Pass(9s);
    EXPECT_EQ(policy.Check(3, 16 * 1024, true), std::nullopt);
    EXPECT_TRUE(policy.Behind().empty());
    EXPECT_EQ(policy.Check(3, behind, false), std::nullopt);
    EXPECT_TRUE(Pass(9s).empty());

    // Beyond the hard limit it goes at once.
    const auto tooMuch = policy.Check(4, 1024 * 1024 + 1, false);
    ASSERT_TRUE(tooMuch);
    EXPECT_EQ(tooMuch->Text(), "too slow: more than 1 MiB waiting to be sent");
}

TEST_F(Backlog, RoomWaitsWhileMostReadersAreBehindAndForTheLastOnlyBriefly)
{
    int resumed = 0;
    auto resume = [&] { ++resumed; };
    policy.Check(1, behind, false);
    policy.Check(2, behind, false);
    EXPECT_FALSE(policy.RoomWaits()) << "two of five";
    policy.Check(3, behind, false);
    EXPECT_TRUE(policy.RoomWaits()) << "three of five";
    policy.WaitForRoom(resume);
    policy.WaitForRoom(resume);

    // Most catch up (below 16 KiB), and the room waits on for the last one, which reads at its
    // pace and catches up too; then reading goes on.
    policy.Check(3, 1000, true);
    policy.Check(2, 20 * 1024, true);
    EXPECT_TRUE(policy.RoomWaits()) << "still behind above the low mark";
    policy.Check(2, 1000, true);
    EXPECT_TRUE(policy.RoomWaits());
    EXPECT_EQ(resumed, 0);
    policy.Check(1, 1000, true);
    EXPECT_FALSE(policy.RoomWaits());
    EXPECT_EQ(resumed, 2);
    policy.WaitForRoom(resume);
    EXPECT_EQ(resumed, 3) << "the room does not wait: at once";

    // One that does not catch up is waited for only briefly.
    for (BacklogPolicy::Id id : {1, 2, 3})
        policy.Check(id, behind, false);
    policy.WaitForRoom(resume);
    policy.Check(2, 1000, true);
    policy.Check(3, 1000, true);
    Pass(400ms);
    EXPECT_TRUE(policy.RoomWaits());
    Pass(200ms);
    EXPECT_FALSE(policy.RoomWaits());
    EXPECT_EQ(resumed, 4);

    // Three behind, two of which never read: once stalled they hold nobody up, and one that
    // reads again counts again.
    policy.Check(2, behind, false);
    policy.Check(3, behind, false);
    EXPECT_TRUE(policy.RoomWaits());
    policy.WaitForRoom(resume);
    for (int i = 0; i < 30; ++i)
    {
        Pass(100ms);
        policy.Check(3, behind, true);
    }
    EXPECT_FALSE(policy.RoomWaits()) << "one reader behind of three";
    EXPECT_EQ(resumed, 5);
    policy.Check(1, behind - 1, true);
    EXPECT_FALSE(policy.RoomWaits()) << "two of four readers: not more than half";
    policy.Check(4, behind, false);
    EXPECT_TRUE(policy.RoomWaits()) << "three of four";
}

TEST_F(Backlog, HeldRoomWaitsWhoeverIsBehindAndGoesOnWhenReleased)
{
    int resumed = 0;
    policy.Hold(true);
    EXPECT_TRUE(policy.RoomWaits());
    EXPECT_FALSE(policy.ReadersBehind());
    policy.WaitForRoom([&] { ++resumed; });
    // Readers falling behind and catching up meanwhile do not release it.
    for (BacklogPolicy::Id id : {1, 2, 3})
        policy.Check(id, behind, false);
    EXPECT_TRUE(policy.ReadersBehind());
    for (BacklogPolicy::Id id : {1, 2, 3})
        policy.Check(id, 1000, true);
    EXPECT_TRUE(policy.RoomWaits());
    EXPECT_EQ(resumed, 0);
    policy.Hold(false);
    EXPECT_FALSE(policy.RoomWaits());
    EXPECT_EQ(resumed, 1);
}

} // namespace
