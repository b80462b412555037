// The plain way to fetch a list of addresses on Windows, beside which bench/wine_measure.py
// times webmon.exe: one synchronous WinINet session, a connection and an HTTP/1.0 GET per
// address, the body read in 10 KB blocks into a buffer that grows geometrically.
//
//   wininet_loop LISTFILE   fetches every line of LISTFILE once; prints the pages that had a
//                           body and the bytes read
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBlock = 10240;

// The body of url, appended to body; false when nothing could be read.
bool Fetch(HINTERNET session, const std::string& url, std::vector<char>& body) {
    char host[256] = "", path[2048] = "";
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &parts)) return false;
    HINTERNET connection =
        InternetConnectA(session, host, parts.nPort, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection) return false;
    HINTERNET request = HttpOpenRequestA(connection, "GET", path, "HTTP/1.0", nullptr, nullptr,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    bool ok = false;
    if (request && HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        DWORD got = 0;
        for (;;) {
            const std::size_t at = body.size();
            body.resize(at + kBlock);  // geometric growth: vector's own
            if (!InternetReadFile(request, body.data() + at, kBlock, &got)) got = 0;
            body.resize(at + got);
            if (got == 0) break;
            ok = true;
        }
    }
    if (request) InternetCloseHandle(request);
    InternetCloseHandle(connection);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wininet_loop LISTFILE\n");
        return 2;
    }
    std::ifstream list(argv[1]);
    HINTERNET session =
        InternetOpenA("wininet_loop", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!session) return 1;
    int pages = 0;
    long long bytes = 0;
    for (std::string url; std::getline(list, url);) {
        if (!url.empty() && url.back() == '\r') url.pop_back();
        if (url.empty()) continue;
        std::vector<char> body;
        if (Fetch(session, url, body)) ++pages;
        bytes += static_cast<long long>(body.size());
    }
    InternetCloseHandle(session);
    std::printf("%d %lld\n", pages, bytes);
    return 0;
}
