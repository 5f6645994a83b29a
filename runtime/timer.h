// Per-thread timers. A timer belongs to the thread that armed it and fires
// only inside that thread's TIMER_RunExpired, with no lock of the service held,
// so a callback may arm and cancel timers of its own thread.
#ifndef TLX_RUNTIME_TIMER_H
#define TLX_RUNTIME_TIMER_H

#include <stdint.h>

typedef void (*TIMER_Callback)(void *context);
typedef uint64_t (*TIMER_TickSource64)(void);
typedef uint32_t (*TIMER_TickSource32)(void);

// The value 1 as callback or context of TIMER_Cancel matches any.
#define TIMER_ANY_CALLBACK (reinterpret_cast<TIMER_Callback>(static_cast<uintptr_t>(1)))
#define TIMER_ANY_CONTEXT (reinterpret_cast<void *>(static_cast<uintptr_t>(1)))

// Once per process. ticksPerSecond must lie in 1..1,000,000. Result 1 or 0.
int TIMER_Init(uint16_t maxBlocks, uint16_t recordsPerBlock, uint32_t ticksPerSecond,
               TIMER_TickSource64 tickSource);
// The same with a 32-bit source, widened to 64 bits by counting its wraps.
int TIMER_Init32(uint16_t maxBlocks, uint16_t recordsPerBlock, uint32_t ticksPerSecond,
                 TIMER_TickSource32 tickSource);

// oneShot non-zero: fires once; 0: periodic. Result 1 armed, 0 not.
int TIMER_Add(uint32_t seconds, uint32_t microseconds, uint32_t oneShot,
              TIMER_Callback callback, void *context);
// Removes every timer of the calling thread matching (callback, context).
// Result 0 or a lock code; it does not tell whether anything matched.
int TIMER_Cancel(TIMER_Callback callback, void *context);
// Fires the calling thread's due timers in expiry order. Result 0 or a lock code.
int TIMER_RunExpired(void);
// Milliseconds (rounded up) until the calling thread's next timer is due: 0
// when one is due already, limit when none comes sooner (or none is armed).
uint32_t TIMER_MsUntilNext(uint32_t limit);

// Test support. TIMER_TestReset tears the service down (no thread may be using
// it) so that a test can initialise it afresh with its own limits and clock.
struct TIMER_Stats
{
    uint32_t freeQueues;       // queues owned by no thread
    uint32_t poolRecords;      // records in the pool
    uint32_t blocksAllocated;
    uint32_t pendingOfCaller;  // timers armed by the calling thread
};
void TIMER_TestReset(void);
// Replaces the system thread id (null restores it), so that tests can give
// two threads the same id.
void TIMER_TestSetThreadIdSource(uint32_t (*threadId)(void));
void TIMER_TestGetStats(TIMER_Stats *stats);
// The service's tick as it reads it now (0 when uninitialised).
uint64_t TIMER_TestNow(void);

#endif
