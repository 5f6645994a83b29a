// The connection thread's system thread: creation, the exit-code test, a
// bounded wait and the forced stop. The Windows build waits while handling
// the messages other threads send to the waiting (GUI) thread, so that a
// connection thread logging through the console is never stalled by the
// wait that expects it to end.
#ifndef TLX_TUNLEX_THREAD_H
#define TLX_TUNLEX_THREAD_H

#include <stdint.h>

struct TUNLEX_Thread;

enum : uint32_t {
    TUNLEX_THREAD_STILL_ACTIVE = 259   // the exit code of a thread that still runs
};

typedef uint32_t (*TUNLEX_ThreadProc)(void *argument);

// Starts proc(argument) on a new thread; null when none could be made.
TUNLEX_Thread *TUNLEX_ThreadCreate(TUNLEX_ThreadProc proc, void *argument);

// The thread's exit code, or TUNLEX_THREAD_STILL_ACTIVE while it runs.
// 0 when the code cannot be read (null thread included).
int TUNLEX_ThreadExitCode(TUNLEX_Thread *thread, uint32_t *code);

// Waits at most ms for the thread to end. 1 ended, 0 still running.
int TUNLEX_ThreadWait(TUNLEX_Thread *thread, uint32_t ms);

// Stops a thread that did not end when asked. Windows terminates it with the
// exit code; Linux has no safe way to do that and waits for its end (every
// wait of the connection thread sees the abort flag, so it comes soon).
// 1 when the thread is over; 0 when it may still run (Windows: it did not
// end within a few seconds of its termination), and then everything it uses
// must be left to it.
int TUNLEX_ThreadStop(TUNLEX_Thread *thread, uint32_t exitCode);

// Releases the handle. A thread still running goes on unattended.
void TUNLEX_ThreadClose(TUNLEX_Thread *thread);

#endif
