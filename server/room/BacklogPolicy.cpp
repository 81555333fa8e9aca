#include "server/room/BacklogPolicy.h"

#include <algorithm>

std::string SizeText(std::size_t bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0)
        return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " bytes";
}

BacklogPolicy::BacklogPolicy(Clock::time_point now, OutputLimits limits) : limits(limits), now(now)
{
}

void BacklogPolicy::Add(Id)
{
    ++members;
    Settle();
}

void BacklogPolicy::Remove(Id id)
{
    if (members > 0)
        --members;
    const auto found = behind.find(id);
    if (found != behind.end())
        Forget(found);
    Settle();
}

std::optional<Departure> BacklogPolicy::Check(Id id, std::size_t waiting, bool wrote)
{
    if (waiting > limits.hardLimit)
        return Departure{LeaveReason::TooSlow,
                         "more than " + SizeText(limits.hardLimit) + " waiting to be sent"};
    // The common case, nobody behind, costs one comparison.
    if (behind.empty() && waiting < limits.behindMark)
        return std::nullopt;
    const auto found = behind.find(id);
    if (found == behind.end())
    {
        if (waiting >= limits.behindMark)
        {
            behind.emplace(id, Lag{now, now, false});
            Settle();
        }
        return std::nullopt;
    }
    Lag& lag = found->second;
    if (waiting <= limits.caughtUpMark)
    {
        Forget(found);
        Settle();
        return std::nullopt;
    }
    if (wrote)
    {
        lag.lastProgress = now;
        if (lag.stalled)
        {
            lag.stalled = false;
            --stalled;
            Settle();
        }
    }
    return std::nullopt;
}

std::vector<BacklogPolicy::LetGo> BacklogPolicy::Tick(Clock::time_point time)
{
    now = std::max(now, time);
    std::vector<LetGo> letGo;
    for (auto lag = behind.begin(); lag != behind.end();)
    {
        if (now - lag->second.since >= limits.behindTime)
        {
            // Told once; it counts as a reader no more until its connection is removed.
            letGo.push_back(
                {lag->first,
                 {LeaveReason::TooSlow, "fell " + SizeText(limits.behindMark) +
                                            " behind and did not catch up within " +
                                            std::to_string(limits.behindTime.count()) + " s"}});
            lag = Forget(lag);
            continue;
        }
        if (!lag->second.stalled &&
            now - std::max(lag->second.lastProgress, lag->second.since) > limits.stallTime)
        {
            lag->second.stalled = true;
            ++stalled;
        }
        ++lag;
    }
    Settle();
    return letGo;
}

BacklogPolicy::Lags::iterator BacklogPolicy::Forget(Lags::iterator lag)
{
    if (lag->second.stalled)
        --stalled;
    return behind.erase(lag);
}

void BacklogPolicy::Hold(bool hold)
{
    held = hold;
    Settle();
}

void BacklogPolicy::WaitForRoom(std::function<void()> resume)
{
    if (!RoomWaits())
        resume();
    else
        waiting.push_back(std::move(resume));
}

std::vector<BacklogPolicy::Id> BacklogPolicy::Behind() const
{
    std::vector<Id> ids;
    ids.reserve(behind.size());
    for (const auto& entry : behind)
        ids.push_back(entry.first);
    return ids;
}

// Whether the room waits follows from the counts, and from time for the last few behind; when it
// stops waiting, reading goes on.
void BacklogPolicy::Settle()
{
    const std::size_t readers = Readers();
    const std::size_t lagging = BehindReaders();
    if (readers > 0 &&
        static_cast<double>(lagging) > limits.waitShare * static_cast<double>(readers))
    {
        waits = true;
        mostCaughtUp = false;
    }
    else if (waits)
    {
        if (!mostCaughtUp)
        {
            mostCaughtUp = true;
            mostCaughtUpAt = now;
        }
        if (lagging == 0 || now - mostCaughtUpAt >= limits.stragglerTime)
            waits = false;
    }
    if (RoomWaits() || waiting.empty())
        return;
    std::vector<std::function<void()>> resume;
    resume.swap(waiting);
    for (auto& go : resume)
        go();
}
