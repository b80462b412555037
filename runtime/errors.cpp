// The fatal error report: one box, then the end of the process.
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

// The messages of the runtime errors 1 to 11, GBK; each comment reads its text.
constexpr const char* kMessages[] = {
    // 1: 数组成员引用下标超出定义范围
    "\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xD2\xFD\xD3\xC3\xCF\xC2\xB1\xEA\xB3\xAC\xB3\xF6\xB6\xA8"
    "\xD2\xE5\xB7\xB6\xCE\xA7",
    // 2: 未得到所需要的数值型数据
    "\xCE\xB4\xB5\xC3\xB5\xBD\xCB\xF9\xD0\xE8\xD2\xAA\xB5\xC4\xCA\xFD\xD6\xB5\xD0\xCD\xCA\xFD"
    "\xBE\xDD",
    // 3: 引用数组成员时维数不为1且不等于该数组目前所具有的维数
    "\xD2\xFD\xD3\xC3\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xCA\xB1\xCE\xAC\xCA\xFD\xB2\xBB\xCE\xAA"
    "1\xC7\xD2\xB2\xBB\xB5\xC8\xD3\xDA\xB8\xC3\xCA\xFD\xD7\xE9\xC4\xBF\xC7\xB0\xCB\xF9\xBE\xDF"
    "\xD3\xD0\xB5\xC4\xCE\xAC\xCA\xFD",
    // 4: 数组成员引用下标必须大于等于1
    "\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xD2\xFD\xD3\xC3\xCF\xC2\xB1\xEA\xB1\xD8\xD0\xEB\xB4\xF3"
    "\xD3\xDA\xB5\xC8\xD3\xDA"
    "1",
    // 5: 数据或数组类型不匹配
    "\xCA\xFD\xBE\xDD\xBB\xF2\xCA\xFD\xD7\xE9\xC0\xE0\xD0\xCD\xB2\xBB\xC6\xA5\xC5\xE4",
    // 6: 调用DLL命令后发现堆栈错误
    "\xB5\xF7\xD3\xC3"
    "DLL\xC3\xFC\xC1\xEE\xBA\xF3\xB7\xA2\xCF\xD6\xB6\xD1\xD5\xBB\xB4\xED"
    "\xCE\xF3",
    // 7: 子语句参数未返回数据或者返回了非系统基本类型或数组型数据
    "\xD7\xD3\xD3\xEF\xBE\xE4\xB2\xCE\xCA\xFD\xCE\xB4\xB7\xB5\xBB\xD8\xCA\xFD\xBE\xDD\xBB\xF2"
    "\xD5\xDF\xB7\xB5\xBB\xD8\xC1\xCB\xB7\xC7\xCF\xB5\xCD\xB3\xBB\xF9\xB1\xBE\xC0\xE0\xD0\xCD"
    "\xBB\xF2\xCA\xFD\xD7\xE9\xD0\xCD\xCA\xFD\xBE\xDD",
    // 8: 被比较数据只能使用等于或不等于命令比较
    "\xB1\xBB\xB1\xC8\xBD\xCF\xCA\xFD\xBE\xDD\xD6\xBB\xC4\xDC\xCA\xB9\xD3\xC3\xB5\xC8\xD3\xDA"
    "\xBB\xF2\xB2\xBB\xB5\xC8\xD3\xDA\xC3\xFC\xC1\xEE\xB1\xC8\xBD\xCF",
    // 9: “多项选择”命令的索引值参数小于零或超出了所提供参数表范围
    "\xA1\xB0\xB6\xE0\xCF\xEE\xD1\xA1\xD4\xF1\xA1\xB1\xC3\xFC\xC1\xEE\xB5\xC4\xCB\xF7\xD2\xFD"
    "\xD6\xB5\xB2\xCE\xCA\xFD\xD0\xA1\xD3\xDA\xC1\xE3\xBB\xF2\xB3\xAC\xB3\xF6\xC1\xCB\xCB\xF9"
    "\xCC\xE1\xB9\xA9\xB2\xCE\xCA\xFD\xB1\xED\xB7\xB6\xCE\xA7",
    // 10: “重定义数组”命令的数组维定义参数值必须大于零或单维时大于等于零
    "\xA1\xB0\xD6\xD8\xB6\xA8\xD2\xE5\xCA\xFD\xD7\xE9\xA1\xB1\xC3\xFC\xC1\xEE\xB5\xC4\xCA\xFD"
    "\xD7\xE9\xCE\xAC\xB6\xA8\xD2\xE5\xB2\xCE\xCA\xFD\xD6\xB5\xB1\xD8\xD0\xEB\xB4\xF3\xD3\xDA"
    "\xC1\xE3\xBB\xF2\xB5\xA5\xCE\xAC\xCA\xB1\xB4\xF3\xD3\xDA\xB5\xC8\xD3\xDA\xC1\xE3",
    // 11: 所提供参数的数据类型不符合要求
    "\xCB\xF9\xCC\xE1\xB9\xA9\xB2\xCE\xCA\xFD\xB5\xC4\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xB2\xBB"
    "\xB7\xFB\xBA\xCF\xD2\xAA\xC7\xF3",
};

std::atomic<ErrorHook> g_hook{nullptr};
// The thread reporting a fatal error, 0 while none is: one report at a time. (That a fatal
// error is under way is plat::FatalEndUnderWay's to say.) An atomic, not a thread_local: a
// thread_local may itself be allocated on first use, and the heap may be what ran out.
std::atomic<std::uint32_t> g_reporter{0};
std::atomic<bool> g_hookRunning{false};  // set by the reporting thread around its hook call

}  // namespace

const char* RuntimeErrorMessage(std::int32_t code) {
    return code >= 1 && code <= 11 ? kMessages[code - 1] : nullptr;
}

void SvcReportError(std::int32_t code) {
    const char* message = RuntimeErrorMessage(code);
    ReportFatalError(message, message ? code : 0);  // an unknown code: no code, no text
}

void FormatFatalText(const char* text, std::int32_t code, char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t used = 0;
    auto append = [&](const char* part) {
        for (; *part && used + 1 < size; ++part) out[used++] = *part;
    };
    append(kBoxHead);
    if (code != 0) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%d", static_cast<int>(code));
        append(kCodePart);
        append(digits);
        append("\r\n\r\n");
    }
    if (text && text[0] != '\0') {
        append(kTextPart);
        append(text);
        append("\r\n");
    }
    out[used] = '\0';
}

std::string FatalErrorText(const char* text, std::int32_t code) {
    char box[kFatalTextSize];
    FormatFatalText(text, code, box, sizeof box);
    return box;
}

void SetErrorHook(ErrorHook hook) { g_hook.store(hook); }

void ReportFatalError(const char* text, std::int32_t code) {
    // One report at a time. A fatal error on the way out of a report (a library's end, an
    // allocation) ends the process at once rather than recurse; one inside the error hook shows
    // its box without the hook; another thread's waits for the report under way to end the
    // process.
    const std::uint32_t self = plat::CurrentThreadId();
    std::uint32_t none = 0;
    bool fromHook = false;
    if (!g_reporter.compare_exchange_strong(none, self)) {
        if (none != self) {
            for (;;) plat::Sleep(1000);
        }
        if (!g_hookRunning.load()) plat::ExitProcess(-1);
        fromHook = true;
    }
    plat::BeginFatalEnd();  // every end from now on, on any thread, is this error's -1
    RuntimeContext& ctx = Context();
    ctx.eventSuppression.fetch_add(1);
    bool handled = false;
    ErrorHook hook = g_hook.load();
    if (hook && !fromHook) {
        g_hookRunning.store(true);
        handled = hook(code, text) != 0;
        g_hookRunning.store(false);
    }
    if (!handled) {
        char box[kFatalTextSize];  // on the stack: the heap may be what ran out
        FormatFatalText(text, code, box, sizeof box);
        plat::ShowErrorBox(box, kCaption);
    }
    // The program's cleanup routines must not run after a fatal error; on the main thread the
    // list is ours to empty, on another thread the shutdown never reaches it anyway.
    if (plat::CurrentThreadId() == ctx.mainThreadId.load() || ctx.mainThreadId.load() == 0) {
        ctx.cleanupList.clear();
    }
    SvcExit(-1);
}

}  // namespace rt
