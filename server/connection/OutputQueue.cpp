#include "server/connection/OutputQueue.h"

#include <algorithm>

void OutputQueue::Push(Frame frame)
{
    if (frame->empty())
        return;
    bytes += frame->size();
    frames.push_back(std::move(frame));
}

std::size_t OutputQueue::CopyOut(char* buffer, std::size_t max) const
{
    std::size_t copied = 0;
    for (std::size_t i = 0; i < frames.size() && copied < max; ++i)
    {
        const std::string& frame = *frames[i];
        const std::size_t from = i == 0 ? firstSent : 0;
        const std::size_t count = std::min(frame.size() - from, max - copied);
        std::copy_n(frame.data() + from, count, buffer + copied);
        copied += count;
    }
    return copied;
}

std::size_t OutputQueue::Consume(std::size_t count)
{
    count = std::min(count, bytes);
    bytes -= count;
    std::size_t finished = 0;
    while (count > 0)
    {
        const std::size_t left = frames.front()->size() - firstSent;
        if (count < left)
        {
            firstSent += count;
            break;
        }
        count -= left;
        frames.pop_front();
        firstSent = 0;
        ++finished;
    }
    return finished;
}

void OutputQueue::DropUnsent()
{
    if (firstSent == 0)
    {
        Clear();
        return;
    }
    frames.resize(1);
    bytes = frames.front()->size() - firstSent;
}

void OutputQueue::Clear()
{
    frames.clear();
    firstSent = 0;
    bytes = 0;
}
