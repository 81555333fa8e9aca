#include "net/Packet.h"

#include <limits>

namespace oNet
{

namespace
{

constexpr std::size_t TypicalPacketSize = 128;

void PutBigEndian32(std::uint32_t value, unsigned char* out)
{
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

std::uint32_t GetBigEndian32(const char* in)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

} // namespace

Packet::Packet(PacketType type)
{
    // Room for a typical chat line from the start, so that building one allocates the buffer
    // once instead of growing it field by field.
    buffer.reserve(TypicalPacketSize);
    const auto code = static_cast<std::uint16_t>(type);
    buffer.push_back(static_cast<char>(code >> 8));
    buffer.push_back(static_cast<char>(code & 0xFF));
}

PacketType Packet::Type() const
{
    const auto high = static_cast<unsigned char>(buffer[0]);
    const auto low = static_cast<unsigned char>(buffer[1]);
    return static_cast<PacketType>((high << 8) | low);
}

void Packet::Append(const void* data, std::uint32_t size)
{
    if (buffer.size() + size > MaxPacketSize)
        throw PacketException(
            "[Packet::Append(const void*, uint32_t)] - Packet size exceeded max packet size.");
    const auto* bytes = static_cast<const char*>(data);
    buffer.insert(buffer.end(), bytes, bytes + size);
}

Packet& Packet::operator<<(std::uint32_t value)
{
    unsigned char bytes[4];
    PutBigEndian32(value, bytes);
    Append(bytes, sizeof bytes);
    return *this;
}

Packet& Packet::operator>>(std::uint32_t& value)
{
    if (std::uint64_t{readOffset} + 4 > buffer.size())
        throw PacketException(
            "[Packet::operator >>(uint32_t& ] - Extraction offset exceeded buffer size.");
    value = GetBigEndian32(buffer.data() + readOffset);
    readOffset += 4;
    return *this;
}

Packet& Packet::operator<<(const std::string& text)
{
    // A text longer than any packet can hold is passed on with a count that Append refuses.
    const std::uint32_t size = text.size() > std::numeric_limits<std::uint32_t>::max()
                                   ? std::numeric_limits<std::uint32_t>::max()
                                   : static_cast<std::uint32_t>(text.size());
    *this << size;
    Append(text.data(), size);
    return *this;
}

Packet& Packet::operator>>(std::string& text)
{
    text.clear();
    std::uint32_t size = 0;
    *this >> size;
    // Compared with what remains, so that no count can pass the test by overflowing it, and
    // nothing is allocated for a count that fails.
    if (size > buffer.size() - readOffset)
        throw PacketException(
            "[Packet::operator >> (std::string &] - Extraction offset exceeded buffer size");
    text.assign(buffer.data() + readOffset, size);
    readOffset += size;
    return *this;
}

std::string WireFrame(const Packet& packet)
{
    std::string frame;
    frame.reserve(2 + packet.buffer.size());
    frame += static_cast<char>(packet.buffer.size() >> 8);
    frame += static_cast<char>(packet.buffer.size() & 0xFF);
    frame.append(packet.buffer.data(), packet.buffer.size());
    return frame;
}

} // namespace oNet
