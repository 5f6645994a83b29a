// Inside the TUN/TAP module: the seam between the queue and its reader
// thread (net_tap.cpp, the same on every system) and the device back ends
// (net_tap_win32.cpp, net_tap_linux.cpp). Tests drive the queue through a
// device of their own with NETTAP_AttachDevice.
#ifndef TLX_NET_TAP_DEVICE_H
#define TLX_NET_TAP_DEVICE_H

#include <stdint.h>

#include "net_tap.h"

enum NETTAP_ReadResult {
    NETTAP_READ_DONE = 0,     // *got bytes (0: nothing this time, read again)
    NETTAP_READ_ABORTED = 1,  // the read was cancelled (media disconnected, or woken)
    NETTAP_READ_FAILED = 2    // any other failure; the reader pauses before reading again
};

// One open device. read runs on the reader thread (and, where the device
// has waitReadable, on the connection thread, never on both at once), write
// only on the connection thread; wake may run on any thread.
struct NETTAP_DeviceOps {
    // With waitReadable, read does not wait: READ_DONE with *got 0 when the
    // device has nothing. Without it, read waits for a packet.
    NETTAP_ReadResult (*read)(void *io, uint8_t *buf, uint32_t size, uint32_t *got);
    // 1 written (or under way from the device's own copy), 0 failed.
    int (*write)(void *io, const uint8_t *data, uint32_t length);
    int (*setMedia)(void *io, int connected);
    int (*configTun)(void *io, uint32_t address, uint32_t network, uint32_t mask);
    // Makes a read in progress, and every later one, end as aborted.
    void (*wake)(void *io);
    // Ends any I/O still under way, closes the device and frees io.
    void (*close)(void *io);
    // The end of a burst of writes (null: the device needs no word of it).
    void (*endBurst)(void *io);
    // A descriptor that polls readable when the device has a packet for the
    // reader (null: none).
    intptr_t (*waitHandle)(void *io);
    // Waits until read has something (READ_DONE) or the device is woken
    // (READ_ABORTED); null where read waits itself.
    NETTAP_ReadResult (*waitReadable)(void *io);
};

// A handle with the given adapter record (or a zero one), no device and no
// reader thread; null without memory.
NETTAP_Handle *NETTAP_NewHandle(const TUNLEX_InterfaceInfo *info);

// 1 for driver version 8.2 or later; else 0 with "To old SSL VPN TUN/TAP
// driver found, minimum version 8.2 (found %lu.%lu.%lu)" (if the chain is empty).
int NETTAP_CheckVersion(const uint32_t version[3], ErrorInfo *chain);

// Takes over an open device: builds the queue and starts the reader thread.
// On failure the device is closed (ops->close), the handle's device is
// NETTAP_NO_DEVICE and its version zero; 0.
int NETTAP_AttachDevice(NETTAP_Handle *tap, intptr_t device, const NETTAP_DeviceOps *ops, void *io,
                        ErrorInfo *chain);

// The reader thread's body (argument: the handle's queue). Returns 0.
uint32_t NETTAP_ReaderThread(void *queue);

// Queue operations. TakeFree waits for a free buffer and gives null once the
// stop flag is set; TakeOutput waits (wait != 0) or not at all.
NETTAP_QueueBuffer *NETTAP_QueueTakeFree(NETTAP_PacketQueue *q);
void NETTAP_QueueReturn(NETTAP_PacketQueue *q, NETTAP_QueueBuffer *buf);
void NETTAP_QueueAppend(NETTAP_PacketQueue *q, NETTAP_QueueBuffer *buf);
NETTAP_QueueBuffer *NETTAP_QueueTakeOutput(NETTAP_PacketQueue *q, int wait);

// ---- Provided by each back end ----

// Opens the device of tap->info, checks its driver and fills tap->device,
// tap->driverVersion, and the ops and I/O state passed back. 0 with the
// device closed and a message (if the chain is empty).
int NETTAP_SysOpen(NETTAP_Handle *tap, const NETTAP_DeviceOps **ops, void **io, ErrorInfo *chain);

// Takes over an already open system handle (Windows: a handle opened for
// overlapped I/O; Linux: a descriptor) as the device, without the driver's
// queries, and starts the reader. Used where no driver is at hand, such as a
// pipe in tests. 0 (handle closed) on failure.
int NETTAP_SysAttach(NETTAP_Handle *tap, intptr_t device, ErrorInfo *chain);

// Counting semaphores; null when one cannot be made.
NETTAP_Semaphore *NETTAP_SemCreate(uint32_t initial, uint32_t maximum);
int NETTAP_SemWait(NETTAP_Semaphore *sem, int wait);  // 1 taken, 0 not (wait 0: at once)
void NETTAP_SemRelease(NETTAP_Semaphore *sem);        // one more; beyond the maximum ignored
// n more at once, with one wake-up of the waiter (beyond the maximum ignored).
void NETTAP_SemReleaseMany(NETTAP_Semaphore *sem, uint32_t n);
void NETTAP_SemClose(NETTAP_Semaphore *sem);

// Threads: start (null on failure; *id its system id), still running,
// forced end (1 the thread is over; 0 it may still run, and then what it
// uses must be left to it), and release of the record (the thread has ended).
NETTAP_Thread *NETTAP_ThreadStart(uint32_t (*body)(void *), void *arg, uint32_t *id);
int NETTAP_ThreadRunning(NETTAP_Thread *thread);
int NETTAP_ThreadTerminate(NETTAP_Thread *thread);
void NETTAP_ThreadRelease(NETTAP_Thread *thread);

#endif
