// The program's header and constants, ProgramEntry and the start-up routine.
#include "monitor/program.h"

#include "libs/core/core_library.h"
#include "libs/internet/internet_library.h"
#include "libs/thread/thread_library.h"
#include "monitor/calls.h"
#include "monitor/list.h"

namespace monitor {

using namespace rt;

namespace {

template <std::size_t N>
constexpr Text<N> T(const char (&literal)[N]) {
    Text<N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = literal[i];
    return out;
}

const std::uint32_t kNoWindows = 0;            // window definitions: a count of 0
constexpr std::int32_t kConsoleProgram = 3;    // the program kind of a console program
constexpr std::uint32_t kIdBase = 0x0001001E;  // the id counter starts one above it

}  // namespace

constinit const ConstantBlock kConstants = {
    T(""),
    {1, 0},
    T(text::kWebTxt),
    T(text::kLineBreak),
    T(text::kBanner1),
    T(text::kBanner2),
    T(text::kEmptyFile),
    T(text::kUsage),
    T(text::kFaild),
    T(text::kSuccess),
    T(text::kEmptyLine),
    T(text::kAccomplished),
    T(text::kNoWorker),
};

const ProgramHeader kProgramHeader = {
    .programKind = kConsoleProgram,
    .headerFlags = 0,
    .idBase = kIdBase,
    .codeBase = reinterpret_cast<const void*>(&ProgramEntry),
    .constantPoolStart = &kConstants,
    .constantPoolSize = sizeof kConstants,
    .windowData = &kNoWindows,
    .windowDataSize = sizeof kNoWindows,
    .libraryCount = sizeof kLibraries / sizeof kLibraries[0],
    .libraries = kLibraries,
    .dllCommandCount = 0,
    .dllLibraryNames = nullptr,
    .dllExportNames = nullptr,
};

TextValue FileText = nullptr;
ArrayValue UrlLines = nullptr;
std::int32_t LineCount = 0;
std::int32_t PassNumber = 0;
std::int32_t Period = 0;
std::int32_t WaitMilliseconds = 0;
std::int32_t LineIndex = 0;
std::int32_t FirstAddressLine = 1;
std::atomic<bool> WorkerStarted{false};

std::int32_t ProgramEntry() {
    kServices.notify(kNotifyInitRuntime, 0, 0, 0, 0);
    InitGlobals();
    kServices.notify(kNotifyCleanup, reinterpret_cast<std::uintptr_t>(&CleanupGlobals), 0, 0, 0);
    StartupRoutine();
    kServices.endProgram();
    return 0;
}

void InitGlobals() {
    UrlLines = NewWordArray(0, kServices.alloc);  // the empty array
}

void CleanupGlobals() {
    // The worker reads FileText and UrlLines in every pass and is never stopped: once it has
    // started, they stay until the process ends a moment later.
    if (WorkerStarted.load()) return;
    kServices.free(FileText);
    FileText = nullptr;
    FreeArray(kTagText, UrlLines);
    UrlLines = nullptr;
}

std::int32_t StartupRoutine() {
    ArgInfo none[1] = {};
    TextValue directory = ArgPtr<char>(Core(core::GetRunDirectory, 0, none));
    TextValue path = Concat(directory, kConstants.webTxt.data());
    kServices.free(directory);

    ListReading list = ReadList(path);
    kServices.free(path);
    kServices.free(FileText);
    FileText = list.text;

    if (CompareTexts(OrEmpty(FileText), EmptyText()) == 0) {
        Print(kConstants.emptyFile.data());
    } else {
        FreeArray(kTagText, UrlLines);
        UrlLines = list.lines;
        LineCount = list.lineCount;
        PassNumber = 1;
        Period = list.period;
        FirstAddressLine = list.firstAddressLine;

        ArgInfo periodArgs[] = {IntArg(Period)};
        TextValue digits = ArgPtr<char>(Core(core::ToText, 1, periodArgs));
        TextValue banner = Concat(kConstants.banner1.data(), digits, kConstants.banner2.data());
        kServices.free(digits);
        Print(banner);
        kServices.free(banner);

        WorkerStarted.store(true);
        ArgInfo threadArgs[] = {
            PtrArg(kTagSubroutine, reinterpret_cast<const void*>(&WorkerThreadEntry)), NoArg(),
            NoArg()};
        ArgInfo started =
            kServices.callLibraryCommand(threadlib::StartThread, 3, threadArgs, kThreadPosition);
        // A monitor without its worker would answer the console and watch nothing, silently:
        // a worker that cannot be made ends webmon as a fatal error does.
        if (ArgInt(started) == 0) {
            kServices.notify(kNotifyFatalError,
                             reinterpret_cast<std::uintptr_t>(kConstants.noWorker.data()), 0, 0, 0);
        }
    }

    for (;;) {
        ArgInfo inputArgs[] = {NoArg()};
        TextValue line = ArgPtr<char>(Core(core::StandardInput, 1, inputArgs));
        const bool empty = CompareTexts(line, EmptyText()) == 0;
        kServices.free(line);
        if (empty) return 0;
        Print(kConstants.usage.data());
    }
}

std::uint32_t WorkerThreadEntry(std::uintptr_t) { WorkerRoutine(); }

}  // namespace monitor
