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
    Packet packet(type);
    packet << text;
    return MakeFrame(oNet::WireFrame(packet));
}

// What the log adds to the reason's sentence, from a text that may begin with the sentence.
Departure DepartureFrom(LeaveReason reason, const std::string& text)
{
    const std::string sentence = Departure{reason, ""}.Text();
    if (text.rfind(sentence, 0) != 0)
        return {reason, text};
    const std::size_t rest = text.find_first_not_of(": ", sentence.size());
    return {reason, rest == std::string::npos ? "" : text.substr(rest)};
}

} // namespace

ChatRoom::Member::Member(ChatParticipant& participant, std::string address,
                         const RoomOptions& options, Clock::time_point now,
                         const asio::ip::address& ip)
    : participant(&participant), address(std::move(address)), ip(Unmapped(ip)), joined(now),
      lines(static_cast<double>(options.lineRate), 2.0 * static_cast<double>(options.lineRate), now)
{
}

ChatRoom::ChatRoom(const RoomOptions& options, std::ostream& log)
    : options(options), log(log), ownLink(std::make_unique<LocalLink>(options.history)),
      link(*ownLink), nextId(link.FirstMemberId())
{
    link.Attach(*this);
}

ChatRoom::ChatRoom(const RoomOptions& options, std::ostream& log, RoomLink& link)
    : options(options), log(log), link(link), nextId(link.FirstMemberId())
{
    link.Attach(*this);
}

Frame ChatRoom::LineFrame(const std::string& line)
{
    return TextFrame(PacketType::ChatMessage, line);
}

Frame ChatRoom::ServerLine(const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    return TextFrame(PacketType::ChatMessage,
                     ChatProtocol::FormatTimestamp(*std::localtime(&now)) + " [SERVER]: " + text);
}

RoomEvent ChatRoom::LeftWithServer(const MemberRef& member, const std::string& name, ServerEnd end)
{
    RoomEvent gone;
    gone.kind = RoomEvent::Kind::Left;
    gone.origin = member.node;
    gone.member = member;
    gone.name = name;
    const bool goodbye = end == ServerEnd::ShutDown;
    gone.departure = {LeaveReason::Left, goodbye ? "the server shut down"
                                                 : "its server stopped without saying goodbye"};
    gone.note = goodbye                  ? "server shut down"
                : end == ServerEnd::Lost ? "server lost"
                                         : "server restarted";
    return gone;
}

ChatRoom::MemberId ChatRoom::Join(ChatParticipant& participant, const std::string& address,
                                  Clock::time_point now, const asio::ip::address& ip,
                                  std::optional<Clock::time_point> acceptedAt)
{
    if (firstTick)
    {
        firstTick = false;
        lastTick = now;
    }
    const MemberId id = nextId++;
    members.emplace(id, Member(participant, address, options, now, ip));
    const Clock::duration timeout = std::chrono::seconds(options.nicknameTimeout);
    const Clock::duration waited = acceptedAt && *acceptedAt < now
                                       ? std::min<Clock::duration>(now - *acceptedAt, timeout)
                                       : Clock::duration::zero();
    // Kept in the order of deadlines: one that waited before joining may be due before others.
    const std::pair<Clock::duration, MemberId> deadline{readingTime + timeout - waited, id};
    unnamed.insert(std::upper_bound(unnamed.begin(), unnamed.end(), deadline,
                                    [](const auto& a, const auto& b) { return a.first < b.first; }),
                   deadline);
    return id;
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
        Close(id, {LeaveReason::Timeout, std::to_string(options.nicknameTimeout) + " s"});
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

ChatRoom::Input ChatRoom::Handle(MemberId id, Packet& packet, Clock::time_point now,
                                 Clock::time_point unreadSince)
{
    const auto found = members.find(id);
    if (found == members.end())
        return Input::Closed;
    // Only this member's own packets can close it, and each reports so: the reference holds.
    Member& member = found->second;
    const PacketType type = packet.Type();
    if (type != PacketType::Nickname && type != PacketType::ChatMessage)
    {
        Close(id, {LeaveReason::BadInput,
                   "packet type " + std::to_string(static_cast<unsigned>(type))});
        return Input::Closed;
    }
    std::string text;
    try
    {
        packet >> text;
    }
    catch (const oNet::PacketException&)
    {
        Close(id, {LeaveReason::BadInput, "a packet ends early"});
        return Input::Closed;
    }
    if (!WithinRate(id, member, now, unreadSince))
        return members.count(id) != 0 ? Input::Next : Input::Closed;
    if (type == PacketType::Nickname)
        return HandleNickname(id, member, text);
    if (packet.readOffset != packet.buffer.size())
        member.participant->Deliver(
            ServerLine("Your line was not passed on: its packet holds more than the line."));
    else
        HandleChatLine(id, member, text, packet, now);
    return Input::Next;
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
        Close(id,
              {LeaveReason::Flooding,
               "kept sending more than " + std::to_string(options.lineRate) + " lines a second"});
    }
    return false;
}

ChatRoom::Input ChatRoom::HandleNickname(MemberId id, Member& member, const std::string& name)
{
    const std::string problem = NicknameRule::Problem(name);
    if (!problem.empty())
    {
        WriteLogLine(log, member.Label() + " asked for an unusable nickname");
        member.participant->Deliver(
            ServerLine(problem + (member.nickname.empty() ? " Choose another one."
                                                          : " Your nickname stays as it was.")));
        return Input::Next;
    }
    if (name == member.nickname)
        return Input::Next; // announced again, nothing changes
    if (!member.nickname.empty() && NicknameRule::SameName(name, member.nickname))
    {
        Rename(id, member, name); // its own name in other letters: nobody else can hold it
        return Input::Next;
    }
    // Answered at once by a room of one server; otherwise the member waits for the answer.
    member.claiming = name;
    link.Claim(id, name);
    const auto still = members.find(id);
    if (still == members.end())
        return Input::Closed;
    if (still->second.claiming.empty())
        return Input::Next;
    still->second.inputHeld = true;
    return Input::Wait;
}

void ChatRoom::Claimed(MemberId id, const std::string& name, bool granted)
{
    const auto found = members.find(id);
    if (found == members.end() || found->second.claiming != name)
    {
        // The member left while it waited for the name.
        if (granted)
            link.Release(id, name);
        return;
    }
    Member& member = found->second;
    member.claiming.clear();
    if (!granted)
    {
        WriteLogLine(log, member.Label() + " asked for the nickname " + name + ", which is taken");
        member.participant->Deliver(
            ServerLine("The nickname " + name + " is taken." +
                       (member.nickname.empty() ? " Choose another one."
                                                : " Your nickname stays as it was.")));
    }
    else if (member.nickname.empty())
    {
        member.nickname = name;
        RoomEvent joined = EventAbout(RoomEvent::Kind::Joined, id, name);
        joined.address = member.address;
        joined.ip = member.ip;
        joined.since = static_cast<std::int64_t>(std::time(nullptr));
        link.Publish(std::move(joined));
    }
    else
    {
        Rename(id, member, name);
    }
    // Publishing may have applied the join already, which leaves the member where it was.
    const auto still = members.find(id);
    if (still != members.end() && still->second.inputHeld)
    {
        still->second.inputHeld = false;
        still->second.participant->ContinueInput();
    }
}

void ChatRoom::NameLost(MemberId id, const std::string& name)
{
    RoomEvent kicked = EventAbout(RoomEvent::Kind::Kicked, id, name);
    kicked.text = "Your nickname was taken by someone else while this server was away from the "
                  "room. Connect again with another one.";
    kicked.note = "nickname taken";
    kicked.departure = {LeaveReason::Kicked, "its nickname was taken while the server was away"};
    link.Publish(std::move(kicked));
}

void ChatRoom::Rename(MemberId id, Member& member, const std::string& name)
{
    RoomEvent renamed = EventAbout(RoomEvent::Kind::Renamed, id, name);
    renamed.oldName = member.nickname;
    member.nickname = name;
    link.Publish(std::move(renamed));
}

void ChatRoom::HandleChatLine(MemberId id, Member& member, const std::string& line,
                              const Packet& packet, Clock::time_point readAt)
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
    RoomEvent said = EventAbout(RoomEvent::Kind::Line, id, member.nickname);
    said.text = line;
    // The line as it came is its frame: made once, here, for wherever it is applied at once.
    said.frame = MakeFrame(oNet::WireFrame(packet));
    lineReadAt = readAt;
    link.Publish(std::move(said));
    lineReadAt.reset();
}

RoomEvent ChatRoom::EventAbout(RoomEvent::Kind kind, MemberId id, const std::string& name) const
{
    RoomEvent event;
    event.kind = kind;
    event.origin = link.Node();
    event.member = RefOf(id);
    event.name = name;
    return event;
}

// ---------------------------------------------------------------------------------------------
// Applying what the link hands back, from this server or another.

void ChatRoom::Apply(RoomEvent& event)
{
    switch (event.kind)
    {
    case RoomEvent::Kind::Joined:
        ApplyJoined(event);
        break;
    case RoomEvent::Kind::Renamed:
        ApplyRenamed(event);
        break;
    case RoomEvent::Kind::Left:
        ApplyLeft(event);
        break;
    case RoomEvent::Kind::Line: {
        const Clock::time_point readAt = lineReadAt.value_or(Clock::now());
        if (!event.frame)
            event.frame = LineFrame(event.text);
        DeliverToRoom(event.frame);
        ++counters->lines;
        counters->broadcast.Observe(Clock::now() - readAt);
        break;
    }
    case RoomEvent::Kind::Said:
        DeliverToRoom(ServerLine(event.text));
        break;
    case RoomEvent::Kind::Kicked:
        if (Local(event.member))
            RemoveMember(event.member.id, event.text, event.note, event.departure);
        break;
    case RoomEvent::Kind::Banned:
        RemoveFrom(event.network, event.text, event.note, event.departure);
        break;
    case RoomEvent::Kind::Unbanned:
        break;
    }
    if ((event.kind == RoomEvent::Kind::Banned || event.kind == RoomEvent::Kind::Unbanned) &&
        banObserver)
        banObserver(event);
}

ChatRoom::Member* ChatRoom::Local(const MemberRef& ref)
{
    if (ref.node != link.Node())
        return nullptr;
    const auto found = members.find(ref.id);
    return found == members.end() ? nullptr : &found->second;
}

void ChatRoom::ApplyJoined(const RoomEvent& event)
{
    const auto known = listed.find(event.member);
    if (known != listed.end())
    {
        // Told again (a server registering its members anew): only the name may have changed.
        if (known->second.name != event.name)
        {
            names.erase(known->second.name);
            names.insert(event.name);
            known->second.name = event.name;
            ++listVersion;
            listChanged = true;
        }
        return;
    }
    listed.emplace(event.member,
                   Listed{event.name, event.address, Unmapped(event.ip), event.since});
    names.insert(event.name);
    Member* member = Local(event.member);
    if (member && member->inRoom)
    {
        // This server's member joins again after the room took it for gone (the server was
        // away from Redis for long): the others hear it is back; it has heard everything.
        Announce(Change::Joined, event.member.id, event.name + " joined.");
        return;
    }
    if (member)
    {
        WriteLogLine(log, member->address + " joined as " + event.name);
        member->inRoom = true;
    }
    Announce(Change::Joined, member ? event.member.id : 0, event.name + " joined.");
    if (!member)
        return;
    // The newcomer is told at once: its join, who is here, and what was said lately.
    member->joinedAfter = announcementCount;
    member->participant->Deliver(announcements.back().line);
    member->participant->Deliver(UsersOnline());
    member->listSeen = listVersion;
    for (const Frame& line : link.History())
        member->participant->Deliver(line);
}

void ChatRoom::ApplyRenamed(const RoomEvent& event)
{
    const auto known = listed.find(event.member);
    if (known == listed.end() || known->second.name == event.name)
        return; // not known here, or known by the new name already
    const std::string old = known->second.name;
    names.erase(old);
    names.insert(event.name);
    known->second.name = event.name;
    Member* member = Local(event.member);
    if (member)
        WriteLogLine(log, old + " is now known as " + event.name);
    Announce(Change::Renamed, member ? event.member.id : 0,
             old + " is now known as " + event.name + ".");
    if (member)
        member->participant->Deliver(announcements.back().line);
}

void ChatRoom::ApplyLeft(const RoomEvent& event)
{
    const auto known = listed.find(event.member);
    if (known == listed.end())
        return;
    const std::string name = known->second.name;
    names.erase(name);
    listed.erase(known);
    // Still here (the room took this server for gone): the member is not told of its own leaving.
    Announce(Change::Left, Local(event.member) ? event.member.id : 0,
             name + (event.note.empty() ? " left." : " left (" + event.note + ")."));
}

void ChatRoom::RemoveFrom(const IpNetwork& network, const std::string& told,
                          const std::string& note, const Departure& departure)
{
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
                {unnamed, unnamed ? entry.second.address : entry.second.nickname, entry.first});
        }
    std::sort(matching.begin(), matching.end(), [](const Match& a, const Match& b) {
        if (a.unnamed != b.unnamed)
            return b.unnamed;
        return NicknameRule::LessIgnoringCase(a.label, b.label);
    });
    for (const Match& match : matching)
        RemoveMember(match.id, told, note, departure);
}

void ChatRoom::Announce(Change change, MemberId actor, const std::string& text)
{
    announcements.push_back({++announcementCount, change, actor, ServerLine(text)});
    ++listVersion;
    listChanged = true;
}

// Sends the collected announcements to every member in the room, each one only what happened
// after it joined and what it has not been told already. Beyond a few, one line per kind sums
// them up.
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
            if (!member.inRoom)
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
            if (!member.inRoom)
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

// The list goes to every member in the room that does not have it yet (newcomers got it at
// once).
void ChatRoom::BroadcastUsersOnline()
{
    const Frame list = UsersOnline();
    for (auto& entry : members)
    {
        Member& member = entry.second;
        if (!member.inRoom || member.listSeen == listVersion)
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
void ChatRoom::Close(MemberId id, const Departure& departure)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    found->second.participant->Disconnect();
    Leave(id, departure);
}

void ChatRoom::Leave(MemberId id, const Departure& departure, const std::string& note)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    WriteLogLine(log, found->second.Label() + " disconnected: " + departure.Text());
    counters->CountDeparture(departure.reason);
    // A name still being claimed is given back when the answer finds the member gone.
    const std::string name = found->second.nickname;
    members.erase(found);
    if (name.empty())
        return;
    RoomEvent left = EventAbout(RoomEvent::Kind::Left, id, name);
    left.departure = departure;
    left.note = note;
    link.Publish(std::move(left));
}

std::size_t ChatRoom::LocalNamedCount() const
{
    return static_cast<std::size_t>(std::count_if(
        members.begin(), members.end(), [](const auto& entry) { return entry.second.inRoom; }));
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
            .push_back({member.nickname, member.address, now - member.joined, member.linesSaid,
                        link.Node(), true});
    }
    const auto wallNow = static_cast<std::int64_t>(std::time(nullptr));
    for (const auto& entry : listed)
        if (entry.first.node != link.Node())
            named.push_back(
                {entry.second.name, entry.second.address,
                 std::chrono::seconds(std::max<std::int64_t>(0, wallNow - entry.second.since)), 0,
                 entry.first.node, false});
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
    RoomEvent said;
    said.kind = RoomEvent::Kind::Said;
    said.origin = link.Node();
    said.text = text;
    link.Publish(std::move(said));
}

void ChatRoom::DeliverToRoom(const Frame& frame)
{
    // Who joined or left before this is told before it.
    SendAnnouncements();
    for (auto& entry : members)
        if (entry.second.inRoom)
            entry.second.participant->Deliver(frame);
}

const MemberRef* ChatRoom::ListedAs(const std::string& name) const
{
    for (const auto& entry : listed)
        if (NicknameRule::SameName(entry.second.name, name))
            return &entry.first;
    return nullptr;
}

std::string ChatRoom::NameLike(const std::string& name) const
{
    const auto found = names.find(name);
    return found == names.end() ? "" : *found;
}

std::optional<asio::ip::address> ChatRoom::AddressOf(const std::string& name) const
{
    const MemberRef* ref = ListedAs(name);
    if (!ref)
        return std::nullopt;
    return listed.at(*ref).ip;
}

void ChatRoom::RemoveMember(MemberId id, const std::string& told, const std::string& note,
                            const Departure& departure)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    found->second.participant->Deliver(ServerLine(told));
    found->second.participant->Disconnect();
    Leave(id, departure, note);
}

std::vector<std::string> ChatRoom::Remove(const std::string& name, const std::string& told,
                                          const std::string& note, const Departure& departure)
{
    const MemberRef* ref = ListedAs(name);
    if (!ref)
        return {};
    const std::string who = listed.at(*ref).name;
    RoomEvent kicked;
    kicked.kind = RoomEvent::Kind::Kicked;
    kicked.origin = link.Node();
    kicked.member = *ref;
    kicked.name = who;
    kicked.text = told;
    kicked.note = note;
    kicked.departure = departure;
    link.Publish(std::move(kicked));
    return {who};
}

std::vector<std::string> ChatRoom::Remove(const IpNetwork& network, const std::string& told,
                                          const std::string& note, const Departure& departure)
{
    std::vector<std::string> named, unnamed;
    for (const auto& entry : members)
        if (network.Contains(entry.second.ip))
            (entry.second.nickname.empty() ? unnamed : named)
                .push_back(entry.second.nickname.empty() ? entry.second.address + " (unnamed)"
                                                         : entry.second.nickname);
    std::sort(named.begin(), named.end(), NicknameRule::LessIgnoringCase);
    std::sort(unnamed.begin(), unnamed.end(), NicknameRule::LessIgnoringCase);
    named.insert(named.end(), unnamed.begin(), unnamed.end());
    RemoveFrom(network, told, note, departure);
    return named;
}

std::vector<std::string> ChatRoom::Ban(const IpNetwork& network, std::optional<std::int64_t> until,
                                       const std::string& told, const std::string& note,
                                       const Departure& departure)
{
    // Who goes: the named of the whole room by name, then this server's unnamed by address.
    std::vector<std::string> named, unnamed;
    for (const auto& entry : listed)
        if (network.Contains(entry.second.ip))
            named.push_back(entry.second.name);
    for (const auto& entry : members)
        if (entry.second.nickname.empty() && network.Contains(entry.second.ip))
            unnamed.push_back(entry.second.address + " (unnamed)");
    std::sort(named.begin(), named.end(), NicknameRule::LessIgnoringCase);
    std::sort(unnamed.begin(), unnamed.end(), NicknameRule::LessIgnoringCase);
    named.insert(named.end(), unnamed.begin(), unnamed.end());

    RoomEvent banned;
    banned.kind = RoomEvent::Kind::Banned;
    banned.origin = link.Node();
    banned.network = network;
    banned.until = until;
    banned.text = told;
    banned.note = note;
    banned.departure = departure;
    link.Publish(std::move(banned));
    return named;
}

std::string ChatRoom::RemovalProblem(const std::string& told, const std::string& note,
                                     const Departure& departure) const
{
    // A ban carries the same words as a kick, and no member.
    RoomEvent banned;
    banned.kind = RoomEvent::Kind::Banned;
    banned.origin = link.Node();
    banned.network = IpNetwork::Of(asio::ip::address_v4::loopback());
    banned.text = told;
    banned.note = note;
    banned.departure = departure;
    return link.Problem(banned);
}

void ChatRoom::Unban(const IpNetwork& network)
{
    RoomEvent unbanned;
    unbanned.kind = RoomEvent::Kind::Unbanned;
    unbanned.origin = link.Node();
    unbanned.network = network;
    link.Publish(std::move(unbanned));
}

std::vector<std::string> ChatRoom::Remove(const std::string& name, const std::string& told,
                                          const std::string& note, const std::string& reason)
{
    return Remove(name, told, note, DepartureFrom(LeaveReason::Kicked, reason));
}

std::vector<std::string> ChatRoom::Remove(const IpNetwork& network, const std::string& told,
                                          const std::string& note, const std::string& reason)
{
    return Remove(network, told, note, DepartureFrom(LeaveReason::Banned, reason));
}
