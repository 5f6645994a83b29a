// The pointer rule and the composite RwLock, built on the platform's mutex
// and event wrappers.
#include "sync.h"

int RT_IsValidPointer(const void *p)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(p);
    return v >= 0x10000u && v <= UINTPTR_MAX - 0xFFFFu;
}

int RWLOCK_Init(RwLock *lock)
{
    if (!RT_IsValidPointer(lock))
        return RT_ERR_INVALID;
    int rc = MUTEX_Init(&lock->gate);
    if (rc != RT_OK)
        return rc;
    rc = MUTEX_Init(&lock->countLock);
    if (rc != RT_OK)
        return rc;
    rc = EVENT_Create(&lock->event);
    if (rc != RT_OK)
        return rc;
    lock->count = 0;
    return RT_OK;
}

// A failing step leaves the earlier ones in force (a gate already entered
// stays held); with valid pointers these steps do not fail.
int RWLOCK_LockShared(RwLock *lock)
{
    if (!RT_IsValidPointer(lock))
        return RT_ERR_INVALID;
    if (MUTEX_Lock(&lock->gate) != RT_OK)
        return RT_ERR_SYSTEM;
    if (MUTEX_Lock(&lock->countLock) != RT_OK)
        return RT_ERR_SYSTEM;
    lock->count = static_cast<uint16_t>(lock->count + 1);
    if (MUTEX_Unlock(&lock->countLock) != RT_OK)
        return RT_ERR_SYSTEM;
    EVENT_Set(&lock->event);
    return RT_OK;
}

int RWLOCK_UnlockShared(RwLock *lock)
{
    if (!RT_IsValidPointer(lock))
        return RT_ERR_INVALID;
    if (MUTEX_Lock(&lock->countLock) != RT_OK)
        return RT_ERR_SYSTEM;
    lock->count = static_cast<uint16_t>(lock->count - 1);
    if (MUTEX_Unlock(&lock->countLock) != RT_OK)
        return RT_ERR_SYSTEM;
    if (MUTEX_Unlock(&lock->gate) != RT_OK)
        return RT_ERR_SYSTEM;
    return RT_OK;
}

int RWLOCK_LockExclusive(RwLock *lock)
{
    if (!RT_IsValidPointer(lock))
        return RT_ERR_INVALID;
    if (MUTEX_Lock(&lock->gate) != RT_OK)
        return RT_ERR_SYSTEM;
    if (MUTEX_Lock(&lock->countLock) != RT_OK)
        return RT_ERR_SYSTEM;
    for (;;) {
        bool idle = lock->count == 0;
        if (MUTEX_Unlock(&lock->countLock) != RT_OK)
            return RT_ERR_SYSTEM;
        if (idle)
            return RT_OK;
        // Never wait while holding the count lock.
        if (EVENT_Wait(&lock->event) != RT_OK)
            return RT_ERR_SYSTEM;
        if (MUTEX_Lock(&lock->countLock) != RT_OK)
            return RT_ERR_SYSTEM;
    }
}

int RWLOCK_UnlockExclusive(RwLock *lock)
{
    if (!RT_IsValidPointer(lock))
        return RT_ERR_INVALID;
    if (MUTEX_Unlock(&lock->gate) != RT_OK)
        return RT_ERR_SYSTEM;
    return RT_OK;
}

int RWLOCK_Destroy(RwLock *lock)
{
    if (!RT_IsValidPointer(lock))
        return RT_ERR_INVALID;
    EVENT_Close(&lock->event);
    MUTEX_Destroy(&lock->countLock);
    MUTEX_Destroy(&lock->gate);
    return RT_OK;
}
