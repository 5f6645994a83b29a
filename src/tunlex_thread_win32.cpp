// Connection thread on Win32 threads.
#include "tunlex_thread.h"

#include <windows.h>

#include <new>

struct TUNLEX_Thread {
    HANDLE handle;
    TUNLEX_ThreadProc proc;
    void *argument;
};

static DWORD WINAPI Run(LPVOID raw)
{
    TUNLEX_Thread *thread = static_cast<TUNLEX_Thread *>(raw);
    return thread->proc(thread->argument);
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
    thread->handle = CreateThread(nullptr, 0, Run, thread, 0, nullptr);
    if (!thread->handle) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int TUNLEX_ThreadExitCode(TUNLEX_Thread *thread, uint32_t *code)
{
    DWORD value = 0;
    if (!thread || !code || !GetExitCodeThread(thread->handle, &value))
        return 0;
    *code = value;
    return 1;
}

// The connection thread's log lines reach the console by messages sent to
// the GUI thread; a plain sleep here would leave it blocked in them.
int TUNLEX_ThreadWait(TUNLEX_Thread *thread, uint32_t ms)
{
    if (!thread)
        return 1;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        DWORD left = spent >= ms ? 0 : ms - spent;
        DWORD rc = MsgWaitForMultipleObjects(1, &thread->handle, FALSE, left, QS_SENDMESSAGE);
        if (rc == WAIT_OBJECT_0)
            return 1;
        if (rc != WAIT_OBJECT_0 + 1)
            return 0;
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// TerminateThread only starts the end: the thread may run on for a moment,
// or stay where the system cannot stop it yet. What it uses may be freed
// only once it is over, and the caller is not kept waiting for ever.
enum { STOP_WAIT_MS = 5000 };

int TUNLEX_ThreadStop(TUNLEX_Thread *thread, uint32_t exitCode)
{
    if (!thread)
        return 1;
    if (WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0)
        return 1;
    if (!TerminateThread(thread->handle, exitCode))
        return WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0;
    return WaitForSingleObject(thread->handle, STOP_WAIT_MS) == WAIT_OBJECT_0;
}

void TUNLEX_ThreadClose(TUNLEX_Thread *thread)
{
    if (!thread)
        return;
    // A thread still running may not have read proc and argument yet: its
    // small record is then left to it.
    bool over = WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0;
    CloseHandle(thread->handle);
    if (over)
        delete thread;
}
