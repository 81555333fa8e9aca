#include "server/operator/BanFileWriter.h"

#include "server/operator/BanFile.h"

BanFileWriter::BanFileWriter(std::string path, const BanList& bans, Report report,
                             Clock::duration interval)
    : BanFileWriter(std::move(path), bans, bans.All(), std::move(report), interval)
{
}

BanFileWriter::BanFileWriter(std::string path, const BanList& bans, std::vector<Ban> inFile,
                             Report report, Clock::duration interval)
    : shared(std::make_shared<Shared>()), path(std::move(path))
{
    shared->report = std::move(report);
    shared->interval = interval;
    const std::vector<Ban> all = bans.All();
    Entries entries;
    for (const Ban& ban : all)
        entries.emplace_hint(entries.end(), ban.network, Entry{ban, BanFile::Line(ban)});
    // Bans the file does not hold yet (the room's, say) are written at once.
    shared->dirty = !(all == inFile);
    thread = std::thread(Run, shared, this->path, std::move(entries), std::move(inFile));
}

BanFileWriter::~BanFileWriter()
{
    if (!finished)
    {
        std::string error;
        Finish(Clock::now() + FinishTime, error);
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->stop = true;
    shared->report = nullptr;
    shared->reloaded = nullptr;
    const bool idle = !shared->busy;
    shared->wake.notify_all();
    lock.unlock();
    if (idle)
        thread.join();
    else
        thread.detach();
}

void BanFileWriter::Added(const Ban& ban)
{
    HandOver({ban.network, ban});
}

void BanFileWriter::Removed(const IpNetwork& network)
{
    HandOver({network, std::nullopt});
}

void BanFileWriter::HandOver(Change change)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->pending.push_back(std::move(change));
    ++shared->handedOver;
    shared->wake.notify_one();
}

void BanFileWriter::Reload(std::time_t now, Reloaded reloaded)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->reload = true;
    shared->reloadNow = now;
    shared->reloaded = std::move(reloaded);
    shared->wake.notify_one();
}

void BanFileWriter::Hurry()
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->hurried = true;
    shared->wake.notify_all();
}

bool BanFileWriter::Finish(Clock::time_point deadline, std::string& error)
{
    finished = true;
    std::unique_lock<std::mutex> lock(shared->mutex);
    const std::uint64_t target = shared->handedOver;
    const std::uint64_t attemptsBefore = shared->attempts;
    shared->hurry = true;
    shared->wake.notify_all();
    // Done when everything handed over is in the writer's list, and the list is in the file or
    // a write of it tried since has failed.
    const bool settled = shared->done.wait_until(lock, deadline, [&] {
        return shared->taken >= target && !shared->busy &&
               (!shared->dirty || shared->attempts > attemptsBefore);
    });
    if (!settled)
    {
        error = "the ban file " + path +
                " was not written in time: the latest changes to the bans may be lost";
        return false;
    }
    shared->hurry = false;
    error = shared->dirty ? shared->lastError : "";
    return error.empty();
}

void BanFileWriter::Run(std::shared_ptr<Shared> shared, std::string path, Entries entries,
                        std::vector<Ban> written)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    auto nextWrite = Clock::now();
    for (;;)
    {
        // A write that failed leaves the list dirty: it is tried again after the interval.
        shared->wake.wait(lock, [&] {
            return shared->stop || shared->reload || !shared->pending.empty() || shared->dirty;
        });
        if (shared->stop)
            return;
        // Everything of a write or a reload, its changes and its text freed too, happens outside
        // the lock, which the server's thread only ever waits for while a vector is swapped.
        std::vector<Change> changes;
        if (shared->reload)
        {
            shared->reload = false;
            const std::time_t now = shared->reloadNow;
            // The changes handed over before the reload are the server's own: they are taken
            // first, and the edit goes on top of them, as it does in the server's list.
            changes.swap(shared->pending);
            const std::uint64_t taken = shared->handedOver;
            shared->busy = true;
            lock.unlock();
            Apply(entries, changes);
            BanFileReload reload = BanFileReload::Read(path, now, written);
            const bool edited = reload.Refusal().empty() && !reload.Changes().empty();
            if (reload.Refusal().empty())
            {
                Apply(entries, reload.Changes());
                written = reload.TakeEdited();
            }
            lock.lock();
            shared->busy = false;
            shared->taken = taken;
            shared->dirty = shared->dirty || edited || !changes.empty();
            if (shared->reloaded && !shared->stop)
                shared->reloaded(std::move(reload));
            shared->done.notify_all();
            continue;
        }
        shared->wake.wait_until(lock, nextWrite, [&] {
            return shared->stop || shared->hurry || shared->hurried || shared->reload;
        });
        if (shared->stop)
            return;
        if (shared->reload)
            continue;
        shared->hurry = false;
        const auto started = Clock::now();
        changes.swap(shared->pending);
        const std::uint64_t taken = shared->handedOver;
        shared->busy = true;
        lock.unlock();
        Apply(entries, changes);
        const std::string error = Write(path, entries);
        std::vector<Ban> nowWritten;
        if (error.empty())
        {
            nowWritten.reserve(entries.size());
            for (const auto& entry : entries)
                nowWritten.push_back(entry.second.ban);
        }
        lock.lock();
        if (error.empty())
            written.swap(nowWritten);
        shared->busy = false;
        shared->taken = taken;
        shared->dirty = !error.empty();
        ++shared->attempts;
        shared->lastError = error;
        nextWrite = started + shared->interval;
        if (shared->report)
            shared->report(error);
        shared->done.notify_all();
        lock.unlock();
        // The old lists go outside the lock.
        nowWritten.clear();
        changes.clear();
        lock.lock();
    }
}

void BanFileWriter::Apply(Entries& entries, const std::vector<Change>& changes)
{
    for (const Change& change : changes)
    {
        if (change.ban)
            entries.insert_or_assign(change.network,
                                     Entry{*change.ban, BanFile::Line(*change.ban)});
        else
            entries.erase(change.network);
    }
}

std::string BanFileWriter::Write(const std::string& path, const Entries& entries)
{
    std::string content = BanFile::Header();
    for (const auto& entry : entries)
        content += entry.second.line;
    std::string error;
    BanFile::Write(path, content, error);
    return error;
}
