#pragma once

// The scripts the room's link has Redis run, each in one step (nothing of another client comes
// between its reads and its writes): they keep the room's bookkeeping consistent where two
// commands would leave a moment for another server to act on half of it.
namespace RoomScripts
{

// Frees a name only while the member still holds it (a later holder keeps it), and takes it off
// its node's list of names. KEYS: the name, the node's names; ARGV: the holder, the folded name.
constexpr const char* FreeIfHeld = "if redis.call('GET', KEYS[1]) == ARGV[1] then "
                                   "redis.call('SREM', KEYS[2], ARGV[2]) "
                                   "return redis.call('DEL', KEYS[1]) end return 0";

// Sets the name for the holder if it is unset (or the holder's already), and lists it among its
// node's names, so that the names of a node that ends without freeing them can be found; answers
// nil when granted, or who holds it. KEYS: the name, the node's names; ARGV: the holder, the
// folded name.
constexpr const char* ClaimName = "local held = redis.call('GET', KEYS[1]) "
                                  "if held and held ~= ARGV[1] then return held end "
                                  "redis.call('SET', KEYS[1], ARGV[1]) "
                                  "redis.call('SADD', KEYS[2], ARGV[2]) return false";

// Keeps the node's key for this run: "renewed" when it held it, "expired" when nobody did (it is
// set again), "taken" when another run holds it (left as it is). KEYS: the node's key; ARGV:
// the run, its life in milliseconds.
constexpr const char* KeepAlive = "local held = redis.call('GET', KEYS[1]) "
                                  "if held and held ~= ARGV[1] then return 'taken' end "
                                  "redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2]) "
                                  "if held then return 'renewed' end return 'expired'";

// Where the stream stands, and every node's list of members: the last entry's id ("0-0" when
// there is no stream), then each node and its list. KEYS: the stream, the nodes; ARGV: the start
// of the lists' keys.
constexpr const char* MembersSnapshot =
    "local at = '0-0' "
    "local info = redis.pcall('XINFO', 'STREAM', KEYS[1]) "
    "if type(info) == 'table' and not info.err then for i = 1, #info - 1, 2 do "
    "if info[i] == 'last-generated-id' then at = info[i + 1] end end end "
    "local out = {at} "
    "for _, node in ipairs(redis.call('SMEMBERS', KEYS[2])) do "
    "out[#out + 1] = node out[#out + 1] = redis.call('HGETALL', ARGV[1] .. node) end "
    "return out";

// The node leaves the room, if this run holds it (after its members' entries). KEYS: the node's
// key, the nodes, its list of members; ARGV: the run, the node.
constexpr const char* Goodbye = "if redis.call('GET', KEYS[1]) ~= ARGV[1] then return 0 end "
                                "redis.call('DEL', KEYS[1], KEYS[3]) "
                                "redis.call('SREM', KEYS[2], ARGV[2]) return 1";

// Gives up the node's key, if this run holds it. KEYS: the node's key; ARGV: the run.
constexpr const char* ReleaseNode = "if redis.call('GET', KEYS[1]) == ARGV[1] then "
                                    "return redis.call('DEL', KEYS[1]) end return 0";

// The list of a node's members, if the node is gone (nil while its key lives). KEYS: the node's
// key, its list.
constexpr const char* MembersOfGone = "if redis.call('EXISTS', KEYS[1]) == 1 then return false end "
                                      "return redis.call('HGETALL', KEYS[2])";

// A node that is gone leaves the room: off the list of nodes, and every name it still holds
// freed, unless the node is alive again (a new run of the node frees what the earlier left,
// and stays). KEYS: the node's key, the nodes, the node's names; ARGV: the node, the start of
// the room's name keys, the start of the node's holders ("NODE" and a line feed), the run
// that frees them.
constexpr const char* NodeGone = "local alive = redis.call('GET', KEYS[1]) "
                                 "if alive and alive ~= ARGV[4] then return 0 end "
                                 "if not alive then redis.call('SREM', KEYS[2], ARGV[1]) end "
                                 "for _, name in ipairs(redis.call('SMEMBERS', KEYS[3])) do "
                                 "local held = redis.call('GET', ARGV[2] .. name) "
                                 "if held and string.sub(held, 1, #ARGV[3]) == ARGV[3] then "
                                 "redis.call('DEL', ARGV[2] .. name) end end "
                                 "redis.call('DEL', KEYS[3]) return 1";

} // namespace RoomScripts
