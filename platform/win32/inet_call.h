// A request's WinINet context and the waits on it: where WinINet's notices arrive (OnStatus),
// which limit a wait keeps (PhaseEnds) and how a call that answered ERROR_IO_PENDING is waited
// for (Operation). The entry points (inet.cpp) make the WinINet calls; what happens between a
// call and its answer is here, driven by notices alone, so that any order WinINet may send
// them in can be tried.
//
// Invariants:
//  1. A Call has two owners: the closing notice of its WinINet handle (HANDLE_CLOSING, the
//     handle's last) and the request's handle of webmon (or, when the open fails, the open
//     itself). It goes with the last of them, whichever order they come in. A pending call
//     reads into and sends from the Call's own storage, never the caller's, so a call cancelled
//     at its end writes into nothing that was freed or moved.
//  2. A request has at most one WinINet call pending. Each call is numbered; the callback
//     records a completion only while a call is awaited, for that call, and a waiter takes only
//     its own call's answer.
//  3. One thread uses a request at a time. Callbacks come on WinINet's threads; a completion
//     writes its answer before it publishes the call's number, which the waiter reads first.
//  4. A request's phase moves forward only (Enter), and its clock starts before the phase
//     moves: a late notice never takes it back, nor starts its clock again.
#pragma once

#include "platform/win32/win32_internal.h"
#include <wininet.h>
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fetch_phases.h"

namespace plat::win32 {

using Clock = std::chrono::steady_clock;

// The limits a request's waits keep, in milliseconds, INFINITE for none. Each is inherited
// from the parent handle, as WinINet has its options.
struct Limits {
    DWORD receiveMs = INFINITE;  // the longest silence awaiting the head and in the body
    DWORD connectMs = INFINITE;  // the longest a connection (and its TLS) may take to come up
    DWORD sendMs = INFINITE;     // the longest the request may take to go out
    DWORD headMs = INFINITE;     // the longest from the request sent to its head complete
};

// The context of a request's WinINet handle: where a pending call's answer arrives.
struct Call {
    HANDLE done = nullptr;                       // set when the awaited call completes
    std::atomic<std::uint32_t> awaited{0};       // the call waited for; 0 while none is
    std::uint32_t issued = 0;                    // numbers the request's calls, from 1
    std::atomic<std::uint32_t> answered{0};      // the call whose answer `result` holds
    INTERNET_ASYNC_RESULT result{};              // its answer
    std::atomic<Phase> phase{Phase::Idle};       // moved by Enter only
    std::atomic<Clock::rep> phaseSince{0};       // when the phase's clock last started
    std::atomic<int> owners{2};                  // the closing notice and the handle (invariant 1)
    std::atomic<bool> created{false};            // HANDLE_CREATED came: a closing notice will too
    std::atomic<bool> closed{false};             // HANDLE_CLOSING came, its share let go
    std::atomic<std::uint64_t> headBytes{0};     // received while AwaitingHead, as WinINet tells
    std::atomic<std::uint64_t> memoryAtHead{0};  // the least memory since AwaitingHead began
    std::atomic<bool> headAfterClose{false};     // closed awaiting its head, not yet let go of
    DWORD available = 0;                         // a query's count, written by WinINet
    DWORD got = 0;                               // a pending read's count, written by WinINet
    std::vector<char> block;                     // a pending read's bytes, written by WinINet
    std::string headers;                         // what a pending send sends: its headers
    std::string body;                            // and the bytes after them (none for a GET)
};

// A new Call with both its owners; null when its event cannot be made.
Call* NewCall();
// One owner of the Call lets go; the last frees it.
void LetGo(Call* call);
// The open of the Call's request failed: it lets go of the open's share, and of the closing
// notice's too when that notice neither came (HANDLE_CLOSING, which may come within the open
// before any HANDLE_CREATED) nor is to come (no HANDLE_CREATED: no handle to close).
void LetGoAfterFailedOpen(Call* call);
// The Calls not yet freed, in this process.
std::size_t CallsAlive();

// The one way a request changes phase (invariant 4).
void Enter(Call* call, Phase next);

// The status callback of every session: the Call is the context of a request's handle.
void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                       DWORD length);

// When the request's phase, as it stands, has taken its limit: max() where only the caller's
// end counts (the body, whose waits count their own silence); the clock's epoch, long past,
// for a head past kHeadBytesMax, or one that has cost the process more than kHeadMemoryMax.
// Each look at a head's cost keeps the least memory seen since it was awaited.
Clock::time_point PhaseEnds(const Limits& limits, Call* call);

// The request's WinINet handle is about to be closed. Closed while its head is awaited, the
// head's bytes should stop (InternetCloseHandle "discards any outstanding data"); wine's
// WinINet goes on receiving them, the process growing by them, until the server stops, and
// sends the closing notice only then. Until that notice, for at most headMs (the request's
// head limit) and its 16 MiB, no later head's cost can be told from the process's growth
// (HeadCostsTooMuch, inet_call.cpp).
void ClosingAwaitingHead(Call* call, DWORD headMs);
// The requests closed awaiting their heads whose closing notice has not come.
std::size_t HeadsArrivingAfterClose();

// The process's memory counters as GetProcessMemoryInfo fills them; false when it cannot. A
// wait for a head looks at them every kMemoryLookMs. Tests set their own, to answer as another
// Windows does; null: the process's.
using MemoryCounters = bool (*)(PROCESS_MEMORY_COUNTERS_EX* counters);
void SetMemoryCounters(MemoryCounters counters);
constexpr DWORD kMemoryLookMs = 100;
// The process's memory in bytes, its private commit, as counters tell it: PagefileUsage, which
// Windows 7 and earlier leave at 0, or PrivateUsage, the same figure where both are filled; the
// larger of the two.
std::uint64_t CommitOf(const PROCESS_MEMORY_COUNTERS_EX& counters);

// How a call on a request ended.
enum class Waited {
    Done,      // it succeeded, at once or by its completion
    Failed,    // it failed, its error the last error
    TimedOut,  // the wait reached its end or its phase's limit with the call still pending:
               // the caller closes the request's handle, which cancels it
};

// A WinINet call on the request, numbered and awaited before it is made (invariant 2).
class Operation {
public:
    Operation(Call* call, const Limits& limits);

    // The call's outcome, as its synchronous form would give it: made is what the call returned
    // and error the last error it left, taken at the call. A call that answered
    // ERROR_IO_PENDING is waited for until `until` or its phase's limit, whichever comes first.
    Waited Outcome(BOOL made, DWORD error, Clock::time_point until);

    // Whether the call completed by a notice rather than at once.
    bool Pended() const { return pending_; }

private:
    Call* call_;
    const Limits& limits_;
    std::uint32_t number_ = 0;
    bool pending_ = false;
};

}  // namespace plat::win32
