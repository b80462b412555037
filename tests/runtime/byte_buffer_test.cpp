// ByteBuffer growth rules and the small-block pool.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "runtime/byte_buffer.h"
#include "runtime/memory.h"

namespace {

using rt::ByteBuffer;
using rt::SmallBlockPool;

TEST(ByteBuffer, PoolSlotsUntilTheNinetySeventhBlock) {
    auto pool = std::make_unique<SmallBlockPool>(true);
    std::vector<std::unique_ptr<ByteBuffer>> live;
    for (int i = 0; i < 96; ++i) {
        live.push_back(std::make_unique<ByteBuffer>(*pool));
        ASSERT_NE(live.back()->Allocate(512), nullptr);
        EXPECT_TRUE(live.back()->inPool());
        EXPECT_EQ(live.back()->capacity(), 512);
    }
    EXPECT_EQ(pool->usedCount(), 96);
    ByteBuffer extra(*pool);
    extra.Allocate(10);
    EXPECT_FALSE(extra.inPool());
    EXPECT_EQ(extra.capacity(), 138);
    // A released slot is the next one handed out (the lowest free index).
    unsigned char* third = live[2]->data();
    live[2]->Free();
    EXPECT_EQ(pool->usedCount(), 95);
    ByteBuffer again(*pool);
    EXPECT_EQ(again.Allocate(1), third);
    // A block is the pool's by its address alone: the last slot's last byte is, the next not.
    const unsigned char* last = live[95]->data();
    EXPECT_TRUE(pool->Owns(last + SmallBlockPool::kSlotSize - 1));
    EXPECT_FALSE(pool->Owns(last + SmallBlockPool::kSlotSize));
    live.clear();
    again.Free();
    EXPECT_EQ(pool->usedCount(), 0);
}

TEST(ByteBuffer, LargeBlocksAndSwitchedOffPoolsUseTheHeap) {
    auto on = std::make_unique<SmallBlockPool>(true);
    ByteBuffer big(*on);
    big.Allocate(513);
    EXPECT_FALSE(big.inPool());
    EXPECT_EQ(big.capacity(), 641);
    auto off = std::make_unique<SmallBlockPool>(false);
    ByteBuffer small(*off);
    small.Allocate(10);
    EXPECT_FALSE(small.inPool());
    EXPECT_EQ(small.capacity(), 138);
    EXPECT_EQ(off->usedCount(), 0);
    EXPECT_EQ(small.Allocate(0), nullptr) << "a second Allocate resizes: to nothing here";
    EXPECT_EQ(small.data(), nullptr);
}

TEST(ByteBuffer, HeapBlocksShrinkOnlyWithMoreThan256Unused) {
    SmallBlockPool pool(false);
    ByteBuffer b(pool);
    b.Allocate(1000);
    ASSERT_EQ(b.capacity(), 1128);
    std::memset(b.data(), 7, 1000);
    b.Resize(900);
    EXPECT_EQ(b.capacity(), 1128);
    EXPECT_EQ(b.size(), 900);
    b.Resize(872);
    EXPECT_EQ(b.capacity(), 1128) << "256 unused bytes stay";
    b.Resize(871);
    EXPECT_EQ(b.capacity(), 999) << "257 do not";
    EXPECT_EQ(b.data()[870], 7) << "contents survive the move";
    EXPECT_EQ(b.Resize(0), nullptr);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.capacity(), 0);
    EXPECT_EQ(b.size(), 0);
}

TEST(ByteBuffer, PoolSlotKeptWhenLargeEnoughAndMovedWhenNot) {
    auto pool = std::make_unique<SmallBlockPool>(true);
    ByteBuffer b(*pool);
    b.Allocate(512);
    std::memcpy(b.data(), "abcdef", 6);
    b.Resize(100);
    EXPECT_TRUE(b.inPool());
    EXPECT_EQ(b.capacity(), 512);
    b.Resize(600);
    EXPECT_FALSE(b.inPool());
    EXPECT_EQ(b.capacity(), 728);
    EXPECT_EQ(std::memcmp(b.data(), "abcdef", 6), 0);
    EXPECT_EQ(pool->usedCount(), 0) << "the slot went back";
}

TEST(ByteBuffer, AppendGrowsEveryThirtyTwoFourByteAppends) {
    SmallBlockPool pool(false);
    ByteBuffer b(pool);
    EXPECT_TRUE(b.Append("x", 0));
    EXPECT_EQ(b.data(), nullptr);
    int moves = 0;
    int capacity = 0;
    for (int i = 0; i < 320; ++i) {
        ASSERT_TRUE(b.Append(&i, 4));
        if (b.capacity() != capacity) {
            ++moves;
            capacity = b.capacity();
        }
    }
    EXPECT_EQ(moves, 10);  // 1280 bytes in blocks of 128 spare bytes
    int last;
    std::memcpy(&last, b.data() + 1276, 4);
    EXPECT_EQ(last, 319);
    ASSERT_TRUE(b.Append(nullptr, 4));
    EXPECT_EQ(std::memcmp(b.data() + 1280, "\0\0\0\0", 4), 0);
}

TEST(ByteBuffer, AppendRefusesToPassTheSignedSize) {
    SmallBlockPool pool(false);
    ByteBuffer b(pool);
    ASSERT_TRUE(b.Append("abc", 3));
    EXPECT_FALSE(b.Append(nullptr, INT32_MAX - 1));
    EXPECT_EQ(b.size(), 3) << "a refused append leaves the buffer as it was";
    // Within the signed size, but no block of that size plus the spare bytes can exist.
    EXPECT_FALSE(b.Append(nullptr, INT32_MAX - 3 - 64));
    EXPECT_EQ(b.size(), 3);
    EXPECT_EQ(std::memcmp(b.data(), "abc", 3), 0);
}

// A heap that refuses every request above 1000 bytes while it lives.
class SmallHeap {
public:
    SmallHeap() { rt::SetHeapSeam(&seam_); }
    ~SmallHeap() { rt::SetHeapSeam(nullptr); }

private:
    static bool Refuse(std::uint32_t size) { return size > 1000; }
    const rt::HeapSeam seam_{Refuse, nullptr};
};

// Room made ahead for a known size: appends within it never move the block, and a refused
// room leaves the buffer as it was.
TEST(ByteBuffer, RoomReservedAheadKeepsTheBlockWhileAppendsFillIt) {
    auto pool = std::make_unique<SmallBlockPool>(true);
    ByteBuffer b(*pool);
    ASSERT_TRUE(b.Append("slot", 4));
    ASSERT_TRUE(b.inPool());
    ASSERT_TRUE(b.Reserve(5000));
    EXPECT_FALSE(b.inPool()) << "the contents moved to a heap block";
    EXPECT_EQ(pool->usedCount(), 0);
    EXPECT_EQ(b.capacity(), 5000);
    EXPECT_EQ(b.size(), 4);
    EXPECT_EQ(std::memcmp(b.data(), "slot", 4), 0);
    const unsigned char* block = b.data();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(b.Append(nullptr, 1000));
    EXPECT_EQ(b.data(), block) << "no append within the room moves or shrinks the block";
    EXPECT_EQ(b.size(), 4004);
    EXPECT_TRUE(b.Reserve(100)) << "room enough already";
    EXPECT_EQ(b.capacity(), 5000);
    {
        SmallHeap small;
        EXPECT_FALSE(b.Reserve(9000));
    }
    EXPECT_EQ(b.capacity(), 5000);
    EXPECT_EQ(std::memcmp(b.data(), "slot", 4), 0);
    ASSERT_TRUE(b.Append(nullptr, 2000)) << "past the room: growth as before";
    EXPECT_EQ(b.capacity(), 6004 + ByteBuffer::kHeapSpare);
}

// A read straight into the reserved room, then the heap block handed over as it is.
TEST(ByteBuffer, CommittedRoomAndADetachedHeapBlock) {
    auto pool = std::make_unique<SmallBlockPool>(true);
    ByteBuffer b(*pool);
    ASSERT_TRUE(b.Append("slot", 4));
    EXPECT_EQ(b.Detach(), nullptr) << "a pool slot stays with its buffer";
    EXPECT_EQ(b.size(), 4);
    ASSERT_TRUE(b.Reserve(1000));  // past a slot: a heap block
    std::memcpy(b.data() + 4, "read", 4);
    EXPECT_TRUE(b.Commit(4));
    EXPECT_FALSE(b.Commit(993)) << "past the room";
    EXPECT_EQ(b.size(), 8);
    unsigned char* block = b.Detach();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, "slotread", 8), 0);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.capacity(), 0);
    rt::RuntimeHeapFree(block);
}

TEST(ByteBuffer, ABlockTheHeapCannotSupplyLeavesTheBufferAsItWas) {
    auto pool = std::make_unique<SmallBlockPool>(true);
    ByteBuffer slot(*pool), heap(*pool), fresh(*pool);
    ASSERT_TRUE(slot.Append("pool", 4));
    ASSERT_TRUE(heap.Append(nullptr, 600));
    ASSERT_FALSE(heap.inPool());
    std::memcpy(heap.data(), "heap", 4);
    SmallHeap small;

    EXPECT_FALSE(slot.Append(nullptr, 1000)) << "from a slot to the heap";
    EXPECT_TRUE(slot.inPool());
    EXPECT_EQ(slot.size(), 4);
    EXPECT_EQ(std::memcmp(slot.data(), "pool", 4), 0);

    EXPECT_FALSE(heap.Append(nullptr, 400)) << "a heap block that would have to grow";
    EXPECT_EQ(heap.size(), 600);
    EXPECT_EQ(heap.capacity(), 728);
    EXPECT_EQ(std::memcmp(heap.data(), "heap", 4), 0);
    EXPECT_TRUE(heap.Append("+", 1)) << "growth within the spare bytes needs no heap";

    EXPECT_EQ(fresh.Allocate(2000), nullptr);
    EXPECT_EQ(fresh.data(), nullptr);
    EXPECT_EQ(fresh.size(), 0);
    EXPECT_EQ(fresh.capacity(), 0);
    EXPECT_EQ(pool->usedCount(), 1) << "only the first buffer's slot is taken";
}

}  // namespace
