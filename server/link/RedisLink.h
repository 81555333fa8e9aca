#pragma once

#include "server/link/RedisAddress.h"
#include "server/room/RoomLink.h"

#include <asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <set>
#include <string>

// What a server needs to join a room kept in Redis.
struct RedisRoomOptions
{
    RedisAddress address;
    std::string password;             // empty: Redis asks for none
    std::string room = "ostrel";      // the prefix of every key of the room
    std::string node;                 // this server's name in the room
    std::size_t streamLength = 10000; // entries the room's stream is trimmed to, about
    std::size_t history = 20;         // lines replayed to a newcomer
};

// How this server stands with the Redis that carries the room, for its operator.
struct LinkFigures
{
    bool up = false;              // connected and registered: the room takes its events
    std::uint64_t lagEntries = 0; // entries of the stream written that it has yet to read
    std::uint64_t reconnects = 0; // times it joined the room again after losing Redis
    std::uint64_t gaps = 0;       // times entries were trimmed before it read them
};

// The room carried by Redis: one stream per room carries every event, read by every server of
// the room; nicknames are claimed in Redis; each server keeps itself alive there with an
// expiring key, and the members of one that stops without saying goodbye are announced gone by
// one of the others. The Linux build has it (hiredis); the Windows build has not, and says so.
class RedisLink : public RoomLink
{
public:
    static bool Available();
    // Why not, where it is not available.
    static std::string Unavailable();
    static std::unique_ptr<RedisLink> Create(asio::io_context& io, RedisRoomOptions options,
                                             std::ostream& log);

    // Joins the room: connects, sees that no other server runs as this node, registers the node,
    // and reads the room's list and latest lines. `done` once: an empty error when the server may
    // take members, otherwise why not (Redis unreachable, the password refused, the node's name
    // alive already).
    virtual void Start(std::function<void(const std::string& error)> done) = 0;
    // Says goodbye: this server's members leave the room for everyone, their names are freed and
    // the node is taken off. `done` once, when Redis has it or after a few seconds.
    virtual void Stop(std::function<void()> done) = 0;
    // Told whenever the room can take events or can no longer (Redis away): while it cannot, the
    // server reads from none of its members.
    virtual void OnAvailable(std::function<void(bool available)> changed) = 0;
    // Told once if the room lets this server go for good (another run of the server took its
    // node while it was away), with why: the server stops.
    virtual void OnEnded(std::function<void(const std::string& why)> ended) = 0;
    // Whether to read the room's stream: not while most of this server's members are behind
    // (the stream keeps the lines meanwhile).
    virtual void Read(bool read) = 0;
    // The networks the room bans, as this server knows them.
    virtual std::set<std::string> BannedNetworks() const = 0;
    virtual LinkFigures Figures() const = 0;
};
