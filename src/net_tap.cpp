// The TUN/TAP module's part that every system shares: the handle, the packet
// queue with its reader thread, and the operations over an open device.
#include "net_tap.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "cp_wrapper.h"
#include "gui_log.h"
#include "net_iface.h"
#include "net_socket.h"
#include "net_tap_device.h"
#include "pkt_buffer.h"

extern const char *const NETTAP_ModuleName;  // the back end's module name

namespace {

const uint32_t kSupportedPrefix[2] = {25, 22};  // characters compared per description

std::atomic<NETSOCK_Wake *> g_idleWake{nullptr};

void SetIfEmpty(ErrorInfo *chain, int line, const char *text)
{
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, NETTAP_ModuleName, line, "%s", text);
}

// Releases what QueueInit made; the queue is then all zero.
void QueueDestroy(NETTAP_PacketQueue *q, int locksMade)
{
    if (q->outputCount)
        NETTAP_SemClose(q->outputCount);
    if (q->freeCount)
        NETTAP_SemClose(q->freeCount);
    if (locksMade) {
        MUTEX_Destroy(&q->outputLock);
        MUTEX_Destroy(&q->freeLock);
    }
    memset(static_cast<void *>(q), 0, sizeof *q);
}

// Empty lists, all 32 buffers free (the last one on top). 0 when a semaphore
// or lock cannot be made: a queue without them would hand out buffers it
// does not have.
int QueueInit(NETTAP_PacketQueue *q, intptr_t device, const NETTAP_DeviceOps *ops, void *io)
{
    memset(static_cast<void *>(q), 0, sizeof *q);
    q->device = device;
    q->ops = ops;
    q->io = io;
    q->outputCount = NETTAP_SemCreate(0, NETTAP_QUEUE_BUFFERS);
    if (!q->outputCount)
        fputs("error creating output queue semaphore!\n", stderr);
    q->freeCount = NETTAP_SemCreate(NETTAP_QUEUE_BUFFERS, NETTAP_QUEUE_BUFFERS);
    if (!q->freeCount)
        fputs("error creating free list semaphore!\n", stderr);
    if (!q->outputCount || !q->freeCount) {
        QueueDestroy(q, 0);
        return 0;
    }
    if (MUTEX_Init(&q->outputLock) != RT_OK) {
        QueueDestroy(q, 0);
        return 0;
    }
    if (MUTEX_Init(&q->freeLock) != RT_OK) {
        MUTEX_Destroy(&q->outputLock);
        QueueDestroy(q, 0);
        return 0;
    }
    for (uint32_t i = 0; i < NETTAP_QUEUE_BUFFERS; i++) {
        q->buffers[i].next = q->freeHead;
        q->freeHead = &q->buffers[i];
    }
    return 1;
}

bool IsOpen(const NETTAP_Handle *tap)
{
    return tap && tap->device != NETTAP_NO_DEVICE && tap->queue.ops;
}

}  // namespace

// The head of the free list, for a caller that has taken its count.
static NETTAP_QueueBuffer *PopFree(NETTAP_PacketQueue *q)
{
    MUTEX_Lock(&q->freeLock);
    NETTAP_QueueBuffer *buf = q->freeHead;
    if (buf) {
        q->freeHead = buf->next;
        buf->next = nullptr;
    }
    MUTEX_Unlock(&q->freeLock);
    return buf;
}

NETTAP_QueueBuffer *NETTAP_QueueTakeFree(NETTAP_PacketQueue *q)
{
    if (!NETTAP_SemWait(q->freeCount, 1) || q->stop.load())
        return nullptr;
    return PopFree(q);
}

void NETTAP_QueueReturn(NETTAP_PacketQueue *q, NETTAP_QueueBuffer *buf)
{
    MUTEX_Lock(&q->freeLock);
    buf->next = q->freeHead;
    q->freeHead = buf;
    MUTEX_Unlock(&q->freeLock);
    NETTAP_SemRelease(q->freeCount);
}

// Gives back the buffers the connection thread has emptied, under one lock:
// a reader waiting for room wakes once for the batch, not per packet.
static void QueueReturnBatch(NETTAP_PacketQueue *q)
{
    uint32_t n = q->returnCount;
    if (n == 0)
        return;
    NETTAP_QueueBuffer *head = q->returnHead;
    NETTAP_QueueBuffer *tail = head;
    while (tail->next)
        tail = tail->next;
    MUTEX_Lock(&q->freeLock);
    tail->next = q->freeHead;
    q->freeHead = head;
    MUTEX_Unlock(&q->freeLock);
    q->returnHead = nullptr;
    q->returnCount = 0;
    NETTAP_SemReleaseMany(q->freeCount, n);
}

void NETTAP_QueueAppend(NETTAP_PacketQueue *q, NETTAP_QueueBuffer *buf)
{
    MUTEX_Lock(&q->outputLock);
    buf->next = nullptr;
    if (q->outputTail)
        q->outputTail->next = buf;
    else
        q->outputHead = buf;
    q->outputTail = buf;
    MUTEX_Unlock(&q->outputLock);
    NETTAP_SemRelease(q->outputCount);
    NETSOCK_WakeSignal(g_idleWake.load());
}

void NETTAP_SetIdleWake(NETSOCK_Wake *wake)
{
    g_idleWake.store(wake);
}

NETTAP_QueueBuffer *NETTAP_QueueTakeOutput(NETTAP_PacketQueue *q, int wait)
{
    if (!NETTAP_SemWait(q->outputCount, wait))
        return nullptr;
    MUTEX_Lock(&q->outputLock);
    NETTAP_QueueBuffer *buf = q->outputHead;
    if (buf) {
        q->outputHead = buf->next;
        if (!q->outputHead)
            q->outputTail = nullptr;
        buf->next = nullptr;
    }
    MUTEX_Unlock(&q->outputLock);
    return buf;
}

namespace {

enum ReadOutcome { READ_QUEUED, READ_NOTHING, READ_THROWN_AWAY };

// One read into buf; READ_QUEUED once buf is the queue's. *result is the
// device's answer.
ReadOutcome ReadAndQueue(NETTAP_PacketQueue *q, NETTAP_QueueBuffer *buf, NETTAP_ReadResult *result)
{
    uint32_t got = 0;
    *result = q->ops->read(q->io, buf->data, NETTAP_MAX_PACKET, &got);
    if (*result != NETTAP_READ_DONE || got == 0)
        return READ_NOTHING;
    // Only IPv4 goes into the tunnel; the system also hands the adapter
    // its own IPv6 traffic (router solicitations and the like).
    if (buf->data[0] >> 4 != 4) {
        q->droppedNotIPv4.fetch_add(1);
        return READ_THROWN_AWAY;
    }
    buf->length = got < NETTAP_MAX_PACKET ? got : NETTAP_MAX_PACKET;
    NETTAP_QueueAppend(q, buf);
    return READ_QUEUED;
}

bool SharedRead(const NETTAP_PacketQueue *q)
{
    return q->ops->waitReadable != nullptr;
}

// The reader's side of the read turn: the connection thread holds it only
// for one read that does not wait.
void TakeReadTurn(NETTAP_PacketQueue *q)
{
    int32_t idle = 0;
    while (!q->reading.compare_exchange_weak(idle, 1)) {
        idle = 0;
        std::this_thread::yield();
    }
}

// 1 when the reader is to go on reading, 0 when it is to stop.
int AfterRead(NETTAP_PacketQueue *q, NETTAP_ReadResult result)
{
    switch (result) {
    case NETTAP_READ_DONE:
        return 1;
    case NETTAP_READ_ABORTED:
        if (q->stop.load())
            return 0;
        // The driver aborts reads while the media is disconnected.
        while (!q->mediaConnected.load() && !q->stop.load())
            RT_SleepMs(500);
        return 1;
    default:
        RT_SleepMs(100);
        return 1;
    }
}

}  // namespace

// Where the device can be read without waiting, each read and the queueing
// of its packet is done holding the read turn, and the waits between reads
// without it.
uint32_t NETTAP_ReaderThread(void *queue)
{
    NETTAP_PacketQueue *q = static_cast<NETTAP_PacketQueue *>(queue);
    const bool shared = SharedRead(q);
    NETTAP_QueueBuffer *buf = NETTAP_QueueTakeFree(q);
    while (buf && !q->stop.load()) {
        NETTAP_ReadResult result = NETTAP_READ_DONE;
        if (shared)
            TakeReadTurn(q);
        ReadOutcome outcome = ReadAndQueue(q, buf, &result);
        if (shared)
            q->reading.store(0);
        if (outcome == READ_QUEUED) {
            buf = NETTAP_QueueTakeFree(q);
            continue;
        }
        if (outcome == READ_NOTHING && result == NETTAP_READ_DONE && shared)
            result = q->ops->waitReadable(q->io);
        if (!AfterRead(q, result))
            return 0;
    }
    return 0;
}

NETTAP_Handle *NETTAP_NewHandle(const TUNLEX_InterfaceInfo *info)
{
    NETTAP_Handle *tap = new (std::nothrow) NETTAP_Handle();
    if (!tap)
        return nullptr;
    if (info)
        tap->info = *info;
    tap->device = NETTAP_NO_DEVICE;
    return tap;
}

NETTAP_Handle *NETTAP_Find(uint32_t, ErrorInfo *chain)
{
    NETTAP_Handle *tap = NETTAP_NewHandle(nullptr);
    if (!tap) {
        SetIfEmpty(chain, __LINE__, "Unable to allocate SSL VPN TUN/TAP handle");
        return nullptr;
    }
    NETIFACE_Key key = {NETIFACE_BY_TAP, 0};
    if (!NETIFACE_Lookup(&key, &tap->info, nullptr, chain)) {
        // An empty chain: the list was read and held no such adapter.
        bool noneThere = ERRORINFO_IsEmpty(chain);
        SetIfEmpty(chain, __LINE__, "Unable to find SSL VPN TUN/TAP interface");
        if (noneThere)
            ERRORINFO_Append(chain, NETTAP_ModuleName, __LINE__, "%s", NETIFACE_TapHint());
        delete tap;
        return nullptr;
    }
    return tap;
}

int NETTAP_CheckVersion(const uint32_t version[3], ErrorInfo *chain)
{
    if (version[0] > 8 || (version[0] == 8 && version[1] >= 2))
        return 1;
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(
            chain, NETTAP_ModuleName, __LINE__,
            "To old SSL VPN TUN/TAP driver found, minimum version 8.2 (found %lu.%lu.%lu)",
            static_cast<unsigned long>(version[0]), static_cast<unsigned long>(version[1]),
            static_cast<unsigned long>(version[2]));
    return 0;
}

int NETTAP_AttachDevice(NETTAP_Handle *tap, intptr_t device, const NETTAP_DeviceOps *ops, void *io,
                        ErrorInfo *chain)
{
    tap->device = device;
    if (QueueInit(&tap->queue, device, ops, io)) {
        uint32_t id = 0;
        tap->readerThread = NETTAP_ThreadStart(NETTAP_ReaderThread, &tap->queue, &id);
        if (tap->readerThread) {
            tap->readerThreadId = id;
            return 1;
        }
        QueueDestroy(&tap->queue, 1);
    }
    SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
    ops->close(io);
    tap->device = NETTAP_NO_DEVICE;
    memset(tap->driverVersion, 0, sizeof tap->driverVersion);
    return 0;
}

int NETTAP_Open(NETTAP_Handle *tap, ErrorInfo *chain)
{
    if (!tap)
        return 0;
    if (IsOpen(tap))
        return 1;
    const NETTAP_DeviceOps *ops = nullptr;
    void *io = nullptr;
    if (!NETTAP_SysOpen(tap, &ops, &io, chain)) {
        tap->device = NETTAP_NO_DEVICE;
        memset(tap->driverVersion, 0, sizeof tap->driverVersion);
        return 0;
    }
    return NETTAP_AttachDevice(tap, tap->device, ops, io, chain);
}

int NETTAP_SetMediaStatus(NETTAP_Handle *tap, int status)
{
    if (!tap)
        return 0;
    tap->queue.mediaConnected.store(status);
    if (!IsOpen(tap))
        return 0;
    return tap->queue.ops->setMedia(tap->queue.io, status != 0);
}

int NETTAP_ConfigTun(NETTAP_Handle *tap, uint32_t address, uint32_t mask, ErrorInfo *chain)
{
    if (!IsOpen(tap) || !tap->queue.ops->configTun(tap->queue.io, address, address & mask, mask)) {
        SetIfEmpty(chain, __LINE__, "Unable to configure the SSL VPN TUN/TAP interface");
        return 0;
    }
    return 1;
}

int NETTAP_Send(NETTAP_Handle *tap, PKT_Buffer *packet)
{
    if (!IsOpen(tap) || !packet)
        return 0;
    if (tap->packetDump)
        PKT_Dump(packet);
    if (!tap->queue.ops->write(tap->queue.io, PKT_Data(packet), PKT_Length(packet)))
        return 0;
    PKT_Release(packet);
    return 1;
}

intptr_t NETTAP_WaitHandle(NETTAP_Handle *tap)
{
    if (!IsOpen(tap) || !tap->queue.ops->waitHandle)
        return NETTAP_NO_DEVICE;
    return tap->queue.ops->waitHandle(tap->queue.io);
}

static bool HasQueued(NETTAP_PacketQueue *q)
{
    // A look that takes the count gives it straight back.
    if (!NETTAP_SemWait(q->outputCount, 0))
        return false;
    NETTAP_SemRelease(q->outputCount);
    return true;
}

// The connection thread's own read, when the reader is not reading: 1 a
// packet is queued, 0 the device had none, -1 not read (the reader is
// reading, no buffer is free, or what was read was thrown away).
static int ReadHere(NETTAP_PacketQueue *q)
{
    int32_t idle = 0;
    if (!q->reading.compare_exchange_strong(idle, 1))
        return -1;
    NETTAP_QueueBuffer *buf = NETTAP_SemWait(q->freeCount, 0) ? PopFree(q) : nullptr;
    ReadOutcome outcome = READ_THROWN_AWAY;
    NETTAP_ReadResult result = NETTAP_READ_FAILED;
    if (buf)
        outcome = ReadAndQueue(q, buf, &result);
    q->reading.store(0);
    if (buf && outcome != READ_QUEUED)
        NETTAP_QueueReturn(q, buf);
    if (outcome == READ_QUEUED)
        return 1;
    return outcome == READ_NOTHING && result == NETTAP_READ_DONE ? 0 : -1;
}

int NETTAP_AwaitQueued(NETTAP_Handle *tap, uint32_t us)
{
    if (!IsOpen(tap))
        return 0;
    NETTAP_PacketQueue *q = &tap->queue;
    const bool shared = SharedRead(q);
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    for (;;) {
        if (HasQueued(q))
            return 1;
        if (shared) {
            int read = ReadHere(q);
            if (read >= 0)   // an empty device: the reader may have queued its packet meanwhile
                return read || HasQueued(q);
        }
        if (std::chrono::steady_clock::now() >= end)
            return 0;
        std::this_thread::yield();   // the reader may share this processor
    }
}

void NETTAP_EndBurst(NETTAP_Handle *tap)
{
    if (IsOpen(tap) && tap->queue.ops->endBurst)
        tap->queue.ops->endBurst(tap->queue.io);
}

PKT_Buffer *NETTAP_Receive(NETTAP_Handle *tap)
{
    if (!IsOpen(tap))
        return nullptr;
    NETTAP_PacketQueue *q = &tap->queue;
    NETTAP_QueueBuffer *buf = NETTAP_QueueTakeOutput(q, 0);
    if (!buf) {
        QueueReturnBatch(q);   // the end of a burst
        return nullptr;
    }
    // The length cannot pass the buffer, whatever the device reported.
    uint32_t n = buf->length < NETTAP_MAX_PACKET ? buf->length : NETTAP_MAX_PACKET;
    PKT_Buffer *packet = PKT_FromTap(buf->data, n);
    buf->next = q->returnHead;
    q->returnHead = buf;
    if (++q->returnCount >= NETTAP_RETURN_BATCH)
        QueueReturnBatch(q);
    if (packet && tap->packetDump)
        PKT_Dump(packet);
    return packet;
}

int NETTAP_Close(NETTAP_Handle *tap, ErrorInfo *chain)
{
    if (!tap)
        return 0;
    if (tap->device == NETTAP_NO_DEVICE)
        return 1;
    NETTAP_PacketQueue *q = &tap->queue;
    NETTAP_SetMediaStatus(tap, 0);
    q->stop.store(1);
    // Wake the reader wherever it waits: in a read, or for a free buffer.
    q->ops->wake(q->io);
    NETTAP_SemRelease(q->freeCount);
    RT_SleepMs(100);
    if (tap->readerThread) {
        for (int i = 0; i < 10 && NETTAP_ThreadRunning(tap->readerThread); i++)
            RT_SleepMs(100);
        if (NETTAP_ThreadRunning(tap->readerThread)) {
            if (!NETTAP_ThreadTerminate(tap->readerThread)) {
                // It may still run in the queue: the queue and the device
                // stay as they are, for as long as the process lives.
                GUI_Print(1, 0, "The TUN/TAP packet handler did not stop; its queue is left to it.\r\n");
                SetIfEmpty(chain, __LINE__, "Unable to stop SSL VPN TUN/TAP packet handler");
                return 0;
            }
            SetIfEmpty(chain, __LINE__, "SSL VPN TUN/TAP packet handler forcefully closed");
        }
        NETTAP_ThreadRelease(tap->readerThread);
    }
    tap->readerThread = nullptr;
    tap->readerThreadId = 0;
    // The device goes first so that no I/O still under way can touch the queue.
    const NETTAP_DeviceOps *ops = q->ops;
    void *io = q->io;
    ops->close(io);
    QueueDestroy(q, 1);
    tap->device = NETTAP_NO_DEVICE;
    memset(tap->driverVersion, 0, sizeof tap->driverVersion);
    return 1;
}

void NETTAP_Free(NETTAP_Handle *tap, ErrorInfo *chain)
{
    if (!tap)
        return;
    // A reader that could not be stopped still works in the handle.
    if (tap->device != NETTAP_NO_DEVICE && !NETTAP_Close(tap, chain) && tap->readerThread)
        return;
    delete tap;
}

void NETTAP_SetPacketDump(NETTAP_Handle *tap, int flag)
{
    if (tap)
        tap->packetDump = flag;
}

const TUNLEX_InterfaceInfo *NETTAP_GetInfo(const NETTAP_Handle *tap)
{
    return tap ? &tap->info : nullptr;
}

const char *NETTAP_GetDescription(const NETTAP_Handle *tap)
{
    return tap ? tap->info.description : nullptr;
}

const char *NETTAP_GetGuid(const NETTAP_Handle *tap)
{
    return tap ? tap->info.adapterName : nullptr;
}

uint32_t NETTAP_GetIndex(const NETTAP_Handle *tap)
{
    return tap ? tap->info.ifIndex : NETTAP_INDEX_NONE;
}

int TAP_IsSupportedAdapter(const NETTAP_Handle *tap)
{
    if (!tap)
        return 0;
    for (int i = 0; i < 2; i++)
        if (strncmp(tap->info.description, NETIFACE_TapDescriptions[i], kSupportedPrefix[i]) == 0)
            return 1;
    return 0;
}
