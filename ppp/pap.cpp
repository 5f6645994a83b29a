#include "pap.h"

#include <string.h>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "ppp.h"
#include "str.h"
#include "timer.h"

static uint32_t PAP_TextLen(const char *text, uint32_t size)
{
    return (uint32_t)strnlen(text, size - 1);
}

static uint8_t *PAP_PutText(uint8_t *p, const char *text, uint32_t length)
{
    *p++ = (uint8_t)length;
    memcpy(p, text, length);
    return p + length;
}

// Builds one request and hands it to the output callback; 1 when sent. The
// identifier is passed in so that a retransmitted one-time-password request
// can go out unchanged.
static int PAP_SendPacket(PPP_Context *context, uint8_t code, uint8_t identifier)
{
    const PPP_Config *cfg = &context->config;
    uint32_t u = PAP_TextLen(cfg->userName, sizeof(cfg->userName));
    uint32_t secret, state = 0;
    if (code == PAP_CODE_OTP_REQUEST) {
        secret = PAP_TextLen(cfg->otp, sizeof(cfg->otp));
        state = PAP_TextLen(cfg->radiusState, sizeof(cfg->radiusState));
    } else {
        secret = PAP_TextLen(cfg->password, sizeof(cfg->password));
    }
    uint32_t papLength = 6 + u + secret + (code == PAP_CODE_OTP_REQUEST ? 1 + state : 0);

    context->authGivenUp = 0;
    PKT_Buffer *buf = PKT_Alloc(nullptr);
    if (!buf)
        return 0;
    PKT_Reset(buf);
    if (!PKT_Reserve(buf, papLength + 2)) {
        PKT_Free(buf);
        return 0;
    }
    context->lastId = identifier;

    uint8_t *p = buf->cursor;
    *p++ = (uint8_t)(PPP_PROTO_PAP >> 8);
    *p++ = (uint8_t)PPP_PROTO_PAP;
    *p++ = code;
    *p++ = identifier;
    *p++ = (uint8_t)(papLength >> 8);
    *p++ = (uint8_t)papLength;
    p = PAP_PutText(p, cfg->userName, u);
    if (code == PAP_CODE_OTP_REQUEST) {
        p = PAP_PutText(p, cfg->otp, secret);
        PAP_PutText(p, cfg->radiusState, state);
    } else {
        PAP_PutText(p, cfg->password, secret);
    }
    buf->length = (uint16_t)(papLength + 2);
    cfg->output(buf, cfg->user);
    return 1;
}

void PAP_SendRequest(PPP_Context *context)
{
    if (PAP_SendPacket(context, PAP_CODE_REQUEST, context->papId))
        context->papId++;
}

void PAP_SendOtpRequest(PPP_Context *context)
{
    if (PAP_SendPacket(context, PAP_CODE_OTP_REQUEST, context->papId))
        context->papId++;
}

void PAP_Start(PPP_Context *context)
{
    if (context->peerAuthProtocol != PPP_PROTO_PAP)
        return;
    context->authGivenUp = 0;
    context->papExpiries = 0;
    context->papRunFirstId = context->papId;
    PAP_Stop(context);
    TIMER_Add(PAP_RETRANSMIT_SECONDS, 0, 1, PAP_RetransmitTimer, context);
    if (context->config.radiusState[0])
        PAP_SendOtpRequest(context);
    else
        PAP_SendRequest(context);
}

void PAP_Stop(PPP_Context *context)
{
    TIMER_Cancel(PAP_RetransmitTimer, context);
}

// The run's one-time-password request under its first identifier; when it
// could not be sent at the start, this is its first copy.
static void PAP_ResendOtpRequest(PPP_Context *context)
{
    uint8_t id = context->papRunFirstId;
    if (PAP_SendPacket(context, PAP_CODE_OTP_REQUEST, id) && context->papId == id)
        context->papId++;
}

void PAP_RetransmitTimer(void *arg)
{
    PPP_Context *context = (PPP_Context *)arg;
    if (++context->papExpiries >= PAP_MAX_EXPIRIES) {
        context->authGivenUp = 1;
        PPP_AuthResult(0, context);
        return;
    }
    // A one-time password is consumed by the gateway's first check: resend the
    // very same request, so that a slow answer to it still counts, and never
    // fall back to the static password.
    if (context->config.radiusState[0])
        PAP_ResendOtpRequest(context);
    else
        PAP_SendRequest(context);
    TIMER_Add(PAP_RETRANSMIT_SECONDS, 0, 1, PAP_RetransmitTimer, context);
}

// Whether the identifier is one of the requests sent since PAP_Start. A
// gateway that checks the password with a slow back end answers an earlier
// copy after the next one has gone out; that answer is as good as any.
static int PAP_IsOurRequest(const PPP_Context *context, uint8_t id)
{
    uint8_t sent = (uint8_t)(context->papId - context->papRunFirstId);
    return (uint8_t)(id - context->papRunFirstId) < sent;
}

// Reports one outcome for the run; later answers are ignored, so a
// duplicate Nak or the answer to another copy cannot undo the first.
static void PAP_Finish(PPP_Context *context, uint32_t result)
{
    PAP_Stop(context);
    if (context->authGivenUp)
        return;
    context->authGivenUp = 1;
    PPP_AuthResult(result, context);
}

void PAP_RecvAck(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (!PPP_PacketLength(packet, length) || !PAP_IsOurRequest(context, packet[1]))
        return;
    PAP_Finish(context, PPP_SIDE_CLIENT);
}

// Takes the state text and prompt from a Nak in the one-time-password form:
// message length M = L - 5, then 1, the state length n, n state bytes and
// M - n - 2 prompt bytes. Anything else leaves both fields alone.
static void PAP_TakeOtpForm(const uint8_t *packet, uint32_t length, PPP_Config *cfg)
{
    if (length < 7)
        return;
    uint32_t m = packet[4];
    uint32_t n = packet[6];
    if (m != length - 5 || packet[5] != 1 || n + 2 > m)
        return;
    STR_Copy(cfg->radiusState, sizeof(cfg->radiusState), (const char *)packet + 7, n);
    STR_Copy(cfg->otpPrompt, sizeof(cfg->otpPrompt), (const char *)packet + 7 + n, m - n - 2);
}

void PAP_RecvNak(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    uint32_t l = PPP_PacketLength(packet, length);
    if (!l || !PAP_IsOurRequest(context, packet[1]))
        return;
    // Any Nak for a request of this run is a refusal; resending a refused
    // password would only count towards the account's lock-out. A Nak after
    // the run's outcome must not replace the state the outcome went with.
    if (l > 5 && !context->authGivenUp)
        PAP_TakeOtpForm(packet, l, &context->config);
    PAP_Finish(context, 0);
}

void PAP_Input(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (length < 4)
        return;
    if (packet[0] == PAP_CODE_ACK)
        PAP_RecvAck(packet, length, context);
    else if (packet[0] == PAP_CODE_NAK)
        PAP_RecvNak(packet, length, context);
}
