#include "server/link/KnownMembers.h"

#include "server/link/RedisReply.h"

using RedisReply::IdOf;

void KnownMembers::Note(const RoomEvent& event, const std::string& at)
{
    if (event.kind == RoomEvent::Kind::Joined || event.kind == RoomEvent::Kind::Renamed)
    {
        known[event.member] = {event.name, at};
        departed.erase(event.member);
    }
    else if (event.kind == RoomEvent::Kind::Left)
    {
        // Known or not (its join may have been trimmed unread), a list read before must not
        // bring it back.
        known.erase(event.member);
        departed[event.member] = at;
        departures.push_back(event.member);
        while (departures.size() > RememberedDepartures)
        {
            departed.erase(departures.front());
            departures.pop_front();
        }
    }
}

std::vector<RoomEvent> KnownMembers::Differences(const std::map<MemberRef, RoomEvent>& listed,
                                                 const std::string& at,
                                                 const std::string& ownNode) const
{
    const auto position = IdOf(at);
    std::vector<RoomEvent> events;
    for (const auto& [member, held] : known)
    {
        if (member.node == ownNode || listed.count(member) != 0 || IdOf(held.at) > position)
            continue;
        RoomEvent gone;
        gone.kind = RoomEvent::Kind::Left;
        gone.origin = member.node;
        gone.member = member;
        gone.name = held.name;
        events.push_back(std::move(gone));
    }
    for (const auto& [member, joined] : listed)
    {
        if (member.node == ownNode)
            continue;
        const auto held = known.find(member);
        const auto left = departed.find(member);
        if (held == known.end()
                ? left != departed.end() && IdOf(left->second) > position
                : IdOf(held->second.at) > position || held->second.name == joined.name)
            continue; // left, or renamed, after the lists were read; or known as it is
        events.push_back(joined);
    }
    return events;
}

std::set<std::string> KnownMembers::Nodes() const
{
    std::set<std::string> nodes;
    for (const auto& entry : known)
        nodes.insert(entry.first.node);
    return nodes;
}
