// Locks, events and the few other thread primitives runtime support needs.
// Every wrapper returns 0 or one of the RT_ERR_* codes and never lets an
// expected failure escape. The storage of a mutex is opaque here so that this
// header carries no platform types; sync_win32.cpp and sync_linux.cpp check
// that the platform object fits.
#ifndef TLX_RUNTIME_SYNC_H
#define TLX_RUNTIME_SYNC_H

#include <stdint.h>

enum
{
    RT_OK = 0,
    RT_ERR_NOMEM = 35,    // initialising a lock failed for lack of memory
    RT_ERR_INVALID = 36,  // invalid pointer argument, or a lock the system reports invalid
    RT_ERR_SYSTEM = 38    // any other failure of a system primitive
};

// A pointer is refused when it lies in the first 64 KiB or the last 64 KiB of
// the address space (null included). Only the value is looked at.
int RT_IsValidPointer(const void *p);

// A recursive mutex: the owner may lock it again, each lock matched by one unlock.
struct RT_Mutex
{
    alignas(16) unsigned char storage[64];
};

// An unnamed auto-reset event, created non-signalled; null means none.
typedef void *RT_EventHandle;

struct RwLock
{
    RT_Mutex countLock;     // guards count
    RT_Mutex gate;          // held by whoever holds the lock, in either mode
    uint16_t count;         // shared holds currently taken
    RT_EventHandle event;   // set by every shared lock
};

int MUTEX_Init(RT_Mutex *m);
int MUTEX_Lock(RT_Mutex *m);
int MUTEX_Unlock(RT_Mutex *m);
int MUTEX_Destroy(RT_Mutex *m);   // the system keeps its locks for ever; for short-lived owners and tests

int EVENT_Create(RT_EventHandle *ev);   // on failure stores null and returns RT_ERR_SYSTEM
int EVENT_Set(RT_EventHandle *ev);
int EVENT_Wait(RT_EventHandle *ev);     // no time limit
int EVENT_Close(RT_EventHandle *ev);    // stores null

// The gate is held in both modes, so the lock admits one thread at a time.
// A thread holding it shared must not ask for it exclusively.
int RWLOCK_Init(RwLock *lock);
int RWLOCK_LockShared(RwLock *lock);
int RWLOCK_UnlockShared(RwLock *lock);
int RWLOCK_LockExclusive(RwLock *lock);
int RWLOCK_UnlockExclusive(RwLock *lock);
int RWLOCK_Destroy(RwLock *lock);

// The calling thread's 32-bit system identifier.
uint32_t RT_CurrentThreadId(void);
// Milliseconds from an arbitrary start, monotonic, wrapping at 32 bits.
uint32_t RT_TickCount32(void);
// Milliseconds from an arbitrary start, monotonic, 64 bits.
uint64_t RT_TickCount64(void);
void RT_SleepMs(uint32_t ms);

#endif
