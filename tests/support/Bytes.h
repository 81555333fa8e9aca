#pragma once

// Byte helpers for tests that compare wire forms.

#include "net/Packet.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace testing_support
{

using Bytes = std::vector<unsigned char>;

inline Bytes BufferOf(const oNet::Packet& packet)
{
    return Bytes(packet.buffer.begin(), packet.buffer.end());
}

// The packet as it travels on the wire: 2-byte big-endian length, then its buffer.
inline Bytes FrameOf(const oNet::Packet& packet)
{
    const std::string frame = oNet::WireFrame(packet);
    return Bytes(frame.begin(), frame.end());
}

inline Bytes Concat(Bytes head, const std::string& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

inline std::string AsString(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace testing_support
