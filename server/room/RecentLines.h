#pragma once

#include "server/room/ChatParticipant.h"

#include <cstddef>
#include <deque>

// The latest chat lines of the room, oldest first, as frames, up to a number: what a newcomer
// is told.
class RecentLines
{
public:
    explicit RecentLines(std::size_t most) : most(most) {}

    // Keeps the line, and lets the oldest go beyond the number.
    void Add(const Frame& line);
    const std::deque<Frame>& Frames() const { return frames; }
    std::size_t Most() const { return most; }

private:
    const std::size_t most;
    std::deque<Frame> frames;
};
