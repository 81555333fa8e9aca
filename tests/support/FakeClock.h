#pragma once

// A clock that moves only when the test moves it: a client given fake_clock::Now as its clock
// makes its tries and gives up its connections at the test's own times.

#include "net/Clock.h"

#include <chrono>

namespace testing_support
{

namespace fake_clock
{

inline oNet::Clock::time_point time = oNet::Clock::time_point{} + std::chrono::hours(1000);

inline oNet::Clock::time_point Now()
{
    return time;
}

} // namespace fake_clock

} // namespace testing_support
