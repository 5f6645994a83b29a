// LCP over the automaton record at the head of PPP_Context.
#include "lcp.h"

#include <string.h>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "ppp.h"
#include "timer.h"

#define LCP_TRACE(level, ...) GUI_Trace("PPP", (level), __VA_ARGS__)

// One pair of answer lists for every context: one connection thread runs
// one PPP context at a time.
static uint8_t sRejectBuffer[FSM_LIST_CAPACITY];
static uint8_t sNakBuffer[FSM_LIST_CAPACITY];

static PPP_Context *ContextOf(FSM *record)
{
    return reinterpret_cast<PPP_Context *>(record);
}

void LCP_Init(PPP_Context *ctx)
{
    FSM *f = &ctx->lcp;
    memset(f, 0, sizeof(*f));
    f->restartTime = ctx->config.restartTime;
    f->maxConfigure = ctx->config.maxConfigure;
    f->maxTerminate = ctx->config.maxTerminate;
    f->backoff = ctx->config.backoff;
    FSM_Handlers &h = f->handlers;
    h.configureRequest = LCP_Recv_ConfigureRequest;
    h.configureAck = LCP_Recv_ConfigureAck;
    h.configureNak = LCP_Recv_ConfigureNak;
    h.configureReject = LCP_Recv_ConfigureReject;
    h.codeReject = FSM_NullHandler;
    h.buildRequest = LCP_BuildConfigureRequest;
    h.send = LCP_Send;
    h.sendArgument = ctx;
    h.protocolReject = LCP_Recv_ProtocolReject;
    h.echoRequest = LCP_Recv_EchoRequest;
    h.echoReply = LCP_Recv_EchoReply;
    h.discardRequest = FSM_NullHandler;
    h.thisLayerUp = LCP_ThisLayerUp;
    h.thisLayerDown = LCP_ThisLayerDown;
    h.thisLayerStarted = LCP_ThisLayerStarted;
    h.thisLayerFinished = LCP_ThisLayerFinished;
    h.lowerLayerUp = LCP_LowerLayerUp;
    h.lowerLayerDown = LCP_LowerLayerDown;
    FSM_Init(f);
}

void LCP_Input(const uint8_t *packet, uint32_t count, PPP_Context *ctx)
{
    LCP_TRACE(10, "LCP_Input()\n");
    // Same header checks and code table as the other protocols; Reset codes
    // find no LCP hooks and so draw a Code-Reject.
    FSM_Input(packet, count, &ctx->lcp);
}

void LCP_Close(PPP_Context *ctx)
{
    LCP_TRACE(10, "LCP_Close()\n");
    FSM_Close(&ctx->lcp);
}

void LCP_LowerLayerUp(FSM *record)
{
    LCP_TRACE(10, "LCP_ThisLayerUp\n");
    FSM_Up(record);
}

void LCP_LowerLayerDown(FSM *record)
{
    LCP_TRACE(10, "LCP_LowerLayerDown\n");
    FSM_Down(record);
}

void LCP_Send(PKT_Buffer *packet, void *context)
{
    PPP_Context *ctx = static_cast<PPP_Context *>(context);
    uint8_t *p = PKT_Prepend(packet, PKT_Data(packet), 2);
    if (!p || !ctx->config.output) {
        PKT_Free(packet);
        return;
    }
    PPP_Put16(p, LCP_PROTOCOL);
    ctx->config.output(packet, ctx->config.user);
}

void LCP_SendProtocolReject(const uint8_t *information, uint32_t count, uint16_t protocol,
                            PPP_Context *ctx)
{
    LCP_TRACE(7, "%s: Received unknown protocol 0x%04x. Sending Protocol-Reject\n", ctx->lcp.name,
              (unsigned)protocol);
    PKT_Buffer *b = PKT_Alloc(nullptr);
    if (!b)
        return;
    PKT_Reset(b);
    PKT_Verify(b);
    if (count > ctx->peerMRU)
        count = ctx->peerMRU;
    if (!PKT_Reserve(b, count + 8) || !ctx->config.output) {
        PKT_Free(b);
        return;
    }
    uint8_t *p = b->start;
    PPP_Put16(p, LCP_PROTOCOL);
    p[2] = FSM_CODE_PROTOCOL_REJECT;
    p[3] = ctx->lcp.nextId++;
    PPP_Put16(p + 4, (uint16_t)(count + 6));
    PPP_Put16(p + 6, protocol);
    if (count)
        memcpy(p + 8, information, count);
    b->length = (uint16_t)(count + 8);
    ctx->config.output(b, ctx->config.user);
}

// ---- our Configure-Request ----

static int AppendOption(PPP_OptionList *list, const uint8_t *option)
{
    return PPP_OptionListAppend(option[1], list, option);
}

int LCP_BuildConfigureRequest(PPP_OptionList *options, FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    const char *name = record->name;
    LCP_TRACE(7, "%s: Send Configure request\n", name);

    if (ctx->ourMRU == 1500 || (ctx->peerRejected & (1u << LCP_OPT_MRU))) {
        ctx->ourMRU = 1500;
        LCP_TRACE(7, "%s: Requesting default MRU 1500 (not sending option)\n", name);
    } else {
        uint8_t opt[4] = {LCP_OPT_MRU, 4, 0, 0};
        PPP_Put16(opt + 2, ctx->ourMRU);
        LCP_TRACE(7, "%s: Requesting MRU %u\n", name, (unsigned)ctx->ourMRU);
        if (!AppendOption(options, opt))
            return FSM_NOT_OK;
    }

    uint32_t demand = ctx->config.demand;
    if (ctx->peerRejected & (1u << LCP_OPT_AUTH)) {
        if (!(demand & PPP_AUTH_NONE)) {
            LCP_TRACE(3, "%s: Peer does'n want to authenticate at all while we demand "
                         "authentication, terminating LCP\n", name);
            PPP_ReportTermination(PPP_TERM_PEER_REFUSES_AUTH);
            return FSM_TERMINATE;
        }
    } else {
        static const struct {
            uint32_t bit;
            uint16_t protocol;
            uint8_t algorithm;
            const char *line;
        } kMethods[] = {
            {PPP_AUTH_MSCHAP2, PPP_PROTO_CHAP, PPP_CHAP_MSCHAP2, "%s: Requesting auth MSCHAPv2\n"},
            {PPP_AUTH_MSCHAP1, PPP_PROTO_CHAP, PPP_CHAP_MSCHAP1, "%s: Requesting auth MSCHAPv1\n"},
            {PPP_AUTH_CHAP_MD5, PPP_PROTO_CHAP, PPP_CHAP_MD5, "%s: Requesting auth CHAP\n"},
            {PPP_AUTH_PAP, PPP_PROTO_PAP, 0, "%s: Requesting auth PAP\n"},
            {PPP_AUTH_NONE, 0, 0, "%s: Requesting no authentication (not sending option)\n"},
        };
        int chosen = -1;
        for (int i = 0; i < 5 && chosen < 0; i++)
            if ((demand & kMethods[i].bit) && !(ctx->ourNaked & kMethods[i].bit))
                chosen = i;
        if (chosen < 0) {
            LCP_TRACE(3, "%s: Failed to agree on authentication protocol, terminating LCP\n", name);
            PPP_ReportTermination(PPP_TERM_AUTH_PROTOCOL);
            return FSM_TERMINATE;
        }
        LCP_TRACE(7, kMethods[chosen].line, name);
        ctx->authRequested = kMethods[chosen].bit;
        ctx->ourAuthProtocol = kMethods[chosen].protocol;
        if (kMethods[chosen].protocol == PPP_PROTO_CHAP) {
            ctx->ourAuthAlgorithm = kMethods[chosen].algorithm;
            uint8_t opt[5] = {LCP_OPT_AUTH, 5, 0xC2, 0x23, kMethods[chosen].algorithm};
            if (!AppendOption(options, opt))
                return FSM_NOT_OK;
        } else if (kMethods[chosen].protocol == PPP_PROTO_PAP) {
            uint8_t opt[4] = {LCP_OPT_AUTH, 4, 0xC0, 0x23};
            if (!AppendOption(options, opt))
                return FSM_NOT_OK;
        }
    }

    if (ctx->peerRejected & (1u << LCP_OPT_MAGIC)) {
        ctx->ourMagic = 0;
    } else {
        uint32_t magic = 0;
        while (magic == 0) {
            uint8_t r[4];
            if (!PPP_Random(r, sizeof(r)))
                return FSM_NOT_OK;  // no predictable fallback: try again at the next resend
            magic = PPP_Get32(r);
        }
        ctx->ourMagic = magic;
        uint8_t opt[6] = {LCP_OPT_MAGIC, 6};
        PPP_Put32(opt + 2, magic);
        if (!AppendOption(options, opt))
            return FSM_NOT_OK;
        LCP_TRACE(7, "%s: Requesting magic number 0x%08x\n", name, (unsigned)magic);
    }
    return FSM_OK;
}

// ---- the peer's Configure-Request ----

static uint32_t HashBytes(const uint8_t *p, uint32_t n)
{
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

namespace {

// State of one Configure-Request check.
struct RequestCheck {
    PPP_Context *ctx;
    PPP_OptionList *reject;
    PPP_OptionList *nak;
    uint32_t rejectedBefore;     // options rejected in earlier requests
    int retransmission;          // the peer resent a request we refused: answer, do not count
    uint32_t reason;             // why the check gave up (FSM_TERMINATE), reported by the caller
    uint16_t peerAuthProtocol;   // what this request asks of us, once acknowledged
    uint8_t peerAuthAlgorithm;
};

struct Suggestion {
    uint32_t bit;
    uint8_t option[5];
    const char *word;
};

const Suggestion kSuggestions[] = {
    {PPP_AUTH_MSCHAP2, {LCP_OPT_AUTH, 5, 0xC2, 0x23, PPP_CHAP_MSCHAP2}, "MSCHAPv2"},
    {PPP_AUTH_MSCHAP1, {LCP_OPT_AUTH, 5, 0xC2, 0x23, PPP_CHAP_MSCHAP1}, "MSCHAPv1"},
    {PPP_AUTH_CHAP_MD5, {LCP_OPT_AUTH, 5, 0xC2, 0x23, PPP_CHAP_MD5}, "CHAP"},
    {PPP_AUTH_PAP, {LCP_OPT_AUTH, 4, 0xC0, 0x23, 0}, "PAP"},
};

} // namespace

static const Suggestion *BestMethod(uint32_t perform)
{
    for (const Suggestion &s : kSuggestions)
        if (perform & s.bit)
            return &s;
    return nullptr;
}

static int RejectOption(RequestCheck *rc, const uint8_t *opt)
{
    uint32_t bit = 1u << (opt[0] % 32);
    if ((rc->rejectedBefore & bit) && !rc->retransmission) {
        LCP_TRACE(7, "%s: We've already rejected this option once, terminating LCP\n",
                  rc->ctx->lcp.name);
        rc->reason = PPP_TERM_LCP_STALLED;
        return FSM_TERMINATE;
    }
    rc->ctx->weRejected |= bit;
    return AppendOption(rc->reject, opt) ? FSM_OK : FSM_DROP;
}

static int CheckAuthOption(RequestCheck *rc, const uint8_t *opt)
{
    PPP_Context *ctx = rc->ctx;
    const char *name = ctx->lcp.name;
    if (opt[1] < 4)
        return FSM_DROP;
    uint16_t protocol = PPP_Get16(opt + 2);
    if ((protocol == PPP_PROTO_PAP && opt[1] != 4) || (protocol == PPP_PROTO_CHAP && opt[1] != 5))
        return FSM_DROP;

    uint32_t asked = 0;
    const char *word = nullptr;
    uint8_t algorithm = 0;
    if (protocol == PPP_PROTO_PAP) {
        asked = PPP_AUTH_PAP;
        word = "PAP";
    } else if (protocol == PPP_PROTO_CHAP) {
        algorithm = opt[4];
        switch (algorithm) {
        case PPP_CHAP_MD5: asked = PPP_AUTH_CHAP_MD5; word = "CHAP"; break;
        case PPP_CHAP_MSCHAP2: asked = PPP_AUTH_MSCHAP2; word = "MSCHAPv2"; break;
        case PPP_CHAP_MSCHAP1: asked = PPP_AUTH_MSCHAP1; word = "MSCHAPv1"; break;
        default:
            LCP_TRACE(2, "%s: Received unknown CHAP alg 0x%02x, nak'ing\n", name,
                      (unsigned)algorithm);
            break;
        }
    }
    uint32_t perform = ctx->config.perform;
    if (asked && (perform & asked)) {
        LCP_TRACE(7, "%s: Received auth %s, acking\n", name, word);
        rc->peerAuthProtocol = protocol;
        rc->peerAuthAlgorithm = algorithm;
        return FSM_OK;
    }
    if (word)
        LCP_TRACE(7, "%s: Received auth %s, nak'ing\n", name, word);

    const Suggestion *s = BestMethod(perform);
    if (!s) {
        LCP_TRACE(7, "%s: Suggesting no authentication instead (rejecting option)\n", name);
        return RejectOption(rc, opt);
    }
    LCP_TRACE(7, "%s: Suggesting %s instead\n", name, s->word);
    if ((ctx->peerNaked & asked) && !rc->retransmission) {
        LCP_TRACE(7, "%s: We've already nak'ed this auth protocol once, terminating LCP", name);
        rc->reason = PPP_TERM_AUTH_PROTOCOL;
        return FSM_TERMINATE;
    }
    ctx->peerNaked |= asked;
    return AppendOption(rc->nak, s->option) ? FSM_OK : FSM_DROP;
}

static int CheckOption(RequestCheck *rc, const uint8_t *opt, int *sawAuth)
{
    PPP_Context *ctx = rc->ctx;
    const char *name = ctx->lcp.name;
    switch (opt[0]) {
    case LCP_OPT_MRU: {
        if (opt[1] != 4)
            return FSM_DROP;
        uint16_t mru = PPP_Get16(opt + 2);
        if (mru < LCP_MIN_MRU) {
            // Never taken: the peer MRU stays as it was and the peer is
            // asked for the MRU we use ourselves.
            uint8_t suggestion[4] = {LCP_OPT_MRU, 4, 0, 0};
            PPP_Put16(suggestion + 2, ctx->ourMRU);
            LCP_TRACE(7, "%s: Received MRU %u, too small, nak'ing with %u\n", name, (unsigned)mru,
                      (unsigned)ctx->ourMRU);
            return AppendOption(rc->nak, suggestion) ? FSM_OK : FSM_DROP;
        }
        ctx->peerMRU = mru;
        ctx->lcp.peerMRU = mru;
        LCP_TRACE(7, "%s: Received MRU %u", name, (unsigned)mru);
        return FSM_OK;
    }
    case LCP_OPT_AUTH:
        *sawAuth = 1;
        return CheckAuthOption(rc, opt);
    case LCP_OPT_QUALITY:
        LCP_TRACE(7, "%s: Received option 'quality protocol', rejecting (unsupported)\n", name);
        return RejectOption(rc, opt);
    case LCP_OPT_MAGIC: {
        if (opt[1] != 6)
            return FSM_DROP;
        uint32_t magic = PPP_Get32(opt + 2);
        if (magic == ctx->ourMagic)
            return FSM_DROP;
        ctx->peerMagic = magic;
        LCP_TRACE(7, "%s: Received magic number 0x%08x\n", name, (unsigned)magic);
        return FSM_OK;
    }
    case LCP_OPT_PFC:
        LCP_TRACE(7, "%s: Received option 'Protocol field compression', rejecting (unsupported)\n",
                  name);
        return RejectOption(rc, opt);
    case LCP_OPT_ACFC:
        LCP_TRACE(7, "%s: Received option 'Address and Control Field compression', rejecting "
                     "(unsupported)\n", name);
        return RejectOption(rc, opt);
    default:
        LCP_TRACE(7, "%s: Received unknown option %u, rejecting\n", name, (unsigned)opt[0]);
        return RejectOption(rc, opt);
    }
}

static int JudgeRequest(RequestCheck *rc, const uint8_t *packet, uint32_t length)
{
    PPP_Context *ctx = rc->ctx;
    int sawAuth = 0;
    const uint8_t *p = packet + 4;
    uint32_t left = length - 4;
    while (left > 0) {
        if (left < 2 || p[1] < 2 || p[1] > left)
            return FSM_DROP;
        int r = CheckOption(rc, p, &sawAuth);
        if (r != FSM_OK)
            return r;
        left -= p[1];
        p += p[1];
    }

    if (rc->reject->used > 0) {
        ctx->peerNaked = 0;  // the Nak built alongside is not sent
        return FSM_NOT_OK;
    }
    uint32_t perform = ctx->config.perform;
    if (!sawAuth && !(perform & PPP_AUTH_NONE)) {
        if ((ctx->peerNaked & PPP_AUTH_NONE) && !rc->retransmission) {
            LCP_TRACE(7, "%s: We've already nak'ed a request without auth protocol once, "
                         "terminating LCP", ctx->lcp.name);
            rc->reason = PPP_TERM_PEER_REFUSES_AUTH;
            return FSM_TERMINATE;
        }
        ctx->peerNaked |= PPP_AUTH_NONE;
        const Suggestion *s = BestMethod(perform);
        if (!s)
            return FSM_DROP;
        LCP_TRACE(7, "%s: Peer didn't send auth protocol option (no authentication), Nak'ing "
                     "suggesting %s instead\n", ctx->lcp.name, s->word);
        return AppendOption(rc->nak, s->option) ? FSM_NOT_OK : FSM_DROP;
    }
    return rc->nak->used > 0 ? FSM_NOT_OK : FSM_OK;
}

int LCP_Recv_ConfigureRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *rejectList,
                              PPP_OptionList *nakList, FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    LCP_TRACE(7, "%s: Received Configure-Request\n", record->name);
    *rejectList = {sRejectBuffer, 0, sizeof(sRejectBuffer)};
    *nakList = {sNakBuffer, 0, sizeof(sNakBuffer)};
    if (length < 4)
        return FSM_DROP;

    uint32_t hash = HashBytes(packet, length);
    RequestCheck rc = {};
    rc.ctx = ctx;
    rc.reject = rejectList;
    rc.nak = nakList;
    rc.rejectedBefore = ctx->weRejected;
    rc.retransmission = ctx->lastRefusedValid && ctx->lastRefusedId == packet[1] &&
                        ctx->lastRefusedLength == length && ctx->lastRefusedHash == hash;

    int r = JudgeRequest(&rc, packet, length);
    // A layer that is not negotiating ignores the give-up (the automaton
    // sends nothing), so the reason would report an end that did not happen.
    if (r == FSM_TERMINATE && FSM_LayerRunning(record))
        PPP_ReportTermination(rc.reason);
    if (r == FSM_OK || r == FSM_NOT_OK) {
        // What the peer demands is what this request asks for; a request
        // without the option demands nothing.
        ctx->peerAuthProtocol = rc.peerAuthProtocol;
        ctx->peerAuthAlgorithm = rc.peerAuthAlgorithm;
        ctx->lastRefusedValid = r == FSM_NOT_OK;
        ctx->lastRefusedId = packet[1];
        ctx->lastRefusedLength = (uint16_t)length;
        ctx->lastRefusedHash = hash;
    }
    return r;
}

// ---- answers to our request ----

int LCP_Recv_ConfigureAck(const uint8_t *, uint32_t, FSM *record)
{
    LCP_TRACE(7, "%s Received Configure-Ack\n", record->name);
    return FSM_OK;
}

int LCP_Recv_ConfigureNak(const uint8_t *packet, uint32_t length, FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    LCP_TRACE(7, "%s Received Configure-Nak\n", record->name);
    return FSM_WalkOptions(packet, length, [ctx](const uint8_t *opt) {
        switch (opt[0]) {
        case LCP_OPT_MRU: {
            if (opt[1] != 4)
                return false;
            // A suggestion below the minimum is not followed: the next
            // request leaves the option out and the default 1500 holds.
            uint16_t mru = PPP_Get16(opt + 2);
            ctx->ourMRU = mru < LCP_MIN_MRU ? (uint16_t)FSM_DEFAULT_MRU : mru;
            ctx->lcp.ourMRU = ctx->ourMRU;
            return true;
        }
        case LCP_OPT_AUTH:
            if (opt[1] < 4)
                return false;
            // A hint for an option we did not send (RFC 1661 section 5.3):
            // the client asks nothing of the gateway, so there is nothing to
            // move on from, and counting it would end LCP.
            if (ctx->ourAuthProtocol == 0) {
                LCP_TRACE(7, "%s: Ignoring authentication hint in Configure-Nak\n",
                          ctx->lcp.name);
                return true;
            }
            ctx->ourNaked |= ctx->authRequested;
            return true;
        case LCP_OPT_QUALITY:
        case LCP_OPT_MAGIC:
        case LCP_OPT_PFC:
        case LCP_OPT_ACFC:
            return true;
        default:
            return false;
        }
    });
}

int LCP_Recv_ConfigureReject(const uint8_t *packet, uint32_t length, FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    LCP_TRACE(7, "%s: Received Configure-Reject\n", record->name);
    return FSM_WalkOptions(packet, length, [ctx](const uint8_t *opt) {
        switch (opt[0]) {
        case LCP_OPT_AUTH:
            ctx->ourAuthProtocol = 0;
            ctx->ourAuthAlgorithm = 0;
            // fall through
        case LCP_OPT_MRU:
        case LCP_OPT_QUALITY:
        case LCP_OPT_MAGIC:
        case LCP_OPT_PFC:
        case LCP_OPT_ACFC:
            ctx->peerRejected |= 1u << opt[0];
            return true;
        default:
            return false;
        }
    });
}

int LCP_Recv_ProtocolReject(const uint8_t *packet, uint32_t length, FSM **target)
{
    PPP_Context *ctx = ContextOf(*target);
    LCP_TRACE(7, "%s: Received Protocol-Reject\n", ctx->lcp.name);
    if (length < 10)
        return FSM_DROP;
    // The rejected packet starts at byte 6; its own length must lie inside.
    uint32_t rejectedLength = PPP_Get16(packet + 8);
    if (rejectedLength > length - 6)
        return FSM_DROP;
    uint16_t protocol = PPP_Get16(packet + 4);
    FSM *rejected = nullptr;
    switch (protocol) {
    case PPP_PROTO_IPCP:
        if (!ctx->ipcp)
            return FSM_OK;
        rejected = &ctx->ipcp->fsm;
        break;
    case PPP_PROTO_VSP:
        if (!ctx->vsp)
            return FSM_OK;
        rejected = &ctx->vsp->fsm;
        break;
    case PPP_PROTO_CCP:
    case PPP_PROTO_MPPE:
        return FSM_OK;
    case PPP_PROTO_LCP:
        return FSM_NOT_OK;
    default:
        LCP_TRACE(7, "%s: Protocol-reject on unknown protocol: %04x\n", ctx->lcp.name,
                  (unsigned)protocol);
        return FSM_DROP;
    }
    *target = rejected;
    if (!rejected->handlers.protocolRejected)
        return FSM_OK;
    return rejected->handlers.protocolRejected(packet + 6, rejectedLength, rejected);
}

// ---- echo ----

int LCP_Recv_EchoRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *reply,
                         FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    LCP_TRACE(7, "%s: Received Echo-Request\n", record->name);
    if (length < 8 || PPP_Get32(packet + 4) != ctx->peerMagic)
        return FSM_DROP;
    ctx->peerAlive = 1;
    uint8_t magic[4];
    PPP_Put32(magic, ctx->ourMagic);
    int fitted = PPP_OptionListAppend(4, reply, magic);
    fitted &= PPP_OptionListAppend(length - 8, reply, packet + 8);
    return fitted ? FSM_OK : FSM_NOT_OK;
}

int LCP_Recv_EchoReply(const uint8_t *, uint32_t, FSM *record)
{
    LCP_TRACE(7, "%s: Received Echo-Reply\n", record->name);
    ContextOf(record)->echoLosses = 0;
    return FSM_OK;
}

static int EchoEnabled(const PPP_Context *ctx)
{
    return ctx->config.echoInterval != 0 && ctx->config.maxLostEchoes != 0;
}

// The echo timer is one-shot and re-armed from its own callback, so a poll
// that comes late fires it once: a loss is counted only when a whole
// interval has passed since the Echo-Request that is still unanswered.
static void ArmEchoTimer(PPP_Context *ctx)
{
    TIMER_Add(ctx->config.echoInterval, 0, 1, LCP_EchoTimer, ctx);
}

static void SendEchoRequest(PPP_Context *ctx)
{
    PKT_Buffer *b = PKT_Alloc(nullptr);
    if (b) {
        PKT_Reset(b);
        PKT_Verify(b);
        if (PKT_Reserve(b, 8)) {
            uint8_t *p = b->start;
            uint8_t id = ctx->lcp.nextId++;
            ctx->lcp.echoId = id;
            p[0] = FSM_CODE_ECHO_REQUEST;
            p[1] = id;
            PPP_Put16(p + 2, 8);
            PPP_Put32(p + 4, ctx->ourMagic);
            b->length = 8;
            LCP_Send(b, ctx);
            return;
        }
        PKT_Free(b);
    }
    LCP_TRACE(7, "%s: Failed to send Echo-Request!", ctx->lcp.name);
}

void LCP_EchoTimer(void *context)
{
    PPP_Context *ctx = static_cast<PPP_Context *>(context);
    if (ctx->config.skipEchoOnTraffic && ctx->peerAlive) {
        ctx->peerAlive = 0;
        ctx->echoLosses = 0;
        ArmEchoTimer(ctx);
        return;
    }
    if (ctx->echoLosses >= ctx->config.maxLostEchoes) {
        LCP_TRACE(5, "%s: Too many unanswered Echo-requests (Consecutive losses: %lu). Closing down!",
                  ctx->lcp.name, (unsigned long)ctx->echoLosses);
        TIMER_Cancel(LCP_EchoTimer, ctx);
        LCP_Close(ctx);
        return;
    }
    LCP_TRACE(7, "%s: Sending Echo-Request with myMagic=0x%x (Consecutive losses: %lu)",
              ctx->lcp.name, (unsigned)ctx->ourMagic, (unsigned long)ctx->echoLosses);
    ctx->echoLosses++;
    SendEchoRequest(ctx);
    ArmEchoTimer(ctx);
}

// ---- layer actions ----

void LCP_ThisLayerUp(FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    LCP_TRACE(10, "LCP_ThisLayerUp\n");
    ctx->weRejected = 0;
    ctx->peerRejected = 0;
    ctx->peerNaked = 0;
    ctx->ourNaked = 0;
    ctx->lastRefusedValid = 0;
    // Armed before authentication starts: should that close LCP at once,
    // This-Layer-Down cancels the timer again.
    TIMER_Cancel(LCP_EchoTimer, ctx);
    if (EchoEnabled(ctx))
        ArmEchoTimer(ctx);
    PPP_StartAuth(ctx);
}

void LCP_ThisLayerDown(FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    LCP_TRACE(10, "LCP_ThisLayerDown\n");
    TIMER_Cancel(LCP_EchoTimer, ctx);
    PPP_LinkDown(ctx);
}

void LCP_ThisLayerStarted(FSM *record)
{
    PPP_LinkStarted(ContextOf(record));
}

void LCP_ThisLayerFinished(FSM *record)
{
    PPP_Context *ctx = ContextOf(record);
    TIMER_Cancel(LCP_EchoTimer, ctx);
    PPP_LinkFinished(ctx);
}
