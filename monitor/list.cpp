// ReadList: web.txt's bytes, text, lines and period, as webmon reads them.
#include "monitor/list.h"

#include <cstring>

#include "monitor/calls.h"
#include "monitor/program.h"

namespace monitor {

using namespace rt;

namespace {
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";  // UTF-8's, at the start of a file
}  // namespace

ListReading ReadList(const char* path, BinValue* keptBytes) {
    ArgInfo readArgs[] = {TextArg(path)};
    BinValue bytes = ArgPtr<void>(Core(core::ReadFileBytes, 1, readArgs));

    ArgInfo textArgs[] = {BinArg(bytes ? bytes : EmptyBin())};
    TextValue text = ArgPtr<char>(Core(core::ToText, 1, textArgs));
    if (keptBytes) {
        *keptBytes = bytes;
    } else {
        kServices.free(bytes);
    }
    // Notepad may save web.txt with a UTF-8 byte order mark: it is no part of line 1.
    if (text && std::strncmp(text, kByteOrderMark, sizeof kByteOrderMark - 1) == 0) {
        TextValue unmarked = Concat(text + sizeof kByteOrderMark - 1);
        kServices.free(text);
        text = unmarked;
    }

    ListReading list;
    if (CompareTexts(OrEmpty(text), EmptyText()) == 0) {
        kServices.free(text);
        return list;
    }
    list.text = text;
    ArgInfo splitArgs[] = {TextArg(text), TextArg(kConstants.lineBreak.data()), NoArg()};
    list.lines = ArgPtr<void>(Core(core::SplitText, 3, splitArgs));
    list.lineCount = ArrayElementCount(list.lines);
    // A non-empty text always has a line 1.
    const std::int32_t first = FirstLineNumber(list.lines);
    list.period = first > 0 ? first : kDefaultPeriod;
    list.firstAddressLine = first > 0 ? 2 : 1;
    return list;
}

}  // namespace monitor
