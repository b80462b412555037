// Runs the console commands in a process of their own for console_test. argv[1] is the mode.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>

#include "libs/core/core_library.h"
#include "platform/platform.h"
#include "runtime/errors.h"
#include "runtime/registry.h"

namespace {

using namespace rt;

void Output(std::initializer_list<ArgInfo> args) {
    ArgInfo list[8] = {};
    int n = 0;
    for (const ArgInfo& a : args) list[n++] = a;
    ArgInfo result{};
    core::StandardOutput(&result, n, list);
}

char* Input(int count, ArgInfo flag) {
    ArgInfo result{};
    core::StandardInput(&result, count, &flag);
    return ArgPtr<char>(result);
}

std::string Hex(const char* text) {
    std::string out;
    char two[3];
    for (const char* p = text ? text : ""; *p; ++p) {
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(*p));
        out += two;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
#ifndef _WIN32
    // "journal": standard output named as the journal's stream, as systemd names it for a
    // service; "elsewhere": the variable names standard input's file, not standard output's.
    struct stat named {};
    if ((mode == "journal" || mode == "elsewhere") &&
        fstat(mode == "journal" ? 1 : 0, &named) == 0) {
        const std::string stream =
            std::to_string(named.st_dev) + ":" + std::to_string(named.st_ino);
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
    }
#endif
    plat::InitProcess();
    core::kCoreLibrary.notify(kLibStart, reinterpret_cast<std::uintptr_t>(&NotifySystem), 0);
    if (mode == "output") {
        Output({NoArg(), TextArg("a"), IntArg(60), TextArg("b"), TextArg("\r\n")});
        Output({IntArg(2), TextArg("to error"), IntArg(-5)});
        Output({IntArg(0), TextArg("d0 ")});
        Output({IntArg(1), TextArg("d1 ")});
        Output({IntArg(3), TextArg("d3 ")});
        Output({IntArg(4), TextArg("d4\r\n")});  // a failure's line: standard output too
        Output({NoArg()});
        Output({});
        unsigned char bin[] = {1, 0, 0, 0, 1, 0, 0, 0, 'z'};
        Output({NoArg(), DoubleArg(0.1), TextArg(" "), MakeArg(kTagLogical, 1),
                MakeArg(kTagLogical, 0), BinArg(bin), TextArg(nullptr), TextArg("|\r\n")});
    } else if (mode == "echo") {
        // Every line as [text] and its bytes in hex, until the end of input; then two more reads.
        // argv[2], when given: milliseconds of work between two reads (a program that does more
        // than answer its input).
        const int pause = argc > 2 ? std::atoi(argv[2]) : 0;
        for (;;) {
            char* line = Input(1, NoArg());
            if (!line) break;
            Output({NoArg(), TextArg("["), TextArg(line), TextArg("] ")});
            std::printf("%s\n", Hex(line).c_str());
            std::fflush(stdout);
            SvcFree(line);
            if (pause > 0) plat::Sleep(static_cast<std::uint32_t>(pause));
        }
        char* again = Input(0, NoArg());
        char* third = Input(1, MakeArg(kTagLogical, 1));
        std::printf("end %s %s\n", again ? "text" : "null", third ? "text" : "null");
    } else if (mode == "keys") {
        char* line = Input(1, MakeArg(kTagLogical, 0));
        std::printf("keys [%s] %s\n", line ? line : "", Hex(line).c_str());
    } else if (mode == "journal" || mode == "elsewhere") {
        // A result line, a failure's, one that looks like a priority, one in three writes, one
        // with a password.
        Output({NoArg(), TextArg("Success\xA3\xA1http://a/\r\n")});
        Output({IntArg(4), TextArg("Faild\xA3\xA1http://b/\r\n")});
        Output({NoArg(), TextArg("<3>x\nlf\r\n")});
        Output({IntArg(4), TextArg("cut "), TextArg("in ")});
        Output({NoArg(), TextArg("three\r\n")});
        Output({IntArg(4), TextArg("Faild\xA3\xA1http://u:secret@c/\r\n")});
    } else if (mode == "linekeys") {
        // A line, keys without echo, a line, each asked for with a prompt ("line1> ").
        const char* names[] = {"line1", "keys", "line2"};
        for (const char* name : names) {
            const bool keys = std::string(name) == "keys";
            std::printf("%s> ", name);
            std::fflush(stdout);
            char* got = keys ? Input(1, MakeArg(kTagLogical, 0)) : Input(0, NoArg());
            std::printf("%s=[%s]\n", name, got ? got : "(null)");
            std::fflush(stdout);
            SvcFree(got);
        }
    } else if (mode == "hold") {
        Output({NoArg(), TextArg("written before the end\r\n")});
        char* line = Input(1, NoArg());  // input is held open: the test ends the process
        SvcFree(line);
    }
    std::fflush(stdout);
    plat::ExitProcess(0);
}
