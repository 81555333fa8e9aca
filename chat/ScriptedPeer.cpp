#include "chat/ScriptedPeer.h"

#include "common/ChatProtocol.h"

#include <ctime>
#include <thread>

using oNet::PacketType;

bool ScriptedPeer::ProcessPacket(std::shared_ptr<oNet::Packet> packet)
{
    switch (packet->Type())
    {
    case PacketType::ChatMessage: {
        std::string line;
        *packet >> line;
        lines.push_back(line);
        return true;
    }
    case PacketType::UsersOnline:
        *packet >> usersOnline;
        return true;
    case PacketType::NewUser:
        ++newUsers;
        return true;
    default:
        return false;
    }
}

void ScriptedPeer::Announce(const std::string& name)
{
    nickname = name;
    connection.outgoing.Append(ChatProtocol::MakeTextPacket(PacketType::Nickname, name));
}

void ScriptedPeer::Say(const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    const std::string line = ChatProtocol::ComposeChatLine(
        ChatProtocol::FormatTimestamp(*std::localtime(&now)), nickname, text);
    connection.outgoing.Append(ChatProtocol::MakeTextPacket(PacketType::ChatMessage, line));
}

bool ScriptedPeer::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done())
    {
        if (!IsConnected() || std::chrono::steady_clock::now() > deadline)
            return false;
        Frame();
    }
    return true;
}

bool ScriptedPeer::Saw(const std::string& text) const
{
    for (const auto& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}
