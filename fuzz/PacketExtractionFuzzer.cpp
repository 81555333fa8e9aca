// Arbitrary bytes as a received packet, read as each packet type of the chat protocol the way
// the chat program reads it. A malformed packet may only raise PacketException, and no read may
// go past the packet's end.

#include "NullStream.h"
#include "common/ChatProtocol.h"
#include "net/Packet.h"

#include <cstdint>
#include <ostream>

namespace
{

void ReadAs(oNet::PacketType type, oNet::Packet& packet, std::ostream& out)
{
    using oNet::PacketType;
    std::string text;
    switch (type)
    {
    case PacketType::ChatMessage:
    case PacketType::Nickname:
    case PacketType::UsersOnline:
        packet >> text;
        if (text.size() > packet.buffer.size())
            __builtin_trap();
        break;
    case PacketType::IntegerArray:
        ChatProtocol::WriteIntegerArray(packet, out);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The receiver never builds a packet without room for its type field.
    if (!oNet::IsValidFrameLength(size))
        return 0;
    NullStream out;
    using oNet::PacketType;
    for (PacketType type : {PacketType::ChatMessage, PacketType::IntegerArray, PacketType::NewUser,
                            PacketType::Nickname, PacketType::UsersOnline})
    {
        oNet::Packet packet;
        packet.buffer.assign(data, data + size);
        try
        {
            ReadAs(type, packet, out);
        }
        catch (const oNet::PacketException&)
        {
        }
        if (packet.readOffset > packet.buffer.size())
            __builtin_trap();
    }
    return 0;
}
