#pragma once

#include "server/link/RoomEventCodec.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

struct redisReply;
struct redisReader;

// What Redis answers, as hiredis hands it over, looked at closely: nothing in a reply is trusted
// to have the shape the command promises (another program may have written the keys, a proxy
// may stand between), so each of these answers "no" to any other shape rather than reading it.
namespace RedisReply
{

using Reply = const redisReply*;

// The most elements an array in a reply may have. hiredis makes room for an array's elements as
// soon as it reads their count, so a count of a billion (from whatever stands at Redis's address)
// would take gigabytes before a byte of them came; the room's largest answers (every member of
// the room, every ban, two elements each) stay far below this.
constexpr int MostArrayElements = 1 << 21;
// Makes the reader take a longer array for a failure (hiredis's "out of memory"), which ends the
// connection as any other failure does.
void BoundArrays(redisReader* reader);

// A string or status's text; empty for anything else.
std::string Text(Reply reply);
bool IsError(Reply reply);
bool IsNil(Reply reply);
bool IsString(Reply reply); // a string or a status
bool IsInteger(Reply reply);
bool IsArray(Reply reply);
bool IsArray(Reply reply, std::size_t elements);
// Whether it says what a key held: nil (nothing) or a string. Anything else (an error: Redis
// out of memory, read-only, unable to save) says nothing about the key and is a failure.
bool HoldsValue(Reply reply);
// Why Redis refused: its error, or what else came instead of an answer.
std::string Refusal(Reply reply);

// A reply of field and value pairs (XINFO, HGETALL) by field; fields that are no strings are
// left out.
std::map<std::string, Reply> Pairs(Reply reply);

// A stream entry ([id, [field, value, ...]]) as its id and fields, where the reply holds them;
// false when it is no entry.
bool EntryOf(Reply entry, std::string& id, RoomEventCodec::FieldViews& fields);
// The entries of one stream in XREAD's answer ([[stream, [entry, ...]]]); null when it holds
// none (nil: nothing new) or is no such answer.
Reply StreamEntries(Reply reply);

// A stream entry's id, "MILLISECONDS-SEQUENCE", as two numbers that order like the ids; 0-0 for
// what is no id.
std::pair<std::uint64_t, std::uint64_t> IdOf(const std::string& id);

// What XINFO STREAM says of the stream, where it says it.
struct StreamInfo
{
    bool counted = false; // length and entries-added were there
    std::uint64_t length = 0;
    std::uint64_t entriesAdded = 0;
    std::string lastId;  // last-generated-id; empty when not given
    std::string firstId; // recorded-first-entry-id; empty when not given
};
StreamInfo InfoOf(Reply reply);

} // namespace RedisReply
