#include "net/PacketQueue.h"

#include <utility>

namespace oNet
{

void PacketQueue::Append(std::shared_ptr<Packet> packet)
{
    packets.push_back(std::move(packet));
}

const std::shared_ptr<Packet>& PacketQueue::Front() const
{
    return packets.front();
}

void PacketQueue::Pop()
{
    packets.pop_front();
}

bool PacketQueue::HasPending() const
{
    return !packets.empty();
}

} // namespace oNet
