// The fixtures of the tests that fetch through the internet library against real servers on
// 127.0.0.1 (tests/fixtures/servers.py): its own tests, and the platform's phase, cookie and
// transfer tests, which reach the platform through it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "libs/internet/internet_library.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "support/fixture_servers.h"
#include "support/platform_facts.h"

namespace internet_fixture {

using namespace rt;

using testing_support::Env;
using testing_support::Http;
using testing_support::Pattern;
#ifndef _WIN32
inline std::string Https(const std::string& path) {
    return "https://" + Env("WEBMON_HTTPS") + path;
}

inline void SetEnv(const char* name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
}
#endif

class Internet : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inet::kInternetLibrary.notify(kLibStart, reinterpret_cast<std::uintptr_t>(&NotifySystem),
                                      0);
    }
    void SetUp() override {
        ASSERT_FALSE(Env("WEBMON_HTTP").empty()) << "run under tests/fixtures/servers.py";
    }

    // HttpReadFile as program code calls it; "<empty>" for the empty byte set.
    static std::string Read(const char* address, int count = 1) {
        ArgInfo args[3] = {TextArg(address), IntArg(5), TextArg("ignored")};
        ArgInfo result{};
        inet::HttpReadFile(&result, count, args);
        void* bin = ArgPtr<void>(result);
        if (!bin) return "<empty>";
        std::string body(reinterpret_cast<const char*>(BinBytes(bin)),
                         static_cast<std::size_t>(BinLength(bin)));
        SvcFree(bin);
        return body;
    }
    static std::string Read(const std::string& address) { return Read(address.c_str()); }

    // A fetch's result and body, read into a byte set as HttpReadFile reads it, so that every
    // limit is tested as the program meets it.
    static bool Fetch(const std::string& address, std::string* body,
                      inet::HttpSession& session = inet::State().http) {
        rt::BinBuilder builder(inet::Pool());
        const bool ok = session.Fetch(address.c_str(), builder);
        *body = Taken(builder);
        return ok;
    }
    // The builder's bytes, its byte set freed.
    static std::string Taken(rt::BinBuilder& builder) {
        void* bin = builder.Finish();
        std::string bytes(reinterpret_cast<const char*>(BinBytes(bin)),
                          static_cast<std::size_t>(BinLength(bin)));
        SvcFree(bin);
        return bytes;
    }
};

inline std::string Elapsed(std::chrono::steady_clock::time_point start) {
    return std::to_string(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

inline double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A session opened afresh with shorter limits, back to the usual ones after each test.
class Limited : public Internet {
protected:
    void TearDown() override { Use(inet::Limits{}); }
    // The time-outs apply to the session opened next: the one open now is closed first.
    void Use(const inet::Limits& limits) {
        inet::State().http.Close();
        inet::State().http.SetLimits(limits);
        start_ = std::chrono::steady_clock::now();
    }
    std::chrono::steady_clock::time_point start_;
};

// Servers that never stop, against a deadline of 2 s and a body limit of 1 MiB.
class Bounded : public Limited {
protected:
    void SetUp() override {
        Limited::SetUp();
        inet::Limits quick;
        quick.deadlineMs = 2000;
        quick.bodyBytes = kLimit;
        Use(quick);
    }
    void ExpectEndedByTheDeadline() {
        EXPECT_GT(Seconds(start_), 1.5) << Elapsed(start_);
        EXPECT_LT(Seconds(start_), 4.5) << Elapsed(start_);
    }
    // Less than a second of CPU (a spin over a two-second fetch takes two). Linux only: the
    // Windows C runtime's clock counts wall time.
    static void ExpectLittleCpuSince(std::clock_t cpu) {
#ifndef _WIN32
        EXPECT_LT(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 1.0) << "CPU seconds";
#else
        (void)cpu;
#endif
    }
    static constexpr int kLimit = 1 << 20;
};

// The receive time-out counts silence, not the time a read takes: 1 s here.
class SlowPages : public Limited {
protected:
    void SetUp() override {
        Limited::SetUp();
        inet::Limits quick;
        quick.receiveMs = 1000;
        Use(quick);
    }
};

}  // namespace internet_fixture
