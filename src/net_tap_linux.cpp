// Linux device back end: an existing tun link (made beforehand, for example
// with "ip tuntap add dev NAME mode tun user USER", and given a supported
// description as its alias) attached through /dev/net/tun with IFF_TUN |
// IFF_NO_PI. The link's name is the adapter name. Reads wait in poll() on the
// device and on an eventfd that wakes the reader for good; media status is
// the link's carrier and IFF_UP flag, the point-to-point configuration its
// address and mask, set by ioctl (the carrier on the device, the rest on a
// socket of the device's network namespace).
#include "net_tap_device.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>

extern const char *const NETTAP_ModuleName;
const char *const NETTAP_ModuleName = "net_tap_linux";

struct NETTAP_Semaphore {
    sem_t sem;
    uint32_t maximum;
};

struct NETTAP_Thread {
    pthread_t thread;
    uint32_t (*body)(void *);
    void *arg;
    std::atomic<int> finished;
    int joined;
};

namespace {

struct LinuxIo {
    int fd;         // the attached tun queue
    int wakeFd;     // eventfd; readable once the reader is to stop
    int ctlSocket;  // AF_INET datagram socket for the link ioctls
    char name[IFNAMSIZ];
};

void SetIfEmpty(ErrorInfo *chain, int line, const char *text)
{
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, NETTAP_ModuleName, line, "%s", text);
}

NETTAP_ReadResult Read(void *io, uint8_t *buf, uint32_t size, uint32_t *got)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    *got = 0;
    pollfd fds[2] = {{d->fd, POLLIN, 0}, {d->wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0)
        return errno == EINTR ? NETTAP_READ_DONE : NETTAP_READ_FAILED;
    if (fds[1].revents)
        return NETTAP_READ_ABORTED;
    if (fds[0].revents & (POLLERR | POLLNVAL))
        return NETTAP_READ_FAILED;
    ssize_t n = read(d->fd, buf, size);
    if (n > 0) {
        *got = static_cast<uint32_t>(n);
        return NETTAP_READ_DONE;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return NETTAP_READ_DONE;
    return NETTAP_READ_FAILED;
}

int Write(void *io, const uint8_t *data, uint32_t length)
{
    LinuxIo *d = static_cast<LinuxIo *>(io);
    ssize_t n;
    do
        n = write(d->fd, data, length);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length);
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
    CloseFd(d->fd);
    CloseFd(d->wakeFd);
    CloseFd(d->ctlSocket);
    delete d;
}

const NETTAP_DeviceOps kLinuxOps = {Read, Write, SetMedia, ConfigTun, Wake, CloseIo};

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
    LinuxIo *d = new (std::nothrow) LinuxIo;
    if (!d) {
        SetIfEmpty(chain, __LINE__, "Unable to open SSL VPN TUN/TAP handle");
        return 0;
    }
    memset(d->name, 0, sizeof d->name);
    memcpy(d->name, name, len);
    d->wakeFd = -1;
    d->ctlSocket = -1;
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
    if (d->wakeFd < 0 || d->ctlSocket < 0) {
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
    LinuxIo *d = new (std::nothrow) LinuxIo;
    if (!d) {
        close(fd);
        SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
        return 0;
    }
    memset(d->name, 0, sizeof d->name);
    d->fd = fd;
    d->ctlSocket = -1;
    d->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int flags = fcntl(fd, F_GETFL);
    if (d->wakeFd < 0 || flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        SetIfEmpty(chain, __LINE__, "Unable to start SSL VPN TUN/TAP packet handler");
        CloseIo(d);
        return 0;
    }
    return NETTAP_AttachDevice(tap, fd, &kLinuxOps, d, chain);
}

NETTAP_Semaphore *NETTAP_SemCreate(uint32_t initial, uint32_t maximum)
{
    NETTAP_Semaphore *s = new (std::nothrow) NETTAP_Semaphore;
    if (!s)
        return nullptr;
    s->maximum = maximum;
    if (sem_init(&s->sem, 0, initial) != 0) {
        delete s;
        return nullptr;
    }
    return s;
}

int NETTAP_SemWait(NETTAP_Semaphore *sem, int wait)
{
    if (!sem)
        return 0;
    int r;
    do
        r = wait ? sem_wait(&sem->sem) : sem_trywait(&sem->sem);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

void NETTAP_SemRelease(NETTAP_Semaphore *sem)
{
    if (!sem)
        return;
    int value = 0;
    if (sem_getvalue(&sem->sem, &value) == 0 && value >= static_cast<int>(sem->maximum))
        return;
    sem_post(&sem->sem);
}

void NETTAP_SemClose(NETTAP_Semaphore *sem)
{
    if (!sem)
        return;
    sem_destroy(&sem->sem);
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
// points that are no cancellation points, so it never dies holding one.
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
