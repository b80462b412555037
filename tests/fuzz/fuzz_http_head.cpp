// The Linux stand-in's one reader of a response: the bytes read whole, cut in two where the
// input's first byte says, and one byte at a time read the same (state, fault, head, body); a
// body is never longer than the bytes, and the head's values hold no CR or LF.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/http_head.h"

namespace {

using plat::posix::ResponseReader;

void Append(void* body, const char* data, std::size_t n) {
    static_cast<std::string*>(body)->append(data, n);
}

void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t cut = bytes.empty() ? 0 : data[0] % (bytes.size() + 1);
    ResponseReader whole, halves, bytewise;
    std::string wholeBody, halvesBody, bytewiseBody;
    whole.Take(bytes.data(), bytes.size(), Append, &wholeBody);
    halves.Take(bytes.data(), cut, Append, &halvesBody);
    halves.Take(bytes.data() + cut, bytes.size() - cut, Append, &halvesBody);
    for (char c : bytes) bytewise.Take(&c, 1, Append, &bytewiseBody);
    for (const ResponseReader* other : {&halves, &bytewise}) {
        Check(other->state() == whole.state() && other->fault() == whole.fault());
        Check(other->head().status == whole.head().status);
        Check(other->head().complete == whole.head().complete);
        Check(other->head().location == whole.head().location);
        Check(other->head().contentLength == whole.head().contentLength);
    }
    Check(halvesBody == wholeBody && bytewiseBody == wholeBody);
    Check(halves.End() == whole.End());
    Check(!whole.End() || whole.head().complete);
    Check(wholeBody.size() <= bytes.size());
    const long status = whole.head().status;
    Check(status == 0 || (status >= 100 && status <= 999));
    Check((whole.fault() == ResponseReader::Fault::None) ==
          (whole.state() != ResponseReader::State::Failed));
    for (const std::string* value : {&whole.head().location, &whole.head().contentLength}) {
        Check(value->find_first_of("\r\n") == std::string::npos);
    }
    return 0;
}
