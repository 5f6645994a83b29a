// PAP (RFC 1334) for the client side only, with the gateway's one-time-password
// exchange: an Authenticate-Nak may carry a state text and a prompt, and the
// next attempt answers with a code-200 request holding the typed password.
#ifndef TLX_PPP_PAP_H
#define TLX_PPP_PAP_H

#include <stdint.h>

struct PPP_Context;

#define PAP_PROTOCOL 0xC023

enum {
    PAP_CODE_REQUEST = 1,
    PAP_CODE_ACK = 2,
    PAP_CODE_NAK = 3,
    PAP_CODE_OTP_REQUEST = 200,
    PAP_RETRANSMIT_SECONDS = 1,
    PAP_MAX_EXPIRIES = 10
};

void PAP_Start(PPP_Context *context);
void PAP_Stop(PPP_Context *context);
// packet: the PAP packet after the protocol field; length: bytes received.
void PAP_Input(const uint8_t *packet, uint32_t length, PPP_Context *context);
void PAP_SendRequest(PPP_Context *context);
void PAP_SendOtpRequest(PPP_Context *context);
void PAP_RetransmitTimer(void *context);
void PAP_RecvAck(const uint8_t *packet, uint32_t length, PPP_Context *context);
void PAP_RecvNak(const uint8_t *packet, uint32_t length, PPP_Context *context);

#endif
