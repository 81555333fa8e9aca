// The ban list: what is banned, most specific first; listed in order, page by page; ended bans
// dropped the earliest first; every change told to whoever watches.

#include "server/operator/BanList.h"
#include "support/Bans.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{

const std::time_t Now = BanNow;

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
    EXPECT_EQ(bans.DropEnded(Now), 1u);
    EXPECT_EQ(bans.Size(), 2u);
}

// Records what a listener is told.
class Changes : public BanListener
{
public:
    void Added(const Ban& ban) override { seen += "+" + ban.network.ToString() + " "; }
    void Removed(const IpNetwork& network) override { seen += "-" + network.ToString() + " "; }
    std::string seen;
};

std::string Targets(const std::vector<Ban>& bans)
{
    std::string text;
    for (const Ban& ban : bans)
        text += ban.network.ToString() + " ";
    return text;
}

TEST(BanList, ListsInNetworkOrderPageByPageAndDropsWhatEndedEarliestFirst)
{
    BanList bans;
    Changes changes;
    bans.Watch(&changes);
    bans.Add(BanOf("2001:db8::/32", "", Now + 30));
    bans.Add(BanOf("192.0.2.10", "", Now + 10));
    bans.Add(BanOf("192.0.2.0/24", ""));
    bans.Add(BanOf("10.0.0.0/8", "", Now + 20));
    bans.Add(BanOf("192.0.2.9", ""));
    // Numbers, not texts, order them: 10/8 before 192/8, and a network before what it holds.
    EXPECT_EQ(Targets(bans.All()), "10.0.0.0/8 192.0.2.0/24 192.0.2.9 192.0.2.10 2001:db8::/32 ");

    // A listing goes on after the last ban it showed, whatever changed in between.
    const auto first = bans.Page({}, 2);
    EXPECT_EQ(Targets(first), "10.0.0.0/8 192.0.2.0/24 ");
    EXPECT_TRUE(bans.Remove(first.back().network));
    bans.Add(BanOf("172.16.0.0/12", "behind the listing"));
    bans.Add(BanOf("198.51.100.0/24", "ahead of it"));
    EXPECT_EQ(Targets(bans.Page(first.back().network, 10)),
              "192.0.2.9 192.0.2.10 198.51.100.0/24 2001:db8::/32 ");

    // Ended bans go the earliest first, as many as asked; a ban renewed until lifted stays.
    bans.Add(BanOf("2001:db8::/32", "renewed"));
    EXPECT_EQ(bans.DropEnded(Now + 100, 1), 1u);
    EXPECT_EQ(bans.Find(Address("192.0.2.10"), Now), nullptr) << "ended first";
    EXPECT_NE(bans.Find(Address("10.1.2.3"), Now), nullptr);
    EXPECT_EQ(bans.DropEnded(Now + 100), 1u);
    EXPECT_EQ(bans.DropEnded(Now + 100), 0u);
    EXPECT_EQ(Targets(bans.All()), "172.16.0.0/12 192.0.2.9 198.51.100.0/24 2001:db8::/32 ");

    // An end no ban file could hold lasts until lifted.
    bans.Add(BanOf("203.0.113.1", "", LatestBanEnd + 1));
    EXPECT_FALSE(bans.Find(Address("203.0.113.1"), Now)->until.has_value());

    EXPECT_EQ(changes.seen, "+2001:db8::/32 +192.0.2.10 +192.0.2.0/24 +10.0.0.0/8 +192.0.2.9 "
                            "-192.0.2.0/24 +172.16.0.0/12 +198.51.100.0/24 +2001:db8::/32 "
                            "-192.0.2.10 -10.0.0.0/8 +203.0.113.1 ");
}

TEST(BanList, TimesAndDurationsAsTheOperatorWritesThem)
{
    std::time_t time = 0;
    EXPECT_TRUE(ParseUtc("2027-01-15T08:00:00Z", time));
    EXPECT_EQ(time, Now);
    EXPECT_EQ(UtcText(Now), "2027-01-15T08:00:00Z");
    EXPECT_TRUE(ParseUtc("2028-02-29T23:59:59Z", time));
    // Every time a file can hold reads back as it was written, the last of them too.
    for (const std::time_t written : {std::time_t{0}, std::time_t{951782400} /* 2000-02-29 */,
                                      std::time_t{4107542400} /* 2100-03-01 */,
                                      std::time_t{32503680000} /* 3000-01-01 */, LatestBanEnd})
    {
        std::time_t read = -1;
        EXPECT_TRUE(ParseUtc(UtcText(written), read)) << UtcText(written);
        EXPECT_EQ(read, written) << UtcText(written);
    }
    EXPECT_EQ(UtcText(LatestBanEnd), "9999-12-31T23:59:59Z");
    EXPECT_EQ(UtcText(951782400), "2000-02-29T00:00:00Z");
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

    // Ten years at most: longer lasts until lifted, as does an end past what a file can hold.
    EXPECT_EQ(BanEnd(Now, 3650 * 86400), Now + MaxBanDuration);
    EXPECT_EQ(BanEnd(Now, 3650 * 86400 + 1), std::nullopt);
    std::time_t duration = 0;
    ASSERT_TRUE(ParseDuration("500000w", duration));
    EXPECT_EQ(BanEnd(Now, duration), std::nullopt);
    EXPECT_EQ(BanEnd(LatestBanEnd - 60, 3600), std::nullopt);
}

} // namespace
