// Win32 backend of the thread primitives: critical sections and unnamed
// auto-reset events. Critical sections are initialised with a spin count so
// that a lack of memory comes back as a result instead of a raised fault;
// entering one does not raise on the systems we run on.
#include "sync.h"

#include <windows.h>

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(RT_Mutex::storage), "RT_Mutex storage too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(RT_Mutex), "RT_Mutex storage misaligned");

static CRITICAL_SECTION *AsSection(RT_Mutex *m)
{
    return reinterpret_cast<CRITICAL_SECTION *>(m->storage);
}

int MUTEX_Init(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    return InitializeCriticalSectionAndSpinCount(AsSection(m), 0) ? RT_OK : RT_ERR_NOMEM;
}

int MUTEX_Lock(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    EnterCriticalSection(AsSection(m));
    return RT_OK;
}

int MUTEX_Unlock(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    LeaveCriticalSection(AsSection(m));
    return RT_OK;
}

int MUTEX_Destroy(RT_Mutex *m)
{
    if (!RT_IsValidPointer(m))
        return RT_ERR_INVALID;
    DeleteCriticalSection(AsSection(m));
    return RT_OK;
}

int EVENT_Create(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    *ev = h;
    return h ? RT_OK : RT_ERR_SYSTEM;
}

int EVENT_Set(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    return SetEvent(static_cast<HANDLE>(*ev)) ? RT_OK : RT_ERR_SYSTEM;
}

int EVENT_Wait(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    return WaitForSingleObject(static_cast<HANDLE>(*ev), INFINITE) == WAIT_FAILED ? RT_ERR_SYSTEM : RT_OK;
}

int EVENT_Close(RT_EventHandle *ev)
{
    if (!RT_IsValidPointer(ev))
        return RT_ERR_INVALID;
    HANDLE h = static_cast<HANDLE>(*ev);
    *ev = nullptr;
    return (h && CloseHandle(h)) ? RT_OK : RT_ERR_SYSTEM;
}

uint32_t RT_CurrentThreadId(void)
{
    return static_cast<uint32_t>(GetCurrentThreadId());
}

uint32_t RT_TickCount32(void)
{
    return static_cast<uint32_t>(GetTickCount());
}

uint64_t RT_TickCount64(void)
{
    return static_cast<uint64_t>(GetTickCount64());
}

void RT_SleepMs(uint32_t ms)
{
    Sleep(ms);
}
