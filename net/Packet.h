#pragma once

#include "net/PacketException.h"
#include "net/PacketType.h"

#include <cstdint>
#include <string>
#include <vector>

namespace oNet
{

// Largest packet buffer: the 2-byte type field plus the payload (the frame's length prefix is
// not counted).
constexpr std::uint32_t MaxPacketSize = 8192;

// One protocol message, kept in wire form: bytes 0-1 hold the type big-endian, the payload
// follows. Fields are inserted and extracted in order, integers and text counts big-endian.
// Packets are always created with std::make_shared and passed around by shared reference;
// a built packet is never copied.
class Packet
{
public:
    explicit Packet(PacketType type = PacketType::Invalid);

    PacketType Type() const;

    // Appends raw bytes; throws PacketException and appends nothing when the buffer would
    // exceed MaxPacketSize.
    void Append(const void* data, std::uint32_t size);

    Packet& operator<<(std::uint32_t value);
    Packet& operator>>(std::uint32_t& value);
    Packet& operator<<(const std::string& text);
    Packet& operator>>(std::string& text);

    std::uint32_t readOffset = 2;
    std::vector<char> buffer;
};

// The packet as it travels: the 2-byte big-endian length, then the packet's bytes.
std::string WireFrame(const Packet& packet);

// Whether a frame may declare this length: room for the type field, and no more than a packet
// holds.
constexpr bool IsValidFrameLength(std::size_t length)
{
    return length >= 2 && length <= MaxPacketSize;
}

} // namespace oNet
