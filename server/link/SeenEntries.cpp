#include "server/link/SeenEntries.h"

bool SeenEntries::Add(const std::string& origin, const std::string& run, std::uint64_t number)
{
    const std::string key = origin + " " + run;
    if (runs.size() >= MostRuns && runs.count(key) == 0)
        ForgetOldest();
    Run& seen = runs[key];
    seen.last = ++taken;
    if (number <= seen.floor || seen.above.count(number) != 0)
        return false;
    seen.above.insert(number);
    while (!seen.above.empty() && *seen.above.begin() == seen.floor + 1)
    {
        seen.above.erase(seen.above.begin());
        ++seen.floor;
    }
    // Numbers that never came (trimmed, or missed) are given up on, so that this stays small.
    while (seen.above.size() > Window)
    {
        seen.floor = *seen.above.begin();
        seen.above.erase(seen.above.begin());
    }
    return true;
}

void SeenEntries::ForgetOldest()
{
    auto oldest = runs.begin();
    for (auto run = runs.begin(); run != runs.end(); ++run)
        if (run->second.last < oldest->second.last)
            oldest = run;
    if (oldest != runs.end())
        runs.erase(oldest);
}
