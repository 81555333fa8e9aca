#pragma once

#include "net/Client.h"
#include "sound/SoundPlayer.h"

#include <ctime>
#include <functional>
#include <memory>
#include <string>

class MainWindow;

// The chat client: the networking library's client plus the user's nickname, the users-online
// text and the two notification sounds. Its frame takes over the message the user has typed and
// hands every received packet, with the main window, to its own packet handler.
class MyClient : public oNet::Client
{
public:
    // Gives the client a generated "User#" nickname; sends and writes nothing.
    void OnConnect() override;

    // One frame of network work for the main loop. False when the connection closed during it.
    bool Frame(MainWindow& window);
    // Handles one received packet. False for a type the client does not accept.
    bool ProcessPacket(std::shared_ptr<oNet::Packet> packet, MainWindow& window);

    // Queues a ChatMessage packet with the time-stamped line "[HH:MM:SS] [nickname]: text".
    void SendChatMessage(std::string text);
    // "[HH:MM:SS]" in local time.
    std::string MakeTimestamp();

    std::string nickname;
    std::string usersOnlineText;
    bool usersOnlineChanged = false;
    SoundPlayer newMessageSound;
    SoundPlayer newUserSound;
    // The local time of a time stamp; tests set a fixed one.
    std::function<std::tm()> localTime = CurrentLocalTime;

    static std::tm CurrentLocalTime();
};
