// Runs a program in a child process with its standard streams redirected, for tests that
// need a whole process: exit codes, console bytes, the end of input. One file a platform
// (child_posix.cpp, child_win32.cpp) starts and waits; child.cpp holds what they share.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct ChildResult {
    int exitCode = -1000;  // as the parent sees it (255 for -1 on Linux, 0xFFFFFFFF as -1)
    bool timedOut = false;
    double seconds = 0;          // wall time until the child ended
    std::string out;             // standard output bytes
    std::string err;             // standard error bytes
    std::vector<double> seenAt;  // per ChildOptions::watch: seconds from the start, -1: never
    double lastReadAt = -1;      // ChildOptions::output: when the reader last took bytes
    double leftAt = -1;          // and when it left (closed its end), -1: never
};

// Standard output as a pipe that a reader of the test's reads into ChildResult::out (a file
// otherwise). It takes piece bytes (0: all the pipe holds) every `every` seconds; it stops
// reading after stopsAfter seconds, and leaves, closing its end, after leavesAfter seconds or
// once leavesOnceSeen has come in leavesOnceCount times, whichever is first.
struct OutputReader {
    bool piped = false;
    std::size_t piece = 0;
    double every = 0;
    double stopsAfter = 1e9;
    double leavesAfter = 1e9;
    std::string leavesOnceSeen;
    int leavesOnceCount = 1;
};

struct ChildOptions {
    std::string input;           // bytes on standard input
    bool holdInputOpen = false;  // true: input never ends while the child runs
    bool inputClosed = false;    // true: no standard input at all (Linux: descriptor 0 closed;
                                 // Windows: a null standard input handle)
    double closeInputAfter = 0;  // > 0: input is written at once, its end comes after this long
    double writeInputAfter = 0;  // with closeInputAfter: the input is written this long after
                                 // the start instead of at once
    double timeoutSeconds = 20;
    std::vector<std::string> env;  // extra NAME=value entries
    std::string workDir;           // empty: the parent's
    // Windows: the program by its wide name, one that the ANSI code page cannot hold (program,
    // args and workDir are then not used).
    std::wstring wideProgram;
    OutputReader output;
    // Texts looked for in the output as it comes: when each first appeared is in
    // ChildResult::seenAt. With closeInputOnceSeen, the input ends once all have appeared
    // (closeInputAfter, when set, is then the latest it ends).
    std::vector<std::string> watch;
    bool closeInputOnceSeen = false;
    // RunningChild on Windows: standard input is this console (a CONIN$ handle) rather than a
    // pipe; and the child is a process group of its own (CREATE_NEW_PROCESS_GROUP), as a
    // console's control events need.
    void* consoleInput = nullptr;
    bool newProcessGroup = false;
};

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options = {});

#ifdef _WIN32
// A child left running while the test acts on it (types into its console, sends it messages,
// ends it one way or another): its standard output and error go to one pipe, read as they come.
// Its input is ChildOptions::consoleInput, or a pipe the test writes and ends. Whatever the test
// does, the child does not outlive the object.
class RunningChild {
public:
    RunningChild(const std::string& program, const ChildOptions& options);
    ~RunningChild();
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;

    bool Started() const { return process_ != nullptr; }
    unsigned long Id() const { return id_; }
    void* Process() const { return process_; }
    // True once text is in the output, within seconds.
    bool Saw(const std::string& text, double seconds);
    void WriteInput(const std::string& bytes);  // to the piped input
    void EndInput();                            // the piped input's end
    // True when the child ended within seconds; its exit code then in *code.
    bool Ended(double seconds, unsigned long* code);

private:
    void* process_ = nullptr;
    unsigned long id_ = 0;
    void* inputWrite_ = nullptr;
    void* outputRead_ = nullptr;
    struct Output;
    Output* output_ = nullptr;
};
#endif

namespace detail {
// The files of one RunChild: the input written ahead, the output and error as the child
// writes them.
struct ChildFiles {
    std::string in, out, err;
};
// The platform's part of RunChild: starts the child on those files, feeds and ends its input
// as the options say, waits for it; fills the result's exit code, time-out and watch.
void Run(const std::string& program, const std::vector<std::string>& args,
         const ChildOptions& options, const ChildFiles& files,
         std::chrono::steady_clock::time_point start, ChildResult* result);
// The reader of OutputReader, on a thread of the platform's part: reads through read (bytes
// read, 0 or less at the end) into outPath until the child has ended (ended) or the reader
// leaves; the caller then closes its end. Sets result's lastReadAt and leftAt.
using ReadCall = std::function<long(char* into, std::size_t size)>;
void ReadOutput(const OutputReader& how, const std::string& outPath,
                std::chrono::steady_clock::time_point start, const std::atomic<bool>& ended,
                const ReadCall& read, ChildResult* result);
// True when entry ("NAME=value") names a variable that one of the extra entries sets.
bool Overridden(const std::string& entry, const std::vector<std::string>& extra);
// While a child runs: what its output (in outPath) shows of the watched texts, recorded in
// result.seenAt; true when every one has appeared.
bool Watch(const std::string& outPath, const ChildOptions& options, double secondsSinceStart,
           ChildResult* result);
}  // namespace detail

// A fresh empty directory for one test; removed by the caller with RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string& dir);
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// A path of the build host as this process sees it (drive Z: under wine).
std::string HostPath(const std::string& path);

}  // namespace testing_support
