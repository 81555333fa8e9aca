#pragma once

#include "server/room/IpNetwork.h"

#include <asio/ip/address.hpp>

#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>

// The addresses of this server's members, in the order of networks, so that whether a network
// holds any of them takes a few steps, however many members and bans there are: a reload that
// puts thousands of bans in place looks for the members of each without going through them all.
class MemberAddresses
{
public:
    void Add(std::uint64_t number, const asio::ip::address& address);
    void Remove(std::uint64_t number);
    bool AnyIn(const IpNetwork& network) const;

private:
    std::set<std::pair<IpNetwork, std::uint64_t>> ordered;
    std::unordered_map<std::uint64_t, asio::ip::address> of;
};
