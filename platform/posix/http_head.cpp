// The one reader of an HTTP response: its head a line at a time, then its body by its framing.
#include "platform/posix/http_head.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace plat::posix {
namespace {

constexpr std::uint64_t kLargest = 0x7FFFFFFFFFFFFFFFull;  // of a length or a chunk's size

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Each byte's value as a hex digit, -1 for none.
constexpr std::array<signed char, 256> kHex = [] {
    std::array<signed char, 256> hex{};
    for (int c = 0; c < 256; ++c) {
        hex[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                        : static_cast<signed char>(-1);
    }
    return hex;
}();

int HexOf(char c) { return kHex[static_cast<unsigned char>(c)]; }

// text[begin, end) without the blanks at either end.
std::string Trimmed(const std::string& text, std::size_t begin, std::size_t end) {
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool NameIs(const std::string& field, std::size_t colon, const char* name) {
    return std::strlen(name) == colon && strncasecmp(field.c_str(), name, colon) == 0;
}

// The status of a status line of HTTP/1 (invariant 2), 0 when the line is none.
long StatusOf(const std::string& line) {
    if (line.size() < 12 || strncasecmp(line.c_str(), "HTTP/1.", 7) != 0 || !IsDigit(line[7]) ||
        line[8] != ' ' || !IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]) ||
        (line.size() > 12 && line[12] != ' ')) {
        return 0;
    }
    const long status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    return status >= 100 ? status : 0;
}

// A response of this status is the response, not an interim one (invariant 2).
bool IsFinal(long status) { return status >= 200 || status == 101; }

// Adds the codings of one Transfer-Encoding value ("gzip, chunked") to the head's list.
void TakeCodings(ResponseHead& head, const std::string& value) {
    std::size_t at = 0;
    while (at <= value.size()) {
        std::size_t end = value.find(',', at);
        if (end == std::string::npos) end = value.size();
        // Parameters are no part of a coding's name.
        const std::string coding = Trimmed(value, at, std::min(end, value.find(';', at)));
        if (!coding.empty()) {
            ++head.transferCodings;
            head.chunkedLast = strcasecmp(coding.c_str(), "chunked") == 0;
        }
        at = end + 1;
    }
}

// Takes the lengths of one Content-Length value: a list of them is one length given again.
void TakeLengths(ResponseHead& head, const std::string& value) {
    bool seen = head.hasContentLength;
    head.hasContentLength = true;
    head.contentLength = value;
    std::size_t at = 0;
    do {
        std::size_t end = value.find(',', at);
        if (end == std::string::npos) end = value.size();
        const std::string digits = Trimmed(value, at, end);
        std::uint64_t length = 0;
        for (char c : digits) {
            const auto digit = static_cast<std::uint64_t>(c - '0');
            if (!IsDigit(c) || length > (kLargest - digit) / 10) {
                head.badLength = true;
                return;
            }
            length = length * 10 + digit;
        }
        if (digits.empty() || (seen && length != head.length)) {
            head.badLength = true;
            return;
        }
        head.length = length;
        seen = true;
        at = end + 1;
    } while (at <= value.size());
}

}  // namespace

void ResponseReader::Take(const char* data, std::size_t n, BodySink sink, void* user) {
    std::size_t i = 0;
    while (state_ == State::Head && i < n) {
        const void* lf = std::memchr(data + i, '\n', n - i);
        const std::size_t end =
            lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1 : n;
        if (end - i > kHeadLimit - headBytes_) return Fail(Fault::HeadTooLong);
        headBytes_ += end - i;
        line_.append(data + i, end - i);
        i = end;
        if (lf) TakeHeadLine();
    }
    if (state_ != State::Body || i == n) return;
    switch (framing_) {
    case Framing::Length: {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, n - i));
        sink(user, data + i, take);
        left_ -= take;
        if (left_ == 0) state_ = State::Done;
        break;
    }
    case Framing::Chunked: TakeChunked(data + i, n - i, sink, user); break;
    default: sink(user, data + i, n - i); break;  // to the close
    }
}

bool ResponseReader::End() {
    if (state_ == State::Head && !atResponseStart_ && IsFinal(head_.status)) {  // its head cut
        if (!field_.empty()) TakeField(field_);
        field_.clear();
        head_.complete = true;
        state_ = State::Done;
    }
    return state_ == State::Done || (state_ == State::Body && framing_ == Framing::ToClose);
}

// A whole line of the head is in line_, its LF last.
void ResponseReader::TakeHeadLine() {
    line_.pop_back();
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    std::replace(line_.begin(), line_.end(), '\r', ' ');  // a bare CR is a blank (RFC 9112, 2.2)
    if (atResponseStart_) {
        if (line_.empty()) return;  // empty lines before a status line are skipped
        const long status = StatusOf(line_);
        if (status == 0) {
            return Fail(strncasecmp(line_.c_str(), "HTTP/", 5) == 0 ? Fault::BadStatusLine
                                                                    : Fault::NoStatusLine);
        }
        head_ = ResponseHead{};  // an interim response leaves nothing behind
        head_.status = status;
        atResponseStart_ = false;
        field_.clear();
        line_.clear();
        return;
    }
    if (!line_.empty() && IsBlank(line_[0])) {  // a fold: the field before goes on
        if (field_.empty()) return Fail(Fault::BadField);
        field_ += ' ';
        field_ += Trimmed(line_, 0, line_.size());
        line_.clear();
        return;
    }
    if (!field_.empty()) TakeField(field_);
    field_.clear();
    if (line_.empty()) {
        if (!IsFinal(head_.status)) {
            atResponseStart_ = true;  // an interim response ended: the next one begins
        } else {
            HeadComplete();
        }
        return;
    }
    const std::size_t colon = line_.find(':');
    if (colon == 0 || colon == std::string::npos) return Fail(Fault::BadField);
    field_.swap(line_);
    line_.clear();
}

void ResponseReader::TakeField(const std::string& field) {
    const std::size_t colon = field.find(':');
    const std::string value = Trimmed(field, colon + 1, field.size());
    if (NameIs(field, colon, "content-length")) {
        TakeLengths(head_, value);
    } else if (NameIs(field, colon, "location") && !head_.hasLocation) {
        head_.location = value;
        head_.hasLocation = true;
    } else if (NameIs(field, colon, "transfer-encoding")) {
        TakeCodings(head_, value);
    }
}

void ResponseReader::HeadComplete() {
    head_.complete = true;
    line_.clear();
    headBytes_ = 0;  // now counts the trailer, if any
    if (head_.status == 204 || head_.status == 304) {
        framing_ = Framing::None;
    } else if (head_.transferCodings > 0) {  // a transfer coding outranks a length
        framing_ = head_.chunkedLast ? Framing::Chunked : Framing::ToClose;
    } else if (head_.badLength) {
        return Fail(Fault::BadLength);
    } else if (head_.hasContentLength) {
        framing_ = head_.length == 0 ? Framing::None : Framing::Length;
        left_ = head_.length;
    } else {
        framing_ = Framing::ToClose;
    }
    state_ = framing_ == Framing::None ? State::Done : State::Body;
}

namespace {

// Chunks of the plainest form ("size CR LF data CR LF", not the last) that lie whole in data,
// their data added to the run of *filled bytes (or handed to the sink when large): how many
// bytes they took. Anything else, or a chunk cut short, stops it, untaken, for the state
// machine to read.
std::size_t PlainChunks(const char* data, std::size_t n, char* run, std::size_t* filled,
                        ResponseReader::BodySink sink, void* user) {
    constexpr std::size_t kRun = ResponseReader::kChunkRun;
    std::size_t inRun = *filled;
    std::size_t at = 0;
    for (;;) {
        std::size_t j = at;
        std::uint64_t size = 0;
        for (int digit; j < n && (digit = HexOf(data[j])) >= 0; ++j) {
            const auto d = static_cast<std::uint64_t>(digit);
            // Too large, or too long: the machine says so.
            if (size > (kLargest - d) / 16 || j - at == ResponseReader::kChunkSizeDigits) break;
            size = size * 16 + d;
        }
        if (j == at || size == 0 || n - j < 4 || data[j] != '\r' || data[j + 1] != '\n' ||
            size > n - j - 4 || data[j + 2 + size] != '\r' || data[j + 3 + size] != '\n') {
            break;
        }
        const char* chunk = data + j + 2;
        const auto bytes = static_cast<std::size_t>(size);
        if (bytes > kRun - inRun && inRun > 0) {
            sink(user, run, inRun);
            inRun = 0;
        }
        if (bytes >= kRun) {
            sink(user, chunk, bytes);
        } else {
            for (std::size_t k = 0; k < bytes; ++k) run[inRun + k] = chunk[k];
            inRun += bytes;
        }
        at = j + 4 + bytes;
    }
    *filled = inRun;
    return at;
}

}  // namespace

// The chunked coding undone. Short chunks' data is gathered into one run for the sink, so that a
// body of tiny chunks costs about what one of large chunks does.
void ResponseReader::TakeChunked(const char* data, std::size_t n, BodySink sink, void* user) {
    constexpr std::size_t kRun = kChunkRun;
    char run[kRun];
    std::size_t inRun = 0;
    const auto flush = [&] {
        if (inRun > 0) sink(user, run, inRun);
        inRun = 0;
    };
    std::size_t i = 0;
    while (i < n && state_ == State::Body) {
        const char c = data[i];
        if (sawCr_ && c != '\n') return flush(), Fail(Fault::BadLineEnd);
        switch (chunk_) {
        case Chunk::Size:
            if (sizeDigits_ == 0) {  // at a chunk's start: whole plain chunks first, in locals
                const std::size_t past = PlainChunks(data + i, n - i, run, &inRun, sink, user);
                i += past;
                if (past > 0) continue;
            }
            for (int digit; i < n && (digit = HexOf(data[i])) >= 0; ++i) {
                const auto d = static_cast<std::uint64_t>(digit);
                if (left_ > (kLargest - d) / 16 || sizeDigits_ == kChunkSizeDigits) {
                    return flush(), Fail(Fault::ChunkTooLarge);
                }
                left_ = left_ * 16 + d;
                ++sizeDigits_;
            }
            if (i == n) break;  // more digits may come
            if (sizeDigits_ == 0) return flush(), Fail(Fault::BadChunkSize);
            chunk_ = Chunk::SizeEnd;
            break;
        case Chunk::SizeEnd:
        case Chunk::Extension:
            ++i;
            if (c == '\r') {
                sawCr_ = true;
            } else if (c == '\n') {  // the size line's end
                sawCr_ = false;
                chunk_ = left_ == 0 ? Chunk::Trailer : Chunk::Data;
            } else if (c == ';') {
                chunk_ = Chunk::Extension;
            } else if (chunk_ == Chunk::SizeEnd && !IsBlank(c)) {
                return flush(), Fail(Fault::BadChunkSize);
            }
            break;
        case Chunk::Data: {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, n - i));
            if (take > kRun - inRun) flush();
            if (take >= kRun) {
                sink(user, data + i, take);
            } else {
                std::memcpy(run + inRun, data + i, take);
                inRun += take;
            }
            left_ -= take;
            i += take;
            if (left_ == 0) chunk_ = Chunk::DataEnd;
            break;
        }
        case Chunk::DataEnd:
            ++i;
            if (c == '\r' && !sawCr_) {
                sawCr_ = true;
            } else if (c == '\n') {
                sawCr_ = false;
                sizeDigits_ = 0;
                chunk_ = Chunk::Size;
            } else {
                return flush(), Fail(Fault::BadChunkEnd);
            }
            break;
        case Chunk::Trailer: {  // trailer lines up to an empty one, read past
            const void* lf = std::memchr(data + i, '\n', n - i);
            const std::size_t end =
                lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1 : n;
            if (end - i > kHeadLimit - headBytes_) return flush(), Fail(Fault::HeadTooLong);
            headBytes_ += end - i;
            line_.append(data + i, end - i);
            i = end;
            if (!lf) break;
            if (line_ == "\n" || line_ == "\r\n") state_ = State::Done;
            line_.clear();
            break;
        }
        }
    }
    flush();
}

}  // namespace plat::posix
