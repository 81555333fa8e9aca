#pragma once

#include "server/room/ChatParticipant.h"

#include <cstddef>
#include <deque>

// What waits to be sent on one connection: shared frames in order, and how much of the first
// has gone out already.
class OutputQueue
{
public:
    void Push(Frame frame);
    // Bytes waiting to be sent.
    std::size_t Bytes() const { return bytes; }
    bool Empty() const { return bytes == 0; }
    // Copies up to max of the waiting bytes, in order, to the buffer; returns how many.
    std::size_t CopyOut(char* buffer, std::size_t max) const;
    // Drops the first count bytes, which have been sent; returns how many frames went out whole.
    std::size_t Consume(std::size_t count);
    // Drops every frame not yet begun; the rest of one begun stays, so the stream stays whole.
    void DropUnsent();
    void Clear();

private:
    std::deque<Frame> frames;
    std::size_t firstSent = 0; // bytes of the first frame that have gone out
    std::size_t bytes = 0;
};
