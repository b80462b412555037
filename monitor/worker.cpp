// The worker loop: request every address once per pass, report, wait.
#include "libs/core/core_library.h"
#include "libs/internet/internet_library.h"
#include "monitor/calls.h"
#include "monitor/program.h"

namespace monitor {

using namespace rt;

std::int32_t PeriodToMilliseconds(std::int32_t seconds) {
    const std::int64_t ms = TruncateToInt64(static_cast<double>(seconds) * 1000.0);
    if (ms > INT32_MAX) return INT32_MAX;
    if (ms < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(ms);
}

void WorkerRoutine() {
    WaitMilliseconds = PeriodToMilliseconds(Period);
    for (;;) {
        LineIndex = FirstAddressLine;
        while (LineIndex <= LineCount) {
            const char* line = CheckedTextElement(UrlLines, LineIndex);
            if (CompareTexts(line, EmptyText()) == 0) {
                Print(kConstants.emptyLine.data());
            } else {
                ArgInfo fetchArgs[] = {TextArg(line)};
                BinValue body = ArgPtr<void>(kServices.callLibraryCommand(
                    inet::HttpReadFile, 1, fetchArgs, kInternetPosition));
                ArgInfo textArgs[] = {BinArg(body ? body : EmptyBin())};
                TextValue content = ArgPtr<char>(Core(core::ToText, 1, textArgs));
                kServices.free(body);
                const bool failed = CompareTexts(content, EmptyText()) == 0;
                kServices.free(content);
                TextValue result =
                    Concat(failed ? kConstants.faild.data() : kConstants.success.data(), line,
                           kConstants.lineBreak.data());
                (failed ? PrintFailure : Print)(result);
                kServices.free(result);
            }
            ++LineIndex;
        }
        ArgInfo passArgs[] = {IntArg(PassNumber)};
        TextValue digits = ArgPtr<char>(Core(core::ToText, 1, passArgs));
        TextValue closing =
            Concat(kConstants.accomplished.data(), digits, kConstants.lineBreak.data());
        kServices.free(digits);
        Print(closing);
        kServices.free(closing);
        ++PassNumber;
        ArgInfo delayArgs[] = {IntArg(WaitMilliseconds)};
        Core(core::Delay, 1, delayArgs);
    }
}

}  // namespace monitor
