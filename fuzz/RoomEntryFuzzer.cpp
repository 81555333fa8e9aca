// What a server reads from Redis: entries of the room's stream, members of a server's list and
// the room's bans (another program, or another version, may have written them), decoded and,
// when they pass, applied to a room with members of its own. An entry is refused with a reason
// or read whole; one read whole is written and read back the same; the room hands its members
// only well-formed frames, and nothing to a member it has let go.
//
// Input, when it begins with "R": Redis's own replies as raw bytes, parsed by hiredis's reader
// as the server's connection parses them, and each looked at as the link looks at replies: as
// XREAD's answer (its entries decoded and applied), as field and value pairs (HGETALL of a
// server's members, of the room's bans; XINFO), and as a value a key held.
//
// Otherwise entries one a line; each a tab-separated list of field, value, field, value... (as
// the stream holds them: "v", and "e" with the event's name=value fields separated by 0x1F). A
// line that begins with "member" is a member's entry instead: member, node, number, value; one
// that begins with "ban" is one of the room's bans: ban, network, value.

#include "CheckedMember.h"
#include "NullStream.h"
#include "server/link/RedisReply.h"
#include "server/link/RoomEventCodec.h"
#include "server/room/ChatRoom.h"

#include <hiredis/hiredis.h>
#include <hiredis/read.h>

#include <ostream>
#include <sstream>

namespace
{

using Connection = CheckedMember;

class Link : public RoomLink
{
public:
    void Attach(Listener& listener) override { this->listener = &listener; }
    const std::string& Node() const override { return node; }
    MemberId FirstMemberId() const override { return 1; }
    void Publish(RoomEvent event) override { published.push_back(std::move(event)); }
    void Claim(MemberId id, const std::string& name) override { listener->Claimed(id, name, true); }
    void Release(MemberId, const std::string&) override {}
    const std::deque<Frame>& History() const override { return history; }

    void ComeBack()
    {
        for (std::size_t i = 0; i < published.size() && i < 64; ++i)
            listener->Apply(published[i]);
        published.clear();
    }

    const std::string node = "here";
    Listener* listener = nullptr;
    std::vector<RoomEvent> published;
    std::deque<Frame> history;
};

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

void Join(ChatRoom& room, Link& link, Connection& connection, const std::string& name,
          ChatRoom::Clock::time_point now)
{
    const auto id = room.Join(connection, "127.0.0.1:1", now, asio::ip::make_address("127.0.0.1"));
    oNet::Packet packet(oNet::PacketType::Nickname);
    packet << name;
    room.Handle(id, packet, now);
    link.ComeBack();
}

// Decodes a stream entry's fields; one read whole is written and read back the same, and the
// room applies it.
void TakeEntry(Link& link, const RoomEventCodec::FieldViews& fields)
{
    RoomEventCodec::Entry entry;
    std::string problem;
    if (!RoomEventCodec::Decode(fields, entry, problem))
    {
        if (problem.empty())
            __builtin_trap(); // refused without a reason
        return;
    }
    RoomEventCodec::Entry again;
    if (!RoomEventCodec::Decode(RoomEventCodec::Encode(entry.event, entry.run, entry.number), again,
                                problem) ||
        again.event.kind != entry.event.kind || again.event.text != entry.event.text ||
        again.event.name != entry.event.name || !(again.event.member == entry.event.member) ||
        again.number != entry.number)
        __builtin_trap();
    link.listener->Apply(entry.event);
    link.ComeBack();
}

// A member of a server's list: read whole, it is a join, and the room takes it.
void TakeMember(Link& link, const std::string& node, const std::string& id,
                const std::string& value)
{
    RoomEvent joined;
    std::string problem;
    if (!RoomEventCodec::DecodeMember(node, id, value, joined, problem))
    {
        if (problem.empty())
            __builtin_trap();
        return;
    }
    RoomEvent again;
    if (joined.kind != RoomEvent::Kind::Joined || !problem.empty() ||
        !RoomEventCodec::DecodeMember(node, id, RoomEventCodec::EncodeMember(joined), again,
                                      problem) ||
        again.name != joined.name || again.address != joined.address ||
        again.since != joined.since || again.ip != joined.ip)
        __builtin_trap();
    link.listener->Apply(joined);
    link.ComeBack();
}

// A ban of the room's list: read whole, it is written back the same, and the room applies it.
void TakeBan(Link& link, const std::string& network, const std::string& value)
{
    RoomEvent banned;
    std::string problem;
    if (!RoomEventCodec::DecodeBan(network, value, banned, problem))
    {
        if (problem.empty())
            __builtin_trap();
        return;
    }
    RoomEvent again;
    if (banned.kind != RoomEvent::Kind::Banned ||
        !RoomEventCodec::DecodeBan(banned.network.ToString(), RoomEventCodec::EncodeBan(banned),
                                   again, problem) ||
        again.until != banned.until || again.departure.detail != banned.departure.detail)
        __builtin_trap();
    banned.text = "You are banned.";
    link.listener->Apply(banned);
}

// One reply, looked at every way the link looks at one.
void TakeReply(Link& link, RedisReply::Reply reply)
{
    using namespace RedisReply;
    if (const Reply entries = StreamEntries(reply))
    {
        std::string id;
        RoomEventCodec::FieldViews fields;
        for (std::size_t i = 0; i < entries->elements; ++i)
            if (EntryOf(entries->element[i], id, fields))
                TakeEntry(link, fields);
    }
    for (const auto& pair : Pairs(reply))
    {
        TakeMember(link, "there", pair.first, Text(pair.second));
        TakeBan(link, pair.first, Text(pair.second));
    }
    const StreamInfo info = InfoOf(reply);
    if (!info.counted && (info.length != 0 || info.entriesAdded != 0) && !IsArray(reply))
        __builtin_trap(); // counts only from a description
    IdOf(info.lastId);
    if (!HoldsValue(reply) && Refusal(reply).empty())
        __builtin_trap(); // a failure is always given a reason
}

void TakeReplies(Link& link, const std::string& bytes)
{
    redisReader* reader = redisReaderCreate();
    if (!reader)
        return;
    RedisReply::BoundArrays(reader);
    if (redisReaderFeed(reader, bytes.data(), bytes.size()) == REDIS_OK)
    {
        void* reply = nullptr;
        for (int count = 0; count < 64 && redisReaderGetReply(reader, &reply) == REDIS_OK && reply;
             ++count)
        {
            TakeReply(link, static_cast<RedisReply::Reply>(reply));
            freeReplyObject(reply);
            reply = nullptr;
        }
    }
    redisReaderFree(reader);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    NullStream log;
    Link link;
    RoomOptions options;
    ChatRoom room(options, log, link);
    auto now = ChatRoom::Clock::time_point{} + std::chrono::hours(1);
    Connection alice, bob;
    Join(room, link, alice, "Alice", now);
    Join(room, link, bob, "Bob", now);

    const std::string input(reinterpret_cast<const char*>(data), size);
    if (!input.empty() && input[0] == 'R')
    {
        TakeReplies(link, input.substr(1));
        room.Tick(now + std::chrono::seconds(1));
        return 0;
    }
    for (const std::string& line : Split(input, '\n'))
    {
        const std::vector<std::string> tokens = Split(line, '\t');
        if (tokens[0] == "member" && tokens.size() == 4)
            TakeMember(link, tokens[1], tokens[2], tokens[3]);
        else if (tokens[0] == "ban" && tokens.size() == 3)
            TakeBan(link, tokens[1], tokens[2]);
        else
        {
            RoomEventCodec::FieldViews fields;
            for (std::size_t i = 0; i + 1 < tokens.size(); i += 2)
                fields.emplace_back(tokens[i], tokens[i + 1]);
            TakeEntry(link, fields);
        }
        now += std::chrono::milliseconds(300);
        room.Tick(now);
    }
    return 0;
}
