// One client connection: TLS on a non-blocking socket, the preface, the
// 8-byte frame header in both directions, the faults of the framing, and
// the packets a tun link routes to the client.
#include "gateway.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

static const char kPreface[] = "TUNLEX 1.0\n\n";
enum { PREFACE_LEN = 12, FRAME_MAGIC = 0x12345678, MAX_FRAME = 65535 };
enum { HANDSHAKE_MS = 10000, PREFACE_MS = 10000, WRITE_STALL_MS = 10000, IDLE_POLL_MS = 20 };
enum { OVERSIZE_SENT_MAX = 1u << 20 };
enum { TUN_BURST = 64 };   // packets taken from the tun link before the connection is looked at again
enum { TUN_DROPS_LOGGED = 5 };
enum { RECORD_ROOM = 16384 + 256 };   // a record's plaintext and then some

static void Put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24); p[1] = (uint8_t)(v >> 16); p[2] = (uint8_t)(v >> 8); p[3] = (uint8_t)v;
}
static uint32_t Get32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static void Wait(int fd, short events, int ms)
{
    struct pollfd p = {fd, events, 0};
    poll(&p, 1, ms);
}

static const char *SslErrorText()
{
    static char buf[256];
    unsigned long e = ERR_get_error();
    if (!e)
        return "no TLS error queued";
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

static void MarkGone(GW_Session *s, const char *why)
{
    if (s->dead)
        return;
    s->dead = 1;
    snprintf(s->endReason, sizeof s->endReason, "%s", why);
}

static void FlushBatch(GW_Session *s);
static void FlushOut(GW_Session *s);

void GW_Close(GW_Session *s, const char *reason)
{
    if (s->dead)
        return;
    GW_Log("#%u closing: %s", s->number, reason);
    if (s->opt->closeMode == GW_CLOSE_RESET) {
        struct linger l = {1, 0};
        setsockopt(s->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else if (s->opt->closeMode != GW_CLOSE_EOF && s->ssl) {
        FlushBatch(s);
        SSL_shutdown(s->ssl);   // close_notify; we do not wait for the client's
        FlushOut(s);
    }
    MarkGone(s, reason);
}

// Records wait in the buffer in front of the socket until the end of the
// loop's pass (or until it is full): a burst costs one socket write.
static void FlushOut(GW_Session *s)
{
    BIO *out = s->ssl ? SSL_get_wbio(s->ssl) : nullptr;
    uint64_t stallEnd = GW_Now() + WRITE_STALL_MS;
    while (out && BIO_flush(out) <= 0) {
        if (!BIO_should_retry(out) || GW_Now() >= stallEnd || GW_ShouldStop()) {
            if (!s->dead)
                GW_Log("#%u write failed (flush: %s)", s->number, SslErrorText());
            MarkGone(s, "write failed: the client is gone");
            return;
        }
        Wait(s->fd, POLLOUT, 100);
    }
}

// The fault --stall-after: what passes the limit is never sent.
static size_t StallCut(GW_Session *s, size_t n)
{
    uint64_t limit = s->faulty ? s->opt->stallAfter : 0;
    if (!limit)
        return n;
    if (s->stalled)
        return 0;
    if (s->bytesOut + n < limit)
        return n;
    s->stalled = 1;
    GW_Log("#%u stalling after %llu bytes sent (fault): nothing more goes to the client", s->number,
           (unsigned long long)limit);
    return (size_t)(limit - s->bytesOut);
}

static void WriteNow(GW_Session *s, const uint8_t *p, size_t n)
{
    n = StallCut(s, n);
    s->bytesOut += n;
    uint64_t stallEnd = GW_Now() + WRITE_STALL_MS;
    while (n && !s->dead) {
        int chunk = n > 16384 ? 16384 : (int)n;
        int rc = SSL_write(s->ssl, p, chunk);
        if (rc > 0) {
            p += rc;
            n -= (size_t)rc;
            stallEnd = GW_Now() + WRITE_STALL_MS;
            continue;
        }
        int e = SSL_get_error(s->ssl, rc);
        if ((e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) && GW_Now() < stallEnd && !GW_ShouldStop()) {
            Wait(s->fd, e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, 100);
            continue;
        }
        GW_Log("#%u write failed (TLS error %d: %s)", s->number, e, SslErrorText());
        MarkGone(s, "write failed: the client is gone");
    }
}

static void FlushBatch(GW_Session *s)
{
    size_t n = s->batchLen;
    s->batchLen = 0;
    if (n)
        WriteNow(s, s->batch, n);
}

static void WriteAll(GW_Session *s, const uint8_t *p, size_t n)
{
    if (s->batching) {
        if (s->batchLen + n > sizeof s->batch)
            FlushBatch(s);
        if (n <= sizeof s->batch) {
            memcpy(s->batch + s->batchLen, p, n);
            s->batchLen += n;
            return;
        }
    }
    WriteNow(s, p, n);
}

static void SendHeader(GW_Session *s, uint32_t magic, uint32_t len)
{
    uint8_t h[8];
    Put32(h, magic);
    Put32(h + 4, len);
    WriteAll(s, h, 8);
}

// The faulty frame goes out in front of the normal frame number injectAt.
// Returns 1 when it replaced the normal frame.
static int Inject(GW_Session *s, const uint8_t *frame, size_t n)
{
    const GW_Options *o = s->opt;
    if (!s->faulty || s->injected || s->framesOut + 1 < o->injectAt)
        return 0;
    if (!o->badMagic && !o->zeroFrame && !o->oversize)
        return 0;
    s->injected = 1;
    if (o->badMagic) {
        GW_Log("#%u tx fault: frame %u with magic 0x%08x", s->number, s->framesOut + 1, o->badMagicValue);
        SendHeader(s, o->badMagicValue, (uint32_t)n);
        WriteAll(s, frame, n);
        s->framesOut++;
        return 1;
    }
    if (o->zeroFrame) {
        GW_Log("#%u tx fault: zero-length frame", s->number);
        SendHeader(s, FRAME_MAGIC, 0);
    }
    if (o->oversize) {
        uint32_t l = o->oversizeLen;
        GW_Log("#%u tx fault: frame of %u bytes%s", s->number, l,
               l > OVERSIZE_SENT_MAX ? " (header only)" : "");
        SendHeader(s, FRAME_MAGIC, l);
        if (l <= OVERSIZE_SENT_MAX) {
            // zeros: nothing in the filler looks like a frame header
            static uint8_t zeros[16384];
            for (uint32_t left = l; left && !s->dead;) {
                uint32_t c = left > sizeof zeros ? (uint32_t)sizeof zeros : left;
                WriteAll(s, zeros, c);
                left -= c;
            }
        }
    }
    return 0;
}

void GW_SendFrame(GW_Session *s, uint16_t proto, const uint8_t *info, size_t n)
{
    if (s->dead || !s->ssl)
        return;
    uint8_t buf[8 + 4 + MAX_FRAME];
    uint8_t *frame = buf + 8;
    size_t at = 0;
    int ff03 = s->opt->ff03 == GW_FF03_ALL || (s->opt->ff03 == GW_FF03_ALTERNATE && (s->framesOut & 1));
    if (n > MAX_FRAME - 4)
        n = MAX_FRAME - 4;
    if (ff03) {
        frame[at++] = 0xFF;
        frame[at++] = 0x03;
    }
    frame[at++] = (uint8_t)(proto >> 8);
    frame[at++] = (uint8_t)proto;
    memcpy(frame + at, info, n);
    at += n;
    if (Inject(s, frame, at))
        return;
    if (s->dead)
        return;
    Put32(buf, FRAME_MAGIC);
    Put32(buf + 4, (uint32_t)at);
    s->framesOut++;
    GW_LogFrame(s, "tx", frame, at);
    switch (s->opt->split) {
    case GW_SPLIT_HEADER:
        WriteAll(s, buf, 4);
        WriteAll(s, buf + 4, 4 + at);
        break;
    case GW_SPLIT_PAYLOAD:
        WriteAll(s, buf, 8 + at / 2);
        WriteAll(s, buf + 8 + at / 2, at - at / 2);
        break;
    default:
        WriteAll(s, buf, 8 + at);
        break;
    }
}

// A record of the client's that holds exactly one frame, whole.
static int OneFrame(const uint8_t *p, size_t n)
{
    return n >= 8 && Get32(p) == FRAME_MAGIC && 8 + (size_t)Get32(p + 4) == n;
}

// Reads what TLS has; returns 0 when nothing more is there for now. One
// SSL_read gives at most one record; with room for a whole record each
// read is one record, which the record count looks at.
static int ReadSome(GW_Session *s)
{
    if (sizeof s->rx - s->rxLen < RECORD_ROOM)
        return 0;
    int rc = SSL_read(s->ssl, s->rx + s->rxLen, (int)(sizeof s->rx - s->rxLen));
    if (rc > 0) {
        const uint8_t *rec = s->rx + s->rxLen;
        int preface = s->recordsIn == 0 && s->bytesIn == 0 && rc == PREFACE_LEN;
        if (!preface) {
            s->recordsIn++;
            s->recordsOneFrame += OneFrame(rec, (size_t)rc);
        }
        s->bytesIn += (uint64_t)rc;
        s->rxLen += (size_t)rc;
        return 1;
    }
    int e = SSL_get_error(s->ssl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return 0;
    if (e == SSL_ERROR_ZERO_RETURN) {
        GW_Log("#%u the client closed the TLS connection (close_notify)", s->number);
        MarkGone(s, "client closed (close_notify)");
    } else if (e == SSL_ERROR_SYSCALL && errno == ECONNRESET) {
        GW_Log("#%u the client reset the TCP connection", s->number);
        MarkGone(s, "client closed (reset)");
    } else if (e == SSL_ERROR_SYSCALL && rc == 0) {
        GW_Log("#%u the client closed the TCP connection without close_notify", s->number);
        MarkGone(s, "client closed (eof)");
    } else {
        const char *t = SslErrorText();
        if (strstr(t, "unexpected eof")) {
            GW_Log("#%u the client closed the TCP connection without close_notify", s->number);
            MarkGone(s, "client closed (eof)");
        } else {
            GW_Log("#%u read failed (TLS error %d: %s, errno %d)", s->number, e, t, errno);
            MarkGone(s, "read failed");
        }
    }
    return 0;
}

static void AfterFrame(GW_Session *s)
{
    const GW_Options *o = s->opt;
    if (!s->faulty || !o->closeAfterFrames || s->framesIn != o->closeAfterFrames)
        return;
    GW_Log("#%u closing after %u frames (fault)", s->number, s->framesIn);
    if (o->closeMode == GW_CLOSE_LCP)
        GW_PppTerminate(s);
    else
        GW_Close(s, "closed after N frames (fault)");
}

static void ProcessInput(GW_Session *s, int pppLive)
{
    size_t at = 0;
    while (!s->dead) {
        const uint8_t *p = s->rx + at;
        size_t left = s->rxLen - at;
        if (!s->prefaceSeen) {
            if (left < PREFACE_LEN)
                break;
            if (memcmp(p, kPreface, PREFACE_LEN) != 0) {
                GW_LogFrame(s, "rx-bad-preface", p, PREFACE_LEN);
                GW_Close(s, "bad preface");
                break;
            }
            GW_Log("#%u preface ok", s->number);
            s->prefaceSeen = 1;
            at += PREFACE_LEN;
            s->answerAt = GW_Now() + (s->faulty ? s->opt->delayMs : 0);
            if (s->faulty && s->opt->delayMs)
                GW_Log("#%u answering after %u ms (fault)", s->number, s->opt->delayMs);
            if (s->faulty && s->opt->silent)
                GW_Log("#%u staying silent (fault)", s->number);
            break;   // the caller decides when PPP starts
        }
        if (!pppLive)
            break;
        if (left < 8)
            break;
        uint32_t magic = Get32(p), len = Get32(p + 4);
        if (magic != FRAME_MAGIC) {
            GW_Log("#%u rx bad frame magic 0x%08x", s->number, magic);
            GW_Close(s, "bad frame magic from the client");
            break;
        }
        if (len > MAX_FRAME) {
            GW_Log("#%u rx frame length %u above %u", s->number, len, (uint32_t)MAX_FRAME);
            GW_Close(s, "oversized frame from the client");
            break;
        }
        if (left < 8 + (size_t)len)
            break;
        at += 8 + len;
        s->framesIn++;
        GW_LogFrame(s, "rx", p + 8, len);
        if (len == 0)
            GW_Log("#%u rx zero-length frame", s->number);
        else if (!(s->faulty && s->opt->silent))
            GW_PppInput(s, p + 8, len);
        AfterFrame(s);
    }
    memmove(s->rx, s->rx + at, s->rxLen - at);
    s->rxLen -= at;
}

static int Handshake(GW_Session *s)
{
    uint64_t end = GW_Now() + HANDSHAKE_MS;
    for (;;) {
        int rc = SSL_accept(s->ssl);
        if (rc == 1)
            break;
        int e = SSL_get_error(s->ssl, rc);
        if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) || GW_Now() >= end || GW_ShouldStop()) {
            GW_Log("#%u TLS handshake failed (error %d: %s)", s->number, e, SslErrorText());
            return 0;
        }
        Wait(s->fd, e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, 100);
    }
    GW_Log("#%u TLS up: %s, %s", s->number, SSL_get_version(s->ssl), SSL_get_cipher_name(s->ssl));
    return 1;
}

// Holds the TCP connection without ever speaking TLS, until the client leaves.
static void HoldWithoutTls(GW_Session *s)
{
    GW_Log("#%u holding TCP without TLS (fault)", s->number);
    while (!GW_ShouldStop()) {
        struct pollfd p = {s->fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        uint8_t b[4096];
        ssize_t r = recv(s->fd, b, sizeof b, 0);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
            break;
    }
    MarkGone(s, "client left (no TLS)");
}

int GW_TunOpen(const char *name)
{
    // TUNSETIFF would make a fresh link for an unknown name; we only attach.
    if (!if_nametoindex(name)) {
        errno = ENODEV;
        return -1;
    }
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name);
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// What the link routes to the client goes out as IPv4 frames once IPCP is
// open; anything else read from it is dropped, like a router without a route.
// Each frame is its own record; with --pack-records a burst shares records.
static void TunToClient(GW_Session *s)
{
    static uint8_t pkt[MAX_FRAME];
    s->batching = s->opt->packRecords && s->opt->split == GW_SPLIT_NONE;
    for (int i = 0; i < TUN_BURST && !s->dead; i++) {
        ssize_t n = read(s->opt->tunFd, pkt, sizeof pkt);
        if (n <= 0)
            break;
        uint32_t dst = 0;
        if (n >= 20)
            memcpy(&dst, pkt + 16, 4);
        const char *why = n < 20 || (pkt[0] >> 4) != 4 ? "not IPv4"
                        : dst != s->opt->clientIp      ? "not for the client's address"
                        : s->ipcp.state != GW_FSM_OPENED ? "IPCP is not open" : nullptr;
        if (why) {
            if (++s->ipDropped <= TUN_DROPS_LOGGED)
                GW_Log("#%u %s: %zd bytes dropped: %s", s->number, s->opt->tunName, n, why);
            continue;
        }
        s->ipOut++;
        GW_SendFrame(s, 0x0021, pkt, (size_t)n);
    }
    s->batching = 0;
    FlushBatch(s);
    FlushOut(s);
}

static void WaitInput(GW_Session *s)
{
    struct pollfd p[2] = {{s->fd, POLLIN, 0}, {s->opt->tunFd, POLLIN, 0}};
    poll(p, s->opt->tunFd >= 0 ? 2 : 1, IDLE_POLL_MS);
}

static void Run(GW_Session *s)
{
    uint64_t prefaceEnd = GW_Now() + PREFACE_MS;
    int pppStarted = 0;
    while (!s->dead && !GW_ShouldStop()) {
        uint64_t now = GW_Now();
        int pppLive = s->prefaceSeen && now >= s->answerAt;
        if (pppLive && !pppStarted && !(s->faulty && s->opt->silent)) {
            pppStarted = 1;
            GW_PppStart(s);
        }
        if (s->prefaceSeen && !pppLive) {   // answering late: leave the frames in the stream
            uint64_t wait = s->answerAt - now;
            usleep((useconds_t)(wait > 50 ? 50 : wait) * 1000);
            continue;
        }
        if (!s->prefaceSeen && now >= prefaceEnd) {
            GW_Close(s, "no preface");
            break;
        }
        while (!s->dead && ReadSome(s))
            ;
        int wasPreface = s->prefaceSeen;
        s->batching = s->opt->packRecords && s->opt->split == GW_SPLIT_NONE;
        ProcessInput(s, pppLive);
        if (pppStarted && !s->dead && !(!wasPreface && s->prefaceSeen))
            GW_PppTick(s, GW_Now());
        s->batching = 0;
        FlushBatch(s);
        FlushOut(s);
        if (!wasPreface && s->prefaceSeen)
            continue;   // the frames behind the preface wait for PPP to start
        if (pppStarted && !s->dead && s->opt->tunFd >= 0)
            TunToClient(s);
        if (!s->dead && !SSL_has_pending(s->ssl)) {   // read-ahead may hold records not yet decrypted
            GW_TunEndBurst();
            WaitInput(s);
        }
    }
    if (!s->dead)
        GW_Close(s, "gateway stopping");
}

// Reads straight from the socket; writes through a buffer in front of it.
static int AttachSocket(SSL *ssl, int fd)
{
    BIO *raw = BIO_new_socket(fd, BIO_NOCLOSE);
    BIO *buffer = BIO_new(BIO_f_buffer());
    if (!raw || !buffer || !BIO_set_write_buffer_size(buffer, 65536) || !BIO_up_ref(raw)) {
        BIO_free(raw);
        BIO_free(buffer);
        return 0;
    }
    BIO_push(buffer, raw);
    SSL_set_bio(ssl, raw, buffer);
    return 1;
}

void GW_Serve(const GW_Options *o, SSL_CTX *ctx, int fd, uint32_t number)
{
    GW_Session *s = (GW_Session *)calloc(1, sizeof(GW_Session));
    if (!s) {
        close(fd);
        return;
    }
    s->opt = o;
    s->number = number;
    s->fd = fd;
    s->faulty = o->faultyConnections == 0 || number <= o->faultyConnections;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (s->faulty && o->noHandshake) {
        HoldWithoutTls(s);
    } else if (!(s->ssl = SSL_new(ctx)) || !AttachSocket(s->ssl, fd)) {
        GW_Log("#%u cannot make the TLS connection: %s", number, SslErrorText());
        MarkGone(s, "TLS set-up failed");
    } else if (!Handshake(s)) {
        MarkGone(s, "TLS handshake failed");
    } else {
        Run(s);
    }
    if (s->ssl && (SSL_get_shutdown(s->ssl) & SSL_RECEIVED_SHUTDOWN) && !(SSL_get_shutdown(s->ssl) & SSL_SENT_SHUTDOWN))
    {
        SSL_shutdown(s->ssl);
        FlushOut(s);
    }
    GW_Log("#%u end: %s (frames in %u, out %u, auth %s, link %s)", number, s->endReason, s->framesIn,
           s->framesOut, s->auth.done > 0 ? "accepted" : s->auth.done < 0 ? "refused" : "not done",
           s->everUp ? "was up" : "never up");
    GW_Log("#%u TLS records from the client: %u, holding exactly one frame: %u; %llu bytes sent",
           number, s->recordsIn, s->recordsOneFrame, (unsigned long long)s->bytesOut);
    if (o->tunFd >= 0)
        GW_Log("#%u IPv4 through %s: %llu packets to the link, %llu to the client, %llu dropped; "
               "%llu refused by the link so far", number,
               o->tunName, (unsigned long long)s->ipIn, (unsigned long long)s->ipOut,
               (unsigned long long)s->ipDropped, (unsigned long long)GW_TunWriteFailures());
    if (s->ssl)
        SSL_free(s->ssl);
    close(fd);
    free(s);
}
