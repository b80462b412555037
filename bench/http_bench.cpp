// One process, one measurement, for bench/run.sh (which compares them):
//
//   http_bench read  URL_LIST N   N sequential HttpReadFile calls over the list; prints seconds
//   http_bench curl  URL_LIST N   the plain libcurl loop doing the same work; prints seconds
//   http_bench body  URL          one HttpReadFile of URL; prints the body's size and seconds
//   http_bench curlbody URL       the plain loop's fetch of URL; prints the same
//   http_bench cookies N          N HttpReadFile calls of a page on the test server
//                                 (tests/fixtures/servers.py) that sets 60 new cookies each
//                                 time; prints the medians of the first and the last hundred
//                                 fetches' times in ms
//
// The plain loop: a fresh connection and an HTTP/1.0 GET per address, body kept in memory and
// copied into a text up to its first zero.
// Every mode ends its line with the process's peak resident size in kB (VmHWM): a child's own
// figure, which its parent's size cannot inflate as the rusage maximum can.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "libs/internet/internet_library.h"
#include "runtime/errors.h"
#include "runtime/registry.h"

namespace {

std::vector<std::string> Lines(const char* path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::int64_t ReadOnce(const std::string& url) {
    rt::ArgInfo args[1] = {rt::TextArg(url.c_str())};
    rt::ArgInfo result{};
    inet::HttpReadFile(&result, 1, args);
    void* bin = rt::ArgPtr<void>(result);
    std::int64_t n = rt::BinLength(bin);
    rt::SvcFree(bin);
    return n;
}

std::size_t Keep(char* data, std::size_t size, std::size_t n, void* body) {
    static_cast<std::string*>(body)->append(data, size * n);
    return size * n;
}

std::int64_t CurlOnce(const std::string& url) {
    std::string body;
    CURL* e = curl_easy_init();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Keep);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &body);
    curl_easy_perform(e);
    curl_easy_cleanup(e);
    // The least that a verdict needs, as webmon's worker has it: the body as a text, up to its
    // first zero byte.
    const std::string text(body.c_str());
    return static_cast<std::int64_t>(text.size() == body.size() ? text.size() : body.size());
}

long PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

double MedianMs(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// A site that sets 60 new cookies on every visit: the time per fetch stays flat only while the
// cookies kept for it stay bounded.
int Cookies(int n) {
    const char* server = std::getenv("WEBMON_HTTP");
    if (!server || n < 200) return 2;
    std::vector<double> ms;
    for (int visit = 0; visit < n; ++visit) {
        const std::string url =
            std::string("http://") + server + "/cookie-flood?n=60&visit=" + std::to_string(visit);
        const auto start = std::chrono::steady_clock::now();
        ReadOnce(url);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::printf("%.3f %.3f %ld\n", MedianMs({ms.begin(), ms.begin() + 100}),
                MedianMs({ms.end() - 100, ms.end()}), PeakResidentKb());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    inet::kInternetLibrary.notify(rt::kLibStart,
                                  reinterpret_cast<std::uintptr_t>(&rt::NotifySystem), 0);
    const std::string mode = argv[1];
    if (mode == "cookies") return Cookies(std::atoi(argv[2]));
    if (mode == "body" || mode == "curlbody") {
        const auto start = std::chrono::steady_clock::now();
        const std::int64_t n = mode == "body" ? ReadOnce(argv[2]) : CurlOnce(argv[2]);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%lld %.6f %ld\n", static_cast<long long>(n), seconds, PeakResidentKb());
        return 0;
    }
    const std::vector<std::string> urls = Lines(argv[2]);
    const int n = argc > 3 ? std::atoi(argv[3]) : static_cast<int>(urls.size());
    std::int64_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        const std::string& url = urls[static_cast<std::size_t>(i) % urls.size()];
        bytes += mode == "read" ? ReadOnce(url) : CurlOnce(url);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f %lld %ld\n", seconds, static_cast<long long>(bytes), PeakResidentKb());
    return 0;
}
