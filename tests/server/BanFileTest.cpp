// The ban file: bad lines reported with their numbers and skipped, ended bans left out, what the
// server writes read back as it was (however far its end), and nothing but a regular file read.

#include "server/operator/BanFile.h"
#include "support/Bans.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace testing_support;

namespace
{

const std::time_t Now = BanNow;

TEST(BanFile, KeepsBansReportsBadLinesAndIsRewrittenWhole)
{
    TempDir dir;
    const std::string path = dir.File("bans");
    WriteBytes(path, "# comment\n"
                     "192.0.2.0/24 - the office\n"
                     "\n"
                     "203.0.113.7 2027-01-15T09:00:00Z spam, spam\n"
                     "bob - not an address\n"
                     "198.51.100.1 yesterday bad time\n"
                     "198.51.100.2\n"
                     "198.51.100.3 2027-01-15T07:59:59Z ended already\n"
                     "2001:db8::/48 -\r\n"
                     "198.51.100.4\t-\tescape \x1b[2K and tab\t \n");
    BanList bans;
    std::vector<BanFileProblem> problems;
    std::string error;
    ASSERT_TRUE(BanFile::Read(path, Now, bans, problems, error)) << error;
    // Each problem knows its line, why, and whether the line was left out or only cleaned.
    ASSERT_EQ(problems.size(), 4u);
    const std::vector<std::pair<int, bool>> lines = {{5, true}, {6, true}, {7, true}, {10, false}};
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        EXPECT_EQ(problems[i].line, lines[i].first) << i;
        EXPECT_EQ(problems[i].skipped, lines[i].second) << i;
    }
    EXPECT_NE(problems[1].why.find("the end time yesterday"), std::string::npos) << problems[1].why;
    EXPECT_EQ(problems[1].Logged(path).rfind(path + " line 6: the end time yesterday", 0), 0u);
    EXPECT_NE(problems[1].Logged(path).find("; skipped"), std::string::npos);
    EXPECT_EQ(problems[2].Text(path).rfind(path + " line 7: no end time", 0), 0u);
    EXPECT_EQ(problems[3].Logged(path),
              path + " line 10: control characters in the reason are shown as spaces");
    ASSERT_EQ(bans.Size(), 4u);
    EXPECT_EQ(bans.Find(Address("203.0.113.7"), Now)->reason, "spam, spam");
    EXPECT_EQ(*bans.Find(Address("203.0.113.7"), Now)->until, Now + 3600);
    EXPECT_EQ(bans.Find(Address("2001:db8::1"), Now)->reason, "");
    EXPECT_EQ(bans.Find(Address("198.51.100.4"), Now)->reason, "escape  [2K and tab");

    // Written back whole, in the order of the networks, the bad lines gone; read again, the same.
    ASSERT_TRUE(BanFile::Write(path, BanFile::Content(bans), error)) << error;
    EXPECT_EQ(ReadBytes(path),
              OnDisk(BanFile::Header() + "192.0.2.0/24 - the office\n"
                                         "198.51.100.4 - escape  [2K and tab\n"
                                         "203.0.113.7 2027-01-15T09:00:00Z spam, spam\n"
                                         "2001:db8::/48 -\n"));
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"bans"}) << "nothing left beside";
    BanList again;
    problems.clear();
    ASSERT_TRUE(BanFile::Read(path, Now, again, problems, error));
    EXPECT_EQ(again.All(), bans.All());
    EXPECT_TRUE(problems.empty());

    // A missing file is no bans; one that cannot be written leaves the old file as it was.
    BanList none;
    EXPECT_TRUE(BanFile::Read(dir.File("missing"), Now, none, problems, error));
    EXPECT_EQ(none.Size(), 0u);
    EXPECT_FALSE(BanFile::Write(dir.File("no such folder/bans"), "", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
}

TEST(BanFile, WhatTheServerWritesItReadsBackHoweverFarItsEnd)
{
    BanList bans;
    bans.Add(BanOf("203.0.113.11", "five hundred thousand weeks", BanEnd(Now, 302400000000)));
    bans.Add(BanOf("203.0.113.12", "ten years", BanEnd(Now, MaxBanDuration)));
    bans.Add(BanOf("203.0.113.13", "the last second a file holds", LatestBanEnd));
    bans.Add(BanOf("203.0.113.14", "past it", LatestBanEnd + 86400));
    bans.Add(BanOf("2001:db8:1:2::/64", "until lifted"));
    bans.Add(BanOf("2001:db8::7", ""));
    bans.Add(BanOf("198.51.100.0/31", std::string(MaxReasonBytes, 'x')));
    const std::string text = BanFile::Content(bans);
    EXPECT_NE(text.find("203.0.113.11 - five hundred thousand weeks\n"), std::string::npos) << text;
    EXPECT_NE(text.find("203.0.113.13 9999-12-31T23:59:59Z the last"), std::string::npos) << text;

    BanList read;
    std::vector<BanFileProblem> problems;
    BanFile::Parse(text, Now, read, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(read.All(), bans.All());
    EXPECT_EQ(BanFile::Content(read), text);

    // What the reader mends, it reads back as mended: a reason too long is cut.
    BanList cut;
    BanFile::Parse("192.0.2.1 - " + std::string(MaxReasonBytes + 10, 'y') + "\n", Now, cut,
                   problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(cut.All()[0].reason.size(), MaxReasonBytes);
    BanList again;
    problems.clear();
    BanFile::Parse(BanFile::Content(cut), Now, again, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(again.All(), cut.All());
}

TEST(BanFile, OnlyARegularFileIsRead)
{
    // A folder, a named pipe (which would hold the reader until someone writes to it) or a link
    // (not followed) at the path is refused, whatever main checked before: it may have been put
    // there since.
    TempDir dir;
    std::filesystem::create_directory(dir.File("a folder"));
    std::vector<std::pair<std::string, std::string>> refused = {{"a folder", "a directory"}};
#ifndef _WIN32
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    WriteBytes(dir.File("elsewhere"), "192.0.2.1 - through a link\n");
    std::filesystem::create_symlink(dir.File("elsewhere"), dir.File("link"));
    refused.push_back({"pipe", "a named pipe"});
    refused.push_back({"link", "a symbolic link"});
#endif
    for (const auto& [name, kind] : refused)
    {
        BanList bans;
        std::vector<BanFileProblem> problems;
        std::string error;
        EXPECT_FALSE(BanFile::Read(dir.File(name), Now, bans, problems, error)) << name;
        EXPECT_EQ(error, "the ban file " + dir.File(name) + " is " + kind + ", not a regular file");
        EXPECT_EQ(bans.Size(), 0u);
    }
}

} // namespace
