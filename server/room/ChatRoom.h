#pragma once

#include "common/NicknameRule.h"
#include "net/Packet.h"
#include "server/room/ChatParticipant.h"
#include "server/room/IpNetwork.h"
#include "server/room/RoomOptions.h"
#include "server/room/ServerCounters.h"
#include "server/room/TokenBucket.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// The chat itself, apart from any socket: who is connected under which nickname, and the rules
// by which lines are relayed and names given. The server feeds it what each connection reads and
// the passing of time; the room hands frames to each member's ChatParticipant.
//
// A member is unnamed until its first usable Nickname packet, and until then receives nothing of
// the room, only answers to itself; one that stays unnamed past the time-out is closed. A named
// member's chat lines of the client's own form go to every named member, the sender included, in
// the order they arrive, and the last few are replayed to each newcomer. Joins, renames and
// departures are announced with server lines and the users-online list, collected and sent
// together at most every ListInterval, so that a thousand joins cost a few lists, not a thousand.
// Chat lines and nickname packets beyond the line rate are dropped; a member that keeps on is
// closed. Bad input (an unknown packet type, a frame length below 2 or above the packet limit, a
// payload that ends early) closes that member alone.
class ChatRoom
{
public:
    using MemberId = std::uint64_t;
    using Clock = std::chrono::steady_clock;

    static constexpr auto ListInterval = std::chrono::milliseconds(250);
    // Announcements beyond this many in one round are summed up, a line per kind.
    static constexpr std::size_t AnnouncementsListed = 10;
    // Packets dropped for flooding, without a pause, before the member is closed.
    static constexpr std::size_t FloodDropsToClose = 50;

    // The room adds what it relays, and how long that takes, to counters.
    ChatRoom(const RoomOptions& options, std::ostream& log, ServerCounters& counters);
    ChatRoom(const ChatRoom&) = delete;
    ChatRoom& operator=(const ChatRoom&) = delete;

    // address: as the log shows it; ip: what bans are checked against.
    MemberId Join(ChatParticipant& participant, const std::string& address, Clock::time_point now,
                  const asio::ip::address& ip = {});
    // Takes bytes the member sent and handles every complete frame among them. Bytes that waited
    // unread because the server was reading from nobody are read with the time they have waited
    // since (see TokenBucket); otherwise unreadSince is now.
    void Receive(MemberId id, const char* bytes, std::size_t size, Clock::time_point now,
                 Clock::time_point unreadSince);
    void Receive(MemberId id, const char* bytes, std::size_t size, Clock::time_point now)
    {
        Receive(id, bytes, size, now, now);
    }
    // The member's connection has ended or is being closed by the server: it leaves the room.
    // Its leaving is announced as "NAME left." or, given a note, "NAME left (note).".
    void Leave(MemberId id, const std::string& reason, const std::string& note = "");
    // Closes members that stayed unnamed too long, and sends what was collected for the list.
    // While the server reads from nobody, nobody's time to choose a nickname runs.
    void Tick(Clock::time_point now, bool readingWaits = false);

    bool IsMember(MemberId id) const { return members.count(id) != 0; }
    std::size_t MemberCount() const { return members.size(); }
    std::size_t NamedCount() const { return names.size(); }

    // The frame of a server line, "[HH:MM:SS] [SERVER]: " + text, in local time.
    static Frame ServerLine(const std::string& text);

    // For the operator.
    struct MemberView
    {
        std::string nickname; // empty while unnamed
        std::string address;
        Clock::duration connected;
        std::uint64_t lines;
    };
    // Everyone connected: the named in the order of the users list, then the unnamed.
    std::vector<MemberView> Who(Clock::time_point now) const;
    // A server line to every named member, at once.
    void Say(const std::string& text);
    // The nickname as the member has it, or empty when nobody has it (in any case).
    std::string NameLike(const std::string& name) const;
    std::optional<asio::ip::address> AddressOf(const std::string& name) const;
    // Removes the members named (any case), or all whose address is in the network: each is
    // told `told` and closed, and the room hears it leave with the note. Returns who went, as
    // the log shows them.
    std::vector<std::string> Remove(const std::string& name, const std::string& told,
                                    const std::string& note, const std::string& reason);
    std::vector<std::string> Remove(const IpNetwork& network, const std::string& told,
                                    const std::string& note, const std::string& reason);

private:
    struct NameOrder
    {
        bool operator()(const std::string& a, const std::string& b) const
        {
            return NicknameRule::LessIgnoringCase(a, b);
        }
    };

    struct Member
    {
        Member(ChatParticipant& participant, std::string address, const RoomOptions& options,
               Clock::time_point now, const asio::ip::address& ip);

        ChatParticipant* participant;
        std::string address;
        asio::ip::address ip;
        Clock::time_point joined;
        std::uint64_t linesSaid = 0;
        std::string nickname; // empty until named
        std::string input;
        TokenBucket lines;
        std::size_t floodDrops = 0;
        std::uint64_t joinedAfter = 0; // the last announcement made before it was named
        std::uint64_t listSeen = 0;    // the version of the users-online list it has

        std::string Label() const
        {
            return nickname.empty() ? address : address + " (" + nickname + ")";
        }
    };

    enum class Change
    {
        Joined,
        Left,
        Renamed
    };

    struct Announcement
    {
        std::uint64_t number;
        Change change;
        MemberId actor; // who has already been told (0: nobody)
        Frame line;
    };

    // Each returns false when the member has been closed.
    bool HandlePacket(MemberId id, Member& member, oNet::Packet& packet, Clock::time_point now,
                      Clock::time_point unreadSince);
    bool WithinRate(MemberId id, Member& member, Clock::time_point now,
                    Clock::time_point unreadSince);
    void HandleNickname(MemberId id, Member& member, const std::string& name);
    // readAt: when the line was read, which the broadcast's time is counted from.
    void HandleChatLine(Member& member, const std::string& line, const oNet::Packet& packet,
                        Clock::time_point readAt);
    void Announce(Change change, MemberId actor, const std::string& text);
    void SendAnnouncements();
    // To every member with a nickname, after the announcements that came before it.
    void DeliverToNamed(const Frame& frame);
    // The member with this nickname in any case, or 0 when there is none.
    MemberId NamedMember(const std::string& name) const;
    std::vector<Frame> Summary(MemberId id, std::uint64_t joinedAfter) const;
    void BroadcastUsersOnline();
    Frame UsersOnline() const;
    void Close(MemberId id, const std::string& reason);
    void RemoveMember(MemberId id, const std::string& told, const std::string& note,
                      const std::string& reason);

    const RoomOptions options;
    std::ostream& log;
    ServerCounters& counters;
    std::unordered_map<MemberId, Member> members;
    std::set<std::string, NameOrder> names; // the named members' nicknames, as listed
    // Registration deadlines, on a clock that stops while the server reads from nobody.
    std::deque<std::pair<Clock::duration, MemberId>> unnamed;
    Clock::duration readingTime{};
    Clock::time_point lastTick;
    bool firstTick = true;
    std::deque<Frame> history;
    std::vector<Announcement> announcements;
    std::uint64_t announcementCount = 0;
    std::uint64_t listVersion = 0;
    bool listChanged = false;
    Clock::time_point listSent;
    MemberId nextId = 1;
};
