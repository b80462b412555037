// What a test knows of the fixture servers (tests/fixtures/servers.py) that it runs under:
// where they listen, from the environment, and the bytes of their patterned bodies.
#pragma once

#include <cstdlib>
#include <string>

namespace testing_support {

// A variable of the environment; empty when it is not set.
inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The address of path on the HTTP fixture.
inline std::string Http(const std::string& path) { return "http://" + Env("WEBMON_HTTP") + path; }

// The first n bytes of the servers' patterned bodies (/bytes/N and the like).
inline std::string Pattern(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((i * 7 + 3) % 251));
    return s;
}

}  // namespace testing_support
