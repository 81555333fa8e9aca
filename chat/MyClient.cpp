#include "chat/MyClient.h"

#include "common/ChatProtocol.h"
#include "ui/MainWindow.h"

#include <cstdlib>
#include <iostream>
#include <utility>

using oNet::Packet;
using oNet::PacketType;

std::tm MyClient::CurrentLocalTime()
{
    const __time64_t now = _time64(nullptr);
    std::tm local = {};
    _localtime64_s(&local, &now);
    return local;
}

void MyClient::OnConnect()
{
    std::srand(ChatProtocol::NicknameSeed(static_cast<std::uint64_t>(_time64(nullptr)),
                                          GetCurrentProcessId(), GetTickCount()));
    nickname = ChatProtocol::GeneratedNickname(std::rand());
}

bool MyClient::Frame(MainWindow& window)
{
    // The typed message is queued before anything received in this frame is handled.
    if (window.messagePending)
    {
        SendChatMessage(window.pendingMessage);
        window.pendingMessage = "";
        SetWindowTextA(window.messageEdit, "");
        window.messagePending = false;
    }
    const bool open = Transfer() && Dispatch([&](std::shared_ptr<Packet> packet) {
                          return ProcessPacket(std::move(packet), window);
                      });
    // Nothing more to read: a burst of lines is over, and the chat log shows it.
    if (!open || !(pollWork.revents & POLLRDNORM))
        window.RepaintChatLog();
    return open;
}

bool MyClient::ProcessPacket(std::shared_ptr<Packet> packet, MainWindow& window)
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
        window.AppendChatLine(line);
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

std::string MyClient::MakeTimestamp()
{
    return ChatProtocol::FormatTimestamp(localTime());
}
