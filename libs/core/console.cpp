// StandardOutput and StandardInput.
#include <cstring>

#include "libs/core/conversion.h"
#include "libs/core/core_library.h"
#include "platform/platform.h"

namespace core {

using namespace rt;

namespace {
constexpr int kLineRead = 2049;    // fgets size: up to 2048 bytes and the terminator
constexpr int kKeyReadMax = 2049;  // bytes the unechoed read stores at most
constexpr int kInputBuffer = 2052;
// StandardOutput's directions: 2 is the error stream; 4 is standard output for a line that
// reports a failure (at warning priority where that is the journal); any other, standard output.
constexpr std::int32_t kToStandardError = 2;
constexpr std::int32_t kToOutputAsWarning = 4;
constexpr int kEnterKey = 0x0D;  // the key that ends an unechoed line
}  // namespace

void StandardOutput(ArgInfo*, std::int32_t count, ArgInfo* args) {
    if (count < 1) return;
    const std::int32_t direction = args[0].tag != kTagNone ? ArgInt(args[0]) : 0;
    const plat::Stream stream = direction == kToStandardError     ? plat::Stream::Error
                                : direction == kToOutputAsWarning ? plat::Stream::OutputWarning
                                                                  : plat::Stream::Output;
    for (std::int32_t i = 1; i < count; ++i) {
        const ArgInfo& a = args[i];
        char scratch[kScratchText] = "";
        const char* text = scratch;
        if (a.tag == kTagText) {
            text = ArgPtr<const char>(a);
            if (!text) continue;
        } else if ((IsNumericTag(a.tag) && TypeTagWidth(a.tag) != 0) || a.tag == kTagLogical ||
                   a.tag == kTagDateTime) {
            ValueToText(ArgBits(a), a.tag, scratch);
        } else {
            continue;  // byte sets, subroutines, arrays, library types: nothing
        }
        plat::ConsoleWrite(stream, text);
    }
}

void StandardInput(ArgInfo* result, std::int32_t count, ArgInfo* args) {
    const bool echoed = count == 0 || args[0].tag == kTagNone || ArgLow(args[0]) == 1;
    char line[kInputBuffer];
    line[0] = '\0';
    if (echoed) {
        if (!plat::ConsoleReadLine(line, kLineRead)) line[0] = '\0';
    } else {
        int stored = 0;
        for (;;) {
            int key = plat::ConsoleReadKey();
            if (key < 0) {  // no console keyboard: what was typed so far is the line
                line[stored] = '\0';
                break;
            }
            line[stored++] = static_cast<char>(key);
            if (key == kEnterKey) {
                line[stored - 1] = '\0';
                break;
            }
            if (stored == kKeyReadMax) {
                line[stored] = '\0';
                break;
            }
        }
    }
    // Trailing control bytes go, but never the first byte: Enter alone stays "\n".
    for (std::size_t i = std::strlen(line); i > 1; --i) {
        if (static_cast<unsigned char>(line[i - 1]) >= 0x20) break;
        line[i - 1] = '\0';
    }
    SetArgPtr(*result, CopyText(line, AllocValue));
}

}  // namespace core
