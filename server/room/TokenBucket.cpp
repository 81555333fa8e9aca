#include "server/room/TokenBucket.h"

#include <algorithm>

TokenBucket::TokenBucket(double perSecond, double burst, Clock::time_point now) : due(now)
{
    if (perSecond <= 0)
        return;
    interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / perSecond));
    tolerance = std::chrono::duration_cast<Clock::duration>(interval * (std::max(burst, 1.0) - 1));
}

bool TokenBucket::Take(Clock::time_point now, Clock::time_point unreadSince)
{
    if (interval == Clock::duration::zero())
        return true;
    if (due - now > tolerance)
        return false;
    due = std::max(due, std::min(unreadSince, now)) + interval;
    return true;
}

bool TokenBucket::Full(Clock::time_point now) const
{
    return interval == Clock::duration::zero() || due <= now;
}
