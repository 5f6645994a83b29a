// The pipe on Windows: one message-mode named pipe instance with overlapped
// I/O; a stop event of its own wakes the worker, which alone closes the pipe.
#include "ssl_service.h"
#include "service_log.h"
#include "service_pipe.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <cstdlib>

#include <cstring>
#include <new>

// Local System and the administrators fully, interactive users read and
// write, nobody who logged on over the network (the deny comes first).
// Generic write for a pipe includes FILE_CREATE_PIPE_INSTANCE (it is the
// append right): the client opens its end with GENERIC_WRITE, and a grant
// without that bit would refuse it. Nobody can make a second instance all
// the same: the pipe is made as the first instance with one instance only.
// The owner is the administrators, whichever of the system account or an
// elevated administrator made it: clients trust the pipe by its owner, and
// no other account can give an object that owner.
#define PIPE_SDDL L"O:BAD:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)"
// PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE:
// the creation fails when any other process holds the name already.
#define PIPE_OPEN_MODE (0x40000003u | 0x00080000u)
// PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_MODE (6u | 8u)
// One instance, kept across clients (DisconnectNamedPipe, ConnectNamedPipe),
// so that no moment comes in which another process could create one.
#define PIPE_INSTANCES 1u

const uint32_t SVCSYS_OutOfMemory = ERROR_OUTOFMEMORY;

uint32_t SVCSYS_EventCreate(void **event)
{
    *event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return *event ? 0 : (uint32_t)GetLastError();
}

void SVCSYS_EventSet(void *event)
{
    SetEvent(event);
}

uint32_t SVCSYS_EventWait(void *event)
{
    DWORD w = WaitForSingleObject(event, INFINITE);
    if (w == WAIT_OBJECT_0)
        return 0;
    DWORD code = GetLastError();
    return code ? (uint32_t)code : (uint32_t)ERROR_INVALID_HANDLE;
}

bool SVCSYS_EventIsSet(void *event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

void SVCSYS_EventClose(void *event)
{
    CloseHandle(event);
}

// The first instance's creation fails while any other process holds the
// name: a second copy cannot take the pipe from the first.
bool SVCSYS_PipeBeforeRecovery()
{
    return true;
}

struct WorkStart {
    void (*fn)(void *);
    void *context;
};

static DWORD WINAPI WorkTrampoline(LPVOID arg)
{
    WorkStart start = *static_cast<WorkStart *>(arg);
    delete static_cast<WorkStart *>(arg);
    start.fn(start.context);
    return 0;
}

uint32_t SVCSYS_QueueWork(void (*fn)(void *), void *context)
{
    WorkStart *start = new (std::nothrow) WorkStart{fn, context};
    if (!start)
        return ERROR_OUTOFMEMORY;
    if (!QueueUserWorkItem(WorkTrampoline, start, WT_EXECUTELONGFUNCTION)) {
        DWORD code = GetLastError();
        delete start;
        return (uint32_t)code;
    }
    return 0;
}

struct PipeSys {
    HANDLE wake;  // manual reset; set once by a stop
    HANDLE pipe;
    OVERLAPPED ov;
    SECURITY_ATTRIBUTES *security;
    bool tooLong;  // the message being read did not fit: its rest is read away
    ULONGLONG connectedAt;  // GetTickCount64 when the client's connection was made
    ULONGLONG replyStarted;  // when the pending reply's write began, or 0
};

uint32_t PIPESYS_Create(PipeSys **pipe)
{
    PipeSys *p = new (std::nothrow) PipeSys;
    if (!p)
        return ERROR_OUTOFMEMORY;
    memset(p, 0, sizeof(*p));
    p->pipe = INVALID_HANDLE_VALUE;
    p->wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!p->wake) {
        DWORD code = GetLastError();
        delete p;
        return (uint32_t)code;
    }
    *pipe = p;
    return 0;
}

void PIPESYS_Destroy(PipeSys *pipe)
{
    if (!pipe)
        return;
    CloseHandle(pipe->wake);
    delete pipe;
}

static int PIPE_CreateSecurity(SECURITY_ATTRIBUTES **out)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PIPE_SDDL, SDDL_REVISION_1, &sd, nullptr))
        return 0;
    SECURITY_ATTRIBUTES *sa = static_cast<SECURITY_ATTRIBUTES *>(LocalAlloc(LMEM_ZEROINIT, sizeof(*sa)));
    if (!sa) {
        DWORD code = GetLastError();
        LocalFree(sd);
        SetLastError(code);
        return 0;
    }
    sa->nLength = sizeof(*sa);
    sa->lpSecurityDescriptor = sd;
    sa->bInheritHandle = FALSE;
    *out = sa;
    return 1;
}

static void FreeSecurity(PipeSys *p)
{
    if (!p->security)
        return;
    LocalFree(p->security->lpSecurityDescriptor);
    LocalFree(p->security);
    p->security = nullptr;
}

static void PipeError(uint32_t code, const char *state)
{
    LOG_Print("ERROR: %lu (%s) State: %s\r\n", (unsigned long)code, GetErrorText(code), state);
}

// Ends an outstanding operation so that the overlapped record is free again.
static void DrainPending(CSSLService *s)
{
    PipeSys *p = s->pipe;
    if (!s->pending || p->pipe == INVALID_HANDLE_VALUE)
        return;
    DWORD count = 0;
    CancelIoEx(p->pipe, &p->ov);
    GetOverlappedResult(p->pipe, &p->ov, &count, TRUE);
    s->pending = 0;
}

int CSSLService::PIPE_Initialize()
{
    PIPE_Close();
    memset(&pipe->ov, 0, sizeof(pipe->ov));
    PIPE_ResetExchange();
    if (!PIPE_CreateSecurity(&pipe->security)) {
        DWORD code = GetLastError();
        EVENTLOG_Write(SVC_EVENT_ERROR, "Failed to create Pipe Security.");
        LOG_Print("ERROR: Failed to create Pipe Security. Error code: %lu \r\n", (unsigned long)code);
        lastError = (uint32_t)code;
        return 0;
    }
    pipe->ov.hEvent = CreateEventW(pipe->security, TRUE, TRUE, nullptr);
    if (!pipe->ov.hEvent) {
        lastError = (uint32_t)GetLastError();
        LOG_Print("ERROR: CreateEvent failed with %d.\r\n", (int)lastError);
        return 0;
    }
    pipe->pipe = CreateNamedPipeA(SPIPE_Address(), PIPE_OPEN_MODE, PIPE_MODE, PIPE_INSTANCES,
                                  SVC_REPLY_MAX, SVC_REQUEST_MAX, 0xFFFFFFFFu, pipe->security);
    // The first instance fixes the pipe's instance count: one other than
    // ours is a pipe another program made first (a system that ignores the
    // first-instance flag lets the creation pass).
    DWORD instances = 0;
    if (pipe->pipe != INVALID_HANDLE_VALUE &&
        (!GetNamedPipeInfo(pipe->pipe, nullptr, nullptr, nullptr, &instances) || instances != PIPE_INSTANCES)) {
        CloseHandle(pipe->pipe);
        pipe->pipe = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_ACCESS_DENIED);
    }
    if (pipe->pipe == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY)
            LOG_Print("ERROR: Another program holds the pipe name \"%s\"; the service does not serve\r\n",
                      SPIPE_Address());
        PIPE_ReportCreateFailure((uint32_t)code);
        return 0;
    }
    pipe->tooLong = false;
    return 1;
}

static void Connected(PipeSys *p)
{
    p->connectedAt = GetTickCount64();
    p->replyStarted = 0;
}

int CSSLService::PIPE_Open()
{
    if (ConnectNamedPipe(pipe->pipe, &pipe->ov)) {
        LOG_Print("ERROR: ConnectNamedPipe failed with %d.\r\n", (int)GetLastError());
        return 0;
    }
    DWORD code = GetLastError();
    if (code == ERROR_PIPE_CONNECTED) {
        // The client came first: no operation signals the event, so the
        // first read must not wait for it.
        pending = 0;
        pipeState = PIPE_READING;
        Connected(pipe);
        SetEvent(pipe->ov.hEvent);
        return 1;
    }
    if (code == ERROR_IO_PENDING) {
        pending = 1;
        pipeState = PIPE_CONNECTING;
        return 1;
    }
    EVENTLOG_WriteError(code, "Failed to Connect to NamedPipe.");
    LOG_Print("ERROR: Failed to Connect to NamedPipe. Error code: %lu (%s)\r\n", (unsigned long)code,
              GetErrorText(code));
    LOG_Print("Service is restarting.. \r\n");
    return 0;
}

// How long the worker may wait for the outstanding operation: a caller not
// yet bound must have its ClientHello accepted within the hello deadline of
// its connection, and a reply must be taken within the reply deadline. A
// connect, and a bound client's silence, are waited for without end.
// *late says which deadline has passed (the wait is then 0).
static DWORD WaitLimit(const CSSLService *s, int *late)
{
    ULONGLONG deadline = 0;
    *late = 0;
    if (s->pipeState == PIPE_READING && !s->bound)
        deadline = s->pipe->connectedAt + s->helloDeadlineMs.load();
    else if (s->pipeState == PIPE_WRITING && s->pending)
        deadline = s->pipe->replyStarted + s->replyDeadlineMs.load();
    if (!deadline)
        return INFINITE;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
        *late = s->pipeState == PIPE_READING ? 1 : 2;
        return 0;
    }
    return deadline - now > 60000 ? 60000 : (DWORD)(deadline - now);
}

int CSSLService::PIPE_Exchange()
{
    for (;;) {
        if (stopping || pipe->pipe == INVALID_HANDLE_VALUE)
            return 0;
        HANDLE waits[2] = {pipe->ov.hEvent, pipe->wake};
        int late = 0;
        DWORD w = WaitForMultipleObjects(2, waits, FALSE, WaitLimit(this, &late));
        if (stopping)
            return 0;
        if (w == WAIT_TIMEOUT) {
            WaitLimit(this, &late);
            if (late) {
                PIPE_ReportLimit(late == 1);
                return 0;
            }
            continue;
        }
        if (w != WAIT_OBJECT_0)
            return 0;
        if (pending) {
            DWORD count = 0;
            BOOL ok = GetOverlappedResult(pipe->pipe, &pipe->ov, &count, FALSE);
            uint32_t code = ok ? 0 : (uint32_t)GetLastError();
            pending = 0;
            if (pipeState == PIPE_CONNECTING) {
                if (!ok) {
                    PipeError(code, "CONNECTING_PENDING");
                    return 0;
                }
                Connected(pipe);
                pipeState = PIPE_READING;
            } else if (pipeState == PIPE_READING) {
                if (ok && count != 0) {
                    requestLength = pipe->tooLong ? SVC_REQUEST_TOO_LONG : count;
                    pipe->tooLong = false;
                    pipeState = PIPE_WRITING;
                    return 1;
                }
                if (!ok && code == ERROR_MORE_DATA) {
                    pipe->tooLong = true;  // read on into the same buffer
                } else if (code == ERROR_BROKEN_PIPE) {
                    LOG_Print("NOTICE: Client connection closed, %lu (%s)\r\n", (unsigned long)code,
                              GetErrorText(code));
                    return 0;
                } else {
                    PipeError(code, "READING_PENDING");
                    return 0;
                }
            } else if (pipeState == PIPE_WRITING) {
                if (!ok || count != replyLength) {
                    PipeError(code, "WRITING_PENDING");
                    return 0;
                }
                replyLength = 0;
                pipe->replyStarted = 0;
                pipeState = PIPE_READING;
            } else {
                LOG_Print("ERROR: Invalid state %lu, Error: %lu (%s)\r\n", (unsigned long)pipeState,
                          (unsigned long)code, GetErrorText(code));
                return 0;
            }
        }
        if (pipeState == PIPE_READING) {
            DWORD count = 0;
            BOOL ok = ReadFile(pipe->pipe, request, SVC_REQUEST_MAX, &count, &pipe->ov);
            if (ok && count != 0) {
                requestLength = pipe->tooLong ? SVC_REQUEST_TOO_LONG : count;
                pipe->tooLong = false;
                pending = 0;
                pipeState = PIPE_WRITING;
                return 1;
            }
            lastError = (uint32_t)GetLastError();
            if (!ok && lastError == ERROR_IO_PENDING) {
                pending = 1;
                continue;
            }
            if (!ok && lastError == ERROR_MORE_DATA) {
                pipe->tooLong = true;
                pending = 0;
                continue;
            }
            if (!ok && lastError == ERROR_BROKEN_PIPE)
                LOG_Print("NOTICE: Client connection closed, %lu (%s)\r\n", (unsigned long)lastError,
                          GetErrorText(lastError));
            else
                PipeError(lastError, "READING");
            return 0;
        } else if (pipeState == PIPE_WRITING) {
            if (replyLength == 0 || reply[0] == '\0')
                return 0;
            DWORD count = 0;
            pipe->replyStarted = GetTickCount64();
            BOOL ok = WriteFile(pipe->pipe, reply, replyLength, &count, &pipe->ov);
            if (ok && count == replyLength) {
                replyLength = 0;
                pipe->replyStarted = 0;
                pending = 0;
                pipeState = PIPE_READING;
                continue;
            }
            lastError = (uint32_t)GetLastError();
            if (!ok && lastError == ERROR_IO_PENDING) {
                pending = 1;
                continue;
            }
            PipeError(lastError, "WRITING");
            return 0;
        } else {
            LOG_Print("ERROR: Invalid state %lu, Error: %lu (%s)\r\n", (unsigned long)pipeState,
                      (unsigned long)lastError, GetErrorText(lastError));
            return 0;
        }
    }
}

void CSSLService::PIPE_Disconnect()
{
    DrainPending(this);
    if (pipe->pipe != INVALID_HANDLE_VALUE)
        DisconnectNamedPipe(pipe->pipe);
}

void CSSLService::PIPE_Close()
{
    DrainPending(this);
    if (pipe->pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe->pipe);
    pipe->pipe = INVALID_HANDLE_VALUE;
    if (pipe->ov.hEvent)
        CloseHandle(pipe->ov.hEvent);
    pipe->ov.hEvent = nullptr;
    FreeSecurity(pipe);
}

void CSSLService::PIPE_Wake()
{
    SetEvent(pipe->wake);
}

// ---- The TAP adapter lookup: the adapter of that name (its GUID) and
// index whose description is a TAP description ----

// The system's IPv4 adapters (free() the list), or null with the error in
// *code. The undo file's adapter lookup reads them the same way.
IP_ADAPTER_ADDRESSES *SVCSYS_ReadAdapters(uint32_t *code)
{
    ULONG size = 16 * 1024;
    IP_ADAPTER_ADDRESSES *list = nullptr;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && rc == ERROR_BUFFER_OVERFLOW; tries++) {
        free(list);
        list = static_cast<IP_ADAPTER_ADDRESSES *>(malloc(size));
        if (!list) {
            *code = ERROR_OUTOFMEMORY;
            return nullptr;
        }
        rc = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                  nullptr, list, &size);
    }
    *code = (uint32_t)rc;
    if (rc == ERROR_SUCCESS)
        return list;
    free(list);
    return nullptr;
}

uint32_t SVCSYS_FindTapAdapter(const char *name, uint32_t index)
{
    uint32_t rc = 0;
    IP_ADAPTER_ADDRESSES *list = SVCSYS_ReadAdapters(&rc);
    uint32_t result = list ? (uint32_t)ERROR_NOT_FOUND : rc;
    for (IP_ADAPTER_ADDRESSES *a = list; a; a = a->Next) {
        if (!a->AdapterName || strcmp(a->AdapterName, name) != 0 || a->IfIndex != index)
            continue;
        char description[256] = "";
        if (a->Description)
            WideCharToMultiByte(CP_ACP, 0, a->Description, -1, description, sizeof(description), nullptr, nullptr);
        description[sizeof(description) - 1] = '\0';
        result = SVC_IsTapDescription(description) ? 0 : (uint32_t)ERROR_INVALID_PARAMETER;
        break;
    }
    free(list);
    return result;
}
