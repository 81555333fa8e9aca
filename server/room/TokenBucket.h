#pragma once

#include <chrono>

// A rate limit: events may come at a steady rate on average, in bursts of up to `burst` at once.
// A rate of 0 means no limit.
//
// Only the sender's own pace is judged. Events the server did not read as they came (because it
// was reading from nobody for a while) are all read at once afterwards; Take is then told since
// when they have waited unread, and they count as if they had come in that time, as they may
// have. Kept as the time the next event is due, so nothing needs refilling.
class TokenBucket
{
public:
    using Clock = std::chrono::steady_clock;

    TokenBucket(double perSecond, double burst, Clock::time_point now);

    // Takes a token if there is one; false when the event goes over the rate.
    bool Take(Clock::time_point now) { return Take(now, now); }
    bool Take(Clock::time_point now, Clock::time_point unreadSince);
    // Whether the bucket has filled up again: the sender has been quiet for a while.
    bool Full(Clock::time_point now) const;

private:
    Clock::duration interval{};  // between events at the rate
    Clock::duration tolerance{}; // how far ahead of the rate a burst may run
    Clock::time_point due;       // when the next event would be on time
};
