#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>

// The entries of the room's stream read so far, by the run of the server that wrote them and
// their numbers there: each is taken once, however often it is written again (after Redis lost
// its data). What others write decides how much is kept, so it stays bounded: numbers that never
// came are given up on beyond a window, and beyond so many runs the one read from least lately
// is forgotten (a room sees a new run at each start of one of its servers).
class SeenEntries
{
public:
    // Numbers kept above the highest one up to which all came.
    static constexpr std::size_t Window = 4096;
    static constexpr std::size_t MostRuns = 1024;

    // False for an entry read before.
    bool Add(const std::string& origin, const std::string& run, std::uint64_t number);
    std::size_t Runs() const { return runs.size(); }

private:
    struct Run
    {
        std::uint64_t floor = 0;       // every number up to it has been read
        std::set<std::uint64_t> above; // and these above it
        std::uint64_t last = 0;        // the count of entries taken when it was last read
    };

    void ForgetOldest();

    std::unordered_map<std::string, Run> runs; // by "ORIGIN RUN"
    std::uint64_t taken = 0;
};
