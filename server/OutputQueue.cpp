#include "server/OutputQueue.h"

#include <algorithm>

void OutputQueue::Push(Frame frame)
{
    if (frame->empty())
        return;
    bytes += frame->size();
    frames.push_back(std::move(frame));
}

std::size_t OutputQueue::Gather(std::string_view* pieces, std::size_t max,
                                std::size_t maxBytes) const
{
    std::size_t count = 0;
    std::size_t gathered = 0;
    for (std::size_t i = 0; i < frames.size() && count < max && gathered < maxBytes; ++i)
    {
        std::string_view piece(*frames[i]);
        if (i == 0)
            piece.remove_prefix(firstSent);
        pieces[count++] = piece;
        gathered += piece.size();
    }
    return count;
}

void OutputQueue::Consume(std::size_t count)
{
    count = std::min(count, bytes);
    bytes -= count;
    while (count > 0)
    {
        const std::size_t left = frames.front()->size() - firstSent;
        if (count < left)
        {
            firstSent += count;
            return;
        }
        count -= left;
        frames.pop_front();
        firstSent = 0;
    }
}

void OutputQueue::Clear()
{
    frames.clear();
    firstSent = 0;
    bytes = 0;
}
