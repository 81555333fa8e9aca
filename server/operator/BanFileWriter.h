#pragma once

#include "server/operator/BanList.h"

#include <chrono>
#include <condition_variable>
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
// shares with the writer, are spared.
class BanFileWriter final : public BanListener
{
public:
    // How long the server's stop waits for the last changes to be written.
    static constexpr auto FinishTime = std::chrono::seconds(5);
    // The shortest time from the start of one write to the start of the next.
    static constexpr auto WriteInterval = std::chrono::seconds(1);

    // Called on the writer's thread after every write: empty when the file was written,
    // otherwise why not.
    using Report = std::function<void(const std::string& error)>;

    // Starts from the bans the list holds now, as read from the file; writes only once
    // something changes.
    BanFileWriter(std::string path, const BanList& bans, Report report);
    // Waits for the write under way, at most FinishTime; Report is not called any more.
    ~BanFileWriter() override;
    BanFileWriter(const BanFileWriter&) = delete;
    BanFileWriter& operator=(const BanFileWriter&) = delete;

    void Added(const Ban& ban) override;
    void Removed(const IpNetwork& network) override;

    // Waits, at most limit, until every change handed over is written, without waiting for
    // WriteInterval from now on. False, with the reason, when that did not happen in time or the
    // last write failed.
    bool Finish(std::chrono::milliseconds limit, std::string& error);

private:
    // A ban to put in place, or (without a ban) the network whose ban goes.
    struct Change
    {
        IpNetwork network;
        std::optional<Ban> ban;
    };

    // What the server's thread and the writer share, under the mutex. The writer's thread holds
    // it too, so that a writer stuck on a slow disk may be left behind at the stop.
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable done;
        std::vector<Change> pending;
        std::uint64_t handedOver = 0; // changes handed over, all told
        std::uint64_t written = 0;    // of those, how many a finished write has taken
        bool writing = false;
        bool stop = false;
        bool hurry = false; // write without waiting for WriteInterval
        std::string lastError;
        Report report;
    };

    void HandOver(Change change);
    static void Run(std::shared_ptr<Shared> shared, std::string path,
                    std::map<IpNetwork, std::string> lines);
    // Applies the changes to the lines and writes them all; the error, or empty.
    static std::string Write(const std::string& path, std::map<IpNetwork, std::string>& lines,
                             std::vector<Change> changes);

    std::shared_ptr<Shared> shared;
    std::thread thread;
    const std::string path;
};
