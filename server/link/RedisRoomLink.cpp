#include "server/link/RedisRoomLink.h"

#include "common/NicknameRule.h"
#include "server/link/RedisReply.h"
#include "server/link/RedisVersion.h"
#include "server/link/RoomScripts.h"
#include "server/room/ChatRoom.h"
#include "server/room/ServerLog.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <memory>
#include <random>
#include <set>
#include <sstream>

namespace
{

using namespace RedisReply;
using namespace RoomScripts;
using Kind = RoomEvent::Kind;

std::string RandomWord()
{
    std::random_device device;
    std::mt19937_64 generator((std::uint64_t{device()} << 32) ^ device() ^
                              static_cast<std::uint64_t>(std::time(nullptr)));
    std::ostringstream word;
    word << std::hex << std::setw(16) << std::setfill('0') << generator();
    return word.str();
}

} // namespace

RedisRoomLink::RedisRoomLink(asio::io_context& io, RedisRoomOptions options, std::ostream& log)
    : options(std::move(options)), log(log),
      commands(io, this->options.address, this->options.password),
      reader(io, this->options.address, this->options.password), run(RandomWord()),
      // Numbers of their own for this run's members: 2^30 of them, at a random place.
      firstMemberId((std::uint64_t{std::random_device()()} | 1) << 30), retryTimer(io),
      heartbeatTimer(io), startTimer(io), resyncTimer(io), history(this->options.history)
{
}

RedisRoomLink::~RedisRoomLink() = default;

// ---------------------------------------------------------------------------------------------
// Joining the room, and joining it again after Redis was away.

void RedisRoomLink::Start(std::function<void(const std::string& error)> done)
{
    startDone = std::move(done);
    startTimer.expires_after(StartTime);
    startTimer.async_wait([this](const asio::error_code& error) {
        if (!error && !started)
            FailStart("Redis did not answer within " +
                      std::to_string(std::chrono::seconds(StartTime).count()) + " s");
    });
    Connect();
}

void RedisRoomLink::FailStart(const std::string& why)
{
    if (started || !startDone || failing)
        return;
    failing = true;
    ++generation; // whatever else answers is dropped
    startTimer.cancel();
    const auto finish = [this, why] {
        if (!startDone)
            return;
        startTimer.cancel();
        commands.Drop(why);
        reader.Drop(why);
        const auto done = std::move(startDone);
        startDone = nullptr;
        done("the room in Redis at " + options.address.ToString() + ": " + why);
    };
    if (!nodeHeld || !commands.Ready())
    {
        finish();
        return;
    }
    // The node's key this run took goes with it, so that the node may start again at once
    // (what it found of an earlier run stays for that start, or for the others to announce).
    commands.Command({"EVAL", ReleaseNode, "1", Key("alive:" + options.node), run},
                     [finish](Reply) { finish(); });
    startTimer.expires_after(ReleaseTime);
    startTimer.async_wait([finish](const asio::error_code& error) {
        if (!error)
            finish();
    });
}

void RedisRoomLink::Connect()
{
    const std::uint64_t now = ++generation;
    readPending = false;
    auto ready = std::make_shared<int>(0);
    auto connected = [this, now, ready](const std::string& error) {
        if (now != generation)
            return;
        if (!error.empty())
            Lost(now, error);
        else if (++*ready == 2)
            Register(now);
    };
    auto lost = [this, now](const std::string& why) { Lost(now, why); };
    const auto time =
        std::chrono::duration_cast<std::chrono::milliseconds>(RedisConnection::CommandTime);
    commands.Connect(time, connected, lost);
    reader.Connect(time, connected, lost);
}

void RedisRoomLink::Lost(std::uint64_t when, const std::string& why)
{
    if (when != generation)
        return;
    ++generation; // whatever the old connections still answer is dropped
    readPending = false;
    heartbeatTimer.cancel();
    commands.Drop(why);
    reader.Drop(why);
    if (!started)
    {
        FailStart(why);
        return;
    }
    if (stopping)
    {
        if (stopDone)
            WriteLogLine(log, "lost Redis while saying goodbye (" + why + "): " + GoneLater());
        FinishStop();
        return;
    }
    up = false;
    // One outage is one line, however often the reconnection fails, or Redis takes the
    // connection but refuses what is written again.
    if (steady)
    {
        steady = false;
        lostAt = Clock::now();
        WriteLogLine(log, "lost Redis at " + options.address.ToString() + " (" + why +
                              "): the server reads from none of its members until it is back; "
                              "trying again");
        Available();
        // Steady for a while: a new outage starts from the shortest wait. Lost again soon
        // after it came back, the waits go on growing.
        if (Clock::now() - steadyAt > SteadyTime)
            backoff = {};
    }
    backoff = backoff == Clock::duration{} ? Clock::duration(FirstRetry)
                                           : std::min<Clock::duration>(backoff * 2, LongestRetry);
    retryTimer.expires_after(backoff);
    retryTimer.async_wait([this](const asio::error_code& error) {
        if (!error && !stopping)
            Connect();
    });
}

// The room's epoch first: unset, this is the room's first server (or Redis lost its data) and
// sets one; another than the one this server knows, Redis lost the room since.
void RedisRoomLink::Register(std::uint64_t now)
{
    commands.Command({"SET", Key("epoch"), RandomWord(), "NX"}, [this, now](Reply reply) {
        if (now == generation && reply && !HoldsValue(reply) && !IsString(reply))
            commands.Drop("Redis refused the room's epoch: " + Refusal(reply));
    });
    commands.Command({"GET", Key("epoch")}, [this, now](Reply reply) {
        if (now != generation || !reply)
            return;
        if (!IsString(reply))
        {
            Lost(now, IsNil(reply) ? "Redis keeps no epoch for the room (its keys were removed "
                                     "while this server registered)"
                                   : "Redis refused to give the room's epoch: " + Refusal(reply));
            return;
        }
        const std::string current = Text(reply);
        if (!started)
        {
            epoch = current;
            CheckVersion(now);
            return;
        }
        if (current != epoch)
        {
            epoch = current;
            LostData("Redis lost the room's data (it restarted empty, or the keys were removed)",
                     "0-0", 0);
        }
        RegisterAgain(now, false, [this, now] { Up(now); });
    });
}

// An older Redis lacks what the room relies on: refused at the start, in one line.
void RedisRoomLink::CheckVersion(std::uint64_t now)
{
    commands.Command({"INFO", "server"}, [this, now](Reply reply) {
        if (now != generation || !reply)
            return;
        const std::string problem = IsError(reply) ? "" : RedisVersion::Problem(Text(reply));
        if (!problem.empty())
            FailStart(problem);
        else
            CheckNode(now);
    });
}

// At its start, a server takes its node's key only if no other server holds it.
void RedisRoomLink::CheckNode(std::uint64_t now)
{
    const std::string ms = std::to_string(std::chrono::milliseconds(AliveTime).count());
    commands.Command(
        {"SET", Key("alive:" + options.node), run, "NX", "PX", ms}, [this, now](Reply reply) {
            if (now != generation || !reply)
                return;
            if (IsError(reply))
                Lost(now, "Redis refused to answer: " + Text(reply));
            else if (IsNil(reply))
                FailStart("another server runs as the node " + options.node + " in the room " +
                          options.room +
                          ": give this one another --node (or, if that server "
                          "was killed, start again once its key has expired, "
                          "within " +
                          std::to_string(std::chrono::seconds(AliveTime).count()) + " s)");
            else
            {
                nodeHeld = true;
                ReapOwnLeftovers(now);
            }
        });
}

// Members an earlier run of this node left behind (it was killed, and nobody has announced
// them gone yet) leave now.
void RedisRoomLink::ReapOwnLeftovers(std::uint64_t now)
{
    commands.Command({"SADD", Key("nodes"), options.node}, [this, now](Reply reply) {
        if (now == generation && reply && !IsInteger(reply))
            FailStart("Redis refused this server's place among the nodes: " + Refusal(reply));
    });
    commands.Command({"HGETALL", Key("members:" + options.node)}, [this, now](Reply reply) {
        if (now != generation || !reply)
            return;
        ReapMembers(options.node, reply, ChatRoom::ServerEnd::Restarted);
        ForgetNode(options.node); // its names only: this run holds the node's key
        ReadPosition(now);
    });
}

// Where this server starts reading: after the stream's last entry as it is now.
void RedisRoomLink::ReadPosition(std::uint64_t now)
{
    commands.Command({"XINFO", "STREAM", Key("stream")}, [this, now](Reply reply) {
        if (now != generation || !reply)
            return;
        // No stream yet is an empty room; any other refusal ends the start.
        if (IsError(reply) && Text(reply).rfind("ERR no such key", 0) != 0)
        {
            FailStart("Redis refused to describe the room's stream: " + Refusal(reply));
            return;
        }
        if (!IsError(reply))
        {
            const StreamInfo info = InfoOf(reply);
            if (!info.lastId.empty())
                lastId = info.lastId;
            if (info.counted)
                entriesSeen = info.entriesAdded;
        }
        historyScan.clear();
        ReadHistory(now, lastId, 0);
    });
}

// The latest lines, from the newest backwards, a page at a time.
void RedisRoomLink::ReadHistory(std::uint64_t now, const std::string& before, std::size_t scanned)
{
    if (options.history == 0 || lastId == "0-0" || historyScan.size() >= options.history ||
        scanned > options.streamLength)
    {
        for (auto line = historyScan.rbegin(); line != historyScan.rend(); ++line)
            history.Add(*line);
        historyScan.clear();
        ReadMembers(now, [this, now] { ReadBans(now); });
        return;
    }
    commands.Command(
        {"XREVRANGE", Key("stream"), before, "-", "COUNT", std::to_string(HistoryPage)},
        [this, now, scanned](Reply reply) {
            if (now != generation || !reply)
                return;
            std::string oldest;
            std::size_t count = 0;
            if (reply->type == REDIS_REPLY_ARRAY)
            {
                count = reply->elements;
                for (std::size_t i = 0; i < reply->elements; ++i)
                {
                    std::string id, problem;
                    RoomEventCodec::FieldViews fields;
                    RoomEventCodec::Entry entry;
                    if (!EntryOf(reply->element[i], id, fields))
                        continue;
                    oldest = id;
                    if (RoomEventCodec::Decode(fields, entry, problem) &&
                        entry.event.kind == Kind::Line && historyScan.size() < options.history)
                        historyScan.push_back(ChatRoom::LineFrame(entry.event.text));
                }
            }
            // A short page is the stream's beginning.
            ReadHistory(now, "(" + oldest,
                        count < HistoryPage || oldest.empty() ? options.streamLength + 1
                                                              : scanned + count);
        });
}

// The room's named members as the servers' lists have them, against those this server knows,
// with where the stream stood then (read in one script: nothing comes between). Who is missing
// joins, who is gone leaves, a name that changed changes, each only where the lists are newer
// than what this server read of the member: the reader may be before or after that place.
void RedisRoomLink::ReadMembers(std::uint64_t now, std::function<void()> then)
{
    commands.Command({"EVAL", MembersSnapshot, "2", Key("stream"), Key("nodes"), Key("members:")},
                     [this, now, then](Reply reply) {
                         if (now != generation || !reply)
                             return;
                         if (!IsArray(reply) || reply->elements % 2 != 1 ||
                             !IsString(reply->element[0]))
                         {
                             commands.Drop("Redis refused the room's members: " + Refusal(reply));
                             return;
                         }
                         CompareMembers(Text(reply->element[0]), reply);
                         then();
                     });
}

void RedisRoomLink::CompareMembers(const std::string& at, Reply snapshot)
{
    std::map<MemberRef, RoomEvent> listed;
    for (std::size_t i = 1; i + 1 < snapshot->elements; i += 2)
    {
        const std::string node = Text(snapshot->element[i]);
        if (node == options.node || !RoomEventCodec::NodeProblem(node).empty())
            continue;
        for (const auto& entry : Pairs(snapshot->element[i + 1]))
        {
            RoomEvent joined;
            std::string problem;
            if (RoomEventCodec::DecodeMember(node, entry.first, Text(entry.second), joined,
                                             problem))
                listed[joined.member] = joined;
            else
                WriteLogLine(log, "skipped a member of " + node + " in Redis: " + problem);
        }
    }
    for (RoomEvent& event : knownMembers.Differences(listed, at, options.node))
        ApplyHere(event, at);
}

// The bans the room keeps, for this server to hold too (those ended are left to end).
void RedisRoomLink::ReadBans(std::uint64_t now)
{
    commands.Command({"HGETALL", Key("bans")}, [this, now](Reply reply) {
        if (now != generation || !reply)
            return;
        const auto wallNow = static_cast<std::int64_t>(std::time(nullptr));
        for (const auto& entry : Pairs(reply))
        {
            RoomEvent banned;
            std::string problem;
            if (!RoomEventCodec::DecodeBan(entry.first, Text(entry.second), banned, problem))
            {
                WriteLogLine(log, "skipped a ban of the room in Redis: " + problem);
                continue;
            }
            if (!banned.until || *banned.until > wallNow)
                ApplyHere(banned, lastId);
        }
        Up(now);
    });
}

// After Redis was away: this server's key, its place among the nodes, its members' list and
// their names as they were. Servers that took its members for lost (its list is gone, or its key
// had expired) hear them join again. Whatever Redis refuses ends the attempt, to be tried again.
void RedisRoomLink::RegisterAgain(std::uint64_t now, bool expired, std::function<void()> then)
{
    const std::string members = Key("members:" + options.node);
    // Found expired here too (Redis was lost for longer than the key lives), the others may
    // have taken this server's members for gone.
    auto keyExpired = std::make_shared<bool>(expired);
    const auto refusedUnless = [this, now](bool (*fine)(Reply), const std::string& what) {
        return [this, now, fine, what](Reply reply) {
            if (now == generation && reply && !fine(reply))
                commands.Drop("Redis refused " + what + ": " + Refusal(reply));
        };
    };
    commands.Command(KeepAliveCommand(), [this, now, keyExpired](Reply reply) {
        if (now == generation && reply && KeptAlive(reply) && Text(reply) == "expired")
            *keyExpired = true;
    });
    commands.Command({"SADD", Key("nodes"), options.node},
                     refusedUnless(IsInteger, "this server's place among the nodes"));
    if (lostData && !bans.empty())
    {
        // The room's bans, as this server knew them.
        Words list = {"HSET", Key("bans")};
        for (const auto& ban : bans)
        {
            list.push_back(ban.first);
            list.push_back(ban.second);
        }
        commands.Command(list, refusedUnless(IsInteger, "the room's bans"));
    }
    commands.Command({"EXISTS", members}, [this, now, members, keyExpired, then,
                                           refusedUnless](Reply reply) {
        if (now != generation || !reply)
            return;
        const bool listed = reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
        // The list anew in one step: refused, the old one stays.
        commands.Command({"MULTI"}, [](Reply) {});
        commands.Command({"DEL", members}, [](Reply) {});
        if (!own.empty())
        {
            Words list = {"HSET", members};
            for (const auto& entry : own)
            {
                list.push_back(std::to_string(entry.first));
                list.push_back(RoomEventCodec::EncodeMember(entry.second));
            }
            commands.Command(list, [](Reply) {});
        }
        commands.Command({"EXEC"}, refusedUnless(IsArray, "this server's list of members"));
        for (const auto& entry : own)
        {
            const RoomEvent joined = entry.second;
            commands.Command(ClaimCommand(joined.member, joined.name), [this, now,
                                                                        joined](Reply held) {
                if (now != generation || !held || IsNil(held) ||
                    Text(held) == Holder(joined.member))
                    return;
                if (!HoldsValue(held))
                {
                    // Not an answer about the name: the attempt fails and is made again.
                    commands.Drop("Redis refused " + joined.name + "'s nickname: " + Refusal(held));
                    return;
                }
                // Someone took the name while this server was away: the member must go.
                WriteLogLine(log, joined.name + " lost the nickname to " +
                                      Text(held).substr(0, Text(held).find('\n')) +
                                      " while this server was away from the room");
                if (listener)
                    listener->NameLost(joined.member.id, joined.name);
            });
        }
        if ((!listed || *keyExpired) && !own.empty())
        {
            // The room took this server's members for gone: they join again.
            std::vector<RoomEvent> again;
            for (const auto& entry : own)
                again.push_back(entry.second);
            for (RoomEvent& joined : again)
                Publish(joined);
        }
        commands.Command({"PING"}, [this, now, then](Reply done) {
            if (now == generation && done)
                then();
        });
    });
}

void RedisRoomLink::Up(std::uint64_t now)
{
    if (now != generation)
        return;
    up = true;
    Resend(lostData);
    lostData = false;
    caughtUp = false;
    heartbeatTimer.expires_after(HeartbeatTime);
    heartbeatTimer.async_wait([this](const asio::error_code& error) {
        if (!error)
            Heartbeat();
    });
    ReadNext();
    if (!started)
    {
        started = true;
        steady = true;
        steadyAt = Clock::now();
        available = true;
        startTimer.cancel();
        WriteLogLine(log, "joined the room " + options.room + " in Redis at " +
                              options.address.ToString() + " as the node " + options.node + ": " +
                              Plural(knownMembers.Count(), "member", "members") + " on " +
                              Plural(knownMembers.Nodes().size(), "other server", "other servers") +
                              ", " + Plural(history.Frames().size(), "line", "lines") +
                              " of history");
        const auto done = std::move(startDone);
        startDone = nullptr;
        done("");
        return;
    }
    // Back only once Redis has taken what was written again: one that takes the connection but
    // refuses writes (out of memory, read-only) drops it again first, and the outage goes on.
    commands.Command({"PING"}, [this, now](Reply reply) {
        if (now != generation || !reply || steady)
            return;
        steady = true;
        steadyAt = Clock::now();
        ++reconnects;
        const auto away = std::chrono::duration<double>(steadyAt - lostAt).count();
        std::ostringstream seconds;
        seconds << std::fixed << std::setprecision(1) << away;
        WriteLogLine(log, "back in the room " + options.room + " at " + options.address.ToString() +
                              " after " + seconds.str() + " s");
        Available();
    });
}

// What Redis may not have taken, in the order it was decided: entries not yet shown back (or,
// after Redis lost its data, every one kept), the room's bookkeeping, open claims.
void RedisRoomLink::Resend(bool everything)
{
    outbox.Resend(everything, lostAt, [this](const Outbox::Entry& entry) { SendEntry(entry); });
    for (const auto& command : kept)
        SendKept(command.first);
    for (const auto& claim : claims)
        SendClaim(claim.first, claim.second);
}

// ---------------------------------------------------------------------------------------------
// Reading the stream.

void RedisRoomLink::Read(bool read)
{
    if (read == reading)
        return;
    reading = read;
    if (reading)
    {
        caughtUp = false; // what came meanwhile may have been trimmed
        ReadNext();
    }
}

// Reading from the last entry read skips, without a word, whatever has been trimmed after it.
// So unless this server has just found nothing more to read, it reads together with the
// stream's counts, in one transaction: a gap shows, and is counted. Once it has read all there
// is, it waits with XREAD BLOCK, which Redis answers as each entry comes, before any trimming
// can reach it.
void RedisRoomLink::ReadNext()
{
    if (!up || !reading || readPending || stopping)
        return;
    readPending = true;
    const std::uint64_t now = generation;
    const Words read = {"XREAD",   "COUNT",       std::to_string(entriesPerRead),
                        "STREAMS", Key("stream"), lastId};
    if (caughtUp)
    {
        Words block = read;
        block.insert(block.begin() + 3,
                     {"BLOCK", std::to_string(std::chrono::milliseconds(ReadBlock).count())});
        reader.Command(
            block,
            [this, now](Reply reply) {
                if (now != generation)
                    return;
                readPending = false;
                if (!reply)
                    return;
                if (IsError(reply))
                {
                    reader.Drop("Redis refused to give the room's stream: " + Text(reply));
                    return;
                }
                if (!IsNil(reply))
                    caughtUp = false;
                TakeEntries(reply);
                ReadNext();
            },
            ReadBlock + RedisConnection::CommandTime);
        return;
    }
    reader.Command({"MULTI"}, [](Reply) {});
    reader.Command({"XINFO", "STREAM", Key("stream")}, [](Reply) {});
    reader.Command(read, [](Reply) {});
    reader.Command({"EXEC"}, [this, now](Reply reply) {
        if (now != generation)
            return;
        readPending = false;
        if (!reply)
            return;
        if (!IsArray(reply, 2))
        {
            reader.Drop("Redis refused to give the room's stream: " + Text(reply));
            return;
        }
        const Reply entries = reply->element[1];
        if (IsError(entries))
        {
            reader.Drop("Redis refused to give the room's stream: " + Text(entries));
            return;
        }
        if (!CountGap(reply->element[0]))
            return;
        caughtUp = IsNil(entries);
        TakeEntries(entries);
        ReadNext();
    });
}

std::set<std::string> RedisRoomLink::BannedNetworks() const
{
    std::set<std::string> networks;
    for (const auto& ban : bans)
        networks.insert(ban.first);
    return networks;
}

LinkFigures RedisRoomLink::Figures() const
{
    // Counted at the last read that was not waiting for the stream to grow; caught up since, if
    // it waits.
    const std::uint64_t lag =
        caughtUp || entriesAdded <= entriesSeen ? 0 : entriesAdded - entriesSeen;
    return {up && steady, lag, reconnects, gaps};
}

// Entries trimmed before this server read them are gone for it: the stream's count of entries
// ever added says how many, and the list of members is read again.
// Redis lost what it had taken since some moment (it restarted from an older save, or lost its
// last second of writes): the room's stream reads on from where it stands now, this server
// registers its members again, and writes again what it wrote lately.
void RedisRoomLink::LostData(const std::string& what, const std::string& from,
                             std::uint64_t entries)
{
    WriteLogLine(log, what + ": this server registers its " +
                          Plural(own.size(), "member", "members") +
                          " again and writes its latest events again");
    lastId = from;
    entriesSeen = entries;
    lostData = true;
    // Servers that ended while Redis was away never register again: once the others have,
    // whoever is not registered has gone.
    resyncTimer.expires_after(AliveTime + 2 * HeartbeatTime);
    resyncTimer.async_wait([this](const asio::error_code& error) {
        if (!error && up)
            ReadMembers(generation, [] {});
    });
}

bool RedisRoomLink::CountGap(Reply info)
{
    if (IsError(info))
        return true; // no stream yet
    const StreamInfo stream = InfoOf(info);
    if (!stream.counted)
        return true;
    // A stream that went back: entries added after where it now ends would be passed over.
    if ((!stream.lastId.empty() && IdOf(stream.lastId) < IdOf(lastId)) ||
        stream.entriesAdded < entriesSeen)
    {
        LostData("Redis went back to an earlier state of the room (restarted from an older "
                 "save, or lost its last writes)",
                 stream.lastId.empty() ? "0-0" : stream.lastId, stream.entriesAdded);
        Lost(generation, "Redis went back to an earlier state of the room");
        return false;
    }
    // Every entry up to the last one read has been counted; what the stream no longer holds of
    // those after it was trimmed (or deleted) unread.
    const std::uint64_t total = stream.entriesAdded;
    const std::uint64_t kept = stream.length;
    entriesAdded = total;
    if (total <= kept + entriesSeen || (kept > 0 && IdOf(stream.firstId) <= IdOf(lastId)))
        return true;
    ++gaps;
    const std::uint64_t missed = total - kept - entriesSeen;
    entriesSeen = total - kept;
    WriteLogLine(log, "missed " + Plural(missed, "entry", "entries") +
                          " of the room's stream: they were trimmed before this server read them "
                          "(it was away or behind for long); it reads the room's list of members "
                          "again");
    ReadMembers(generation, [] {});
    return true;
}

void RedisRoomLink::TakeEntries(Reply reply)
{
    const Reply entries = StreamEntries(reply);
    if (!entries)
        return;
    std::string id, problem;
    RoomEventCodec::FieldViews fields;
    RoomEventCodec::Entry entry;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < entries->elements && !stopping; ++i)
    {
        if (!EntryOf(entries->element[i], id, fields))
        {
            WriteLogLine(log, "skipped an entry of the room's stream: it is no entry of fields");
            continue;
        }
        for (const auto& field : fields)
            bytes += field.first.size() + field.second.size();
        lastId = id;
        ++entriesSeen;
        if (!RoomEventCodec::Decode(fields, entry, problem))
        {
            WriteLogLine(log, "skipped the entry " + id + " of the room's stream: " + problem);
            continue;
        }
        Deliver(entry);
    }
    // Others may write large entries: the next read asks for fewer while replies run large, so
    // that one reply stays about ReadBytes.
    if (bytes > ReadBytes)
        entriesPerRead = std::max<std::size_t>(1, entriesPerRead / 4);
    else if (bytes < ReadBytes / 4)
        entriesPerRead = std::min(EntriesPerRead, entriesPerRead * 2);
}

void RedisRoomLink::Deliver(RoomEventCodec::Entry& entry)
{
    if (!seen.Add(entry.event.origin, entry.run, entry.number))
        return; // read before: written again after Redis lost its data
    if (entry.event.origin == options.node && entry.run == run)
        SeenBack(entry.number);
    ApplyHere(entry.event, lastId);
    if (entry.event.kind == Kind::Line)
        history.Add(entry.event.frame);
}

// One of this server's own entries has come back.
void RedisRoomLink::SeenBack(std::uint64_t number)
{
    outbox.SeenBack(number, Clock::now());
    Available();
}

// The room takes this server's events while Redis is there and the server has read back most of
// what it wrote: one that wrote on faster than it reads would see its own lines trimmed from the
// stream before it read them.
void RedisRoomLink::Available()
{
    const bool now = up && steady && !outbox.Ahead();
    if (now == available)
        return;
    available = now;
    if (availability)
        availability(available);
}

void RedisRoomLink::ApplyHere(RoomEvent& event, const std::string& at)
{
    knownMembers.Note(event, at);
    if (event.kind == Kind::Banned)
        bans[event.network.ToString()] = RoomEventCodec::EncodeBan(event);
    else if (event.kind == Kind::Unbanned)
        bans.erase(event.network.ToString());
    if (listener)
        listener->Apply(event);
}

// ---------------------------------------------------------------------------------------------
// Keeping alive, and noticing servers that are not.

void RedisRoomLink::Heartbeat()
{
    if (!up || stopping)
        return;
    const std::uint64_t now = generation;
    commands.Command(KeepAliveCommand(), [this, now](Reply reply) {
        if (now != generation || !reply || !KeptAlive(reply))
            return;
        if (Text(reply) != "expired")
            return;
        // The key had expired: this server was away for longer than it lives, and the others
        // may have taken its members for gone.
        WriteLogLine(log, "this server's key in Redis had expired (it was away from the room): "
                          "it registers its members again");
        RegisterAgain(now, true, [] {});
    });
    commands.Command({"GET", Key("epoch")}, [this, now](Reply reply) {
        if (now != generation || !reply || Text(reply) == epoch)
            return;
        Lost(now, IsError(reply) ? "Redis refused to give the room's epoch: " + Refusal(reply)
                                 : "the room's keys in Redis are gone");
    });
    commands.Command({"SMEMBERS", Key("nodes")}, [this, now](Reply reply) {
        if (now != generation || !reply || reply->type != REDIS_REPLY_ARRAY)
            return;
        for (std::size_t i = 0; i < reply->elements; ++i)
        {
            const std::string node = Text(reply->element[i]);
            if (node == options.node || !IsString(reply->element[i]))
                continue;
            commands.Command({"EXISTS", Key("alive:" + node)}, [this, now, node](Reply alive) {
                if (now == generation && alive && alive->type == REDIS_REPLY_INTEGER &&
                    alive->integer == 0)
                    Reap(node);
            });
        }
    });
    heartbeatTimer.expires_after(HeartbeatTime);
    heartbeatTimer.async_wait([this](const asio::error_code& error) {
        if (!error)
            Heartbeat();
    });
}

// A server whose key expired stopped without saying goodbye. One server of the room, the one
// that takes the node's reaping key, announces its members gone and frees their names. Whether
// the node is gone and what its list holds are read in one step; the node leaves the room (and
// its names are freed) after the members' entries, and only if it has not come back meanwhile.
void RedisRoomLink::Reap(const std::string& node)
{
    const std::uint64_t now = generation;
    const std::string lock = Key("reap:" + node);
    commands.Command({"SET", lock, run, "NX", "PX", "30000"}, [this, now, node, lock](Reply taken) {
        if (now != generation || !taken || !IsString(taken))
            return; // another server does it
        commands.Command({"EVAL", MembersOfGone, "2", Key("alive:" + node), Key("members:" + node)},
                         [this, now, node, lock](Reply members) {
                             if (now != generation || !members)
                                 return;
                             if (IsArray(members))
                             {
                                 ReapMembers(node, members, ChatRoom::ServerEnd::Lost);
                                 ForgetNode(node);
                             }
                             Keep({"DEL", lock}); // done, or the node came back
                         });
    });
}

// After its members' entries: the node leaves the room, and its names are freed.
void RedisRoomLink::ForgetNode(const std::string& node)
{
    Keep({"EVAL", NodeGone, "3", Key("alive:" + node), Key("nodes"), Key("names:" + node), node,
          Key("name:"), node + "\n", run});
}

void RedisRoomLink::ReapMembers(const std::string& node, Reply members, ChatRoom::ServerEnd end)
{
    const auto entries = Pairs(members);
    std::size_t count = 0;
    for (const auto& entry : entries)
    {
        RoomEvent joined;
        std::string problem;
        if (!RoomEventCodec::DecodeMember(node, entry.first, Text(entry.second), joined, problem))
        {
            WriteLogLine(log, "skipped a member of " + node + " in Redis: " + problem);
            continue;
        }
        Publish(ChatRoom::LeftWithServer(joined.member, joined.name, end));
        ++count;
    }
    // Each Left takes its member off the node's list after its entry: should this server fail
    // before, the list stays for whoever reaps the node next.
    if (entries.empty())
        return;
    WriteLogLine(log, "the server " + node + " stopped without saying goodbye: its " +
                          Plural(count, "member leaves", "members leave") + " the room");
}

// ---------------------------------------------------------------------------------------------
// What the room decides.

void RedisRoomLink::Publish(RoomEvent event)
{
    if (stopping)
        return; // the goodbye has been said for every member
    event.origin = options.node;
    const MemberRef member = event.member;
    Words command = {"XADD", Key("stream"), "MAXLEN", "~", std::to_string(options.streamLength),
                     "*"};
    for (auto& field : RoomEventCodec::Encode(event, run, outbox.NextNumber()))
    {
        command.push_back(std::move(field.first));
        command.push_back(std::move(field.second));
    }
    const Outbox::Entry& entry = outbox.Add(std::move(command));
    if (up)
        SendEntry(entry);
    Available();

    // The room's bookkeeping, after the entry: a name is free only once its holder's leaving
    // is in the stream, so that whoever takes it next joins after.
    const std::string members = Key("members:" + member.node);
    switch (event.kind)
    {
    case Kind::Joined:
        if (member.node == options.node)
            own[member.id] = event;
        Keep({"HSET", members, std::to_string(member.id), RoomEventCodec::EncodeMember(event)});
        break;
    case Kind::Renamed: {
        const auto mine = own.find(member.id);
        if (member.node == options.node && mine != own.end())
        {
            mine->second.name = event.name;
            Keep({"HSET", members, std::to_string(member.id),
                  RoomEventCodec::EncodeMember(mine->second)});
        }
        if (!NicknameRule::SameName(event.oldName, event.name))
            FreeName(member, event.oldName);
        break;
    }
    case Kind::Left:
        if (member.node == options.node)
            own.erase(member.id);
        Keep({"HDEL", members, std::to_string(member.id)});
        FreeName(member, event.name);
        break;
    case Kind::Banned:
        bans[event.network.ToString()] = RoomEventCodec::EncodeBan(event);
        Keep({"HSET", Key("bans"), event.network.ToString(), RoomEventCodec::EncodeBan(event)});
        break;
    case Kind::Unbanned:
        bans.erase(event.network.ToString());
        Keep({"HDEL", Key("bans"), event.network.ToString()});
        break;
    default:
        break;
    }
}

std::string RedisRoomLink::Problem(const RoomEvent& event) const
{
    RoomEvent written = event;
    written.origin = options.node;
    return RoomEventCodec::Problem(written);
}

void RedisRoomLink::SendEntry(const Outbox::Entry& entry)
{
    const std::uint64_t now = generation;
    commands.Command(entry.command, [this, now, number = entry.number](Reply reply) {
        if (now != generation || !reply)
            return;
        if (IsError(reply))
        {
            commands.Drop("Redis refused an entry of the room: " + Text(reply));
            return;
        }
        outbox.Taken(number);
    });
}

void RedisRoomLink::Claim(MemberId id, const std::string& name)
{
    if (stopping)
        return;
    claims[id] = name;
    if (up)
        SendClaim(id, name);
}

RedisRoomLink::Words RedisRoomLink::ClaimCommand(const MemberRef& member,
                                                 const std::string& name) const
{
    const std::string folded = NicknameRule::Folded(name);
    return {"EVAL",         ClaimName, "2", Key("name:" + folded), Key("names:" + member.node),
            Holder(member), folded};
}

// Set only if unset, and told what was there: nothing, or this member's own earlier claim
// (sent again after a reconnection), grants the name. A claim given up meanwhile (the server
// stops) is answered to nobody.
void RedisRoomLink::SendClaim(MemberId id, const std::string& name)
{
    const std::uint64_t now = generation;
    const std::string holder = Holder({options.node, id});
    commands.Command(ClaimCommand({options.node, id}, name),
                     [this, now, id, name, holder](Reply reply) {
                         if (now != generation || !reply)
                             return;
                         if (!HoldsValue(reply))
                         {
                             commands.Drop("Redis refused a nickname's claim: " + Refusal(reply));
                             return;
                         }
                         const auto open = claims.find(id);
                         if (open == claims.end() || open->second != name)
                             return;
                         claims.erase(open);
                         if (listener)
                             listener->Claimed(id, name, IsNil(reply) || Text(reply) == holder);
                     });
}

void RedisRoomLink::Release(MemberId id, const std::string& name)
{
    FreeName({options.node, id}, name);
}

void RedisRoomLink::FreeName(const MemberRef& member, const std::string& name)
{
    const std::string folded = NicknameRule::Folded(name);
    Keep({"EVAL", FreeIfHeld, "2", Key("name:" + folded), Key("names:" + member.node),
          Holder(member), folded});
}

void RedisRoomLink::Keep(Words command)
{
    const std::uint64_t id = nextKept++;
    kept.emplace(id, std::move(command));
    if (up)
        SendKept(id);
}

void RedisRoomLink::SendKept(std::uint64_t id)
{
    const std::uint64_t now = generation;
    commands.Command(kept.at(id), [this, now, id](Reply reply) {
        if (now != generation || !reply)
            return;
        // A key of another kind stays so whatever is tried: that alone is given up. Any other
        // refusal (out of memory, read-only) passes: the command is kept and written again.
        const std::string why = IsError(reply) ? Text(reply) : "";
        if (!why.empty() && why.rfind("WRONGTYPE", 0) != 0)
        {
            commands.Drop("Redis refused the room's bookkeeping: " + why);
            return;
        }
        if (!why.empty())
            WriteLogLine(log, "Redis refused the room's bookkeeping (" + kept[id][0] + " " +
                                  kept[id][1] + "): " + why);
        kept.erase(id);
    });
}

// ---------------------------------------------------------------------------------------------
// Goodbye.

void RedisRoomLink::Stop(std::function<void()> done)
{
    stopDone = std::move(done);
    if (stopping)
    {
        FinishStop(); // the room let this server go already
        return;
    }
    if (!up)
    {
        stopping = true;
        WriteLogLine(log, "Redis is away: no goodbye said; " + GoneLater());
        FinishStop();
        return;
    }
    // The members leave for everyone at once, their names freed; then the node goes.
    std::vector<RoomEvent> leaving;
    for (const auto& entry : own)
    {
        leaving.push_back(ChatRoom::LeftWithServer(entry.second.member, entry.second.name,
                                                   ChatRoom::ServerEnd::ShutDown));
    }
    for (RoomEvent& gone : leaving)
        Publish(std::move(gone));
    // Claims still open are given up: one granted meanwhile is freed after the grant (one
    // connection keeps the order), and its answer tells nobody.
    for (const auto& claim : claims)
        FreeName({options.node, claim.first}, claim.second);
    claims.clear();
    stopping = true;
    const std::uint64_t now = generation;
    commands.Command({"EVAL", Goodbye, "3", Key("alive:" + options.node), Key("nodes"),
                      Key("members:" + options.node), run, options.node},
                     [this, now](Reply reply) {
                         if (now == generation && reply && !IsInteger(reply))
                             commands.Drop("Redis refused the goodbye: " + Refusal(reply));
                     });
    commands.Command({"PING"}, [this, now, count = leaving.size()](Reply reply) {
        if (now != generation || !reply)
            return;
        WriteLogLine(log, "said goodbye to the room: " +
                              Plural(count, "member leaves", "members leave") + " it");
        FinishStop();
    });
    startTimer.expires_after(GoodbyeTime);
    startTimer.async_wait([this](const asio::error_code& error) {
        if (error || !stopDone)
            return;
        WriteLogLine(log, "Redis did not confirm the goodbye within " +
                              std::to_string(std::chrono::seconds(GoodbyeTime).count()) +
                              " s: " + GoneLater());
        FinishStop();
    });
}

RedisRoomLink::Words RedisRoomLink::KeepAliveCommand() const
{
    return {"EVAL", KeepAlive,
            "1",    Key("alive:" + options.node),
            run,    std::to_string(std::chrono::milliseconds(AliveTime).count())};
}

// False when the node's key could not be kept: Redis refused (the attempt fails, and is made
// again), or another run of the node took it while this one was away (this one ends).
bool RedisRoomLink::KeptAlive(Reply reply)
{
    if (!IsString(reply))
    {
        // Not kept alive, the others would soon take this server for gone.
        commands.Drop("Redis refused this server's key: " + Refusal(reply));
        return false;
    }
    if (Text(reply) != "taken")
        return true;
    End("another server took the node " + options.node + " in the room " + options.room +
        " while this one was away from Redis: this one stops (give each server its own --node)");
    return false;
}

// Another run holds the node: whatever this one would write is that run's to write. Its
// members go without a word to the room, which took them for gone already.
void RedisRoomLink::End(const std::string& why)
{
    WriteLogLine(log, why);
    ++generation;
    up = false;
    steady = false;
    stopping = true;
    commands.Drop(why);
    reader.Drop(why);
    retryTimer.cancel();
    heartbeatTimer.cancel();
    resyncTimer.cancel();
    if (ended)
        ended(why);
}

std::string RedisRoomLink::GoneLater() const
{
    return "the others take this server's members for gone once its key has expired (within " +
           std::to_string(std::chrono::seconds(AliveTime).count() + 5) + " s)";
}

void RedisRoomLink::FinishStop()
{
    if (!stopDone)
        return;
    ++generation;
    retryTimer.cancel();
    heartbeatTimer.cancel();
    startTimer.cancel();
    resyncTimer.cancel();
    const auto done = std::move(stopDone);
    stopDone = nullptr;
    done();
}
