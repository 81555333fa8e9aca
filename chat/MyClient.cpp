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

// "1 second", "24 seconds": a delay as the chat log tells it, in whole seconds.
std::string InSeconds(oNet::Clock::duration delay)
{
    const auto seconds = std::max<long long>(
        1, (std::chrono::duration_cast<std::chrono::milliseconds>(delay).count() + 500) / 1000);
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// A line without its time stamp: what the server says, whenever it says it.
std::string AfterTime(const std::string& line)
{
    const std::size_t timeClose = line.find(']');
    return timeClose == std::string::npos ? line : line.substr(timeClose + 1);
}

} // namespace

void MyClient::OnConnect()
{
    joined = false;
    replaying = false;
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
    {
        ConnectionLost();
        return false;
    }
    // The replay comes right after the users list, in one go: it is over when the socket has
    // run dry.
    if (replaying && !moreToRead)
        ReplayOver();
    if (CanSend() && !toResend.empty() && now() >= nextResend)
    {
        SendLine(toResend.front());
        toResend.pop_front();
        nextResend = now() + ResendInterval;
    }
    return true;
}

void MyClient::ConnectionLost()
{
    if (replaying)
        for (const std::string& line : seen.ReplayOver())
            ShowChatLine(line);
    joined = false;
    replaying = false;
    if (!reconnect)
        return;
    reconnecting = true;
    // The lines sent are kept until the server shows it had them; the nickname is announced
    // anew on the next connection anyway.
    connection.outgoing.packets.clear();
    // Lost before the server let the client in: a try that failed, which the log does not tell.
    if (away)
    {
        schedule.Failed(tryStarted);
        return;
    }
    away = true;
    awayServerLine.clear();
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
            std::this_thread::sleep_for(std::chrono::milliseconds(PollTimeoutMs));
            return;
        }
        tryStarted = now();
        BeginConnect(server);
    }
    if (!ContinueConnect(PollTimeoutMs))
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
    // Connected, but not back before the server has let the client in.
    reconnecting = false;
    Announce();
}

// The first users list on a connection: the server has let the client into the room.
void MyClient::Joined()
{
    joined = true;
    replaying = true;
    seen.Joined();
    if (!away)
        return;
    away = false;
    schedule.Connected(now());
    chatLogLines.push_back(MakeTimestamp() + " Connected to the server again.");
}

// The lines the server replayed have been read: those it held that the user has not seen are
// shown, and the lines sent whose echo has not come, in the replay or before, go again.
void MyClient::ReplayOver()
{
    replaying = false;
    for (const std::string& line : seen.ReplayOver())
        ShowChatLine(line);
    for (auto line = unconfirmed.rbegin(); line != unconfirmed.rend(); ++line)
        toResend.push_front(line->text);
    unconfirmed.clear();
    nextResend = now();
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
        std::cout << line << std::endl;
        Confirm(line);
        if (away && ChatProtocol::IsServerLine(line))
        {
            if (AfterTime(line) == awayServerLine)
                return true;
            awayServerLine = AfterTime(line);
        }
        for (const std::string& shown : seen.Received(line))
            ShowChatLine(shown);
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
        if (!joined)
            Joined();
        usersOnlineChanged = true;
        usersOnlineText = text;
        return true;
    }
    default:
        std::cout << "Unrecognized packet type: " << static_cast<unsigned>(type) << std::endl;
        return false;
    }
}

void MyClient::ShowChatLine(const std::string& line)
{
    chatLogLines.push_back(line);
    newMessageSound.Play();
}

// A line of the user's own come back: it, and those sent before it that did not (refused by the
// server, say), are no longer waited for.
void MyClient::Confirm(const std::string& line)
{
    const auto echoed = std::find_if(unconfirmed.begin(), unconfirmed.end(),
                                     [&](const SentLine& sent) { return sent.line == line; });
    if (echoed != unconfirmed.end())
        unconfirmed.erase(unconfirmed.begin(), echoed + 1);
}

void MyClient::SendChatMessage(std::string text)
{
    // Behind the lines sent again, and at their pace.
    if (toResend.empty() && now() >= nextResend)
        SendLine(text);
    else
        toResend.push_back(std::move(text));
}

void MyClient::SendLine(const std::string& text)
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
        return;
    }
    unconfirmed.push_back({text, line});
    if (unconfirmed.size() > MaxUnconfirmed)
        unconfirmed.pop_front();
}

void MyClient::AnnounceNickname(const std::string& name)
{
    nickname = name;
    // The server's answer to a name the user chose is shown, whatever it said before.
    awayServerLine.clear();
    if (IsConnected())
        Announce();
}

void MyClient::Announce()
{
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
