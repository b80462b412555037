// The runtime context's component hooks and the split of the executable's path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/context.h"

namespace {

using namespace rt;

namespace hooks {
int opens = 0, closes = 0;
std::intptr_t OpenOk(ComponentHook*) { return ++opens; }
std::intptr_t OpenFails(ComponentHook*) {
    ++opens;
    return 0;
}
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

TEST(ComponentHooks, ASlotNeverOpenedIsReplacedWithoutAClose) {
    using namespace hooks;
    SetComponentHook(2, nullptr, nullptr, nullptr);
    const int before = closes;
    SetComponentHook(2, OpenOk, Find, Close);
    SetComponentHook(2, OpenOk, Find, Close);  // nothing was opened: nothing to close
    EXPECT_EQ(closes, before);
    EXPECT_EQ(LookupComponent(2, "play"), &opens);
    SetComponentHook(2, nullptr, nullptr, nullptr);
    EXPECT_EQ(closes, before + 1) << "now it was open";
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
