// The tunnel core's services around the PPP engine: start-up of the timer
// service and the packet pool, the timer poll of the connection thread, the
// engine's termination sink, and adapter packets into pool buffers.
#ifndef TLX_CP_WRAPPER_H
#define TLX_CP_WRAPPER_H

#include <stdint.h>

#include "timer.h"

struct PKT_Buffer;

enum {
    CP_TIMER_BLOCKS = 1000,
    CP_TIMER_RECORDS_PER_BLOCK = 64
};

// Once per process, before any connection: the timer service on the given
// tick source, then the packet pool. 1 when the timer service started.
int CP_Init(TIMER_TickSource32 tickSource, uint32_t ticksPerSecond);

// Runs the calling thread's due timers.
void CP_PollTimers(void);

// The engine's termination sink. Reaches the connection through
// GUI_ActiveConnection; acts only while the PPP handshake or the set-up after
// it runs (Connecting, Connecting PPP Up). "authentication_failed" gives
// Error/Authentication, "prompt_for_otp" sets the abort flag and OTP
// Prompted with an empty chain, any other "ppp_terminated" reason gives
// "PPP error: %s" and Error/PPP Handshake. Always logs the reason.
void CP_PppTerminated(const char *module, uint32_t code, uint32_t number, const char *reason,
                      const char *category);

// A pool buffer (tag "TAP") holding a copy of n adapter bytes; null when no
// buffer is free or the bytes do not fit.
PKT_Buffer *PKT_FromTap(const void *bytes, uint32_t n);

// Logs a one-line description of the packet; nothing for null.
void PKT_Dump(const PKT_Buffer *packet);

#endif
