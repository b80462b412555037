// What differs between the two builds as a test sees it from outside the process.
#pragma once

namespace testing_support {

#ifdef _WIN32
constexpr int kExitMinusOne = -1;      // 0xFFFFFFFF as the parent reads it
constexpr const char* kExeSuffix = ".exe";
#else
constexpr int kExitMinusOne = 255;     // the low 8 bits of -1
constexpr const char* kExeSuffix = "";
#endif

}  // namespace testing_support
