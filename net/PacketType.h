#pragma once

#include <cstdint>

namespace oNet
{

// The 16-bit type code at the front of every packet. 0 marks a packet that has not been given a
// type (every received packet starts as one until its bytes are copied in); the other values are
// the chat protocol's.
enum class PacketType : std::uint16_t
{
    Invalid = 0,
    ChatMessage = 1,
    IntegerArray = 2,
    NewUser = 4,
    Nickname = 5,
    UsersOnline = 6,
};

} // namespace oNet
