#pragma once

#include "server/operator/BanFileReload.h"
#include "server/operator/BanList.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Keeps the ban file in step with the ban list from a thread of its own, so that the server's
// thread never waits for the disk: it only hands over each change (a copy of one ban), and the
// writer applies the changes to a copy of the list of its own and writes the whole file anew.
// Changes handed over while a write is under way, or within WriteInterval of its start, all go
// into the next one, so a later state supersedes an earlier one not yet written, and a burst of
// thousands of bans costs a write a second, not one each: the disk, and the processor the room
// shares with the writer, are spared. A write that fails is tried again every WriteInterval
// until one succeeds.
//
// The writer also knows what the file held after its last write (or when it was read at start),
// which is what an edit of the file is compared with when the server reloads it (Reload).
class BanFileWriter final : public BanListener
{
public:
    using Clock = std::chrono::steady_clock;

    // How long the writer's end waits for the last changes, when Finish has not been called.
    static constexpr auto FinishTime = std::chrono::seconds(5);
    // The shortest time from the start of one write to the start of the next.
    static constexpr auto WriteInterval = std::chrono::seconds(1);

    // Called on the writer's thread after every write: empty when the file was written,
    // otherwise why not.
    using Report = std::function<void(const std::string& error)>;
    // Called on the writer's thread with what a reload found.
    using Reloaded = std::function<void(BanFileReload reload)>;

    // Starts from the bans the list holds now, as read from the file; writes only once
    // something changes.
    BanFileWriter(std::string path, const BanList& bans, Report report,
                  Clock::duration interval = WriteInterval);
    // The same, where the list holds more than the file (bans that came from the room before the
    // file was read): inFile is what the file holds, in the order of networks, which a reload is
    // compared with; the rest is written at once.
    BanFileWriter(std::string path, const BanList& bans, std::vector<Ban> inFile, Report report,
                  Clock::duration interval = WriteInterval);
    // Unless Finish was called, finishes as it does within FinishTime; then lets the thread go:
    // it ends at once when it is idle, and is left to end on its own when it is stuck on a disk
    // that does not answer (it owns all it uses). Report is not called any more. Never waits
    // twice.
    ~BanFileWriter() override;
    BanFileWriter(const BanFileWriter&) = delete;
    BanFileWriter& operator=(const BanFileWriter&) = delete;

    void Added(const Ban& ban) override;
    void Removed(const IpNetwork& network) override;

    // Reads the file again on the writer's thread, between two writes, and compares it with what
    // the file held after the last write (see BanFileReload), before any change handed over
    // since. A reload that is taken goes into what the writer writes at once, so that the edit is
    // never written over, whether or not the server has applied it to its bans yet (it hands the
    // same changes over again as it does). reloaded is called on the writer's thread.
    void Reload(std::time_t now, Reloaded reloaded);

    // Waits, until deadline at the latest, until every change handed over is written, without
    // waiting for WriteInterval from now on; a last write that failed is tried again. False, with
    // the reason, when that did not happen in time or the write failed.
    bool Finish(Clock::time_point deadline, std::string& error);
    // Writes what was handed over without waiting for WriteInterval, and goes on so, as the
    // server's stop begins, so that the last write is under way while the connections close.
    void Hurry();

private:
    using Change = BanFileReload::Change;
    // A ban as the writer keeps it: the ban, and its line in the file.
    struct Entry
    {
        Ban ban;
        std::string line;
    };
    using Entries = std::map<IpNetwork, Entry>;

    // What the server's thread and the writer share, under the mutex. The writer's thread holds
    // it too, so that a writer stuck on a slow disk may be left behind at the stop.
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable done;
        std::vector<Change> pending;
        std::uint64_t handedOver = 0; // changes handed over, all told
        std::uint64_t taken = 0;      // of those, how many the writer has taken into its list
        bool dirty = false;           // its list holds what no write has put in the file yet
        std::uint64_t attempts = 0;   // writes tried
        bool busy = false;            // writing or reading, outside the lock
        bool stop = false;
        bool hurry = false;   // write without waiting for WriteInterval
        bool hurried = false; // and so from now on (the server stops)
        std::string lastError;
        Clock::duration interval = WriteInterval; // from the start of one write to the next
        Report report;
        bool reload = false; // asked for, and not made yet
        std::time_t reloadNow = 0;
        Reloaded reloaded;
    };

    void HandOver(Change change);
    static void Run(std::shared_ptr<Shared> shared, std::string path, Entries entries,
                    std::vector<Ban> written);
    // Applies the changes to the entries.
    static void Apply(Entries& entries, const std::vector<Change>& changes);
    static std::string Write(const std::string& path, const Entries& entries);

    std::shared_ptr<Shared> shared;
    std::thread thread;
    const std::string path;
    bool finished = false;
};
