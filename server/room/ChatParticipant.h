#pragma once

#include <memory>
#include <string>

// A wire frame (2-byte length and packet), made once and shared by every queue that holds it.
using Frame = std::shared_ptr<const std::string>;

inline Frame MakeFrame(std::string bytes)
{
    return std::make_shared<const std::string>(std::move(bytes));
}

// One member's connection as the chat room sees it. The room calls these while it handles input
// or time, so an implementation must not call back into the room from them.
class ChatParticipant
{
public:
    // Queues a frame to be sent, after everything queued before it.
    virtual void Deliver(const Frame& frame) = 0;
    // The room has ended the membership: the connection sends what is queued and closes.
    virtual void Disconnect() = 0;
    // The member waited for an answer (ChatRoom::Input::Wait): its next packet may come now.
    virtual void ContinueInput() = 0;

protected:
    ~ChatParticipant() = default;
};
