// The Linux transfer's own rules (platform/posix/transfer.cpp): certificates from the system
// store or SSL_CERT_FILE, the proxy from the environment, hosts of ASCII alone. (Wine's WinINet
// trusts only the system store and reads its proxy elsewhere.) Through the internet library,
// against the fixture servers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/libs/internet/internet_fixture.h"

namespace {

using namespace internet_fixture;

TEST_F(Internet, HttpsWithTheTestCaAndWithAnUntrustedCertificate) {
    SetEnv("SSL_CERT_FILE", Env("WEBMON_CA"));
    EXPECT_EQ(Read(Https("/ok")), "hello world");
    EXPECT_EQ(Read("https://" + Env("WEBMON_UNTRUSTED") + "/ok"), "<empty>");
    SetEnv("SSL_CERT_FILE", "");
    EXPECT_EQ(Read(Https("/ok")), "<empty>") << "the test CA is not in the system store";
}

TEST_F(Internet, TheProxyComesFromTheEnvironment) {
    SetEnv("http_proxy", "http://" + Env("WEBMON_PROXY"));
    EXPECT_EQ(Read(Http("/ok")), "via proxy: hello world");
    SetEnv("no_proxy", "127.0.0.1");
    EXPECT_EQ(Read(Http("/ok")), "hello world");
    SetEnv("no_proxy", "");
    SetEnv("http_proxy", "");
    EXPECT_EQ(Read(Http("/ok")), "hello world");
}

TEST_F(Internet, ANonAsciiHostFails) {
    EXPECT_EQ(Read("http://\xD6\xD0\xCE\xC4.example/"), "<empty>");
}

}  // namespace
