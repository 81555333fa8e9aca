// The ban list and its file: what is banned, most specific first; bad lines reported with their
// numbers and skipped; ended bans dropped; the file rewritten whole.

#include "server/operator/BanList.h"
#include "support/Files.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{

asio::ip::address Address(const char* text)
{
    return asio::ip::make_address(text);
}

Ban BanOf(const char* target, const char* reason, std::optional<std::time_t> until = {})
{
    Ban ban;
    std::string error;
    EXPECT_TRUE(IpNetwork::Parse(target, ban.network, error)) << target;
    ban.reason = reason;
    ban.until = until;
    return ban;
}

const std::time_t Now = 1'800'000'000; // 2027-01-15T08:00:00Z

TEST(BanList, FindsTheMostSpecificBanInForceForAnAddress)
{
    BanList bans;
    bans.Add(BanOf("192.0.2.0/24", "the office"));
    bans.Add(BanOf("192.0.2.7", "one troll", Now + 60));
    bans.Add(BanOf("2001:db8::/48", "a provider"));
    bans.Add(BanOf("198.51.100.9", "gone", Now - 1));
    ASSERT_EQ(bans.Size(), 4u);

    EXPECT_EQ(bans.Find(Address("192.0.2.7"), Now)->reason, "one troll");
    EXPECT_EQ(bans.Find(Address("::ffff:192.0.2.8"), Now)->reason, "the office");
    EXPECT_EQ(bans.Find(Address("192.0.2.7"), Now + 60)->reason, "the office") << "ended";
    EXPECT_EQ(bans.Find(Address("2001:db8:0:1::5"), Now)->reason, "a provider");
    EXPECT_EQ(bans.Find(Address("2001:db8:1::5"), Now), nullptr);
    EXPECT_EQ(bans.Find(Address("198.51.100.9"), Now), nullptr) << "ended";
    EXPECT_EQ(bans.Find(Address("192.0.3.1"), Now), nullptr);

    // The same network again replaces its ban; removing leaves the others.
    bans.Add(BanOf("192.0.2.0/24", "still the office"));
    EXPECT_EQ(bans.Size(), 4u);
    EXPECT_TRUE(bans.Remove(BanOf("192.0.2.7", "").network));
    EXPECT_FALSE(bans.Remove(BanOf("192.0.2.7", "").network));
    EXPECT_EQ(bans.Find(Address("192.0.2.7"), Now)->reason, "still the office");
    EXPECT_TRUE(bans.DropEnded(Now));
    EXPECT_EQ(bans.Size(), 2u);
}

TEST(BanList, FileKeepsBansReportsBadLinesAndIsRewrittenWhole)
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
                     "2001:db8::/48 -\n");
    BanList bans;
    std::vector<std::string> problems;
    std::string error;
    ASSERT_TRUE(bans.Load(path, Now, problems, error)) << error;
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_NE(problems[0].find("line 5: "), std::string::npos) << problems[0];
    EXPECT_NE(problems[1].find("line 6: the end time yesterday"), std::string::npos) << problems[1];
    EXPECT_NE(problems[2].find("line 7: no end time"), std::string::npos) << problems[2];
    ASSERT_EQ(bans.Size(), 3u);
    EXPECT_EQ(bans.Find(Address("203.0.113.7"), Now)->reason, "spam, spam");
    EXPECT_EQ(*bans.Find(Address("203.0.113.7"), Now)->until, Now + 3600);
    EXPECT_EQ(bans.Find(Address("2001:db8::1"), Now)->reason, "");

    // Written back whole, the bad lines gone; read again, the same.
    ASSERT_TRUE(bans.Save(path, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    const std::string written = ReadBytes(path);
    EXPECT_NE(written.find(OnDisk("192.0.2.0/24 - the office\n")), std::string::npos) << written;
    EXPECT_NE(written.find(OnDisk("203.0.113.7 2027-01-15T09:00:00Z spam, spam\n")),
              std::string::npos);
    EXPECT_EQ(written.find("bob"), std::string::npos);
    BanList again;
    ASSERT_TRUE(again.Load(path, Now, problems, error));
    EXPECT_EQ(again.Size(), 3u);

    // A missing file is no bans; one that cannot be written leaves the old file as it was.
    BanList none;
    EXPECT_TRUE(none.Load(dir.File("missing"), Now, problems, error));
    EXPECT_EQ(none.Size(), 0u);
    EXPECT_FALSE(bans.Save(dir.File("no such folder/bans"), error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
    // One that is there but cannot be read is no empty list: later saves would lose its bans.
    std::filesystem::create_directory(dir.File("a folder"));
    BanList unreadable;
    error.clear();
    EXPECT_FALSE(unreadable.Load(dir.File("a folder"), Now, problems, error));
    EXPECT_NE(error.find("cannot read the ban file"), std::string::npos) << error;
}

TEST(BanList, TimesAndDurationsAsTheOperatorWritesThem)
{
    std::time_t time = 0;
    EXPECT_TRUE(ParseUtc("2027-01-15T08:00:00Z", time));
    EXPECT_EQ(time, Now);
    EXPECT_EQ(UtcText(Now), "2027-01-15T08:00:00Z");
    EXPECT_TRUE(ParseUtc("2028-02-29T23:59:59Z", time));
    for (const char* bad : {"2027-02-29T00:00:00Z", "2027-01-15 08:00:00", "2027-13-01T00:00:00Z",
                            "2027-01-15T24:00:00Z", "tomorrow", ""})
        EXPECT_FALSE(ParseUtc(bad, time)) << bad;

    struct Case
    {
        const char* text;
        std::time_t seconds; // 0: refused
    };
    const Case cases[] = {{"30m", 1800}, {"12h", 43200}, {"7d", 604800}, {"2w", 1209600},
                          {"45s", 45},   {"0m", 0},      {"m", 0},       {"12", 0},
                          {"1.5h", 0},   {"-1h", 0},     {"3y", 0}};
    for (const auto& c : cases)
    {
        std::time_t seconds = 0;
        EXPECT_EQ(ParseDuration(c.text, seconds), c.seconds != 0) << c.text;
        if (c.seconds != 0)
        {
            EXPECT_EQ(seconds, c.seconds) << c.text;
        }
    }
}

} // namespace
