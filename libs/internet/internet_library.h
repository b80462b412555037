// The internet library: HttpReadFile, the library's state and its descriptor.
//
// Invariants:
//  1. One InternetLibraryState per process, built at static initialisation; its session is used
//     by one thread at a time (the monitor's worker).
//  2. The pool switch is on: a body read into a 512-byte slot with its header (504 bytes or
//     fewer) stays in the library's small-block pool until it is copied into its value.
#pragma once

#include <cstdint>

#include "libs/internet/http_session.h"
#include "runtime/registry.h"
#include "runtime/value.h"

namespace inet {

extern const rt::LibraryDescriptor kInternetLibrary;

void HttpReadFile(rt::ArgInfo* result, std::int32_t count, rt::ArgInfo* args);
std::intptr_t Notify(std::int32_t code, std::uintptr_t first, std::uintptr_t second);

// The library's small-block pool (invariant 2), its working storage and its small bodies'.
rt::SmallBlockPool& Pool();

struct InternetLibraryState {
    HttpSession http{Pool()};
    bool winsockStarted = false;  // the start-up at load succeeded (version 1.1)
    InternetLibraryState();
};

InternetLibraryState& State();

}  // namespace inet
