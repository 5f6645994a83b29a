// Writes to the tun link from a thread of their own. A write to a tun device
// runs the system's receive path for the packet (the receiving TCP and its
// reader's wake-up) on the writing thread; on the session's thread that
// would hold up the TLS stream for every packet. The first packet
// after the session waited for input, when nothing is queued, is written at
// once by the caller: a lone packet (a ping) then waits for no thread, and
// a busy link's packets go through the ring in order.
#include "gateway.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace {

enum { SLOTS = 64, SLOT_BYTES = 2048 };

struct Slot {
    uint32_t length;
    uint8_t data[SLOT_BYTES];
};

struct TunWriter {
    int fd = -1;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ready = PTHREAD_COND_INITIALIZER;   // the writer: a slot is queued, or stop
    pthread_cond_t room = PTHREAD_COND_INITIALIZER;    // the session: half the ring is free again
    uint32_t head = 0;      // oldest queued slot
    uint32_t count = 0;     // queued slots, the one being written included
    int producerWaiting = 0;
    int stop = 0;
    int started = 0;
    int directAllowed = 1;  // the session's own: no packet of this burst written yet
    pthread_t thread;
    std::atomic<uint64_t> failed{0};
    Slot slots[SLOTS];
};

TunWriter g_writer;

int WriteOut(int fd, const uint8_t *p, uint32_t n)
{
    ssize_t r;
    do
        r = write(fd, p, n);
    while (r < 0 && errno == EINTR);
    return r == (ssize_t)n;
}

void *WriterMain(void *)
{
    TunWriter *w = &g_writer;
    pthread_mutex_lock(&w->lock);
    for (;;) {
        while (w->count == 0 && !w->stop)
            pthread_cond_wait(&w->ready, &w->lock);
        if (w->count == 0)
            break;
        Slot *slot = &w->slots[w->head];
        pthread_mutex_unlock(&w->lock);
        if (!WriteOut(w->fd, slot->data, slot->length))
            w->failed.fetch_add(1);
        pthread_mutex_lock(&w->lock);
        w->head = (w->head + 1) % SLOTS;
        w->count--;
        if (w->producerWaiting && w->count <= SLOTS / 2)
            pthread_cond_signal(&w->room);
    }
    pthread_mutex_unlock(&w->lock);
    return nullptr;
}

}  // namespace

int GW_TunWriterStart(int fd)
{
    TunWriter *w = &g_writer;
    w->fd = fd;
    w->started = pthread_create(&w->thread, nullptr, WriterMain, nullptr) == 0;
    return w->started;
}

void GW_TunWriterStop(void)
{
    TunWriter *w = &g_writer;
    if (!w->started)
        return;
    pthread_mutex_lock(&w->lock);
    w->stop = 1;
    pthread_cond_signal(&w->ready);
    pthread_mutex_unlock(&w->lock);
    pthread_join(w->thread, nullptr);
    w->started = 0;
}

int GW_TunWrite(const uint8_t *p, size_t n)
{
    TunWriter *w = &g_writer;
    if (!w->started)
        return WriteOut(w->fd, p, (uint32_t)n);
    pthread_mutex_lock(&w->lock);
    if (n > SLOT_BYTES || (w->count == 0 && w->directAllowed)) {
        // Written here only behind everything queued before it.
        w->producerWaiting = 1;
        while (w->count > 0)
            pthread_cond_wait(&w->room, &w->lock);
        w->producerWaiting = 0;
        w->directAllowed = 0;
        pthread_mutex_unlock(&w->lock);
        return WriteOut(w->fd, p, (uint32_t)n);
    }
    w->directAllowed = 0;
    if (w->count == SLOTS) {
        w->producerWaiting = 1;
        while (w->count > SLOTS / 2)
            pthread_cond_wait(&w->room, &w->lock);
        w->producerWaiting = 0;
    }
    Slot *slot = &w->slots[(w->head + w->count) % SLOTS];
    memcpy(slot->data, p, n);
    slot->length = (uint32_t)n;
    if (w->count++ == 0)
        pthread_cond_signal(&w->ready);
    pthread_mutex_unlock(&w->lock);
    return 1;
}

void GW_TunEndBurst(void)
{
    g_writer.directAllowed = 1;
}

uint64_t GW_TunWriteFailures(void)
{
    return g_writer.failed.load();
}
