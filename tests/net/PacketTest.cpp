#include "net/Packet.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

using namespace oNet;
using testing_support::BufferOf;
using testing_support::Bytes;
using testing_support::Concat;
using testing_support::FrameOf;

// This file replaces the global allocator, and GCC then takes the free() inside operator delete
// for a mismatch with the operator new calls it sees inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Counts allocations made through operator new while a test asks for it, to show that a bad text
// count is refused before anything is allocated for it.
static std::atomic<bool> countAllocations{false};
static std::atomic<int> allocations{0};

void* operator new(std::size_t size)
{
    if (countAllocations)
        ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

const char* const AppendMessage =
    "[Packet::Append(const void*, uint32_t)] - Packet size exceeded max packet size.";
const char* const IntegerMessage =
    "[Packet::operator >>(uint32_t& ] - Extraction offset exceeded buffer size.";
const char* const TextMessage =
    "[Packet::operator >> (std::string &] - Extraction offset exceeded buffer size";

template <typename F> std::string MessageOf(F&& action)
{
    try
    {
        action();
    }
    catch (const PacketException& e)
    {
        return e.Message();
    }
    return "<no exception>";
}

// A packet whose buffer holds exactly the given bytes, as the receiver rebuilds one.
std::shared_ptr<Packet> Received(const Bytes& bytes)
{
    auto packet = std::make_shared<Packet>();
    packet->buffer.assign(bytes.begin(), bytes.end());
    return packet;
}

TEST(Packet, NewPacketHoldsItsTypeBigEndian)
{
    auto packet = std::make_shared<Packet>(static_cast<PacketType>(0x0102));
    EXPECT_EQ(BufferOf(*packet), (Bytes{0x01, 0x02}));
    EXPECT_EQ(packet->readOffset, 2u);
    EXPECT_EQ(static_cast<std::uint16_t>(packet->Type()), 0x0102);

    auto untyped = std::make_shared<Packet>();
    EXPECT_EQ(BufferOf(*untyped), (Bytes{0x00, 0x00}));
    EXPECT_EQ(untyped->Type(), PacketType::Invalid);
}

TEST(Packet, TypeReadsBothBytesOfAReceivedBuffer)
{
    EXPECT_EQ(static_cast<std::uint16_t>(Received({0xFF, 0xFE, 0x00})->Type()), 0xFFFE);
    EXPECT_EQ(Received({0x00, 0x06})->Type(), PacketType::UsersOnline);
}

struct WireExample
{
    const char* name;
    std::shared_ptr<Packet> packet;
    Bytes frame;
};

TEST(Packet, ProtocolPacketsHaveTheDocumentedWireForm)
{
    auto nickname = std::make_shared<Packet>(PacketType::Nickname);
    *nickname << std::string("abc");

    auto array = std::make_shared<Packet>(PacketType::IntegerArray);
    *array << 2u << 7u << 9u;

    const std::string line = "[12:05:09] [abc]: hi";
    auto chat = std::make_shared<Packet>(PacketType::ChatMessage);
    *chat << line;

    const WireExample examples[] = {
        {"empty Nickname",
         std::make_shared<Packet>(PacketType::Nickname),
         {0x00, 0x02, 0x00, 0x05}},
        {"NewUser", std::make_shared<Packet>(PacketType::NewUser), {0x00, 0x02, 0x00, 0x04}},
        {"Nickname abc",
         nickname,
         {0x00, 0x09, 0x00, 0x05, 0x00, 0x00, 0x00, 0x03, 0x61, 0x62, 0x63}},
        {"IntegerArray 7 9",
         array,
         {0x00, 0x0E, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,
          0x09}},
        {"ChatMessage", chat, Concat({0x00, 0x1A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14}, line)},
    };
    for (const auto& example : examples)
        EXPECT_EQ(FrameOf(*example.packet), example.frame) << example.name;
}

TEST(Packet, FieldsComeBackInInsertionOrder)
{
    auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
    *packet << 0xDEADBEEFu << std::string("hello") << 0u << std::string("") << 0x01020304u;

    std::uint32_t first = 0, zero = 1, last = 0;
    std::string text = "junk", empty = "junk";
    *packet >> first >> text >> zero >> empty >> last;
    EXPECT_EQ(first, 0xDEADBEEFu);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(zero, 0u);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(last, 0x01020304u);
    EXPECT_EQ(packet->readOffset, packet->buffer.size());
}

TEST(Packet, IntegersAreBigEndianOnTheWire)
{
    auto packet = std::make_shared<Packet>();
    *packet << 0x01020304u;
    EXPECT_EQ(BufferOf(*packet), (Bytes{0x00, 0x00, 0x01, 0x02, 0x03, 0x04}));

    auto received = Received({0x00, 0x02, 0x80, 0x00, 0x00, 0xFF});
    std::uint32_t value = 0;
    *received >> value;
    EXPECT_EQ(value, 0x800000FFu);
}

TEST(Packet, BufferMayReachExactlyTheLimitButNotPassIt)
{
    auto packet = std::make_shared<Packet>();
    packet->buffer.resize(MaxPacketSize - 4);
    *packet << 42u;
    EXPECT_EQ(packet->buffer.size(), MaxPacketSize);

    const char byte = 'x';
    EXPECT_EQ(MessageOf([&] { packet->Append(&byte, 1); }), AppendMessage);
    EXPECT_EQ(packet->buffer.size(), MaxPacketSize);
    EXPECT_EQ(MessageOf([&] { *packet << 1u; }), AppendMessage);
    EXPECT_EQ(packet->buffer.size(), MaxPacketSize);
}

TEST(Packet, FailedAppendLeavesTheBufferAsItWas)
{
    auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
    *packet << 7u;
    const Bytes before = BufferOf(*packet);
    const std::string big(MaxPacketSize, 'a');
    EXPECT_EQ(
        MessageOf([&] { packet->Append(big.data(), static_cast<std::uint32_t>(big.size())); }),
        AppendMessage);
    EXPECT_EQ(BufferOf(*packet), before);
}

TEST(Packet, EmptyTextIsFourZeroBytes)
{
    auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
    *packet << std::string();
    EXPECT_EQ(BufferOf(*packet), (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));

    std::string text = "previous";
    *packet >> text;
    EXPECT_EQ(text, "");
    EXPECT_EQ(packet->readOffset, 6u);
}

TEST(Packet, LongestTextFillsThePacketAndOneMoreByteDoesNotFit)
{
    auto fits = std::make_shared<Packet>(PacketType::ChatMessage);
    *fits << std::string(MaxPacketSize - 6, 'x');
    EXPECT_EQ(fits->buffer.size(), MaxPacketSize);

    std::string back;
    *fits >> back;
    EXPECT_EQ(back, std::string(MaxPacketSize - 6, 'x'));

    // The count fits, the bytes do not: the count stays appended and the packet is to be dropped.
    auto tooLong = std::make_shared<Packet>(PacketType::ChatMessage);
    EXPECT_EQ(MessageOf([&] { *tooLong << std::string(MaxPacketSize - 5, 'x'); }), AppendMessage);
    EXPECT_EQ(BufferOf(*tooLong), (Bytes{0x00, 0x01, 0x00, 0x00, 0x1F, 0xFB}));
}

TEST(Packet, IntegerExtractionNeedsFourRemainingBytes)
{
    auto exact = Received({0x00, 0x02, 0x00, 0x00, 0x00, 0x05});
    std::uint32_t value = 0;
    *exact >> value;
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(exact->readOffset, 6u);

    auto shortBy1 = Received({0x00, 0x02, 0x00, 0x00, 0x05});
    value = 99;
    EXPECT_EQ(MessageOf([&] { *shortBy1 >> value; }), IntegerMessage);
    EXPECT_EQ(shortBy1->readOffset, 2u);
    EXPECT_EQ(value, 99u);

    // A type field only: nothing to read at all.
    auto bare = Received({0x00, 0x02});
    EXPECT_EQ(MessageOf([&] { *bare >> value; }), IntegerMessage);
    EXPECT_EQ(bare->readOffset, 2u);
}

TEST(Packet, TextWithoutItsCountFailsWithTheIntegerMessage)
{
    auto packet = Received({0x00, 0x01, 0x00, 0x00});
    std::string text = "keep?";
    EXPECT_EQ(MessageOf([&] { *packet >> text; }), IntegerMessage);
    EXPECT_EQ(text, "");
    EXPECT_EQ(packet->readOffset, 2u);
}

TEST(Packet, TextCountPastTheEndFailsAfterConsumingTheCount)
{
    auto packet = Received({0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 'a', 'b', 'c'});
    std::string text = "previous";
    EXPECT_EQ(MessageOf([&] { *packet >> text; }), TextMessage);
    EXPECT_EQ(text, "");
    EXPECT_EQ(packet->readOffset, 6u);
}

TEST(Packet, HugeTextCountAllocatesNothing)
{
    auto packet = Received({0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    std::string text;
    allocations = 0;
    countAllocations = true;
    const std::string message = [&] {
        try
        {
            *packet >> text;
        }
        catch (const PacketException& e)
        {
            countAllocations = false;
            return e.Message();
        }
        countAllocations = false;
        return std::string("<no exception>");
    }();
    countAllocations = false;
    EXPECT_EQ(message, TextMessage);
    EXPECT_LE(allocations, 1) << "nothing but the exception's own message may be allocated";
    EXPECT_EQ(text, "");
    EXPECT_EQ(packet->readOffset, 6u);
}

TEST(Packet, ExceptionCarriesItsMessageByValue)
{
    PacketException original("[X::Y] - something");
    PacketException copy = original;
    EXPECT_EQ(copy.Message(), "[X::Y] - something");
    EXPECT_EQ(copy.message, original.message);
}

} // namespace
