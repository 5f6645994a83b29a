// Per-thread timer queues over one process-wide record pool.
//
// Records circulate between the pool, a queue's spare list and its pending
// list, so arming and firing allocate nothing once the first block exists.
// A thread's queue is found by hashing its id into one of 128 buckets; the
// queue also carries a token unique to the thread that took it, because
// thread ids are reused and a new thread must never fire the timers a dead
// one left behind (their contexts are long gone).
#include "timer.h"

#include "sync.h"

#include <atomic>
#include <new>
#include <string.h>

namespace {

const uint32_t kQueueCount = 128;
// Expiries further ahead than this count as already due.
const int64_t kDueWindow = int64_t(1) << 29;
const uint64_t kIdleSeconds = 3;

struct TimerQueue;

template <class T>
struct TimerList
{
    T *head;
    T *tail;
    uint32_t count;
};

struct TimerRecord
{
    uint64_t expiry;
    uint64_t interval;
    TIMER_Callback callback;
    void *context;
    uint32_t oneShot;
    TimerRecord *next;
    TimerRecord *prev;
    TimerList<TimerRecord> *owner;
};

struct TimerQueue
{
    TimerList<TimerRecord> spare;
    TimerList<TimerRecord> pending;
    TimerRecord *running;
    uint32_t threadId;
    uint64_t token;
    uint64_t lastRun;
    TimerQueue *next;
    TimerQueue *prev;
    TimerList<TimerQueue> *owner;
};

struct TimerService
{
    bool initialised;
    uint64_t ticksPerSecond;
    uint16_t maxBlocks;
    uint16_t recordsPerBlock;
    uint16_t blocksAllocated;
    TimerRecord **blocks;
    TIMER_TickSource64 tick;
    TIMER_TickSource32 tick32;
    uint64_t nextHousekeeping;
    RwLock tableLock;
    RT_Mutex poolLock;          // the pool and the block table
    RT_Mutex housekeepingLock;  // last-run stamps, the reclaim pass, nextHousekeeping
    TimerList<TimerQueue> buckets[kQueueCount];
    TimerQueue queues[kQueueCount];
    TimerList<TimerQueue> freeQueues;
    TimerList<TimerRecord> pool;
};

TimerService g_timers;
uint32_t (*g_threadIdSource)(void) = RT_CurrentThreadId;

// Last 32-bit reading in the low half, wrap count in the high half; one word
// so that readers on several threads cannot tear it.
std::atomic<uint64_t> g_tick32State{0};

std::atomic<uint64_t> g_lastToken{0};
thread_local uint64_t t_token = 0;

uint64_t ThreadToken()
{
    if (t_token == 0)
        t_token = g_lastToken.fetch_add(1, std::memory_order_relaxed) + 1;
    return t_token;
}

template <class T>
void ListInit(TimerList<T> *l)
{
    l->head = l->tail = nullptr;
    l->count = 0;
}

template <class T>
void ListAppend(TimerList<T> *l, T *e)
{
    e->next = nullptr;
    e->prev = l->tail;
    if (l->tail)
        l->tail->next = e;
    else
        l->head = e;
    l->tail = e;
    e->owner = l;
    l->count++;
}

template <class T>
void ListInsertBefore(TimerList<T> *l, T *at, T *e)
{
    e->next = at;
    e->prev = at->prev;
    if (at->prev)
        at->prev->next = e;
    else
        l->head = e;
    at->prev = e;
    e->owner = l;
    l->count++;
}

template <class T>
void ListUnlink(T *e)
{
    TimerList<T> *l = e->owner;
    if (!l)
        return;
    if (e->prev)
        e->prev->next = e->next;
    else
        l->head = e->next;
    if (e->next)
        e->next->prev = e->prev;
    else
        l->tail = e->prev;
    e->next = e->prev = nullptr;
    e->owner = nullptr;
    l->count--;
}

template <class T>
void ListMoveAll(TimerList<T> *from, TimerList<T> *to)
{
    while (from->head) {
        T *e = from->head;
        ListUnlink(e);
        ListAppend(to, e);
    }
}

bool FnValid(TIMER_Callback f)
{
    return RT_IsValidPointer(reinterpret_cast<const void *>(f));
}

// Not yet due exactly when expiry lies 1 to 2^29 ticks ahead of now.
bool IsDue(uint64_t now, uint64_t expiry)
{
    int64_t d = static_cast<int64_t>(now - expiry);
    return !(d >= -kDueWindow && d <= -1);
}

uint32_t BucketOf(uint32_t id)
{
    return (id ^ (id >> 8) ^ (id >> 16) ^ (id >> 24)) & 0x7Fu;
}

TimerQueue *FindQueue(uint32_t id, uint64_t token)
{
    for (TimerQueue *q = g_timers.buckets[BucketOf(id)].head; q; q = q->next)
        if (q->threadId == id && q->token == token)
            return q;
    return nullptr;
}

bool OwnedBy(const TimerQueue *q, uint32_t id, uint64_t token)
{
    return q->owner && q->owner != &g_timers.freeQueues && q->threadId == id && q->token == token;
}

bool Matches(const TimerRecord *r, TIMER_Callback cb, void *ctx)
{
    return (cb == TIMER_ANY_CALLBACK || r->callback == cb) && (ctx == TIMER_ANY_CONTEXT || r->context == ctx);
}

uint64_t TIMER_Tick64From32()
{
    uint64_t state = g_tick32State.load(std::memory_order_acquire);
    for (;;) {
        uint32_t reading = g_timers.tick32();
        uint32_t last = static_cast<uint32_t>(state);
        uint64_t wraps = state >> 32;
        if (reading < last)
            wraps++;
        uint64_t next = (wraps << 32) | reading;
        // A failed exchange means another thread read the source meanwhile:
        // read it again so the readings stay in order.
        if (g_tick32State.compare_exchange_weak(state, next, std::memory_order_acq_rel))
            return next;
    }
}

// Walks from the head: equal expiries therefore lie newest first.
void TIMER_InsertSorted(TimerList<TimerRecord> *list, TimerRecord *r)
{
    for (TimerRecord *at = list->head; at; at = at->next) {
        if (at->expiry >= r->expiry) {
            ListInsertBefore(list, at, r);
            return;
        }
    }
    ListAppend(list, r);
}

int TIMER_GrowPool()
{
    TimerService &s = g_timers;
    if (s.recordsPerBlock == 0)
        return 0;
    if (MUTEX_Lock(&s.poolLock) != RT_OK)
        return 0;
    TimerRecord *block = nullptr;
    if (s.blocksAllocated < s.maxBlocks)
        block = new (std::nothrow) TimerRecord[s.recordsPerBlock]();
    if (!block) {
        MUTEX_Unlock(&s.poolLock);
        return 0;
    }
    s.blocks[s.blocksAllocated++] = block;
    for (uint32_t i = 0; i < s.recordsPerBlock; i++)
        ListAppend(&s.pool, &block[i]);
    return MUTEX_Unlock(&s.poolLock) == RT_OK;
}

void PoolPut(TimerRecord *r)
{
    MUTEX_Lock(&g_timers.poolLock);
    ListAppend(&g_timers.pool, r);
    MUTEX_Unlock(&g_timers.poolLock);
}

TimerRecord *TakeRecord(TimerQueue *q)
{
    TimerRecord *r = q->spare.head;
    if (r) {
        ListUnlink(r);
        return r;
    }
    TimerService &s = g_timers;
    if (MUTEX_Lock(&s.poolLock) != RT_OK)
        return nullptr;
    if (!s.pool.head)
        TIMER_GrowPool();
    r = s.pool.head;
    if (r)
        ListUnlink(r);
    MUTEX_Unlock(&s.poolLock);
    return r;
}

void TIMER_ReleaseSpares(TimerQueue *q)
{
    if (!q->spare.head)
        return;
    MUTEX_Lock(&g_timers.poolLock);
    ListMoveAll(&q->spare, &g_timers.pool);
    MUTEX_Unlock(&g_timers.poolLock);
}

// Called with the shared hold taken; returns with it taken again and the
// new queue in place, or with no hold at all and null.
TimerQueue *TakeQueue(uint32_t id, uint64_t token)
{
    TimerService &s = g_timers;
    if (RWLOCK_UnlockShared(&s.tableLock) != RT_OK)
        return nullptr;
    // The stamp below is guarded by the housekeeping lock, which is always
    // taken before the table lock.
    if (MUTEX_Lock(&s.housekeepingLock) != RT_OK)
        return nullptr;
    if (RWLOCK_LockExclusive(&s.tableLock) != RT_OK) {
        MUTEX_Unlock(&s.housekeepingLock);
        return nullptr;
    }
    TimerQueue *q = s.freeQueues.head;
    if (q) {
        ListUnlink(q);
        ListInit(&q->spare);
        ListInit(&q->pending);
        q->running = nullptr;
        q->threadId = id;
        q->token = token;
        // A fresh stamp keeps another thread's reclaim pass from taking the
        // queue back before this thread has run once.
        q->lastRun = s.tick();
        ListAppend(&s.buckets[BucketOf(id)], q);
    }
    int rc = RWLOCK_UnlockExclusive(&s.tableLock);
    MUTEX_Unlock(&s.housekeepingLock);
    if (rc != RT_OK || !q)
        return nullptr;
    if (RWLOCK_LockShared(&s.tableLock) != RT_OK)
        return nullptr;
    return q;
}

// Runs under the housekeeping lock with the table lock held exclusively. The
// records of a returned queue go back to the pool; a record whose callback is
// running at this moment stays with the thread that runs it.
void TIMER_ReclaimIdleQueues(uint64_t now)
{
    TimerService &s = g_timers;
    uint64_t idle = kIdleSeconds * s.ticksPerSecond;
    for (uint32_t b = 0; b < kQueueCount; b++) {
        TimerQueue *next = nullptr;
        for (TimerQueue *q = s.buckets[b].head; q; q = next) {
            next = q->next;
            // Signed: another thread may have stamped a queue after this
            // thread took its reading.
            int64_t quiet = static_cast<int64_t>(now - q->lastRun);
            if (quiet <= static_cast<int64_t>(idle))
                continue;
            ListUnlink(q);
            MUTEX_Lock(&s.poolLock);
            ListMoveAll(&q->pending, &s.pool);
            ListMoveAll(&q->spare, &s.pool);
            MUTEX_Unlock(&s.poolLock);
            q->running = nullptr;
            ListAppend(&s.freeQueues, q);
        }
    }
}

uint64_t IntervalTicks(uint32_t seconds, uint32_t microseconds, uint32_t oneShot)
{
    uint64_t tps = g_timers.ticksPerSecond;
    uint64_t interval = uint64_t(seconds) * tps + microseconds / (1000000u / tps);
    if (!oneShot) {
        if (interval == 0)
            interval = 1;
        // A longer period would count as due again straight after each
        // firing, and the run would never end.
        if (interval > static_cast<uint64_t>(kDueWindow))
            interval = static_cast<uint64_t>(kDueWindow);
    }
    return interval;
}

void Housekeeping(TimerQueue *q, uint64_t now)
{
    TimerService &s = g_timers;
    q->lastRun = now;
    if (!IsDue(now, s.nextHousekeeping))
        return;
    if (RWLOCK_LockExclusive(&s.tableLock) == RT_OK) {
        TIMER_ReclaimIdleQueues(now);
        RWLOCK_UnlockExclusive(&s.tableLock);
    }
    s.nextHousekeeping = s.tick() + s.ticksPerSecond;
}

} // namespace

int TIMER_Init(uint16_t maxBlocks, uint16_t recordsPerBlock, uint32_t ticksPerSecond,
               TIMER_TickSource64 tickSource)
{
    TimerService &s = g_timers;
    if (s.initialised || !RT_IsValidPointer(reinterpret_cast<const void *>(tickSource)))
        return 0;
    TimerRecord **table = new (std::nothrow) TimerRecord *[maxBlocks]();
    if (!table)
        return 0;
    s.tick = tickSource;
    s.blocks = table;
    s.recordsPerBlock = recordsPerBlock;
    s.maxBlocks = maxBlocks;
    s.blocksAllocated = 0;
    s.ticksPerSecond = ticksPerSecond;
    ListInit(&s.pool);
    ListInit(&s.freeQueues);
    for (uint32_t i = 0; i < kQueueCount; i++) {
        ListInit(&s.buckets[i]);
        TimerQueue *q = &s.queues[i];
        memset(q, 0, sizeof *q);
        ListAppend(&s.freeQueues, q);
    }
    if (RWLOCK_Init(&s.tableLock) != RT_OK || MUTEX_Init(&s.poolLock) != RT_OK ||
        MUTEX_Init(&s.housekeepingLock) != RT_OK) {
        delete[] table;
        s.blocks = nullptr;
        return 0;
    }
    TIMER_GrowPool();
    s.nextHousekeeping = s.tick() + s.ticksPerSecond;
    s.initialised = true;
    return 1;
}

int TIMER_Init32(uint16_t maxBlocks, uint16_t recordsPerBlock, uint32_t ticksPerSecond,
                 TIMER_TickSource32 tickSource)
{
    // Checked here too: the wrapper passed on below is always valid, and a
    // running service keeps the source it has.
    TimerService &s = g_timers;
    if (s.initialised || !RT_IsValidPointer(reinterpret_cast<const void *>(tickSource)))
        return 0;
    s.tick32 = tickSource;
    g_tick32State.store(0);
    return TIMER_Init(maxBlocks, recordsPerBlock, ticksPerSecond, TIMER_Tick64From32);
}

int TIMER_Add(uint32_t seconds, uint32_t microseconds, uint32_t oneShot, TIMER_Callback callback,
              void *context)
{
    TimerService &s = g_timers;
    if (!s.initialised || RWLOCK_LockShared(&s.tableLock) != RT_OK)
        return 0;
    uint32_t id = g_threadIdSource();
    uint64_t token = ThreadToken();
    TimerQueue *q = FindQueue(id, token);
    if (!FnValid(callback)) {
        RWLOCK_UnlockShared(&s.tableLock);
        return 0;
    }
    if (!q) {
        q = TakeQueue(id, token);
        if (!q)
            return 0;
    }
    TimerRecord *r = TakeRecord(q);
    if (!r) {
        RWLOCK_UnlockShared(&s.tableLock);
        return 0;
    }
    r->callback = callback;
    r->context = context;
    r->oneShot = oneShot;
    r->interval = IntervalTicks(seconds, microseconds, oneShot);
    r->expiry = s.tick() + r->interval;
    TIMER_InsertSorted(&q->pending, r);
    return RWLOCK_UnlockShared(&s.tableLock) == RT_OK;
}

int TIMER_Cancel(TIMER_Callback callback, void *context)
{
    TimerService &s = g_timers;
    if (!s.initialised)
        return 0;
    int rc = RWLOCK_LockShared(&s.tableLock);
    if (rc != RT_OK)
        return rc;
    if (callback == TIMER_ANY_CALLBACK && (context == TIMER_ANY_CONTEXT || context == nullptr)) {
        RWLOCK_UnlockShared(&s.tableLock);
        return 0;
    }
    TimerQueue *q = FindQueue(g_threadIdSource(), ThreadToken());
    if (!q)
        return RWLOCK_UnlockShared(&s.tableLock);
    TimerRecord *next = nullptr;
    for (TimerRecord *r = q->pending.head; r; r = next) {
        next = r->next;
        if (Matches(r, callback, context)) {
            ListUnlink(r);
            ListAppend(&q->spare, r);
        }
    }
    // The run that called us sees running change and drops the record.
    if (q->running && Matches(q->running, callback, context)) {
        ListAppend(&q->spare, q->running);
        q->running = nullptr;
    }
    return RWLOCK_UnlockShared(&s.tableLock);
}

int TIMER_RunExpired(void)
{
    TimerService &s = g_timers;
    if (!s.initialised)
        return 0;
    uint64_t now = s.tick();
    int rc = RWLOCK_LockShared(&s.tableLock);
    if (rc != RT_OK)
        return rc;
    uint32_t id = g_threadIdSource();
    uint64_t token = ThreadToken();
    TimerQueue *q = FindQueue(id, token);
    if (!q)
        return RWLOCK_UnlockShared(&s.tableLock);
    // A callback may poll again; the inner run hands the outer one's record back.
    TimerRecord *outer = q->running;
    for (;;) {
        TimerRecord *r = q->pending.head;
        if (!r || !IsDue(now, r->expiry))
            break;
        ListUnlink(r);
        q->running = r;
        if ((rc = RWLOCK_UnlockShared(&s.tableLock)) != RT_OK)
            return rc;
        r->callback(r->context);
        if ((rc = RWLOCK_LockShared(&s.tableLock)) != RT_OK)
            return rc;
        if (!OwnedBy(q, id, token)) {
            // Reclaimed by another thread while the callback ran.
            if (!r->owner)
                PoolPut(r);
            return RWLOCK_UnlockShared(&s.tableLock);
        }
        if (q->running != r) {
            // Cancelled by its callback (and perhaps armed again already).
            if (!r->owner)
                ListAppend(&q->spare, r);
            continue;
        }
        if (r->oneShot) {
            ListAppend(&q->spare, r);
            continue;
        }
        // Catch up one period per call of the callback, unless the timer
        // is more than four periods late.
        if (now - r->expiry > 4 * r->interval)
            r->expiry = now + r->interval;
        else
            r->expiry += r->interval;
        TIMER_InsertSorted(&q->pending, r);
    }
    q->running = outer;
    TIMER_ReleaseSpares(q);
    if ((rc = RWLOCK_UnlockShared(&s.tableLock)) != RT_OK)
        return rc;
    if ((rc = MUTEX_Lock(&s.housekeepingLock)) != RT_OK)
        return rc;
    Housekeeping(q, now);
    return MUTEX_Unlock(&s.housekeepingLock);
}

uint32_t TIMER_MsUntilNext(uint32_t limit)
{
    TimerService &s = g_timers;
    if (!s.initialised)
        return limit;
    uint64_t now = s.tick();
    if (RWLOCK_LockShared(&s.tableLock) != RT_OK)
        return 0;   // the next poll finds out what is wrong
    uint32_t ms = limit;
    const TimerQueue *q = FindQueue(g_threadIdSource(), ThreadToken());
    const TimerRecord *r = q ? q->pending.head : nullptr;
    if (r && IsDue(now, r->expiry)) {
        ms = 0;
    } else if (r) {
        uint64_t ticks = r->expiry - now;
        uint64_t tps = s.ticksPerSecond;
        uint64_t wait = ticks / tps * 1000 + ((ticks % tps) * 1000 + tps - 1) / tps;
        if (wait < ms)
            ms = static_cast<uint32_t>(wait);
    }
    RWLOCK_UnlockShared(&s.tableLock);
    return ms;
}

void TIMER_TestReset(void)
{
    TimerService &s = g_timers;
    if (s.initialised) {
        RWLOCK_Destroy(&s.tableLock);
        MUTEX_Destroy(&s.poolLock);
        MUTEX_Destroy(&s.housekeepingLock);
    }
    if (s.blocks) {
        for (uint32_t i = 0; i < s.blocksAllocated; i++)
            delete[] s.blocks[i];
        delete[] s.blocks;
    }
    memset(&s, 0, sizeof s);
    g_tick32State.store(0);
    g_threadIdSource = RT_CurrentThreadId;
}

void TIMER_TestSetThreadIdSource(uint32_t (*threadId)(void))
{
    g_threadIdSource = threadId ? threadId : RT_CurrentThreadId;
}

void TIMER_TestGetStats(TIMER_Stats *stats)
{
    TimerService &s = g_timers;
    memset(stats, 0, sizeof *stats);
    if (!s.initialised || RWLOCK_LockShared(&s.tableLock) != RT_OK)
        return;
    MUTEX_Lock(&s.poolLock);
    stats->freeQueues = s.freeQueues.count;
    stats->poolRecords = s.pool.count;
    stats->blocksAllocated = s.blocksAllocated;
    MUTEX_Unlock(&s.poolLock);
    TimerQueue *q = FindQueue(g_threadIdSource(), ThreadToken());
    if (q)
        stats->pendingOfCaller = q->pending.count;
    RWLOCK_UnlockShared(&s.tableLock);
}

uint64_t TIMER_TestNow(void)
{
    return g_timers.initialised ? g_timers.tick() : 0;
}
