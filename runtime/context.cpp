// Start-up and shutdown of the runtime around the program.
#include "runtime/context.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "runtime/errors.h"

namespace rt {
namespace {

const ProgramHeader* g_header = nullptr;  // set by StartupStep, read by InitRuntime

// 取程序所在目录失败! (the program's own folder could not be had), GBK.
constexpr char kNoProgramDirectory[] =
    "\xC8\xA1\xB3\xCC\xD0\xF2\xCB\xF9\xD4\xDA\xC4\xBF\xC2\xBC\xCA\xA7\xB0\xDC!";

// The no-op provider of the component hooks: every lookup finds nothing.
std::intptr_t NoOpOpen(ComponentHook*) { return 0; }
void* NoOpLookup(const char*) { return nullptr; }
void NoOpClose(ComponentHook*) {}

void SetHook(ComponentHook& slot, std::intptr_t (*open)(ComponentHook*),
             void* (*lookup)(const char*), void (*close)(ComponentHook*)) {
    if (!slot.open && slot.close) slot.close(&slot);  // an opened slot is closed first
    if (open && lookup) {
        slot = {open, lookup, close};
    } else {
        slot = {};
    }
}

// A runtime-owned copy of s that is never null: "" is kept as a one-byte block, so that readers
// never meet null. (CopyText, for values handed to program code, gives null for "".)
TextValue NeverNullCopy(const std::string& s) {
    std::int32_t bytes = 0;
    if (!TextBlockSize(s.size(), &bytes)) {
        ReportAllocFailure(static_cast<std::int64_t>(s.size()) + 1);
    }
    char* out = static_cast<char*>(SvcAlloc(bytes));
    std::memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

// The main thread's handler of the hidden window's exit request.
void OnExitRequest(std::int32_t code) { SvcExit(code); }

}  // namespace

RuntimeContext::RuntimeContext() { plat::InitializeCriticalSection(&section); }
RuntimeContext::~RuntimeContext() {
    ShutdownRuntime(0);
    plat::DeleteCriticalSection(&section);
}

RuntimeContext& Context() {
    // Never destroyed: the process ends through plat::ExitProcess, which runs no static
    // destructors, and a worker thread may still read the context while it ends. Built in
    // place, not on the heap: a failed allocation reports through the context, so building it
    // must allocate nothing (its members start empty).
    alignas(RuntimeContext) static unsigned char storage[sizeof(RuntimeContext)];
    static RuntimeContext* context = new (storage) RuntimeContext();
    return *context;
}

void* LookupComponent(int slot, const char* name) {
    ComponentHook& hook = Context().hooks[slot];
    if (auto open = hook.open) {
        hook.open = nullptr;
        if (open(&hook) == 0) {
            hook.lookup = nullptr;
            hook.close = nullptr;
        }
    }
    return hook.lookup ? hook.lookup(name) : nullptr;
}

void SetComponentHook(int slot, std::intptr_t (*open)(ComponentHook*), void* (*lookup)(const char*),
                      void (*close)(ComponentHook*)) {
    SetHook(Context().hooks[slot], open, lookup, close);
}

bool InConstantPool(const void* address) {
    const RuntimeContext& ctx = Context();
    const auto* p = static_cast<const unsigned char*>(address);
    const unsigned char* start = ctx.poolStart.load();
    return start && p >= start && p < ctx.poolEnd.load();
}

// A path's lead bytes are the file system's (plat::IsPathLeadByte), not the GBK rule of texts
// (StartsDoubleByte): on Linux, file names are UTF-8 and a GBK step would swallow the
// separator after a character.
void SplitExecutablePath(const char* path, std::string* directory, std::string* fileName) {
    const char* last = nullptr;
    for (const char* p = path; *p; ++p) {
        if (plat::IsPathLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;  // a trail byte is never a separator
        } else if (*p == '\\') {
            last = p;
        }
    }
    if (!last) {
        *directory = "";
        *fileName = path;
    } else {
        directory->assign(path, static_cast<std::size_t>(last - path));
        *fileName = last + 1;
    }
}

std::string JoinPath(const char* directory, const std::string& name) {
    return std::string(directory ? directory : "") + "\\" + name;
}

std::int32_t StartupStep(const ProgramHeader& header, ProgramEntryFn entry) {
    RuntimeContext& ctx = Context();
    g_header = &header;
    std::string path = plat::ExecutablePath();
    std::string directory, fileName;
    SplitExecutablePath(path.c_str(), &directory, &fileName);
    SvcFree(ctx.moduleDirectory);
    ctx.moduleDirectory =
        NeverNullCopy(directory.empty() ? directory : JoinPath(directory.c_str(), ""));
    SetHook(ctx.hooks[2], NoOpOpen, NoOpLookup, NoOpClose);
    return entry();
}

std::int32_t ExitStep() {
    // The main thread's end (its input ended, say) while another thread reports a fatal error,
    // its box still up, is that error's end: no cleanup routine, and -1.
    const bool fatal = plat::FatalEndUnderWay();
    if (fatal) Context().cleanupList.clear();
    ShutdownRuntime(0);
    return fatal ? -1 : 0;
}

void RunProgram(const ProgramHeader& header, ProgramEntryFn entry) {
    plat::InitProcess();
    std::int32_t result = StartupStep(header, entry);
    // A non-zero result would run the window message loop first; a console program has none.
    (void)result;
    plat::ExitProcess(ExitStep());
}

void InitRuntime() {
    RuntimeContext& ctx = Context();
    const ProgramHeader& header = *g_header;
    ctx.heap = plat::GetProcessHeap();
    ctx.programKind = header.programKind;
    ctx.headerFlags = header.headerFlags;
    ctx.idCounter = header.idBase + 1;
    if (!ctx.oleInitialized) {
        plat::OleInitialize();
        ctx.oleInitialized = true;
    }
    // Every file the program reads beside itself is found from this folder: without it, a path
    // joined to "" would name another folder's file (the root of the drive's). That ends
    // webmon as a fatal error, whose text says why.
    const std::string path = plat::ExecutablePath();
    if (path.empty()) ReportFatalError(kNoProgramDirectory, 0);
    std::string directory, fileName;
    SplitExecutablePath(path.c_str(), &directory, &fileName);
    SvcFree(ctx.programDirectory);
    SvcFree(ctx.programFileName);
    ctx.programDirectory = NeverNullCopy(directory);
    ctx.programFileName = NeverNullCopy(fileName);
    plat::SetCurrentDirectory(ctx.programDirectory);
    for (ComponentHook& hook : ctx.hooks) SetHook(hook, NoOpOpen, NoOpLookup, NoOpClose);
    ctx.hiddenOwnerWindow.store(plat::CreateHiddenOwnerWindow(OnExitRequest));
    ctx.mainThreadId.store(plat::CurrentThreadId());
    if (header.constantPoolSize > 0) {
        const auto* start = static_cast<const unsigned char*>(header.constantPoolStart);
        ctx.poolEnd.store(start + header.constantPoolSize);
        ctx.poolStart.store(start);
    }
    if (header.dllCommandCount > 0) {
        auto n = static_cast<std::size_t>(header.dllCommandCount);
        ctx.dllLibraryNames.assign(header.dllLibraryNames, header.dllLibraryNames + n);
        ctx.dllExportNames.assign(header.dllExportNames, header.dllExportNames + n);
        ctx.dllAddresses.assign(n, nullptr);
        ctx.dllModules.assign(n, nullptr);
    }
    RegisterLibraries(header.libraries, header.libraryCount);
    // Window definitions: this runtime has no window runtime; a console program's block holds
    // only a count of 0.
}

void RegisterCleanup(Routine routine) {
    auto& list = Context().cleanupList;
    if (std::find(list.begin(), list.end(), routine) == list.end()) list.push_back(routine);
}

void SvcEndProgram() {
    Context().programEnded.store(true);
    // No window of a console program is ever alive, so there is no message loop to run.
}

void SvcExit(std::int32_t code) {
    ShutdownRuntime(code);
    plat::ExitProcess(code);
}

void ShutdownRuntime(std::int32_t code) {
    RuntimeContext& ctx = Context();
    ctx.eventSuppression.fetch_add(1);
    std::uint32_t mainId = ctx.mainThreadId.load();
    if (mainId != 0 && plat::CurrentThreadId() != mainId) {
        // Hand the exit to the main thread. A console program's main thread sits in console
        // input and never retrieves window messages; then the process ends here, at once.
        plat::WindowHandle window = ctx.hiddenOwnerWindow.load();
        if (window) plat::SendExitRequest(window, code);
        if (!ctx.shutdownStarted.load()) plat::ExitProcess(code);
        return;
    }
    ctx.shutdownStarted.store(true);
    // Window runtime (idle callbacks, loaded windows): none in a console program.
    std::vector<Routine> routines;
    routines.swap(ctx.cleanupList);
    for (Routine routine : routines) {
        if (routine) routine();
    }
    EndLibraries();
    for (plat::ModuleHandle module : ctx.dllModules) {
        if (module) plat::FreeLibrary(module);
    }
    ctx.dllLibraryNames.clear();
    ctx.dllExportNames.clear();
    ctx.dllAddresses.clear();
    ctx.dllModules.clear();
    ctx.extraSearchDirectory = "";
    ctx.poolStart.store(nullptr);
    ctx.poolEnd.store(nullptr);
    if (plat::WindowHandle window = ctx.hiddenOwnerWindow.exchange(nullptr)) {
        plat::DestroyHiddenOwnerWindow(window);
    }
    if (ctx.winsockOwed) {
        plat::WsaCleanup();
        ctx.winsockOwed = false;
    }
    if (ctx.oleInitialized) {
        plat::OleUninitialize();
        ctx.oleInitialized = false;
    }
}

}  // namespace rt
