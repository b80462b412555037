// The redirect decision, on a Location value from the network: what it sends on holds no CR or
// LF, is http or https also in its canonical form, never goes from https down to http, and no
// redirect is followed past the hop limit.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "libs/internet/fetch_policy.h"
#include "libs/internet/http_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One byte of hop count, then the current address and the Location value, split at a zero.
    if (size < 1) return 0;
    const int requests = 1 + data[0] % (inet::kMaxRedirects + 2);
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t zero = rest.find('\0');
    if (zero == std::string::npos) return 0;
    const std::string address = rest.substr(0, zero);
    const std::string location = rest.substr(zero + 1);
    // The current address is what the fetch requested: an acceptable address, canonical.
    inet::Target from;
    if (!inet::IsAcceptableAddress(address.c_str()) || !inet::ParseAddress(address, &from) ||
        !inet::IsFetchedScheme(from.scheme)) {
        return 0;
    }

    std::string next;
    const inet::Hop hop = inet::DecideRedirect(requests, from.canonical, location, &next);
    if (hop != inet::Hop::Follow) return 0;
    if (requests > inet::kMaxRedirects) std::abort();  // past the hop limit
    if (next.find_first_of("\r\n") != std::string::npos) std::abort();
    inet::Target to;
    if (!inet::ParseAddress(next, &to)) return 0;     // the fetch fails there, before a request
    if (!inet::IsFetchedScheme(to.scheme)) return 0;  // likewise: checked before it connects
    if (from.scheme == plat::kSchemeHttps && to.scheme != plat::kSchemeHttps) {
        std::abort();  // https down to http, once canonical
    }
    return 0;
}
