#include "server/TokenBucket.h"

#include <algorithm>

TokenBucket::TokenBucket(double perSecond, double burst, Clock::time_point now)
    : perSecond(perSecond), burst(burst), tokens(burst), last(now)
{
}

void TokenBucket::Refill(Clock::time_point now)
{
    if (now <= last)
        return;
    const double seconds = std::chrono::duration<double>(now - last).count();
    tokens = std::min(burst, tokens + seconds * perSecond);
    last = now;
}

bool TokenBucket::Take(Clock::time_point now)
{
    if (perSecond <= 0)
        return true;
    Refill(now);
    if (tokens < 1)
        return false;
    tokens -= 1;
    return true;
}

bool TokenBucket::Full(Clock::time_point now)
{
    if (perSecond <= 0)
        return true;
    Refill(now);
    return tokens >= burst;
}
