#include "server/MemberAddresses.h"

void MemberAddresses::Add(std::uint64_t number, const asio::ip::address& address)
{
    of.emplace(number, address);
    ordered.emplace(IpNetwork::Of(address), number);
}

void MemberAddresses::Remove(std::uint64_t number)
{
    const auto found = of.find(number);
    if (found == of.end())
        return;
    ordered.erase({IpNetwork::Of(found->second), number});
    of.erase(found);
}

// A network comes before every address inside it, and the addresses inside it come one after
// another: the first address from the network on is inside it, or none is.
bool MemberAddresses::AnyIn(const IpNetwork& network) const
{
    const auto first = ordered.lower_bound({network, 0});
    return first != ordered.end() && network.Contains(of.at(first->second));
}
