#pragma once

#include "server/ChatParticipant.h"

#include <cstddef>
#include <deque>
#include <string_view>

// What waits to be sent on one connection: shared frames in order, and how much of the first
// has gone out already.
class OutputQueue
{
public:
    void Push(Frame frame);
    // Bytes waiting to be sent.
    std::size_t Bytes() const { return bytes; }
    bool Empty() const { return bytes == 0; }
    // Fills pieces with up to max of the waiting bytes, in order, for one gathered write, and
    // returns how many pieces it filled. The pieces stay valid until Consume or Clear.
    std::size_t Gather(std::string_view* pieces, std::size_t max, std::size_t maxBytes) const;
    // Drops the first count bytes, which have been sent.
    void Consume(std::size_t count);
    void Clear();

private:
    std::deque<Frame> frames;
    std::size_t firstSent = 0; // bytes of the first frame that have gone out
    std::size_t bytes = 0;
};
