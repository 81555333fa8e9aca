#pragma once

// A member of the room under fuzzing that checks what the room hands it: nothing once it is let
// go, and only whole frames of a packet the server sends (ChatMessage, NewUser, UsersOnline).

#include "net/Packet.h"
#include "server/room/ChatParticipant.h"

#include <string>

class CheckedMember : public ChatParticipant
{
public:
    void Deliver(const Frame& frame) override
    {
        if (closed)
            __builtin_trap();
        CheckFrame(*frame);
    }
    void Disconnect() override { closed = true; }
    void ContinueInput() override {}

    bool closed = false;

private:
    static void CheckFrame(const std::string& bytes)
    {
        if (bytes.size() < 4)
            __builtin_trap();
        const std::size_t length =
            (static_cast<unsigned char>(bytes[0]) << 8) | static_cast<unsigned char>(bytes[1]);
        const unsigned type =
            (static_cast<unsigned char>(bytes[2]) << 8) | static_cast<unsigned char>(bytes[3]);
        if (!oNet::IsValidFrameLength(length) || bytes.size() != 2 + length)
            __builtin_trap();
        if (type != 1 && type != 4 && type != 6)
            __builtin_trap();
    }
};
