// Memory services and the fatal error report.
#include "runtime/errors.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "runtime/context.h"

namespace rt {
namespace {

// GBK texts of the error box.
constexpr char kBoxHead[] = "\xD4\xCB\xD0\xD0\xCA\xB1\xB3\xF6\xB4\xED!\r\n\r\n";  // 运行时出错!
constexpr char kCodePart[] = "\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB\xA3\xBA";          // 错误代码：
constexpr char kTextPart[] = "\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xBA";          // 错误信息：
constexpr char kCaption[] = "\xB4\xED\xCE\xF3";                                   // 错误
// 分配 %d 字节内存失败!
constexpr char kAllocFailed[] = "\xB7\xD6\xC5\xE4 %d \xD7\xD6\xBD\xDA\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC!";

constexpr const char* kMessages[] = {
    "\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xD2\xFD\xD3\xC3\xCF\xC2\xB1\xEA\xB3\xAC\xB3\xF6\xB6\xA8"
    "\xD2\xE5\xB7\xB6\xCE\xA7",
    "\xCE\xB4\xB5\xC3\xB5\xBD\xCB\xF9\xD0\xE8\xD2\xAA\xB5\xC4\xCA\xFD\xD6\xB5\xD0\xCD\xCA\xFD"
    "\xBE\xDD",
    "\xD2\xFD\xD3\xC3\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xCA\xB1\xCE\xAC\xCA\xFD\xB2\xBB\xCE\xAA"
    "1\xC7\xD2\xB2\xBB\xB5\xC8\xD3\xDA\xB8\xC3\xCA\xFD\xD7\xE9\xC4\xBF\xC7\xB0\xCB\xF9\xBE\xDF"
    "\xD3\xD0\xB5\xC4\xCE\xAC\xCA\xFD",
    "\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xD2\xFD\xD3\xC3\xCF\xC2\xB1\xEA\xB1\xD8\xD0\xEB\xB4\xF3"
    "\xD3\xDA\xB5\xC8\xD3\xDA" "1",
    "\xCA\xFD\xBE\xDD\xBB\xF2\xCA\xFD\xD7\xE9\xC0\xE0\xD0\xCD\xB2\xBB\xC6\xA5\xC5\xE4",
    "\xB5\xF7\xD3\xC3" "DLL\xC3\xFC\xC1\xEE\xBA\xF3\xB7\xA2\xCF\xD6\xB6\xD1\xD5\xBB\xB4\xED"
    "\xCE\xF3",
    "\xD7\xD3\xD3\xEF\xBE\xE4\xB2\xCE\xCA\xFD\xCE\xB4\xB7\xB5\xBB\xD8\xCA\xFD\xBE\xDD\xBB\xF2"
    "\xD5\xDF\xB7\xB5\xBB\xD8\xC1\xCB\xB7\xC7\xCF\xB5\xCD\xB3\xBB\xF9\xB1\xBE\xC0\xE0\xD0\xCD"
    "\xBB\xF2\xCA\xFD\xD7\xE9\xD0\xCD\xCA\xFD\xBE\xDD",
    "\xB1\xBB\xB1\xC8\xBD\xCF\xCA\xFD\xBE\xDD\xD6\xBB\xC4\xDC\xCA\xB9\xD3\xC3\xB5\xC8\xD3\xDA"
    "\xBB\xF2\xB2\xBB\xB5\xC8\xD3\xDA\xC3\xFC\xC1\xEE\xB1\xC8\xBD\xCF",
    "\xA1\xB0\xB6\xE0\xCF\xEE\xD1\xA1\xD4\xF1\xA1\xB1\xC3\xFC\xC1\xEE\xB5\xC4\xCB\xF7\xD2\xFD"
    "\xD6\xB5\xB2\xCE\xCA\xFD\xD0\xA1\xD3\xDA\xC1\xE3\xBB\xF2\xB3\xAC\xB3\xF6\xC1\xCB\xCB\xF9"
    "\xCC\xE1\xB9\xA9\xB2\xCE\xCA\xFD\xB1\xED\xB7\xB6\xCE\xA7",
    "\xA1\xB0\xD6\xD8\xB6\xA8\xD2\xE5\xCA\xFD\xD7\xE9\xA1\xB1\xC3\xFC\xC1\xEE\xB5\xC4\xCA\xFD"
    "\xD7\xE9\xCE\xAC\xB6\xA8\xD2\xE5\xB2\xCE\xCA\xFD\xD6\xB5\xB1\xD8\xD0\xEB\xB4\xF3\xD3\xDA"
    "\xC1\xE3\xBB\xF2\xB5\xA5\xCE\xAC\xCA\xB1\xB4\xF3\xD3\xDA\xB5\xC8\xD3\xDA\xC1\xE3",
    "\xCB\xF9\xCC\xE1\xB9\xA9\xB2\xCE\xCA\xFD\xB5\xC4\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xB2\xBB"
    "\xB7\xFB\xBA\xCF\xD2\xAA\xC7\xF3",
};

std::atomic<ErrorHook> g_hook{nullptr};
std::atomic<bool> g_hookRunning{false};

plat::HeapHandle Heap() {
    plat::HeapHandle heap = Context().heap;
    return heap ? heap : plat::GetProcessHeap();  // before InitRuntime, e.g. in unit tests
}

}  // namespace

const char* RuntimeErrorMessage(std::int32_t code) {
    return code >= 1 && code <= 11 ? kMessages[code - 1] : nullptr;
}

void* SvcAlloc(std::int32_t size) {
    void* block = plat::HeapAlloc(Heap(), static_cast<std::uint32_t>(size));
    if (!block) ReportAllocFailure(size);
    return block;
}

void* SvcRealloc(void* block, std::int32_t size) {
    if (!block) return SvcAlloc(size);
    if (InConstantPool(block)) {
        void* fresh = SvcAlloc(size);
        const auto* from = static_cast<const unsigned char*>(block);
        std::size_t left = static_cast<std::size_t>(Context().poolEnd.load() - from);
        std::size_t want = static_cast<std::uint32_t>(size);
        std::memcpy(fresh, from, want < left ? want : left);
        return fresh;
    }
    void* moved = plat::HeapReAlloc(Heap(), block, static_cast<std::uint32_t>(size));
    if (!moved) ReportAllocFailure(size);
    return moved;
}

void SvcFree(void* block) {
    if (!block || InConstantPool(block)) return;
    plat::HeapFree(Heap(), block);
}

void SvcReportError(std::int32_t code) {
    const char* message = RuntimeErrorMessage(code);
    ReportFatalError(message, message ? code : 0);  // an unknown code: no code, no text
}

std::string FatalErrorText(const char* text, std::int32_t code) {
    std::string box = kBoxHead;
    if (code != 0) {
        box += kCodePart;
        box += std::to_string(code);
        box += "\r\n\r\n";
    }
    if (text && text[0] != '\0') {
        box += kTextPart;
        box += text;
        box += "\r\n";
    }
    return box;
}

void SetErrorHook(ErrorHook hook) { g_hook.store(hook); }

void ReportFatalError(const char* text, std::int32_t code) {
    RuntimeContext& ctx = Context();
    ctx.eventSuppression.fetch_add(1);
    bool handled = false;
    ErrorHook hook = g_hook.load();
    if (hook && !g_hookRunning.exchange(true)) {
        handled = hook(code, text) != 0;
        g_hookRunning.store(false);
    }
    if (!handled) plat::ShowErrorBox(FatalErrorText(text, code).c_str(), kCaption);
    // The program's cleanup routines must not run after a fatal error; on the main thread the
    // list is ours to empty, on another thread the shutdown never reaches it anyway.
    if (plat::CurrentThreadId() == ctx.mainThreadId.load() || ctx.mainThreadId.load() == 0) {
        ctx.cleanupList.clear();
    }
    SvcExit(-1);
}

void ReportAllocFailure(std::int32_t size) {
    char message[100];
    std::snprintf(message, sizeof message, kAllocFailed, static_cast<int>(size));
    ReportFatalError(message, 0);
}

}  // namespace rt
