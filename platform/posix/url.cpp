// InternetCanonicalizeUrlA and InternetCrackUrlA for Linux: plain text work, giving what the
// Windows build gives for the same address, where that is sound:
//
//  1. Canonical form (no encoding asked for): spaces and tabs trimmed at the end, tabs dropped
//     everywhere else (a leading space stays, and the address then has no scheme); other
//     control bytes fail. With an authority ("scheme://"), '\' in the path becomes
//     '/' (the authority ends at it too), "." and ".." segments of the path are removed, and an
//     address that ends with its authority gets the path "/". Query and fragment stay as
//     written.
//  2. Cracking: scheme numbers and default ports as WinINet's; the user name ends at the first
//     ':', the host begins after the last '@'; an empty port is 0 (the scheme's default when
//     connecting); a port of other than 1 to 5 digits, or above 65535, fails. A part longer than
//     its buffer fails with ERROR_INSUFFICIENT_BUFFER.
//
// Wine's WinINet, which the Windows tests run on, differs where it is plainly wrong: it turns
// '\' into '/' in the query and fragment and
// after a double-byte lead byte, removes dot segments across the query and fragment, keeps a
// leading "/./" and "/..", cracks "[::1]" without a port as host "[:" and port 1, reads ports
// leniently ("8o" as 8, "-1" as 65535, "65536" as 0), splits "a:b:c@" at the last ':' and
// "a@b@host" at the first '@'.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace plat {
namespace {

using posix::Fail;
using posix::kErrInvalidUrl;
using posix::kErrUnrecognizedScheme;

struct SchemeInfo {
    const char* name;
    InternetScheme scheme;
    std::uint16_t port;
};
constexpr SchemeInfo kSchemes[] = {
    {"http", kSchemeHttp, 80},     {"https", kSchemeHttps, 443}, {"ftp", kSchemeFtp, 21},
    {"gopher", kSchemeGopher, 70}, {"file", kSchemeFile, 0},     {"news", kSchemeNews, 0},
    {"mailto", kSchemeMailto, 0},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The length of the scheme at the start of text ("http" of "http://..."), 0 when there is none.
std::size_t SchemeLength(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) ||
                               text[i] == '+' || text[i] == '-' || text[i] == '.')) {
        ++i;
    }
    return i > 0 && i < text.size() && text[i] == ':' ? i : 0;
}

// RFC 3986's removal of "." and ".." segments from a path.
std::string RemoveDotSegments(std::string in) {
    std::string out;
    while (!in.empty()) {
        if (in.compare(0, 3, "../") == 0) {
            in.erase(0, 3);
        } else if (in.compare(0, 2, "./") == 0 || in.compare(0, 3, "/./") == 0) {
            in.erase(0, 2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.compare(0, 4, "/../") == 0 || in == "/..") {
            in = in.size() == 3 ? "/" : in.substr(3);
            const std::size_t slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            const std::size_t next = in.find('/', 1);
            out += in.substr(0, next);
            in.erase(0, next == std::string::npos ? in.size() : next);
        }
    }
    return out;
}

std::string Canonical(const std::string& text) {
    const std::size_t scheme = SchemeLength(text);
    if (scheme == 0 || text.compare(scheme + 1, 2, "//") != 0) return text;
    const std::size_t start = scheme + 3;
    const std::size_t authorityEnd = std::min(text.find_first_of("/?#\\", start), text.size());
    // The path runs to '?' or '#'; a double-byte character's trail byte is never a separator.
    std::string path;
    std::size_t i = authorityEnd;
    for (; i < text.size() && text[i] != '?' && text[i] != '#'; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80 && i + 1 < text.size()) {
            path += text[i];
            path += text[++i];
        } else {
            path += text[i] == '\\' ? '/' : text[i];
        }
    }
    path = RemoveDotSegments(path);
    if (path.empty() && i == text.size()) path.push_back('/');
    std::string out(text, 0, authorityEnd);
    out.append(path).append(text, i, std::string::npos);
    return out;
}

// Copies part into a caller's component buffer; a null buffer asks for nothing.
bool Put(const std::string& part, char* buffer, std::uint32_t* length) {
    if (!buffer) return true;
    if (part.size() + 1 > *length) return Fail(kErrorInsufficientBuffer);
    std::memcpy(buffer, part.c_str(), part.size() + 1);
    *length = static_cast<std::uint32_t>(part.size());
    return true;
}

bool ParsePort(const std::string& text, std::uint16_t* port) {
    if (text.empty()) {
        *port = 0;  // the scheme's default, when connecting
        return true;
    }
    if (text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
        return false;
    }
    const long value = std::stol(text);
    if (value > 65535) return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

bool InternetCanonicalizeUrlA(const char* url, char* buffer, std::uint32_t* length, std::uint32_t) {
    if (!url) return Fail(kErrInvalidUrl);
    std::string text;
    const char* begin = url;
    const char* end = url + std::strlen(url);
    while (end > begin && IsBlank(end[-1])) --end;
    for (const char* p = begin; p < end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte == '\t') continue;
        if (byte < 0x20 || byte == 0x7F) return Fail(kErrInvalidUrl);
        text += *p;
    }
    const std::string canonical = Canonical(text);
    if (*length < canonical.size() + 1) {
        *length = static_cast<std::uint32_t>(canonical.size() + 1);
        return Fail(kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, canonical.c_str(), canonical.size() + 1);
    *length = static_cast<std::uint32_t>(canonical.size());
    return true;
}

bool InternetCrackUrlA(const char* url, std::uint32_t urlLength, std::uint32_t,
                       UrlComponents* parts) {
    const std::string text = urlLength ? std::string(url, urlLength) : std::string(url);
    const std::size_t colon = SchemeLength(text);
    if (colon == 0) return Fail(kErrUnrecognizedScheme);
    std::string scheme = text.substr(0, colon);
    std::string lower = scheme;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    parts->nScheme = kSchemeUnknown;
    std::uint16_t port = 0;
    for (const SchemeInfo& s : kSchemes) {
        if (lower == s.name) {
            parts->nScheme = s.scheme;
            port = s.port;
        }
    }
    std::string rest = text.substr(colon + 1);
    std::string user, password, host, path;
    if (rest.compare(0, 2, "//") == 0) {
        rest.erase(0, 2);
        const std::size_t end = rest.find_first_of("/?#");
        std::string authority = rest.substr(0, end);
        path = end == std::string::npos ? "" : rest.substr(end);
        const std::size_t at = authority.rfind('@');
        if (at != std::string::npos) {
            const std::string credentials = authority.substr(0, at);
            authority.erase(0, at + 1);
            const std::size_t sep = credentials.find(':');
            user = credentials.substr(0, sep);
            if (sep != std::string::npos) password = credentials.substr(sep + 1);
        }
        std::string portText;
        bool hasPort = false;
        if (!authority.empty() && authority[0] == '[') {
            const std::size_t close = authority.find(']');
            if (close == std::string::npos) return Fail(kErrInvalidUrl);
            host = authority.substr(0, close + 1);
            if (close + 1 < authority.size()) {
                if (authority[close + 1] != ':') return Fail(kErrInvalidUrl);
                portText = authority.substr(close + 2);
                hasPort = true;
            }
        } else {
            const std::size_t sep = authority.rfind(':');
            host = authority.substr(0, sep);
            if (sep != std::string::npos) {
                portText = authority.substr(sep + 1);
                hasPort = true;
            }
        }
        if (hasPort && !ParsePort(portText, &port)) return Fail(kErrInvalidUrl);
    } else {
        path = rest;  // mailto:, news: and the like have no authority
    }
    parts->nPort = port;
    if (!Put(scheme, parts->lpszScheme, &parts->dwSchemeLength)) return false;
    if (!Put(host, parts->lpszHostName, &parts->dwHostNameLength)) return false;
    if (!Put(user, parts->lpszUserName, &parts->dwUserNameLength)) return false;
    if (!Put(password, parts->lpszPassword, &parts->dwPasswordLength)) return false;
    if (!Put(path, parts->lpszUrlPath, &parts->dwUrlPathLength)) return false;
    return Put("", parts->lpszExtraInfo, &parts->dwExtraInfoLength);
}

}  // namespace plat
