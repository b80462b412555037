// Runs the built webmon in a folder of its own, with its own web.txt, against the fixture
// servers (tests/fixtures/servers.py), and gives back its console bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/child.h"
#include "support/fixture_servers.h"

namespace webmon_test {

using testing_support::ChildOptions;
using testing_support::ChildResult;

// The program's texts, GBK.
const std::string kBanner1 =
    "\xB1\xBE\xB3\xCC\xD0\xF2\xBF\xAA\xCA\xBC\xD4\xCB\xD0\xD0(\xD4\xCB\xD0\xD0\xD6\xDC\xC6\xDA";
const std::string kBanner2 =
    "s)\xA3\xAC\xB1\xBE\xB3\xCC\xD0\xF2\xCF\xEA\xCF\xB8\xCB\xB5\xC3\xF7\xBF\xC9\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBB\xD8\xB3\xB5\xBD\xF8\xC8\xEB\r\n";
const std::string kEmptyFile =
    "\xBC\xEC\xB2\xE2\xB5\xBDweb.txt\xCE\xC4\xBC\xFE\xCE\xAA\xBF\xD5\xBB\xF2\xD5\xDF\xC3\xBB\xD3\xD0\xC4\xDA\xC8\xDD\xA3\xAC\xCE\xDE\xB7\xA8\xD4\xCB\xD0\xD0\xBC\xE0\xBF\xD8\xB3\xCC\xD0\xF2\xA3\xAC\xCF\xEA\xCF\xB8\xB3\xCC\xD0\xF2\xCB\xB5\xC3\xF7\xB0\xB4\xBB\xD8\xB3\xB5\xBD\xF8\xC8\xEB\r\n";
const std::string kUsage =
    "\xB1\xBE\xB3\xCC\xD0\xF2\xCE\xAA\xBF\xC9\xB5\xF7\xD5\xFB\xB5\xC4\xB6\xA8\xCA\xB1\xCD\xF8\xD6\xB7\xB7\xC3\xCE\xCA\xA3\xAC\xBF\xC9\xD2\xD4\xD3\xC3\xD3\xDA\xBC\xE0\xBF\xD8\xD4\xCB\xD0\xD0\xC4\xB3\xD0\xA9\xCD\xF8\xD2\xB3\xC8\xCE\xCE\xF1\r\n\xCD\xF8\xD6\xB7\xB4\xA2\xD0\xEE\xD3\xDA\xB3\xCC\xD0\xF2\xC4\xBF\xC2\xBC\xCF\xC2\xB5\xC4web.txt\xA3\xAC\xC8\xE7\xB9\xFB\xC3\xBB\xD3\xD0\xD5\xE2\xB8\xF6\xCE\xC4\xBC\xFE\xA3\xAC\xBF\xC9\xD2\xD4\xD7\xD4\xBC\xBA\xBD\xA8\xC1\xA2\xA3\xAC\xC3\xBF\xD0\xD0\xD2\xBB\xB8\xF6\xCD\xF8\xD6\xB7(\xC4\xAC\xC8\xCF"
    "60s\xBC\xE0\xBF\xD8\xA3\xAC\xB5\xDA\xD2\xBB\xD0\xD0\xBF\xC9\xD2\xD4\xB8\xC4\xB3\xC9\xC3\xEB\xCA\xFD\xA3\xAC\xC8\xE7"
    "30)\r\n\xD0\xDE\xB8\xC4web.txt\xD6\xD8\xC6\xF4\xB1\xBE\xB3\xCC\xD0\xF2\xBC\xB4\xBF\xC9\xD7\xD4\xB6\xAF\xBC\xE0\xBF\xD8\xCD\xF8\xD5\xBE\xA3\xAC\xB3\xC9\xB9\xA6\xCF\xD4\xCA\xBESuccess,\xCA\xA7\xB0\xDC\xCF\xD4\xCA\xBE"
    "Faild\xA3\xA1\r\n";
const std::string kFaild = "Faild\xA3\xA1";
const std::string kSuccess = "Success\xA3\xA1";
const std::string kEmptyLine =
    "\xCA\xB6\xB1\xF0\xB5\xBD\xBC\xE0\xBF\xD8\xCD\xF8\xD6\xB7\xCE\xC4\xBC\xFE\xD6\xD0\xB0\xFC\xBA\xAC\xCE\xDE\xD0\xA7\xB5\xC4\xBF\xD5\xD0\xD0\xA3\xAC\xD2\xD1\xCC\xF8\xB9\xFD\r\n";
const std::string kCrLf = "\r\n";

inline std::string Banner(const std::string& period) { return kBanner1 + period + kBanner2; }
inline std::string Closing(int pass) {
    return "Mission accomplished," + std::to_string(pass) + "\r\n";
}

// The first bytes of a run's output, readable in a failure message (other bytes as \xHH).
inline std::string FirstBytes(const std::string& out, std::size_t count = 96) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    for (std::size_t i = 0; i < out.size() && i < count; ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            shown += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
        }
    }
    return shown + (out.size() > count ? "..." : "");
}

using testing_support::Env;
using testing_support::Http;
inline std::string Closed() { return "http://" + Env("WEBMON_CLOSED") + "/"; }

class Webmon : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Env("WEBMON_HTTP").empty()) << "run under tests/fixtures/servers.py";
        dir_ = testing_support::MakeTempDir();
        exe_ = (std::filesystem::path(dir_) /
                std::filesystem::path(testing_support::HostPath(WEBMON_EXE)).filename())
                   .string();
        std::filesystem::copy_file(testing_support::HostPath(WEBMON_EXE), exe_);
    }
    void TearDown() override { testing_support::RemoveTree(dir_); }

    void WebTxt(const std::string& bytes) { testing_support::WriteFile(dir_ + "/web.txt", bytes); }

    // Runs webmon with input; its end of input comes after endAfter seconds (0: at once).
    // One pass of a list whose period (30 s or more) leaves no second: the input ends once the
    // pass is over, at the latest after 30 s, so a loaded machine delays the end, never a line.
    ChildResult RunOnePass(const std::string& input = "") {
        ChildOptions options;
        options.watch = {Closing(1)};
        options.closeInputOnceSeen = true;
        return Run(input, 30, options);
    }

    ChildResult Run(const std::string& input, double endAfter = 0, ChildOptions options = {}) {
        options.input = input;
        options.closeInputAfter = endAfter;
        if (options.timeoutSeconds == 20) options.timeoutSeconds = endAfter + 20;
        bool locale = false;  // a test's own locale stays; otherwise the C one
        for (const std::string& e : options.env) locale = locale || e.rfind("LC_ALL=", 0) == 0;
        if (!locale) options.env.push_back("LC_ALL=C");
        return testing_support::RunChild(exe_, {}, options);
    }

    std::string dir_;
    std::string exe_;
};

}  // namespace webmon_test
