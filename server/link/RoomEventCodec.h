#pragma once

#include "server/room/RoomEvent.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// How the room's events are written in Redis and read back: each event is one entry of the
// room's stream, a list of fields and values. Nothing read back is trusted: another program, or
// another version of this one, may have written to the room's keys, so every field is checked
// as closely as the room checks what a client sends, and an entry that fails is refused with
// the reason, never half applied.
namespace RoomEventCodec
{

using Fields = std::vector<std::pair<std::string, std::string>>;
// The same, looked at where they are (in a reply from Redis).
using FieldViews = std::vector<std::pair<std::string_view, std::string_view>>;

// The version of the entries this build writes and reads.
constexpr const char* Version = "1";
// Between the fields packed in an entry: a control character, which no field may hold.
constexpr char Separator = '\x1f';

// An event as it travels: with the run of the server that decided it (each start of a server is
// a run of its own) and its number in that run, by which a server that reads an event twice
// (Redis lost its data and the event was written again) knows it.
struct Entry
{
    RoomEvent event;
    std::string run;
    std::uint64_t number = 0;
};

// An entry of the stream: the version ("v"), and the event's fields packed in one value ("e"),
// each as name=value, so that a reader has two values to take rather than a score.
Fields Encode(const RoomEvent& event, const std::string& run, std::uint64_t number);
// False, with the reason, for an entry this build cannot take as it is.
bool Decode(const FieldViews& entry, Entry& decoded, std::string& problem);
bool Decode(const Fields& entry, Entry& decoded, std::string& problem);
// Empty when every server can read the event as it would be written (its texts within the
// limits the reading checks); otherwise why not.
std::string Problem(const RoomEvent& event);

// The event's fields themselves ("kind", "origin", "run", "number", and those of its kind), as
// they are packed, and back.
Fields FieldsOf(const RoomEvent& event, const std::string& run, std::uint64_t number);
Fields Pack(const Fields& fields);
bool DecodeFields(const FieldViews& fields, Entry& entry, std::string& problem);

// A node's named member as the room's list of that node's members keeps it (the value of one
// field, the member's number being the field): what its Joined event said.
std::string EncodeMember(const RoomEvent& joined);
// The Joined event of the member of `node` numbered `id`; false, with the reason, when the
// value cannot be read.
bool DecodeMember(const std::string& node, const std::string& id, const std::string& value,
                  RoomEvent& joined, std::string& problem);

// A ban as the room's list of bans keeps it (the value of one field, the network being the
// field): "UNTIL REASON", UNTIL in Unix time or "-" for until lifted.
std::string EncodeBan(const RoomEvent& banned);
// The Banned event of the ban on `network`; false, with the reason, when it cannot be read.
bool DecodeBan(const std::string& network, const std::string& value, RoomEvent& banned,
               std::string& problem);

// Empty when the text may name a node (a server of the room); otherwise why not.
std::string NodeProblem(const std::string& node);

} // namespace RoomEventCodec
