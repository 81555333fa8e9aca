#include "common/ChatProtocol.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include <sstream>
#include <vector>

using namespace ChatProtocol;
using oNet::Packet;
using oNet::PacketException;
using oNet::PacketType;
using testing_support::Bytes;
using testing_support::Concat;
using testing_support::FrameOf;

namespace
{

std::tm At(int hour, int minute, int second)
{
    std::tm time{};
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

TEST(ChatProtocol, TimestampHasTwoDigitsPerNumber)
{
    struct Case
    {
        int h, m, s;
        const char* expected;
    };
    const Case cases[] = {
        {9, 5, 3, "[09:05:03]"},    {0, 0, 0, "[00:00:00]"},  {23, 59, 59, "[23:59:59]"},
        {10, 10, 10, "[10:10:10]"}, {12, 0, 9, "[12:00:09]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatTimestamp(At(c.h, c.m, c.s)), c.expected);
}

TEST(ChatProtocol, ChatLineFromAbcAtNineFiveThreeIsTwentyBytes)
{
    const std::string line = ComposeChatLine(FormatTimestamp(At(9, 5, 3)), "abc", "hi");
    EXPECT_EQ(line, "[09:05:03] [abc]: hi");
    EXPECT_EQ(line.size(), 20u);

    auto packet = MakeTextPacket(PacketType::ChatMessage, line);
    EXPECT_EQ(FrameOf(*packet), Concat({0x00, 0x1A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14}, line));
}

TEST(ChatProtocol, MessageTextIsSentUnchanged)
{
    EXPECT_EQ(ComposeChatLine("[01:02:03]", "bob", "[x] ]: [y]"), "[01:02:03] [bob]: [x] ]: [y]");
    EXPECT_EQ(ComposeChatLine("[01:02:03]", "", ""), "[01:02:03] []: ");
}

TEST(ChatProtocol, GeneratedNicknameCoversTheDocumentedRange)
{
    EXPECT_EQ(GeneratedNickname(0), "User#10000");
    EXPECT_EQ(GeneratedNickname(32767), "User#42767");
    EXPECT_EQ(GeneratedNickname(12345), "User#22345");
    for (int r = 0; r <= 32767; r += 97)
    {
        const std::string name = GeneratedNickname(r);
        ASSERT_EQ(name.rfind("User#", 0), 0u);
        const int number = std::stoi(name.substr(5));
        ASSERT_GE(number, 10000);
        ASSERT_LE(number, 42767);
    }
}

TEST(ChatProtocol, ProgramsStartedInTheSameSecondDrawDifferentNicknames)
{
    // Fifty programs in one second: process ids four apart, a few milliseconds between starts.
    std::set<std::string> names;
    for (std::uint32_t i = 0; i < 50; ++i)
    {
        std::srand(NicknameSeed(1'800'000'000, 1000 + 4 * i, 360000 + 3 * i));
        names.insert(GeneratedNickname(std::rand()));
    }
    EXPECT_GE(names.size(), 48u);
}

// An integer array prints its size, then one line per value, unsigned.
TEST(ChatProtocol, IntegerArrayWritesItsSizeThenOneLinePerValue)
{
    const struct
    {
        std::vector<std::uint32_t> values;
        std::string printed;
    } cases[] = {
        {{7u, 9u}, "Array Size: 2\nElement[0] - 7\nElement[1] - 9\n"},
        {{}, "Array Size: 0\n"},
        {{0xFFFFFFFFu}, "Array Size: 1\nElement[0] - 4294967295\n"},
    };
    for (const auto& each : cases)
    {
        auto packet = std::make_shared<Packet>(PacketType::IntegerArray);
        *packet << static_cast<std::uint32_t>(each.values.size());
        for (std::uint32_t value : each.values)
            *packet << value;
        std::ostringstream out;
        WriteIntegerArray(*packet, out);
        EXPECT_EQ(out.str(), each.printed);
    }
}

TEST(ChatProtocol, ShortIntegerArrayWritesWhatItReadBeforeFailing)
{
    auto packet = std::make_shared<Packet>(PacketType::IntegerArray);
    *packet << 3u << 7u;
    std::ostringstream out;
    EXPECT_THROW(WriteIntegerArray(*packet, out), PacketException);
    EXPECT_EQ(out.str(), "Array Size: 3\nElement[0] - 7\n");
}

} // namespace
