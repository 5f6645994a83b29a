// Vendor-specific control protocol 0x405B: the gateway hands its own settings
// to the client as indexed options inside RFC 2153 style packets.
#ifndef TLX_PPP_VSP_H
#define TLX_PPP_VSP_H

#include <stdint.h>

#include "fsm.h"

struct PPP_Context;

// Link events go through this type; the link header declares it too, with the
// same guard, so either header may come first.
#ifndef TLX_PPP_EVENT_CALLBACK_DECLARED
#define TLX_PPP_EVENT_CALLBACK_DECLARED
typedef int (*PPP_EventCallback)(uint32_t event, void *user);
#endif

#define VSP_PROTOCOL 0x405B
#define VSP_MAX_OPTIONS 31     // option count limit set by VSP_Init
#define VSP_HEADER_LENGTH 8    // magic number, organisation identifier, kind

// Appends the client's option of that index to the list: 1, or 0 when it
// does not fit.
typedef int (*VSP_AddOptionCallback)(uint8_t index, PPP_OptionList *list, void *user);

// One option the gateway offers: 1 accepts it, 0 refuses it.
typedef int (*VSP_OptionCallback)(uint8_t index, uint8_t type, const uint8_t *value,
                                  uint16_t length, void *user);

struct VSP_Config {
    uint32_t maxConfigure;          // 0: the automaton's default
    uint32_t maxTerminate;          // 0: the automaton's default
    uint32_t restartTime;           // seconds; 0: the automaton's default
    uint32_t backoff;
    uint32_t surviveProtocolReject; // keep the link when the gateway rejects the protocol
    uint8_t optionCount;            // indexes 0 .. count-1; at most VSP_MAX_OPTIONS
    VSP_AddOptionCallback addOption;
    VSP_OptionCallback optionCallback;
    PPP_EventCallback eventCallback;
    void *user;
};

struct VSP_Record {
    FSM fsm;                        // first, so the record's address is the automaton's
    VSP_Config config;
    uint32_t protocolRejected;
    uint32_t ackedIndexes;          // bits (1 << index) the gateway acknowledged
    uint32_t refusedIndexes;        // bits the gateway NAK'ed or rejected
    PPP_Context *context;
};

// Prepares the record inside the context and makes the context point to it.
// The option count above VSP_MAX_OPTIONS is cut in config as well.
void VSP_Init(PPP_Context *context, VSP_Record *record, VSP_Config *config);
void VSP_Open(VSP_Record *record);
void VSP_Close(VSP_Record *record);

// Writes the client's 8-byte packet header; 1 if it fitted.
int VSP_WriteHeader(PPP_OptionList *list, VSP_Record *record);

// Handlers (installed by VSP_Init; public for tests).
void VSP_Send(PKT_Buffer *packet, void *record);
int VSP_BuildConfigureRequest(PPP_OptionList *options, FSM *record);
int VSP_Recv_ConfigureRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *rejectList,
                              PPP_OptionList *nakList, FSM *record);
int VSP_Recv_ConfigureAck(const uint8_t *packet, uint32_t length, FSM *record);
int VSP_Recv_ConfigureNak(const uint8_t *packet, uint32_t length, FSM *record);
int VSP_Recv_ConfigureReject(const uint8_t *packet, uint32_t length, FSM *record);
int VSP_Recv_CodeReject(const uint8_t *packet, uint32_t length, FSM *record);
int VSP_ProtocolRejected(const uint8_t *packet, uint32_t length, FSM *record);
void VSP_ThisLayerUp(FSM *record);
void VSP_ThisLayerDown(FSM *record);
// Reports PPP_EVENT_FINISHED only when the link goes on without the protocol
// (rejected by the gateway, survive flag set). Otherwise the protocol gave up
// and the whole link is closed; that is not the end of a vendor exchange, so
// no FINISHED is reported and the link's own events tell the story.
void VSP_ThisLayerFinished(FSM *record);
void VSP_LowerLayerUp(FSM *record);
void VSP_LowerLayerDown(FSM *record);

#endif
