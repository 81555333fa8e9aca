#pragma once

#include "server/room/IpNetwork.h"

#include <cstddef>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// One ban: a network (one address is a network of its full length), why, and until when.
struct Ban
{
    IpNetwork network;
    std::string reason;
    std::optional<std::time_t> until; // none: until lifted

    bool EndedBy(std::time_t now) const { return until && *until <= now; }
};

// The bans in force. Checking an address costs one lookup per length of network banned (at most
// a few dozen, however many bans there are), so a long list costs a newcomer next to nothing.
//
// The file keeps one ban a line, "TARGET UNTIL REASON": the network as IpNetwork writes it,
// UNTIL a time in UTC (2026-12-31T23:59:59Z) or "-" for until lifted, and the reason, which may
// be empty. Lines starting with "#" and empty lines are skipped.
class BanList
{
public:
    // The ban in force on the address (the most specific, when several cover it), or none.
    const Ban* Find(const asio::ip::address& address, std::time_t now) const;
    // Adds a ban, or replaces the one on the same network.
    void Add(const Ban& ban);
    bool Remove(const IpNetwork& network);
    // Drops the bans that have ended; true when there were any.
    bool DropEnded(std::time_t now);
    // Every ban, in the order of their targets' text.
    std::vector<Ban> All() const;
    std::size_t Size() const { return bans.size(); }

    // Reads a ban file. A missing file is an empty list; a line that cannot be read is reported
    // in problems, with its number, and skipped; bans that have ended are dropped. False, with
    // the reason, only when the file exists but cannot be read.
    bool Load(const std::string& path, std::time_t now, std::vector<std::string>& problems,
              std::string& error);
    // Writes the file anew: to a file beside it, which then takes its place, so that it is
    // never found half written. False, with the reason, when it cannot; the old file stays.
    bool Save(const std::string& path, std::string& error) const;

private:
    struct NetworkHash
    {
        std::size_t operator()(const IpNetwork& network) const { return network.Hash(); }
    };

    std::unordered_map<IpNetwork, Ban, NetworkHash> bans;
    // How many bans there are of each kind and length, longest first: (IPv4?, prefix).
    std::map<std::pair<bool, unsigned>, std::size_t, std::greater<>> lengths;
};

// A UTC time as the ban file and the operator see it: "2026-12-31T23:59:59Z"; and back (false
// for anything else).
std::string UtcText(std::time_t time);
bool ParseUtc(const std::string& text, std::time_t& time);

// A duration as the operator gives it: a whole number and s, m, h, d or w ("30m", "12h", "7d").
bool ParseDuration(const std::string& text, std::time_t& seconds);
