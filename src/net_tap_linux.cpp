// Linux device back end: an existing tun link (made beforehand, for example
// with "ip tuntap add dev NAME mode tun user USER", and given a supported
// description as its alias) attached through /dev/net/tun with IFF_TUN |
// IFF_NO_PI. The link's name is the adapter name. Reads wait in poll() on the
// device and on an eventfd that wakes the reader for good; writes are queued
// for a writer thread of the device. Media status is the link's carrier and
// IFF_UP flag, the point-to-point configuration its address and mask, set by
// ioctl (the carrier on the device, the rest on a socket of the device's
// network namespace).
#include "net_tap_device.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <linux/futex.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <new>

extern const char *const NETTAP_ModuleName;
const char *const NETTAP_ModuleName = "net_tap_linux";

// A counting semaphore on a futex: a release of several wakes the waiter
// with one system call, where one post per unit would wake it for each.
struct NETTAP_Semaphore {
    std::atomic<int32_t> count;
    std::atomic<int32_t> waiters;
    int32_t maximum;
};

struct NETTAP_Thread {
    pthread_t thread;
    uint32_t (*body)(void *);
    void *arg;
    std::atomic<int> finished;
    int joined;
};

namespace {

// Writes go through a ring that a writer thread of the device empties, as
// the Windows driver takes an overlapped write: a write to a tun device runs
// the system's receive path for the packet on the writing thread, and the
// connection thread has the tunnel to serve meanwhile. The ring holds copies,
// so the caller's buffer is free as soon as the write is queued; one write
// is under way at a time, in the order they were queued.
//
// The first packet of a burst (the first after the connection thread was
// idle) that finds the ring empty is written by the caller itself: a lone
// packet (a ping, an ACK of an idle link) then costs no wake-up of the
// writer, and a busy link's packets still all go to it.
enum : uint32_t { WRITE_SLOTS = 32, WRITE_SLOT_BYTES = 2048 };

struct WriteSlot {
    uint32_t length;
    uint8_t data[WRITE_SLOT_BYTES];
};

struct LinuxIo {
    int fd;         // the attached tun queue
    int wakeFd;     // eventfd; readable once the reader is to stop
    int ctlSocket;  // AF_INET datagram socket for the link ioctls
    char name[IFNAMSIZ];
    pthread_mutex_t writeLock;
    pthread_cond_t writeReady;  // the writer: a slot is queued, or stop
    pthread_cond_t writeDone;   // the producer: a slot is free again
    uint32_t writeHead;         // oldest queued slot
    uint32_t writeCount;        // queued slots, the one being written included
    int producerWaiting;        // the connection thread waits for room
    int directAllowed;          // the caller's own: no packet of this burst written yet
    int writeStop;
    int writerStarted;
    pthread_t writer;
    WriteSlot slots[WRITE_SLOTS];
};

LinuxIo *NewIo()
{
    LinuxIo *d = new (std::nothrow) LinuxIo;
    if (!d)
        return nullptr;
    memset(d->name, 0, sizeof d->name);
    d->fd = d->wakeFd = d->ctlSocket = -1;
    pthread_mutex_init(&d->writeLock, nullptr);
    pthread_cond_init(&d->writeReady, nullptr);
    pthread_cond_init(&d->writeDone, nullptr);
    d->writeHead = d->writeCount = 0;
    d->writeStop = 0;
    d->producerWaiting = 0;
    d->directAllowed = 1;
    d->writerStarted = 0;
    return d;
}

// A failed write is lost like a packet on the wire; the link's own counters
// show it. A full device is given a second.
void WriteOut(int fd, const uint8_t *data, uint32_t length)
{
    for (int tries = 0; tries < 10; tries++) {
        ssize_t n = write(fd, data, length);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN))
            return;
        if (errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

void *WriterMain(void *arg)
{
    LinuxIo *d = static_cast<LinuxIo *>(arg);
    pthread_mutex_lock(&d->writeLock);
    for (;;) {
        while (d->writeCount == 0 && !d->writeStop)
            pthread_cond_wait(&d->writeReady, &d->writeLock);
        if (d->writeCount == 0)
            break;
        WriteSlot *slot = &d->slots[d->writeHead];
        pthread_mutex_unlock(&d->writeLock);
        WriteOut(d->fd, slot->data, slot->length);
        pthread_mutex_lock(&d->writeLock);
        d->writeHead = (d->writeHead + 1) % WRITE_SLOTS;
        d->writeCount--;
        // A producer that found the ring full is woken once half of it is
        // free, not for every slot: it then fills that half in one go.
        if (d->producerWaiting && d->writeCount <= WRITE_SLOTS / 2)
            pthread_cond_signal(&d->writeDone);
    }
    pthread_mutex_unlock(&d->writeLock);
    return nullptr;
}

int StartWriter(LinuxIo *d)
{
    d->writerStarted = pthread_create(&d->writer, nullptr, WriterMain, d) == 0;
    return d->writerStarted;
}

// Writes what is queued, then ends the writer.
void StopWriter(LinuxIo *d)
{
    if (!d->writerStarted)
        return;
    pthread_mutex_lock(&d->writeLock);
    d->writeStop = 1;
    pthread_cond_signal(&d->writeReady);
    pthread_mutex_unlock(&d->writeLock);
    pthread_join(d->writer, nullptr);
    d->writerStarted = 0;
}

void SetIfEmpty(ErrorInfo *chain, int line, const char *text)
{
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, NETTAP_ModuleName, line, "%s", text);
}

// Never waits: the connection thread reads here too when it finds the
// device ready, and the reader waits in WaitReadable outside the read.
NETTAP_ReadResult Read(void *io, uint8_t *buf, uint32_t size, uint32_t *got)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    *got = 0;
    ssize_t n = read(d->fd, buf, size);
    if (n > 0) {
        *got = static_cast<uint32_t>(n);
        return NETTAP_READ_DONE;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return NETTAP_READ_DONE;
    return NETTAP_READ_FAILED;
}

NETTAP_ReadResult WaitReadable(void *io)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    pollfd fds[2] = {{d->fd, POLLIN, 0}, {d->wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0)
        return errno == EINTR ? NETTAP_READ_DONE : NETTAP_READ_FAILED;
    if (fds[1].revents)
        return NETTAP_READ_ABORTED;
    if (fds[0].revents & (POLLERR | POLLNVAL))
        return NETTAP_READ_FAILED;
    return NETTAP_READ_DONE;
}

// 1 once the packet is queued (or, when it does not fit a slot, written
// after everything queued before it).
int Write(void *io, const uint8_t *data, uint32_t length)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    pthread_mutex_lock(&d->writeLock);
    if (length > WRITE_SLOT_BYTES) {
        while (d->writeCount > 0) {
            d->producerWaiting = 1;
            pthread_cond_wait(&d->writeDone, &d->writeLock);
        }
        d->producerWaiting = 0;
        pthread_mutex_unlock(&d->writeLock);
        ssize_t n;
        do
            n = write(d->fd, data, length);
        while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(length);
    }
    if (d->writeCount == 0 && d->directAllowed) {
        // Nothing queued or under way: no packet can overtake this one.
        d->directAllowed = 0;
        pthread_mutex_unlock(&d->writeLock);
        WriteOut(d->fd, data, length);
        return 1;
    }
    d->directAllowed = 0;
    if (d->writeCount == WRITE_SLOTS) {
        d->producerWaiting = 1;
        while (d->writeCount > WRITE_SLOTS / 2)
            pthread_cond_wait(&d->writeDone, &d->writeLock);
        d->producerWaiting = 0;
    }
    WriteSlot *slot = &d->slots[(d->writeHead + d->writeCount) % WRITE_SLOTS];
    memcpy(slot->data, data, length);
    slot->length = length;
    // Only an empty ring can have the writer asleep.
    if (d->writeCount++ == 0)
        pthread_cond_signal(&d->writeReady);
    pthread_mutex_unlock(&d->writeLock);
    return 1;
}

void EndBurst(void *io)
{
    static_cast<LinuxIo *>(io)->directAllowed = 1;
}

bool NotPermitted()
{
    return errno == EPERM || errno == EACCES;
}

// The carrier is the driver's media status and needs only the attached
// queue; raising or lowering the link itself needs the right to change it.
int SetMedia(void *io, int connected)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    int carrier = connected ? 1 : 0;
    int carrierSet = ioctl(d->fd, TUNSETCARRIER, &carrier) == 0;
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, d->name, sizeof ifr.ifr_name);
    if (ioctl(d->ctlSocket, SIOCGIFFLAGS, &ifr) < 0)
        return carrierSet;
    if (connected)
        ifr.ifr_flags |= IFF_UP;
    else
        ifr.ifr_flags &= ~IFF_UP;
    return ioctl(d->ctlSocket, SIOCSIFFLAGS, &ifr) == 0 || carrierSet;
}

int SetAddressIoctl(const LinuxIo *d, unsigned long request, uint32_t address)
{
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, d->name, sizeof ifr.ifr_name);
    sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    memcpy(&ifr.ifr_addr, &sin, sizeof sin);
    return ioctl(d->ctlSocket, request, &ifr) == 0;
}

// The kernel derives the network from address and mask; the network word
// is what the Windows driver needs and has no use here. A tun link needs no
// point-to-point set-up of its own: without the right to change the link the
// address is left to the route service, which sets it next.
int ConfigTun(void *io, uint32_t address, uint32_t, uint32_t mask)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    if (!SetAddressIoctl(d, SIOCSIFADDR, address))
        return NotPermitted();
    return SetAddressIoctl(d, SIOCSIFNETMASK, mask);
}

void Wake(void *io)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    uint64_t one = 1;
    ssize_t n = write(d->wakeFd, &one, sizeof one);
    (void)n;  // a full counter is readable already
}

void CloseFd(int fd)
{
    if (fd >= 0)
        close(fd);
}

void CloseIo(void *io)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    if (!d)
        return;
    StopWriter(d);
    pthread_cond_destroy(&d->writeDone);
    pthread_cond_destroy(&d->writeReady);
    pthread_mutex_destroy(&d->writeLock);
    CloseFd(d->fd);
    CloseFd(d->wakeFd);
    CloseFd(d->ctlSocket);
    delete d;
}

intptr_t WaitHandle(void *io)
{
    return static_cast<LinuxIo *>(io)->fd;
}

const NETTAP_DeviceOps kLinuxOps = {Read,    Write,    SetMedia,   ConfigTun,   Wake,
                                    CloseIo, EndBurst, WaitHandle, WaitReadable};

void *ThreadMain(void *arg)
{
    NETTAP_Thread *t = static_cast<NETTAP_Thread *>(arg);
    t->body(t->arg);
    t->finished.store(1);
    return nullptr;
}

}  // namespace

int NETTAP_SysOpen(NETTAP_Handle *tap, const NETTAP_DeviceOps **ops, void **io, ErrorInfo *chain)
{
    const char *name = tap->info.adapterName;
    size_t len = strlen(name);
    // Only an existing link is attached: TUNSETIFF would make a new one.
    if (len == 0 || len >= IFNAMSIZ || if_nametoindex(name) == 0) {
        SetIfEmpty(chain, __LINE__, "Unable to open SSL VPN TUN/TAP handle");
        return 0;
    }
    LinuxIo *d = NewIo();
    if (!d) {
        SetIfEmpty(chain, __LINE__, "Unable to open SSL VPN TUN/TAP handle");
        return 0;
    }
    memcpy(d->name, name, len);
    d->fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, d->name, sizeof ifr.ifr_name);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (d->fd < 0 || ioctl(d->fd, TUNSETIFF, &ifr) < 0) {
        SetIfEmpty(chain, __LINE__, "Unable to open SSL VPN TUN/TAP handle");
        CloseIo(d);
        return 0;
    }
    // The tun driver has no version of its own; its feature query stands in
    // for the version check. The version words stay zero.
    unsigned int features = 0;
    if (ioctl(d->fd, TUNGETFEATURES, &features) < 0) {
        SetIfEmpty(chain, __LINE__, "Unable to retreive SSL VPN TUN/TAP version");
        CloseIo(d);
        return 0;
    }
    d->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->ctlSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (d->wakeFd < 0 || d->ctlSocket < 0 || !StartWriter(d)) {
        SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
        CloseIo(d);
        return 0;
    }
    tap->device = d->fd;
    *ops = &kLinuxOps;
    *io = d;
    return 1;
}

int NETTAP_SysAttach(NETTAP_Handle *tap, intptr_t device, ErrorInfo *chain)
{
    int fd = static_cast<int>(device);
    LinuxIo *d = NewIo();
    if (!d) {
        close(fd);
        SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
        return 0;
    }
    d->fd = fd;
    d->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int flags = fcntl(fd, F_GETFL);
    if (d->wakeFd < 0 || flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
        !StartWriter(d)) {
        SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
        CloseIo(d);
        return 0;
    }
    return NETTAP_AttachDevice(tap, fd, &kLinuxOps, d, chain);
}

NETTAP_Semaphore *NETTAP_SemCreate(uint32_t initial, uint32_t maximum)
{
    if (initial > maximum || maximum > 0x7FFFFFFFu)
        return nullptr;
    NETTAP_Semaphore *s = new (std::nothrow) NETTAP_Semaphore;
    if (!s)
        return nullptr;
    s->count.store(static_cast<int32_t>(initial));
    s->waiters.store(0);
    s->maximum = static_cast<int32_t>(maximum);
    return s;
}

static long Futex(std::atomic<int32_t> *word, int op, int32_t value)
{
    return syscall(SYS_futex, reinterpret_cast<int32_t *>(word), op, value, nullptr, nullptr, 0);
}

static int TakeOne(NETTAP_Semaphore *sem)
{
    int32_t c = sem->count.load();
    while (c > 0)
        if (sem->count.compare_exchange_weak(c, c - 1))
            return 1;
    return 0;
}

int NETTAP_SemWait(NETTAP_Semaphore *sem, int wait)
{
    if (!sem)
        return 0;
    for (;;) {
        if (TakeOne(sem))
            return 1;
        if (!wait)
            return 0;
        // Counted as waiting before the last look: a release after it sees
        // the waiter, and the kernel sleeps only while the count is still 0.
        sem->waiters.fetch_add(1);
        if (sem->count.load() == 0)
            Futex(&sem->count, FUTEX_WAIT_PRIVATE, 0);
        sem->waiters.fetch_sub(1);
        pthread_testcancel();
    }
}

void NETTAP_SemReleaseMany(NETTAP_Semaphore *sem, uint32_t n)
{
    if (!sem || n == 0)
        return;
    int32_t c = sem->count.load();
    int32_t next;
    do {
        int32_t room = sem->maximum - c;
        if (room <= 0)
            return;
        next = c + (static_cast<int64_t>(n) < room ? static_cast<int32_t>(n) : room);
    } while (!sem->count.compare_exchange_weak(c, next));
    if (sem->waiters.load() > 0)
        Futex(&sem->count, FUTEX_WAKE_PRIVATE, next - c);
}

void NETTAP_SemRelease(NETTAP_Semaphore *sem)
{
    NETTAP_SemReleaseMany(sem, 1);
}

void NETTAP_SemClose(NETTAP_Semaphore *sem)
{
    delete sem;
}

NETTAP_Thread *NETTAP_ThreadStart(uint32_t (*body)(void *), void *arg, uint32_t *id)
{
    NETTAP_Thread *t = new (std::nothrow) NETTAP_Thread;
    if (!t)
        return nullptr;
    t->body = body;
    t->arg = arg;
    t->finished.store(0);
    t->joined = 0;
    if (pthread_create(&t->thread, nullptr, ThreadMain, t) != 0) {
        delete t;
        return nullptr;
    }
    // No system-wide 32-bit id is known before the thread runs; any non-zero
    // value tells "running" from "none".
    *id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(t) >> 4) | 1u;
    return t;
}

int NETTAP_ThreadRunning(NETTAP_Thread *thread)
{
    return thread && !thread->finished.load();
}

// Cancellation is deferred: the reader holds a queue lock only between
// points that are no cancellation points, so it never dies holding one. Its
// read turn spans a read (a cancellation point), but that is a flag the
// connection thread only tries and never waits for.
int NETTAP_ThreadTerminate(NETTAP_Thread *thread)
{
    if (pthread_cancel(thread->thread) != 0)
        return 0;
    pthread_join(thread->thread, nullptr);
    thread->finished.store(1);
    thread->joined = 1;
    return 1;
}

void NETTAP_ThreadRelease(NETTAP_Thread *thread)
{
    if (!thread)
        return;
    if (!thread->joined)
        pthread_join(thread->thread, nullptr);
    delete thread;
}
