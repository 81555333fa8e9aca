#pragma once

#include "net/Client.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// A chat participant driven by a script rather than a window: it announces a nickname, says
// lines in the client's own form, and records what the server sends it. Used by the end-to-end
// tests and the demo, with the same library and protocol as the chat program.
class ScriptedPeer : public oNet::Client
{
public:
    bool ProcessPacket(std::shared_ptr<oNet::Packet> packet) override;
    void OnConnect() override {}
    void OnConnectFail() override {}
    void OnDisconnect(std::string reason) override { disconnectReason = reason; }

    void Announce(const std::string& name);
    // Says a line as the chat program does: "[HH:MM:SS] [nickname]: text".
    void Say(const std::string& text);
    // Runs frames until the condition holds; false when the time runs out or the connection ends.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Whether some received chat line contains the text.
    bool Saw(const std::string& text) const;

    std::string nickname;
    std::vector<std::string> lines; // chat lines received, in order
    std::string usersOnline;        // the last users-online text
    int newUsers = 0;               // NewUser packets received
    std::string disconnectReason;
};
