#pragma once

#include <chrono>

// A rate limit: tokens flow in at a steady rate up to a burst's worth, and each event takes one.
// A rate of 0 means no limit.
class TokenBucket
{
public:
    using Clock = std::chrono::steady_clock;

    TokenBucket(double perSecond, double burst, Clock::time_point now);

    // Takes a token if there is one; false when the event goes over the rate.
    bool Take(Clock::time_point now);
    // Whether the bucket has filled up again: the sender has been quiet for a while.
    bool Full(Clock::time_point now);

private:
    void Refill(Clock::time_point now);

    double perSecond;
    double burst;
    double tokens;
    Clock::time_point last;
};
