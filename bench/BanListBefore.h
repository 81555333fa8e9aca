#pragma once

// The ban list as it was before it kept its bans in order and its file was written from a
// thread of its own, kept here as the reference the benchmark measures it against in the same
// run: every save sorts the bans by their text and rewrites the file on the caller's thread
// (through a file of a fixed name beside it), and dropping ended bans looks at every ban.

#include "server/operator/BanList.h"

#include <cstddef>
#include <ctime>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace before
{

class BanList
{
public:
    const Ban* Find(const asio::ip::address& address, std::time_t now) const;
    void Add(const Ban& ban);
    bool Remove(const IpNetwork& network);
    bool DropEnded(std::time_t now);
    std::vector<Ban> All() const;
    std::size_t Size() const { return bans.size(); }
    bool Load(const std::string& path, std::time_t now, std::vector<std::string>& problems,
              std::string& error);
    bool Save(const std::string& path, std::string& error) const;

private:
    struct NetworkHash
    {
        std::size_t operator()(const IpNetwork& network) const { return network.Hash(); }
    };

    std::unordered_map<IpNetwork, Ban, NetworkHash> bans;
    std::map<std::pair<bool, unsigned>, std::size_t, std::greater<>> lengths;
};

// The `bans` command's answer as it was: every ban, sorted by its text, in one string.
std::string ListBans(const BanList& bans);

} // namespace before
