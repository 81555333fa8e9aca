#include "net/PacketQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

using namespace oNet;

namespace
{

std::shared_ptr<Packet> Tagged(std::uint32_t tag)
{
    auto packet = std::make_shared<Packet>(PacketType::IntegerArray);
    *packet << tag;
    return packet;
}

std::uint32_t TagOf(const std::shared_ptr<Packet>& packet)
{
    packet->readOffset = 2;
    std::uint32_t tag = 0;
    *packet >> tag;
    return tag;
}

TEST(PacketQueue, NewQueueIsEmptyAtTheStartOfAHeader)
{
    PacketQueue queue;
    EXPECT_FALSE(queue.HasPending());
    EXPECT_EQ(queue.currentSize, 0);
    EXPECT_EQ(queue.transferred, 0);
    EXPECT_EQ(queue.stage, TransferStage::Header);
    EXPECT_EQ(static_cast<std::int32_t>(TransferStage::Body), 1);
}

TEST(PacketQueue, PacketsComeOutInTheOrderTheyWentIn)
{
    PacketQueue queue;
    for (std::uint32_t tag : {1u, 2u, 3u})
        queue.Append(Tagged(tag));

    for (std::uint32_t expected : {1u, 2u, 3u})
    {
        ASSERT_TRUE(queue.HasPending());
        EXPECT_EQ(TagOf(queue.Front()), expected);
        EXPECT_EQ(TagOf(queue.Front()), expected) << "Front leaves the packet in the queue";
        queue.Pop();
    }
    EXPECT_FALSE(queue.HasPending());
}

TEST(PacketQueue, QueuedPacketOutlivesItsCreatorUntilPopped)
{
    PacketQueue queue;
    std::weak_ptr<Packet> watch;
    {
        auto packet = Tagged(7);
        watch = packet;
        queue.Append(std::move(packet));
    }
    ASSERT_FALSE(watch.expired());
    EXPECT_EQ(watch.use_count(), 1) << "the queue holds the only reference";
    queue.Pop();
    EXPECT_TRUE(watch.expired());
}

TEST(PacketQueue, PopKeepsTheTransferStateTheFrameLoopStored)
{
    PacketQueue queue;
    queue.Append(Tagged(1));
    queue.currentSize = 9;
    queue.transferred = 1;
    queue.stage = TransferStage::Body;
    queue.Pop();
    EXPECT_FALSE(queue.HasPending());
    EXPECT_EQ(queue.currentSize, 9);
    EXPECT_EQ(queue.transferred, 1);
    EXPECT_EQ(queue.stage, TransferStage::Body);
}

TEST(PacketQueue, MovingTakesOverPacketsAndTransferState)
{
    PacketQueue old;
    auto packet = Tagged(5);
    old.Append(packet);
    old.currentSize = 12;
    old.transferred = 3;
    old.stage = TransferStage::Body;

    PacketQueue taken = std::move(old);
    ASSERT_TRUE(taken.HasPending());
    EXPECT_EQ(taken.Front(), packet);
    EXPECT_EQ(taken.currentSize, 12);
    EXPECT_EQ(taken.transferred, 3);
    EXPECT_EQ(taken.stage, TransferStage::Body);
}

} // namespace
