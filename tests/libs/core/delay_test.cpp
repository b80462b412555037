// Delay: the wait command.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/libs/core/core_fixture.h"

namespace {

using namespace rt;
using core_test::Call;

TEST(Delay, NegativeAndZeroReturnAtOnceAndPositiveWaits) {
    auto elapsed = [](std::int32_t ms) {
        auto start = std::chrono::steady_clock::now();
        Call(core::Delay, {IntArg(ms)});
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    };
    EXPECT_LT(elapsed(-5), 100);
    EXPECT_LT(elapsed(0), 100);
    EXPECT_GE(elapsed(200), 190);
}

}  // namespace
