#include "chat/MyClient.h"

#include "common/ChatProtocol.h"

#include <cstdlib>
#include <iostream>
#include <utility>

using oNet::Packet;
using oNet::PacketType;

void MyClient::OnConnect()
{
    std::srand(NicknameSeedNow());
    // The generator's range is 0..32767 on Windows; elsewhere its low 15 bits give the same.
    nickname = ChatProtocol::GeneratedNickname(std::rand() & 0x7FFF);
}

bool MyClient::Frame()
{
    const bool open = Client::Frame();
    moreToRead = open && (pollWork.revents & POLLRDNORM);
    return open;
}

bool MyClient::ProcessPacket(std::shared_ptr<Packet> packet)
{
    // The sounds open at the first packet and stay open; one that cannot be opened is tried
    // again at most once a second.
    newMessageSound.Load(L"src/snd_newmessage.mp3", L"newmessage");
    newUserSound.Load(L"src/snd_newuser.mp3", L"newuser");

    const PacketType type = packet->Type();
    switch (type)
    {
    case PacketType::ChatMessage: {
        std::string line;
        *packet >> line;
        chatLogLines.push_back(line);
        newMessageSound.Play();
        std::cout << line << std::endl;
        return true;
    }
    case PacketType::IntegerArray:
        ChatProtocol::WriteIntegerArray(*packet, std::cout);
        return true;
    case PacketType::NewUser:
        newUserSound.Play();
        return true;
    case PacketType::UsersOnline: {
        std::string text;
        *packet >> text;
        usersOnlineChanged = true;
        usersOnlineText = text;
        return true;
    }
    default:
        std::cout << "Unrecognized packet type: " << static_cast<unsigned>(type) << std::endl;
        return false;
    }
}

void MyClient::SendChatMessage(std::string text)
{
    const std::string line = ChatProtocol::ComposeChatLine(MakeTimestamp(), nickname, text);
    try
    {
        connection.outgoing.Append(ChatProtocol::MakeTextPacket(PacketType::ChatMessage, line));
    }
    catch (const oNet::PacketException& e)
    {
        // Only a nickname far longer than the program lets anyone choose can get here.
        std::cerr << "Message not sent: the line is too long for one packet. " << e.Message()
                  << std::endl;
    }
}

void MyClient::AnnounceNickname(const std::string& name)
{
    nickname = name;
    try
    {
        connection.outgoing.Append(ChatProtocol::MakeTextPacket(PacketType::Nickname, nickname));
    }
    catch (const oNet::PacketException& e)
    {
        // Nicknames are kept short enough for a chat line; this is only a last guard.
        std::cerr << "Nickname not announced: it is too long for one packet. " << e.Message()
                  << std::endl;
    }
}

std::string MyClient::MakeTimestamp()
{
    return ChatProtocol::FormatTimestamp(localTime());
}
