// The server's handling of what clients send: arbitrary bytes from three clients, interleaved
// and split at arbitrary points, with members leaving and joining on the way. Bad input may only
// close the member that sent it; what the room has waiting for anyone is always well-formed
// frames of the types the server sends.

#include "server/ChatRoom.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <ostream>
#include <streambuf>

namespace
{

class NullBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return c; }
};

// Checks that the bytes are whole frames of ChatMessage, NewUser or UsersOnline packets.
void CheckFrames(std::string_view bytes)
{
    std::size_t at = 0;
    while (at < bytes.size())
    {
        if (bytes.size() - at < 4)
            __builtin_trap();
        const std::size_t length = (static_cast<unsigned char>(bytes[at]) << 8) |
                                   static_cast<unsigned char>(bytes[at + 1]);
        const unsigned type = (static_cast<unsigned char>(bytes[at + 2]) << 8) |
                              static_cast<unsigned char>(bytes[at + 3]);
        if (length < 2 || length > oNet::MaxPacketSize || bytes.size() - at < 2 + length)
            __builtin_trap();
        if (type != 1 && type != 4 && type != 6)
            __builtin_trap();
        at += 2 + length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    NullBuffer discard;
    std::ostream log(&discard);
    ChatRoom room(log);
    ChatRoom::MemberId members[3] = {room.Join("a"), room.Join("b"), room.Join("c")};

    while (provider.remaining_bytes() > 0)
    {
        const int choice = provider.ConsumeIntegralInRange<int>(0, 4);
        if (choice == 3)
        {
            // The connections take what waits for them.
            for (auto id : members)
            {
                CheckFrames(room.Pending(id));
                room.Sent(id, room.Pending(id).size());
            }
            continue;
        }
        if (choice == 4)
        {
            // Departed members' places are taken by newcomers.
            room.Sweep();
            for (auto& id : members)
                if (room.IsClosed(id))
                    id = room.Join("new");
            continue;
        }
        const auto piece =
            provider.ConsumeBytes<char>(provider.ConsumeIntegralInRange<std::size_t>(1, 600));
        const std::size_t before = room.MemberCount();
        room.Receive(members[choice], piece.data(), piece.size());
        // Only the sender can be closed by what it sent.
        if (room.MemberCount() + 1 < before)
            __builtin_trap();
    }
    room.Sweep();
    for (auto id : members)
        CheckFrames(room.Pending(id));
    return 0;
}
