// The Linux stand-in's reading of a response head: lines as libcurl hands them over (cut at each
// LF here), status lines, headers, Location and Content-Length values; then the same bytes read
// as a whole response and as a chunked body.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    plat::posix::ResponseHead head;
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t at = 0;
    while (at < size) {
        const void* lf = std::memchr(text + at, '\n', size - at);
        const std::size_t end =
            lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - text) + 1 : size;
        plat::posix::TakeHeadLine(head, text + at, end - at);
        at = end;
        if (head.status < 0 || head.status > 999) std::abort();
        if (head.complete && head.status < 200) std::abort();
        for (const std::string* value : {&head.location, &head.contentLength}) {
            if (value->find_first_of("\r\n") != std::string::npos) std::abort();
            if (!value->empty() && (value->front() == ' ' || value->back() == ' ')) std::abort();
        }
        if (!head.hasLocation && !head.location.empty()) std::abort();
    }
    // The same bytes as a whole response, and as a chunked body: neither gives more body bytes
    // than it was given, and a chunked body that ended stays ended.
    plat::posix::RawResponse response;
    plat::posix::Dechunker chunks;
    std::string body, unchunked;
    response.Take(text, size, body);
    const bool ok = chunks.Take(text, size, unchunked);
    if (body.size() > size || unchunked.size() > size) std::abort();
    if (chunks.Done() && (!ok || !chunks.Take(text, size, unchunked))) std::abort();
    return 0;
}
