// Memory services against the constant pool, and the fatal error box text.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/context.h"
#include "runtime/errors.h"

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

TEST_F(ConstantPoolTest, ReallocResizesHeapBlocks) {
    auto* block = static_cast<char*>(SvcRealloc(nullptr, 4));
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(SvcRealloc(block, 4000));
    EXPECT_STREQ(block, "abc");
    SvcFree(block);
}

TEST(ConstantPool, NothingIsConstantWhileThePoolIsUnset) {
    EXPECT_FALSE(InConstantPool(kPool.text));
}

TEST(FatalErrorText, WithCodeWithoutCodeAndEmpty) {
    const std::string head = "\xD4\xCB\xD0\xD0\xCA\xB1\xB3\xF6\xB4\xED!\r\n\r\n";
    const std::string code = "\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB\xA3\xBA";
    const std::string text = "\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xBA";
    EXPECT_EQ(FatalErrorText(RuntimeErrorMessage(1), 1),
              head + code + "1\r\n\r\n" + text + RuntimeErrorMessage(1) + "\r\n");
    EXPECT_EQ(FatalErrorText("x", 0), head + text + "x\r\n");
    EXPECT_EQ(FatalErrorText("", 0), head);
    EXPECT_EQ(FatalErrorText(nullptr, -3), head + code + "-3\r\n\r\n");
}

TEST(FatalErrorText, ElevenMessagesAndNoOthers) {
    EXPECT_EQ(RuntimeErrorMessage(0), nullptr);
    EXPECT_EQ(RuntimeErrorMessage(12), nullptr);
    // 数组成员引用下标超出定义范围 / 所提供参数的数据类型不符合要求
    EXPECT_STREQ(RuntimeErrorMessage(1),
                 "\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xD2\xFD\xD3\xC3\xCF\xC2\xB1\xEA\xB3\xAC\xB3"
                 "\xF6\xB6\xA8\xD2\xE5\xB7\xB6\xCE\xA7");
    EXPECT_STREQ(RuntimeErrorMessage(11),
                 "\xCB\xF9\xCC\xE1\xB9\xA9\xB2\xCE\xCA\xFD\xB5\xC4\xCA\xFD\xBE\xDD\xC0\xE0\xD0"
                 "\xCD\xB2\xBB\xB7\xFB\xBA\xCF\xD2\xAA\xC7\xF3");
    for (int c = 1; c <= 11; ++c) EXPECT_NE(RuntimeErrorMessage(c), nullptr) << c;
}

namespace hooks {
int opens = 0, closes = 0;
std::intptr_t OpenOk(ComponentHook*) { return ++opens; }
std::intptr_t OpenFails(ComponentHook*) { ++opens; return 0; }
void* Find(const char* name) { return std::strcmp(name, "play") == 0 ? &opens : nullptr; }
void Close(ComponentHook*) { ++closes; }
}  // namespace hooks

TEST(ComponentHooks, OpenedOnceClosedWhenReplacedAndEmptyWhenOpenFails) {
    using namespace hooks;
    SetComponentHook(1, OpenOk, Find, Close);
    EXPECT_EQ(LookupComponent(1, "play"), &opens);
    EXPECT_EQ(LookupComponent(1, "stop"), nullptr);
    EXPECT_EQ(opens, 1) << "the open function runs on the first lookup only";
    SetComponentHook(1, OpenFails, Find, Close);
    EXPECT_EQ(closes, 1) << "the opened slot was closed first";
    EXPECT_EQ(LookupComponent(1, "play"), nullptr);
    EXPECT_EQ(LookupComponent(1, "play"), nullptr);
    EXPECT_EQ(opens, 2);
    SetComponentHook(1, nullptr, Find, Close);  // a null open function clears the slot
    EXPECT_EQ(LookupComponent(1, "play"), nullptr);
    EXPECT_EQ(closes, 1) << "a slot whose open failed has no close routine left";
}

TEST(SplitExecutablePath, DirectoryAndFileName) {
    std::string dir, file;
    SplitExecutablePath("C:\\tools\\mon.exe", &dir, &file);
    EXPECT_EQ(dir, "C:\\tools");
    EXPECT_EQ(file, "mon.exe");
    SplitExecutablePath("C:\\mon.exe", &dir, &file);
    EXPECT_EQ(dir, "C:");
    SplitExecutablePath("mon.exe", &dir, &file);
    EXPECT_EQ(dir, "");
    EXPECT_EQ(file, "mon.exe");
}

}  // namespace
