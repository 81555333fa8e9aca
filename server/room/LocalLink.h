#pragma once

#include "common/NicknameRule.h"
#include "server/room/RecentLines.h"
#include "server/room/RoomLink.h"

#include <cstddef>
#include <map>

// The room on one server: every event is applied at once, in the same turn, and a name is
// granted when no other member of this server holds it.
class LocalLink final : public RoomLink
{
public:
    // history: how many of the latest lines are kept for newcomers.
    explicit LocalLink(std::size_t history) : history(history) {}

    void Attach(Listener& listener) override { this->listener = &listener; }
    const std::string& Node() const override { return node; }
    MemberId FirstMemberId() const override { return 1; }
    void Publish(RoomEvent event) override;
    void Claim(MemberId id, const std::string& name) override;
    void Release(MemberId id, const std::string& name) override;
    const std::deque<Frame>& History() const override { return history.Frames(); }

private:
    struct NameOrder
    {
        bool operator()(const std::string& a, const std::string& b) const
        {
            return NicknameRule::LessIgnoringCase(a, b);
        }
    };

    const std::string node;
    Listener* listener = nullptr;
    std::map<std::string, MemberId, NameOrder> holders; // every name granted, in any case
    RecentLines history;
};
