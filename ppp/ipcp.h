// IPCP (0x8021, with the DNS and NBNS options): obtains the client's address
// and the gateway's server addresses. Addresses are IPv4 in network byte order.
#ifndef TLX_PPP_IPCP_H
#define TLX_PPP_IPCP_H

#include <stdint.h>

#include "fsm.h"

struct PPP_Context;

#ifndef TLX_PPP_EVENT_CALLBACK_DECLARED
#define TLX_PPP_EVENT_CALLBACK_DECLARED
typedef int (*PPP_EventCallback)(uint32_t event, void *user);
#endif

#define IPCP_PROTOCOL 0x8021

// Mode bits: per item a 2-bit value, 0 request, 1 require, 2 or 3 do not ask.
enum {
    IPCP_MODE_ADDRESS_MASK = 0x03,
    IPCP_MODE_DNS_MASK = 0x0C,
    IPCP_MODE_NBNS_MASK = 0x30,
    IPCP_ACCEPT_ADDRESS_MASK = 0x03,
    IPCP_ACCEPT_DNS_MASK = 0x0C
};

// Option types.
enum {
    IPCP_OPT_ADDRESSES = 1,
    IPCP_OPT_COMPRESSION = 2,
    IPCP_OPT_ADDRESS = 3,
    IPCP_OPT_DNS1 = 129,
    IPCP_OPT_NBNS1 = 130,
    IPCP_OPT_DNS2 = 131,
    IPCP_OPT_NBNS2 = 132
};

// Bits of IPCP_Record::rejected.
enum {
    IPCP_REJ_ADDRESSES = 0x01,
    IPCP_REJ_COMPRESSION = 0x02,
    IPCP_REJ_ADDRESS = 0x04,
    IPCP_REJ_DNS1 = 0x08,
    IPCP_REJ_DNS2 = 0x10,
    IPCP_REJ_NBNS1 = 0x20,
    IPCP_REJ_NBNS2 = 0x40
};

struct IPCP_Config {
    uint32_t mode;
    uint32_t address;       // to request; after This-Layer-Up the client's address
    uint32_t dns1;
    uint32_t dns2;
    uint32_t nbns1;
    uint32_t nbns2;
    uint32_t accept;        // how the gateway's own options are answered
    uint32_t peerAddress;   // output: the gateway's acknowledged IP-Address
    uint32_t maxConfigure;
    uint32_t maxTerminate;
    uint32_t restartTime;
    uint32_t backoff;
    PPP_EventCallback eventCallback;
    void *user;
};

struct IPCP_Record {
    FSM fsm;                // first, so the record's address is the automaton's
    IPCP_Config config;
    uint32_t rejected;      // IPCP_REJ_* bits of options the gateway rejected
    PPP_Context *context;
};

// Prepares the record and links it with the context. Returns 1.
int IPCP_Init(PPP_Context *context, IPCP_Record *record, const IPCP_Config *config);
// Opens LCP first unless the link is in the network phase, then IPCP.
void PPP_IPCP_Open(IPCP_Record *record);

// Handlers (installed by IPCP_Init; public for tests).
void IPCP_Send(PKT_Buffer *packet, void *record);
int IPCP_BuildConfigureRequest(PPP_OptionList *options, FSM *record);
int IPCP_Recv_ConfigureRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *rejectList,
                               PPP_OptionList *nakList, FSM *record);
int IPCP_Recv_ConfigureNak(const uint8_t *packet, uint32_t length, FSM *record);
int IPCP_Recv_ConfigureReject(const uint8_t *packet, uint32_t length, FSM *record);
int IPCP_Recv_CodeReject(const uint8_t *packet, uint32_t length, FSM *record);
int IPCP_ProtocolRejected(const uint8_t *packet, uint32_t length, FSM *record);
void IPCP_Recv_TerminateRequest(FSM *record);
void IPCP_ThisLayerUp(FSM *record);
void IPCP_ThisLayerDown(FSM *record);
void IPCP_ThisLayerFinished(FSM *record);
void IPCP_LowerLayerUp(FSM *record);
void IPCP_LowerLayerDown(FSM *record);

#endif
