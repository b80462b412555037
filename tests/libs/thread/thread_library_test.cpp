// StartThread and the thread library's notify function.
#include <gtest/gtest.h>

#include <atomic>

#include "libs/thread/thread_library.h"
#include "platform/platform.h"

namespace {

using namespace rt;

std::atomic<std::uintptr_t> g_seen{999};
std::atomic<int> g_runs{0};

std::uint32_t Record(std::uintptr_t parameter) {
    g_seen.store(parameter);
    g_runs.fetch_add(1);
    return 0;
}

// True once n routines have run; false when they have not within five seconds.
bool WaitForRuns(int n) {
    for (int i = 0; i < 500 && g_runs.load() < n; ++i) plat::Sleep(10);
    return g_runs.load() >= n;
}

ArgInfo Start(std::int32_t count, ArgInfo a2 = NoArg(), ArgInfo a3 = NoArg()) {
    ArgInfo args[3] = {PtrArg(kTagSubroutine, reinterpret_cast<const void*>(&Record)), a2, a3};
    ArgInfo result{};
    threadlib::StartThread(&result, count, args);
    return result;
}

TEST(StartThread, WithoutParameterTheRoutineGetsZero) {
    g_runs = 0;
    EXPECT_EQ(ArgInt(Start(1)), 1);
    ASSERT_TRUE(WaitForRuns(1));
    EXPECT_EQ(g_seen.load(), 0u);
    EXPECT_EQ(ArgInt(Start(3)), 1);  // arguments 2 and 3 omitted
    ASSERT_TRUE(WaitForRuns(2));
    EXPECT_EQ(g_seen.load(), 0u);
}

TEST(StartThread, AParameterReachesTheRoutine) {
    g_runs = 0;
    EXPECT_EQ(ArgInt(Start(2, IntArg(1234))), 1);
    ASSERT_TRUE(WaitForRuns(1));
    EXPECT_EQ(g_seen.load(), 1234u);
    EXPECT_EQ(ArgInt(Start(1, IntArg(77))), 1);  // a count of 1 ignores argument 2
    ASSERT_TRUE(WaitForRuns(2));
    EXPECT_EQ(g_seen.load(), 0u);
}

TEST(StartThread, TheHandleVariableGetsAHandleTheCallerCanWaitOn) {
    g_runs = 0;
    std::uintptr_t handle = 0;
    EXPECT_EQ(ArgInt(Start(3, NoArg(), PtrArg(kTagInt, &handle))), 1);
    ASSERT_NE(handle, 0u);
    EXPECT_TRUE(plat::WaitThread(reinterpret_cast<plat::ThreadHandle>(handle), 5000));
    plat::CloseThreadHandle(reinterpret_cast<plat::ThreadHandle>(handle));
}

TEST(StartThread, NoRoutineStartsNothing) {
    ArgInfo args[3] = {MakeArg(kTagSubroutine, 0), NoArg(), IntArg(0)};
    std::uintptr_t handle = 5;
    args[2] = PtrArg(kTagInt, &handle);
    ArgInfo result{};
    threadlib::StartThread(&result, 3, args);
    EXPECT_EQ(ArgInt(result), 0);
    EXPECT_EQ(handle, 0u);
}

TEST(ThreadNotify, EndReleasesTheCriticalSectionsAndUnknownMessagesAnswerMinusOne) {
    EXPECT_EQ(threadlib::Notify(kLibEnd, 0, 0), 0);
    EXPECT_EQ(threadlib::CriticalSectionCount(), 0);
    threadlib::AddCriticalSection();
    threadlib::AddCriticalSection();
    EXPECT_EQ(threadlib::CriticalSectionCount(), 2);
    EXPECT_EQ(threadlib::Notify(kLibEnd, 0, 0), 0);
    EXPECT_EQ(threadlib::CriticalSectionCount(), 0);
    EXPECT_EQ(threadlib::Notify(2, 0, 0), -1);
    EXPECT_EQ(threadlib::Notify(kLibStart, 0, 0), 0);
}

}  // namespace
