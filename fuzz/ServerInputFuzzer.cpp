// The server's handling of what clients send: arbitrary bytes from three clients, interleaved
// and split at arbitrary points, cut into packets as each connection does and handed to the
// room, with time passing and members leaving and joining on the way. Bad input may only close
// the member that sent it; everything the room hands out is a well-formed frame of a type the
// server sends.

#include "CheckedMember.h"
#include "NullStream.h"
#include "server/connection/FrameSplitter.h"
#include "server/room/ChatRoom.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <ostream>

namespace
{

// A member with the bytes its connection has read and not yet cut into packets.
class Connection : public CheckedMember
{
public:
    FrameSplitter input;
};

// What a connection does with the bytes it reads: every whole packet to the room, until the
// member is closed; a frame length no packet may have closes it.
void Receive(ChatRoom& room, ChatRoom::MemberId id, Connection& connection, const char* bytes,
             std::size_t size, ChatRoom::Clock::time_point now)
{
    connection.input.Append(bytes, size);
    oNet::Packet packet;
    std::size_t badLength = 0;
    while (room.IsMember(id))
    {
        const FrameSplitter::Result next = connection.input.Next(packet, badLength);
        if (next == FrameSplitter::Result::NeedMore)
            return;
        if (next == FrameSplitter::Result::BadLength)
        {
            if (oNet::IsValidFrameLength(badLength))
                __builtin_trap();
            connection.closed = true;
            room.Leave(id, {LeaveReason::BadInput, "frame length " + std::to_string(badLength)});
            return;
        }
        if (room.Handle(id, packet, now) == ChatRoom::Input::Wait)
            __builtin_trap(); // a room of one server answers every claim at once
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    NullStream log;
    RoomOptions options;
    options.history = 3;
    ChatRoom room(options, log);
    auto now = ChatRoom::Clock::time_point{} + std::chrono::hours(1);
    Connection connections[3];
    ChatRoom::MemberId members[3];
    for (int i = 0; i < 3; ++i)
        members[i] = room.Join(connections[i], "127.0.0.1:" + std::to_string(i), now);

    while (provider.remaining_bytes() > 0)
    {
        const int choice = provider.ConsumeIntegralInRange<int>(0, 4);
        if (choice == 3)
        {
            now += std::chrono::milliseconds(provider.ConsumeIntegralInRange<int>(0, 3000));
            room.Tick(now);
            continue;
        }
        if (choice == 4)
        {
            // Departed members' places are taken by newcomers; one may leave on its own.
            for (int i = 0; i < 3; ++i)
                if (!room.IsMember(members[i]))
                {
                    connections[i].closed = false;
                    connections[i].input = FrameSplitter();
                    members[i] = room.Join(connections[i], "new", now);
                }
            if (provider.ConsumeBool())
                room.Leave(members[0], {LeaveReason::Left});
            continue;
        }
        const auto piece =
            provider.ConsumeBytes<char>(provider.ConsumeIntegralInRange<std::size_t>(1, 600));
        const std::size_t before = room.MemberCount();
        Receive(room, members[choice], connections[choice], piece.data(), piece.size(), now);
        // Only the sender can be closed by what it sent, and the room says so to it.
        if (room.MemberCount() + 1 < before)
            __builtin_trap();
        if (room.MemberCount() < before && !connections[choice].closed)
            __builtin_trap();
    }
    return 0;
}
