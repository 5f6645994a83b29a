// The client end of the route service's pipe, one message per call: a
// message-mode named pipe on Windows, a Unix-domain SOCK_SEQPACKET socket on
// Linux. Every wait is bounded. Handles are intptr_t, PIPECLIENT_NONE when
// there is none; error codes are the system's own (GetLastError or errno).
#ifndef TLX_PIPE_CLIENT_H
#define TLX_PIPE_CLIENT_H

#include <stdint.h>

constexpr intptr_t PIPECLIENT_NONE = -1;

enum PIPECLIENT_OpenResult {
    PIPECLIENT_OPENED = 0,
    PIPECLIENT_OPEN_FAILED = 1,    // no service, or it refused; *code
    PIPECLIENT_BUSY_TIMEOUT = 2,   // busy with another client for the whole wait; *code
    PIPECLIENT_UNTRUSTED = 3       // opened, but its server is not the route service; *code
};

// The pipe's name or path: the SVCPIPE_PATH_ENV variable when set and not
// empty, else the system's default.
const char *PIPECLIENT_Name(void);

// Opens the pipe for reading and writing. A pipe busy with another client is
// waited for, busyWaitMs at a time, and tried again after each wait that
// ends with the pipe free.
PIPECLIENT_OpenResult PIPECLIENT_Open(uint32_t busyWaitMs, intptr_t *handle, uint32_t *code);

// 1 when an open's code means that nothing serves the pipe (no such pipe,
// or nobody listening on the socket).
int PIPECLIENT_IsAbsent(uint32_t code);

// 1 when an open's code means that the service's pipe refuses this user.
int PIPECLIENT_IsDenied(uint32_t code);

// Who may use the route service's pipe, as one line for a user the pipe
// refused, with what such a user can do about it.
const char *PIPECLIENT_WhoMayUse(void);

void PIPECLIENT_Close(intptr_t handle);

// Reads away every message already waiting, without waiting for more.
void PIPECLIENT_Drain(intptr_t handle);

// Sends one message. 1 sent; 0 with *code (the time-out's code when the pipe
// did not take it within timeoutMs).
int PIPECLIENT_Write(intptr_t handle, const void *data, uint32_t length, uint32_t timeoutMs,
                     uint32_t *code);

enum PIPECLIENT_ReadResult {
    PIPECLIENT_READ_OK = 0,        // the whole message is in the buffer, *got bytes
    PIPECLIENT_READ_TOO_LONG = 1,  // larger than the buffer; all of it was read away
    PIPECLIENT_READ_FAILED = 2     // *code: the pipe broke, or PIPECLIENT_TimedOutCode
};

// Receives the next message, waiting at most timeoutMs.
PIPECLIENT_ReadResult PIPECLIENT_Read(intptr_t handle, void *buffer, uint32_t size,
                                      uint32_t timeoutMs, uint32_t *got, uint32_t *code);

// The code a read or write that ran out of time reports.
uint32_t PIPECLIENT_TimedOutCode(void);

// Monotonic milliseconds, for deadlines.
uint64_t PIPECLIENT_NowMs(void);

#endif
