#pragma once

#include "server/link/KnownMembers.h"
#include "server/link/Outbox.h"
#include "server/link/RedisConnection.h"
#include "server/link/RedisLink.h"
#include "server/link/RoomEventCodec.h"
#include "server/link/SeenEntries.h"
#include "server/room/ChatRoom.h"
#include "server/room/RecentLines.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// The room kept in Redis, with these keys under the room's name R:
//
//   R:stream          the room's one stream: every event, in the room's one order (XADD, trimmed
//                     to about the stream length), read by every server with a plain XREAD BLOCK
//                     from the last entry it read, on a connection of its own
//   R:epoch           a random word set once: a Redis that lost its data (restarted empty) has
//                     another, or none, and its stream's entries count anew
//   R:nodes           the servers of the room
//   R:alive:NODE      this run of the server, expiring unless renewed every HeartbeatTime
//   R:members:NODE    the server's named members: number -> what its join said
//   R:name:FOLDED     who holds the nickname (any letter case): "NODE\nNUMBER", set only if unset
//   R:names:NODE      the nicknames the server holds, freed by whoever finds the server gone
//   R:reap:NODE       taken (if free) by the one server that announces a lost server's members
//   R:bans            the room's bans: network -> "UNTIL REASON", read by a server at its start
//
// Each server applies every entry of the stream to its own members, its own events included,
// and knows an entry it has read before (written again after Redis lost its data) by the run of
// the server that wrote it and its number there. When Redis goes away, the server holds its
// members' input, keeps what it has decided but Redis has not shown back, reconnects with
// backoff, and writes that again; an entry the server cannot read is logged and skipped.
class RedisRoomLink final : public RedisLink
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr auto AliveTime = std::chrono::seconds(10);
    static constexpr auto HeartbeatTime = std::chrono::seconds(2);
    static constexpr auto StartTime = std::chrono::seconds(8);
    static constexpr auto GoodbyeTime = std::chrono::seconds(3);
    static constexpr auto ReleaseTime = std::chrono::seconds(1);
    static constexpr auto ReadBlock = std::chrono::seconds(2);
    static constexpr std::size_t EntriesPerRead = 200;
    static constexpr std::size_t ReadBytes = 1 << 20;
    static constexpr std::size_t HistoryPage = 200;
    // Reconnecting waits FirstRetry, then twice as long each time up to LongestRetry; lost again
    // within SteadyTime of coming back, it goes on from the wait it had reached.
    static constexpr auto FirstRetry = std::chrono::milliseconds(250);
    static constexpr auto LongestRetry = std::chrono::seconds(5);
    static constexpr auto SteadyTime = std::chrono::seconds(10);

    RedisRoomLink(asio::io_context& io, RedisRoomOptions options, std::ostream& log);
    ~RedisRoomLink() override;

    void Attach(Listener& listener) override { this->listener = &listener; }
    const std::string& Node() const override { return options.node; }
    MemberId FirstMemberId() const override { return firstMemberId; }
    void Publish(RoomEvent event) override;
    std::string Problem(const RoomEvent& event) const override;
    void Claim(MemberId id, const std::string& name) override;
    void Release(MemberId id, const std::string& name) override;
    const std::deque<Frame>& History() const override { return history.Frames(); }

    void Start(std::function<void(const std::string& error)> done) override;
    void Stop(std::function<void()> done) override;
    void OnAvailable(std::function<void(bool)> changed) override
    {
        availability = std::move(changed);
    }
    void OnEnded(std::function<void(const std::string&)> then) override { ended = std::move(then); }
    void Read(bool read) override;
    std::set<std::string> BannedNetworks() const override;
    LinkFigures Figures() const override;

private:
    using Words = std::vector<std::string>;
    using Reply = const redisReply*;

    std::string Key(const std::string& what) const { return options.room + ":" + what; }
    std::string Holder(const MemberRef& member) const
    {
        return member.node + "\n" + std::to_string(member.id);
    }

    // Each step of joining (again) carries the generation of the connections it began on, and
    // ends quietly when they have been replaced since.
    void Connect();
    void Lost(std::uint64_t when, const std::string& why);
    void FailStart(const std::string& why);
    void Register(std::uint64_t now);
    void CheckVersion(std::uint64_t now);
    void CheckNode(std::uint64_t now);
    void ReapOwnLeftovers(std::uint64_t now);
    void ReadPosition(std::uint64_t now);
    void ReadHistory(std::uint64_t now, const std::string& before, std::size_t scanned);
    void ReadMembers(std::uint64_t now, std::function<void()> then);
    void ReadBans(std::uint64_t now);
    void RegisterAgain(std::uint64_t now, bool expired, std::function<void()> then);
    void Up(std::uint64_t now);
    void Resend(bool everything);

    void ReadNext();
    // False when the stream went back: reading stops until the room is joined again.
    bool CountGap(Reply info);
    void LostData(const std::string& what, const std::string& from, std::uint64_t entries);
    void TakeEntries(Reply reply);
    void Deliver(RoomEventCodec::Entry& entry);
    void SeenBack(std::uint64_t number);
    void Available();
    // Hands an event to the room, keeping this server's list of the room's members.
    // at: the stream's entry it came with, or where the stream stood when it was read.
    void ApplyHere(RoomEvent& event, const std::string& at);
    void CompareMembers(const std::string& at, Reply snapshot);
    void Heartbeat();
    void Reap(const std::string& node);
    void ReapMembers(const std::string& node, Reply members, ChatRoom::ServerEnd end);
    void ForgetNode(const std::string& node);
    void FinishStop();
    // What happens to this server's members when it could not say goodbye.
    std::string GoneLater() const;
    Words KeepAliveCommand() const;
    bool KeptAlive(Reply reply);
    void End(const std::string& why);

    // A command of the room's bookkeeping, written again after a reconnection until Redis has
    // taken it.
    void Keep(Words command);
    void SendKept(std::uint64_t id);
    void SendClaim(MemberId id, const std::string& name);
    Words ClaimCommand(const MemberRef& member, const std::string& name) const;
    void SendEntry(const Outbox::Entry& entry);
    void FreeName(const MemberRef& member, const std::string& name);
    void Forget(const MemberRef& member);

    const RedisRoomOptions options;
    std::ostream& log;
    RedisConnection commands;
    RedisConnection reader;
    Listener* listener = nullptr;
    const std::string run;
    const MemberId firstMemberId;

    std::uint64_t generation = 0; // of the connections: answers to older ones are dropped
    bool started = false;
    bool nodeHeld = false; // this run took the node's key at its start
    bool failing = false;  // the start failed, and gives the node's key back
    bool up = false;       // registered on the current connections
    bool steady = false;   // and Redis took what was written again: the room takes events
    bool stopping = false;
    bool reading = true;
    bool readPending = false;
    bool caughtUp = false; // the last read found nothing more: the next one may wait
    bool lostData = false;
    bool available = false; // what the server was last told
    std::function<void(const std::string&)> startDone;
    std::function<void()> stopDone;
    std::function<void(bool)> availability;
    std::function<void(const std::string&)> ended;
    Clock::time_point lostAt;
    Clock::time_point steadyAt;
    Clock::duration backoff{};
    asio::steady_timer retryTimer;
    asio::steady_timer heartbeatTimer;
    asio::steady_timer startTimer;
    asio::steady_timer resyncTimer;

    std::string epoch;
    std::string lastId = "0-0";    // the last entry of the stream read
    std::uint64_t entriesSeen = 0; // entries of the stream up to it
    std::size_t entriesPerRead = EntriesPerRead;
    std::uint64_t entriesAdded = 0; // entries ever added, when the stream was last counted
    std::uint64_t reconnects = 0;
    std::uint64_t gaps = 0;
    RecentLines history;
    std::vector<Frame> historyScan; // newest first, while it is read at the start
    SeenEntries seen;
    KnownMembers knownMembers;         // the room's named members, as this server read of them
    std::map<MemberId, RoomEvent> own; // this server's named members: their join, as renamed
    std::map<std::string, std::string> bans; // the room's bans: network -> as R:bans keeps it

    Outbox outbox;
    std::map<MemberId, std::string> claims;
    std::uint64_t nextKept = 1;
    std::map<std::uint64_t, Words> kept;
};
