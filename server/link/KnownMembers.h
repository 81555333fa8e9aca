#pragma once

#include "server/room/RoomEvent.h"

#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

// The room's named members as this server has read of them, each with where in the room's
// stream it last read of it, and those lately gone: what the servers' lists of members, read
// again after a gap or a loss of Redis's data, are compared with. The lists are read at one
// place of the stream; whatever this server read of a member after that place is newer than
// what the lists say of it, so that the lists decide only where they are newer.
class KnownMembers
{
public:
    // How many members lately gone are remembered, so that a list read before they left does
    // not bring them back.
    static constexpr std::size_t RememberedDepartures = 4096;

    // A Joined, Renamed or Left event read at `at` (an entry's id, or where the lists were read).
    void Note(const RoomEvent& event, const std::string& at);
    // What the lists (read where the stream stood at `at`) show that this server has not read,
    // as events to apply there: Left for a member it knows that no list holds, Joined for one
    // listed that it does not know or knows by another name; the node's own members left out.
    std::vector<RoomEvent> Differences(const std::map<MemberRef, RoomEvent>& listed,
                                       const std::string& at, const std::string& ownNode) const;

    std::size_t Count() const { return known.size(); }
    std::set<std::string> Nodes() const;

private:
    struct Known
    {
        std::string name;
        std::string at;
    };

    std::map<MemberRef, Known> known;
    std::map<MemberRef, std::string> departed; // and where
    std::deque<MemberRef> departures;          // oldest first
};
