// The PPP link: phases, frame demultiplexing, encapsulation, the start and
// the outcome of authentication, and closing.
#include "ppp.h"

#include <stddef.h>
#include <string.h>

#include <atomic>

#include <openssl/rand.h>

#include "chap.h"
#include "gui_log.h"
#include "pap.h"
#include "pkt_buffer.h"
#include "timer.h"

#define PPP_TRACE(level, ...) GUI_Trace("PPP", (level), __VA_ARGS__)

// ---- randomness ----

static int SystemRandom(void *out, uint32_t count)
{
    return RAND_bytes(static_cast<unsigned char *>(out), (int)count) == 1;
}

static PPP_RandomSource sRandom = SystemRandom;

int PPP_Random(void *out, uint32_t count)
{
    return sRandom(out, count);
}

void PPP_SetRandomSource(PPP_RandomSource source)
{
    sRandom = source ? source : SystemRandom;
}

// ---- termination reasons ----

const char *PPP_ReasonText(uint32_t reason)
{
    switch (reason) {
    case PPP_TERM_IP_ADDRESS: return "ip_address_required_but_not_received";
    case PPP_TERM_PRIMARY_DNS: return "primary_dns_address_required_but_not_received";
    case PPP_TERM_SECONDARY_DNS: return "seconday_dns_address_required_but_not_received";
    case PPP_TERM_PRIMARY_NBNS: return "primary_nbns_address_required_but_not_received";
    case PPP_TERM_SECONDARY_NBNS: return "seconday_nbns_address_required_but_not_received";
    case PPP_TERM_AUTH_PROTOCOL: return "failed_to_agree_on_authentication_protocol";
    case PPP_TERM_PEER_REFUSES_AUTH: return "peer_refuses_to_use_authentication";
    case PPP_TERM_LCP_STALLED: return "lcp_negotiation_stalled";
    case PPP_TERM_AUTH_FAILED: return "authentication_failed";
    case PPP_TERM_PROMPT_FOR_OTP: return "prompt_for_otp";
    default: return "";
    }
}

static std::atomic<PPP_TerminationSink> sTerminationSink{nullptr};

void PPP_SetTerminationSink(PPP_TerminationSink sink)
{
    sTerminationSink.store(sink);
}

void PPP_ReportTermination(uint32_t reason)
{
    PPP_TerminationSink sink = sTerminationSink.load();
    if (sink)
        sink("PPP", 0, reason, PPP_ReasonText(reason), "ppp_terminated");
}

// ---- set-up and link actions ----

int PPP_Init(PPP_Context *ctx, const PPP_Config *config)
{
    memset(ctx, 0, offsetof(PPP_Context, phase) + sizeof(ctx->phase));
    ctx->config = *config;
    if (ctx->config.mru == 0)
        ctx->config.mru = 1500;
    ctx->config.perform &= PPP_AUTH_ALL;
    if (ctx->config.perform == 0)
        ctx->config.perform = PPP_AUTH_NONE;
    ctx->config.demand = PPP_AUTH_NONE;
    LCP_Init(ctx);
    return 1;
}

int LCP_Open(PPP_Context *ctx)
{
    PPP_TRACE(10, "LCP_Open()\n");
    ctx->weRejected = 0;
    ctx->peerRejected = 0;
    ctx->authRequested = 0;
    ctx->peerNaked = 0;
    ctx->ourNaked = 0;
    ctx->echoLosses = 0;
    ctx->lastRefusedValid = 0;
    ctx->peerMRU = 1500;
    ctx->ourMRU = ctx->config.mru;
    FSM_Open(&ctx->lcp);
    return 1;
}

static void RaiseEvent(PPP_Context *ctx, uint32_t event)
{
    if (ctx->config.eventCallback)
        ctx->config.eventCallback(event, ctx->config.user);
}

static void LowerLayerHook(FSM *record, int up)
{
    FSM_LayerAction hook = up ? record->handlers.lowerLayerUp : record->handlers.lowerLayerDown;
    if (hook)
        hook(record);
}

void PPP_LowerLayerUp(PPP_Context *ctx)
{
    if (ctx->phase != PPP_PHASE_DEAD)
        return;
    ctx->phase = PPP_PHASE_ESTABLISH;
    LowerLayerHook(&ctx->lcp, 1);
}

void PPP_LowerLayerDown(PPP_Context *ctx)
{
    PAP_Stop(ctx);
    CHAP_Stop(ctx);
    LowerLayerHook(&ctx->lcp, 0);
}

void PPP_LinkStarted(PPP_Context *ctx)
{
    RaiseEvent(ctx, PPP_EVENT_STARTED);
}

void PPP_LinkFinished(PPP_Context *ctx)
{
    RaiseEvent(ctx, PPP_EVENT_FINISHED);
}

void PPP_LinkDown(PPP_Context *ctx)
{
    PPP_TRACE(10, "PPP down\n");
    ctx->phase = PPP_PHASE_DEAD;
    PAP_Stop(ctx);
    CHAP_Stop(ctx);
    if (ctx->ipcp)
        LowerLayerHook(&ctx->ipcp->fsm, 0);
    if (ctx->vsp)
        LowerLayerHook(&ctx->vsp->fsm, 0);
    RaiseEvent(ctx, PPP_EVENT_DOWN);
}

void PPP_Close(PPP_Context *ctx)
{
    ctx->phase = PPP_PHASE_TERMINATE;
    LCP_Close(ctx);
    if (ctx->ipcp)
        NCP_Close(&ctx->ipcp->fsm);
    if (ctx->vsp)
        VSP_Close(ctx->vsp);
}

void NCP_Close(FSM *record)
{
    FSM_Close(record);
}

void PPP_CancelTimers(PPP_Context *ctx)
{
    FSM *records[3] = {&ctx->lcp, ctx->ipcp ? &ctx->ipcp->fsm : nullptr,
                       ctx->vsp ? &ctx->vsp->fsm : nullptr};
    for (FSM *f : records) {
        if (!f)
            continue;
        TIMER_Cancel(FSM_Timeout, f);
        f->timerArmed = 0;
    }
    TIMER_Cancel(LCP_EchoTimer, ctx);
    PAP_Stop(ctx);
    CHAP_Stop(ctx);
}

// ---- authentication ----

static const char *ChapWord(uint8_t algorithm)
{
    switch (algorithm) {
    case PPP_CHAP_MD5: return "MD5";
    case PPP_CHAP_MSCHAP1: return "MSCHAPv1";
    case PPP_CHAP_MSCHAP2: return "MSCHAPv2";
    default: return "unknown CHAP alg";
    }
}

static int Demands(uint16_t protocol, uint8_t algorithm, uint16_t wantProtocol,
                   uint8_t wantAlgorithm)
{
    return protocol == wantProtocol && (wantProtocol != PPP_PROTO_CHAP || algorithm == wantAlgorithm);
}

void PPP_StartAuth(PPP_Context *ctx)
{
    PPP_TRACE(10, "PPP up\n");
    switch (ctx->peerAuthProtocol) {
    case 0:
        PPP_TRACE(7, "Peer doesn't want us to authenticate at all\n");
        ctx->authSides = PPP_SIDE_CLIENT;
        break;
    case PPP_PROTO_PAP:
        PPP_TRACE(7, "Peer wants us to authenticate using PAP\n");
        break;
    case PPP_PROTO_CHAP:
        PPP_TRACE(7, "Peer wants us to authenticate using CHAP %s\n",
                  ChapWord(ctx->peerAuthAlgorithm));
        break;
    default:
        PPP_TRACE(7, "Peer wants us to authenticate using an unknown protocol!?!?!?!\n");
        break;
    }
    switch (ctx->ourAuthProtocol) {
    case 0:
        PPP_TRACE(7, "We don't want the peer to authenticate at all\n");
        ctx->authSides = PPP_SIDE_SERVER;
        break;
    case PPP_PROTO_PAP:
        PPP_TRACE(7, "The peer should authenticate itself using PAP\n");
        break;
    case PPP_PROTO_CHAP:
        PPP_TRACE(7, "The peer should authenticate itself using CHAP %s\n",
                  ChapWord(ctx->ourAuthAlgorithm));
        break;
    default:
        PPP_TRACE(7, "The peer should authenticate itself using an unknown protocol!?!?!?\n");
        break;
    }
    ctx->phase = PPP_PHASE_AUTHENTICATE;

    uint16_t peerP = ctx->peerAuthProtocol, ourP = ctx->ourAuthProtocol;
    uint8_t peerA = ctx->peerAuthAlgorithm, ourA = ctx->ourAuthAlgorithm;
    if (peerP == PPP_PROTO_PAP || ourP == PPP_PROTO_PAP)
        PAP_Start(ctx);
    static const uint8_t kAlgorithms[] = {PPP_CHAP_MD5, PPP_CHAP_MSCHAP1, PPP_CHAP_MSCHAP2};
    for (uint8_t alg : kAlgorithms)
        if (Demands(peerP, peerA, PPP_PROTO_CHAP, alg) || Demands(ourP, ourA, PPP_PROTO_CHAP, alg))
            CHAP_StartTimer(ctx);
    int mschap2 = Demands(peerP, peerA, PPP_PROTO_CHAP, PPP_CHAP_MSCHAP2) ||
                  Demands(ourP, ourA, PPP_PROTO_CHAP, PPP_CHAP_MSCHAP2);
    if (!mschap2 && peerP == 0)
        PPP_AuthResult(PPP_SIDE_BOTH, ctx);
}

void PPP_AuthResult(uint32_t result, PPP_Context *ctx)
{
    if (result != 0) {
        ctx->authSides |= (uint8_t)result;
        if ((ctx->authSides & PPP_SIDE_BOTH) == PPP_SIDE_BOTH) {
            PPP_TRACE(7, "*** Authentication successful ***\n");
            ctx->phase = PPP_PHASE_NETWORK;
            if (ctx->ipcp)
                LowerLayerHook(&ctx->ipcp->fsm, 1);
            if (ctx->vsp)
                LowerLayerHook(&ctx->vsp->fsm, 1);
            RaiseEvent(ctx, PPP_EVENT_UP);
        } else if (ctx->authSides == PPP_SIDE_CLIENT) {
            PPP_TRACE(7, "*** Authentication succeeded for %s. Still waiting on %s authentication "
                         "though ***\n", "client", "server");
        } else {
            PPP_TRACE(7, "*** Authentication succeeded for %s. Still waiting on %s authentication "
                         "though ***\n", "server", "client");
        }
        return;
    }
    if (ctx->config.radiusState[0] != '\0' && ctx->config.otp[0] == '\0') {
        if (ctx->config.otpPromptCallback)
            ctx->config.otpPromptCallback(ctx->config.user);
        PPP_TRACE(7, "*** Prompted for OTP ***\n");
        PPP_ReportTermination(PPP_TERM_PROMPT_FOR_OTP);
    } else {
        PPP_TRACE(7, "*** Authentication FAILED ***\n");
        PPP_ReportTermination(PPP_TERM_AUTH_FAILED);
    }
    LCP_Close(ctx);
}

// ---- frames ----

int PPP_Input(PKT_Buffer *packet, PPP_Context *ctx)
{
    uint8_t *p = PKT_Data(packet);
    uint32_t n = PKT_Length(packet);
    if (n < 2) {
        PKT_Free(packet);
        return 0;
    }
    if (p[0] == 0xFF && p[1] == 0x03) {
        // Address and control field; 0xFF03 is no valid protocol number.
        PKT_Cut(packet, p, 2);
        p = PKT_Data(packet);
        n = PKT_Length(packet);
        if (n < 2) {
            PKT_Free(packet);
            return 0;
        }
    }
    uint16_t protocol = PPP_Get16(p);
    PKT_Cut(packet, p, 2);
    p = PKT_Data(packet);
    n = PKT_Length(packet);

    if (ctx->phase != PPP_PHASE_NETWORK && protocol != PPP_PROTO_LCP &&
        !(ctx->phase == PPP_PHASE_AUTHENTICATE &&
          (protocol == PPP_PROTO_PAP || protocol == PPP_PROTO_CHAP))) {
        PPP_TRACE(4, "Unsupported proto=%u\n", (unsigned)protocol);
        PKT_Free(packet);
        return 0;
    }

    switch (protocol) {
    case PPP_PROTO_IP:
        ctx->peerAlive = 1;
        return 1;
    case PPP_PROTO_LCP:
        PPP_TRACE(10, "Received LCP packet\n");
        LCP_Input(p, n, ctx);
        break;
    case PPP_PROTO_PAP:
        PPP_TRACE(10, "Received PAP packet\n");
        PAP_Input(p, n, ctx);
        break;
    case PPP_PROTO_CHAP:
        PPP_TRACE(10, "Received CHAP packet\n");
        switch (CHAP_SelectAlgorithm(p, n, ctx)) {
        case PPP_CHAP_MD5: CHAP_MD5_Input(p, n, ctx); break;
        case PPP_CHAP_MSCHAP1: MSCHAP1_Input(p, n, ctx); break;
        case PPP_CHAP_MSCHAP2: MSCHAP2_Input(p, n, ctx); break;
        default: break;
        }
        break;
    case PPP_PROTO_IPCP:
        PPP_TRACE(10, "Received IPCP packet\n");
        if (ctx->ipcp)
            FSM_Input(p, n, &ctx->ipcp->fsm);
        else
            LCP_SendProtocolReject(p, n, protocol, ctx);
        break;
    case PPP_PROTO_VSP:
        PPP_TRACE(10, "Received VSP packet\n");
        if (ctx->vsp)
            FSM_Input(p, n, &ctx->vsp->fsm);
        else
            LCP_SendProtocolReject(p, n, protocol, ctx);
        break;
    case PPP_PROTO_CCP:
        LCP_SendProtocolReject(p, n, protocol, ctx);
        break;
    case PPP_PROTO_MPPE:
        PPP_TRACE(3, "MPPE Packet withouth CCP Context");
        break;
    default:
        PPP_TRACE(4, "Received unknown PPP protocol 0x%04x\n", (unsigned)protocol);
        LCP_SendProtocolReject(p, n, protocol, ctx);
        break;
    }
    PKT_Free(packet);
    return 0;
}

int PPP_EncapsulateIP(PKT_Buffer *packet, IPCP_Record *)
{
    uint8_t *p = PKT_Prepend(packet, PKT_Data(packet), 2);
    if (!p) {
        PKT_Free(packet);
        return 0;
    }
    p[0] = 0x00;
    p[1] = 0x21;
    return 1;
}

uint16_t PPP_GetLinkMRU(const PPP_Context *ctx)
{
    return ctx->ourMRU < ctx->peerMRU ? ctx->ourMRU : ctx->peerMRU;
}

uint16_t PPP_GetPeerMRU(const PPP_Context *ctx)
{
    return ctx->peerMRU;
}

int PPP_IsNetworkPhase(const PPP_Context *ctx)
{
    return ctx->phase == PPP_PHASE_NETWORK;
}
