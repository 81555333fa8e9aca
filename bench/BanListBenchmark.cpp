// Checking a newcomer's address against 10,000 bans (IPv4 and IPv6 addresses and networks of
// many lengths mixed), against one hash lookup of the address in a set of 10,000 addresses: what
// a list of single addresses would cost. And reading the same bans from a ban file at start.

#include "bench/RatioReporter.h"
#include "server/operator/BanList.h"

#include <cstdio>
#include <random>
#include <unordered_set>

namespace
{

constexpr std::size_t BanCount = 10000;
constexpr std::time_t Now = 1'800'000'000;

asio::ip::address RandomV4(std::mt19937& random)
{
    return asio::ip::make_address_v4(static_cast<asio::ip::address_v4::uint_type>(random()));
}

asio::ip::address RandomV6(std::mt19937& random)
{
    asio::ip::address_v6::bytes_type bytes;
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(random());
    bytes[0] = 0x20;
    bytes[1] = 0x01;
    return asio::ip::make_address_v6(bytes);
}

// Half single IPv4 addresses, a fifth IPv4 networks of /8 to /31, a fifth IPv6 networks of /32
// to /64, a tenth single IPv6 addresses; some until lifted, some timed.
BanList MixedBans()
{
    std::mt19937 random(7);
    BanList bans;
    for (std::size_t i = 0; i < BanCount; ++i)
    {
        Ban ban;
        const std::size_t kind = i % 10;
        if (kind < 5)
            ban.network = IpNetwork::Of(RandomV4(random));
        else if (kind < 7)
            ban.network = IpNetwork::Of(RandomV4(random), 8 + random() % 24);
        else if (kind < 9)
            ban.network = IpNetwork::Of(RandomV6(random), 32 + random() % 33);
        else
            ban.network = IpNetwork::Of(RandomV6(random));
        ban.reason = "reason " + std::to_string(i);
        if (i % 3 == 0)
            ban.until = Now + 3600;
        bans.Add(ban);
    }
    return bans;
}

const BanList bans = MixedBans();

// Newcomers' addresses, none of them banned, IPv4 and IPv6 alike: the common case, which looks
// at every length banned.
std::vector<asio::ip::address> Newcomers()
{
    std::mt19937 random(11);
    std::vector<asio::ip::address> addresses;
    while (addresses.size() < 1024)
    {
        const auto address = addresses.size() % 4 == 3 ? RandomV6(random) : RandomV4(random);
        if (!bans.Find(address, Now))
            addresses.push_back(address);
    }
    return addresses;
}

const std::vector<asio::ip::address> newcomers = Newcomers();

void CheckNewcomerAgainstBans(benchmark::State& state)
{
    std::size_t next = 0;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(bans.Find(newcomers[next], Now));
        next = (next + 1) % newcomers.size();
    }
}

void HashLookupOfTheAddress(benchmark::State& state)
{
    std::unordered_set<std::string> addresses;
    std::mt19937 random(7);
    for (std::size_t i = 0; i < BanCount; ++i)
        addresses.insert(RandomV4(random).to_string());
    std::vector<std::string> texts;
    for (const auto& address : newcomers)
        texts.push_back(address.to_string());
    std::size_t next = 0;
    for (auto _ : state)
    {
        // What the server has of a newcomer is its address, not its text: the reference pays
        // for the text too, as a set of texts would.
        benchmark::DoNotOptimize(addresses.count(newcomers[next].to_string()));
        next = (next + 1) % newcomers.size();
    }
}

void LoadBanFile(benchmark::State& state)
{
    char path[] = "/tmp/ostrel-bench-bans-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    std::string error;
    bans.Save(path, error);
    for (auto _ : state)
    {
        BanList loaded;
        std::vector<std::string> problems;
        loaded.Load(path, Now, problems, error);
        benchmark::DoNotOptimize(loaded.Size());
    }
    std::remove(path);
}

BENCHMARK(CheckNewcomerAgainstBans);
BENCHMARK(HashLookupOfTheAddress);
BENCHMARK(LoadBanFile)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return RunAndReportRatios(argc, argv, {{"CheckNewcomerAgainstBans", "HashLookupOfTheAddress"}});
}
