// CHAP (RFC 1994) with MD5, MS-CHAPv1 and MS-CHAPv2, client side only: the
// client answers the gateway's Challenges and, for MS-CHAPv2, checks the
// gateway's authenticator response. The derivations live in mschap.h.
#ifndef TLX_PPP_CHAP_H
#define TLX_PPP_CHAP_H

#include <stdint.h>

struct PPP_Context;

#define CHAP_PROTOCOL 0xC223

enum {
    CHAP_CODE_CHALLENGE = 1,
    CHAP_CODE_RESPONSE = 2,
    CHAP_CODE_SUCCESS = 3,
    CHAP_CODE_FAILURE = 4,
    CHAP_ALG_MD5 = 0x05,
    CHAP_ALG_MSCHAP1 = 0x80,
    CHAP_ALG_MSCHAP2 = 0x81,
    CHAP_WAIT_SECONDS = 10
};

// Which handler a received CHAP frame goes to: an algorithm byte, or 0 (drop).
uint8_t CHAP_SelectAlgorithm(const uint8_t *packet, uint32_t length, PPP_Context *context);

// packet: the CHAP packet after the protocol field; length: bytes received.
void CHAP_MD5_Input(const uint8_t *packet, uint32_t length, PPP_Context *context);
void MSCHAP1_Input(const uint8_t *packet, uint32_t length, PPP_Context *context);
void MSCHAP2_Input(const uint8_t *packet, uint32_t length, PPP_Context *context);

void CHAP_MD5_SendResponse(const uint8_t *packet, uint32_t length, PPP_Context *context);
void MSCHAP1_SendResponse(const uint8_t *packet, uint32_t length, PPP_Context *context);
void MSCHAP2_SendResponse(const uint8_t *packet, uint32_t length, PPP_Context *context);

void CHAP_MD5_RecvSuccess(const uint8_t *packet, uint32_t length, PPP_Context *context);
void MSCHAP1_RecvSuccess(const uint8_t *packet, uint32_t length, PPP_Context *context);
void MSCHAP2_RecvSuccess(const uint8_t *packet, uint32_t length, PPP_Context *context);
void CHAP_RecvFailure(const uint8_t *packet, uint32_t length, PPP_Context *context);

void CHAP_StartTimer(PPP_Context *context);
void CHAP_Timeout(void *context);
void CHAP_Stop(PPP_Context *context);

#endif
