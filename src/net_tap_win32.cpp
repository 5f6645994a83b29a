// Windows device back end: the TAP driver's device "\\.\Global\{GUID}.tap",
// opened for overlapped I/O and driven with three device controls. The
// reader waits for its read with the device's read event and a manual-reset
// wake event, so that a close never has to kill it. Reads land in, and
// writes go from, buffers of this back end's own, next to their OVERLAPPED
// records: everything the driver may still write to lives in one record,
// which outlives every request made with it; only one write is ever in
// flight.
#include "net_tap_device.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <new>

#include "gui_log.h"
#include "pkt_buffer.h"

extern const char *const NETTAP_ModuleName;
const char *const NETTAP_ModuleName = "net_tap_win32";

struct NETTAP_Semaphore {
    HANDLE handle;
};

struct NETTAP_Thread {
    HANDLE handle;
    uint32_t (*body)(void *);
    void *arg;
};

namespace {

enum : DWORD {
    TAP_IOCTL_GET_VERSION = 0x00220008,
    TAP_IOCTL_SET_MEDIA_STATUS = 0x00220018,
    TAP_IOCTL_CONFIG_TUN = 0x00220028
};

struct WinIo {
    HANDLE device;
    HANDLE readEvent;   // auto-reset, of the read OVERLAPPED
    HANDLE writeEvent;  // auto-reset, of the write OVERLAPPED
    HANDLE wakeEvent;   // manual-reset; set once the reader is to stop
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    volatile LONG readPending;  // the reader's read is under way
    int writePending;           // connection thread only
    uint8_t readBuffer[NETTAP_MAX_PACKET];
    uint8_t writeBuffer[PKT_CAPACITY];
};

// How long a close waits for the driver to end requests it was told to
// cancel. A driver that takes longer gets to keep their memory.
const DWORD kCancelWaitMs = 5000;

void SetIfEmpty(ErrorInfo *chain, int line, const char *text)
{
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, NETTAP_ModuleName, line, "%s", text);
}

// CancelIoEx exists from Windows Vista on; older systems cancel only the
// calling thread's I/O (CancelIo), or all of it when the handle closes.
typedef BOOL(WINAPI *CancelIoExFn)(HANDLE, LPOVERLAPPED);

CancelIoExFn CancelIoExProc()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? reinterpret_cast<CancelIoExFn>(
                        reinterpret_cast<void *>(GetProcAddress(kernel, "CancelIoEx")))
                  : nullptr;
}

// Cancels the reader's own read; runs on the reader thread.
void CancelRead(WinIo *d)
{
    if (CancelIoExFn cancel = CancelIoExProc())
        cancel(d->device, &d->readOverlapped);
    else
        CancelIo(d->device);
}

// A device control on the overlapped device, waited for to its end.
int DeviceControl(HANDLE device, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize)
{
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return 0;
    DWORD done = 0;
    BOOL ok = DeviceIoControl(device, code, in, inSize, out, outSize, &done, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(device, &ov, &done, TRUE);
    CloseHandle(ov.hEvent);
    return ok ? 1 : 0;
}

// A completed read's bytes, from the back end's buffer to the caller's.
NETTAP_ReadResult ReadDone(WinIo *d, uint8_t *buf, uint32_t size, DWORD n, uint32_t *got)
{
    if (n > size)
        n = size;
    memcpy(buf, d->readBuffer, n);
    *got = n;
    return NETTAP_READ_DONE;
}

NETTAP_ReadResult Read(void *io, uint8_t *buf, uint32_t size, uint32_t *got)
{
    WinIo *d = static_cast<WinIo *>(io);
    *got = 0;
    if (WaitForSingleObject(d->wakeEvent, 0) == WAIT_OBJECT_0)
        return NETTAP_READ_ABORTED;
    if (size > sizeof d->readBuffer)
        size = sizeof d->readBuffer;
    DWORD n = 0;
    InterlockedExchange(&d->readPending, 1);
    if (ReadFile(d->device, d->readBuffer, size, &n, &d->readOverlapped)) {
        if (!GetOverlappedResult(d->device, &d->readOverlapped, &n, FALSE))
            n = 0;
        InterlockedExchange(&d->readPending, 0);
        return ReadDone(d, buf, size, n, got);
    }
    DWORD err = GetLastError();
    if (err == ERROR_IO_PENDING) {
        HANDLE events[2] = {d->readEvent, d->wakeEvent};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelRead(d);
            GetOverlappedResult(d->device, &d->readOverlapped, &n, TRUE);
            InterlockedExchange(&d->readPending, 0);
            return NETTAP_READ_ABORTED;
        }
        if (!GetOverlappedResult(d->device, &d->readOverlapped, &n, FALSE))
            n = 0;
        InterlockedExchange(&d->readPending, 0);
        return ReadDone(d, buf, size, n, got);
    }
    InterlockedExchange(&d->readPending, 0);
    return err == ERROR_OPERATION_ABORTED ? NETTAP_READ_ABORTED : NETTAP_READ_FAILED;
}

void FinishWrite(WinIo *d, BOOL wait)
{
    if (!d->writePending)
        return;
    DWORD n = 0;
    if (!GetOverlappedResult(d->device, &d->writeOverlapped, &n, FALSE) &&
        GetLastError() == ERROR_IO_INCOMPLETE) {
        if (!wait)
            return;
        WaitForSingleObject(d->writeEvent, INFINITE);
    }
    d->writePending = 0;
}

int Write(void *io, const uint8_t *data, uint32_t length)
{
    WinIo *d = static_cast<WinIo *>(io);
    if (length > sizeof d->writeBuffer)
        return 0;
    FinishWrite(d, TRUE);
    memcpy(d->writeBuffer, data, length);
    DWORD n = 0;
    if (WriteFile(d->device, d->writeBuffer, length, &n, &d->writeOverlapped)) {
        d->writePending = 1;  // completed; the next write finds it done at once
        return 1;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        d->writePending = 1;
        return 1;
    }
    return 0;
}

int SetMedia(void *io, int connected)
{
    WinIo *d = static_cast<WinIo *>(io);
    ULONG status = connected ? 1 : 0;
    return DeviceControl(d->device, TAP_IOCTL_SET_MEDIA_STATUS, &status, sizeof status, &status,
                         sizeof status);
}

int ConfigTun(void *io, uint32_t address, uint32_t network, uint32_t mask)
{
    WinIo *d = static_cast<WinIo *>(io);
    uint32_t words[3] = {address, network, mask};
    return DeviceControl(d->device, TAP_IOCTL_CONFIG_TUN, words, sizeof words, words, sizeof words);
}

void Wake(void *io)
{
    SetEvent(static_cast<WinIo *>(io)->wakeEvent);
}

void CloseHandleIf(HANDLE h)
{
    if (h && h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

// Whether the request made with ov has ended, waiting until the deadline
// (GetTickCount) at most. The record's own status says so; its event may
// have been taken already by a reader that was stopped by force.
bool AwaitRequest(OVERLAPPED *ov, HANDLE event, DWORD deadline)
{
    while (!HasOverlappedIoCompleted(ov)) {
        DWORD left = deadline - GetTickCount();
        if (static_cast<LONG>(left) <= 0)
            return false;
        WaitForSingleObject(event, left < 50 ? left : 50);
    }
    return true;
}

// The OVERLAPPED records and the buffers must outlive every request made
// with them: cancel what is left and wait for its end before freeing. A
// driver that completes a cancelled request later would write into freed
// memory, so when it does not end in time the record is kept for good.
void CloseIo(void *io)
{
    WinIo *d = static_cast<WinIo *>(io);
    if (!d)
        return;
    bool ended = true;
    if (d->device != INVALID_HANDLE_VALUE) {
        CancelIoExFn cancel = CancelIoExProc();
        if (cancel)
            cancel(d->device, nullptr);
        else
            CloseHandle(d->device);  // closing the device cancels what is left
        // Completion sets each record's status and event; the device
        // handle is not needed for that.
        DWORD deadline = GetTickCount() + kCancelWaitMs;
        if (d->readPending)
            ended = AwaitRequest(&d->readOverlapped, d->readEvent, deadline);
        if (d->writePending)
            ended = AwaitRequest(&d->writeOverlapped, d->writeEvent, deadline) && ended;
        if (cancel)
            CloseHandle(d->device);
    }
    if (!ended) {
        // Its events stay open too: the driver signals them when it ends.
        GUI_Print(1, 0, "TAP device I/O not ended %lu ms after its cancel: its buffers are kept\r\n",
                  static_cast<unsigned long>(kCancelWaitMs));
        return;
    }
    CloseHandleIf(d->readEvent);
    CloseHandleIf(d->writeEvent);
    CloseHandleIf(d->wakeEvent);
    delete d;
}

// An overlapped write is under way at the driver already: no burst to end;
// and no wait tells that the driver has a packet before the read takes it.
const NETTAP_DeviceOps kWinOps = {Read,    Write,   SetMedia, ConfigTun, Wake,
                                  CloseIo, nullptr, nullptr,  nullptr};

WinIo *NewIo(HANDLE device)
{
    WinIo *d = new (std::nothrow) WinIo;
    if (!d)
        return nullptr;
    memset(static_cast<void *>(d), 0, sizeof *d);
    d->device = device;
    d->readEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    d->writeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    d->wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    d->readOverlapped.hEvent = d->readEvent;
    d->writeOverlapped.hEvent = d->writeEvent;
    if (!d->readEvent || !d->writeEvent || !d->wakeEvent) {
        d->device = INVALID_HANDLE_VALUE;  // the caller still owns it
        CloseIo(d);
        return nullptr;
    }
    return d;
}

DWORD WINAPI ThreadMain(LPVOID arg)
{
    NETTAP_Thread *t = static_cast<NETTAP_Thread *>(arg);
    return t->body(t->arg);
}

}  // namespace

int NETTAP_SysOpen(NETTAP_Handle *tap, const NETTAP_DeviceOps **ops, void **io, ErrorInfo *chain)
{
    char path[1024];
    snprintf(path, sizeof path, "\\\\.\\Global\\%s.tap", tap->info.adapterName);
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        SetIfEmpty(chain, __LINE__, "Unable to open SSL VPN TUN/TAP handle");
        return 0;
    }
    uint32_t version[3] = {0, 0, 0};
    if (!DeviceControl(device, TAP_IOCTL_GET_VERSION, version, sizeof version, version,
                       sizeof version)) {
        SetIfEmpty(chain, __LINE__, "Unable to retreive SSL VPN TUN/TAP version");
        CloseHandle(device);
        return 0;
    }
    memcpy(tap->driverVersion, version, sizeof version);
    if (!NETTAP_CheckVersion(version, chain)) {
        CloseHandle(device);
        return 0;
    }
    WinIo *d = NewIo(device);
    if (!d) {
        SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
        CloseHandle(device);
        return 0;
    }
    tap->device = reinterpret_cast<intptr_t>(device);
    *ops = &kWinOps;
    *io = d;
    return 1;
}

int NETTAP_SysAttach(NETTAP_Handle *tap, intptr_t device, ErrorInfo *chain)
{
    HANDLE h = reinterpret_cast<HANDLE>(device);
    WinIo *d = NewIo(h);
    if (!d) {
        CloseHandle(h);
        SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
        return 0;
    }
    return NETTAP_AttachDevice(tap, device, &kWinOps, d, chain);
}

NETTAP_Semaphore *NETTAP_SemCreate(uint32_t initial, uint32_t maximum)
{
    HANDLE h =
        CreateSemaphoreA(nullptr, static_cast<LONG>(initial), static_cast<LONG>(maximum), nullptr);
    if (!h)
        return nullptr;
    NETTAP_Semaphore *s = new (std::nothrow) NETTAP_Semaphore;
    if (!s) {
        CloseHandle(h);
        return nullptr;
    }
    s->handle = h;
    return s;
}

int NETTAP_SemWait(NETTAP_Semaphore *sem, int wait)
{
    if (!sem)
        return 0;
    return WaitForSingleObject(sem->handle, wait ? INFINITE : 0) == WAIT_OBJECT_0;
}

void NETTAP_SemRelease(NETTAP_Semaphore *sem)
{
    if (sem)
        ReleaseSemaphore(sem->handle, 1, nullptr);  // fails harmlessly at the maximum
}

void NETTAP_SemReleaseMany(NETTAP_Semaphore *sem, uint32_t n)
{
    if (!sem || n == 0)
        return;
    // A release past the maximum fails whole: then as many single ones as fit.
    if (!ReleaseSemaphore(sem->handle, static_cast<LONG>(n), nullptr))
        for (uint32_t i = 0; i < n; i++)
            ReleaseSemaphore(sem->handle, 1, nullptr);
}

void NETTAP_SemClose(NETTAP_Semaphore *sem)
{
    if (!sem)
        return;
    CloseHandle(sem->handle);
    delete sem;
}

NETTAP_Thread *NETTAP_ThreadStart(uint32_t (*body)(void *), void *arg, uint32_t *id)
{
    NETTAP_Thread *t = new (std::nothrow) NETTAP_Thread;
    if (!t)
        return nullptr;
    t->body = body;
    t->arg = arg;
    DWORD tid = 0;
    t->handle = CreateThread(nullptr, 0, ThreadMain, t, 0, &tid);
    if (!t->handle) {
        delete t;
        return nullptr;
    }
    *id = tid;
    return t;
}

int NETTAP_ThreadRunning(NETTAP_Thread *thread)
{
    return thread && WaitForSingleObject(thread->handle, 0) == WAIT_TIMEOUT;
}

// TerminateThread only starts the end; the queue the reader works in may be
// freed only once it is over, so this waits for that, a few seconds at most.
enum { TERMINATE_WAIT_MS = 5000 };

int NETTAP_ThreadTerminate(NETTAP_Thread *thread)
{
    if (!TerminateThread(thread->handle, 1))
        return WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0;
    return WaitForSingleObject(thread->handle, TERMINATE_WAIT_MS) == WAIT_OBJECT_0;
}

void NETTAP_ThreadRelease(NETTAP_Thread *thread)
{
    if (!thread)
        return;
    CloseHandle(thread->handle);
    delete thread;
}
