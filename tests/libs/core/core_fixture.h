// Registers the core library with the runtime, as InitRuntime would, for in-process tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "libs/core/core_library.h"
#include "runtime/errors.h"
#include "runtime/registry.h"

namespace core_test {

inline void StartCoreLibrary() {
    core::kCoreLibrary.notify(rt::kLibStart, reinterpret_cast<std::uintptr_t>(&rt::NotifySystem),
                              0);
}

// Calls a core command as program code does, with a zeroed result record.
inline rt::ArgInfo Call(rt::CommandEntry entry, std::initializer_list<rt::ArgInfo> args) {
    StartCoreLibrary();
    rt::ArgInfo list[8] = {};
    int n = 0;
    for (const rt::ArgInfo& a : args) list[n++] = a;
    rt::ArgInfo result{};
    entry(&result, n, list);
    return result;
}

// The text a command returned, freed; "<null>" for the null text.
inline std::string TakeText(const rt::ArgInfo& result) {
    char* text = rt::ArgPtr<char>(result);
    if (!text) return "<null>";
    std::string s = text;
    rt::SvcFree(text);
    return s;
}

}  // namespace core_test
