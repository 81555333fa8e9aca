#pragma once

#include "chat/ClientPlatform.h"
#include "chat/SeenLines.h"
#include "net/Client.h"
#include "net/Clock.h"
#include "net/ReconnectSchedule.h"
#include "sound/SoundPlayer.h"

#include <chrono>
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
// The server lets the client into the room once it has a nickname, and says so with the users
// list, which it sends only to members: from then on, once the lines it replays to newcomers have
// been read, the client can send. Every chat line sent is kept until the server has echoed it
// back (it echoes every line to its sender), so that none is lost with a connection.
//
// With reconnect, a lost connection is made again, to the same server, for as long as it takes
// (ReconnectSchedule): the chat log is told once, the users list emptied, and a try that connects
// announces the nickname. Only when the server has let the client in again is it back: the log
// says so, the lines the server replays are shown but for those the user has seen (SeenLines),
// and the lines sent whose echo never came and that the replay does not hold are sent again,
// with the nickname the user has then. Nothing of this waits longer than a frame may.
class MyClient : public oNet::Client
{
public:
    // Sent lines kept until their echo comes: the oldest beyond these are no longer watched.
    static constexpr std::size_t MaxUnconfirmed = 32;
    // Lines sent again go out one at a time, at this pace: below the 5 a second a server lets a
    // client send by default, whatever is left of its allowance at the join.
    static constexpr std::chrono::milliseconds ResendInterval{250};

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
    // Whether a line the user sends now goes to the server: connected, let into the room, and
    // the lines the server replayed read.
    bool CanSend() const { return IsConnected() && joined && !replaying; }

    // Sends the text as the time-stamped line "[HH:MM:SS] [nickname]: text", composed when it
    // goes: at once, or after the lines still waiting to be sent again.
    void SendChatMessage(std::string text);
    // Makes the name the client's nickname and, while connected, announces it to the server with
    // one Nickname packet; a connection made again announces it then.
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
    // A chat line sent: the user's text, and the line as it went.
    struct SentLine
    {
        std::string text;
        std::string line;
    };

    void Announce();
    void ConnectionLost();
    void Reconnect();
    void TryEnded();
    void Joined();
    void ReplayOver();
    void ShowChatLine(const std::string& line);
    void Confirm(const std::string& line);
    void SendLine(const std::string& text);

    bool reconnecting = false;
    bool away = false;      // the connection was lost, and the server has not let the client in
    bool joined = false;    // the server has let the client in on this connection
    bool replaying = false; // and the lines it replays on joining are being read
    oNet::Clock::time_point tryStarted;
    // The server's last line while away, after its time: the same again on a later try (the
    // server is full, say) is not shown again.
    std::string awayServerLine;
    SeenLines seen;
    std::deque<SentLine> unconfirmed; // sent, oldest first, their echo not yet back
    std::deque<std::string> toResend; // texts to be sent again, oldest first
    oNet::Clock::time_point nextResend;
};
