// The room's members as a server read of them, against the servers' lists read at one place of
// the stream: the lists decide only where they are newer.

#include "server/link/KnownMembers.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace
{

using Kind = RoomEvent::Kind;

RoomEvent Event(Kind kind, const std::string& node, std::uint64_t id, const std::string& name)
{
    RoomEvent event;
    event.kind = kind;
    event.origin = node;
    event.member = {node, id};
    event.name = name;
    return event;
}

TEST(KnownMembers, TheListsDecideOnlyWhereTheyAreNewerThanWhatWasRead)
{
    KnownMembers members;
    members.Note(Event(Kind::Joined, "a", 1, "Gone"), "10-0");    // left unread before 20
    members.Note(Event(Kind::Joined, "a", 2, "Renamed"), "10-0"); // renamed unread
    members.Note(Event(Kind::Joined, "a", 3, "Late"), "30-0");    // joined after the lists
    members.Note(Event(Kind::Joined, "a", 4, "Same"), "10-0");    // as listed
    members.Note(Event(Kind::Joined, "a", 5, "Quit"), "10-0");    // left after the lists
    members.Note(Event(Kind::Left, "a", 5, "Quit"), "25-0");
    members.Note(Event(Kind::Joined, "here", 9, "Mine"), "10-0"); // this server's own
    members.Note(Event(Kind::Left, "b", 8, "Unknown"), "22-0");   // its join never read
    EXPECT_EQ(members.Count(), 5u);

    std::map<MemberRef, RoomEvent> listed;
    for (const RoomEvent& joined :
         {Event(Kind::Joined, "a", 2, "Renamed2"), Event(Kind::Joined, "a", 4, "Same"),
          Event(Kind::Joined, "a", 5, "Quit"), Event(Kind::Joined, "b", 7, "Unread"),
          Event(Kind::Joined, "b", 8, "Unknown")})
        listed[joined.member] = joined;

    std::map<std::string, Kind> seen;
    for (const RoomEvent& event : members.Differences(listed, "20-0", "here"))
        seen[event.name] = event.kind;
    const std::map<std::string, Kind> expected = {
        {"Gone", Kind::Left}, {"Renamed2", Kind::Joined}, {"Unread", Kind::Joined}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(members.Nodes(), (std::set<std::string>{"a", "here"}));
}

} // namespace
