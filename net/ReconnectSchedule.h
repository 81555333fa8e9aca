#pragma once

#include "net/Clock.h"

#include <array>
#include <chrono>
#include <functional>

namespace oNet
{

// When to try again to connect after a connection was lost: about 1, 2, 4, 8 and 16 seconds
// after the start of the try before (or after the loss), then every 30 seconds for as long as it
// takes. Each delay is up to a fifth shorter at random, so that the many clients that lost a
// server together do not all come back in the same second; none is ever longer than its step.
// A connection that is lost again before it has lasted as long as the longest delay goes on
// with the steps where they were: a server that takes a client in and drops it at once (full,
// or not letting it in) is not asked again every second.
class ReconnectSchedule
{
public:
    static constexpr std::array<std::chrono::seconds, 6> Delays = {
        std::chrono::seconds(1), std::chrono::seconds(2),  std::chrono::seconds(4),
        std::chrono::seconds(8), std::chrono::seconds(16), std::chrono::seconds(30)};
    static constexpr double Jitter = 0.2;

    // random gives a number in [0, 1) for each delay's jitter.
    explicit ReconnectSchedule(std::function<double()> random = UniformRandom)
        : random(std::move(random))
    {
    }

    // The connection has been lost: plans the first try, and returns its delay.
    Clock::duration Lost(Clock::time_point at);
    // The try that started then has failed: plans the next, and returns its delay.
    Clock::duration Failed(Clock::time_point tryStarted) { return PlanNext(tryStarted); }
    // A connection has been made.
    void Connected(Clock::time_point at) { connectedAt = at; }
    bool Due(Clock::time_point now) const { return now >= next; }

    static double UniformRandom();

private:
    // The next step of the delays after from.
    Clock::duration PlanNext(Clock::time_point from);

    std::function<double()> random;
    std::size_t step = 0;
    Clock::time_point next{};
    Clock::time_point connectedAt{};
};

} // namespace oNet
