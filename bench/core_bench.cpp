// The core library's conversions and splitting beside the plain standard-library way of doing
// the same work. bench/run.sh prints the ratios.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "libs/core/core_library.h"
#include "runtime/errors.h"
#include "runtime/registry.h"

namespace {

using namespace rt;

// 100,000 lines of 100 bytes (with CR LF): 10 MB.
const std::string& TenMegabytes() {
    static const std::string text = [] {
        std::string t;
        t.reserve(10'000'000);
        for (int i = 0; i < 100000; ++i) {
            std::string line = "http://example.com/" + std::to_string(i) + "/";
            line.resize(98, 'x');
            t += line + "\r\n";
        }
        return t;
    }();
    return text;
}

void Start() {
    core::kCoreLibrary.notify(kLibStart, reinterpret_cast<std::uintptr_t>(&NotifySystem), 0);
}

void BM_SplitText(benchmark::State& state) {
    Start();
    const std::string& text = TenMegabytes();
    for (auto _ : state) {
        ArgInfo args[3] = {TextArg(text.c_str()), TextArg("\r\n"), NoArg()};
        ArgInfo result{};
        core::SplitText(&result, 3, args);
        void* array = ArgPtr<void>(result);
        benchmark::DoNotOptimize(array);
        FreeArray(kTagText, array);
    }
}
BENCHMARK(BM_SplitText)->Unit(benchmark::kMillisecond);

void BM_SplitStdString(benchmark::State& state) {
    const std::string& text = TenMegabytes();
    for (auto _ : state) {
        std::vector<std::string> pieces;
        std::string_view rest(text);
        for (auto at = rest.find("\r\n"); at != std::string_view::npos; at = rest.find("\r\n")) {
            pieces.emplace_back(rest.substr(0, at));
            rest.remove_prefix(at + 2);
        }
        if (!rest.empty()) pieces.emplace_back(rest);
        benchmark::DoNotOptimize(pieces.data());
    }
}
BENCHMARK(BM_SplitStdString)->Unit(benchmark::kMillisecond);

const char* const kNumbers[] = {"60", "  30",   "-12345", "2147483647", "42abc",
                                "0",  "999999", "-7",     "123456789",  "17"};

void BM_ToInteger(benchmark::State& state) {
    Start();
    for (auto _ : state) {
        for (const char* n : kNumbers) {
            ArgInfo args[1] = {TextArg(n)};
            ArgInfo result{};
            core::ToInteger(&result, 1, args);
            benchmark::DoNotOptimize(result);
        }
    }
}
BENCHMARK(BM_ToInteger);

void BM_Strtol(benchmark::State& state) {
    for (auto _ : state) {
        for (const char* n : kNumbers) benchmark::DoNotOptimize(std::strtol(n, nullptr, 10));
    }
}
BENCHMARK(BM_Strtol);

const std::int32_t kValues[] = {60, 30, -12345, 2147483647, 42, 0, 999999, -7, 123456789, 17};

void BM_ToText(benchmark::State& state) {
    Start();
    for (auto _ : state) {
        for (std::int32_t v : kValues) {
            ArgInfo args[1] = {IntArg(v)};
            ArgInfo result{};
            core::ToText(&result, 1, args);
            char* text = ArgPtr<char>(result);
            benchmark::DoNotOptimize(text);
            SvcFree(text);
        }
    }
}
BENCHMARK(BM_ToText);

void BM_ToCharsIntoHeap(benchmark::State& state) {
    for (auto _ : state) {
        for (std::int32_t v : kValues) {
            char digits[16];
            auto r = std::to_chars(digits, digits + sizeof digits, v);
            const std::size_t n = static_cast<std::size_t>(r.ptr - digits);
            auto* text = static_cast<char*>(std::malloc(n + 1));
            std::memcpy(text, digits, n);
            text[n] = '\0';
            benchmark::DoNotOptimize(text);
            std::free(text);
        }
    }
}
BENCHMARK(BM_ToCharsIntoHeap);

}  // namespace

BENCHMARK_MAIN();
