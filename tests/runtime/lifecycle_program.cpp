// A small program of the runtime's own: its header, entry routine and one library, run in a
// child process by lifecycle_test. argv[1] picks what it does; it reports through stdout.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/context.h"
#include "runtime/errors.h"
#include "runtime/service_table.h"

namespace {

using namespace rt;

std::string g_mode;
int g_argument = 0;

void Say(const std::string& text) {
    plat::ConsoleWrite(plat::Stream::Output, (text + "\n").c_str());
}

// ---- The test library ------------------------------------------------------------------------
NotifySystemFn g_system = nullptr;

void Twice(ArgInfo* result, std::int32_t count, ArgInfo* args) {
    SetArgInt(*result, count > 0 ? 2 * ArgInt(args[0]) : -1);
}
void Greeting(ArgInfo* result, std::int32_t, ArgInfo*) {
    static const char kHello[] = "hello";
    auto* text = reinterpret_cast<char*>(g_system(kSysAlloc, sizeof kHello, 0));
    std::memcpy(text, kHello, sizeof kHello);
    SetArgPtr(*result, text);
}
void Nothing(ArgInfo*, std::int32_t, ArgInfo*) {}

std::intptr_t TestNotify(std::int32_t code, std::uintptr_t first, std::uintptr_t) {
    if (code == kLibStart) {
        g_system = reinterpret_cast<NotifySystemFn>(first);
        Say("library start");
        return 0;
    }
    if (code == kLibEnd) {
        Say("library end " + std::to_string(first));
        return 0;
    }
    return -1;
}

const CommandEntry kCommands[] = {Twice, Greeting, Nothing};
const LibraryDescriptor kTestLibrary = {
    kLibraryFormatVersion,
    "00112233445566778899AABBCCDDEEFF",
    1,
    0,
    0,
    {},
    "test",
    1,
    0,
    0,
    {},
    0,
    nullptr,
    {},
    3,
    0,
    kCommands,
    {},
    TestNotify,
    {},
};
// A library without a notify function: never started, never ended, still callable.
const LibraryDescriptor kSilentLibrary = {
    kLibraryFormatVersion,
    "FFEEDDCCBBAA99887766554433221100",
    1,
    0,
    0,
    {},
    "silent",
    1,
    0,
    0,
    {},
    0,
    nullptr,
    {},
    3,
    0,
    kCommands,
    {},
    nullptr,
    {},
};
const LibraryDescriptor* const kLibraries[] = {&kTestLibrary, &kSilentLibrary};

struct Constants {
    char emptyText[1];
    std::int32_t emptyBin[2];
    char word[6];
};
const Constants kConstants = {"", {1, 0}, "words"};

void CleanupA() { Say("cleanup A"); }
void CleanupB() { Say("cleanup B"); }

std::uint32_t FailingWorker(std::uintptr_t code) {
    plat::Sleep(300);
    kServices.reportError(static_cast<std::int32_t>(code));
    return 0;
}

// Ways out that pass by the runtime: an exception that nobody catches, and abort.
std::uint32_t ThrowingWorker(std::uintptr_t) {
    plat::Sleep(300);
    throw std::runtime_error("nobody catches this");
}
std::uint32_t AbortingWorker(std::uintptr_t) {
    plat::Sleep(300);
    std::abort();
}
std::uint32_t CrashingWorker(std::uintptr_t) {
    plat::Sleep(300);
    volatile std::uintptr_t nowhere = 16;  // no page is mapped there
    *reinterpret_cast<volatile int*>(nowhere) = 1;
    return 0;
}
// Holds the console's mode changed while the other thread ends the process: a key read (the
// terminal without echo on Linux; QuickEdit is off on Windows the whole time).
std::uint32_t KeyReader(std::uintptr_t) {
    plat::ConsoleReadKey();
    return 0;
}

void ShowBoxOnStderr(const char* text, const char* caption) {
    std::fprintf(stderr, "[%s]%s", caption, text);
    std::fflush(stderr);
}

// A box that the user leaves up for a while.
void ShowBoxSlowly(const char* text, const char* caption) {
    ShowBoxOnStderr(text, caption);
    Say("box up");
    plat::Sleep(2000);
}

std::int32_t Entry() {
    kServices.notify(kNotifyInitRuntime, 0, 0, 0, 0);
    Say("entry");
    kServices.notify(kNotifyCleanup, reinterpret_cast<std::uintptr_t>(&CleanupA), 0, 0, 0);
    kServices.notify(kNotifyCleanup, reinterpret_cast<std::uintptr_t>(&CleanupB), 0, 0, 0);
    kServices.notify(kNotifyCleanup, reinterpret_cast<std::uintptr_t>(&CleanupA), 0, 0, 0);

    if (g_mode == "life") {
        ArgInfo args[] = {IntArg(21)};
        ArgInfo r = kServices.callLibraryCommand(kCommands[0], 1, args, 0);
        Say("twice " + std::to_string(ArgInt(r)) + " tag " + std::to_string(r.tag));
        r = kServices.callCoreCommand(kCommands[1], 0, args);
        char* text = ArgPtr<char>(r);
        Say(std::string("greeting ") + text);
        kServices.free(text);
        r = kServices.callCoreCommand(kCommands[2], 0, nullptr);
        Say("nothing " + std::to_string(ArgBits(r)) + " " + std::to_string(r.tag));
        // The constant block is the runtime's to recognise: freeing a constant leaves it be.
        kServices.free(const_cast<char*>(kConstants.word));
        Say(std::string("constant ") + kConstants.word);
        Say("directory set " + std::string(plat::SetCurrentDirectory(".") ? "yes" : "no"));
    } else if (g_mode == "error-main") {
        plat::SetErrorBoxSeam(ShowBoxOnStderr);
        kServices.reportError(g_argument);
    } else if (g_mode == "error-main-real") {
        kServices.reportError(g_argument);
    } else if (g_mode == "fatal-text") {
        plat::SetErrorBoxSeam(ShowBoxOnStderr);
        g_system(kSysFatalError, reinterpret_cast<std::uintptr_t>("library says no"), 0);
    } else if (g_mode == "alloc-fail") {
        plat::SetErrorBoxSeam(ShowBoxOnStderr);
        kServices.alloc(-1);
    } else if (g_mode == "container-fail") {
        plat::SetErrorBoxSeam(ShowBoxOnStderr);
        // A nothrow new still answers null, and the program goes on.
        char* none = new (std::nothrow) char[std::vector<char>().max_size()];
        Say(none ? "nothrow block" : "nothrow null");
        std::vector<char> lines;
        lines.reserve(lines.max_size());
        Say("reserved");
    } else if (g_mode == "exit") {
        kServices.exit(g_argument);
    } else if (g_mode == "throw-main") {
        plat::CloseThreadHandle(plat::CreateThread(KeyReader, 0));
        plat::Sleep(300);
        throw std::runtime_error("nobody catches this");
    } else if (g_mode == "throw-worker" || g_mode == "abort-worker" || g_mode == "error-key" ||
               g_mode == "crash-worker" || g_mode == "key") {
        // The main thread waits for a key while another thread ends the process ("key": nothing
        // else happens).
        plat::SetErrorBoxSeam(ShowBoxOnStderr);
        const plat::ThreadRoutine worker = g_mode == "throw-worker"   ? ThrowingWorker
                                           : g_mode == "abort-worker" ? AbortingWorker
                                           : g_mode == "crash-worker" ? CrashingWorker
                                           : g_mode == "error-key"    ? FailingWorker
                                                                      : nullptr;
        if (worker) plat::CloseThreadHandle(plat::CreateThread(worker, 1));
        plat::ConsoleReadKey();
        Say("key read");
    } else if (g_mode == "error-worker" || g_mode == "error-worker-input-ends") {
        // The input never ends, or ends while the worker's box is still up.
        plat::SetErrorBoxSeam(g_mode == "error-worker" ? ShowBoxOnStderr : ShowBoxSlowly);
        plat::ThreadHandle t =
            plat::CreateThread(FailingWorker, static_cast<std::uintptr_t>(g_argument));
        plat::CloseThreadHandle(t);
        char line[100];
        while (plat::ConsoleReadLine(line, sizeof line)) {}
        Say("input ended");
    }
    kServices.endProgram();
    return 0;
}

const ProgramHeader kHeader = {
    3, 0, 0x0001001E, nullptr, &kConstants, sizeof kConstants, nullptr,
    0, 2, kLibraries, 0,       nullptr,     nullptr,
};

}  // namespace

int main(int argc, char** argv) {
    g_mode = argc > 1 ? argv[1] : "life";
    g_argument = argc > 2 ? std::atoi(argv[2]) : 0;
    plat::InitProcess();
    StartupStep(kHeader, Entry);
    std::int32_t code = ExitStep();
    Say("exit step " + std::to_string(code));
    ShutdownRuntime(0);  // a second run: nothing is repeated
    Say("second shutdown done");
    plat::ExitProcess(code);
}
