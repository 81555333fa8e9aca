#pragma once

#include "net/Packet.h"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The chat itself, apart from any socket: who is connected under which nickname, the bytes each
// member has sent and is yet to receive, and the rules by which lines are relayed and names
// given. The server feeds it what it reads and sends what it has waiting.
//
// A member is unnamed until its first valid Nickname packet. Chat lines of the client's own form
// in the sender's own name go to every member, the sender included, in the order they arrive.
// Joins, renames and departures are announced with server lines and a new users-online list.
// Bad input (an unknown packet type, a frame length below 2 or above the packet limit, a payload
// that ends early) closes that member alone; so does more than OutputLimit bytes waiting for it.
class ChatRoom
{
public:
    using MemberId = std::uint64_t;
    static constexpr std::size_t OutputLimit = 1 << 20;

    // A member that has left: its connection is to be closed, abruptly when abort is set (what
    // was waiting for it is dropped).
    struct Departure
    {
        MemberId id;
        bool abort;
    };

    explicit ChatRoom(std::ostream& log);

    MemberId Join(const std::string& address);
    // Takes bytes the member sent and handles every complete frame among them.
    void Receive(MemberId id, const char* bytes, std::size_t size);
    // Ends a membership (the connection closed or failed); it is removed at the next Sweep.
    void Close(MemberId id, const std::string& reason);
    // Removes the members closed since the last sweep, tells the others who has left, and
    // returns whose connections to close.
    std::vector<Departure> Sweep();

    // The bytes waiting to be sent to a member, and how many of them went out.
    std::string_view Pending(MemberId id) const;
    void Sent(MemberId id, std::size_t count);
    bool IsClosed(MemberId id) const;
    std::size_t MemberCount() const;

    // The wire frame of a server line, "[HH:MM:SS] [SERVER]: " + text, in local time.
    static std::string ServerLineFrame(const std::string& text);

private:
    struct Member
    {
        std::string address;
        std::string nickname; // empty until named
        std::vector<char> input;
        std::string output;
        std::size_t outputStart = 0;
        bool closed = false;
        bool abort = false;
        std::string closeReason;

        std::string Label() const
        {
            return nickname.empty() ? address : address + " (" + nickname + ")";
        }
    };

    bool HandlePacket(Member& member, oNet::Packet& packet);
    void HandleNickname(Member& member, const std::string& name);
    void HandleChatLine(Member& member, const std::string& line, const oNet::Packet& packet);
    void Send(Member& member, const std::string& frame);
    void Broadcast(const std::string& frame);
    void BroadcastUsersOnline();
    void CloseMember(Member& member, const std::string& reason, bool abort = false);

    std::ostream& log;
    std::map<MemberId, Member> members; // in the order they joined
    MemberId nextId = 1;
};
