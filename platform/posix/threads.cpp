// POSIX stand-ins for time, threads and critical sections.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/platform.h"

namespace plat {

void Sleep(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

namespace {
// Shared by the thread and its handle; whichever lets go last frees it.
struct Thread {
    pthread_t id;
    ThreadRoutine routine;
    std::uintptr_t parameter;
    std::atomic<int> owners{2};  // the running thread and the handle
    bool joined = false;         // WaitThread saw the end (only the handle's owner reads it)
};

void LetGo(Thread* t) {
    if (t->owners.fetch_sub(1) == 1) delete t;
}

void* ThreadStart(void* p) {
    auto* t = static_cast<Thread*>(p);
    t->routine(t->parameter);
    LetGo(t);
    return nullptr;
}
}  // namespace

ThreadHandle CreateThread(ThreadRoutine routine, std::uintptr_t parameter) {
    auto* t = new Thread{{}, routine, parameter};
    if (pthread_create(&t->id, nullptr, ThreadStart, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

void CloseThreadHandle(ThreadHandle thread) {
    auto* t = static_cast<Thread*>(thread);
    if (!t->joined) pthread_detach(t->id);  // the thread runs on; only the handle goes
    LetGo(t);
}

bool WaitThread(ThreadHandle thread, std::uint32_t timeoutMs) {
    auto* t = static_cast<Thread*>(thread);
    if (t->joined) return true;
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += timeoutMs / 1000;
    until.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    t->joined = pthread_timedjoin_np(t->id, nullptr, &until) == 0;
    return t->joined;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(CriticalSection::storage));

void InitializeCriticalSection(CriticalSection* section) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);  // re-entrant, as on Windows
    pthread_mutex_init(new (section->storage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}
void DeleteCriticalSection(CriticalSection* section) {
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(section->storage));
}
void EnterCriticalSection(CriticalSection* section) {
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(section->storage));
}
void LeaveCriticalSection(CriticalSection* section) {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(section->storage));
}

}  // namespace plat
