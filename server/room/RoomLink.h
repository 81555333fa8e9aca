#pragma once

#include "server/room/RoomEvent.h"

#include <cstdint>
#include <deque>
#include <string>

// What carries the room's events between its servers. The room publishes what it decides; the
// link hands every event back, its own included, to each server's room in one order, and the
// room applies it to its members. A nickname is claimed through the link, which answers later
// (at once, when the room is one server). The link keeps the latest lines for newcomers.
//
// A link calls its listener only from the server's one thread, and may do so from within
// Publish or Claim (the local link does, in the same turn).
class RoomLink
{
public:
    using MemberId = std::uint64_t;

    class Listener
    {
    public:
        // An event, in the room's order. The listener may fill in its frame.
        virtual void Apply(RoomEvent& event) = 0;
        // The answer to Claim: whether the member now holds the name in the whole room.
        virtual void Claimed(MemberId id, const std::string& name, bool granted) = 0;
        // This server's member lost its name to another while the room could not hear this
        // server (it was away from Redis): the member must go.
        virtual void NameLost(MemberId id, const std::string& name) = 0;

    protected:
        ~Listener() = default;
    };

    virtual ~RoomLink() = default;

    virtual void Attach(Listener& listener) = 0;
    // This server's name in the room; empty when the room is this server alone.
    virtual const std::string& Node() const = 0;
    // Where this server's member numbers start: numbers must not meet those of an earlier run of
    // the same node, whose events may still be on their way.
    virtual MemberId FirstMemberId() const = 0;

    // An event for the whole room. A Renamed or Left event also gives up the name the member
    // held (unless it is the same name in other letter case).
    virtual void Publish(RoomEvent event) = 0;
    // Empty when the link can carry the event to every server; otherwise why not.
    virtual std::string Problem(const RoomEvent& /*event*/) const { return ""; }
    // Asks for the name (in any letter case) for this server's member; answered by Claimed.
    virtual void Claim(MemberId id, const std::string& name) = 0;
    // Gives up a name granted to the member and never used.
    virtual void Release(MemberId id, const std::string& name) = 0;

    // The latest chat lines, oldest first, as frames: what a newcomer is told.
    virtual const std::deque<Frame>& History() const = 0;
};
