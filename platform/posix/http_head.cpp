// Reading a response head line by line.
#include "platform/posix/http_head.h"

#include <strings.h>

namespace plat::posix {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The value after a header's colon, blanks trimmed at both ends; CR and LF never stay inside.
std::string ValueOf(const std::string& line, std::size_t colon) {
    std::size_t begin = colon + 1;
    std::size_t end = line.size();
    while (begin < end && IsBlank(line[begin])) ++begin;
    while (end > begin && IsBlank(line[end - 1])) --end;
    std::string value;
    for (std::size_t i = begin; i < end; ++i) {
        if (line[i] != '\r' && line[i] != '\n') value += line[i];
    }
    return value;
}

// The status code after the status line's first space: up to three digits; 0 when none.
long StatusOf(const std::string& line, std::size_t space) {
    long status = 0;
    std::size_t i = space + 1;
    for (int digits = 0; i < line.size() && digits < 3; ++i, ++digits) {
        if (line[i] < '0' || line[i] > '9') break;
        status = status * 10 + (line[i] - '0');
    }
    return status;
}

}  // namespace

void TakeHeadLine(ResponseHead& head, const char* data, std::size_t n) {
    const std::string line(data, n);
    const std::size_t space = line.find(' ');
    const bool atStart = head.atResponseStart;
    head.atResponseStart = false;
    // Any letter case, as libcurl reads a status line.
    if (atStart && line.size() >= 5 && strncasecmp(line.c_str(), "HTTP/", 5) == 0 &&
        space != std::string::npos) {
        head = ResponseHead{};
        head.atResponseStart = false;
        head.status = StatusOf(line, space);
        return;
    }
    if (line == "\r\n" || line == "\n" || line.empty()) {
        if (head.status >= 200) {
            head.complete = true;
        } else {
            head.atResponseStart = true;  // an interim response ended: the next one begins
        }
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    const std::string name = line.substr(0, colon);
    if (strcasecmp(name.c_str(), "content-length") == 0 && name.size() == 14) {
        head.contentLength = ValueOf(line, colon);
        head.hasContentLength = true;
    } else if (strcasecmp(name.c_str(), "location") == 0 && name.size() == 8 &&
               !head.hasLocation) {  // the first one, as WinINet answers
        head.location = ValueOf(line, colon);
        head.hasLocation = true;
    }
}

}  // namespace plat::posix
