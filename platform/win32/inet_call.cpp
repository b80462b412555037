// A request's WinINet context and the waits on it (see inet_call.h for its invariants).
//
// Where a request is, and which limit its waits keep. The waiter enters Connecting as it sends
// and Body once the send completes (inet.cpp); WinINet's notices move it between (OnStatus):
//   Connecting    from HttpSendRequestA: name lookup, TCP connect, and for https the TLS
//                 handshake. The connect limit, from the send, never restarted: the notices
//                 RESOLVING_NAME, CONNECTING_TO_SERVER and CONNECTED_TO_SERVER come once per
//                 address tried and move nothing. A connection taken from WinINet's pool brings
//                 no such notice; its request simply leaves Connecting at SENDING_REQUEST.
//   Sending       from SENDING_REQUEST, which comes once the connection (and its TLS) is up:
//                 the send limit.
//   AwaitingHead  from REQUEST_SENT: silence here is WinINet's to see, and its receive option
//                 keeps it (wine too). No notice tells of bytes as the head arrives (wine sends
//                 RECEIVING_RESPONSE once, before the first byte, and RESPONSE_RECEIVED after
//                 the last), so a clock of webmon's own could not tell a live head, a line at a
//                 time, from a silent one. What is kept here is a bound on the whole head: the
//                 head limit from REQUEST_SENT; kHeadBytesMax where RESPONSE_RECEIVED carries a
//                 count (no page of Microsoft's defines it as bytes: its length is checked
//                 before it is read, and it is taken as bytes where it comes); and, whatever
//                 WinINet tells, kHeadMemoryMax: the process's own memory, looked at every
//                 kMemoryLookMs of the wait, grown by more than that since REQUEST_SENT. So a
//                 head without end costs little before it fails, however fast it comes.
//   Body          from the send's completion: each wait for body bytes counts silence from its
//                 own start (inet.cpp); no other limit is consulted.
// A WinINet that sends no SENDING_REQUEST or REQUEST_SENT leaves the request in an earlier
// phase, whose limit is then the one kept: every wait still ends. (The phases are
// platform/fetch_phases.h's, named alike on both builds; Paused and Done are Linux's alone.)
#include "platform/win32/inet_call.h"

#include <algorithm>

#include "platform/check.h"

namespace plat::win32 {

namespace {

std::atomic<std::size_t> calls_alive{0};

bool ProcessCounters(PROCESS_MEMORY_COUNTERS_EX* counters) {
    counters->cb = sizeof *counters;
    return ::GetProcessMemoryInfo(::GetCurrentProcess(),
                                  reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(counters),
                                  sizeof *counters) != 0;
}
std::atomic<MemoryCounters> g_counters{ProcessCounters};

std::uint64_t MemoryNow() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    if (!g_counters.load()(&counters)) return 0;  // unknown: no bound is kept
    return CommitOf(counters);
}

// Requests closed while their head was awaited whose closing notice has not come: WinINet may
// still be receiving their heads (see ClosingAwaitingHead).
std::atomic<std::size_t> g_headsAfterClose{0};
// While such a head may still arrive, the process's growth is held against no later head, but
// not for ever, should the notice never come: until the head limit since the latest such close
// (g_exemptUntil, a steady clock's count) and below kHeadMemoryMax past the process's memory
// then (g_exemptBelow); past either, each head's growth counts again, its own from there.
std::atomic<Clock::rep> g_exemptUntil{0};
std::atomic<std::uint64_t> g_exemptBelow{0};

// Whether the process's growth, at memory, may be an earlier head's arriving after its close.
bool EarlierHeadMayGrow(std::uint64_t memory) {
    return g_headsAfterClose.load() != 0 && memory < g_exemptBelow.load() &&
           Clock::now().time_since_epoch().count() < g_exemptUntil.load();
}

// A head that has cost the process more than a head can: WinINet buffers it whole before it
// tells of it (wine tells its bytes only then), so its growth shows in the process. Counted
// from the least the process took while the head was awaited: a head's own cost only grows,
// and memory that another request gave back meanwhile is none of it. While an earlier head may
// still be arriving after its close, the growth is that head's as much as this one's: this one
// counts from where the process then stands.
bool HeadCostsTooMuch(Call* call) {
    std::uint64_t least = call->memoryAtHead.load();
    const std::uint64_t now = MemoryNow();
    if (least == 0 || now == 0) return false;  // no measure at the head's start, or now
    if (EarlierHeadMayGrow(now)) {
        call->memoryAtHead.store(now);
        return false;
    }
    while (now < least && !call->memoryAtHead.compare_exchange_weak(least, now)) {}
    return now > std::min(least, now) + kHeadMemoryMax;
}

DWORD MillisecondsUntil(Clock::time_point until) {
    if (until == Clock::time_point::max()) return INFINITE;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return 0;
    return left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
}

}  // namespace

Call* NewCall() {
    auto* call = new Call;
    call->done = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!call->done) {
        delete call;
        return nullptr;
    }
    calls_alive.fetch_add(1);
    return call;
}

void LetGo(Call* call) {
    const int owners = call->owners.fetch_sub(1);
    WEBMON_ASSERT(owners >= 1);  // each owner lets go once (invariant 1)
    if (owners == 1) {
        ::CloseHandle(call->done);
        delete call;
        calls_alive.fetch_sub(1);
    }
}

void LetGoAfterFailedOpen(Call* call) {
    // A failed open's notices come during the open, before it returns. The closing notice is
    // tied to the context, not to HANDLE_CREATED: it may have come without one (and let go of
    // its share); without either, no handle was made and none will come.
    if (!call->created.load() && !call->closed.load()) LetGo(call);
    LetGo(call);
}

std::size_t CallsAlive() { return calls_alive.load(); }

void ClosingAwaitingHead(Call* call, DWORD headMs) {
    if (call->phase.load() != Phase::AwaitingHead) return;
    const Clock::time_point until = headMs == INFINITE
                                        ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(headMs);
    g_exemptUntil.store(until.time_since_epoch().count());
    g_exemptBelow.store(MemoryNow() + kHeadMemoryMax);
    // Counted before it is flagged: the notice, which takes back only what is flagged, never
    // takes the count below what is counted.
    g_headsAfterClose.fetch_add(1);
    if (call->headAfterClose.exchange(true)) {
        g_headsAfterClose.fetch_sub(1);  // counted already
        return;
    }
    // The closing notice may have come already (a handle WinINet had let go): then it is not
    // to come, and the count is taken back here; exactly one of the two takes it back.
    if (call->closed.load() && call->headAfterClose.exchange(false)) g_headsAfterClose.fetch_sub(1);
}

std::size_t HeadsArrivingAfterClose() { return g_headsAfterClose.load(); }

void SetMemoryCounters(MemoryCounters counters) {
    g_counters.store(counters ? counters : ProcessCounters);
}

std::uint64_t CommitOf(const PROCESS_MEMORY_COUNTERS_EX& counters) {
    return std::max<std::uint64_t>(counters.PagefileUsage, counters.PrivateUsage);
}

void Enter(Call* call, Phase next) {
    Phase now = call->phase.load();
    if (now >= next) return;
    if (next == Phase::AwaitingHead && call->memoryAtHead.load() == 0) {
        call->memoryAtHead.store(MemoryNow());
    }
    call->phaseSince.store(Clock::now().time_since_epoch().count());
    while (now < next && !call->phase.compare_exchange_weak(now, next)) {}
}

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    Call* call = reinterpret_cast<Call*>(context);
    if (!call) return;  // the session and connections have no context
    switch (status) {
    case INTERNET_STATUS_REQUEST_COMPLETE: {
        // WinINet completes only a call that answered ERROR_IO_PENDING; a notice while none is
        // awaited answers nothing of ours (invariant 2).
        const std::uint32_t call_number = call->awaited.exchange(0);
        if (call_number == 0) return;
        call->result = *static_cast<const INTERNET_ASYNC_RESULT*>(info);
        call->answered.store(call_number, std::memory_order_release);  // after the result
        ::SetEvent(call->done);
        return;
    }
    case INTERNET_STATUS_SENDING_REQUEST: Enter(call, Phase::Sending); break;
    case INTERNET_STATUS_REQUEST_SENT: Enter(call, Phase::AwaitingHead); break;
    case INTERNET_STATUS_HANDLE_CREATED: call->created.store(true); return;
    case INTERNET_STATUS_RESPONSE_RECEIVED: {
        // Its length says whether a count is there to read at all.
        if (call->phase.load() != Phase::AwaitingHead || !info || length < sizeof(DWORD)) return;
        const DWORD bytes = *static_cast<const DWORD*>(info);
        // Past the bound the waiter takes the head's end; below it nothing changes.
        if (call->headBytes.fetch_add(bytes) + bytes <= kHeadBytesMax) return;
        break;
    }
    case INTERNET_STATUS_HANDLE_CLOSING:  // the handle's last notice
        call->closed.store(true);         // before its share goes: the open may still read it
        // WinINet has let go of the request: a head it was receiving after the close no more.
        if (call->headAfterClose.exchange(false)) g_headsAfterClose.fetch_sub(1);
        LetGo(call);
        return;
    default: return;
    }
    ::SetEvent(call->done);  // the waiter takes the new phase's limit
}

Clock::time_point PhaseEnds(const Limits& limits, Call* call) {
    DWORD limit = INFINITE;
    switch (call->phase.load()) {
    case Phase::Connecting: limit = limits.connectMs; break;
    case Phase::Sending: limit = limits.sendMs; break;
    case Phase::AwaitingHead:
        if (call->headBytes.load() > kHeadBytesMax || HeadCostsTooMuch(call)) {
            return Clock::time_point{};  // past
        }
        limit = limits.headMs;
        break;
    default: break;
    }
    if (limit == INFINITE) return Clock::time_point::max();
    return Clock::time_point(Clock::duration(call->phaseSince.load())) +
           std::chrono::milliseconds(limit);
}

Operation::Operation(Call* call, const Limits& limits) : call_(call), limits_(limits) {
    WEBMON_ASSERT(call_ != nullptr);
    WEBMON_ASSERT(call_->awaited.load() == 0);  // invariant 2: one at a time
    number_ = ++call_->issued;
    if (number_ == 0) number_ = ++call_->issued;  // 0 means "none awaited"
    // No reset of the event (a call into the system for every read): it resets itself when a
    // wait takes it, and a late signal of an earlier call is told apart by number.
    call_->awaited.store(number_);
}

Waited Operation::Outcome(BOOL made, DWORD error, Clock::time_point until) {
    if (made) {
        call_->awaited.store(0);  // it completed at once: no notice will come
        return Waited::Done;
    }
    if (error != ERROR_IO_PENDING) {
        call_->awaited.store(0);  // failed at once: no notice will come either
        ::SetLastError(error);
        return Waited::Failed;
    }
    pending_ = true;
    const auto ends = [&] { return std::min(until, PhaseEnds(limits_, call_)); };
    for (;;) {
        DWORD wait = MillisecondsUntil(ends());
        // A head's cost is looked at as it arrives, whatever WinINet tells of it.
        if (call_->phase.load() == Phase::AwaitingHead) wait = std::min(wait, kMemoryLookMs);
        const DWORD waited = ::WaitForSingleObject(call_->done, wait);
        if (waited == WAIT_OBJECT_0) {
            if (call_->answered.load(std::memory_order_acquire) == number_) break;
            continue;  // a phase moved, or an earlier call's late answer: not ours
        }
        // The time is up, unless a notice moved the end meanwhile.
        if (waited == WAIT_TIMEOUT && Clock::now() < ends()) continue;
        return Waited::TimedOut;
    }
    if (call_->result.dwResult) return Waited::Done;
    ::SetLastError(call_->result.dwError);
    return Waited::Failed;
}

}  // namespace plat::win32
