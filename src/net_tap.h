// The TUN/TAP adapter: finding it, opening its device, and moving IPv4
// packets through it.
//
// A reader thread of the handle reads the device into a queue of 32 fixed
// buffers; the connection thread takes packets from that queue without ever
// waiting (NETTAP_Receive) and writes packets from the gateway straight to the
// device (NETTAP_Send). Packets leave and enter as pool buffers; the queue
// itself never allocates.
//
// Windows drives the TAP driver's device "\\.\Global\{GUID}.tap". Linux
// attaches to an existing tun link with IFF_TUN | IFF_NO_PI: the adapter is
// the link whose alias begins with a supported description (the link's
// alias plays the driver description, its name the adapter name).
#ifndef TLX_NET_TAP_H
#define TLX_NET_TAP_H

#include <stdint.h>

#include <atomic>

#include "errorinfo.h"
#include "sync.h"
#include "tunlex.h"

struct PKT_Buffer;

enum : uint32_t {
    NETTAP_QUEUE_BUFFERS = 32,
    NETTAP_RETURN_BATCH = 16,        // buffers the connection thread gives back at once
    NETTAP_MAX_PACKET = 1560,        // the largest packet the reader accepts
    NETTAP_INDEX_NONE = 0xFFFFFFFFu  // NETTAP_GetIndex without handle (-1)
};

// Device handle value of a closed device (the system's invalid handle, -1).
constexpr intptr_t NETTAP_NO_DEVICE = -1;

struct NETTAP_QueueBuffer {
    uint8_t data[NETTAP_MAX_PACKET];
    uint32_t length;  // bytes read
    NETTAP_QueueBuffer *next;
};

// Defined by the device back ends (net_tap_device.h).
struct NETTAP_DeviceOps;
struct NETTAP_Semaphore;
struct NETTAP_Thread;

// A buffer is in exactly one place: the free list, the output list, or the
// hands of the reader thread or of the connection thread (the connection
// thread holds those it has emptied until it gives them back, and one while
// it reads the device itself).
struct NETTAP_PacketQueue {
    std::atomic<int32_t> mediaConnected;  // last NETTAP_SetMediaStatus; reader idles while 0
    std::atomic<int32_t> stop;            // 1 ends the reader thread
    intptr_t device;                      // copy of the handle's device
    const NETTAP_DeviceOps *ops;          // the device's I/O
    void *io;                             // the back end's I/O state (events, overlapped records)
    NETTAP_Semaphore *outputCount;        // packets in the output list (0 of 32)
    NETTAP_Semaphore *freeCount;          // buffers in the free list (32 of 32)
    RT_Mutex outputLock;
    RT_Mutex freeLock;
    NETTAP_QueueBuffer buffers[NETTAP_QUEUE_BUFFERS];
    NETTAP_QueueBuffer *freeHead;    // last in, first out
    NETTAP_QueueBuffer *outputHead;  // first in, first out
    NETTAP_QueueBuffer *outputTail;
    NETTAP_QueueBuffer *returnHead;  // taken by the connection thread, going back in one batch
    uint32_t returnCount;
    std::atomic<uint32_t> droppedNotIPv4;  // packets the reader threw away: not IPv4
    // 1 while a thread reads the device and queues what it read: whoever
    // reads a packet queues it before anyone reads the next, so the queue
    // keeps the device's order whichever thread read each packet.
    std::atomic<int32_t> reading;
};

struct NETSOCK_Wake;
// The connection thread's idle wait (null for none): the reader signals it
// for each packet it queues, so that the wait ends when a packet comes.
void NETTAP_SetIdleWake(NETSOCK_Wake *wake);

// The one adapter of the process; lives until the process ends.
struct NETTAP_Handle {
    TUNLEX_InterfaceInfo info;    // the adapter as found at start-up
    uint32_t driverVersion[3];    // major, minor, debug; zero when not open
    uint32_t readerThreadId;      // 0 when none
    NETTAP_Thread *readerThread;  // null when none
    intptr_t device;              // NETTAP_NO_DEVICE when closed
    NETTAP_PacketQueue queue;
    int32_t packetDump;  // log every packet written or read
};

// Allocates a handle and finds the adapter (a down link or adapter with a
// supported description). The argument is ignored. Null with "Unable to
// allocate SSL VPN TUN/TAP handle" or "Unable to find SSL VPN TUN/TAP
// interface" (if the chain is empty).
NETTAP_Handle *NETTAP_Find(uint32_t ignored, ErrorInfo *chain);

// Opens the device, checks the driver, builds the queue and starts the
// reader thread. 0 with the device closed and the version zeroed.
int NETTAP_Open(NETTAP_Handle *tap, ErrorInfo *chain);

// Records the status for the reader and tells the driver connected (non-zero)
// or disconnected. The device call's result (non-zero ok); 0 without handle.
int NETTAP_SetMediaStatus(NETTAP_Handle *tap, int status);

// Point-to-point configuration of the driver: local address, network and mask
// (network order). 0 with "Unable to configure the SSL VPN TUN/TAP interface".
int NETTAP_ConfigTun(NETTAP_Handle *tap, uint32_t address, uint32_t mask, ErrorInfo *chain);

// Writes one packet (from its cursor) to the device. 1: written and released
// to the pool; the device works from its own copy. 0: not written, the packet
// is still the caller's. Connection thread only.
int NETTAP_Send(NETTAP_Handle *tap, PKT_Buffer *packet);

// The end of a burst of NETTAP_Send calls (the connection thread goes idle):
// the device may then treat the next packet as a lone one. Connection
// thread only.
void NETTAP_EndBurst(NETTAP_Handle *tap);

// For the connection thread's idle wait: a descriptor that polls readable
// when the device has a packet its reader is about to queue, so that the
// wait can end together with the reader's and not after it; NETTAP_NO_DEVICE
// when the system has none (the reader's wake-up alone tells).
intptr_t NETTAP_WaitHandle(NETTAP_Handle *tap);

// Waits, without sleeping, up to us microseconds for a packet to be queued:
// the time the reader takes from the device's readiness to the queue. Where
// the device can be read without waiting, the caller reads it itself when
// the reader is not in the middle of a read, so that a lone packet waits for
// no wake-up of the reader. 1 when one is queued, 0 when none came (the
// device was empty, the reader pauses, or the device's packet was not for
// the tunnel). Connection thread only.
int NETTAP_AwaitQueued(NETTAP_Handle *tap, uint32_t us);

// The oldest packet read from the device as a new pool buffer tagged "TAP",
// owned by the caller; null at once when none is waiting (or no pool buffer
// was free: that packet is dropped). Connection thread only.
PKT_Buffer *NETTAP_Receive(NETTAP_Handle *tap);

// Stops the reader thread and closes the device. 1 closed or not open; 0
// without handle, or when the reader could not be stopped.
int NETTAP_Close(NETTAP_Handle *tap, ErrorInfo *chain);

// Closes when open, then frees the handle. Null is ignored.
void NETTAP_Free(NETTAP_Handle *tap, ErrorInfo *chain);

void NETTAP_SetPacketDump(NETTAP_Handle *tap, int flag);

// Accessors; without handle: null, null, null and NETTAP_INDEX_NONE.
const TUNLEX_InterfaceInfo *NETTAP_GetInfo(const NETTAP_Handle *tap);
const char *NETTAP_GetDescription(const NETTAP_Handle *tap);
const char *NETTAP_GetGuid(const NETTAP_Handle *tap);
uint32_t NETTAP_GetIndex(const NETTAP_Handle *tap);

// 1 when the adapter's description begins with "SSL VPN TAP-Win32 Adapter" or
// "TAP-Windows Adapter V9" (case-sensitive); 0 otherwise or without handle.
int TAP_IsSupportedAdapter(const NETTAP_Handle *tap);

#endif
