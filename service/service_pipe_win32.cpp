#include "service_pipe.h"
#include "service_pipe_sys.h"
#include "service_pipe_protocol.h"

#include <windows.h>

#include <cstdio>
#include <new>

const char *PIPESYS_DefaultAddress()
{
    return SVCPIPE_NAME;
}

void SPIPE_TestAddress(char *buf, uint32_t size)
{
    snprintf(buf, size, "%s_test%lu", SVCPIPE_NAME, (unsigned long)GetCurrentProcessId());
}

struct SvcPipeClient {
    HANDLE pipe;
    HANDLE event;
};

uint32_t SPIPE_Connect(SvcPipeClient **client)
{
    *client = nullptr;
    HANDLE h = CreateFileA(SPIPE_Address(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return (uint32_t)GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ev || !SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
        DWORD code = GetLastError();
        if (ev)
            CloseHandle(ev);
        CloseHandle(h);
        return (uint32_t)code;
    }
    *client = new (std::nothrow) SvcPipeClient{h, ev};
    if (!*client) {
        CloseHandle(ev);
        CloseHandle(h);
        return ERROR_OUTOFMEMORY;
    }
    return 0;
}

// Runs one overlapped operation to its end, or cancels it after timeoutMs.
static uint32_t Finish(SvcPipeClient *c, OVERLAPPED *ov, BOOL started, DWORD *count, uint32_t timeoutMs)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return (uint32_t)GetLastError();
    if (WaitForSingleObject(c->event, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(c->pipe, ov);
        GetOverlappedResult(c->pipe, ov, count, TRUE);
        return SPIPE_TIMEOUT;
    }
    if (!GetOverlappedResult(c->pipe, ov, count, FALSE))
        return (uint32_t)GetLastError();
    return 0;
}

uint32_t SPIPE_Send(SvcPipeClient *client, const void *data, uint32_t len)
{
    OVERLAPPED ov = {};
    ov.hEvent = client->event;
    ResetEvent(client->event);
    DWORD count = 0;
    BOOL ok = WriteFile(client->pipe, data, len, &count, &ov);
    uint32_t code = Finish(client, &ov, ok, &count, INFINITE);
    if (code == 0 && count != len)
        code = ERROR_WRITE_FAULT;
    return code;
}

uint32_t SPIPE_Receive(SvcPipeClient *client, char *buf, uint32_t size, uint32_t *len, uint32_t timeoutMs)
{
    *len = 0;
    OVERLAPPED ov = {};
    ov.hEvent = client->event;
    ResetEvent(client->event);
    DWORD count = 0;
    BOOL ok = ReadFile(client->pipe, buf, size, &count, &ov);
    uint32_t code = Finish(client, &ov, ok, &count, timeoutMs);
    if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED || code == ERROR_NO_DATA)
        return SPIPE_CLOSED;
    if (code == 0)
        *len = count;
    return code;
}

void SPIPE_Close(SvcPipeClient *client)
{
    if (!client)
        return;
    CloseHandle(client->pipe);
    CloseHandle(client->event);
    delete client;
}
