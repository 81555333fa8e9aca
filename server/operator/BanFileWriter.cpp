#include "server/operator/BanFileWriter.h"

#include "server/operator/BanFile.h"

BanFileWriter::BanFileWriter(std::string path, const BanList& bans, Report report)
    : shared(std::make_shared<Shared>()), path(std::move(path))
{
    shared->report = std::move(report);
    std::map<IpNetwork, std::string> lines;
    for (const Ban& ban : bans.All())
        lines.emplace_hint(lines.end(), ban.network, BanFile::Line(ban));
    thread = std::thread(Run, shared, this->path, std::move(lines));
}

BanFileWriter::~BanFileWriter()
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->stop = true;
    shared->report = nullptr;
    shared->wake.notify_all();
    // What was handed over is written first; a disk that does not answer in time is not waited
    // for longer: the thread, which owns all it uses, is left to end on its own.
    const bool idle = shared->done.wait_for(
        lock, FinishTime, [this] { return !shared->writing && shared->pending.empty(); });
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

bool BanFileWriter::Finish(std::chrono::milliseconds limit, std::string& error)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->hurry = true;
    shared->wake.notify_all();
    const std::uint64_t target = shared->handedOver;
    if (!shared->done.wait_for(lock, limit, [&] { return shared->written >= target; }))
    {
        error = "the ban file " + path + " was not written within " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
                " s: the latest changes to the bans may be lost";
        return false;
    }
    error = shared->lastError;
    return error.empty();
}

void BanFileWriter::Run(std::shared_ptr<Shared> shared, std::string path,
                        std::map<IpNetwork, std::string> lines)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    auto nextWrite = std::chrono::steady_clock::now();
    for (;;)
    {
        shared->wake.wait(lock, [&] { return shared->stop || !shared->pending.empty(); });
        if (shared->pending.empty())
            return; // stopped, everything written
        shared->wake.wait_until(lock, nextWrite, [&] { return shared->stop || shared->hurry; });
        nextWrite = std::chrono::steady_clock::now() + WriteInterval;
        std::vector<Change> changes;
        changes.swap(shared->pending);
        const std::uint64_t taken = shared->handedOver;
        shared->writing = true;
        lock.unlock();
        // Everything of the write, its changes and its text freed too, happens outside the lock,
        // which the server's thread only ever waits for while a vector is swapped.
        const std::string error = Write(path, lines, std::move(changes));
        lock.lock();
        shared->writing = false;
        shared->written = taken;
        shared->lastError = error;
        if (shared->report)
            shared->report(error);
        shared->done.notify_all();
    }
}

std::string BanFileWriter::Write(const std::string& path, std::map<IpNetwork, std::string>& lines,
                                 std::vector<Change> changes)
{
    for (auto& change : changes)
    {
        if (change.ban)
            lines.insert_or_assign(change.network, BanFile::Line(*change.ban));
        else
            lines.erase(change.network);
    }
    std::string content = BanFile::Header();
    for (const auto& entry : lines)
        content += entry.second;
    std::string error;
    BanFile::Write(path, content, error);
    return error;
}
