// What the two platforms' child starts share: temporary folders, files, the watch on output.
#include "support/child.h"

#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

std::string MakeTempDir() {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    static std::mt19937_64 rng(std::random_device{}() ^
                               static_cast<unsigned long long>(
                                   std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::path dir = fs::temp_directory_path() / ("webmon-test-" + std::to_string(rng()));
    fs::create_directories(dir);
    return dir.string();
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace detail {
// True when entry ("NAME=value") names a variable that one of the extra entries sets.
bool Overridden(const std::string& entry, const std::vector<std::string>& extra) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (const std::string& e : extra) {
        if (e.compare(0, name.size(), name) == 0) return true;
    }
    return false;
}

void ReadOutput(const OutputReader& how, const std::string& outPath,
                std::chrono::steady_clock::time_point start, const std::atomic<bool>& ended,
                const ReadCall& read, ChildResult* result) {
    const auto since = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::ofstream to(outPath, std::ios::binary);
    std::vector<char> piece(how.piece > 0 ? how.piece : 1 << 16);
    std::string seen;  // what came, while leavesOnceSeen is looked for
    int count = 0;
    while (since() < how.leavesAfter) {
        if (since() >= how.stopsAfter) {
            if (ended.load()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const long n = read(piece.data(), piece.size());
        if (n <= 0) return;  // the child and all its threads have ended
        to.write(piece.data(), n);
        to.flush();
        result->lastReadAt = since();
        if (!how.leavesOnceSeen.empty()) {
            seen.append(piece.data(), static_cast<std::size_t>(n));
            for (std::size_t at; (at = seen.find(how.leavesOnceSeen)) != std::string::npos;) {
                seen.erase(0, at + how.leavesOnceSeen.size());
                ++count;
            }
            if (count >= how.leavesOnceCount) break;
            if (seen.size() > how.leavesOnceSeen.size())
                seen.erase(0, seen.size() - how.leavesOnceSeen.size());
        }
        if (how.every > 0) std::this_thread::sleep_for(std::chrono::duration<double>(how.every));
    }
    result->leftAt = since();
}

bool Watch(const std::string& outPath, const ChildOptions& options, double secondsSinceStart,
           ChildResult* result) {
    if (options.watch.empty()) return false;
    result->seenAt.resize(options.watch.size(), -1);
    bool all = true;
    std::string out;
    for (std::size_t i = 0; i < options.watch.size(); ++i) {
        if (result->seenAt[i] >= 0) continue;
        if (out.empty()) out = ReadFile(outPath);
        if (out.find(options.watch[i]) != std::string::npos) {
            result->seenAt[i] = secondsSinceStart;
        } else {
            all = false;
        }
    }
    return all;
}
}  // namespace detail

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options) {
    ChildResult result;
    const std::string dir = MakeTempDir();
    const detail::ChildFiles files{dir + "/in", dir + "/out", dir + "/err"};
    WriteFile(files.in, options.input);
    const auto start = std::chrono::steady_clock::now();
    detail::Run(program, args, options, files, start, &result);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A text written just before the end, after the last look while it ran, was there by then.
    detail::Watch(files.out, options, result.seconds, &result);
    result.out = ReadFile(files.out);
    result.err = ReadFile(files.err);
    RemoveTree(dir);
    return result;
}

}  // namespace testing_support
