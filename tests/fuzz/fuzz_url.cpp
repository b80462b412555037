// The Linux stand-ins of InternetCanonicalizeUrlA and InternetCrackUrlA, writing into blocks of
// exactly the sizes the internet library gives them (the sanitizer sees one byte more), and
// the lengths they report matching what they wrote.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

void CheckPart(const char* buffer, std::uint32_t length, std::uint32_t size) {
    if (length >= size || std::strlen(buffer) != length) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string url(reinterpret_cast<const char*>(data), size);
    url.resize(std::strlen(url.c_str()));

    std::vector<char> canonical(2084);
    std::uint32_t length = 2084;
    if (!plat::InternetCanonicalizeUrlA(url.c_str(), canonical.data(), &length,
                                        plat::kIcuNoEncode)) {
        if (plat::GetLastError() != plat::kErrorInsufficientBuffer) return 0;
        if (length <= 2084) std::abort();  // asked for more, but no more than it had
        canonical.assign(length, '\0');
        if (!plat::InternetCanonicalizeUrlA(url.c_str(), canonical.data(), &length,
                                            plat::kIcuNoEncode)) {
            std::abort();
        }
    }
    CheckPart(canonical.data(), length, static_cast<std::uint32_t>(canonical.size()));

    std::vector<char> host(256), user(128), password(128), path(2048);
    plat::UrlComponents parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = 256;
    parts.lpszUserName = user.data();
    parts.dwUserNameLength = 128;
    parts.lpszPassword = password.data();
    parts.dwPasswordLength = 128;
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = 2048;
    if (!plat::InternetCrackUrlA(canonical.data(), 0, 0, &parts)) return 0;
    CheckPart(host.data(), parts.dwHostNameLength, 256);
    CheckPart(user.data(), parts.dwUserNameLength, 128);
    CheckPart(password.data(), parts.dwPasswordLength, 128);
    CheckPart(path.data(), parts.dwUrlPathLength, 2048);
    // A canonical address cracks to parts that all come from it.
    if (!std::strstr(canonical.data(), host.data()) || !std::strstr(canonical.data(), path.data()))
        std::abort();
    return 0;
}
