// The ban file kept in step from a thread of its own: every change reaches the file, the latest
// state wins, a failed write is reported and mended by the next, and nothing handed over is lost
// when the writer is stopped.

#include "server/operator/BanFileWriter.h"
#include "server/operator/BanFile.h"
#include "support/Bans.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

using namespace testing_support;

namespace
{

// What the writer reports, from its thread.
BanFileWriter::Clock::time_point In(std::chrono::seconds time)
{
    return BanFileWriter::Clock::now() + time;
}

struct Reports
{
    std::mutex mutex;
    std::vector<std::string> errors;

    BanFileWriter::Report Taker()
    {
        return [this](const std::string& error) {
            std::lock_guard<std::mutex> lock(mutex);
            errors.push_back(error);
        };
    }
    std::vector<std::string> Taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return errors;
    }
};

TEST(BanFileWriter, EveryChangeReachesTheFileAndTheLatestStateWins)
{
    TempDir dir;
    const std::string path = dir.File("bans");
    BanList bans;
    bans.Add(BanOf("198.51.100.0/24", "there before"));
    Reports reports;
    BanFileWriter writer(path, bans, reports.Taker());
    bans.Watch(&writer);
    EXPECT_FALSE(std::filesystem::exists(path)) << "nothing is written until something changes";

    // A burst of changes, some undone at once: the file ends as the list does.
    for (int i = 0; i < 500; ++i)
    {
        bans.Add(BanOf("192.0.2." + std::to_string(i % 250), "round " + std::to_string(i)));
        if (i % 3 == 0)
            bans.Remove(BanOf("192.0.2." + std::to_string(i % 250), "").network);
    }
    bans.Remove(BanOf("198.51.100.0/24", "").network);
    std::string error;
    ASSERT_TRUE(writer.Finish(In(std::chrono::seconds(10)), error)) << error;
    EXPECT_EQ(ReadBytes(path), OnDisk(BanFile::Content(bans)));
    const auto taken = reports.Taken();
    ASSERT_FALSE(taken.empty());
    EXPECT_LT(taken.size(), 100u) << "changes that came during a write share the next one";
    EXPECT_EQ(taken.back(), "");
    bans.Watch(nullptr);
}

TEST(BanFileWriter, FailedWriteIsReportedAndTriedAgainUntilItSucceeds)
{
    TempDir dir;
    const std::string path = dir.File("state/bans");
    BanList bans;
    Reports reports;
    BanFileWriter writer(path, bans, reports.Taker());
    bans.Watch(&writer);

    bans.Add(BanOf("192.0.2.1", "first"));
    std::string error;
    EXPECT_FALSE(writer.Finish(In(std::chrono::seconds(10)), error));
    // The reason names the step and the system's own word for it ("No such file or directory",
    // "Path not found").
    const std::string step =
        "cannot write the ban file " + path + " (cannot make a new file beside it: ";
    EXPECT_EQ(error.rfind(step, 0), 0u) << error;
    EXPECT_GT(error.size(), step.size() + 2) << error;
    EXPECT_EQ(error.back(), ')') << error;
    ASSERT_FALSE(reports.Taken().empty());
    EXPECT_EQ(reports.Taken().back(), error);

    // Once it can be written, the writer tries again by itself, without a new change.
    std::filesystem::create_directory(dir.File("state"));
    const auto deadline = In(std::chrono::seconds(10));
    while (!std::filesystem::exists(path) && BanFileWriter::Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(std::filesystem::exists(path)) << "the failed write was never tried again";
    EXPECT_EQ(ReadBytes(path), OnDisk(BanFile::Header() + "192.0.2.1 - first\n"));

    // A last write that failed is tried again by Finish, which says whether it worked now.
    std::filesystem::remove_all(dir.File("state"));
    bans.Add(BanOf("192.0.2.2", "second"));
    EXPECT_FALSE(writer.Finish(In(std::chrono::seconds(10)), error));
    std::filesystem::create_directory(dir.File("state"));
    EXPECT_TRUE(writer.Finish(In(std::chrono::seconds(10)), error)) << error;
    EXPECT_EQ(ReadBytes(path),
              OnDisk(BanFile::Header() + "192.0.2.1 - first\n192.0.2.2 - second\n"));
    EXPECT_EQ(reports.Taken().back(), "");
    bans.Watch(nullptr);
}

TEST(BanFileWriter, WhatWasHandedOverIsWrittenBeforeTheWriterStops)
{
    TempDir dir;
    const std::string path = dir.File("bans");
    BanList bans;
    {
        BanFileWriter writer(path, bans, nullptr);
        bans.Watch(&writer);
        for (int i = 0; i < 100; ++i)
            bans.Add(BanOf("2001:db8::" + std::to_string(i + 1), "last words"));
        bans.Watch(nullptr);
    }
    BanList read;
    std::vector<BanFileProblem> problems;
    std::string error;
    ASSERT_TRUE(BanFile::Read(path, 0, read, problems, error)) << error;
    EXPECT_EQ(read.All(), bans.All());
}

TEST(BanFileWriter, ReloadKeepsTheServersChangesNotYetWrittenAndTakesTheEdit)
{
    TempDir dir;
    const std::string path = dir.File("bans");
    WriteBytes(path, BanFile::Header() + "192.0.2.1 - in the file\n");
    BanList bans;
    std::vector<BanFileProblem> problems;
    std::string error;
    ASSERT_TRUE(BanFile::Read(path, 0, bans, problems, error)) << error;
    // Paced so that after this first write nothing is written before the reload, however slow
    // the machine.
    BanFileWriter writer(path, bans, nullptr, std::chrono::hours(1));
    bans.Watch(&writer);
    bans.Add(BanOf("192.0.2.9", "to be lifted"));
    ASSERT_TRUE(writer.Finish(In(std::chrono::seconds(10)), error)) << error;

    // The operator edits the file: one ban lifted, one added. Meanwhile the server bans another
    // address, which is in no file yet; the reload comes at once.
    WriteBytes(path, BanFile::Header() + "192.0.2.1 - in the file\n192.0.2.5 - by hand\n");
    bans.Add(BanOf("192.0.2.2", "just now"));
    std::promise<BanFileReload> found;
    writer.Reload(0, [&found](BanFileReload reload) { found.set_value(std::move(reload)); });
    auto future = found.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    BanFileReload reload = future.get();
    EXPECT_EQ(reload.Refusal(), "");
    EXPECT_EQ(reload.Added(), 1u);
    EXPECT_EQ(reload.Lifted(), 1u) << "only the ban taken out of the file is lifted";
    EXPECT_EQ(reload.Changed(), 0u);
    std::vector<BanFileReload::Change> applied;
    while (reload.ApplySome(bans, 1, applied))
    {
    }
    ASSERT_EQ(applied.size(), 2u);
    EXPECT_EQ(applied[0].network.ToString(), "192.0.2.5");
    EXPECT_TRUE(applied[0].ban.has_value()) << "put in place";
    EXPECT_EQ(applied[1].network.ToString(), "192.0.2.9");
    EXPECT_FALSE(applied[1].ban.has_value()) << "lifted";
    ASSERT_TRUE(writer.Finish(In(std::chrono::seconds(10)), error)) << error;
    EXPECT_EQ(ReadBytes(path), OnDisk(BanFile::Header() + "192.0.2.1 - in the file\n"
                                                          "192.0.2.2 - just now\n"
                                                          "192.0.2.5 - by hand\n"));

    // A line that cannot be read refuses the reload; one whose reason is only cleaned does not.
    WriteBytes(path, BanFile::Header() + "192.0.2.1 - in the \x1b file\nnot-an-address -\n");
    std::promise<BanFileReload> refused;
    writer.Reload(0, [&refused](BanFileReload reload) { refused.set_value(std::move(reload)); });
    auto second = refused.get_future();
    ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const BanFileReload kept = second.get();
    EXPECT_EQ(kept.Refusal(), path + " line 4: not an IPv4 or IPv6 address: not-an-address");
    EXPECT_TRUE(kept.Changes().empty());
    WriteBytes(path, BanFile::Header() + "192.0.2.1 - in the \x1b file\n"
                                         "192.0.2.2 - just now\n192.0.2.5 - by hand\n");
    std::promise<BanFileReload> cleaned;
    writer.Reload(0, [&cleaned](BanFileReload reload) { cleaned.set_value(std::move(reload)); });
    auto third = cleaned.get_future();
    ASSERT_EQ(third.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const BanFileReload taken = third.get();
    EXPECT_EQ(taken.Refusal(), "");
    ASSERT_EQ(taken.Problems().size(), 1u);
    EXPECT_FALSE(taken.Problems()[0].skipped);
    EXPECT_EQ(taken.Changed(), 1u) << "the reason, cleaned, is a change";
    bans.Watch(nullptr);
}

TEST(BanFileWriter, BansTheFileDoesNotHoldYetAreWrittenAtOnceAndNoReloadLiftsThem)
{
    // The room brought a ban before the file was read: it is in force, not in the file.
    TempDir dir;
    const std::string path = dir.File("bans");
    WriteBytes(path, BanFile::Header() + "192.0.2.1 - in the file\n");
    BanList inFile;
    std::vector<BanFileProblem> problems;
    std::string error;
    ASSERT_TRUE(BanFile::Read(path, 0, inFile, problems, error)) << error;
    BanList bans;
    bans.Add(BanOf("198.51.100.7", "from the room"));
    for (const Ban& ban : inFile.All())
        bans.Add(ban);
    BanFileWriter writer(path, bans, inFile.All(), nullptr);
    bans.Watch(&writer);

    std::promise<BanFileReload> found;
    writer.Reload(0, [&found](BanFileReload reload) { found.set_value(std::move(reload)); });
    auto future = found.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const BanFileReload reload = future.get();
    EXPECT_EQ(reload.Lifted(), 0u) << "the room's ban is not the operator's to lift by the file";
    EXPECT_EQ(reload.Added(), 0u);
    ASSERT_TRUE(writer.Finish(In(std::chrono::seconds(10)), error)) << error;
    EXPECT_EQ(ReadBytes(path), OnDisk(BanFile::Content(bans)));
    bans.Watch(nullptr);
}

} // namespace
