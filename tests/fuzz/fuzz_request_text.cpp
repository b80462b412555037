// The Linux stand-in's request text: accept types (the input cut at zero bytes), extra header
// lines (the whole input) and the target (the whole input); the invariants of request_text.h.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/request_text.h"

namespace {
bool HasControlByte(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> types;
    for (std::size_t at = 0; at <= size;) {
        const std::size_t end = std::min(input.find('\0', at), size);
        types.push_back(input.substr(at, end - at));
        at = end + 1;
    }
    std::vector<const char*> list;
    for (const std::string& t : types) list.push_back(t.c_str());
    list.push_back(nullptr);
    const std::string accept = plat::posix::AcceptHeader(list.data());
    if (accept.rfind("Accept: ", 0) != 0) std::abort();

    std::vector<std::string> headers{accept};
    plat::posix::MergeHeaders(headers, input.data(), input.size());
    for (std::size_t i = 1; i < headers.size(); ++i) {
        if (HasControlByte(headers[i]) || headers[i].find(':') == std::string::npos) std::abort();
    }

    const std::string target = plat::posix::EncodeTarget(input);
    if (target.empty() || target[0] != '/') std::abort();
    for (unsigned char c : target) {
        if (c == ' ' || c >= 0x80) std::abort();
    }
    return 0;
}
