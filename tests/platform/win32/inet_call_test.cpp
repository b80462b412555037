// A request's WinINet notices in orders that a Windows WinINet may send and wine never does,
// driven into the status callback as WinINet's threads would (platform/win32/inet_call.h): the
// answer a waiter takes, the limit it keeps, and which owner frees the request's Call.
#include <gtest/gtest.h>

#include "platform/win32/inet_call.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace plat::win32;
using namespace std::chrono_literals;
using plat::Phase;

using Step = std::function<void(Call*)>;

void Notice(Call* call, DWORD status, LPVOID info = nullptr, DWORD length = 0) {
    OnStatus(nullptr, reinterpret_cast<DWORD_PTR>(call), status, info, length);
}
Step Status(DWORD status) {
    return [status](Call* call) { Notice(call, status); };
}
Step Received(DWORD bytes, DWORD length = sizeof(DWORD)) {
    return [bytes, length](Call* call) {
        DWORD told = bytes;
        Notice(call, INTERNET_STATUS_RESPONSE_RECEIVED, &told, length);
    };
}
// The process's memory as the tests tell it (SetMemoryCounters), in MiB: in both counters, as
// Windows 8 and later fill them, or in PrivateUsage alone, as Windows 7 does.
std::atomic<std::uint64_t> g_memory{100 << 20};
std::atomic<bool> g_asWindows7{false};
bool TestCounters(PROCESS_MEMORY_COUNTERS_EX* counters) {
    counters->PrivateUsage = static_cast<SIZE_T>(g_memory.load());
    counters->PagefileUsage = g_asWindows7.load() ? 0 : counters->PrivateUsage;
    return true;
}
Step Memory(std::uint64_t mib) {
    return [mib](Call*) { g_memory.store(mib << 20); };
}
// From now on the counters answer as Windows 7 fills them: "PagefileUsage is always zero".
const Step kAsWindows7 = [](Call*) { g_asWindows7.store(true); };
// The tests' memory counters while one lives.
struct GaugedMemory {
    GaugedMemory() {
        g_memory.store(100 << 20);
        g_asWindows7.store(false);
        SetMemoryCounters(TestCounters);
    }
    ~GaugedMemory() { SetMemoryCounters(nullptr); }
};
Step Complete(BOOL ok, DWORD error = 0) {
    return [ok, error](Call* call) {
        INTERNET_ASYNC_RESULT result{static_cast<DWORD_PTR>(ok), error};
        Notice(call, INTERNET_STATUS_REQUEST_COMPLETE, &result);
    };
}
const Step kClosing = Status(INTERNET_STATUS_HANDLE_CLOSING);

// One call that pended: the notices that come before its waiter looks, what the wait comes to,
// then webmon's handle lets go (as a request closed at its end, or by its caller, does) and the
// notices after. The Call goes with the last of its two owners, never before.
TEST(InetCall, APendingCallTakesItsOwnAnswerAndTheLastOwnerFreesIt) {
    struct Row {
        const char* name;
        std::vector<Step> before;
        Waited waited;
        DWORD error;  // the last error of a failed call
        std::vector<Step> after;
    };
    const Row rows[] = {
        {"answered before the waiter looks", {Complete(TRUE)}, Waited::Done, 0, {kClosing}},
        {"failed by its completion",
         {Complete(FALSE, ERROR_INTERNET_CANNOT_CONNECT)},
         Waited::Failed,
         ERROR_INTERNET_CANNOT_CONNECT,
         {kClosing}},
        {"a phase notice wakes the waiter, who waits on for the answer",
         {Status(INTERNET_STATUS_SENDING_REQUEST), Complete(TRUE)},
         Waited::Done,
         0,
         {kClosing}},
        {"no answer: the wait gives up, the cancelled call's completion comes late",
         {},
         Waited::TimedOut,
         0,
         {Complete(FALSE, ERROR_INTERNET_OPERATION_CANCELLED), kClosing}},
        {"the closing notice before the last completion",
         {kClosing, Complete(TRUE)},
         Waited::Done,
         0,
         {}},
        {"the closing notice, then no answer", {kClosing}, Waited::TimedOut, 0, {}},
    };
    const std::size_t alive = CallsAlive();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Call* call = NewCall();
        ASSERT_NE(call, nullptr);
        const Limits limits;
        Operation operation(call, limits);
        for (const Step& step : row.before) step(call);
        ::SetLastError(0);
        EXPECT_EQ(operation.Outcome(FALSE, ERROR_IO_PENDING, Clock::now() + 50ms), row.waited);
        if (row.waited == Waited::Failed) {
            EXPECT_EQ(::GetLastError(), row.error);
        }
        EXPECT_EQ(CallsAlive(), alive + 1) << "freed while webmon's handle holds it";
        LetGo(call);
        if (!row.after.empty()) {
            EXPECT_EQ(CallsAlive(), alive + 1) << "freed before its closing notice";
            for (const Step& step : row.after) step(call);
        }
        EXPECT_EQ(CallsAlive(), alive) << "not freed by its last owner";
    }
}

// A completion that no awaited call asked for (one for a call that completed at once), and a
// wake-up left over from an earlier call, are not the next call's answer.
TEST(InetCall, ACallTakesNoAnswerButItsOwn) {
    const std::size_t alive = CallsAlive();
    Call* call = NewCall();
    ASSERT_NE(call, nullptr);
    const Limits limits;
    {
        Operation at_once(call, limits);
        EXPECT_EQ(at_once.Outcome(TRUE, 0, Clock::time_point::max()), Waited::Done);
    }
    Complete(TRUE)(call);  // late, stray: nobody awaits it
    {
        Operation pended(call, limits);
        Complete(TRUE)(call);
        EXPECT_EQ(pended.Outcome(FALSE, ERROR_IO_PENDING, Clock::now() + 5s), Waited::Done);
        EXPECT_TRUE(pended.Pended());
    }
    Status(INTERNET_STATUS_REQUEST_SENT)(call);  // signals the event after the answer was taken
    {
        Operation next(call, limits);
        EXPECT_EQ(next.Outcome(FALSE, ERROR_IO_PENDING, Clock::now() + 50ms), Waited::TimedOut)
            << "took the stray completion or the earlier wake-up for its answer";
    }
    LetGo(call);
    kClosing(call);
    EXPECT_EQ(CallsAlive(), alive);
}

// Which limit a wait keeps as notices move the request: Connecting from the send, forward
// only, each phase's clock started once, the head bounded by its time and (where WinINet tells
// them) its bytes.
TEST(InetCall, NoticesMoveThePhaseForwardOnlyAndEachPhaseKeepsItsLimit) {
    const Limits limits{1000, 2000, 3000, 4000};
    constexpr DWORD kPast = 0;
    struct Row {
        const char* name;
        std::vector<Step> notices;
        Phase phase;
        DWORD limitMs;          // from the phase's start; kPast: over already
        std::size_t startedBy;  // the phase's clock: 0 the send's, n the nth notice's
    };
    const Row rows[] = {
        {"sent", {}, Phase::Connecting, 2000, 0},
        {"a second address tried",
         {Status(INTERNET_STATUS_RESOLVING_NAME), Status(INTERNET_STATUS_CONNECTING_TO_SERVER),
          Status(INTERNET_STATUS_CONNECTED_TO_SERVER),
          Status(INTERNET_STATUS_CONNECTING_TO_SERVER)},
         Phase::Connecting,
         2000,
         0},
        {"connected", {Status(INTERNET_STATUS_SENDING_REQUEST)}, Phase::Sending, 3000, 1},
        {"sent, with no SENDING_REQUEST",
         {Status(INTERNET_STATUS_REQUEST_SENT)},
         Phase::AwaitingHead,
         4000,
         1},
        {"a late SENDING_REQUEST takes nothing back, nor starts a clock",
         {Status(INTERNET_STATUS_REQUEST_SENT), Status(INTERNET_STATUS_SENDING_REQUEST)},
         Phase::AwaitingHead,
         4000,
         1},
        {"a second REQUEST_SENT starts no clock",
         {Status(INTERNET_STATUS_SENDING_REQUEST), Status(INTERNET_STATUS_REQUEST_SENT),
          Status(INTERNET_STATUS_REQUEST_SENT)},
         Phase::AwaitingHead,
         4000,
         2},
        {"a head of exactly its bound",
         {Status(INTERNET_STATUS_REQUEST_SENT), Received(plat::kHeadBytesMax / 2),
          Received(plat::kHeadBytesMax / 2)},
         Phase::AwaitingHead,
         4000,
         1},
        {"a head past its bound",
         {Status(INTERNET_STATUS_REQUEST_SENT), Received(plat::kHeadBytesMax), Received(1)},
         Phase::AwaitingHead,
         kPast,
         1},
        {"bytes told before the request is sent are not the head's",
         {Received(plat::kHeadBytesMax + 1), Status(INTERNET_STATUS_REQUEST_SENT)},
         Phase::AwaitingHead,
         4000,
         2},
        {"a notice too short to hold a count tells no bytes",
         {Status(INTERNET_STATUS_REQUEST_SENT), Received(plat::kHeadBytesMax + 1, 2)},
         Phase::AwaitingHead,
         4000,
         1},
        // Memory: 100 MiB as the head is awaited, kHeadMemoryMax (16 MiB) the most it may grow.
        {"a head that costs the process less than its bound",
         {Status(INTERNET_STATUS_REQUEST_SENT), Memory(116)},
         Phase::AwaitingHead,
         4000,
         1},
        {"a head that costs the process more, told of or not",
         {Status(INTERNET_STATUS_REQUEST_SENT), Memory(117)},
         Phase::AwaitingHead,
         kPast,
         1},
        {"a head that costs the process more, on a Windows whose PagefileUsage is 0",
         {kAsWindows7, Status(INTERNET_STATUS_REQUEST_SENT), Memory(117)},
         Phase::AwaitingHead,
         kPast,
         2},
        {"a head that costs the process less, on a Windows whose PagefileUsage is 0",
         {kAsWindows7, Status(INTERNET_STATUS_REQUEST_SENT), Memory(116)},
         Phase::AwaitingHead,
         4000,
         2},
        {"memory taken before the head is awaited is not the head's",
         {Memory(400), Status(INTERNET_STATUS_SENDING_REQUEST),
          Status(INTERNET_STATUS_REQUEST_SENT), Memory(416)},
         Phase::AwaitingHead,
         4000,
         3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const GaugedMemory gauged;
        Call* call = NewCall();
        ASSERT_NE(call, nullptr);
        Enter(call, Phase::Connecting);  // as the send does
        std::vector<Clock::rep> since{call->phaseSince.load()};
        for (const Step& step : row.notices) {
            std::this_thread::sleep_for(2ms);  // a clock started again would show
            step(call);
            since.push_back(call->phaseSince.load());
        }
        EXPECT_EQ(call->phase.load(), row.phase);
        EXPECT_EQ(call->phaseSince.load(), since[row.startedBy]);
        const Clock::time_point start{Clock::duration(since[row.startedBy])};
        EXPECT_EQ(PhaseEnds(limits, call), row.limitMs == kPast
                                               ? Clock::time_point{}
                                               : start + std::chrono::milliseconds(row.limitMs));
        LetGo(call);
        kClosing(call);
    }
}

// A notice during a wait moves its end at once: to the new phase's limit, or to now for a head
// past its bytes.
TEST(InetCall, ANoticeDuringAWaitMovesItsEnd) {
    Call* call = NewCall();
    ASSERT_NE(call, nullptr);
    const Limits connect_briefly{INFINITE, 1000, INFINITE, INFINITE};
    Enter(call, Phase::Connecting);
    {
        Operation send(call, connect_briefly);
        std::thread winInet([call] {
            std::this_thread::sleep_for(20ms);
            Status(INTERNET_STATUS_SENDING_REQUEST)(call);
            std::this_thread::sleep_for(1500ms);
            Complete(TRUE)(call);
        });
        EXPECT_EQ(send.Outcome(FALSE, ERROR_IO_PENDING, Clock::now() + 30s), Waited::Done)
            << "kept the connect limit once connected";
        winInet.join();
    }
    {
        Operation head(call, connect_briefly);  // the head limit is none
        std::thread winInet([call] {
            Status(INTERNET_STATUS_REQUEST_SENT)(call);
            std::this_thread::sleep_for(20ms);
            Received(plat::kHeadBytesMax + 1)(call);
        });
        const auto start = Clock::now();
        EXPECT_EQ(head.Outcome(FALSE, ERROR_IO_PENDING, start + 30s), Waited::TimedOut);
        EXPECT_LT(Clock::now() - start, 20s) << "waited on past the head's bytes";
        winInet.join();
    }
    LetGo(call);
    kClosing(call);
}

// A head that WinINet buffers without a word (wine tells its bytes only once it is whole): the
// process's memory, looked at as the wait goes on, ends it once the head has cost too much; a
// head that costs little is waited for to its answer.
TEST(InetCall, AHeadWaitEndsOnceTheHeadCostsTheProcessTooMuch) {
    const GaugedMemory gauged;
    const Limits noHeadLimit{INFINITE, INFINITE, INFINITE, INFINITE};
    for (const bool tooMuch : {false, true}) {
        SCOPED_TRACE(tooMuch ? "grows past its bound" : "grows within its bound");
        Call* call = NewCall();
        ASSERT_NE(call, nullptr);
        Enter(call, Phase::Connecting);
        {
            Operation head(call, noHeadLimit);
            std::thread winInet([call, tooMuch] {
                Status(INTERNET_STATUS_REQUEST_SENT)(call);
                for (int mib = 101; mib <= (tooMuch ? 200 : 116); ++mib) {
                    g_memory.store(static_cast<std::uint64_t>(mib) << 20);  // no notice at all
                    std::this_thread::sleep_for(10ms);
                }
                if (!tooMuch) Complete(TRUE)(call);
            });
            const auto start = Clock::now();
            EXPECT_EQ(head.Outcome(FALSE, ERROR_IO_PENDING, start + 30s),
                      tooMuch ? Waited::TimedOut : Waited::Done);
            EXPECT_LT(Clock::now() - start, 10s);
            winInet.join();
        }
        LetGo(call);
        Complete(FALSE, ERROR_INTERNET_OPERATION_CANCELLED)(call);
        kClosing(call);
    }
}

// A request closed awaiting its head whose closing notice has not come: wine's WinINet goes on
// receiving that head until its server stops (Windows discards it at the close), the process
// growing by it, and sends the notice only then. Meanwhile the process's growth is held against
// no later head, but only within the closed head's limit from its close and its 16 MiB: a
// notice that never comes lifts no later head's bound. Once the notice comes, or either bound
// is past, a head's growth counts again, from the least the process fell to, or from where it
// stood when it was last excused. Memory: 100 MiB as the earlier request closes.
TEST(InetCall, AHeadStillArrivingAfterItsCloseCostsNoLaterHead) {
    const Limits limits{1000, 2000, 3000, 4000};
    Call* earlier = nullptr;
    bool earlierLetGo = false;  // its closing notice came
    const Step kEarlierClosing = [&](Call*) {
        kClosing(earlier);
        earlierLetGo = true;
    };
    const Step kLook = [&](Call* call) { PhaseEnds(limits, call); };
    const Step kAWhile = [](Call*) { std::this_thread::sleep_for(50ms); };
    struct Row {
        const char* name;
        Phase closedIn;                 // the earlier request's phase as webmon closed it
        std::vector<Step> beforeClose;  // before webmon closes the earlier request
        std::vector<Step> steps;        // on the later one, once its request is sent
        bool past;
        DWORD headMs = 60000;  // the earlier request's head limit
    };
    const Row rows[] = {
        {"an earlier head still arriving, within its bounds: the growth is not this head's",
         Phase::AwaitingHead,
         {Memory(300)},
         {Memory(150), kLook, Memory(315)},
         false},
        {"an earlier head past its 16 MiB, its notice never come: this head's growth counts",
         Phase::AwaitingHead,
         {},
         {Memory(110), kLook, Memory(126)},
         false},
        {"... and past this head's own 16 MiB from where it was last excused",
         Phase::AwaitingHead,
         {},
         {Memory(110), kLook, Memory(127)},
         true},
        {"an earlier head past its head limit, its notice never come: this head's growth counts",
         Phase::AwaitingHead,
         {},
         {kAWhile, Memory(117)},
         true,
         20},
        {"its notice came and its memory went back: this head's growth counts from the least",
         Phase::AwaitingHead,
         {Memory(300)},
         {Memory(400), kEarlierClosing, Memory(110), kLook, Memory(127)},
         true},
        {"its notice came, this head within its bound",
         Phase::AwaitingHead,
         {Memory(300)},
         {Memory(400), kEarlierClosing, Memory(110), kLook, Memory(126)},
         false},
        {"an earlier request closed once its head had come leaves no head arriving",
         Phase::Body,
         {},
         {Memory(117)},
         true},
        {"an earlier request whose notice came before its close leaves no head arriving",
         Phase::AwaitingHead,
         {kEarlierClosing},
         {Memory(117)},
         true},
    };
    const std::size_t alive = CallsAlive();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const GaugedMemory gauged;
        earlier = NewCall();
        ASSERT_NE(earlier, nullptr);
        earlierLetGo = false;
        Enter(earlier, Phase::Connecting);
        Enter(earlier, row.closedIn);
        for (const Step& step : row.beforeClose) step(earlier);
        ClosingAwaitingHead(earlier, row.headMs);  // as webmon closes its handle
        LetGo(earlier);
        Call* call = NewCall();
        ASSERT_NE(call, nullptr);
        Enter(call, Phase::Connecting);
        Status(INTERNET_STATUS_REQUEST_SENT)(call);
        for (const Step& step : row.steps) step(call);
        EXPECT_EQ(PhaseEnds(limits, call) == Clock::time_point{}, row.past);
        if (!earlierLetGo) kClosing(earlier);
        EXPECT_EQ(HeadsArrivingAfterClose(), 0u) << "one arriving after its closing notice";
        LetGo(call);
        kClosing(call);
        EXPECT_EQ(CallsAlive(), alive);
    }
}

// An open that fails: a handle WinINet made (HANDLE_CREATED during the open) still has its
// closing notice to come, which frees the Call; one never made has none, and the open frees it.
TEST(InetCall, AFailedOpenLeavesTheCallToWhatStillHoldsIt) {
    struct Row {
        const char* name;
        std::vector<Step> duringOpen;
        bool closingToCome;
    };
    const Row rows[] = {
        {"no handle made", {}, false},
        {"a handle made", {Status(INTERNET_STATUS_HANDLE_CREATED)}, true},
        {"a handle made and closed within the open",
         {Status(INTERNET_STATUS_HANDLE_CREATED), kClosing},
         false},
        // wine's WinINet, when the server lookup fails inside the open: the handle released,
        // its closing notice sent, before any HANDLE_CREATED.
        {"a closing notice within the open and no handle made", {kClosing}, false},
    };
    const std::size_t alive = CallsAlive();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Call* call = NewCall();
        ASSERT_NE(call, nullptr);
        for (const Step& step : row.duringOpen) step(call);
        LetGoAfterFailedOpen(call);
        EXPECT_EQ(CallsAlive(), alive + (row.closingToCome ? 1 : 0));
        if (row.closingToCome) kClosing(call);
        EXPECT_EQ(CallsAlive(), alive);
    }
}

}  // namespace
