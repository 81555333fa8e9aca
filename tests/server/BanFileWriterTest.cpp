// The ban file kept in step from a thread of its own: every change reaches the file, the latest
// state wins, a failed write is reported and mended by the next, and nothing handed over is lost
// when the writer is stopped.

#include "server/operator/BanFileWriter.h"
#include "server/operator/BanFile.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace testing_support;

namespace
{

Ban BanOf(const std::string& target, const std::string& reason)
{
    Ban ban;
    std::string error;
    EXPECT_TRUE(IpNetwork::Parse(target, ban.network, error)) << target;
    ban.reason = reason;
    return ban;
}

// What the writer reports, from its thread.
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
    ASSERT_TRUE(writer.Finish(std::chrono::seconds(10), error)) << error;
    EXPECT_EQ(ReadBytes(path), OnDisk(BanFile::Content(bans)));
    const auto taken = reports.Taken();
    ASSERT_FALSE(taken.empty());
    EXPECT_LT(taken.size(), 100u) << "changes that came during a write share the next one";
    EXPECT_EQ(taken.back(), "");
    bans.Watch(nullptr);
}

TEST(BanFileWriter, FailedWriteIsReportedAndTheNextOneMendsIt)
{
    TempDir dir;
    const std::string path = dir.File("state/bans");
    BanList bans;
    Reports reports;
    BanFileWriter writer(path, bans, reports.Taker());
    bans.Watch(&writer);

    bans.Add(BanOf("192.0.2.1", "first"));
    std::string error;
    EXPECT_FALSE(writer.Finish(std::chrono::seconds(10), error));
    EXPECT_EQ(error, "cannot write the ban file " + path);
    EXPECT_EQ(reports.Taken(), std::vector<std::string>{error});

    // Once it can be written, the next change writes every ban, those of the failed write too.
    std::filesystem::create_directory(dir.File("state"));
    bans.Add(BanOf("192.0.2.2", "second"));
    EXPECT_TRUE(writer.Finish(std::chrono::seconds(10), error)) << error;
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
    std::vector<std::string> problems;
    std::string error;
    ASSERT_TRUE(BanFile::Read(path, 0, read, problems, error)) << error;
    EXPECT_EQ(read.All(), bans.All());
}

} // namespace
