// When a lost connection is tried again: the steps of the delays, their jitter, and the start
// afresh after a connection, with a random source and times of the test's own.

#include "net/ReconnectSchedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <vector>

using oNet::ReconnectSchedule;
using namespace std::chrono_literals;

namespace
{

using oNet::Clock;
const Clock::time_point Start = Clock::time_point{} + 1000h;

// A random source that gives these numbers, in turn.
std::function<double()> Giving(std::deque<double> numbers)
{
    return [numbers]() mutable {
        const double next = numbers.front();
        numbers.pop_front();
        numbers.push_back(next);
        return next;
    };
}

// The delay after a loss, then after count - 1 tries that failed.
std::vector<Clock::duration> Delays(ReconnectSchedule& schedule, Clock::time_point lost, int count)
{
    std::vector<Clock::duration> delays = {schedule.Lost(lost)};
    while (static_cast<int>(delays.size()) < count)
        delays.push_back(schedule.Failed(lost));
    return delays;
}

TEST(ReconnectSchedule, DelaysDoubleFromOneSecondToThirtyAndStayThere)
{
    ReconnectSchedule schedule(Giving({0.0}));
    const std::vector<Clock::duration> expected = {1s, 2s, 4s, 8s, 16s, 30s, 30s, 30s};
    EXPECT_EQ(Delays(schedule, Start, 8), expected);

    // Each try is due its delay after the loss, or after the start of the try before.
    schedule.Connected(Start);
    const Clock::time_point lost = Start + 1h;
    schedule.Lost(lost);
    EXPECT_FALSE(schedule.Due(lost));
    EXPECT_FALSE(schedule.Due(lost + 999ms));
    EXPECT_TRUE(schedule.Due(lost + 1s));
    const Clock::time_point tried = lost + 1s + 300ms;
    schedule.Failed(tried);
    EXPECT_FALSE(schedule.Due(tried + 1999ms));
    EXPECT_TRUE(schedule.Due(tried + 2s));
}

// A connection lost again before it lasted 30 s goes on with the steps; one that lasted starts
// them afresh.
TEST(ReconnectSchedule, OnlyAConnectionThatLastedStartsTheStepsAfresh)
{
    ReconnectSchedule schedule(Giving({0.0}));
    EXPECT_EQ(Delays(schedule, Start, 3), (std::vector<Clock::duration>{1s, 2s, 4s}));
    schedule.Connected(Start + 10s);
    EXPECT_EQ(Delays(schedule, Start + 10s + 29999ms, 2), (std::vector<Clock::duration>{8s, 16s}));
    schedule.Connected(Start + 100s);
    EXPECT_EQ(Delays(schedule, Start + 130s, 2), (std::vector<Clock::duration>{1s, 2s}));
}

TEST(ReconnectSchedule, JitterMakesADelayUpToAFifthShorterAndNeverLonger)
{
    // Numbers beyond [0, 1) from a faulty source are held to it.
    ReconnectSchedule schedule(Giving({0.5, 1.0, 0.25, -3.0, 7.0}));
    const std::vector<Clock::duration> expected = {900ms, 1600ms, 3800ms, 8s, 12800ms};
    EXPECT_EQ(Delays(schedule, Start, 5), expected);

    // The program's own source: a thousand clients that lost their server together come back
    // spread over the fifth of a second before the first step, none after it.
    Clock::duration earliest = 1s, latest = 0s;
    for (int client = 0; client < 1000; ++client)
    {
        ReconnectSchedule own;
        const Clock::duration delay = own.Lost(Start);
        earliest = std::min(earliest, delay);
        latest = std::max(latest, delay);
    }
    EXPECT_GE(earliest, 800ms);
    EXPECT_LE(latest, 1s);
    EXPECT_GT(latest - earliest, 150ms) << "they would all come back at once";
}

} // namespace
