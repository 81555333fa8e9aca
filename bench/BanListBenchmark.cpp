// The ban list at 100,000 bans (IPv4 and IPv6 addresses and networks of many lengths mixed),
// against the list as it was before (bench/BanListBefore.h), measured in the same run:
//   - checking a newcomer, the two lists in turn, 1,024 checks each, and against one hash lookup
//     of the address in a set of 100,000 (what a list of single addresses would cost);
//   - the server thread's time of a ban, an unban and an expiry, each with what it does for the
//     ban file: before, a sort and a rewrite of the whole file; now, a change handed to the
//     writer's thread, which meanwhile writes the file as often as it can;
//   - the writer's own time to write the whole file (off the server's thread);
//   - the `bans` answer: before, the whole listing at once; now, its first piece and any next;
//   - reading the ban file at start;
//   - a reload of the ban file after an edit that lifts a thousand bans and adds a thousand:
//     before, the file read, compared with the bans in force through two maps keyed by text,
//     and every change applied, all on the server's thread; now, the read and the comparison
//     (two ordered lists merged) on the writer's thread, and on the server's thread a slice of
//     the changes at a time, whose time is measured for the largest slice.

#include "bench/BanListBefore.h"
#include "bench/RatioReporter.h"
#include "server/ChatServer.h"
#include "server/operator/BanFile.h"
#include "server/operator/BanFileReload.h"
#include "server/operator/BanFileWriter.h"
#include "server/operator/OperatorCommands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <streambuf>
#include <unordered_set>

#include <time.h>
#include <unistd.h>

namespace
{

constexpr std::size_t BanCount = 100000;
constexpr std::time_t Now = 1'800'000'000;
using Clock = std::chrono::steady_clock;

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

// Half single IPv4 addresses, a fifth IPv4 networks of /16 to /31, a fifth IPv6 networks of /32
// to /64, a tenth single IPv6 addresses; some until lifted, some timed. (Networks as wide as /8
// would, 20,000 of them, cover every IPv4 address there is.)
template <typename List> void Fill(List& bans)
{
    std::mt19937 random(7);
    for (std::size_t i = 0; i < BanCount; ++i)
    {
        Ban ban;
        const std::size_t kind = i % 10;
        if (kind < 5)
            ban.network = IpNetwork::Of(RandomV4(random));
        else if (kind < 7)
            ban.network = IpNetwork::Of(RandomV4(random), 16 + random() % 16);
        else if (kind < 9)
            ban.network = IpNetwork::Of(RandomV6(random), 32 + random() % 33);
        else
            ban.network = IpNetwork::Of(RandomV6(random));
        ban.reason = "reason " + std::to_string(i);
        if (i % 3 == 0)
            ban.until = Now + 30 * 86400 + static_cast<std::time_t>(i);
        bans.Add(ban);
    }
}

BanList& Bans()
{
    static BanList bans = [] {
        BanList filled;
        Fill(filled);
        return filled;
    }();
    return bans;
}

before::BanList& BansBefore()
{
    static before::BanList bans = [] {
        before::BanList filled;
        Fill(filled);
        return filled;
    }();
    return bans;
}

// A folder of the benchmark's own for the ban files, removed at the end.
struct Scratch
{
    Scratch()
    {
        char pattern[] = "/tmp/ostrel-bench-bans-XXXXXX";
        folder = mkdtemp(pattern);
    }
    ~Scratch() { std::system(("rm -rf " + folder).c_str()); }
    std::string File(const std::string& name) const { return folder + "/" + name; }
    std::string folder;
};
const Scratch scratch;

class NullBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return c; }
};
NullBuffer discard;
std::ostream nowhere(&discard);

// Newcomers' addresses, none of them banned, IPv4 and IPv6 alike: the common case, which looks
// at every length banned.
const std::vector<asio::ip::address>& Newcomers()
{
    static const std::vector<asio::ip::address> addresses = [] {
        std::mt19937 random(11);
        std::vector<asio::ip::address> found;
        while (found.size() < 1024)
        {
            const auto address = found.size() % 4 == 3 ? RandomV6(random) : RandomV4(random);
            if (!Bans().Find(address, Now))
                found.push_back(address);
        }
        return found;
    }();
    return addresses;
}

// A single address nobody has banned, for a ban to be added and taken back. It ends a day from
// now, long before any of the others.
Ban FreshBan(std::mt19937& random)
{
    asio::ip::address address;
    do
        address = RandomV4(random);
    while (Bans().Find(address, Now) != nullptr);
    Ban ban;
    ban.network = IpNetwork::Of(address);
    ban.reason = "a new ban";
    ban.until = Now + 86400;
    return ban;
}
constexpr std::time_t FreshBanEnded = Now + 86400;

void Nothing(BanList&, const Ban&) {}
void NothingBefore(before::BanList&, const Ban&) {}

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// The two lists in turn, 1,024 newcomers each time, so that the machine's changing speed
// weighs on both alike.
void CheckNewcomerSideBySide(benchmark::State& state)
{
    const auto& newcomers = Newcomers();
    BanList& now = Bans();
    before::BanList& before = BansBefore();
    Clock::duration ours{}, theirs{};
    std::size_t checks = 0;
    for (auto _ : state)
    {
        const auto start = Clock::now();
        for (const auto& address : newcomers)
            benchmark::DoNotOptimize(now.Find(address, Now));
        const auto middle = Clock::now();
        for (const auto& address : newcomers)
            benchmark::DoNotOptimize(before.Find(address, Now));
        const auto end = Clock::now();
        ours += middle - start;
        theirs += end - middle;
        checks += newcomers.size();
    }
    state.counters["now_ns"] = Seconds(ours) * 1e9 / static_cast<double>(checks);
    state.counters["before_ns"] = Seconds(theirs) * 1e9 / static_cast<double>(checks);
}

void HashLookupOfTheAddress(benchmark::State& state)
{
    std::unordered_set<std::string> addresses;
    std::mt19937 random(7);
    for (std::size_t i = 0; i < BanCount; ++i)
        addresses.insert(RandomV4(random).to_string());
    const auto& newcomers = Newcomers();
    std::size_t next = 0;
    for (auto _ : state)
    {
        // What the server has of a newcomer is its address, not its text: the reference pays
        // for the text too, as a set of texts would.
        benchmark::DoNotOptimize(addresses.count(newcomers[next].to_string()));
        next = (next + 1) % newcomers.size();
    }
}

// This thread's own processor time: what a change costs it, whatever else the machine runs.
double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The server thread's time of one change (after an untimed preparation, and undone untimed),
// with the writer writing the file as it goes. Beside the mean: the 99th percentile and the
// slowest change, in elapsed time (which counts the moments the system gave the processor to
// others) and in this thread's own processor time.
template <typename Prepare, typename Change, typename Undo>
void TimedChanges(benchmark::State& state, Prepare prepare, Change change, Undo undo)
{
    BanList& bans = Bans();
    BanFileWriter writer(scratch.File("bans"), bans, nullptr);
    bans.Watch(&writer);
    std::mt19937 random(3);
    std::vector<double> took;
    double slowestOwn = 0;
    for (auto _ : state)
    {
        const Ban ban = FreshBan(random);
        prepare(bans, ban);
        const double ownStart = ThreadSeconds();
        const auto start = Clock::now();
        change(bans, ban);
        took.push_back(Seconds(Clock::now() - start));
        slowestOwn = std::max(slowestOwn, ThreadSeconds() - ownStart);
        state.SetIterationTime(took.back());
        undo(bans, ban);
    }
    bans.Watch(nullptr);
    std::sort(took.begin(), took.end());
    state.counters["p99_us"] = took[took.size() * 99 / 100] * 1e6;
    state.counters["slowest_ms"] = took.back() * 1e3;
    state.counters["slowest_own_ms"] = slowestOwn * 1e3;
}

void Add(BanList& bans, const Ban& ban)
{
    bans.Add(ban);
}

void Remove(BanList& bans, const Ban& ban)
{
    bans.Remove(ban.network);
}

void Ban_(benchmark::State& state)
{
    TimedChanges(state, Nothing, Add, Remove);
}

void Unban(benchmark::State& state)
{
    TimedChanges(state, Add, Remove, Nothing);
}

// The server's tick drops a ban that has ended.
void Expiry(benchmark::State& state)
{
    TimedChanges(
        state, Add, [](BanList& bans, const Ban&) { bans.DropEnded(FreshBanEnded, 256); }, Nothing);
}

// The same before: each change saved by the server's thread, a sort and a rewrite.
template <typename Prepare, typename Change, typename Undo>
void TimedChangesBefore(benchmark::State& state, Prepare prepare, Change change, Undo undo)
{
    before::BanList& bans = BansBefore();
    const std::string path = scratch.File("bans-before");
    std::mt19937 random(3);
    for (auto _ : state)
    {
        const Ban ban = FreshBan(random);
        prepare(bans, ban);
        const auto start = Clock::now();
        change(bans, ban);
        std::string error;
        bans.Save(path, error);
        state.SetIterationTime(Seconds(Clock::now() - start));
        undo(bans, ban);
    }
}

void AddBefore(before::BanList& bans, const Ban& ban)
{
    bans.Add(ban);
}

void RemoveBefore(before::BanList& bans, const Ban& ban)
{
    bans.Remove(ban.network);
}

void BanBefore(benchmark::State& state)
{
    TimedChangesBefore(state, NothingBefore, AddBefore, RemoveBefore);
}

void UnbanBefore(benchmark::State& state)
{
    TimedChangesBefore(state, AddBefore, RemoveBefore, NothingBefore);
}

void ExpiryBefore(benchmark::State& state)
{
    TimedChangesBefore(
        state, AddBefore, [](before::BanList& bans, const Ban&) { bans.DropEnded(FreshBanEnded); },
        NothingBefore);
}

// What the writer's thread does for one write: the whole file, flushed to disk.
void WriteWholeFile(benchmark::State& state)
{
    for (auto _ : state)
    {
        std::string error;
        BanFile::Write(scratch.File("bans-whole"), BanFile::Content(Bans()), error);
    }
}

void ListBansFirstPiece(benchmark::State& state)
{
    ChatRoom room(RoomOptions(), nowhere);
    OperatorCommands commands(room, Bans(), "", 512, nowhere);
    for (auto _ : state)
        benchmark::DoNotOptimize(commands.Run("bans", "bench", ChatRoom::Clock::now(), Now));
}

void ListBansNextPiece(benchmark::State& state)
{
    ChatRoom room(RoomOptions(), nowhere);
    OperatorCommands commands(room, Bans(), "", 512, nowhere);
    auto answer = commands.Run("bans", "bench", ChatRoom::Clock::now(), Now);
    for (auto _ : state)
    {
        std::string piece = answer.more();
        if (piece.empty())
            answer = commands.Run("bans", "bench", ChatRoom::Clock::now(), Now);
        benchmark::DoNotOptimize(piece);
    }
}

void ListBansBefore(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(before::ListBans(BansBefore()));
}

void LoadBanFile(benchmark::State& state)
{
    const std::string path = scratch.File("bans-load");
    std::string error;
    BanFile::Write(path, BanFile::Content(Bans()), error);
    for (auto _ : state)
    {
        BanList loaded;
        std::vector<BanFileProblem> problems;
        BanFile::Read(path, Now, loaded, problems, error);
        benchmark::DoNotOptimize(loaded.Size());
    }
}

void LoadBanFileBefore(benchmark::State& state)
{
    const std::string path = scratch.File("bans-load");
    std::string error;
    BanFile::Write(path, BanFile::Content(Bans()), error);
    for (auto _ : state)
    {
        before::BanList loaded;
        std::vector<std::string> problems;
        loaded.Load(path, Now, problems, error);
        benchmark::DoNotOptimize(loaded.Size());
    }
}

// The bans in force as the file held them, and the file after an edit: every hundredth ban
// lifted, a thousand added.
const std::vector<Ban>& Written()
{
    static const std::vector<Ban> written = Bans().All();
    return written;
}

const std::vector<Ban>& AddedByTheEdit()
{
    static const std::vector<Ban> added = [] {
        std::mt19937 random(11);
        std::map<IpNetwork, Ban> fresh;
        while (fresh.size() < 1000)
        {
            Ban ban = FreshBan(random);
            ban.until.reset();
            fresh.emplace(ban.network, ban);
        }
        std::vector<Ban> added;
        for (const auto& entry : fresh)
            added.push_back(entry.second);
        return added;
    }();
    return added;
}

std::string EditedFile()
{
    const std::string path = scratch.File("bans-edited");
    BanList edited;
    for (std::size_t i = 0; i < Written().size(); ++i)
        if (i % 100 != 0)
            edited.Add(Written()[i]);
    for (const Ban& ban : AddedByTheEdit())
        edited.Add(ban);
    std::string error;
    BanFile::Write(path, BanFile::Content(edited), error);
    return path;
}

void ReloadOffTheLoop(benchmark::State& state)
{
    const std::string path = EditedFile();
    for (auto _ : state)
    {
        BanFileReload reload = BanFileReload::Read(path, Now, Written());
        benchmark::DoNotOptimize(reload.Changes().size());
        if (reload.Added() != 1000 || reload.Lifted() != 1000)
            state.SkipWithError("the edit was not read as made");
    }
}

// The largest slice the server's thread applies at once: a thousand bans put in place (each
// handed to the writer, as in the server), undone untimed.
void ReloadSliceOnTheLoop(benchmark::State& state)
{
    BanList& bans = Bans();
    BanFileWriter writer(scratch.File("bans"), bans, nullptr);
    bans.Watch(&writer);
    std::vector<Ban> edited = Written();
    edited.insert(edited.end(), AddedByTheEdit().begin(), AddedByTheEdit().end());
    std::sort(edited.begin(), edited.end(),
              [](const Ban& a, const Ban& b) { return a.network < b.network; });
    const BanFileReload reload = BanFileReload::Between(Written(), edited, Now);
    for (auto _ : state)
    {
        BanFileReload slice = reload;
        std::vector<BanFileReload::Change> applied;
        const auto start = Clock::now();
        slice.ApplySome(bans, ChatServer::BanChangesPerSlice, applied);
        state.SetIterationTime(Seconds(Clock::now() - start));
        for (const BanFileReload::Change& change : applied)
            if (change.ban)
                bans.Remove(change.network);
    }
    bans.Watch(nullptr);
}

void ReloadBefore(benchmark::State& state)
{
    const std::string path = EditedFile();
    for (auto _ : state)
    {
        const auto start = Clock::now();
        BanList fresh;
        std::vector<BanFileProblem> problems;
        std::string error;
        BanFile::Read(path, Now, fresh, problems, error);
        std::map<std::string, Ban> before, after;
        for (const Ban& ban : Written())
            before.emplace(ban.network.ToString(), ban);
        for (const Ban& ban : fresh.All())
            after.emplace(ban.network.ToString(), ban);
        std::size_t changes = 0;
        for (const auto& entry : before)
            changes += after.count(entry.first) == 0;
        for (const auto& entry : after)
        {
            const auto old = before.find(entry.first);
            changes += old == before.end() || !(old->second == entry.second);
        }
        state.SetIterationTime(Seconds(Clock::now() - start));
        benchmark::DoNotOptimize(changes);
    }
}

BENCHMARK(CheckNewcomerSideBySide);
BENCHMARK(HashLookupOfTheAddress);
BENCHMARK(Ban_)->Name("Ban")->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BanBefore)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(Unban)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(UnbanBefore)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(Expiry)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(ExpiryBefore)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteWholeFile)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ListBansFirstPiece)->Unit(benchmark::kMicrosecond);
BENCHMARK(ListBansNextPiece)->Unit(benchmark::kMicrosecond);
BENCHMARK(ListBansBefore)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadBanFile)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadBanFileBefore)->Unit(benchmark::kMillisecond);
BENCHMARK(ReloadOffTheLoop)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ReloadSliceOnTheLoop)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(ReloadBefore)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return RunAndReportRatios(argc, argv,
                              {{"Ban", "BanBefore"},
                               {"Unban", "UnbanBefore"},
                               {"Expiry", "ExpiryBefore"},
                               {"ListBansFirstPiece", "ListBansBefore"},
                               {"LoadBanFile", "LoadBanFileBefore"}});
}
