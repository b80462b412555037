// The memory services against the constant pool.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "runtime/context.h"
#include "runtime/memory.h"

namespace {

using namespace rt;

struct Pool {
    char text[5] = {'h', 'e', 'l', 'l', 'o'};  // the last 5 bytes of the pool, no terminator
};
alignas(8) const Pool kPool{};

class ConstantPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        RuntimeContext& ctx = Context();
        ctx.poolStart.store(reinterpret_cast<const unsigned char*>(&kPool));
        ctx.poolEnd.store(reinterpret_cast<const unsigned char*>(&kPool) + sizeof kPool);
    }
    void TearDown() override {
        Context().poolStart.store(nullptr);
        Context().poolEnd.store(nullptr);
    }
};

TEST_F(ConstantPoolTest, FreeIgnoresConstantsAndNull) {
    SvcFree(const_cast<char*>(kPool.text));  // would crash the heap if passed on
    SvcFree(nullptr);
    EXPECT_EQ(std::memcmp(kPool.text, "hello", 5), 0);
}

TEST_F(ConstantPoolTest, ReallocCopiesAConstantWithoutReadingPastThePool) {
    auto* grown = static_cast<char*>(SvcRealloc(const_cast<char*>(kPool.text), 100));
    ASSERT_NE(grown, kPool.text);
    EXPECT_EQ(std::memcmp(grown, "hello", 5), 0);  // the address sanitizer checks the bound
    EXPECT_FALSE(InConstantPool(grown));
    SvcFree(grown);
}

TEST_F(ConstantPoolTest, ReallocToLessThanAConstantCopiesOnlyWhatFits) {
    auto* shrunk = static_cast<char*>(SvcRealloc(const_cast<char*>(kPool.text), 3));
    ASSERT_NE(shrunk, kPool.text);
    EXPECT_EQ(std::memcmp(shrunk, "hel", 3), 0);  // the address sanitizer checks the block's end
    SvcFree(shrunk);
}

TEST_F(ConstantPoolTest, ReallocResizesHeapBlocks) {
    auto* block = static_cast<char*>(SvcRealloc(nullptr, 4));
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(SvcRealloc(block, 4000));
    EXPECT_STREQ(block, "abc");
    SvcFree(block);
}

std::thread::id g_refusedThread;
bool RefuseLargeOnOneThread(std::size_t size) {
    return size >= 4096 && std::this_thread::get_id() == g_refusedThread;
}

// The full end (box and exit) of a new outside any scope is Lifecycle's test.
TEST(RecoverableAllocations, ANewThatFailsInsideAScopeThrowsOnThatThreadOnly) {
    HeapSeam seam{nullptr, nullptr};
    seam.refuseNew = RefuseLargeOnOneThread;
    g_refusedThread = std::this_thread::get_id();
    SetHeapSeam(&seam);
    {
        RecoverableAllocations recoverable;
        { RecoverableAllocations nested; }
        EXPECT_TRUE(RecoverableAllocations::Active()) << "the outer scope outlives a nested one";
        EXPECT_THROW(std::vector<char>(5000), std::bad_alloc);
        EXPECT_NO_THROW(std::vector<char>(100)) << "below what the seam refuses";
        bool inScope = true;
        std::thread([&] { inScope = RecoverableAllocations::Active(); }).join();
        EXPECT_FALSE(inScope) << "another thread is not in the scope";
    }
    EXPECT_FALSE(RecoverableAllocations::Active());
    SetHeapSeam(nullptr);
}

TEST(ConstantPool, NothingIsConstantWhileThePoolIsUnset) {
    EXPECT_FALSE(InConstantPool(kPool.text));
}

}  // namespace
