// POSIX backend of the thread primitives: a recursive pthread mutex, and an
// auto-reset event made of a mutex, a condition variable and one flag (two
// sets before a wait leave a single signal, as with a system event).
#include "sync.h"

#include <errno.h>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(RT_Mutex::storage), "RT_Mutex storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(RT_Mutex), "RT_Mutex storage misaligned");

namespace {

struct LinuxEvent
{
    pthread_mutex_t lock;
    pthread_cond_t cond;
    bool signalled;
};

pthread_mutex_t *AsPthread(RT_Mutex *m)
{
    return reinterpret_cast<pthread_mutex_t *>(m->storage);
}

int LockCode(int err)
{
    if (err == 0)
        return RT_OK;
    return (err == EINVAL || err == EPERM) ? RT_ERR_INVALID : RT_ERR_SYSTEM;
}

} // namespace

int MUTEX_Init(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return RT_ERR_NOMEM;
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int err = pthread_mutex_init(AsPthread(m), &attr);
    pthread_mutexattr_destroy(&attr);
    if (err == 0)
        return RT_OK;
    return (err == ENOMEM || err == EAGAIN) ? RT_ERR_NOMEM : RT_ERR_SYSTEM;
}

int MUTEX_Lock(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    return LockCode(pthread_mutex_lock(AsPthread(m)));
}

int MUTEX_Unlock(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    return LockCode(pthread_mutex_unlock(AsPthread(m)));
}

int MUTEX_Destroy(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    return LockCode(pthread_mutex_destroy(AsPthread(m)));
}

int EVENT_Create(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    *ev = nullptr;
    LinuxEvent *e = new (std::nothrow) LinuxEvent;
    if (!e)
        return RT_ERR_SYSTEM;
    if (pthread_mutex_init(&e->lock, nullptr) != 0) {
        delete e;
        return RT_ERR_SYSTEM;
    }
    if (pthread_cond_init(&e->cond, nullptr) != 0) {
        pthread_mutex_destroy(&e->lock);
        delete e;
        return RT_ERR_SYSTEM;
    }
    e->signalled = false;
    *ev = e;
    return RT_OK;
}

int EVENT_Set(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    LinuxEvent *e = static_cast<LinuxEvent *>(*ev);
    if (!e || pthread_mutex_lock(&e->lock) != 0)
        return RT_ERR_SYSTEM;
    e->signalled = true;
    int err = pthread_cond_signal(&e->cond);
    pthread_mutex_unlock(&e->lock);
    return err == 0 ? RT_OK : RT_ERR_SYSTEM;
}

int EVENT_Wait(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    LinuxEvent *e = static_cast<LinuxEvent *>(*ev);
    if (!e || pthread_mutex_lock(&e->lock) != 0)
        return RT_ERR_SYSTEM;
    int err = 0;
    while (!e->signalled && err == 0)
        err = pthread_cond_wait(&e->cond, &e->lock);
    e->signalled = false;
    pthread_mutex_unlock(&e->lock);
    return err == 0 ? RT_OK : RT_ERR_SYSTEM;
}

int EVENT_Close(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    LinuxEvent *e = static_cast<LinuxEvent *>(*ev);
    *ev = nullptr;
    if (!e)
        return RT_ERR_SYSTEM;
    pthread_cond_destroy(&e->cond);
    pthread_mutex_destroy(&e->lock);
    delete e;
    return RT_OK;
}

uint32_t RT_CurrentThreadId(void)
{
    // The system call costs far more than a timer operation; a thread's id
    // never changes, so ask once per thread.
    static thread_local uint32_t cached = 0;
    if (cached == 0)
        cached = static_cast<uint32_t>(syscall(SYS_gettid));
    return cached;
}

uint64_t RT_TickCount64(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t RT_TickCount32(void)
{
    return static_cast<uint32_t>(RT_TickCount64());
}

void RT_SleepMs(uint32_t ms)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000u);
    ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
