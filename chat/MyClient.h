#pragma once

#include "chat/ClientPlatform.h"
#include "net/Client.h"
#include "sound/SoundPlayer.h"

#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>

// The chat client: the networking library's client plus the user's nickname, the users-online
// text and the two notification sounds. It never touches a window: what the user must see waits
// in its hand-off fields (chatLogLines, usersOnlineText) until the main loop carries it over, and
// what the user does reaches it through the main loop's calls.
class MyClient : public oNet::Client
{
public:
    // Gives the client a generated "User#" nickname; sends and writes nothing.
    void OnConnect() override;

    // One frame of network work: the library's frame, with each received packet handed to
    // ProcessPacket. False when the connection closed during it.
    bool Frame() override;
    // Handles one received packet. False for a type the client does not accept.
    bool ProcessPacket(std::shared_ptr<oNet::Packet> packet) override;

    // Queues a ChatMessage packet with the time-stamped line "[HH:MM:SS] [nickname]: text".
    void SendChatMessage(std::string text);
    // Makes the name the client's nickname, and announces it to the server with one Nickname
    // packet.
    void AnnounceNickname(const std::string& name);
    // "[HH:MM:SS]" in local time.
    std::string MakeTimestamp();

    std::string nickname;
    std::string usersOnlineText;
    bool usersOnlineChanged = false;
    // Lines for the chat log, oldest first, until the main loop moves them there.
    std::deque<std::string> chatLogLines;
    // Whether the last frame found more to read: a burst of lines is still arriving.
    bool moreToRead = false;
    SoundPlayer newMessageSound;
    SoundPlayer newUserSound;
    // The local time of a time stamp; tests set a fixed one.
    std::function<std::tm()> localTime = LocalTimeNow;
};
