#include "net/ReconnectSchedule.h"

#include <algorithm>
#include <random>

namespace oNet
{

Clock::duration ReconnectSchedule::Lost(Clock::time_point at)
{
    if (at - connectedAt >= Delays.back())
        step = 0;
    return PlanNext(at);
}

Clock::duration ReconnectSchedule::PlanNext(Clock::time_point from)
{
    const std::chrono::seconds base = Delays[std::min(step, Delays.size() - 1)];
    step = std::min(step + 1, Delays.size());
    // A draw outside [0, 1) from a random source of the caller's is held to it.
    const double draw = std::clamp(random(), 0.0, 1.0);
    const Clock::duration delay = std::chrono::round<std::chrono::milliseconds>(
        std::chrono::duration<double>(base) * (1.0 - Jitter * draw));
    next = from + delay;
    return delay;
}

double ReconnectSchedule::UniformRandom()
{
    static std::mt19937 generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

} // namespace oNet
