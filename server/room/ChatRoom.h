#pragma once

#include "common/NicknameRule.h"
#include "net/Packet.h"
#include "server/room/ChatParticipant.h"
#include "server/room/Departure.h"
#include "server/room/IpNetwork.h"
#include "server/room/LocalLink.h"
#include "server/room/RoomEvent.h"
#include "server/room/RoomLink.h"
#include "server/room/RoomOptions.h"
#include "server/room/ServerCounters.h"
#include "server/room/TokenBucket.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// The chat itself, apart from any socket: who is in the room under which nickname, and the
// rules by which lines are relayed and names given. The server hands it the packets each
// connection sends and the passing of time; the room hands frames to each member's
// ChatParticipant.
//
// The room decides and its link carries: what the room decides (a member joined, renamed, left,
// said a line; the operator said, kicked, banned) goes out as a RoomEvent through its RoomLink,
// and the room applies the events the link hands back, its own and those of the room's other
// servers, to its own members. A member's own line reaches it only when it comes back from the
// link, so that every member sees the same lines in the same order. A nickname is claimed
// through the link; while the claim is open the member's further packets wait. Without a link
// of its own the room is this server alone (LocalLink), and every event comes back at once.
//
// A member is unnamed until its first usable Nickname packet, and until its join has come back
// receives nothing of the room, only answers to itself; one that stays unnamed past the
// time-out is closed. A named member's chat lines of the client's own form go to every member of
// the room, the sender included, and the last few are replayed to each newcomer. Joins, renames
// and departures are announced with server lines and the users-online list, collected and sent
// together at most every ListInterval, so that a thousand joins cost a few lists, not a
// thousand. Chat lines and nickname packets beyond the line rate are dropped; a member that
// keeps on is closed. Bad input (an unknown packet type, a payload that ends early) closes that
// member alone.
class ChatRoom : private RoomLink::Listener
{
public:
    using MemberId = std::uint64_t;
    using Clock = std::chrono::steady_clock;

    // What comes of a packet: go on with the member's next one; wait (the member's next packet
    // comes after ContinueInput); or the member has been closed.
    enum class Input
    {
        Next,
        Wait,
        Closed
    };

    static constexpr auto ListInterval = std::chrono::milliseconds(250);
    // Announcements beyond this many in one round are summed up, a line per kind.
    static constexpr std::size_t AnnouncementsListed = 10;
    // Packets dropped for flooding, without a pause, before the member is closed.
    static constexpr std::size_t FloodDropsToClose = 50;

    // The room of this server alone.
    ChatRoom(const RoomOptions& options, std::ostream& log);
    // The room its link carries; the link outlives the room.
    ChatRoom(const RoomOptions& options, std::ostream& log, RoomLink& link);
    ChatRoom(const ChatRoom&) = delete;
    ChatRoom& operator=(const ChatRoom&) = delete;

    // The room counts the lines it relays, their time, and who leaves why into these (the
    // server's) rather than into its own.
    void CountInto(ServerCounters& serverCounters) { counters = &serverCounters; }

    // address: as the log shows it; ip: what bans are checked against. acceptedAt, when given,
    // is when the connection was accepted: its time to choose a nickname counts from then, so
    // that what it waited for before joining (its first byte, its TLS handshake) is not given
    // again.
    MemberId Join(ChatParticipant& participant, const std::string& address, Clock::time_point now,
                  const asio::ip::address& ip = {},
                  std::optional<Clock::time_point> acceptedAt = std::nullopt);
    // One packet the member sent. A packet that waited unread because the server was reading
    // from nobody is handled with the time it has waited since (see TokenBucket); otherwise
    // unreadSince is now.
    Input Handle(MemberId id, oNet::Packet& packet, Clock::time_point now,
                 Clock::time_point unreadSince);
    Input Handle(MemberId id, oNet::Packet& packet, Clock::time_point now)
    {
        return Handle(id, packet, now, now);
    }
    // The member's connection has ended or is being closed by the server: it leaves the room.
    // Its leaving is announced as "NAME left." or, given a note, "NAME left (note).".
    void Leave(MemberId id, const Departure& departure, const std::string& note = "");
    // Closes members that stayed unnamed too long, and sends what was collected for the list.
    // While the server reads from nobody, nobody's time to choose a nickname runs.
    void Tick(Clock::time_point now, bool readingWaits = false);

    bool IsMember(MemberId id) const { return members.count(id) != 0; }
    // This server's connections in the room, named or not.
    std::size_t MemberCount() const { return members.size(); }
    // Named members in the whole room.
    std::size_t NamedCount() const { return names.size(); }
    // Named members connected to this server (those whose join has come back).
    std::size_t LocalNamedCount() const;

    // The frame of a server line, "[HH:MM:SS] [SERVER]: " + text, in local time.
    static Frame ServerLine(const std::string& text);
    // The frame of a member's chat line.
    static Frame LineFrame(const std::string& line);

    // How a server of the room ended without its members leaving one by one.
    enum class ServerEnd
    {
        ShutDown,  // it said goodbye
        Lost,      // it was killed, or lost: another server announces its members gone
        Restarted, // it was killed and has started again: its new run announces them
    };
    // The Left event of a member whose server ended so, as the room tells it.
    static RoomEvent LeftWithServer(const MemberRef& member, const std::string& name,
                                    ServerEnd end);

    // Whether the room is shared with other servers (through its link).
    bool Shared() const { return !link.Node().empty(); }

    // Told of every ban and unban the room applies, from this server or another (event.origin).
    void OnBans(std::function<void(const RoomEvent&)> observer)
    {
        banObserver = std::move(observer);
    }

    // For the operator.
    struct MemberView
    {
        std::string nickname; // empty while unnamed
        std::string address;
        Clock::duration connected;
        std::uint64_t lines; // lines said, counted on the member's own server only
        std::string node;    // the server it is connected to (empty: the room is this server)
        bool here = true;    // connected to this server
    };
    // Everyone in the room and every connection of this server: the named in the order of the
    // users list, then this server's unnamed.
    std::vector<MemberView> Who(Clock::time_point now) const;
    // A server line to every member of the room.
    void Say(const std::string& text);
    // The nickname as the member has it, or empty when nobody in the room has it (in any case).
    std::string NameLike(const std::string& name) const;
    std::optional<asio::ip::address> AddressOf(const std::string& name) const;
    // Removes the member named (any case), on whichever server of the room it is, or this
    // server's members whose address is in the network: each is told `told` and closed, and the
    // room hears it leave with the note. Returns who goes, as the log shows them.
    std::vector<std::string> Remove(const std::string& name, const std::string& told,
                                    const std::string& note, const Departure& departure);
    std::vector<std::string> Remove(const IpNetwork& network, const std::string& told,
                                    const std::string& note, const Departure& departure);
    // Empty when the room can carry a removal with these words to every server (kick and ban
    // alike); otherwise why not, for the operator.
    std::string RemovalProblem(const std::string& told, const std::string& note,
                               const Departure& departure) const;
    // Bans the network in the whole room: every server removes its members from there (as
    // Remove does) and keeps the ban (until: when it ends, in Unix time; none: until lifted; the
    // departure's detail is its reason). Returns who goes, the named of the whole room and this
    // server's unnamed.
    std::vector<std::string> Ban(const IpNetwork& network, std::optional<std::int64_t> until,
                                 const std::string& told, const std::string& note,
                                 const Departure& departure);
    // Lifts the ban on the network in the whole room.
    void Unban(const IpNetwork& network);
    // The same, with what the log says as one text ("kicked by the operator: spamming").
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

    // A connection of this server.
    struct Member
    {
        Member(ChatParticipant& participant, std::string address, const RoomOptions& options,
               Clock::time_point now, const asio::ip::address& ip);

        ChatParticipant* participant;
        std::string address;
        asio::ip::address ip;
        Clock::time_point joined;
        std::uint64_t linesSaid = 0;
        std::string nickname;   // the name it holds in the room; empty until named
        std::string claiming;   // a name asked of the link and not yet answered
        bool inputHeld = false; // its packets wait for that answer
        bool inRoom = false;    // its join has come back: it hears the room
        TokenBucket lines;
        std::size_t floodDrops = 0;
        std::uint64_t joinedAfter = 0; // the last announcement made before its join
        std::uint64_t listSeen = 0;    // the version of the users-online list it has

        std::string Label() const
        {
            return nickname.empty() ? address : address + " (" + nickname + ")";
        }
    };

    // A named member anywhere in the room.
    struct Listed
    {
        std::string name;
        std::string address;
        asio::ip::address ip;
        std::int64_t since = 0;
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

    // RoomLink::Listener
    void Apply(RoomEvent& event) override;
    void Claimed(MemberId id, const std::string& name, bool granted) override;
    void NameLost(MemberId id, const std::string& name) override;

    void ApplyJoined(const RoomEvent& event);
    void ApplyRenamed(const RoomEvent& event);
    void ApplyLeft(const RoomEvent& event);
    // This server's members from the network go, the named first by name, then the unnamed.
    void RemoveFrom(const IpNetwork& network, const std::string& told, const std::string& note,
                    const Departure& departure);
    // This server's member the reference names, or null.
    Member* Local(const MemberRef& ref);
    MemberRef RefOf(MemberId id) const { return {link.Node(), id}; }
    RoomEvent EventAbout(RoomEvent::Kind kind, MemberId id, const std::string& name) const;

    bool WithinRate(MemberId id, Member& member, Clock::time_point now,
                    Clock::time_point unreadSince);
    Input HandleNickname(MemberId id, Member& member, const std::string& name);
    // readAt: when the line was read, which the time of its broadcast is counted from.
    void HandleChatLine(MemberId id, Member& member, const std::string& line,
                        const oNet::Packet& packet, Clock::time_point readAt);
    void Rename(MemberId id, Member& member, const std::string& name);
    void Announce(Change change, MemberId actor, const std::string& text);
    void SendAnnouncements();
    // To every member of the room on this server, after the announcements that came before it.
    void DeliverToRoom(const Frame& frame);
    // The member of the room with this nickname in any case, or null.
    const MemberRef* ListedAs(const std::string& name) const;
    std::vector<Frame> Summary(MemberId id, std::uint64_t joinedAfter) const;
    void BroadcastUsersOnline();
    Frame UsersOnline() const;
    void Close(MemberId id, const Departure& departure);
    void RemoveMember(MemberId id, const std::string& told, const std::string& note,
                      const Departure& departure);

    const RoomOptions options;
    std::ostream& log;
    std::unique_ptr<LocalLink> ownLink; // for a room of this server alone
    RoomLink& link;
    std::unordered_map<MemberId, Member> members;
    std::map<MemberRef, Listed> listed;     // every named member of the room
    std::set<std::string, NameOrder> names; // their nicknames, as listed
    // Registration deadlines, on a clock that stops while the server reads from nobody.
    std::deque<std::pair<Clock::duration, MemberId>> unnamed;
    Clock::duration readingTime{};
    Clock::time_point lastTick;
    bool firstTick = true;
    std::vector<Announcement> announcements;
    std::uint64_t announcementCount = 0;
    std::uint64_t listVersion = 0;
    bool listChanged = false;
    Clock::time_point listSent;
    MemberId nextId;
    std::function<void(const RoomEvent&)> banObserver;
    ServerCounters ownCounters;
    ServerCounters* counters = &ownCounters;
    // While this server's own line is published: when it was read. A line the link hands back
    // later (or from another server) is timed from when it comes back.
    std::optional<Clock::time_point> lineReadAt;
};
