// Connection thread on POSIX threads. The exit code is kept beside the
// thread, so that it can be read without joining.
#include "tunlex_thread.h"

#include <errno.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <time.h>

#include <new>

struct TUNLEX_Thread {
    pthread_t id;
    TUNLEX_ThreadProc proc;
    void *argument;
    pthread_mutex_t lock;
    pthread_cond_t ended;
    uint32_t exitCode;       // TUNLEX_THREAD_STILL_ACTIVE until the end
    int joined;
    int refs;                // the thread and the handle's owner
};

static void Release(TUNLEX_Thread *thread)
{
    pthread_mutex_lock(&thread->lock);
    int left = --thread->refs;
    pthread_mutex_unlock(&thread->lock);
    if (left == 0) {
        pthread_cond_destroy(&thread->ended);
        pthread_mutex_destroy(&thread->lock);
        delete thread;
    }
}

static void *Run(void *raw)
{
    TUNLEX_Thread *thread = static_cast<TUNLEX_Thread *>(raw);
    uint32_t code = thread->proc(thread->argument);
    // OpenSSL's state of this thread goes before the end is published (on
    // Windows the exit code shows only once the thread is gone): an owner
    // that sees the end may leave the process at once, and the library's
    // clean-up at exit cannot free another thread's state.
    OPENSSL_thread_stop();
    pthread_mutex_lock(&thread->lock);
    thread->exitCode = code;
    pthread_cond_broadcast(&thread->ended);
    pthread_mutex_unlock(&thread->lock);
    Release(thread);
    return nullptr;
}

TUNLEX_Thread *TUNLEX_ThreadCreate(TUNLEX_ThreadProc proc, void *argument)
{
    if (!proc)
        return nullptr;
    TUNLEX_Thread *thread = new (std::nothrow) TUNLEX_Thread();
    if (!thread)
        return nullptr;
    thread->proc = proc;
    thread->argument = argument;
    thread->exitCode = TUNLEX_THREAD_STILL_ACTIVE;
    thread->refs = 2;
    pthread_mutex_init(&thread->lock, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&thread->ended, &attr);
    pthread_condattr_destroy(&attr);
    if (pthread_create(&thread->id, nullptr, Run, thread) != 0) {
        pthread_cond_destroy(&thread->ended);
        pthread_mutex_destroy(&thread->lock);
        delete thread;
        return nullptr;
    }
    return thread;
}

int TUNLEX_ThreadExitCode(TUNLEX_Thread *thread, uint32_t *code)
{
    if (!thread || !code)
        return 0;
    pthread_mutex_lock(&thread->lock);
    *code = thread->exitCode;
    pthread_mutex_unlock(&thread->lock);
    return 1;
}

int TUNLEX_ThreadWait(TUNLEX_Thread *thread, uint32_t ms)
{
    if (!thread)
        return 1;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&thread->lock);
    int rc = 0;
    while (thread->exitCode == TUNLEX_THREAD_STILL_ACTIVE && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&thread->ended, &thread->lock, &until);
    int over = thread->exitCode != TUNLEX_THREAD_STILL_ACTIVE;
    pthread_mutex_unlock(&thread->lock);
    return over;
}

int TUNLEX_ThreadStop(TUNLEX_Thread *thread, uint32_t exitCode)
{
    (void)exitCode;   // the thread ends with its own code
    if (!thread)
        return 1;
    if (!thread->joined) {
        pthread_join(thread->id, nullptr);
        thread->joined = 1;
    }
    return 1;
}

void TUNLEX_ThreadClose(TUNLEX_Thread *thread)
{
    if (!thread)
        return;
    if (!thread->joined) {
        uint32_t code = TUNLEX_THREAD_STILL_ACTIVE;
        TUNLEX_ThreadExitCode(thread, &code);
        // A thread whose work is over is joined, so that its thread-local
        // state (OpenSSL's among it) is gone before the owner goes on; one
        // still running is left to end by itself.
        if (code != TUNLEX_THREAD_STILL_ACTIVE)
            pthread_join(thread->id, nullptr);
        else
            pthread_detach(thread->id);
        thread->joined = 1;
    }
    Release(thread);
}
