// The room's events as Redis keeps them: every kind written and read back the same, and entries
// another program (or version) wrote refused with the reason rather than half read.

#include "server/link/RoomEventCodec.h"

#include <gtest/gtest.h>

namespace
{

using Kind = RoomEvent::Kind;
using RoomEventCodec::Fields;

RoomEvent About(Kind kind)
{
    RoomEvent event;
    event.kind = kind;
    event.origin = "east/10.0.0.1:6112";
    event.member = {"west", 1234567890123};
    event.name = "Bob the Builder";
    return event;
}

TEST(RoomEventCodec, EveryKindIsReadBackAsItWasWritten)
{
    std::vector<RoomEvent> events;
    RoomEvent joined = About(Kind::Joined);
    joined.address = "[2001:db8::7]:50000";
    joined.ip = asio::ip::make_address("2001:db8::7");
    joined.since = 1'800'000'000;
    RoomEvent renamed = About(Kind::Renamed);
    renamed.oldName = "bob";
    RoomEvent left = About(Kind::Left);
    left.departure = {LeaveReason::TooSlow, "fell 64 KiB behind"};
    left.note = "server lost";
    RoomEvent line = About(Kind::Line);
    line.text = "[23:59:59] [Bob the Builder]: caf\xE9 [x] ]: SERVER";
    RoomEvent said = About(Kind::Said);
    said.text = "maintenance at noon";
    // A kick and a ban with the longest reason the operator may give, in the words the
    // operator's commands put around it.
    const std::string reason(MaxReasonBytes, 'r');
    RoomEvent kicked = About(Kind::Kicked);
    kicked.text = "You were removed from the room: " + reason + ".";
    kicked.note = "removed: " + reason;
    kicked.departure = {LeaveReason::Kicked, "kicked by the operator: " + reason};
    RoomEvent banned = About(Kind::Banned);
    std::string why;
    ASSERT_TRUE(IpNetwork::Parse("192.0.2.0/24", banned.network, why));
    banned.until = 1'800'003'600;
    banned.text =
        "You were removed from the room: you are banned from this server (" + reason + ").";
    banned.note = "banned: " + reason;
    banned.departure = {LeaveReason::Banned, reason};
    RoomEvent unbanned = About(Kind::Unbanned);
    unbanned.network = banned.network;
    events = {joined, renamed, left, line, said, kicked, banned, unbanned};

    for (const RoomEvent& event : events)
    {
        RoomEventCodec::Entry entry;
        std::string problem;
        ASSERT_TRUE(
            RoomEventCodec::Decode(RoomEventCodec::Encode(event, "run7", 42), entry, problem))
            << static_cast<int>(event.kind) << ": " << problem;
        const RoomEvent& read = entry.event;
        EXPECT_EQ(entry.run, "run7");
        EXPECT_EQ(entry.number, 42u);
        EXPECT_EQ(read.kind, event.kind);
        EXPECT_EQ(read.origin, event.origin);
        const bool aboutMember =
            event.kind != Kind::Said && event.kind != Kind::Banned && event.kind != Kind::Unbanned;
        if (aboutMember)
        {
            EXPECT_EQ(read.member, event.member);
            EXPECT_EQ(read.name, event.name);
        }
        EXPECT_EQ(read.oldName, event.oldName);
        EXPECT_EQ(read.address, event.address);
        EXPECT_EQ(read.ip, event.ip);
        EXPECT_EQ(read.since, event.since);
        EXPECT_EQ(read.text, event.text);
        EXPECT_EQ(read.note, event.note);
        EXPECT_EQ(read.network, event.network);
        EXPECT_EQ(read.until, event.until);
        if (event.kind == Kind::Left || event.kind == Kind::Kicked || event.kind == Kind::Banned)
        {
            EXPECT_EQ(read.departure.Text(), event.departure.Text());
        }
    }

    // The room's list of bans keeps the longest reason too; a longer one is refused before it
    // is written.
    RoomEvent kept;
    std::string problem;
    ASSERT_TRUE(
        RoomEventCodec::DecodeBan("192.0.2.0/24", RoomEventCodec::EncodeBan(banned), kept, problem))
        << problem;
    EXPECT_EQ(kept.departure.detail, reason);
    EXPECT_EQ(RoomEventCodec::Problem(kicked), "");
    RoomEvent longer = kicked;
    longer.note = "removed: " + std::string(MaxDetailBytes, 'r');
    EXPECT_NE(RoomEventCodec::Problem(longer).find("the field note is longer than"),
              std::string::npos)
        << RoomEventCodec::Problem(longer);

    // A member's entry in its server's list is its join.
    RoomEvent member;
    ASSERT_TRUE(RoomEventCodec::DecodeMember("west", "1234567890123",
                                             RoomEventCodec::EncodeMember(joined), member, problem))
        << problem;
    EXPECT_EQ(member.kind, Kind::Joined);
    EXPECT_EQ(member.member, joined.member);
    EXPECT_EQ(member.name, "Bob the Builder");
    EXPECT_EQ(member.address, joined.address);
    EXPECT_EQ(member.since, joined.since);
}

TEST(RoomEventCodec, EntriesThatAreNotTheRoomsAreRefusedWithTheReason)
{
    const Fields line = RoomEventCodec::FieldsOf(
        [] {
            RoomEvent event = About(Kind::Line);
            event.name = "Bob";
            event.text = "[12:00:00] [Bob]: hi";
            return event;
        }(),
        "r", 1);
    // The line with one field changed (or, with an empty value, left out), as an entry.
    const auto with = [&](const std::string& field, const std::string& value) {
        Fields fields;
        for (const auto& pair : line)
            if (pair.first != field)
                fields.push_back(pair);
        if (!value.empty())
            fields.emplace_back(field, value);
        return RoomEventCodec::Pack(fields);
    };
    const auto packed = RoomEventCodec::Pack(line);
    struct Case
    {
        Fields fields;
        const char* reason;
    };
    const Case cases[] = {
        {{{"hello", "world"}}, "the field v is missing"},
        {{{"v", "2"}, packed[1]}, "written in version \"2\""},
        {{packed[0]}, "the field e is missing"},
        {{packed[0], {"e", "kind=line\x1fhello"}},
         "the field e holds \"hello\", which is no name=value"},
        {with("kind", "shout"), "no kind of event: \"shout\""},
        {with("kind", ""), "the field kind is missing"},
        {with("number", "0"), "the field number is 0"},
        {with("number", "-3"), "the field number is not a number"},
        {with("number", "99999999999999999999"), "the field number is not a number"},
        {with("id", "x1"), "the field id is not a number"},
        {with("node", "two words"), "the field node is no node's name"},
        {with("origin", std::string(65, 'n')), "the field origin is longer than 64 bytes"},
        {with("name", "SERVER"), "the field name is no usable nickname"},
        {with("name", "Alice"), "the line is not one a member may say"},
        {with("text", "[12:00:00] [Bob]: hi\r\n[12:00:00] [SERVER]: x"),
         "the field text holds control characters"},
        {with("text", "[12:00:00] [Bob]: " + std::string(9000, 'x')), "the field text is longer"},
        {[&] {
             Fields twice = line;
             twice.emplace_back("text", "[12:00:00] [Bob]: again");
             return RoomEventCodec::Pack(twice);
         }(),
         "the field \"text\" comes twice"},
    };
    for (const Case& c : cases)
    {
        RoomEventCodec::Entry entry;
        std::string problem;
        EXPECT_FALSE(RoomEventCodec::Decode(c.fields, entry, problem)) << c.reason;
        EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
    }

    const Fields joined = {
        {"kind", "joined"}, {"origin", "a"},  {"run", "r"},    {"number", "1"},
        {"node", "a"},      {"id", "5"},      {"name", "Ann"}, {"address", "1.2.3.4:5"},
        {"ip", "1.2.3.4"},  {"since", "1000"}};
    RoomEventCodec::Entry entry;
    std::string problem;
    ASSERT_TRUE(RoomEventCodec::Decode(RoomEventCodec::Pack(joined), entry, problem)) << problem;
    Fields badIp = joined;
    badIp[8].second = "1.2.3";
    EXPECT_FALSE(RoomEventCodec::Decode(RoomEventCodec::Pack(badIp), entry, problem));
    EXPECT_NE(problem.find("the field ip is no address"), std::string::npos) << problem;
    const Fields leftOddly = {{"kind", "left"}, {"origin", "a"},    {"run", "r"},
                              {"number", "1"},  {"node", "a"},      {"id", "5"},
                              {"name", "Ann"},  {"reason", "bored"}};
    EXPECT_FALSE(RoomEventCodec::Decode(RoomEventCodec::Pack(leftOddly), entry, problem));
    EXPECT_NE(problem.find("no way of leaving: \"bored\""), std::string::npos) << problem;

    RoomEvent member;
    for (const std::string value :
         {"", "1 100", "2 100 1.2.3.4 1.2.3.4:5 Ann", "1 x 1.2.3.4 a Ann"})
        EXPECT_FALSE(RoomEventCodec::DecodeMember("a", "5", value, member, problem)) << value;
}

} // namespace
