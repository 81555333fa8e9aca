#pragma once

#include "common/ChatProtocol.h"
#include "server/room/Departure.h"
#include "server/room/IpNetwork.h"

#include <cstddef>
#include <ctime>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// One ban: a network (one address is a network of its full length), why, and until when.
struct Ban
{
    IpNetwork network;
    std::string reason;
    std::optional<std::time_t> until; // none: until lifted

    bool EndedBy(std::time_t now) const { return until && *until <= now; }
    // What a member removed for this ban is told, and the log's note of it.
    std::string Told() const
    {
        return "You were removed from the room: you are banned from this server" +
               (reason.empty() ? std::string(".") : " (" + reason + ").");
    }
    std::string Note() const { return reason.empty() ? "banned" : "banned: " + reason; }
    Departure HowLeft() const { return Departure{LeaveReason::Banned, reason}; }
    bool operator==(const Ban& other) const
    {
        return network == other.network && reason == other.reason && until == other.until;
    }
};

// The longest reason a ban keeps is MaxReasonBytes (server/room/Departure.h).
// The longest timed ban; one asked for longer lasts until lifted.
constexpr std::time_t MaxBanDuration = 3650 * 86400; // ten years
// The latest end a ban file can hold: 9999-12-31T23:59:59Z.
constexpr std::time_t LatestBanEnd = 253402300799;

// Told of every change to a ban list, on the thread that makes it (the server's).
class BanListener
{
public:
    virtual ~BanListener() = default;
    virtual void Added(const Ban& ban) = 0;
    virtual void Removed(const IpNetwork& network) = 0;
};

// The bans in force. Checking an address costs one lookup per length of network banned (at most
// a few dozen, however many bans there are), so a long list costs a newcomer next to nothing.
// The bans are kept in the order of their networks, and timed ones also in the order of their
// ends, so that adding, lifting, listing a page and dropping what has ended each cost a few
// steps, whatever the number of bans.
class BanList
{
public:
    BanList() = default;
    // The index points into the list itself: a list may be moved, not copied.
    BanList(const BanList&) = delete;
    BanList& operator=(const BanList&) = delete;
    BanList(BanList&&) = default;
    BanList& operator=(BanList&&) = default;

    // The ban in force on the address (the most specific, when several cover it), or none.
    const Ban* Find(const asio::ip::address& address, std::time_t now) const;
    // Adds a ban, or replaces the one on the same network. An end the ban file could not hold
    // (past LatestBanEnd) makes it last until lifted.
    void Add(Ban ban);
    bool Remove(const IpNetwork& network);
    // Drops bans that have ended, the earliest first, at most `most` of them; how many. When
    // none has ended this is one comparison.
    std::size_t DropEnded(std::time_t now,
                          std::size_t most = std::numeric_limits<std::size_t>::max());
    // Up to count bans in the order of their networks, from the first after `after` (from the
    // first of all without one). A listing goes on from where it stopped, whatever changed in
    // between.
    std::vector<Ban> Page(const std::optional<IpNetwork>& after, std::size_t count) const;
    // Every ban, in the order of their networks.
    std::vector<Ban> All() const { return Page({}, Size()); }
    std::size_t Size() const { return ordered.size(); }

    // Tells listener of every change from now on (none: nobody); it must outlive the list or be
    // unset first.
    void Watch(BanListener* listener) { this->listener = listener; }

private:
    struct NetworkHash
    {
        std::size_t operator()(const IpNetwork& network) const { return network.Hash(); }
    };

    std::map<IpNetwork, Ban> ordered;
    std::unordered_map<IpNetwork, const Ban*, NetworkHash> byNetwork;
    std::set<std::pair<std::time_t, IpNetwork>> endings;
    // How many bans there are of each kind and length, longest first: (IPv4?, prefix).
    std::map<std::pair<bool, unsigned>, std::size_t, std::greater<>> lengths;
    BanListener* listener = nullptr;
};

// A UTC time as the ban file and the operator see it: "2026-12-31T23:59:59Z"; and back (false
// for anything else).
std::string UtcText(std::time_t time);
bool ParseUtc(const std::string& text, std::time_t& time);

// A duration as the operator gives it: a whole number and s, m, h, d or w ("30m", "12h", "7d").
bool ParseDuration(const std::string& text, std::time_t& seconds);
// When a ban given now for this long ends: none (until lifted) past MaxBanDuration.
std::optional<std::time_t> BanEnd(std::time_t now, std::time_t duration);
