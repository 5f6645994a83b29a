// LCP (0xC021): negotiates MRU, authentication protocol and magic number on
// the context's embedded automaton, refuses every other option, keeps the
// link alive with Echo-Requests and answers foreign protocols with
// Protocol-Reject. LCP_Open lives with the link (ppp.h).
#ifndef TLX_PPP_LCP_H
#define TLX_PPP_LCP_H

#include <stdint.h>

#include "fsm.h"
#include "link_mtu.h"

struct PPP_Context;

#define LCP_PROTOCOL 0xC021

enum {
    LCP_OPT_MRU = 1,
    LCP_OPT_ACCM = 2,
    LCP_OPT_AUTH = 3,
    LCP_OPT_QUALITY = 4,
    LCP_OPT_MAGIC = 5,
    LCP_OPT_PFC = 7,
    LCP_OPT_ACFC = 8
};

// Smallest MRU the client uses for either side; the tunnel's MTU is taken
// from the MRUs, and a smaller one leaves no usable link. The route service
// sets the adapter's MTU within the same bound.
enum { LCP_MIN_MRU = LINK_MTU_MIN };

void LCP_Init(PPP_Context *context);
// One received LCP packet, protocol field removed.
void LCP_Input(const uint8_t *packet, uint32_t count, PPP_Context *context);
void LCP_Close(PPP_Context *context);
// Answers a frame of a protocol the engine does not run; information is the
// frame after its protocol field.
void LCP_SendProtocolReject(const uint8_t *information, uint32_t count, uint16_t protocol,
                            PPP_Context *context);
void LCP_LowerLayerUp(FSM *record);
void LCP_LowerLayerDown(FSM *record);

// Handlers (installed by LCP_Init; public for tests).
void LCP_Send(PKT_Buffer *packet, void *context);
int LCP_BuildConfigureRequest(PPP_OptionList *options, FSM *record);
int LCP_Recv_ConfigureRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *rejectList,
                              PPP_OptionList *nakList, FSM *record);
int LCP_Recv_ConfigureAck(const uint8_t *packet, uint32_t length, FSM *record);
int LCP_Recv_ConfigureNak(const uint8_t *packet, uint32_t length, FSM *record);
int LCP_Recv_ConfigureReject(const uint8_t *packet, uint32_t length, FSM *record);
int LCP_Recv_ProtocolReject(const uint8_t *packet, uint32_t length, FSM **target);
int LCP_Recv_EchoRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *reply,
                         FSM *record);
int LCP_Recv_EchoReply(const uint8_t *packet, uint32_t length, FSM *record);
void LCP_EchoTimer(void *context);
void LCP_ThisLayerUp(FSM *record);
void LCP_ThisLayerDown(FSM *record);
void LCP_ThisLayerStarted(FSM *record);
void LCP_ThisLayerFinished(FSM *record);

#endif
