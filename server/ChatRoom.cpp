#include "server/ChatRoom.h"

#include "chat/ChatProtocol.h"
#include "server/ChatRules.h"
#include "server/ServerLog.h"

#include <ctime>

using oNet::Packet;
using oNet::PacketType;

namespace
{

std::string TextFrame(PacketType type, const std::string& text)
{
    return ChatProtocol::WireFrame(*ChatProtocol::MakeTextPacket(type, text));
}

} // namespace

ChatRoom::ChatRoom(std::ostream& log) : log(log) {}

std::string ChatRoom::ServerLineFrame(const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    return TextFrame(PacketType::ChatMessage,
                     ChatProtocol::FormatTimestamp(*std::localtime(&now)) + " [SERVER]: " + text);
}

ChatRoom::MemberId ChatRoom::Join(const std::string& address)
{
    const MemberId id = nextId++;
    members[id].address = address;
    return id;
}

void ChatRoom::Receive(MemberId id, const char* bytes, std::size_t size)
{
    const auto found = members.find(id);
    if (found == members.end() || found->second.closed)
        return;
    Member& member = found->second;
    member.input.insert(member.input.end(), bytes, bytes + size);

    std::size_t start = 0;
    while (!member.closed && member.input.size() - start >= 2)
    {
        const auto* header = reinterpret_cast<const unsigned char*>(member.input.data() + start);
        const std::size_t length = (std::size_t{header[0]} << 8) | header[1];
        if (length < 2 || length > oNet::MaxPacketSize)
        {
            CloseMember(member, "bad input: frame length " + std::to_string(length));
            break;
        }
        if (member.input.size() - start < 2 + length)
            break;
        Packet packet;
        packet.buffer.assign(member.input.begin() + static_cast<std::ptrdiff_t>(start + 2),
                             member.input.begin() +
                                 static_cast<std::ptrdiff_t>(start + 2 + length));
        start += 2 + length;
        if (!HandlePacket(member, packet))
            break;
    }
    member.input.erase(member.input.begin(),
                       member.input.begin() + static_cast<std::ptrdiff_t>(start));
}

void ChatRoom::Close(MemberId id, const std::string& reason)
{
    const auto found = members.find(id);
    if (found != members.end())
        CloseMember(found->second, reason);
}

std::vector<ChatRoom::Departure> ChatRoom::Sweep()
{
    std::vector<Departure> departures;
    // Telling the others may itself cut off one that cannot keep up: sweep until none is left.
    for (bool again = true; again;)
    {
        std::vector<std::string> left;
        for (auto it = members.begin(); it != members.end();)
        {
            const Member& member = it->second;
            if (!member.closed)
            {
                ++it;
                continue;
            }
            WriteLogLine(log, member.Label() + " disconnected: " + member.closeReason);
            if (!member.nickname.empty())
                left.push_back(member.nickname);
            departures.push_back({it->first, member.abort});
            it = members.erase(it);
        }
        for (const auto& name : left)
            Broadcast(ServerLineFrame(name + " left."));
        if (!left.empty())
            BroadcastUsersOnline();
        again = false;
        for (const auto& entry : members)
            again = again || entry.second.closed;
    }
    return departures;
}

std::string_view ChatRoom::Pending(MemberId id) const
{
    const auto found = members.find(id);
    if (found == members.end())
        return {};
    const Member& member = found->second;
    return std::string_view(member.output).substr(member.outputStart);
}

void ChatRoom::Sent(MemberId id, std::size_t count)
{
    const auto found = members.find(id);
    if (found == members.end())
        return;
    Member& member = found->second;
    member.outputStart += count;
    if (member.outputStart >= member.output.size())
    {
        member.output.clear();
        member.outputStart = 0;
    }
    else if (member.outputStart > 65536 && member.outputStart * 2 > member.output.size())
    {
        member.output.erase(0, member.outputStart);
        member.outputStart = 0;
    }
}

bool ChatRoom::IsClosed(MemberId id) const
{
    const auto found = members.find(id);
    return found == members.end() || found->second.closed;
}

std::size_t ChatRoom::MemberCount() const
{
    std::size_t count = 0;
    for (const auto& entry : members)
        count += entry.second.closed ? 0 : 1;
    return count;
}

bool ChatRoom::HandlePacket(Member& member, Packet& packet)
{
    try
    {
        switch (packet.Type())
        {
        case PacketType::Nickname: {
            std::string name;
            packet >> name;
            HandleNickname(member, name);
            return true;
        }
        case PacketType::ChatMessage: {
            std::string line;
            packet >> line;
            HandleChatLine(member, line, packet);
            return true;
        }
        default:
            CloseMember(member, "bad input: packet type " +
                                    std::to_string(static_cast<unsigned>(packet.Type())));
            return false;
        }
    }
    catch (const oNet::PacketException&)
    {
        CloseMember(member, "bad input: a packet ends early");
        return false;
    }
}

void ChatRoom::HandleNickname(Member& member, const std::string& name)
{
    if (name == member.nickname)
        return; // announced again, nothing changes
    const std::string problem = ChatRules::NicknameProblem(name);
    if (!problem.empty())
    {
        WriteLogLine(log, member.Label() + " asked for an unusable nickname");
        Send(member, ServerLineFrame(problem + " Your nickname stays as it was."));
        return;
    }
    for (const auto& entry : members)
    {
        const Member& other = entry.second;
        if (&other != &member && !other.closed && ChatRules::SameName(other.nickname, name))
        {
            WriteLogLine(log,
                         member.Label() + " asked for the nickname " + name + ", which is taken");
            Send(member, ServerLineFrame("The nickname " + name +
                                         " is taken. Your nickname stays as it was."));
            return;
        }
    }

    const std::string old = member.nickname;
    member.nickname = name;
    if (old.empty())
    {
        WriteLogLine(log, member.address + " joined as " + name);
        const std::string newUser = ChatProtocol::WireFrame(Packet(PacketType::NewUser));
        for (auto& entry : members)
            if (&entry.second != &member)
                Send(entry.second, newUser);
        Broadcast(ServerLineFrame(name + " joined."));
    }
    else
    {
        WriteLogLine(log, old + " is now known as " + name);
        Broadcast(ServerLineFrame(old + " is now known as " + name + "."));
    }
    BroadcastUsersOnline();
}

void ChatRoom::HandleChatLine(Member& member, const std::string& line, const Packet& packet)
{
    if (member.nickname.empty())
    {
        WriteLogLine(log, member.Label() + ": a line before choosing a nickname was dropped");
        Send(member, ServerLineFrame("Choose a nickname before you chat."));
        return;
    }
    if (!ChatRules::IsChatLineFrom(line, member.nickname))
    {
        WriteLogLine(log, member.Label() + ": a line not in its own name was dropped");
        Send(
            member,
            ServerLineFrame(
                "Your line was not passed on: it must start with the time and your own nickname."));
        return;
    }
    Broadcast(ChatProtocol::WireFrame(packet));
}

void ChatRoom::Send(Member& member, const std::string& frame)
{
    if (member.closed)
        return;
    member.output += frame;
    // What waits for a member that does not read, here and in the system's buffers, will never be
    // read: its connection is reset rather than closed.
    if (member.output.size() - member.outputStart > OutputLimit)
        CloseMember(member, "too slow: more than 1 MiB waiting to be sent", true);
}

void ChatRoom::Broadcast(const std::string& frame)
{
    for (auto& entry : members)
        Send(entry.second, frame);
}

void ChatRoom::BroadcastUsersOnline()
{
    std::vector<std::string> names;
    for (const auto& entry : members)
        if (!entry.second.closed && !entry.second.nickname.empty())
            names.push_back(entry.second.nickname);
    Broadcast(TextFrame(PacketType::UsersOnline,
                        ChatRules::UsersOnlineText(names, ChatProtocol::MaxTextBytes)));
}

void ChatRoom::CloseMember(Member& member, const std::string& reason, bool abort)
{
    if (member.closed)
        return;
    member.closed = true;
    member.abort = abort;
    member.closeReason = reason;
}
