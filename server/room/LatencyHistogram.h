#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

// How long something took, counted into fixed buckets: each observation is one comparison per
// bucket passed and three increments, cheap enough for every chat line. The bounds are those of
// the exposition, in nanoseconds so that nothing is rounded on the way.
class LatencyHistogram
{
public:
    // Upper bounds (inclusive) of the buckets: 10 µs to 1 s; above the last, "+Inf".
    static constexpr std::array<std::int64_t, 16> BoundsNs = {
        10'000,      25'000,      50'000,      100'000,      250'000,    500'000,
        1'000'000,   2'500'000,   5'000'000,   10'000'000,   25'000'000, 50'000'000,
        100'000'000, 250'000'000, 500'000'000, 1'000'000'000};

    void Observe(std::chrono::nanoseconds time);

    // Observations in bucket i alone (not summed up); the last is above every bound.
    std::uint64_t InBucket(std::size_t i) const { return buckets[i]; }
    std::uint64_t Count() const { return count; }
    std::chrono::nanoseconds Sum() const { return std::chrono::nanoseconds(sumNs); }

private:
    std::array<std::uint64_t, BoundsNs.size() + 1> buckets{};
    std::uint64_t count = 0;
    std::int64_t sumNs = 0;
};
