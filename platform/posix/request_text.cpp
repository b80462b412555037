// The text of a request: accept types, extra headers, target and URL.
#include "platform/posix/request_text.h"

#include <strings.h>

#include <algorithm>

namespace plat::posix {
namespace {

bool HasControlByte(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

}  // namespace

std::string AcceptHeader(const char* const* acceptTypes) {
    std::string accept;
    for (const char* const* t = acceptTypes; t && *t; ++t) {
        std::string value = *t;
        if (value.rfind("Accept:", 0) == 0) value.erase(0, 7);
        const auto first = value.find_first_not_of(" \t\r\n");
        const auto last = value.find_last_not_of(" \t\r\n");
        if (first == std::string::npos) continue;
        if (!accept.empty()) accept += ", ";
        accept += value.substr(first, last - first + 1);
    }
    return "Accept: " + (accept.empty() ? std::string("*/*") : accept);
}

void MergeHeaders(std::vector<std::string>& headers, const char* text, std::size_t length) {
    const std::string extra = text ? std::string(text, length) : std::string();
    std::size_t at = 0;
    while (at < extra.size()) {
        const auto end = extra.find('\n', at);
        std::string line =
            extra.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? extra.size() : end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) break;
        const auto colon = line.find(':');
        if (colon == std::string::npos || HasControlByte(line)) continue;
        const std::string name = line.substr(0, colon + 1);
        headers.erase(std::remove_if(headers.begin(), headers.end(),
                                     [&](const std::string& h) {
                                         return strncasecmp(h.c_str(), name.c_str(), name.size()) ==
                                                0;
                                     }),
                      headers.end());
        headers.push_back(line);
    }
}

std::string EncodeTarget(const std::string& object) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    if (object.empty() || object[0] != '/') out.push_back('/');
    for (unsigned char c : object) {
        if (c == ' ' || c >= 0x80) {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string RequestUrl(bool secure, const std::string& host, std::uint16_t port,
                       const std::string& object) {
    if (port == 0) port = secure ? kHttpsPort : kHttpPort;
    return std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port) +
           EncodeTarget(object);
}

}  // namespace plat::posix
