#include "chat/MyClient.h"

#include "common/ChatProtocol.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <utility>

using oNet::Packet;
using oNet::PacketType;

namespace
{

// While the client waits to connect again, each frame waits this long, as its poll would.
constexpr int FrameWaitMs = 1;

// "1 second", "24 seconds": a delay as the chat log tells it, in whole seconds.
std::string InSeconds(oNet::Clock::duration delay)
{
    const auto seconds = std::max<long long>(
        1, (std::chrono::duration_cast<std::chrono::milliseconds>(delay).count() + 500) / 1000);
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

} // namespace

void MyClient::OnConnect()
{
    // A connection made again keeps the nickname the user had.
    if (!nickname.empty())
        return;
    std::srand(NicknameSeedNow());
    // The generator's range is 0..32767 on Windows; elsewhere its low 15 bits give the same.
    nickname = ChatProtocol::GeneratedNickname(std::rand() & 0x7FFF);
}

bool MyClient::Frame()
{
    if (!IsConnected())
    {
        moreToRead = false;
        if (reconnecting)
            Reconnect();
        return IsConnected();
    }
    const bool open = Client::Frame();
    moreToRead = open && (pollWork.revents & POLLRDNORM);
    if (!open)
        ConnectionLost();
    return open;
}

void MyClient::ConnectionLost()
{
    if (!reconnect)
        return;
    reconnecting = true;
    // What the server has not had whole goes again once the connection is back; the nickname
    // is announced anew then anyway.
    for (const auto& packet : connection.outgoing.packets)
        if (packet->Type() == PacketType::ChatMessage)
            unsent.push_back(packet);
    connection.outgoing.packets.clear();
    usersOnlineText.clear();
    usersOnlineChanged = true;
    const auto delay = schedule.Lost(now());
    chatLogLines.push_back(MakeTimestamp() +
                           " The connection to the server was lost. Trying again in " +
                           InSeconds(delay) + ".");
}

// A step of the try under way, or a new try once it is due. Neither waits longer than a frame.
void MyClient::Reconnect()
{
    if (!IsConnecting())
    {
        if (!schedule.Due(now()))
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(FrameWaitMs));
            return;
        }
        tryStarted = now();
        BeginConnect(server);
    }
    if (!ContinueConnect(FrameWaitMs))
        TryEnded();
}

void MyClient::TryEnded()
{
    if (!IsConnected())
    {
        // A key that is no longer trusted ends it: the user has been told why.
        if (failure == oNet::ConnectFailure::NotTrusted)
            reconnecting = false;
        else
            schedule.Failed(tryStarted);
        return;
    }
    reconnecting = false;
    schedule.Connected(now());
    chatLogLines.push_back(MakeTimestamp() + " Connected to the server again.");
    AnnounceNickname(nickname);
    for (; !unsent.empty(); unsent.pop_front())
        connection.outgoing.Append(unsent.front());
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
