#include "chap.h"

#include <string.h>

#include <openssl/crypto.h>
#include <openssl/md5.h>

#include "gui_log.h"
#include "mschap.h"
#include "pkt_buffer.h"
#include "ppp.h"
#include "str.h"
#include "timer.h"

enum {
    CHAP_MD5_VALUE_SIZE = 16,
    MSCHAP_VALUE_SIZE = 49,
    MSCHAP1_CHALLENGE_SIZE = 8,
    MSCHAP2_CHALLENGE_SIZE = 16,
    MSCHAP2_SUCCESS_MIN = 4 + MSCHAP_AUTH_RESPONSE_LEN
};

// The Challenge value, or null when the Challenge is malformed or its value
// is not of the size the algorithm needs (0: any size).
static const uint8_t *CHAP_ChallengeValue(const uint8_t *packet, uint32_t received,
                                          uint32_t wantSize, uint32_t *size)
{
    uint32_t length = PPP_PacketLength(packet, received);
    if (length < 5)
        return nullptr;
    *size = packet[4];
    if (5 + *size > length || (wantSize && *size != wantSize))
        return nullptr;
    return packet + 5;
}

// Sends a Response: Length = 5 + valueSize + name; the identifier is the
// Challenge's and becomes the one Success and Failure must carry.
static void CHAP_SendResponseValue(PPP_Context *context, uint8_t identifier, const uint8_t *value,
                                   uint32_t valueSize)
{
    const PPP_Config *cfg = &context->config;
    uint32_t n = (uint32_t)strnlen(cfg->userName, sizeof(cfg->userName) - 1);
    uint32_t length = 5 + valueSize + n;

    PKT_Buffer *buf = PKT_Alloc(nullptr);
    if (!buf)
        return;
    PKT_Reset(buf);
    if (!PKT_Reserve(buf, length + 2)) {
        PKT_Free(buf);
        return;
    }
    context->lastId = identifier;
    uint8_t *p = buf->cursor;
    *p++ = (uint8_t)(PPP_PROTO_CHAP >> 8);
    *p++ = (uint8_t)PPP_PROTO_CHAP;
    *p++ = CHAP_CODE_RESPONSE;
    *p++ = identifier;
    *p++ = (uint8_t)(length >> 8);
    *p++ = (uint8_t)length;
    *p++ = (uint8_t)valueSize;
    memcpy(p, value, valueSize);
    memcpy(p + valueSize, cfg->userName, n);
    buf->length = (uint16_t)(length + 2);
    cfg->output(buf, cfg->user);
}

// What MS-CHAP hashes, terminated: the password's text, which differs from
// the bytes PAP and CHAP-MD5 send where the ANSI code page lacks a typed
// character. Neither field of the record need be terminated.
static void CHAP_MsChapPassword(const PPP_Context *context, char (&out)[PPP_PASSWORD_UTF8_SIZE])
{
    const PPP_Config &cfg = context->config;
    if (cfg.passwordUtf8[0])
        STR_Copy(out, sizeof out, cfg.passwordUtf8, sizeof cfg.passwordUtf8 - 1);
    else
        STR_Copy(out, sizeof out, cfg.password, sizeof cfg.password - 1);
}

void CHAP_MD5_SendResponse(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    context->authGivenUp = 0;
    uint32_t size;
    const uint8_t *challenge = CHAP_ChallengeValue(packet, length, 0, &size);
    if (!challenge)
        return;
    const char *password = context->config.password;
    uint8_t digest[CHAP_MD5_VALUE_SIZE];
    MD5_CTX md5;
    MD5_Init(&md5);
    MD5_Update(&md5, &packet[1], 1);
    MD5_Update(&md5, password, strnlen(password, sizeof(context->config.password) - 1));
    MD5_Update(&md5, challenge, size);
    MD5_Final(digest, &md5);
    CHAP_SendResponseValue(context, packet[1], digest, sizeof(digest));
}

void MSCHAP1_SendResponse(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    context->authGivenUp = 0;
    uint32_t size;
    const uint8_t *challenge = CHAP_ChallengeValue(packet, length, MSCHAP1_CHALLENGE_SIZE, &size);
    if (!challenge)
        return;
    // No LAN Manager response; flag 1: use the NT response.
    uint8_t value[MSCHAP_VALUE_SIZE] = {0};
    char password[PPP_PASSWORD_UTF8_SIZE];
    CHAP_MsChapPassword(context, password);
    NtChallengeResponse(challenge, password, value + 24);
    OPENSSL_cleanse(password, sizeof password);
    value[48] = 1;
    CHAP_SendResponseValue(context, packet[1], value, sizeof(value));
}

void MSCHAP2_SendResponse(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    context->authGivenUp = 0;
    uint32_t size;
    const uint8_t *challenge = CHAP_ChallengeValue(packet, length, MSCHAP2_CHALLENGE_SIZE, &size);
    if (!challenge)
        return;
    uint8_t peerChallenge[16];
    if (!PPP_Random(peerChallenge, sizeof(peerChallenge))) {
        GUI_Trace("PPP", 3, "No random bytes for the MS-CHAPv2 peer challenge\n");
        return;
    }
    memcpy(context->authChallenge, challenge, 16);
    memcpy(context->peerChallenge, peerChallenge, 16);
    char password[PPP_PASSWORD_UTF8_SIZE];
    CHAP_MsChapPassword(context, password);
    GenerateNTResponse(context->authChallenge, context->peerChallenge, context->config.userName,
                       password, context->ntResponse);
    OPENSSL_cleanse(password, sizeof password);
    // Peer challenge, 8 reserved zero bytes, NT-Response, flags 0.
    uint8_t value[MSCHAP_VALUE_SIZE] = {0};
    memcpy(value, context->peerChallenge, 16);
    memcpy(value + 24, context->ntResponse, 24);
    CHAP_SendResponseValue(context, packet[1], value, sizeof(value));
}

// Success or Failure for the answered Challenge: stops the wait and tells
// whether an outcome may still be reported.
static int CHAP_AcceptOutcome(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (!PPP_PacketLength(packet, length) || packet[1] != context->lastId)
        return 0;
    CHAP_Stop(context);
    return !context->authGivenUp;
}

void CHAP_MD5_RecvSuccess(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (CHAP_AcceptOutcome(packet, length, context))
        PPP_AuthResult(PPP_SIDE_CLIENT, context);
}

void MSCHAP1_RecvSuccess(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (CHAP_AcceptOutcome(packet, length, context))
        PPP_AuthResult(PPP_SIDE_CLIENT, context);
}

void MSCHAP2_RecvSuccess(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (!CHAP_AcceptOutcome(packet, length, context))
        return;
    // The authenticator response is the gateway's proof that it knows the
    // password; without it any host could claim success, so a Success that
    // lacks it or carries a wrong one ends the attempt (RFC 2759 section 5).
    uint32_t l = PPP_PacketLength(packet, length);
    char expected[MSCHAP_AUTH_RESPONSE_LEN];
    char password[PPP_PASSWORD_UTF8_SIZE];
    CHAP_MsChapPassword(context, password);
    GenerateAuthenticatorResponse(password, context->ntResponse, context->peerChallenge,
                                  context->authChallenge, context->config.userName, expected);
    OPENSSL_cleanse(password, sizeof password);
    if (l >= MSCHAP2_SUCCESS_MIN && CRYPTO_memcmp(expected, packet + 4, sizeof(expected)) == 0) {
        PPP_AuthResult(PPP_SIDE_CLIENT, context);
        return;
    }
    GUI_Trace("PPP", 3, "MS-CHAPv2 Success without the right authenticator response\n");
    PPP_AuthResult(0, context);
}

void CHAP_RecvFailure(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (CHAP_AcceptOutcome(packet, length, context))
        PPP_AuthResult(0, context);
}

typedef void (*CHAP_Handler)(const uint8_t *packet, uint32_t length, PPP_Context *context);

static void CHAP_Dispatch(const uint8_t *packet, uint32_t length, PPP_Context *context,
                          CHAP_Handler answer, CHAP_Handler success)
{
    if (length < 4)
        return;
    switch (packet[0]) {
    case CHAP_CODE_CHALLENGE:
        GUI_Trace("PPP", 7, "Received challenge\n");
        answer(packet, length, context);
        break;
    case CHAP_CODE_RESPONSE:
        GUI_Trace("PPP", 7, "Received response\n");
        break;
    case CHAP_CODE_SUCCESS:
        GUI_Trace("PPP", 7, "Received success\n");
        success(packet, length, context);
        break;
    case CHAP_CODE_FAILURE:
        GUI_Trace("PPP", 7, "Received failure\n");
        CHAP_RecvFailure(packet, length, context);
        break;
    default:
        GUI_Trace("PPP", 7, "Received CHAP packet code %u\n", (uint32_t)packet[0]);
        break;
    }
}

void CHAP_MD5_Input(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    CHAP_Dispatch(packet, length, context, CHAP_MD5_SendResponse, CHAP_MD5_RecvSuccess);
}

void MSCHAP1_Input(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    CHAP_Dispatch(packet, length, context, MSCHAP1_SendResponse, MSCHAP1_RecvSuccess);
}

void MSCHAP2_Input(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    CHAP_Dispatch(packet, length, context, MSCHAP2_SendResponse, MSCHAP2_RecvSuccess);
}

uint8_t CHAP_SelectAlgorithm(const uint8_t *packet, uint32_t length, PPP_Context *context)
{
    if (length < 4 || packet[0] < CHAP_CODE_CHALLENGE || packet[0] > CHAP_CODE_FAILURE)
        return 0;
    // A Response is addressed to the side that demanded CHAP of the other.
    if (packet[0] == CHAP_CODE_RESPONSE)
        return context->ourAuthProtocol == PPP_PROTO_CHAP ? context->ourAuthAlgorithm : 0;
    return context->peerAuthProtocol == PPP_PROTO_CHAP ? context->peerAuthAlgorithm : 0;
}

void CHAP_StartTimer(PPP_Context *context)
{
    if (context->peerAuthProtocol != PPP_PROTO_CHAP)
        return;
    context->authGivenUp = 0;
    CHAP_Stop(context);
    TIMER_Add(CHAP_WAIT_SECONDS, 0, 1, CHAP_Timeout, context);
}

void CHAP_Timeout(void *arg)
{
    PPP_Context *context = (PPP_Context *)arg;
    context->authGivenUp = 1;
    PPP_AuthResult(0, context);
}

void CHAP_Stop(PPP_Context *context)
{
    TIMER_Cancel(CHAP_Timeout, context);
}
