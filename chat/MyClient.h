#pragma once

#include "chat/ClientPlatform.h"
#include "net/Client.h"
#include "net/ReconnectSchedule.h"
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
//
// With reconnect, a lost connection is made again, to the same server, for as long as it takes
// (ReconnectSchedule): the chat log is told, the users list emptied, and once the connection is
// back the nickname is announced again and the chat lines the server had not had whole are sent.
// Nothing of this waits longer than a frame may.
class MyClient : public oNet::Client
{
public:
    // Gives the client a generated "User#" nickname when it has none; sends and writes nothing.
    void OnConnect() override;

    // One frame of network work: the library's frame, with each received packet handed to
    // ProcessPacket; while the connection is being made again, a step of that. False when the
    // client is not connected at its end.
    bool Frame() override;
    // Handles one received packet. False for a type the client does not accept.
    bool ProcessPacket(std::shared_ptr<oNet::Packet> packet) override;

    // Whether the client goes on: connected, or about to connect again. False once the
    // connection is lost for good: without reconnect, or when the server's key is refused.
    bool Running() const { return IsConnected() || reconnecting; }

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

    bool reconnect = false;
    // When to try again; tests give it a random source of their own.
    oNet::ReconnectSchedule schedule;

private:
    void ConnectionLost();
    void Reconnect();
    void TryEnded();

    bool reconnecting = false;
    oNet::Clock::time_point tryStarted;
    // Chat lines queued when the connection was lost, to be sent once it is back.
    std::deque<std::shared_ptr<oNet::Packet>> unsent;
};
