// What a server reads from Redis: entries of the room's stream and members of a server's list,
// as arbitrary fields and values (another program, or another version, may have written them),
// decoded and, when they pass, applied to a room with members of its own. An entry is refused
// with a reason or read whole; one read whole is written and read back the same; the room hands
// its members only well-formed frames, and nothing to a member it has let go.
//
// Input: entries one a line; each a tab-separated list of field, value, field, value... (as the
// stream holds them: "v", and "e" with the event's name=value fields separated by 0x1F). A line
// that begins with "member" is a member's entry instead: member, node, number, value.

#include "server/link/RoomEventCodec.h"
#include "server/room/ChatRoom.h"

#include <ostream>
#include <sstream>
#include <streambuf>

namespace
{

class NullBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return c; }
};

void CheckFrame(const std::string& bytes)
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

class Connection : public ChatParticipant
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
};

// The room's link as a server of a room across servers sees it: its own events come back after
// those read from the stream.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    NullBuffer discard;
    std::ostream log(&discard);
    Link link;
    RoomOptions options;
    ChatRoom room(options, log, link);
    auto now = ChatRoom::Clock::time_point{} + std::chrono::hours(1);
    Connection alice, bob;
    Join(room, link, alice, "Alice", now);
    Join(room, link, bob, "Bob", now);

    const std::string input(reinterpret_cast<const char*>(data), size);
    for (const std::string& line : Split(input, '\n'))
    {
        const std::vector<std::string> tokens = Split(line, '\t');
        std::string problem;
        if (tokens[0] == "member")
        {
            RoomEvent joined;
            if (tokens.size() == 4 &&
                RoomEventCodec::DecodeMember(tokens[1], tokens[2], tokens[3], joined, problem))
            {
                if (joined.kind != RoomEvent::Kind::Joined || !problem.empty())
                    __builtin_trap();
                room.Tick(now); // as the link hands the room a list it read
            }
            continue;
        }
        RoomEventCodec::Fields fields;
        for (std::size_t i = 0; i + 1 < tokens.size(); i += 2)
            fields.emplace_back(tokens[i], tokens[i + 1]);
        RoomEventCodec::Entry entry;
        if (!RoomEventCodec::Decode(fields, entry, problem))
        {
            if (problem.empty())
                __builtin_trap(); // refused without a reason
            continue;
        }
        // Read whole: written again, it reads back the same.
        RoomEventCodec::Entry again;
        if (!RoomEventCodec::Decode(RoomEventCodec::Encode(entry.event, entry.run, entry.number),
                                    again, problem) ||
            again.event.kind != entry.event.kind || again.event.text != entry.event.text ||
            again.event.name != entry.event.name || !(again.event.member == entry.event.member) ||
            again.number != entry.number)
            __builtin_trap();
        link.listener->Apply(entry.event);
        link.ComeBack();
        now += std::chrono::milliseconds(300);
        room.Tick(now);
    }
    return 0;
}
