#include "server/connection/FrameSplitter.h"

FrameSplitter::Result FrameSplitter::Next(oNet::Packet& packet, std::size_t& badLength)
{
    if (input.size() - start >= 2)
    {
        const auto* header = reinterpret_cast<const unsigned char*>(input.data() + start);
        const std::size_t length = (std::size_t{header[0]} << 8) | header[1];
        if (!oNet::IsValidFrameLength(length))
        {
            badLength = length;
            return Result::BadLength;
        }
        if (input.size() - start >= 2 + length)
        {
            const auto begin = input.begin() + static_cast<std::ptrdiff_t>(start + 2);
            packet.buffer.assign(begin, begin + static_cast<std::ptrdiff_t>(length));
            packet.readOffset = 2;
            start += 2 + length;
            return Result::Packet;
        }
    }
    // What is left is the beginning of a frame: kept at the front for the next bytes.
    input.erase(0, start);
    start = 0;
    return Result::NeedMore;
}
