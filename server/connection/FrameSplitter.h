#pragma once

#include "net/Packet.h"

#include <cstddef>
#include <string>

// Splits the bytes a client sends into frames (a 2-byte big-endian length, then the packet) and
// hands out whole packets, in order, however the bytes were cut on their way.
class FrameSplitter
{
public:
    enum class Result
    {
        Packet,   // the next packet is in `packet`
        NeedMore, // no whole frame waits
        BadLength // a frame declares a length no packet may have: `badLength`
    };

    void Append(const char* bytes, std::size_t size) { input.append(bytes, size); }
    Result Next(oNet::Packet& packet, std::size_t& badLength);
    // Bytes held that are not yet a whole frame.
    std::size_t Waiting() const { return input.size() - start; }

private:
    std::string input;
    std::size_t start = 0; // where the next frame begins
};
