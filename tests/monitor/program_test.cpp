// The monitor's own small rules, in process.
#include <gtest/gtest.h>

#include <cstring>

#include "libs/internet/internet_library.h"
#include "libs/thread/thread_library.h"
#include "monitor/calls.h"
#include "monitor/program.h"

namespace {

TEST(PeriodToMilliseconds, ExactWhereItFitsAndHeldWhereItWouldWrap) {
    EXPECT_EQ(monitor::PeriodToMilliseconds(30), 30000);
    EXPECT_EQ(monitor::PeriodToMilliseconds(60), 60000);
    EXPECT_EQ(monitor::PeriodToMilliseconds(2147483), 2147483000);
    EXPECT_EQ(monitor::PeriodToMilliseconds(2147484), 2147483647);
    EXPECT_EQ(monitor::PeriodToMilliseconds(4294968), 2147483647);
    EXPECT_EQ(monitor::PeriodToMilliseconds(2147483647), 2147483647);
}

TEST(ConstantBlock, EmptyValuesAndTheHeaderDescribeIt) {
    EXPECT_STREQ(monitor::EmptyText(), "");
    std::int32_t bin[2];
    std::memcpy(bin, monitor::EmptyBin(), 8);
    EXPECT_EQ(bin[0], 1);
    EXPECT_EQ(bin[1], 0);
    const rt::ProgramHeader& h = monitor::kProgramHeader;
    EXPECT_EQ(h.programKind, 3);
    EXPECT_EQ(h.idBase, 0x0001001Eu);
    EXPECT_EQ(h.constantPoolStart, &monitor::kConstants);
    EXPECT_EQ(h.constantPoolSize, sizeof monitor::kConstants);
    EXPECT_EQ(h.libraryCount, 3);
    EXPECT_EQ(h.dllCommandCount, 0);
}

TEST(LibraryPositions, NameTheHeadersOwnList) {
    const rt::ProgramHeader& h = monitor::kProgramHeader;
    EXPECT_EQ(h.libraries[monitor::kCorePosition], &core::kCoreLibrary);
    EXPECT_EQ(h.libraries[monitor::kInternetPosition], &inet::kInternetLibrary);
    EXPECT_EQ(h.libraries[monitor::kThreadPosition], &threadlib::kThreadLibrary);
}

}  // namespace
