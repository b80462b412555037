// Value operations: comparing, joining, counting, converting, and the argument record layout.
#include <gtest/gtest.h>

#include <cfenv>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/errors.h"
#include "runtime/value.h"

namespace {

using namespace rt;

TEST(Values, ArgInfoIsTwelveBytesAndHoldsAnAddressWhole) {
    EXPECT_EQ(sizeof(ArgInfo), 12u);
    static char target;
    ArgInfo args[2] = {TextArg(&target), IntArg(-5)};  // adjacent: misaligned on 64-bit
    EXPECT_EQ(ArgPtr<char>(args[0]), &target);
    EXPECT_EQ(ArgInt(args[1]), -5);
    EXPECT_EQ(ArgBits(args[1]) >> 32, 0u) << "a 32-bit value leaves the high word zero";
    EXPECT_EQ(args[1].tag, kTagInt);
}

TEST(Values, CompareTextsTreatsNullAsEmptyAndComparesUnsignedBytes) {
    EXPECT_EQ(CompareTexts(nullptr, ""), 0);
    EXPECT_EQ(CompareTexts("", nullptr), 0);
    EXPECT_EQ(CompareTexts(nullptr, nullptr), 0);
    EXPECT_EQ(CompareTexts("a", nullptr), 1);
    EXPECT_EQ(CompareTexts(nullptr, "a"), -1);
    EXPECT_EQ(CompareTexts("ab", "abc"), -1);
    EXPECT_EQ(CompareTexts("abc", "ab"), 1);
    EXPECT_EQ(CompareTexts("\xB0\xA1", "z"), 1);  // a GBK lead byte is above every ASCII byte
    EXPECT_EQ(CompareTexts("same", "same"), 0);
    EXPECT_EQ(CompareTexts("a", "zz"), -1) << "only the sign, never the difference";
}

TEST(Values, ConcatTextsAlwaysReturnsOneFreshBlock) {
    TextValue empty = Concat("", nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    SvcFree(empty);
    TextValue joined = Concat("Success", nullptr, "http://x/", "\r\n");
    EXPECT_STREQ(joined, "Successhttp://x/\r\n");
    SvcFree(joined);
    const char* many[10] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    TextValue ten = ConcatTexts(10, many);  // more parts than the stack list holds
    EXPECT_STREQ(ten, "0123456789");
    SvcFree(ten);
}

TEST(Values, ArrayElementCountMultipliesSizes) {
    std::int32_t twoByThree[] = {2, 2, 3};
    EXPECT_EQ(ArrayElementCount(twoByThree), 6);
    std::int32_t emptyOne[] = {1, 0};
    EXPECT_EQ(ArrayElementCount(emptyOne), 0);
    std::int32_t noDims[] = {0};
    EXPECT_EQ(ArrayElementCount(noDims), 0);
    EXPECT_EQ(ArrayElements(nullptr).count, 0);
    ElementSpan span = ArrayElements(twoByThree);
    EXPECT_EQ(span.first, reinterpret_cast<unsigned char*>(twoByThree) + 12);
}

TEST(Values, TypeTagWidths) {
    EXPECT_EQ(TypeTagWidth(kTagText), 0);
    EXPECT_EQ(TypeTagWidth(kTagByte), 1);
    EXPECT_EQ(TypeTagWidth(kTagShort), 2);
    EXPECT_EQ(TypeTagWidth(kTagInt), 4);
    EXPECT_EQ(TypeTagWidth(kTagFloat), 4);
    EXPECT_EQ(TypeTagWidth(kTagLong), 8);
    EXPECT_EQ(TypeTagWidth(kTagDouble), 8);
    EXPECT_EQ(TypeTagWidth(kTagDateTime), 0);
    EXPECT_EQ(TypeTagWidth(kTagInt | kArrayFlag), 0);
}

TEST(Values, TruncateToInt64RoundsTowardZeroInAnyRoundingMode) {
    const int saved = std::fegetround();
    for (int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD}) {
        std::fesetround(mode);
        EXPECT_EQ(TruncateToInt64(2.7), 2);
        EXPECT_EQ(TruncateToInt64(-2.7), -2);
        EXPECT_EQ(std::fegetround(), mode) << "the caller's mode is restored";
    }
    std::fesetround(saved);
    EXPECT_EQ(TruncateToInt64(3000000000.0), 3000000000LL);
    // Out of range and NaN do not invoke undefined behaviour; their low word is 0.
    EXPECT_EQ(static_cast<std::uint32_t>(TruncateToInt64(1e300)), 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(TruncateToInt64(std::nan(""))), 0u);
}

TEST(Values, ParseInt32ReadsTheLeadingNumberInThirtyTwoBitsOnEveryBuild) {
    EXPECT_EQ(ParseInt32(" \t\n\v\f\r-42x"), -42);
    EXPECT_EQ(ParseInt32("+0017"), 17);
    EXPECT_EQ(ParseInt32("9999999999999999999999"), INT32_MAX);  // no 64-bit long leaks in
    EXPECT_EQ(ParseInt32("-2147483649"), INT32_MIN);
    EXPECT_EQ(ParseInt32("0x10"), 0);
    EXPECT_EQ(ParseInt32(""), 0);
    EXPECT_EQ(ParseInt32("+-1"), 0);
}

TEST(Values, ConstructorsGiveNullForEmptyAndTheLayoutOtherwise) {
    EXPECT_EQ(NewText("abc", 0), nullptr);
    EXPECT_EQ(CopyText(""), nullptr);
    EXPECT_EQ(CopyText(nullptr), nullptr);
    EXPECT_EQ(NewBin("x", 0), nullptr);
    BinValue bin = NewBin("a\0b", 3);
    EXPECT_EQ(ReadInt32(bin), 1);
    EXPECT_EQ(BinLength(bin), 3);
    EXPECT_EQ(std::memcmp(BinBytes(bin), "a\0b", 3), 0);
    SvcFree(bin);
}

// A byte set is written in place: a small one leaves its pool slot as a copy, a large one's
// block becomes the value itself, and bytes past the room are never counted.
TEST(BinBuilder, BytesStayWhereTheyAreWrittenAndNeverPastTheRoom) {
    SmallBlockPool pool(true);
    BinBuilder empty(pool);
    ASSERT_TRUE(empty.Restart());
    EXPECT_EQ(empty.Finish(), nullptr);
    EXPECT_EQ(pool.usedCount(), 0);

    BinBuilder small(pool);
    ASSERT_TRUE(small.Restart());
    EXPECT_EQ(small.capacity(), SmallBlockPool::kSlotSize - kBinHeader);
    std::memcpy(small.end(), "abc", 3);
    ASSERT_TRUE(small.Commit(3));
    BinValue three = small.Finish();
    EXPECT_FALSE(pool.Owns(three));
    EXPECT_EQ(pool.usedCount(), 0) << "the slot is back";
    EXPECT_EQ(BinLength(three), 3);
    EXPECT_EQ(std::memcmp(BinBytes(three), "abc", 3), 0);
    SvcFree(three);

    BinBuilder large(pool);
    ASSERT_TRUE(large.Reserve(100000));
    const unsigned char* first = large.end();
    std::memset(large.end(), 'x', 100000);
    ASSERT_TRUE(large.Commit(100000));
    EXPECT_EQ(large.size(), 100000);
    BinValue bin = large.Finish();
    EXPECT_EQ(BinBytes(bin), first) << "not copied out";
    EXPECT_EQ(ReadInt32(bin), 1);
    EXPECT_EQ(BinLength(bin), 100000);
    EXPECT_EQ(large.size(), 0);
    SvcFree(bin);

    BinBuilder full(pool);
    ASSERT_TRUE(full.Reserve(600));
    const std::int32_t room = full.capacity();
#if WEBMON_CHECKS
    EXPECT_DEATH((void)full.Commit(room + 1), "invariant broken");
#else
    EXPECT_FALSE(full.Commit(room + 1));
#endif
    EXPECT_EQ(full.size(), 0);
}

std::vector<void*> g_released;
void Released(void* block) { g_released.push_back(block); }

TEST(Values, FreeArrayFreesTheElementsOfTextsAndByteSetsThenTheArray) {
    const HeapSeam seam{nullptr, Released};
    g_released.clear();
    SetHeapSeam(&seam);
    FreeArray(kTagText | kArrayFlag, nullptr);
    EXPECT_TRUE(g_released.empty()) << "a null array frees nothing";

    auto* texts = static_cast<unsigned char*>(SvcAlloc(8 + 3 * static_cast<int>(kWord)));
    WriteInt32(texts, 1);
    WriteInt32(texts + 4, 3);
    TextValue one = CopyText("one"), two = CopyText("two");
    WriteWord(texts + 8, reinterpret_cast<std::uintptr_t>(one));
    WriteWord(texts + 8 + kWord, 0);  // a null element is skipped
    WriteWord(texts + 8 + 2 * kWord, reinterpret_cast<std::uintptr_t>(two));
    FreeArray(kTagText | kArrayFlag, texts);
    EXPECT_EQ(g_released, (std::vector<void*>{one, two, texts}));

    g_released.clear();
    auto* bins = static_cast<unsigned char*>(SvcAlloc(8 + static_cast<int>(kWord)));
    WriteInt32(bins, 1);
    WriteInt32(bins + 4, 1);
    BinValue bin = NewBin("b", 1);
    WriteWord(bins + 8, reinterpret_cast<std::uintptr_t>(bin));
    FreeArray(kTagBin | kArrayFlag, bins);
    EXPECT_EQ(g_released, (std::vector<void*>{bin, bins}));

    g_released.clear();
    std::int32_t* numbers = static_cast<std::int32_t*>(SvcAlloc(16));
    numbers[0] = 1;
    numbers[1] = 2;
    numbers[2] = 7;  // int elements are no addresses: only the array goes
    numbers[3] = 8;
    FreeArray(kTagInt | kArrayFlag, numbers);
    EXPECT_EQ(g_released, (std::vector<void*>{numbers}));
    SetHeapSeam(nullptr);
}

}  // namespace

namespace {

TEST(ArrayBlockSize, CountsPastASigned32BitSizeNeverWrap) {
    std::int32_t bytes = -1;
    ASSERT_TRUE(rt::ArrayBlockSize(0, &bytes));
    EXPECT_EQ(bytes, 8);
    ASSERT_TRUE(rt::ArrayBlockSize(3, &bytes));
    EXPECT_EQ(bytes, static_cast<std::int32_t>(3 * rt::kWord + 8));
    const std::size_t most = (static_cast<std::size_t>(INT32_MAX) - 8) / rt::kWord;
    ASSERT_TRUE(rt::ArrayBlockSize(most, &bytes));
    EXPECT_GT(bytes, INT32_MAX - static_cast<std::int32_t>(rt::kWord));
    EXPECT_FALSE(rt::ArrayBlockSize(most + 1, &bytes));
    // 2^29 lines: 4 * 2^29 + 8 wrapped to 8 in 32-bit arithmetic.
    EXPECT_FALSE(rt::ArrayBlockSize(std::size_t{1} << 29, &bytes));
}

TEST(TextBlockSize, TheLongestTextLeavesRoomForItsTerminator) {
    std::int32_t bytes = -1;
    ASSERT_TRUE(rt::TextBlockSize(0, &bytes));
    EXPECT_EQ(bytes, 1);
    ASSERT_TRUE(rt::TextBlockSize(INT32_MAX - 1, &bytes));
    EXPECT_EQ(bytes, INT32_MAX);
    EXPECT_FALSE(rt::TextBlockSize(INT32_MAX, &bytes));
    EXPECT_FALSE(rt::TextBlockSize(std::uint64_t{1} << 32, &bytes));  // wraps to 1 in 32 bits
}

}  // namespace
