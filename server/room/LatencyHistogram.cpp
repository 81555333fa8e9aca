#include "server/room/LatencyHistogram.h"

void LatencyHistogram::Observe(std::chrono::nanoseconds time)
{
    const std::int64_t ns = time.count() < 0 ? 0 : time.count();
    std::size_t bucket = 0;
    while (bucket < BoundsNs.size() && ns > BoundsNs[bucket])
        ++bucket;
    ++buckets[bucket];
    ++count;
    sumNs += ns;
}
