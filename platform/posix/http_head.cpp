// Reading a response head line by line, and its body's end.
#include "platform/posix/http_head.h"

#include <strings.h>

#include <algorithm>

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

// Adds the codings of one Transfer-Encoding value ("gzip, chunked") to the head's list.
void TakeCodings(ResponseHead& head, const std::string& value) {
    std::size_t at = 0;
    while (at <= value.size()) {
        std::size_t end = value.find(',', at);
        if (end == std::string::npos) end = value.size();
        std::size_t begin = at;
        std::size_t stop = std::min(end, value.find(';', at));  // parameters are no part of it
        while (begin < stop && IsBlank(value[begin])) ++begin;
        while (stop > begin && IsBlank(value[stop - 1])) --stop;
        if (stop > begin) {
            ++head.transferCodings;
            head.chunkedLast =
                stop - begin == 7 && strncasecmp(value.c_str() + begin, "chunked", 7) == 0;
        }
        at = end + 1;
    }
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
        const bool noStatusLine = head.noStatusLine;
        head = ResponseHead{};
        head.atResponseStart = false;
        head.noStatusLine = noStatusLine;
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
    if (atStart) head.noStatusLine = true;
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
    } else if (strcasecmp(name.c_str(), "transfer-encoding") == 0 && name.size() == 17) {
        TakeCodings(head, ValueOf(line, colon));
    }
}

Framing FramingOf(const ResponseHead& head, std::uint64_t* length) {
    if (head.status == 204 || head.status == 304) return Framing::None;
    // A transfer coding outranks a length; chunked ends the body only as the last coding.
    if (head.transferCodings > 0) return head.chunkedLast ? Framing::Chunked : Framing::ToClose;
    if (!head.hasContentLength) return Framing::ToClose;
    const std::string& text = head.contentLength;
    if (text.empty() || text.size() > 18) return Framing::Invalid;  // 18 digits stay below 2^63
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return Framing::Invalid;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    *length = value;
    return value == 0 ? Framing::None : Framing::Length;
}

// ---- Dechunker -------------------------------------------------------------------------------------

bool Dechunker::Take(const char* data, std::size_t n, std::string& out) {
    constexpr int kMostDigits = 16;
    constexpr std::uint64_t kLargest = 0x7FFFFFFFFFFFFFFFull;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = data[i];
        switch (state_) {
        case State::Size: {
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit >= 0) {
                if (++digits_ > kMostDigits) return state_ = State::Broken, false;
                left_ = left_ * 16 + static_cast<std::uint64_t>(digit);
                break;
            }
            if (digits_ == 0 || left_ > kLargest) return state_ = State::Broken, false;
            state_ = State::Extension;
            [[fallthrough]];
        }
        case State::Extension:
            if (c == '\n') state_ = left_ == 0 ? State::Trailer : State::Data;
            break;
        case State::Data: {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(left_, n - i));
            out.append(data + i, take);
            left_ -= take;
            i += take - 1;
            if (left_ == 0) state_ = State::DataEnd;
            break;
        }
        case State::DataEnd:
            if (c == '\n') {
                state_ = State::Size;
                digits_ = 0;
            } else if (c != '\r') {
                return state_ = State::Broken, false;
            }
            break;
        case State::Trailer:  // at a trailer line's start: an empty line ends the body
            if (c == '\n') return state_ = State::Done, true;
            if (c != '\r') state_ = State::TrailerLine;
            break;
        case State::TrailerLine:
            if (c == '\n') state_ = State::Trailer;
            break;
        case State::Done: return true;  // what follows is no part of this body
        case State::Broken: return false;
        }
    }
    return state_ != State::Broken;
}

// ---- RawResponse -----------------------------------------------------------------------------------

void RawResponse::Take(const char* data, std::size_t n, std::string& body) {
    std::size_t i = 0;
    while (state_ == State::Head && i < n) {
        const char c = data[i++];
        line_ += c;
        if (++headBytes_ > kHeadLimit) {
            state_ = State::Failed;
            return;
        }
        if (c != '\n') continue;
        TakeHeadLine(head_, line_.data(), line_.size());
        line_.clear();
        if (head_.noStatusLine) {
            state_ = State::Failed;
            return;
        }
        if (!head_.complete) continue;
        framing_ = FramingOf(head_, &left_);
        if (framing_ == Framing::Invalid) {
            state_ = State::Failed;
            return;
        }
        state_ = framing_ == Framing::None ? State::Done : State::Body;
    }
    if (state_ != State::Body) return;
    const char* rest = data + i;
    const std::size_t count = n - i;
    switch (framing_) {
    case Framing::Length: {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, count));
        body.append(rest, take);
        left_ -= take;
        if (left_ == 0) state_ = State::Done;
        break;
    }
    case Framing::Chunked:
        if (!chunks_.Take(rest, count, body)) state_ = State::Failed;
        if (chunks_.Done()) state_ = State::Done;
        break;
    default: body.append(rest, count); break;
    }
}

bool RawResponse::WholeAtClose() const {
    return state_ == State::Done || (state_ == State::Body && framing_ == Framing::ToClose);
}

}  // namespace plat::posix
