#pragma once

#include "server/room/ChatParticipant.h"
#include "server/room/Departure.h"
#include "server/room/IpNetwork.h"

#include <asio/ip/address.hpp>

#include <cstdint>
#include <optional>
#include <string>

// A member anywhere in the room: the node (server) it is connected to, and its number there.
struct MemberRef
{
    std::string node;
    std::uint64_t id = 0;

    bool operator<(const MemberRef& other) const
    {
        return id != other.id ? id < other.id : node < other.node;
    }
    bool operator==(const MemberRef& other) const { return id == other.id && node == other.node; }
};

// What the room decides, as data: it goes through the room's link to every server of the room
// (just this one, without a room across servers), and each applies it to its own members in the
// one order the link gives.
struct RoomEvent
{
    enum class Kind
    {
        Joined,   // member, name, address, ip, since
        Renamed,  // member, name, oldName
        Left,     // member, name, departure, note
        Line,     // member, name, text: a chat line as the member sent it
        Said,     // text: a server line to everyone
        Kicked,   // member, name, text (told to it), note, departure
        Banned,   // network, until, text (told to those removed), note, departure
        Unbanned, // network
    };

    Kind kind = Kind::Said;
    std::string origin;   // the node that decided it
    MemberRef member;     // who it is about
    std::string name;     // the member's nickname; Renamed: the new one
    std::string oldName;  // Renamed: the one it had
    std::string address;  // Joined: where it connects from, as the log shows it
    asio::ip::address ip; // Joined: what bans are checked against
    std::int64_t since{}; // Joined: when, in Unix time
    std::string text;     // Line: the chat line; Said: the server line's text; Kicked, Banned:
                          // what those removed are told
    std::string note;     // Left, Kicked, Banned: the room hears "NAME left (note)."
    Departure departure;  // Left: why; Kicked, Banned: what the log says of those removed
    IpNetwork network;    // Banned, Unbanned
    std::optional<std::int64_t> until; // Banned: when it ends, in Unix time; none: when lifted
    Frame frame;                       // Line: its frame, made once where the line is applied
};
