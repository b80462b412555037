// The session's cookies held to their bounds (platform/fetch_phases.h): libcurl's cookie list
// read, the oldest past a bound expired. Which ones go is cookie_bound.cpp's decision; this
// file reads libcurl's list and applies it. (libcurl itself refuses a cookie whose name and
// value pass 4,096 bytes, as WinINet does.)
#include "platform/posix/cookies.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/cookie_bound.h"

namespace plat::posix {
namespace {

// One line of libcurl's cookie list (Netscape format): domain, tail match, path, secure,
// expiry, name, value, separated by tabs; "#HttpOnly_" may begin the domain.
enum CookieField { kDomain, kTailMatch, kPath, kSecure, kExpiry, kName, kValue, kCookieFields };
struct CookieLine {
    std::string line;
    std::string host;  // the domain without "#HttpOnly_" and a leading dot
    std::string key;   // domain, path and name: the cookie's identity
};

bool ParseCookieLine(const char* text, CookieLine* out) {
    std::string fields[kCookieFields];
    const char* at = text;
    for (int i = 0; i < kCookieFields; ++i) {
        const bool last = i == kCookieFields - 1;
        const char* tab = last ? nullptr : std::strchr(at, '\t');
        if (!last && !tab) return false;
        fields[i] = tab ? std::string(at, tab) : std::string(at);
        at = tab ? tab + 1 : at;
    }
    // Expired by a bound already: gone at libcurl's next look.
    if (fields[kExpiry] == "1") return false;
    std::string host = fields[kDomain];
    constexpr char kHttpOnly[] = "#HttpOnly_";
    if (host.rfind(kHttpOnly, 0) == 0) host.erase(0, sizeof kHttpOnly - 1);
    out->key = host + '\t' + fields[kPath] + '\t' + fields[kName];
    if (!host.empty() && host[0] == '.') host.erase(0, 1);
    out->host = host;
    out->line = text;
    return true;
}

// Expires one cookie: the same line with an expiry in the past, which libcurl removes.
void ExpireCookie(CURL* easy, const CookieLine& cookie) {
    const std::string& line = cookie.line;
    std::size_t at = 0;
    for (int tab = 0; tab < kExpiry; ++tab) at = line.find('\t', at) + 1;
    const std::string expired = line.substr(0, at) + "1" + line.substr(line.find('\t', at));
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, expired.c_str());
}

}  // namespace

void BoundSessionCookies(Request* r) {
    Session* s = r->connection->session;
    if (!s->cookieKeeper && (s->cookieKeeper = curl_easy_init())) {
        curl_easy_setopt(s->cookieKeeper, CURLOPT_SHARE, s->cookies);
    }
    CURL* keeper = s->cookieKeeper;
    curl_slist* list = nullptr;
    if (!keeper || curl_easy_getinfo(keeper, CURLINFO_COOKIELIST, &list) != CURLE_OK) return;
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> owned(list,
                                                                            curl_slist_free_all);
    std::vector<CookieLine> lines;
    std::vector<KeptCookie> kept;
    std::unordered_map<std::string, std::uint64_t> ages;
    for (curl_slist* item = list; item; item = item->next) {
        CookieLine cookie;
        if (!ParseCookieLine(item->data, &cookie)) continue;
        // A cookie keeps the age it first came with; new ones come in the list's order, which
        // is the order in which libcurl took them.
        auto known = s->cookieAges.find(cookie.key);
        const std::uint64_t age = known != s->cookieAges.end() ? known->second : s->cookiesSeen++;
        ages[cookie.key] = age;
        kept.push_back(KeptCookie{cookie.host, age});
        lines.push_back(std::move(cookie));
    }
    for (std::size_t gone : BoundCookies(kept, kCookiesPerHost, kCookiesInAll)) {
        ExpireCookie(keeper, lines[gone]);
        ages.erase(lines[gone].key);
    }
    s->cookieAges = std::move(ages);
}

}  // namespace plat::posix
