// The rules of a fetch: addresses, origins and redirects, as plain text work.
#include "libs/internet/fetch_policy.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/platform.h"
#include "runtime/value.h"

namespace inet {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

// An address reference cut into the five parts of RFC 3986; a part that is absent is marked so.
struct Reference {
    bool hasScheme = false;
    std::string scheme;
    bool hasAuthority = false;
    std::string authority;
    std::string path;
    bool hasQuery = false;
    std::string query;  // without its '?'
};

Reference Split(const std::string& text) {
    Reference r;
    std::string rest = WithoutFragment(text);
    // A scheme: a letter, then letters, digits, '+', '-' or '.', then ':'.
    std::size_t i = 0;
    if (!rest.empty() && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        while (i < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[i])) ||
                                   rest[i] == '+' || rest[i] == '-' || rest[i] == '.')) {
            ++i;
        }
        if (i < rest.size() && rest[i] == ':') {
            r.hasScheme = true;
            r.scheme = rest.substr(0, i);
            rest.erase(0, i + 1);
        }
    }
    if (rest.compare(0, 2, "//") == 0) {
        const std::size_t end = rest.find_first_of("/?", 2);
        r.hasAuthority = true;
        r.authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
    }
    const std::size_t q = rest.find('?');
    r.path = rest.substr(0, q);
    if (q != std::string::npos) {
        r.hasQuery = true;
        r.query = rest.substr(q + 1);
    }
    return r;
}

std::string Join(const Reference& r) {
    std::string out = r.scheme;
    out += ':';
    if (r.hasAuthority) out.append("//").append(r.authority);
    out += r.path;
    if (r.hasQuery) out.append("?").append(r.query);
    return out;
}

}  // namespace

bool IsAcceptableAddress(const char* address) {
    if (!address || address[0] == '\0') return false;
    return std::strpbrk(address, "\r\n") == nullptr;
}

bool IsFetchedScheme(std::int32_t scheme) {
    return scheme == plat::kSchemeHttp || scheme == plat::kSchemeHttps;
}

void CutFragment(char* path) {
    for (char* p = path; *p; ++p) {
        if (rt::StartsDoubleByte(p)) {
            ++p;
        } else if (*p == '#') {
            *p = '\0';
            return;
        }
    }
}

std::string WithoutFragment(const std::string& address) {
    std::string copy = address;
    CutFragment(copy.data());
    copy.resize(std::strlen(copy.c_str()));
    return copy;
}

bool SameOrigin(const Origin& a, const Origin& b) {
    return a.scheme == b.scheme && a.port == b.port && EqualNoCase(a.host, b.host);
}

bool IsRedirectStatus(std::uint32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool ResolveLocation(const std::string& base, const std::string& location, std::string* out) {
    if (!IsAcceptableAddress(location.c_str())) return false;
    const Reference b = Split(base);
    if (!b.hasScheme || !b.hasAuthority) return false;
    const Reference r = Split(location);
    Reference t;
    if (r.hasScheme) {
        t = r;
    } else {
        t.hasScheme = true;
        t.scheme = b.scheme;
        if (r.hasAuthority) {
            t.hasAuthority = true;
            t.authority = r.authority;
            t.path = r.path;
            t.hasQuery = r.hasQuery;
            t.query = r.query;
        } else {
            t.hasAuthority = true;
            t.authority = b.authority;
            if (r.path.empty()) {
                t.path = b.path;
                t.hasQuery = r.hasQuery || b.hasQuery;
                t.query = r.hasQuery ? r.query : b.query;
            } else {
                if (r.path[0] == '/') {
                    t.path = r.path;
                } else {
                    // Merge: the base path up to its last '/', or "/" when it has none.
                    const std::size_t slash = b.path.rfind('/');
                    const std::string dir =
                        slash == std::string::npos ? "/" : b.path.substr(0, slash + 1);
                    t.path = dir + r.path;
                }
                t.hasQuery = r.hasQuery;
                t.query = r.query;
            }
        }
    }
    if (t.hasAuthority && t.path.empty()) t.path.push_back('/');
    *out = Join(t);
    return true;
}

Hop DecideRedirect(int requests, const std::string& current, const std::string& location,
                   std::string* next) {
    std::string target;
    if (!ResolveLocation(current, location, &target)) return Hop::Page;
    const std::string to = Split(target).scheme;
    const std::string from = Split(current).scheme;
    if (!EqualNoCase(to, "http") && !EqualNoCase(to, "https")) return Hop::Fail;
    if (EqualNoCase(from, "https") && EqualNoCase(to, "http")) return Hop::Fail;
    if (requests > kMaxRedirects) return Hop::Fail;
    *next = target;
    return Hop::Follow;
}

}  // namespace inet
