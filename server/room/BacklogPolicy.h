#pragma once

#include "server/room/Departure.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// How much may wait to be sent to one member, and what happens beyond. The marks are bytes queued
// in the server for that member (the system's own send buffer comes on top).
struct OutputLimits
{
    // A member with this much waiting is behind, until it is back down to caughtUpMark.
    std::size_t behindMark = 64 * 1024;
    std::size_t caughtUpMark = 16 * 1024;
    // A member behind for this long is let go, whether or not it reads a little meanwhile...
    std::chrono::seconds behindTime{10};
    // ... and one with more than this waiting is let go at once.
    std::size_t hardLimit = 1024 * 1024;
    // The room waits (reads from nobody) once more than this share of its readers is behind:
    // then the room speaks faster than its members read, and the senders are slowed instead...
    double waitShare = 0.5;
    // ... and goes on waiting for the last ones behind for at most this long after most have
    // caught up. Readers that read at the room's pace catch up within it (were they not waited
    // for, each round of a flood would leave them further behind); one that reads slowly does
    // not, and the room goes on without it.
    std::chrono::milliseconds stragglerTime{500};
    // A member behind that has had nothing written for this long is no reader: it holds nobody up.
    std::chrono::seconds stallTime{2};
};

// Decides, for the members of one room, who is behind, whether the room waits for them, and who
// is let go. It knows members by number and bytes only, never sockets; time comes from Tick, so
// that the check made on every delivery stays a comparison.
//
// A room that waits reads from nobody, so no more lines are made until its readers have caught
// up; the readers that stall do not count. One member, or a few, behind never make the room
// wait: the others go on at full speed, and the one that cannot keep up is let go once it has
// stayed behind for behindTime, or at once beyond hardLimit. No backlog grows without bound.
class BacklogPolicy
{
public:
    using Clock = std::chrono::steady_clock;
    using Id = std::uint64_t;

    struct LetGo
    {
        Id id;
        Departure departure;
    };

    BacklogPolicy(Clock::time_point now, OutputLimits limits = {});

    // A member that the room sends to (named or not); Remove when it leaves or closes.
    void Add(Id id);
    void Remove(Id id);

    // The one check, whenever what waits for a member changes: `waiting` bytes now, `wrote` when
    // some just went out. Nothing when the member stays; otherwise why it must be let go.
    std::optional<Departure> Check(Id id, std::size_t waiting, bool wrote);
    // Time passes: the members that stayed behind too long, to be let go.
    std::vector<LetGo> Tick(Clock::time_point now);

    bool RoomWaits() const { return waits || held; }
    // Whether the room waits because most of its readers are behind (rather than held).
    bool ReadersBehind() const { return waits; }
    // The room waits, whoever is behind, until released: while what carries the room's lines
    // cannot take them.
    void Hold(bool hold);
    // Reading has stopped because the room waits: `resume` runs, once, when it goes on.
    void WaitForRoom(std::function<void()> resume);
    // The members behind now: the server tries a write to each at every tick, since the system
    // signals room to write only in large steps, and a member that reads slowly must be seen to.
    std::vector<Id> Behind() const;

    const OutputLimits& Limits() const { return limits; }
    std::size_t Readers() const { return members - stalled; }
    std::size_t BehindReaders() const { return behind.size() - stalled; }

private:
    struct Lag
    {
        Clock::time_point since;        // behind from then on
        Clock::time_point lastProgress; // something went out then
        bool stalled = false;
    };

    using Lags = std::unordered_map<Id, Lag>;

    // No longer behind; the next entry.
    Lags::iterator Forget(Lags::iterator lag);
    void Settle();

    const OutputLimits limits;
    Clock::time_point now;
    std::size_t members = 0;
    std::size_t stalled = 0;
    Lags behind;
    bool waits = false;
    bool held = false;
    bool mostCaughtUp = false;        // while it waits: most have caught up since...
    Clock::time_point mostCaughtUpAt; // ... then
    std::vector<std::function<void()>> waiting;
};

// Sizes as a person reads them: "64 KiB", "1 MiB".
std::string SizeText(std::size_t bytes);
