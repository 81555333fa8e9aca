#include "server/room/ChatRoom.h"

#include "common/ChatProtocol.h"
#include "server/room/ChatRules.h"
#include "server/room/ServerLog.h"

#include <algorithm>
#include <ctime>
#include <unordered_set>

using oNet::Packet;
using oNet::PacketType;

namespace
{

Frame TextFrame(PacketType type, const std::string& text)
{
    return MakeFrame(oNet::WireFrame(*ChatProtocol::MakeTextPacket(type, text)));
}

std::string Plural(std::size_t count, const std::string& one, const std::string& many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

ChatRoom::Member::Member(ChatParticipant& participant, std::string address,
                         const RoomOptions& options, Clock::time_point now,
                         const asio::ip::address& ip)
    : participant(&participant), address(std::move(address)), ip(Unmapped(ip)), joined(now),
      lines(static_cast<double>(options.lineRate), 2.0 * static_cast<double>(options.lineRate), now)
{
}

ChatRoom::ChatRoom(const RoomOptions& options, std::ostream& log, ServerCounters& counters)
    : options(options), log(log), counters(counters)
{
}

Frame ChatRoom::ServerLine(const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    return TextFrame(PacketType::ChatMessage,
                     ChatProtocol::FormatTimestamp(*std::localtime(&now)) + " [SERVER]: " + text);
}

ChatRoom::MemberId ChatRoom::Join(ChatParticipant& participant, const std::string& address,
                                  Clock::time_point now, const asio::ip::address& ip)
{
    if (firstTick)
    {
        firstTick = false;
        lastTick = now;
    }
    const MemberId id = nextId++;
    members.emplace(id, Member(participant, address, options, now, ip));
    unnamed.emplace_back(readingTime + std::chrono::seconds(options.nicknameTimeout), id);
    return id;
}

void ChatRoom::Receive(MemberId id, const char* bytes, std::size_t size, Clock::time_point now,
                       Clock::time_point unreadSince)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    // Only this member's own packets can close it, and each reports so: the reference holds.
    Member& member = found->second;
    std::string& input = member.input;
    input.append(bytes, size);

    std::size_t start = 0;
    while (input.size() - start >= 2)
    {
        const auto* header = reinterpret_cast<const unsigned char*>(input.data() + start);
        const std::size_t length = (std::size_t{header[0]} << 8) | header[1];
        if (!oNet::IsValidFrameLength(length))
        {
            Close(id, "bad input: frame length " + std::to_string(length));
            return;
        }
        if (input.size() - start < 2 + length)
            break;
        Packet packet;
        packet.buffer.assign(input.begin() + static_cast<std::ptrdiff_t>(start + 2),
                             input.begin() + static_cast<std::ptrdiff_t>(start + 2 + length));
        start += 2 + length;
        if (!HandlePacket(id, member, packet, now, unreadSince))
            return;
    }
    input.erase(0, start);
}

void ChatRoom::Tick(Clock::time_point now, bool readingWaits)
{
    if (!firstTick && !readingWaits && now > lastTick)
        readingTime += now - lastTick;
    firstTick = false;
    lastTick = now;
    while (!unnamed.empty() && unnamed.front().first <= readingTime)
    {
        const MemberId id = unnamed.front().second;
        unnamed.pop_front();
        const auto found = members.find(id);
        if (found == members.end() || !found->second.nickname.empty())
            continue;
        found->second.participant->Deliver(
            ServerLine("No nickname was chosen within " +
                       Plural(options.nicknameTimeout, "second", "seconds") + "."));
        Close(id, "no nickname within " + std::to_string(options.nicknameTimeout) + " s");
    }
    if ((!announcements.empty() || listChanged) && now - listSent >= ListInterval)
    {
        SendAnnouncements();
        if (listChanged)
            BroadcastUsersOnline();
        listChanged = false;
        listSent = now;
    }
}

bool ChatRoom::HandlePacket(MemberId id, Member& member, Packet& packet, Clock::time_point now,
                            Clock::time_point unreadSince)
{
    const PacketType type = packet.Type();
    if (type != PacketType::Nickname && type != PacketType::ChatMessage)
    {
        Close(id, "bad input: packet type " + std::to_string(static_cast<unsigned>(type)));
        return false;
    }
    std::string text;
    try
    {
        packet >> text;
    }
    catch (const oNet::PacketException&)
    {
        Close(id, "bad input: a packet ends early");
        return false;
    }
    if (!WithinRate(id, member, now, unreadSince))
        return members.count(id) != 0;
    if (type == PacketType::Nickname)
        HandleNickname(id, member, text);
    else if (packet.readOffset != packet.buffer.size())
        member.participant->Deliver(
            ServerLine("Your line was not passed on: its packet holds more than the line."));
    else
        HandleChatLine(member, text, packet, now);
    return true;
}

// Flood control: a member over its line rate has the packet dropped and is told once; one that
// keeps on without a pause is closed.
bool ChatRoom::WithinRate(MemberId id, Member& member, Clock::time_point now,
                          Clock::time_point unreadSince)
{
    if (member.lines.Full(now))
        member.floodDrops = 0; // quiet long enough: a new start
    if (member.lines.Take(now, unreadSince))
        return true;
    if (++member.floodDrops == 1)
    {
        WriteLogLine(log, member.Label() + " is sending too fast: its lines are dropped");
        member.participant->Deliver(
            ServerLine("You are sending too fast: your lines are dropped. Slow down to " +
                       std::to_string(options.lineRate) + " a second."));
    }
    else if (member.floodDrops >= FloodDropsToClose)
    {
        Close(id, "flooding: kept sending more than " + std::to_string(options.lineRate) +
                      " lines a second");
    }
    return false;
}

void ChatRoom::HandleNickname(MemberId id, Member& member, const std::string& name)
{
    const bool named = !member.nickname.empty();
    const std::string stays = named ? " Your nickname stays as it was." : " Choose another one.";
    const std::string problem = NicknameRule::Problem(name);
    if (!problem.empty())
    {
        WriteLogLine(log, member.Label() + " asked for an unusable nickname");
        member.participant->Deliver(ServerLine(problem + stays));
        return;
    }
    if (name == member.nickname)
        return; // announced again, nothing changes
    const auto taken = names.find(name);
    if (taken != names.end() && !NicknameRule::SameName(*taken, member.nickname))
    {
        WriteLogLine(log, member.Label() + " asked for the nickname " + name + ", which is taken");
        member.participant->Deliver(ServerLine("The nickname " + name + " is taken." + stays));
        return;
    }

    const std::string old = member.nickname;
    names.erase(old);
    names.insert(name);
    member.nickname = name;
    if (!named)
    {
        WriteLogLine(log, member.address + " joined as " + name);
        Announce(Change::Joined, id, name + " joined.");
        member.joinedAfter = announcementCount;
        // The newcomer is told at once: its join, who is here, and what was said lately.
        member.participant->Deliver(announcements.back().line);
        member.participant->Deliver(UsersOnline());
        member.listSeen = listVersion;
        for (const Frame& line : history)
            member.participant->Deliver(line);
    }
    else
    {
        WriteLogLine(log, old + " is now known as " + name);
        Announce(Change::Renamed, id, old + " is now known as " + name + ".");
        member.participant->Deliver(announcements.back().line);
    }
}

void ChatRoom::HandleChatLine(Member& member, const std::string& line, const Packet& packet,
                              Clock::time_point readAt)
{
    if (member.nickname.empty())
    {
        WriteLogLine(log, member.Label() + ": a line before choosing a nickname was dropped");
        member.participant->Deliver(ServerLine("Choose a nickname before you chat."));
        return;
    }
    const std::string problem =
        ChatRules::ChatLineProblem(line, member.nickname, options.maxLineBytes);
    if (!problem.empty())
    {
        WriteLogLine(log, member.Label() + ": a line was refused: " + problem);
        member.participant->Deliver(ServerLine(problem));
        return;
    }
    ++member.linesSaid;
    const Frame frame = MakeFrame(oNet::WireFrame(packet));
    DeliverToNamed(frame);
    ++counters.lines;
    counters.broadcast.Observe(Clock::now() - readAt);
    if (options.history > 0)
    {
        history.push_back(frame);
        if (history.size() > options.history)
            history.pop_front();
    }
}

void ChatRoom::Announce(Change change, MemberId actor, const std::string& text)
{
    announcements.push_back({++announcementCount, change, actor, ServerLine(text)});
    ++listVersion;
    listChanged = true;
}

// Sends the collected announcements to every named member, each one only what happened after it
// joined and what it has not been told already. Beyond a few, one line per kind sums them up.
void ChatRoom::SendAnnouncements()
{
    if (announcements.empty())
        return;
    const Frame newUser = MakeFrame(oNet::WireFrame(Packet(PacketType::NewUser)));

    if (announcements.size() <= AnnouncementsListed)
    {
        for (auto& entry : members)
        {
            const MemberId id = entry.first;
            Member& member = entry.second;
            if (member.nickname.empty())
                continue;
            bool toldOfNewcomer = false;
            for (const auto& announcement : announcements)
            {
                if (announcement.number <= member.joinedAfter || announcement.actor == id)
                    continue;
                if (announcement.change == Change::Joined && !toldOfNewcomer)
                {
                    member.participant->Deliver(newUser);
                    toldOfNewcomer = true;
                }
                member.participant->Deliver(announcement.line);
            }
        }
    }
    else
    {
        // Most members are told the same; a newcomer of this round is not told of its own join
        // or what came before it, nor a renamer of its own rename, as in the lines above.
        const std::uint64_t first = announcements.front().number;
        std::unordered_set<MemberId> actors;
        for (const auto& announcement : announcements)
            actors.insert(announcement.actor);
        const std::vector<Frame> common = Summary(0, 0);
        for (auto& entry : members)
        {
            const Member& member = entry.second;
            if (member.nickname.empty())
                continue;
            const bool apart = member.joinedAfter >= first || actors.count(entry.first) != 0;
            for (const Frame& frame : apart ? Summary(entry.first, member.joinedAfter) : common)
                member.participant->Deliver(frame);
        }
    }
    announcements.clear();
}

// The summary of this round's announcements for a member that joined after announcement
// `joinedAfter` (0: before all of them), leaving out those it made itself.
std::vector<Frame> ChatRoom::Summary(MemberId id, std::uint64_t joinedAfter) const
{
    std::size_t counts[3] = {};
    for (const auto& announcement : announcements)
        if (announcement.number > joinedAfter && (id == 0 || announcement.actor != id))
            ++counts[static_cast<int>(announcement.change)];
    std::vector<Frame> summary;
    if (counts[static_cast<int>(Change::Joined)] > 0)
    {
        summary.push_back(MakeFrame(oNet::WireFrame(Packet(PacketType::NewUser))));
        summary.push_back(ServerLine(
            Plural(counts[static_cast<int>(Change::Joined)], "user", "users") + " joined."));
    }
    if (counts[static_cast<int>(Change::Left)] > 0)
        summary.push_back(
            ServerLine(Plural(counts[static_cast<int>(Change::Left)], "user", "users") + " left."));
    if (counts[static_cast<int>(Change::Renamed)] > 0)
        summary.push_back(
            ServerLine(Plural(counts[static_cast<int>(Change::Renamed)], "nickname", "nicknames") +
                       " changed."));
    return summary;
}

// The list goes to every named member that does not have it yet (newcomers got it at once).
void ChatRoom::BroadcastUsersOnline()
{
    const Frame list = UsersOnline();
    for (auto& entry : members)
    {
        Member& member = entry.second;
        if (member.nickname.empty() || member.listSeen == listVersion)
            continue;
        member.participant->Deliver(list);
        member.listSeen = listVersion;
    }
}

Frame ChatRoom::UsersOnline() const
{
    return TextFrame(PacketType::UsersOnline,
                     ChatRules::UsersOnlineText(names, names.size(), ChatProtocol::MaxTextBytes));
}

// The room's own decision to end a membership: the connection is told to close.
void ChatRoom::Close(MemberId id, const std::string& reason)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    found->second.participant->Disconnect();
    Leave(id, reason);
}

void ChatRoom::Leave(MemberId id, const std::string& reason, const std::string& note)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    const Member& member = found->second;
    WriteLogLine(log, member.Label() + " disconnected: " + reason);
    if (!member.nickname.empty())
    {
        names.erase(member.nickname);
        Announce(Change::Left, 0,
                 member.nickname + (note.empty() ? " left." : " left (" + note + ")."));
    }
    members.erase(found);
}

// ---------------------------------------------------------------------------------------------
// For the operator.

std::vector<ChatRoom::MemberView> ChatRoom::Who(Clock::time_point now) const
{
    std::vector<MemberView> named, unnamed;
    for (const auto& entry : members)
    {
        const Member& member = entry.second;
        (member.nickname.empty() ? unnamed : named)
            .push_back({member.nickname, member.address, now - member.joined, member.linesSaid});
    }
    std::sort(named.begin(), named.end(), [](const MemberView& a, const MemberView& b) {
        return NicknameRule::LessIgnoringCase(a.nickname, b.nickname);
    });
    std::sort(unnamed.begin(), unnamed.end(),
              [](const MemberView& a, const MemberView& b) { return a.connected > b.connected; });
    named.insert(named.end(), unnamed.begin(), unnamed.end());
    return named;
}

void ChatRoom::Say(const std::string& text)
{
    DeliverToNamed(ServerLine(text));
}

void ChatRoom::DeliverToNamed(const Frame& frame)
{
    // Who joined or left before this is told before it.
    SendAnnouncements();
    for (auto& entry : members)
        if (!entry.second.nickname.empty())
            entry.second.participant->Deliver(frame);
}

ChatRoom::MemberId ChatRoom::NamedMember(const std::string& name) const
{
    for (const auto& entry : members)
        if (!entry.second.nickname.empty() && NicknameRule::SameName(entry.second.nickname, name))
            return entry.first;
    return 0;
}

std::string ChatRoom::NameLike(const std::string& name) const
{
    const auto found = names.find(name);
    return found == names.end() ? "" : *found;
}

std::optional<asio::ip::address> ChatRoom::AddressOf(const std::string& name) const
{
    const MemberId id = NamedMember(name);
    if (id == 0)
        return std::nullopt;
    return members.at(id).ip;
}

void ChatRoom::RemoveMember(MemberId id, const std::string& told, const std::string& note,
                            const std::string& reason)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    found->second.participant->Deliver(ServerLine(told));
    found->second.participant->Disconnect();
    Leave(id, reason, note);
}

std::vector<std::string> ChatRoom::Remove(const std::string& name, const std::string& told,
                                          const std::string& note, const std::string& reason)
{
    const MemberId id = NamedMember(name);
    if (id == 0)
        return {};
    const std::string who = members.at(id).nickname;
    RemoveMember(id, told, note, reason);
    return {who};
}

std::vector<std::string> ChatRoom::Remove(const IpNetwork& network, const std::string& told,
                                          const std::string& note, const std::string& reason)
{
    // Named members first, by name; then the unnamed, by address.
    struct Match
    {
        bool unnamed;
        std::string label;
        MemberId id;
    };
    std::vector<Match> matching;
    for (const auto& entry : members)
        if (network.Contains(entry.second.ip))
        {
            const bool unnamed = entry.second.nickname.empty();
            matching.push_back(
                {unnamed, unnamed ? entry.second.address + " (unnamed)" : entry.second.nickname,
                 entry.first});
        }
    std::sort(matching.begin(), matching.end(), [](const Match& a, const Match& b) {
        if (a.unnamed != b.unnamed)
            return b.unnamed;
        return NicknameRule::LessIgnoringCase(a.label, b.label);
    });
    std::vector<std::string> who;
    for (const Match& match : matching)
    {
        who.push_back(match.label);
        RemoveMember(match.id, told, note, reason);
    }
    return who;
}
