// Child processes for tests on Windows (and under wine): CreateProcess with inherited handles.
#include "support/child.h"

#include <windows.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace testing_support {

// The handle is never inherited: a child that another thread starts meanwhile must not hold
// the file open for writing (webmon refuses a web.txt that another process writes).
void WriteFile(const std::string& path, const std::string& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
}

std::string HostPath(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        std::string windows = "Z:" + path;
        for (char& c : windows) {
            if (c == '/') c = '\\';
        }
        return windows;
    }
    return path;
}

void detail::Run(const std::string& program, const std::vector<std::string>& args,
                 const ChildOptions& options, const ChildFiles& files,
                 std::chrono::steady_clock::time_point start, ChildResult* into) {
    ChildResult& result = *into;
    const std::string &inPath = files.in, &outPath = files.out, &errPath = files.err;
    // A child inherits every inheritable handle of the moment: the handles of one start, made
    // and closed under this lock, never reach a child that another thread starts.
    static std::mutex starting;
    std::unique_lock<std::mutex> hold(starting);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in = nullptr, inWrite = nullptr;
    const bool piped = options.holdInputOpen || options.closeInputAfter > 0;
    if (options.inputClosed) {
        in = nullptr;  // GetStdHandle's answer in the child: no standard input
    } else if (piped) {
        CreatePipe(&in, &inWrite, &inherit, 1 << 16);
        SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    } else {
        in = CreateFileA(inPath.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0,
                         nullptr);
    }
    HANDLE out = nullptr, outRead = nullptr;
    if (options.output.piped) {
        CreatePipe(&outRead, &out, &inherit, 1 << 16);  // as much as a pipe holds on Linux
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    } else {
        out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                          0, nullptr);
    }
    HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    const std::string path = HostPath(program);
    std::string commandLine = "\"" + path + "\"";
    for (const std::string& a : args) commandLine += " \"" + a + "\"";
    std::string environment;
    if (!options.env.empty()) {
        for (char* e = GetEnvironmentStringsA(); *e; e += std::strlen(e) + 1) {
            if (detail::Overridden(e, options.env)) continue;
            environment += e;
            environment.push_back('\0');
        }
        for (const std::string& e : options.env) {
            environment += e;
            environment.push_back('\0');
        }
        environment.push_back('\0');
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    BOOL ok = FALSE;
    if (options.wideProgram.empty()) {
        ok = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                            environment.empty() ? nullptr : environment.data(),
                            options.workDir.empty() ? nullptr : options.workDir.c_str(), &si, &pi);
    } else {
        STARTUPINFOW wide{};
        wide.cb = sizeof wide;
        wide.dwFlags = si.dwFlags;
        wide.hStdInput = in;
        wide.hStdOutput = out;
        wide.hStdError = err;
        std::wstring line = L"\"" + options.wideProgram + L"\"";
        ok =
            CreateProcessW(options.wideProgram.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                           environment.empty() ? nullptr : environment.data(), nullptr, &wide, &pi);
    }
    if (in) CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    hold.unlock();
    std::thread reader;
    std::atomic<bool> ended{false};
    if (outRead) {  // the reader owns the pipe's end, and closes it when it leaves
        reader = std::thread([&, from = outRead] {
            ReadOutput(
                options.output, outPath, start, ended,
                [from](char* into, std::size_t size) {
                    DWORD got = 0;
                    return ::ReadFile(from, into, static_cast<DWORD>(size), &got, nullptr)
                               ? static_cast<long>(got)
                               : -1L;
                },
                &result);
            CloseHandle(from);
        });
    }
    const auto since = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (ok && options.closeInputAfter > 0) {
        if (options.writeInputAfter > 0) {
            WaitForSingleObject(pi.hProcess, static_cast<DWORD>(options.writeInputAfter * 1000));
        }
        DWORD written = 0;
        ::WriteFile(inWrite, options.input.data(), static_cast<DWORD>(options.input.size()),
                    &written, nullptr);
        // Until the input's end is due, or every watched text has appeared (when that ends it).
        while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
            const bool all = detail::Watch(outPath, options, since(), &result);
            if ((all && options.closeInputOnceSeen) || since() >= options.closeInputAfter) break;
        }
        CloseHandle(inWrite);
        inWrite = nullptr;
    }
    if (ok) {
        DWORD waited = WAIT_TIMEOUT;
        while (waited == WAIT_TIMEOUT && since() < options.timeoutSeconds) {
            waited = WaitForSingleObject(pi.hProcess, 20);
            detail::Watch(outPath, options, since(), &result);
        }
        if (waited != WAIT_OBJECT_0) {
            result.timedOut = true;
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, INFINITE);
        }
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        result.exitCode = static_cast<int>(code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (inWrite) CloseHandle(inWrite);
    ended.store(true);
    if (reader.joinable()) reader.join();
}

struct RunningChild::Output {
    std::mutex lock;
    std::string bytes;
    std::thread reader;
};

RunningChild::RunningChild(const std::string& program, const ChildOptions& options)
    : output_(new Output) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outWrite = nullptr, inRead = nullptr;
    if (!CreatePipe(&outputRead_, &outWrite, &inherit, 0)) return;
    SetHandleInformation(outputRead_, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = static_cast<HANDLE>(options.consoleInput);
    if (!input) {
        if (!CreatePipe(&inRead, &inputWrite_, &inherit, 0)) return;
        SetHandleInformation(inputWrite_, HANDLE_FLAG_INHERIT, 0);
        input = inRead;
    }
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = input;
    start.hStdOutput = outWrite;
    start.hStdError = outWrite;
    PROCESS_INFORMATION child{};
    const std::string path = HostPath(program);
    const std::string folder = options.workDir.empty() ? "" : HostPath(options.workDir);
    if (CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, TRUE,
                       options.newProcessGroup ? CREATE_NEW_PROCESS_GROUP : 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &start, &child)) {
        process_ = child.hProcess;
        id_ = child.dwProcessId;
        CloseHandle(child.hThread);
    }
    CloseHandle(outWrite);
    if (inRead) CloseHandle(inRead);
    Output* output = output_;
    HANDLE from = outputRead_;
    output_->reader = std::thread([output, from] {
        char piece[4096];
        DWORD got = 0;
        while (::ReadFile(from, piece, sizeof piece, &got, nullptr) && got > 0) {
            std::lock_guard<std::mutex> hold(output->lock);
            output->bytes.append(piece, got);
        }
    });
}

RunningChild::~RunningChild() {
    if (inputWrite_) CloseHandle(inputWrite_);
    if (process_) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
    }
    if (output_->reader.joinable()) output_->reader.join();  // the pipe ends with the child
    if (outputRead_) CloseHandle(outputRead_);
    if (process_) CloseHandle(process_);
    delete output_;
}

bool RunningChild::Saw(const std::string& text, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(output_->lock);
            if (output_->bytes.find(text) != std::string::npos) return true;
        }
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void RunningChild::WriteInput(const std::string& bytes) {
    DWORD written = 0;
    if (inputWrite_)
        ::WriteFile(inputWrite_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void RunningChild::EndInput() {
    if (inputWrite_) CloseHandle(inputWrite_);
    inputWrite_ = nullptr;
}

bool RunningChild::Ended(double seconds, unsigned long* code) {
    if (!process_ ||
        WaitForSingleObject(process_, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD exit = 0;
    GetExitCodeProcess(process_, &exit);
    *code = exit;
    return true;
}

}  // namespace testing_support
