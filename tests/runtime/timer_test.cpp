// Timer service on a fake clock: one tick is one millisecond unless a case
// says otherwise.
#include "timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<uint64_t> g_now{0};
std::atomic<uint32_t> g_now32{0};
uint64_t FakeTick() { return g_now.load(); }
uint32_t FakeTick32() { return g_now32.load(); }

// Fired timers of the test, by name; the context of a timer is its name.
std::mutex g_firedLock;
std::vector<std::string> g_fired;

void Record(void *ctx)
{
    std::lock_guard<std::mutex> hold(g_firedLock);
    g_fired.push_back(static_cast<const char *>(ctx));
}
void Other(void *ctx) { Record(ctx); }

std::vector<std::string> TakeFired()
{
    std::lock_guard<std::mutex> hold(g_firedLock);
    std::vector<std::string> out;
    out.swap(g_fired);
    return out;
}

size_t RunAt(uint64_t tick)
{
    g_now = tick;
    EXPECT_EQ(TIMER_RunExpired(), 0);
    return TakeFired().size();
}

TIMER_Stats Stats()
{
    TIMER_Stats st;
    TIMER_TestGetStats(&st);
    return st;
}

// A thread that runs what it is given, one job at a time, so that a test can
// step several timer threads in a fixed order.
class Worker
{
public:
    Worker() : thread_([this] { Loop(); }) {}
    ~Worker()
    {
        Post(nullptr);
        thread_.join();
    }
    void Post(std::function<void()> job)
    {
        std::unique_lock<std::mutex> hold(lock_);
        cond_.wait(hold, [this] { return !pending_; });
        job_ = std::move(job);
        pending_ = true;
        stop_ = !job_;
        cond_.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> hold(lock_);
        cond_.wait(hold, [this] { return !pending_; });
    }
    void Run(std::function<void()> job)
    {
        Post(std::move(job));
        Wait();
    }

private:
    void Loop()
    {
        for (;;) {
            std::unique_lock<std::mutex> hold(lock_);
            cond_.wait(hold, [this] { return pending_; });
            if (stop_)
                return;
            hold.unlock();
            job_();
            hold.lock();
            pending_ = false;
            cond_.notify_all();
        }
    }
    std::mutex lock_;
    std::condition_variable cond_;
    std::function<void()> job_;
    bool pending_ = false;
    bool stop_ = false;
    std::thread thread_;
};

class TimerTest : public ::testing::Test
{
protected:
    void SetUp() override { Start(4, 8, 1000); }
    void TearDown() override
    {
        TIMER_TestReset();
        TakeFired();
    }
    void Start(uint16_t blocks, uint16_t perBlock, uint32_t tps)
    {
        TIMER_TestReset();
        g_now = 1000;
        ASSERT_EQ(TIMER_Init(blocks, perBlock, tps, FakeTick), 1);
    }
    static void *Name(const char *s) { return const_cast<char *>(s); }
};

TEST_F(TimerTest, IntervalFromSecondsAndMicroseconds)
{
    struct Case
    {
        uint32_t tps, sec, usec, oneShot;
        uint64_t ticks;
    } cases[] = {
        {1000, 0, 0, 1, 0},       {1000, 0, 0, 0, 1},     {1000, 0, 999, 1, 0},
        {1000, 0, 999, 0, 1},     {1000, 2, 1500, 1, 2001}, {100, 0, 15000, 1, 1},
        {100, 3, 0, 0, 300},      {1000000, 0, 999, 1, 999},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.tps << " t/s " << c.sec << " s " << c.usec << " us one-shot " << c.oneShot);
        Start(4, 8, c.tps);
        ASSERT_EQ(TIMER_Add(c.sec, c.usec, c.oneShot, Record, Name("t")), 1);
        if (c.ticks > 0) {
            EXPECT_EQ(RunAt(1000 + c.ticks - 1), 0u);
        }
        EXPECT_EQ(RunAt(1000 + c.ticks), 1u);
        EXPECT_EQ(RunAt(1000 + c.ticks), 0u) << "fired twice at one tick";
    }
}

TEST_F(TimerTest, DueTimersFireInExpiryOrderNewestFirstOnTies)
{
    ASSERT_EQ(TIMER_Add(0, 30000, 1, Record, Name("a30")), 1);
    ASSERT_EQ(TIMER_Add(0, 10000, 1, Record, Name("b10")), 1);
    ASSERT_EQ(TIMER_Add(0, 20000, 1, Record, Name("c20")), 1);
    ASSERT_EQ(TIMER_Add(0, 10000, 1, Record, Name("d10")), 1);
    ASSERT_EQ(TIMER_Add(0, 10000, 1, Record, Name("e10")), 1);
    g_now = 1030;
    ASSERT_EQ(TIMER_RunExpired(), 0);
    EXPECT_EQ(TakeFired(), (std::vector<std::string>{"e10", "d10", "b10", "c20", "a30"}));
}

TEST_F(TimerTest, TimeUntilTheNextTimerIsTheEarliestOfTheCallingThreadRoundedUp)
{
    EXPECT_EQ(TIMER_MsUntilNext(250), 250u) << "nothing armed";
    struct Case
    {
        uint32_t tps;
        uint64_t after;  // ticks past the arming
        uint32_t limit, ms;
    } cases[] = {
        {1000, 0, 5000, 2000}, {1000, 1500, 5000, 500}, {1000, 0, 250, 250},
        {1000, 2000, 250, 0},  {1000, 9000, 250, 0},    {100, 1, 5000, 1990},
        {1000000, 1999999, 5000, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.tps << " t/s, " << c.after << " ticks on, limit " << c.limit);
        Start(4, 8, c.tps);
        ASSERT_EQ(TIMER_Add(7, 0, 1, Record, Name("late")), 1);
        ASSERT_EQ(TIMER_Add(2, 0, 0, Record, Name("first")), 1);
        g_now = 1000 + c.after;
        EXPECT_EQ(TIMER_MsUntilNext(c.limit), c.ms);
    }
    // Another thread's timers are not the caller's.
    Start(4, 8, 1000);
    ASSERT_EQ(TIMER_Add(0, 5000, 1, Record, Name("mine")), 1);
    uint32_t seen = 0;
    std::thread([&] { seen = TIMER_MsUntilNext(250); }).join();
    EXPECT_EQ(seen, 250u);
    EXPECT_EQ(TIMER_MsUntilNext(250), 5u);
}

TEST_F(TimerTest, LatePeriodicTimerCatchesUpAtMostFourPeriods)
{
    struct Case
    {
        uint64_t late;
        size_t fires;
        uint64_t nextDue;  // after the first expiry E = 1100
    } cases[] = {{0, 1, 1200}, {250, 3, 1400}, {400, 5, 1600}, {450, 1, 1650}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "late " << c.late);
        Start(4, 8, 1000);
        ASSERT_EQ(TIMER_Add(0, 100000, 0, Record, Name("p")), 1);
        EXPECT_EQ(RunAt(1100 + c.late), c.fires);
        EXPECT_EQ(RunAt(c.nextDue - 1), 0u);
        EXPECT_EQ(RunAt(c.nextDue), 1u);
    }
}

TEST_F(TimerTest, DueWindowAndTickWrap)
{
    const uint64_t w = uint64_t(1) << 29;
    struct Case
    {
        uint64_t start;
        uint32_t sec, usec;
        uint64_t pollAfter;
        size_t fires;
    } cases[] = {
        {1000, 536870, 912000, 0, 0},                   // exactly 2^29 ahead: not yet
        {1000, 536870, 912000, w, 1},
        {1000, 536870, 913000, 0, 1},                   // beyond the window: due at once
        {UINT64_MAX - 5, 0, 10000, 5, 0},               // expiry wraps past zero
        {UINT64_MAX - 5, 0, 10000, 10, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " +" << c.sec << "s" << c.usec << "us poll +" << c.pollAfter);
        Start(4, 8, 1000);
        g_now = c.start;
        ASSERT_EQ(TIMER_Add(c.sec, c.usec, 1, Record, Name("t")), 1);
        EXPECT_EQ(RunAt(c.start + c.pollAfter), c.fires);
    }
}

TEST_F(TimerTest, VeryLongPeriodicTimerDoesNotSpin)
{
    // Its period is held to the due window; unchecked, every firing would
    // leave it due again and the run would never return.
    const uint64_t w = uint64_t(1) << 29;
    ASSERT_EQ(TIMER_Add(1000000, 0, 0, Record, Name("p")), 1);
    EXPECT_EQ(RunAt(1000), 0u);
    EXPECT_EQ(RunAt(1000 + w), 1u);
    EXPECT_EQ(RunAt(1000 + w), 0u);
    EXPECT_EQ(RunAt(1000 + 2 * w), 1u);
}

char g_x[] = "x";
char g_y[] = "y";

TEST_F(TimerTest, CancelMatchesCallbackAndContextWithWildcards)
{
    // Armed: (Record, x), (Record, y), (Other, x), (Record, null).
    struct Case
    {
        const char *label;
        TIMER_Callback cb;
        void *ctx;
        uint32_t left;
    } cases[] = {
        {"Record x", Record, g_x, 3},
        {"Record any", Record, TIMER_ANY_CONTEXT, 1},
        {"any x", TIMER_ANY_CALLBACK, g_x, 2},
        {"any any", TIMER_ANY_CALLBACK, TIMER_ANY_CONTEXT, 4},
        {"any null", TIMER_ANY_CALLBACK, nullptr, 4},
        {"Record null", Record, nullptr, 3},
        {"Other y", Other, g_y, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Start(4, 8, 1000);
        ASSERT_EQ(TIMER_Add(0, 0, 1, Record, g_x), 1);
        ASSERT_EQ(TIMER_Add(0, 0, 1, Record, g_y), 1);
        ASSERT_EQ(TIMER_Add(0, 0, 1, Other, g_x), 1);
        ASSERT_EQ(TIMER_Add(0, 0, 1, Record, nullptr), 1);
        EXPECT_EQ(TIMER_Cancel(c.cb, c.ctx), 0);
        EXPECT_EQ(Stats().pendingOfCaller, c.left);
    }
}

TEST_F(TimerTest, CancelTouchesOnlyTheCallingThread)
{
    Worker w;
    w.Run([] { ASSERT_EQ(TIMER_Add(0, 0, 1, Record, Name("theirs")), 1); });
    ASSERT_EQ(TIMER_Add(0, 0, 1, Record, Name("ours")), 1);
    EXPECT_EQ(TIMER_Cancel(Record, TIMER_ANY_CONTEXT), 0);
    EXPECT_EQ(RunAt(1000), 0u);
    w.Run([] { EXPECT_EQ(TIMER_RunExpired(), 0); });
    EXPECT_EQ(TakeFired(), std::vector<std::string>{"theirs"});
    // A thread that never armed anything cancels nothing.
    Worker idle;
    idle.Run([] { EXPECT_EQ(TIMER_Cancel(Record, TIMER_ANY_CONTEXT), 0); });
}

// Callbacks that change their own thread's timers while they run.
int g_selfCancels = 0;
void CancelSelf(void *ctx)
{
    g_selfCancels++;
    TIMER_Cancel(CancelSelf, ctx);
}
void CancelSelfAndRearm(void *)
{
    TIMER_Cancel(CancelSelfAndRearm, nullptr);
    TIMER_Add(0, 0, 1, Record, const_cast<char *>("rearmed"));
}
void AdvanceThenArm(void *)
{
    g_now += 1;
    TIMER_Add(0, 0, 1, Record, const_cast<char *>("late"));
}
void PollFromCallback(void *)
{
    Record(const_cast<char *>("outer"));
    TIMER_RunExpired();
}

TEST_F(TimerTest, CallbacksMayCancelAndArmTheirOwnThreadsTimers)
{
    // Periodic, cancelled by itself: polled four periods late it still fires once.
    g_selfCancels = 0;
    ASSERT_EQ(TIMER_Add(0, 100000, 0, CancelSelf, Name("c")), 1);
    RunAt(1500);
    RunAt(1700);
    EXPECT_EQ(g_selfCancels, 1);

    // The cancelled record is reused by the arming at once; a zero delay
    // fires in the same run while the tick stands still.
    ASSERT_EQ(TIMER_Add(0, 100000, 0, CancelSelfAndRearm, nullptr), 1);
    g_now = 1800;
    ASSERT_EQ(TIMER_RunExpired(), 0);
    EXPECT_EQ(TakeFired(), std::vector<std::string>{"rearmed"});
    EXPECT_EQ(RunAt(2000), 0u);

    // When the tick has moved on, the new timer waits for the next run.
    ASSERT_EQ(TIMER_Add(0, 0, 1, AdvanceThenArm, nullptr), 1);
    g_now = 2100;
    ASSERT_EQ(TIMER_RunExpired(), 0);
    EXPECT_TRUE(TakeFired().empty());
    EXPECT_EQ(RunAt(2101), 1u);
    EXPECT_EQ(Stats().pendingOfCaller, 0u);
}

TEST_F(TimerTest, PollingFromACallbackKeepsThePeriodicTimer)
{
    ASSERT_EQ(TIMER_Add(0, 100000, 0, PollFromCallback, nullptr), 1);
    EXPECT_EQ(RunAt(1100), 1u);
    EXPECT_EQ(Stats().pendingOfCaller, 1u);
    EXPECT_EQ(RunAt(1200), 1u);
}

TEST_F(TimerTest, WidensA32BitSource)
{
    struct Case
    {
        uint32_t first, second;
        uint64_t step;
    } cases[] = {{0xFFFFFFF0u, 0x10u, 0x20u}, {0x100u, 0xFFu, 0xFFFFFFFFu}, {5u, 5u, 0u}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.first << " -> " << c.second);
        TIMER_TestReset();
        g_now32 = c.first;
        ASSERT_EQ(TIMER_Init32(4, 8, 1000, FakeTick32), 1);
        uint64_t before = TIMER_TestNow();
        EXPECT_EQ(static_cast<uint32_t>(before), c.first);
        g_now32 = c.second;
        EXPECT_EQ(TIMER_TestNow() - before, c.step);
    }
    // A 32-bit timer across the wrap.
    TIMER_TestReset();
    g_now32 = 0xFFFFFFF0u;
    ASSERT_EQ(TIMER_Init32(4, 8, 1000, FakeTick32), 1);
    ASSERT_EQ(TIMER_Add(0, 32000, 1, Record, Name("w")), 1);
    g_now32 = 0x0F;
    EXPECT_EQ(TIMER_RunExpired(), 0);
    EXPECT_TRUE(TakeFired().empty());
    g_now32 = 0x10;
    EXPECT_EQ(TIMER_RunExpired(), 0);
    EXPECT_EQ(TakeFired().size(), 1u);
}

TEST_F(TimerTest, InitialisationRefusals)
{
    EXPECT_EQ(TIMER_Init(4, 8, 1000, FakeTick), 0) << "second initialisation";
    EXPECT_EQ(TIMER_Init32(4, 8, 1000, FakeTick32), 0) << "second initialisation";
    TIMER_TestReset();
    EXPECT_EQ(TIMER_Add(0, 0, 1, Record, Name("t")), 0);
    EXPECT_EQ(TIMER_Cancel(Record, TIMER_ANY_CONTEXT), 0);
    EXPECT_EQ(TIMER_RunExpired(), 0);
    EXPECT_EQ(TIMER_Init(4, 8, 1000, nullptr), 0);
    EXPECT_EQ(TIMER_Init32(4, 8, 1000, nullptr), 0);
    EXPECT_EQ(TIMER_Init32(4, 8, 1000, reinterpret_cast<TIMER_TickSource32>(static_cast<uintptr_t>(0x8000))), 0);
    ASSERT_EQ(TIMER_Init(4, 8, 1000, FakeTick), 1);
    EXPECT_EQ(TIMER_Add(0, 0, 1, nullptr, Name("t")), 0);
    EXPECT_EQ(TIMER_Add(0, 0, 1, reinterpret_cast<TIMER_Callback>(static_cast<uintptr_t>(0xFFFF)), Name("t")), 0);
    EXPECT_EQ(Stats().pendingOfCaller, 0u);
}

TEST_F(TimerTest, RecordLimitAndReuse)
{
    Start(3, 4, 1000);
    EXPECT_EQ(Stats().blocksAllocated, 1u);
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(TIMER_Add(1, 0, 1, Record, Name("t")), 1) << i;
    EXPECT_EQ(TIMER_Add(1, 0, 1, Record, Name("t")), 0);
    EXPECT_EQ(Stats().blocksAllocated, 3u);
    EXPECT_EQ(TIMER_Cancel(Record, TIMER_ANY_CONTEXT), 0);
    RunAt(1000);  // hands the spare records back to the pool
    EXPECT_EQ(Stats().poolRecords, 12u);
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(TIMER_Add(0, 0, 1, Record, Name("t")), 1) << i;
    EXPECT_EQ(RunAt(1000), 12u);
    EXPECT_EQ(Stats().blocksAllocated, 3u);
}

TEST_F(TimerTest, QueueLimitThenReclaimOfIdleQueuesReturnsTheirRecords)
{
    Start(64, 4, 1000);
    ASSERT_EQ(TIMER_Add(0, 0, 1, Record, Name("main")), 1);
    // 127 threads arm a timer and end without cancelling it.
    for (int i = 0; i < 127; i++) {
        std::thread t([] { EXPECT_EQ(TIMER_Add(10, 0, 1, Record, Name("dead")), 1); });
        t.join();
    }
    EXPECT_EQ(Stats().freeQueues, 0u);
    std::thread extra([] { EXPECT_EQ(TIMER_Add(0, 0, 1, Record, Name("129th")), 0); });
    extra.join();
    uint32_t allRecords = Stats().blocksAllocated * 4;

    EXPECT_EQ(RunAt(4000), 1u);  // idle exactly 3 s: kept
    EXPECT_EQ(Stats().freeQueues, 0u);
    EXPECT_EQ(RunAt(5001), 0u);
    EXPECT_EQ(Stats().freeQueues, 127u);
    EXPECT_EQ(Stats().poolRecords, allRecords);
    std::thread later([] {
        EXPECT_EQ(TIMER_Add(0, 0, 1, Record, Name("new")), 1);
        EXPECT_EQ(TIMER_RunExpired(), 0);
    });
    later.join();
    EXPECT_EQ(TakeFired(), std::vector<std::string>{"new"});
    EXPECT_EQ(RunAt(20000), 0u);
}

TEST_F(TimerTest, ThreadThatStopsPollingLosesItsTimers)
{
    Worker a;
    a.Run([] { ASSERT_EQ(TIMER_Add(5, 0, 1, Record, Name("a")), 1); });
    ASSERT_EQ(TIMER_Add(1, 0, 0, Record, Name("b")), 1);
    for (uint64_t t = 2000; t <= 6000; t += 1000)
        RunAt(t);
    a.Run([] {
        EXPECT_EQ(TIMER_RunExpired(), 0);
        EXPECT_EQ(Stats().pendingOfCaller, 0u);
        EXPECT_EQ(TIMER_Add(0, 0, 1, Record, Name("a2")), 1);
        EXPECT_EQ(TIMER_RunExpired(), 0);
    });
    EXPECT_EQ(TakeFired(), std::vector<std::string>{"a2"});
}

uint32_t SameId() { return 42; }

TEST_F(TimerTest, NewThreadWithAReusedIdDoesNotAdoptTheOldQueue)
{
    TIMER_TestSetThreadIdSource(SameId);
    {
        Worker dead;
        dead.Run([] { ASSERT_EQ(TIMER_Add(0, 0, 1, Record, Name("stale")), 1); });
    }
    Worker next;
    next.Run([] {
        EXPECT_EQ(TIMER_RunExpired(), 0);
        EXPECT_EQ(Stats().pendingOfCaller, 0u);
        EXPECT_EQ(TIMER_Add(0, 0, 1, Record, Name("own")), 1);
        EXPECT_EQ(TIMER_Cancel(Record, TIMER_ANY_CONTEXT), 0);
        EXPECT_EQ(TIMER_Add(0, 0, 1, Record, Name("own")), 1);
        EXPECT_EQ(TIMER_RunExpired(), 0);
    });
    EXPECT_EQ(TakeFired(), std::vector<std::string>{"own"});
    EXPECT_EQ(Stats().freeQueues, 126u);
}

// A callback still running when another thread reclaims its queue.
std::mutex g_gateLock;
std::condition_variable g_gateCond;
int g_gateState = 0;  // 1 entered, 2 released
void BlockingCallback(void *)
{
    std::unique_lock<std::mutex> hold(g_gateLock);
    g_gateState = 1;
    g_gateCond.notify_all();
    g_gateCond.wait(hold, [] { return g_gateState == 2; });
}

TEST_F(TimerTest, QueueReclaimedDuringACallbackIsLeftAlone)
{
    ASSERT_EQ(TIMER_Add(0, 0, 1, Record, Name("main")), 1);
    Worker w;
    g_gateState = 0;
    w.Run([] {
        // Equal expiries fire newest first: the blocking one goes first.
        ASSERT_EQ(TIMER_Add(0, 0, 1, Record, Name("behind")), 1);
        ASSERT_EQ(TIMER_Add(0, 0, 1, BlockingCallback, nullptr), 1);
    });
    w.Post([] { EXPECT_EQ(TIMER_RunExpired(), 0); });
    {
        std::unique_lock<std::mutex> hold(g_gateLock);
        g_gateCond.wait(hold, [] { return g_gateState == 1; });
    }
    EXPECT_EQ(RunAt(4001), 1u);  // reclaims the worker's queue
    EXPECT_EQ(Stats().freeQueues, 127u);
    {
        std::lock_guard<std::mutex> hold(g_gateLock);
        g_gateState = 2;
        g_gateCond.notify_all();
    }
    w.Wait();
    EXPECT_TRUE(TakeFired().empty());
    EXPECT_EQ(Stats().freeQueues, 127u);
    EXPECT_EQ(Stats().poolRecords, Stats().blocksAllocated * 8u) << "a record went missing";
}

} // namespace
