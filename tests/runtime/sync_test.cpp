// Locks and events, run against whichever backend the build has.
#include "sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

void *At(uintptr_t v) { return reinterpret_cast<void *>(v); }

TEST(SyncTest, PointerValidityRule)
{
    int onStack = 0;
    std::vector<int> onHeap(4);
    struct Case
    {
        uintptr_t value;
        int valid;
    } cases[] = {
        {0, 0},
        {1, 0},
        {0xFFFF, 0},
        {0x10000, 1},
        {0xFFFF0000u, 1},
        {0xFFFF0001u, 1},  // a 32-bit upper bound would refuse most of the address space
        {UINTPTR_MAX - 0xFFFF, 1},
        {UINTPTR_MAX - 0xFFFE, 0},
        {UINTPTR_MAX, 0},
        {reinterpret_cast<uintptr_t>(&onStack), 1},
        {reinterpret_cast<uintptr_t>(onHeap.data()), 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(RT_IsValidPointer(At(c.value)), c.valid) << std::hex << c.value;
}

TEST(SyncTest, EveryOperationRefusesAnInvalidPointer)
{
    struct Op
    {
        const char *name;
        std::function<int(void *)> call;
    } ops[] = {
        {"MUTEX_Init", [](void *p) { return MUTEX_Init(static_cast<RT_Mutex *>(p)); }},
        {"MUTEX_Lock", [](void *p) { return MUTEX_Lock(static_cast<RT_Mutex *>(p)); }},
        {"MUTEX_Unlock", [](void *p) { return MUTEX_Unlock(static_cast<RT_Mutex *>(p)); }},
        {"EVENT_Create", [](void *p) { return EVENT_Create(static_cast<RT_EventHandle *>(p)); }},
        {"EVENT_Set", [](void *p) { return EVENT_Set(static_cast<RT_EventHandle *>(p)); }},
        {"EVENT_Wait", [](void *p) { return EVENT_Wait(static_cast<RT_EventHandle *>(p)); }},
        {"RWLOCK_Init", [](void *p) { return RWLOCK_Init(static_cast<RwLock *>(p)); }},
        {"RWLOCK_LockShared", [](void *p) { return RWLOCK_LockShared(static_cast<RwLock *>(p)); }},
        {"RWLOCK_UnlockShared", [](void *p) { return RWLOCK_UnlockShared(static_cast<RwLock *>(p)); }},
        {"RWLOCK_LockExclusive", [](void *p) { return RWLOCK_LockExclusive(static_cast<RwLock *>(p)); }},
        {"RWLOCK_UnlockExclusive", [](void *p) { return RWLOCK_UnlockExclusive(static_cast<RwLock *>(p)); }},
    };
    const uintptr_t bad[] = {0, 0x8000, UINTPTR_MAX - 0x100};
    for (const Op &op : ops)
        for (uintptr_t p : bad)
            EXPECT_EQ(op.call(At(p)), RT_ERR_INVALID) << op.name << " at " << std::hex << p;
}

TEST(SyncTest, EventWithoutAHandleReportsASystemFailure)
{
    RT_EventHandle none = nullptr;
    EXPECT_EQ(EVENT_Set(&none), RT_ERR_SYSTEM);
    EXPECT_EQ(EVENT_Wait(&none), RT_ERR_SYSTEM);
}

// True when `probe` has not finished within a short while; the thread is
// left to finish once the caller releases what blocks it.
bool StaysBlocked(std::atomic<bool> &done)
{
    for (int i = 0; i < 5; i++) {
        if (done.load())
            return false;
        RT_SleepMs(10);
    }
    return !done.load();
}

TEST(SyncTest, LocksExcludeOtherThreads)
{
    struct Mode
    {
        const char *name;
        std::function<void()> lock, unlock;
    };
    static RT_Mutex m;
    static RwLock rw;
    ASSERT_EQ(MUTEX_Init(&m), 0);
    ASSERT_EQ(RWLOCK_Init(&rw), 0);
    Mode modes[] = {
        {"mutex", [] { MUTEX_Lock(&m); }, [] { MUTEX_Unlock(&m); }},
        {"shared", [] { RWLOCK_LockShared(&rw); }, [] { RWLOCK_UnlockShared(&rw); }},
        {"exclusive", [] { RWLOCK_LockExclusive(&rw); }, [] { RWLOCK_UnlockExclusive(&rw); }},
    };
    const int threads = 4, rounds = 3000;
    for (const Mode &mode : modes) {
        volatile int counter = 0;
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; t++) {
            pool.emplace_back([&] {
                for (int i = 0; i < rounds; i++) {
                    mode.lock();
                    // A wide window between read and write, so that two
                    // holders at once lose counts.
                    int v = counter;
                    for (volatile int spin = 0; spin < 50; spin = spin + 1) {
                    }
                    counter = v + 1;
                    mode.unlock();
                }
            });
        }
        for (std::thread &t : pool)
            t.join();
        EXPECT_EQ(counter, threads * rounds) << mode.name;
    }
    EXPECT_EQ(rw.count, 0);
    RWLOCK_Destroy(&rw);
    MUTEX_Destroy(&m);
}

TEST(SyncTest, RecursiveHoldsReleaseOnlyAfterTheLastUnlock)
{
    static RT_Mutex m;
    static RwLock rw;
    ASSERT_EQ(MUTEX_Init(&m), 0);
    ASSERT_EQ(RWLOCK_Init(&rw), 0);
    struct Mode
    {
        const char *name;
        std::function<int()> first, second, undoSecond, undoFirst, probeLock, probeUnlock;
    } modes[] = {
        {"mutex twice", [] { return MUTEX_Lock(&m); }, [] { return MUTEX_Lock(&m); },
         [] { return MUTEX_Unlock(&m); }, [] { return MUTEX_Unlock(&m); },
         [] { return MUTEX_Lock(&m); }, [] { return MUTEX_Unlock(&m); }},
        {"shared twice", [] { return RWLOCK_LockShared(&rw); }, [] { return RWLOCK_LockShared(&rw); },
         [] { return RWLOCK_UnlockShared(&rw); }, [] { return RWLOCK_UnlockShared(&rw); },
         [] { return RWLOCK_LockShared(&rw); }, [] { return RWLOCK_UnlockShared(&rw); }},
        {"shared inside exclusive", [] { return RWLOCK_LockExclusive(&rw); },
         [] { return RWLOCK_LockShared(&rw); }, [] { return RWLOCK_UnlockShared(&rw); },
         [] { return RWLOCK_UnlockExclusive(&rw); }, [] { return RWLOCK_LockExclusive(&rw); },
         [] { return RWLOCK_UnlockExclusive(&rw); }},
    };
    for (const Mode &mode : modes) {
        SCOPED_TRACE(mode.name);
        ASSERT_EQ(mode.first(), 0);
        ASSERT_EQ(mode.second(), 0);
        std::atomic<bool> done{false};
        std::thread probe([&] {
            EXPECT_EQ(mode.probeLock(), 0);
            done = true;
            EXPECT_EQ(mode.probeUnlock(), 0);
        });
        EXPECT_TRUE(StaysBlocked(done)) << "got in past two holds";
        EXPECT_EQ(mode.undoSecond(), 0);
        EXPECT_TRUE(StaysBlocked(done)) << "got in past one hold";
        EXPECT_EQ(mode.undoFirst(), 0);
        probe.join();
        EXPECT_TRUE(done.load());
    }
    // Two shared holds count 2, and the count is back to 0 after them.
    ASSERT_EQ(RWLOCK_LockShared(&rw), 0);
    ASSERT_EQ(RWLOCK_LockShared(&rw), 0);
    EXPECT_EQ(rw.count, 2);
    RWLOCK_UnlockShared(&rw);
    RWLOCK_UnlockShared(&rw);
    EXPECT_EQ(rw.count, 0);
    // An exclusive request does not wait for the event, set or not.
    EXPECT_EQ(RWLOCK_LockExclusive(&rw), 0);
    EXPECT_EQ(RWLOCK_UnlockExclusive(&rw), 0);
    EXPECT_EQ(RWLOCK_LockExclusive(&rw), 0);
    EXPECT_EQ(RWLOCK_UnlockExclusive(&rw), 0);
    RWLOCK_Destroy(&rw);
    MUTEX_Destroy(&m);
}

TEST(SyncTest, EventResetsAutomaticallyAndDoesNotCountSets)
{
    RT_EventHandle ev = At(0x1234);
    ASSERT_EQ(EVENT_Create(&ev), 0);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(EVENT_Set(&ev), 0);
    EXPECT_EQ(EVENT_Set(&ev), 0);
    EXPECT_EQ(EVENT_Wait(&ev), 0);  // at once
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        EXPECT_EQ(EVENT_Wait(&ev), 0);
        done = true;
    });
    EXPECT_TRUE(StaysBlocked(done)) << "the second set was counted";
    EXPECT_EQ(EVENT_Set(&ev), 0);
    waiter.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(EVENT_Close(&ev), 0);
    EXPECT_EQ(ev, nullptr);
}

} // namespace
