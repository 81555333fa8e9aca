#pragma once

#include "net/Packet.h"

#include <cstdint>
#include <deque>
#include <memory>

namespace oNet
{

// Which part of the packet in transfer is moving: its 2-byte length prefix or its bytes.
enum class TransferStage : std::int32_t
{
    Header = 0,
    Body = 1,
};

// First-in, first-out queue of shared packets, plus the state of the one packet part-way through
// a transfer. The queue does no input or output: the frame loop reads and writes currentSize,
// transferred and stage directly. Moved, never copied.
class PacketQueue
{
public:
    PacketQueue() = default;
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;
    PacketQueue(PacketQueue&&) = default;
    PacketQueue& operator=(PacketQueue&&) = default;

    void Append(std::shared_ptr<Packet> packet);
    // Front and Pop are only called on a queue that holds a packet.
    const std::shared_ptr<Packet>& Front() const;
    void Pop();
    bool HasPending() const;

    std::deque<std::shared_ptr<Packet>> packets;
    std::uint16_t currentSize = 0;
    std::int32_t transferred = 0;
    TransferStage stage = TransferStage::Header;
};

} // namespace oNet
