// The service's pipe on Windows: the named pipe, read in message mode. The
// handle is opened for overlapped I/O so that every read and write can be
// given up after its time-out (CancelIoEx); each call waits for its own
// operation to be over before its OVERLAPPED leaves the stack.
#include "pipe_client.h"

#include <windows.h>

#include <stdlib.h>

#include "pipe_peer_check.h"
#include "service_pipe_protocol.h"

const char *PIPECLIENT_Name(void)
{
    const char *name = getenv(SVCPIPE_PATH_ENV);
    return name && name[0] ? name : SVCPIPE_NAME;
}

uint64_t PIPECLIENT_NowMs(void)
{
    return GetTickCount64();
}

uint32_t PIPECLIENT_TimedOutCode(void)
{
    return ERROR_TIMEOUT;
}

PIPECLIENT_OpenResult PIPECLIENT_Open(uint32_t busyWaitMs, intptr_t *handle, uint32_t *code)
{
    *handle = PIPECLIENT_NONE;
    *code = 0;
    const char *name = PIPECLIENT_Name();
    for (;;) {
        // Identification only: whoever holds the server end cannot act as us.
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            // A client end starts in byte mode, where a long reply would be
            // split across reads and put every later exchange out of step.
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
                *code = GetLastError();
                CloseHandle(h);
                return PIPECLIENT_OPEN_FAILED;
            }
            if (!PIPECHECK_Verify(reinterpret_cast<intptr_t>(h), code)) {
                CloseHandle(h);
                return PIPECLIENT_UNTRUSTED;
            }
            *handle = reinterpret_cast<intptr_t>(h);
            return PIPECLIENT_OPENED;
        }
        *code = GetLastError();
        if (*code != ERROR_PIPE_BUSY)
            return PIPECLIENT_OPEN_FAILED;
        if (!WaitNamedPipeA(name, busyWaitMs)) {
            *code = GetLastError();
            return PIPECLIENT_BUSY_TIMEOUT;
        }
    }
}

int PIPECLIENT_IsAbsent(uint32_t code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

int PIPECLIENT_IsDenied(uint32_t code)
{
    return code == ERROR_ACCESS_DENIED;
}

// The pipe's security descriptor: the system account and the administrators,
// and users logged on at this machine; nobody over the network.
const char *PIPECLIENT_WhoMayUse(void)
{
    return "The route service's pipe admits the system account, the administrators and the users "
           "logged on interactively, never a logon over the network: run the client in a desktop "
           "session of your own, not from a network logon or a service";
}

void PIPECLIENT_Close(intptr_t handle)
{
    if (handle != PIPECLIENT_NONE)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

enum IoResult { IO_DONE, IO_MORE_DATA, IO_FAILED };

// Finishes an overlapped operation that returned FALSE: waits at most
// timeoutMs, then cancels it and waits for the cancel, so that the OVERLAPPED
// is free again in every case.
static IoResult Finish(HANDLE h, OVERLAPPED *ov, BOOL started, uint32_t timeoutMs, DWORD *bytes,
                       uint32_t *code)
{
    if (!started) {
        DWORD err = GetLastError();
        if (err == ERROR_MORE_DATA) {
            GetOverlappedResult(h, ov, bytes, TRUE);
            return IO_MORE_DATA;
        }
        if (err != ERROR_IO_PENDING) {
            *code = err;
            return IO_FAILED;
        }
        if (WaitForSingleObject(ov->hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(h, ov);
            if (!GetOverlappedResult(h, ov, bytes, TRUE)) {
                DWORD after = GetLastError();
                if (after == ERROR_MORE_DATA)
                    return IO_MORE_DATA;
                *code = after == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : after;
                return IO_FAILED;
            }
            return IO_DONE;    // it completed while being cancelled
        }
    }
    if (GetOverlappedResult(h, ov, bytes, TRUE))
        return IO_DONE;
    DWORD err = GetLastError();
    if (err == ERROR_MORE_DATA)
        return IO_MORE_DATA;
    *code = err;
    return IO_FAILED;
}

static IoResult ReadOnce(HANDLE h, void *buffer, uint32_t size, uint32_t timeoutMs, DWORD *bytes,
                         uint32_t *code)
{
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) {
        *code = GetLastError();
        return IO_FAILED;
    }
    *bytes = 0;
    BOOL started = ReadFile(h, buffer, size, nullptr, &ov);
    IoResult r = Finish(h, &ov, started, timeoutMs, bytes, code);
    CloseHandle(ov.hEvent);
    return r;
}

// Reads away the rest of a message that did not fit.
static void DiscardRest(HANDLE h)
{
    char scratch[512];
    DWORD bytes;
    uint32_t code;
    while (ReadOnce(h, scratch, sizeof scratch, 1000, &bytes, &code) == IO_MORE_DATA) {
    }
}

void PIPECLIENT_Drain(intptr_t handle)
{
    if (handle == PIPECLIENT_NONE)
        return;
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    DWORD avail = 0;
    while (PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
        char scratch[512];
        DWORD bytes;
        uint32_t code;
        IoResult r = ReadOnce(h, scratch, sizeof scratch, 1000, &bytes, &code);
        if (r == IO_MORE_DATA)
            DiscardRest(h);
        else if (r == IO_FAILED)
            return;
    }
}

int PIPECLIENT_Write(intptr_t handle, const void *data, uint32_t length, uint32_t timeoutMs,
                     uint32_t *code)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) {
        *code = GetLastError();
        return 0;
    }
    DWORD bytes = 0;
    BOOL started = WriteFile(h, data, length, nullptr, &ov);
    IoResult r = Finish(h, &ov, started, timeoutMs, &bytes, code);
    CloseHandle(ov.hEvent);
    if (r != IO_DONE)
        return 0;
    if (bytes != length) {
        *code = ERROR_WRITE_FAULT;
        return 0;
    }
    return 1;
}

PIPECLIENT_ReadResult PIPECLIENT_Read(intptr_t handle, void *buffer, uint32_t size,
                                      uint32_t timeoutMs, uint32_t *got, uint32_t *code)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    DWORD bytes = 0;
    *got = 0;
    switch (ReadOnce(h, buffer, size, timeoutMs, &bytes, code)) {
    case IO_DONE:
        *got = bytes;
        return PIPECLIENT_READ_OK;
    case IO_MORE_DATA:
        DiscardRest(h);
        return PIPECLIENT_READ_TOO_LONG;
    default:
        return PIPECLIENT_READ_FAILED;
    }
}
