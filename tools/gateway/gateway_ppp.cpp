// The gateway's PPP peer: a small RFC 1661 automaton run for LCP, IPCP and
// the vendor protocol, the demultiplexer, and the ICMP echo answer.
#include "gateway.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <openssl/rand.h>

enum {
    PROTO_IP = 0x0021, PROTO_IPCP = 0x8021, PROTO_LCP = 0xC021, PROTO_PAP = 0xC023,
    PROTO_CHAP = 0xC223, PROTO_VSP = 0x405B
};
enum { RESTART_MS = 3000, MAX_CONFIGURE = 10, MAX_TERMINATE = 2 };
enum { CONF_REQ = 1, CONF_ACK, CONF_NAK, CONF_REJ, TERM_REQ, TERM_ACK, CODE_REJ, PROTO_REJ, ECHO_REQ,
       ECHO_REP, DISCARD_REQ };

static const uint8_t kOui[4] = {0x40, 0x84, 0x93, 0x00};

static void Put16(uint8_t *p, uint32_t v) { p[0] = (uint8_t)(v >> 8); p[1] = (uint8_t)v; }
static void Put32(uint8_t *p, uint32_t v) { Put16(p, v >> 16); Put16(p + 2, v); }
static uint32_t Get32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static uint32_t RandomMagic()
{
    uint32_t m = 0;
    while (m == 0)
        RAND_bytes((uint8_t *)&m, sizeof m);
    return m;
}

static const char *Ip(uint32_t a)
{
    static char buf[4][16];
    static int slot;
    slot = (slot + 1) % 4;
    inet_ntop(AF_INET, &a, buf[slot], sizeof buf[slot]);
    return buf[slot];
}

// ---- automaton ----

void GW_FsmSend(GW_Session *s, GW_Fsm *f, uint8_t code, uint8_t id, const uint8_t *data, size_t n)
{
    uint8_t p[1600];
    if (n > sizeof p - 4)
        n = sizeof p - 4;
    p[0] = code;
    p[1] = id;
    Put16(p + 2, (uint32_t)(4 + n));
    if (n)
        memcpy(p + 4, data, n);
    GW_SendFrame(s, f->proto, p, 4 + n);
}

static void SendRequest(GW_Session *s, GW_Fsm *f, int fresh)
{
    uint8_t opt[1500];
    size_t n = f->ops->build(s, opt, sizeof opt);
    if (fresh)
        f->reqId = f->nextId++;
    GW_FsmSend(s, f, CONF_REQ, f->reqId, opt, n);
    f->deadline = GW_Now() + RESTART_MS;
}

static void SetState(GW_Session *s, GW_Fsm *f, GW_FsmState st)
{
    static const char *names[] = {"Closed", "Req-Sent", "Ack-Rcvd", "Ack-Sent", "Opened", "Closing",
                                  "Stopped"};
    if (f->state == st)
        return;
    GW_Log("#%u %s: %s -> %s", s->number, f->name, names[f->state], names[st]);
    GW_FsmState old = f->state;
    f->state = st;
    if (st == GW_FSM_OPENED) {
        f->deadline = 0;
        if (f->ops->up)
            f->ops->up(s);
    } else if (old == GW_FSM_OPENED && f->ops->down) {
        f->ops->down(s);
    }
}

static void FsmOpen(GW_Session *s, GW_Fsm *f)
{
    f->retries = MAX_CONFIGURE;
    SendRequest(s, f, 1);
    SetState(s, f, GW_FSM_REQSENT);
}

static void FsmClose(GW_Session *s, GW_Fsm *f)
{
    if (f->state == GW_FSM_CLOSED || f->state == GW_FSM_STOPPED || f->state == GW_FSM_CLOSING)
        return;
    f->retries = MAX_TERMINATE;
    f->reqId = f->nextId++;
    GW_FsmSend(s, f, TERM_REQ, f->reqId, nullptr, 0);
    f->deadline = GW_Now() + RESTART_MS;
    SetState(s, f, GW_FSM_CLOSING);
}

static void FsmReset(GW_Fsm *f)
{
    f->state = GW_FSM_CLOSED;
    f->deadline = 0;
}

static void FsmTimeout(GW_Session *s, GW_Fsm *f)
{
    f->deadline = 0;
    if (f->state == GW_FSM_CLOSING) {
        if (f->retries-- > 0) {
            GW_FsmSend(s, f, TERM_REQ, f->reqId, nullptr, 0);
            f->deadline = GW_Now() + RESTART_MS;
        } else {
            SetState(s, f, GW_FSM_CLOSED);
            if (f->ops->finished)
                f->ops->finished(s);
        }
        return;
    }
    if (f->state != GW_FSM_REQSENT && f->state != GW_FSM_ACKRCVD && f->state != GW_FSM_ACKSENT)
        return;
    if (--f->retries == 0) {
        GW_Log("#%u %s: no answer to %u Configure-Requests, giving up", s->number, f->name,
               (uint32_t)MAX_CONFIGURE);
        SetState(s, f, GW_FSM_STOPPED);
        if (f->ops->finished)
            f->ops->finished(s);
        return;
    }
    SendRequest(s, f, 0);
    if (f->state == GW_FSM_ACKRCVD)
        SetState(s, f, GW_FSM_REQSENT);
}

static void FsmInput(GW_Session *s, GW_Fsm *f, const uint8_t *p, size_t n)
{
    if (n < 4) {
        GW_Log("#%u %s: short packet dropped", s->number, f->name);
        return;
    }
    uint8_t code = p[0], id = p[1];
    size_t len = ((size_t)p[2] << 8) | p[3];
    if (len < 4 || len > n) {
        GW_Log("#%u %s: bad length %zu (have %zu) dropped", s->number, f->name, len, n);
        return;
    }
    const uint8_t *d = p + 4;
    size_t dn = len - 4;
    int live = f->state != GW_FSM_CLOSED && f->state != GW_FSM_STOPPED;
    switch (code) {
    case CONF_REQ: {
        if (f->state == GW_FSM_CLOSING)
            return;
        if (f->state == GW_FSM_CLOSED) {
            GW_FsmSend(s, f, TERM_ACK, id, nullptr, 0);
            return;
        }
        if (f->state == GW_FSM_STOPPED) {   // the peer starts over
            if (f == &s->lcp)
                s->hangupAt = 0;
            f->retries = MAX_CONFIGURE;
            SendRequest(s, f, 1);
            SetState(s, f, GW_FSM_REQSENT);
        }
        uint8_t reply[1500];
        size_t rn = 0;
        int rc = f->ops->judge(s, d, dn, reply, &rn);
        if (rc < 0)
            return;
        if (f->state == GW_FSM_OPENED) {   // the peer renegotiates
            SetState(s, f, GW_FSM_REQSENT);
            f->retries = MAX_CONFIGURE;
            SendRequest(s, f, 1);
        }
        if (rc == CONF_ACK)
            GW_FsmSend(s, f, CONF_ACK, id, d, dn);
        else
            GW_FsmSend(s, f, (uint8_t)rc, id, reply, rn);
        if (rc == CONF_ACK)
            SetState(s, f, f->state == GW_FSM_ACKRCVD ? GW_FSM_OPENED : GW_FSM_ACKSENT);
        else if (f->state == GW_FSM_ACKSENT)
            SetState(s, f, GW_FSM_REQSENT);
        return;
    }
    case CONF_ACK:
    case CONF_NAK:
    case CONF_REJ:
        if (id != f->reqId || !live || f->state == GW_FSM_CLOSING) {
            GW_Log("#%u %s: answer with identifier %u (expected %u) dropped", s->number, f->name, id,
                   f->reqId);
            return;
        }
        if (code == CONF_ACK) {
            f->retries = MAX_CONFIGURE;
            if (f->state == GW_FSM_REQSENT) {
                f->deadline = 0;
                SetState(s, f, GW_FSM_ACKRCVD);
            } else if (f->state == GW_FSM_ACKSENT) {
                SetState(s, f, GW_FSM_OPENED);
            } else {
                SetState(s, f, GW_FSM_REQSENT);
                SendRequest(s, f, 1);
            }
            return;
        }
        if (code == CONF_NAK)
            f->ops->nak(s, d, dn);
        else
            f->ops->reject(s, d, dn);
        if (s->dead || f->state == GW_FSM_CLOSING || f->state == GW_FSM_STOPPED)
            return;
        if (f->state == GW_FSM_OPENED || f->state == GW_FSM_ACKRCVD)
            SetState(s, f, GW_FSM_REQSENT);
        SendRequest(s, f, 1);
        return;
    case TERM_REQ:
        GW_FsmSend(s, f, TERM_ACK, id, nullptr, 0);
        if (f->state != GW_FSM_CLOSED && f->state != GW_FSM_CLOSING) {
            f->deadline = 0;
            SetState(s, f, GW_FSM_STOPPED);
            if (f->ops->finished)
                f->ops->finished(s);
        }
        return;
    case TERM_ACK:
        if (f->state == GW_FSM_CLOSING) {
            SetState(s, f, GW_FSM_CLOSED);
            f->deadline = 0;
            if (f->ops->finished)
                f->ops->finished(s);
        } else if (f->state == GW_FSM_OPENED) {
            SetState(s, f, GW_FSM_REQSENT);
            SendRequest(s, f, 1);
        }
        return;
    case CODE_REJ:
        GW_Log("#%u %s: peer rejected our code %u", s->number, f->name, dn ? d[0] : 0);
        return;
    default:
        if (f->ops->other && f->ops->other(s, code, id, d, dn))
            return;
        GW_Log("#%u %s: unknown code %u, sending Code-Reject", s->number, f->name, code);
        GW_FsmSend(s, f, CODE_REJ, f->nextId++, p, len);
        return;
    }
}

// Walks type-length options; returns 0 when one is malformed.
static int OptionsValid(const uint8_t *p, size_t n)
{
    size_t at = 0;
    while (at < n) {
        if (n - at < 2 || p[at + 1] < 2 || p[at + 1] > n - at)
            return 0;
        at += p[at + 1];
    }
    return 1;
}

// ---- LCP ----

static size_t LcpBuild(GW_Session *s, uint8_t *o, size_t)
{
    size_t n = 0;
    if (s->opt->mru && !(s->lcpOptOmit & (1u << 1))) {
        o[n++] = 1; o[n++] = 4;
        Put16(o + n, s->opt->mru);
        n += 2;
    }
    switch (s->opt->auth) {
    case GW_AUTH_PAP:
        o[n++] = 3; o[n++] = 4; Put16(o + n, PROTO_PAP); n += 2;
        break;
    case GW_AUTH_CHAP_MD5:
    case GW_AUTH_MSCHAP1:
    case GW_AUTH_MSCHAP2:
        o[n++] = 3; o[n++] = 5; Put16(o + n, PROTO_CHAP); n += 2;
        o[n++] = s->opt->auth == GW_AUTH_CHAP_MD5 ? 0x05 : s->opt->auth == GW_AUTH_MSCHAP1 ? 0x80 : 0x81;
        break;
    default:
        break;
    }
    if (!(s->lcpOptOmit & (1u << 5))) {
        o[n++] = 5; o[n++] = 6;
        Put32(o + n, s->ourMagic);
        n += 4;
    }
    return n;
}

static int LcpJudge(GW_Session *s, const uint8_t *p, size_t n, uint8_t *reply, size_t *rn)
{
    if (!OptionsValid(p, n)) {
        GW_Log("#%u LCP: malformed Configure-Request dropped", s->number);
        return -1;
    }
    uint8_t nak[1500], rej[1500];
    size_t nn = 0, rj = 0;
    for (size_t at = 0; at < n; at += p[at + 1]) {
        const uint8_t *o = p + at;
        uint8_t t = o[0], l = o[1];
        if (t == 1 && l == 4) {
            s->peerMru = (uint16_t)((o[2] << 8) | o[3]);
        } else if (t == 5 && l == 6) {
            uint32_t m = Get32(o + 2);
            if (m == s->ourMagic) {   // looped back, or a clash: suggest another
                nak[nn++] = 5; nak[nn++] = 6;
                Put32(nak + nn, RandomMagic());
                nn += 4;
            } else {
                s->peerMagic = m;
            }
        } else {
            // we compress nothing and do not authenticate ourselves
            GW_Log("#%u LCP: rejecting option %u (length %u)", s->number, t, l);
            memcpy(rej + rj, o, l);
            rj += l;
        }
    }
    if (rj) {
        memcpy(reply, rej, rj);
        *rn = rj;
        return CONF_REJ;
    }
    if (nn) {
        memcpy(reply, nak, nn);
        *rn = nn;
        return CONF_NAK;
    }
    return CONF_ACK;
}

static void LcpNak(GW_Session *s, const uint8_t *p, size_t n)
{
    if (!OptionsValid(p, n))
        return;
    for (size_t at = 0; at < n; at += p[at + 1]) {
        const uint8_t *o = p + at;
        if (o[0] == 5 && o[1] == 6) {
            s->ourMagic = RandomMagic();
        } else if (o[0] == 3) {
            GW_Log("#%u LCP: peer will not use our authentication protocol", s->number);
            if (++s->authNaks >= 2) {
                GW_Log("#%u LCP: no agreement on authentication, terminating", s->number);
                GW_PppTerminate(s);
                return;
            }
        } else if (o[0] == 1 && o[1] == 4) {
            GW_Log("#%u LCP: peer suggests MRU %u, keeping %u", s->number, (o[2] << 8) | o[3], s->opt->mru);
        }
    }
}

static void LcpReject(GW_Session *s, const uint8_t *p, size_t n)
{
    if (!OptionsValid(p, n))
        return;
    for (size_t at = 0; at < n; at += p[at + 1]) {
        uint8_t t = p[at];
        if (t == 3 && s->opt->auth != GW_AUTH_NONE) {
            GW_Log("#%u LCP: peer refuses to authenticate, terminating", s->number);
            GW_PppTerminate(s);
            return;
        }
        if (t < 32)
            s->lcpOptOmit |= 1u << t;
    }
}

static void LcpUp(GW_Session *s)
{
    GW_Log("#%u LCP: up (our magic 0x%08x, peer magic 0x%08x, peer MRU %u)", s->number, s->ourMagic,
           s->peerMagic, s->peerMru);
    if (s->opt->echoIntervalS)
        s->echoAt = GW_Now() + 1000ull * s->opt->echoIntervalS;
    GW_AuthStart(s);
}

static void LcpDown(GW_Session *s)
{
    GW_Log("#%u LCP: down", s->number);
    if (s->phase != GW_PHASE_TERMINATE)
        s->phase = GW_PHASE_ESTABLISH;
    s->echoAt = 0;
    FsmReset(&s->ipcp);
    FsmReset(&s->vsp);
    s->vspDone = 0;
    s->linkUp = 0;
}

static void LcpFinished(GW_Session *s)
{
    GW_Log("#%u LCP: finished", s->number);
    if (s->phase == GW_PHASE_TERMINATE)
        GW_Close(s, "LCP terminated by the gateway");
    else
        s->hangupAt = GW_Now() + RESTART_MS;   // give the client a restart time to leave first
}

static int LcpOther(GW_Session *s, uint8_t code, uint8_t id, const uint8_t *d, size_t n)
{
    switch (code) {
    case PROTO_REJ:
        if (n >= 2)
            GW_Log("#%u LCP: peer rejected protocol 0x%04x", s->number, (d[0] << 8) | d[1]);
        return 1;
    case ECHO_REQ: {
        if (s->lcp.state != GW_FSM_OPENED)
            return 1;
        uint8_t r[1500];
        size_t rest = n > 4 ? n - 4 : 0;
        if (rest > sizeof r - 4)
            rest = sizeof r - 4;
        if (n >= 4 && Get32(d) != s->peerMagic)
            GW_Log("#%u LCP: Echo-Request carries magic 0x%08x, not the peer's 0x%08x", s->number,
                   Get32(d), s->peerMagic);
        Put32(r, s->ourMagic);
        memcpy(r + 4, d + 4, rest);
        GW_FsmSend(s, &s->lcp, ECHO_REP, id, r, 4 + rest);
        return 1;
    }
    case ECHO_REP:
        if (n >= 4 && Get32(d) != s->peerMagic)
            GW_Log("#%u LCP: Echo-Reply carries magic 0x%08x, not the peer's 0x%08x", s->number, Get32(d),
                   s->peerMagic);
        return 1;
    case DISCARD_REQ:
    case 12:   // Identification
    case 13:   // Time-Remaining
        return 1;
    default:
        return 0;
    }
}

static const GW_FsmOps kLcpOps = {LcpBuild, LcpJudge, LcpNak, LcpReject, LcpUp, LcpDown, LcpFinished, LcpOther};

// ---- IPCP ----

static size_t IpcpBuild(GW_Session *s, uint8_t *o, size_t)
{
    if (s->ipcpOmitAddr)
        return 0;
    o[0] = 3;
    o[1] = 6;
    memcpy(o + 2, &s->opt->localIp, 4);
    return 6;
}

static int IpcpJudge(GW_Session *s, const uint8_t *p, size_t n, uint8_t *reply, size_t *rn)
{
    const GW_Options *c = s->opt;
    if (!OptionsValid(p, n)) {
        GW_Log("#%u IPCP: malformed Configure-Request dropped", s->number);
        return -1;
    }
    uint8_t nak[1500], rej[1500];
    size_t nn = 0, rj = 0;
    for (size_t at = 0; at < n; at += p[at + 1]) {
        const uint8_t *o = p + at;
        uint8_t t = o[0], l = o[1];
        const uint32_t *want = nullptr;
        if (t == 3) want = &c->clientIp;
        else if (t == 129) want = &c->dns1;
        else if (t == 131) want = &c->dns2;
        else if (t == 130) want = &c->nbns1;
        else if (t == 132) want = &c->nbns2;
        if (!want || l != 6 || *want == 0) {
            memcpy(rej + rj, o, l);
            rj += l;
            continue;
        }
        if (memcmp(o + 2, want, 4) != 0) {
            nak[nn++] = t;
            nak[nn++] = 6;
            memcpy(nak + nn, want, 4);
            nn += 4;
        }
    }
    if (rj) {
        memcpy(reply, rej, rj);
        *rn = rj;
        return CONF_REJ;
    }
    if (nn) {
        memcpy(reply, nak, nn);
        *rn = nn;
        return CONF_NAK;
    }
    return CONF_ACK;
}

static void IpcpNak(GW_Session *s, const uint8_t *, size_t)
{
    GW_Log("#%u IPCP: peer Nak'ed our address %s; we keep it", s->number, Ip(s->opt->localIp));
}

static void IpcpReject(GW_Session *s, const uint8_t *p, size_t n)
{
    if (OptionsValid(p, n))
        for (size_t at = 0; at < n; at += p[at + 1])
            if (p[at] == 3)
                s->ipcpOmitAddr = 1;
}

static void CheckLinkUp(GW_Session *s)
{
    if (s->linkUp || s->ipcp.state != GW_FSM_OPENED || !s->vspDone)
        return;
    s->linkUp = 1;
    s->everUp = 1;
    GW_Log("#%u link up: client %s, gateway %s", s->number, Ip(s->opt->clientIp), Ip(s->opt->localIp));
    if (s->faulty && s->opt->closeAfterUp)
        s->closeAt = GW_Now() + s->opt->closeAfterUpMs;
}

static void IpcpUp(GW_Session *s)
{
    GW_Log("#%u IPCP: up", s->number);
    CheckLinkUp(s);
}

static void IpcpDown(GW_Session *s)
{
    GW_Log("#%u IPCP: down", s->number);
    s->linkUp = 0;
}

static void IpcpFinished(GW_Session *s)
{
    GW_Log("#%u IPCP: finished", s->number);
}

static const GW_FsmOps kIpcpOps = {IpcpBuild, IpcpJudge, IpcpNak, IpcpReject, IpcpUp, IpcpDown, IpcpFinished,
                                   nullptr};

// ---- vendor protocol ----

static size_t VspBuild(GW_Session *s, uint8_t *o, size_t cap)
{
    Put32(o, s->ourMagic);
    memcpy(o + 4, kOui, 4);
    size_t n = 8;
    for (uint32_t i = 0; i < s->opt->vspCount; i++) {
        const GW_VspOption *v = &s->opt->vspOptions[i];
        if (v->index < 32 && (s->vspOmit & (1u << v->index)))
            continue;
        size_t l = strlen(v->value);
        if (n + 4 + l > cap)
            break;
        o[n] = v->index;
        o[n + 1] = v->type;
        Put16(o + n + 2, (uint32_t)l);
        memcpy(o + n + 4, v->value, l);
        n += 4 + l;
    }
    return n;
}

static int VspHeaderOk(const uint8_t *p, size_t n, uint32_t magic)
{
    return n >= 8 && Get32(p) == magic && memcmp(p + 4, kOui, 4) == 0;
}

static int VspJudge(GW_Session *s, const uint8_t *p, size_t n, uint8_t *, size_t *)
{
    if (!VspHeaderOk(p, n, s->peerMagic)) {
        GW_Log("#%u VSP: Configure-Request without the client's magic and identifier: dropped", s->number);
        return -1;
    }
    for (size_t at = 8; at + 4 <= n;) {
        size_t l = ((size_t)p[at + 2] << 8) | p[at + 3];
        GW_Log("#%u VSP: client offers index %u type %u length %zu", s->number, p[at], p[at + 1], l);
        at += 4 + l;
    }
    return CONF_ACK;
}

static void VspRefused(GW_Session *s, const uint8_t *p, size_t n, const char *what)
{
    if (!VspHeaderOk(p, n, s->peerMagic)) {
        GW_Log("#%u VSP: %s without the client's magic and identifier", s->number, what);
        return;
    }
    for (size_t i = 8; i < n; i++) {
        GW_Log("#%u VSP: client %s option index %u", s->number, what, p[i]);
        if (p[i] < 32)
            s->vspOmit |= 1u << p[i];
    }
}

static void VspNak(GW_Session *s, const uint8_t *p, size_t n) { VspRefused(s, p, n, "Nak'ed"); }
static void VspReject(GW_Session *s, const uint8_t *p, size_t n) { VspRefused(s, p, n, "rejected"); }

static void VspUp(GW_Session *s)
{
    GW_Log("#%u VSP: up", s->number);
    s->vspDone = 1;
    CheckLinkUp(s);
}

static void VspDown(GW_Session *s)
{
    GW_Log("#%u VSP: down", s->number);
}

static void VspFinished(GW_Session *s)
{
    GW_Log("#%u VSP: finished", s->number);
}

static const GW_FsmOps kVspOps = {VspBuild, VspJudge, VspNak, VspReject, VspUp, VspDown, VspFinished, nullptr};

// ---- IPv4: ICMP echo to our own address, the rest to the tun link ----

static uint16_t Checksum(const uint8_t *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += ((uint32_t)p[i] << 8) | p[i + 1];
    if (n & 1)
        sum += (uint32_t)p[n - 1] << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

// Only the address we handed out may send through us.
static void ForwardToTun(GW_Session *s, const uint8_t *p, size_t total, uint32_t src)
{
    enum { DROPS_LOGGED = 5 };
    const char *why = nullptr;
    if (src != s->opt->clientIp)
        why = "not from the client's address";
    else if (!GW_TunWrite(p, total))
        why = "the tun link did not take it";
    if (!why) {
        s->ipIn++;
        return;
    }
    uint32_t dst;
    memcpy(&dst, p + 16, 4);
    if (++s->ipDropped <= DROPS_LOGGED)
        GW_Log("#%u IPv4: %s -> %s protocol %u, %zu bytes: %s, dropped", s->number, Ip(src), Ip(dst), p[9], total,
               why);
}

static void IpInput(GW_Session *s, const uint8_t *p, size_t n)
{
    if (n < 20 || (p[0] >> 4) != 4) {
        GW_Log("#%u IPv4: not an IPv4 header, dropped", s->number);
        return;
    }
    size_t hl = (size_t)(p[0] & 15) * 4;
    size_t total = ((size_t)p[2] << 8) | p[3];
    uint32_t src, dst;
    memcpy(&src, p + 12, 4);
    memcpy(&dst, p + 16, 4);
    if (hl < 20 || total < hl || total > n) {
        GW_Log("#%u IPv4: bad lengths, dropped", s->number);
        return;
    }
    int echoToUs = dst == s->opt->localIp && p[9] == 1 && total - hl >= 8 && p[hl] == 8;
    if (!echoToUs && s->opt->tunFd >= 0) {
        ForwardToTun(s, p, total, src);
        return;
    }
    if (!echoToUs) {
        GW_Log("#%u IPv4: %s -> %s protocol %u, %zu bytes: not for us, dropped", s->number, Ip(src), Ip(dst),
               p[9], total);
        return;
    }
    uint8_t r[2048];
    if (total > sizeof r)
        return;
    memcpy(r, p, total);
    memcpy(r + 12, &dst, 4);
    memcpy(r + 16, &src, 4);
    r[8] = 64;
    r[10] = r[11] = 0;
    Put16(r + 10, Checksum(r, hl));
    r[hl] = 0;   // echo reply
    r[hl + 2] = r[hl + 3] = 0;
    Put16(r + hl + 2, Checksum(r + hl, total - hl));
    GW_Log("#%u IPv4: echo request from %s, answering", s->number, Ip(src));
    GW_SendFrame(s, PROTO_IP, r, total);
}

// ---- link ----

static void FsmInit(GW_Fsm *f, const char *name, uint16_t proto, const GW_FsmOps *ops)
{
    memset(f, 0, sizeof *f);
    f->name = name;
    f->proto = proto;
    f->ops = ops;
    RAND_bytes(&f->nextId, 1);
}

void GW_PppStart(GW_Session *s)
{
    FsmInit(&s->lcp, "LCP", PROTO_LCP, &kLcpOps);
    FsmInit(&s->ipcp, "IPCP", PROTO_IPCP, &kIpcpOps);
    FsmInit(&s->vsp, "VSP", PROTO_VSP, &kVspOps);
    s->ourMagic = s->opt->magic ? s->opt->magic : RandomMagic();
    s->peerMru = 1500;
    s->phase = GW_PHASE_ESTABLISH;
    FsmOpen(s, &s->lcp);
}

void GW_PppNetworkPhase(GW_Session *s)
{
    s->phase = GW_PHASE_NETWORK;
    FsmOpen(s, &s->ipcp);
    if (s->faulty && s->opt->vsp != GW_VSP_RUN) {
        GW_Log("#%u VSP: not run (%s)", s->number, s->opt->vsp == GW_VSP_REJECT ? "Protocol-Reject" : "silent");
        s->vspDone = 1;
        return;
    }
    FsmOpen(s, &s->vsp);
}

void GW_PppTerminate(GW_Session *s)
{
    s->phase = GW_PHASE_TERMINATE;
    if (s->lcp.state == GW_FSM_CLOSED || s->lcp.state == GW_FSM_STOPPED) {
        GW_Close(s, "PPP terminated");
        return;
    }
    FsmClose(s, &s->lcp);
}

static void SendProtocolReject(GW_Session *s, uint16_t proto, const uint8_t *p, size_t n)
{
    uint8_t r[1500];
    size_t max = s->peerMru > 6 ? (size_t)s->peerMru - 6 : 0;
    if (n > max)
        n = max;
    if (n > sizeof r - 2)
        n = sizeof r - 2;
    Put16(r, proto);
    memcpy(r + 2, p, n);
    GW_Log("#%u LCP: sending Protocol-Reject of 0x%04x", s->number, proto);
    GW_FsmSend(s, &s->lcp, PROTO_REJ, s->lcp.nextId++, r, 2 + n);
}

void GW_PppInput(GW_Session *s, const uint8_t *p, size_t n)
{
    if (n >= 2 && p[0] == 0xFF && p[1] == 0x03) {
        GW_Log("#%u the client sent address and control bytes", s->number);
        p += 2;
        n -= 2;
    }
    if (n < 2) {
        GW_Log("#%u frame without a protocol field dropped", s->number);
        return;
    }
    uint16_t proto = (uint16_t)((p[0] << 8) | p[1]);
    p += 2;
    n -= 2;
    if (proto == PROTO_LCP) {
        FsmInput(s, &s->lcp, p, n);
        return;
    }
    if (s->lcp.state != GW_FSM_OPENED) {
        GW_Log("#%u protocol 0x%04x before LCP is open: dropped", s->number, proto);
        return;
    }
    if (proto == PROTO_PAP || proto == PROTO_CHAP) {
        GW_AuthInput(s, proto, p, n);
        return;
    }
    if (proto == PROTO_VSP && s->faulty && s->opt->vsp == GW_VSP_SILENT) {
        GW_Log("#%u VSP: ignored (fault)", s->number);
        return;
    }
    if (proto == PROTO_VSP && s->faulty && s->opt->vsp == GW_VSP_REJECT) {
        SendProtocolReject(s, proto, p, n);
        return;
    }
    if (proto != PROTO_IP && proto != PROTO_IPCP && proto != PROTO_VSP) {
        SendProtocolReject(s, proto, p, n);
        return;
    }
    if (s->phase != GW_PHASE_NETWORK) {
        GW_Log("#%u protocol 0x%04x before authentication finished: dropped", s->number, proto);
        return;
    }
    if (proto == PROTO_IPCP)
        FsmInput(s, &s->ipcp, p, n);
    else if (proto == PROTO_VSP)
        FsmInput(s, &s->vsp, p, n);
    else if (s->ipcp.state == GW_FSM_OPENED)
        IpInput(s, p, n);
    else
        GW_Log("#%u IPv4 before IPCP is open: dropped", s->number);
}

void GW_PppTick(GW_Session *s, uint64_t now)
{
    GW_Fsm *all[3] = {&s->lcp, &s->ipcp, &s->vsp};
    for (GW_Fsm *f : all)
        if (!s->dead && f->deadline && now >= f->deadline)
            FsmTimeout(s, f);
    if (!s->dead)
        GW_AuthTick(s, now);
    if (!s->dead && s->echoAt && now >= s->echoAt && s->lcp.state == GW_FSM_OPENED) {
        uint8_t m[4];
        Put32(m, s->ourMagic);
        GW_FsmSend(s, &s->lcp, ECHO_REQ, s->echoId++, m, 4);
        s->echoAt = now + 1000ull * s->opt->echoIntervalS;
    }
    if (!s->dead && s->hangupAt && now >= s->hangupAt) {
        s->hangupAt = 0;
        GW_Close(s, "LCP ended and the client stayed connected");
    }
    if (!s->dead && s->closeAt && now >= s->closeAt) {
        s->closeAt = 0;
        GW_Log("#%u closing %u ms after the link came up (fault)", s->number, s->opt->closeAfterUpMs);
        if (s->opt->closeMode == GW_CLOSE_LCP)
            GW_PppTerminate(s);
        else
            GW_Close(s, "closed after the link came up (fault)");
    }
}
