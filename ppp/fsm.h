// The option-negotiation automaton shared by LCP, IPCP and the vendor
// protocol. A protocol fills one FSM record with its timing and handlers and
// drives it with Open/Close/Up/Down and received packets; the automaton keeps
// the state, the restart counter and timer and the identifiers, and builds the
// fixed packets itself. Everything runs on the one thread that drives the link.
#ifndef TLX_PPP_FSM_H
#define TLX_PPP_FSM_H

#include <stdint.h>

struct PKT_Buffer;
struct FSM;

enum FSM_State : uint32_t {
    FSM_STATE_NONE = 0,         // zeroed record before FSM_Init
    FSM_STATE_INITIAL = 1,
    FSM_STATE_STARTING = 2,
    FSM_STATE_CLOSED = 3,
    FSM_STATE_STOPPED = 4,
    FSM_STATE_CLOSING = 5,
    FSM_STATE_STOPPING = 6,
    FSM_STATE_REQ_SENT = 7,
    FSM_STATE_ACK_RCVD = 8,
    FSM_STATE_ACK_SENT = 9,
    FSM_STATE_OPENED = 10
};

// Control packet codes (RFC 1661 and 1570).
enum {
    FSM_CODE_CONFIGURE_REQUEST = 1,
    FSM_CODE_CONFIGURE_ACK = 2,
    FSM_CODE_CONFIGURE_NAK = 3,
    FSM_CODE_CONFIGURE_REJECT = 4,
    FSM_CODE_TERMINATE_REQUEST = 5,
    FSM_CODE_TERMINATE_ACK = 6,
    FSM_CODE_CODE_REJECT = 7,
    FSM_CODE_PROTOCOL_REJECT = 8,
    FSM_CODE_ECHO_REQUEST = 9,
    FSM_CODE_ECHO_REPLY = 10,
    FSM_CODE_DISCARD_REQUEST = 11,
    FSM_CODE_IDENTIFICATION = 12,
    FSM_CODE_RESET_REQUEST = 14,
    FSM_CODE_RESET_ACK = 15
};

// Handler results.
enum {
    FSM_OK = 0,          // accept / send
    FSM_NOT_OK = 1,      // not acceptable: answer from the lists (verdicts: catastrophic)
    FSM_DROP = 2,        // drop silently (verdicts: ignore)
    FSM_TERMINATE = 3    // give up and close the layer
};

enum {
    FSM_LIST_CAPACITY = 1500,   // capacity of the lists the automaton builds packets in
    FSM_DEFAULT_MRU = 1500
};

// A byte list the handlers append to: the body of a packet being built, or a
// handler's own Reject/Nak buffer.
struct PPP_OptionList {
    uint8_t *data;
    uint32_t used;
    uint32_t capacity;
};

// Copies min(count, capacity - used) bytes; 1 when all count bytes fitted.
int PPP_OptionListAppend(uint32_t count, PPP_OptionList *list, const void *bytes);

// Packets handed to handlers start at their code byte; length is the length
// from their header, never more than the bytes at hand.
typedef int (*FSM_ConfigureRequestCheck)(const uint8_t *packet, uint32_t length,
                                         PPP_OptionList *rejectList, PPP_OptionList *nakList,
                                         FSM *record);
typedef int (*FSM_PacketHandler)(const uint8_t *packet, uint32_t length, FSM *record);
typedef int (*FSM_RequestBuilder)(PPP_OptionList *options, FSM *record);
typedef void (*FSM_SendHandler)(PKT_Buffer *packet, void *sendArgument);
typedef int (*FSM_ProtocolRejectHandler)(const uint8_t *packet, uint32_t length, FSM **target);
typedef int (*FSM_ReplyHandler)(const uint8_t *packet, uint32_t length, PPP_OptionList *reply,
                                FSM *record);
typedef void (*FSM_LayerAction)(FSM *record);

// A null slot makes the automaton treat the matching received code as
// undefined (Code-Reject); null layer actions are skipped.
struct FSM_Handlers {
    FSM_ConfigureRequestCheck configureRequest;  // 0 RCR+, 1 RCR-, 3 terminate, else drop
    FSM_PacketHandler configureAck;              // 0 RCA, else drop
    FSM_PacketHandler configureNak;              // 0 RCN, 3 terminate, else drop
    FSM_PacketHandler configureReject;           // 0 RCJ, 3 terminate, else drop
    FSM_PacketHandler codeReject;                // verdict: 0 RXJ+, 1 RXJ-, else ignore
    FSM_RequestBuilder buildRequest;             // 0 send, 3 terminate, else send nothing
    FSM_SendHandler send;                        // takes over the buffer
    void *sendArgument;
    FSM_ProtocolRejectHandler protocolReject;    // verdict; may retarget the record
    FSM_ReplyHandler echoRequest;                // 0 send the Echo-Reply
    FSM_PacketHandler echoReply;
    FSM_PacketHandler discardRequest;
    FSM_ReplyHandler resetRequest;               // 0 send the Reset-Ack
    FSM_PacketHandler resetReply;
    FSM_LayerAction thisLayerUp;
    FSM_LayerAction thisLayerDown;
    FSM_LayerAction thisLayerStarted;
    FSM_LayerAction thisLayerFinished;
    FSM_LayerAction terminateRequestNotice;      // first on every Terminate-Request
    FSM_LayerAction lowerLayerUp;                // used by the link, not the automaton
    FSM_LayerAction lowerLayerDown;
    FSM_PacketHandler protocolRejected;          // asked by LCP's Protocol-Reject handler
};

struct FSM {
    uint32_t firstDelayMs;      // first retransmission after irc; 0 -> 150
    uint32_t maxConfigure;      // 0 -> 5
    uint32_t maxTerminate;      // 0 -> 2
    uint32_t restartTime;       // seconds; 0 -> 1 with backoff, 3 without
    uint32_t backoff;           // doubles the timeout after every request sent
    FSM_Handlers handlers;
    uint32_t restartCount;      // requests sent since irc/zrc (counts up)
    uint32_t timeout;           // seconds, for the next arming
    uint32_t timerArmed;
    FSM_State state;
    uint16_t ourMRU;
    uint16_t peerMRU;           // cuts Code-Rejects
    uint8_t nextId;
    uint8_t requestId;          // last Configure-Request
    uint8_t terminateId;        // last Terminate-Request
    uint8_t echoId;             // last Echo-Request (LCP)
    uint8_t resetId;            // last Reset-Request
    char name[11];
};

enum { FSM_MAX_TIMEOUT = 64 };  // backoff stops doubling here (seconds)

void FSM_Init(FSM *record);
void FSM_Open(FSM *record);
void FSM_Close(FSM *record);
void FSM_Up(FSM *record);
void FSM_Down(FSM *record);

// Parses the header of a control packet (from its code byte, count bytes at
// hand) and dispatches it; short or lying packets are dropped.
void FSM_Input(const uint8_t *packet, uint32_t count, FSM *record);

// One received code each; length is the header length, at most the bytes at hand.
void FSM_Recv_ConfigureRequest(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_ConfigureAck(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_ConfigureNak(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_ConfigureReject(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_TerminateRequest(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_TerminateAck(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_CodeReject(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_ProtocolReject(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_EchoRequest(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_EchoReply(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_DiscardRequest(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_ResetRequest(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_ResetReply(FSM *record, const uint8_t *packet, uint32_t length);
void FSM_Recv_UnknownCode(FSM *record, const uint8_t *packet, uint32_t length);

// 0 RXJ+, 1 RXJ-, anything else nothing.
void FSM_ApplyRejectVerdict(int verdict, FSM *record);

// The restart timer's callback (context: the record).
void FSM_Timeout(void *record);

int FSM_NullHandler(const uint8_t *packet, uint32_t length, FSM *record);

// 1 while the layer negotiates or is open (REQ_SENT, ACK_RCVD, ACK_SENT,
// OPENED): only then does a handler's give-up end something. A layer that is
// closed, closing or has no lower layer ignores it, and so should the
// protocol's report of why it gave up.
int FSM_LayerRunning(const FSM *record);

const char *FSM_StateName(uint32_t state);

// Big-endian field access for the protocols.
static inline uint16_t PPP_Get16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
static inline uint32_t PPP_Get32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
static inline void PPP_Put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
static inline void PPP_Put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}


// The packet's length from its header, or 0 when the header is short or
// claims more than arrived.
static inline uint32_t PPP_PacketLength(const uint8_t *packet, uint32_t received)
{
    if (received < 4)
        return 0;
    uint32_t length = PPP_Get16(packet + 2);
    if (length < 4 || length > received)
        return 0;
    return length;
}

// Walks the type-length options after a packet's header, calling visit (a
// bool(const uint8_t *option)) for each. FSM_OK when the walk reached the
// end, FSM_DROP when an option was malformed or visit refused it.
template <typename Visit>
static inline int FSM_WalkOptions(const uint8_t *packet, uint32_t length, Visit visit)
{
    if (length < 4)
        return FSM_DROP;
    const uint8_t *p = packet + 4;
    uint32_t left = length - 4;
    while (left > 0) {
        if (left < 2 || p[1] < 2 || p[1] > left)
            return FSM_DROP;
        if (!visit(p))
            return FSM_DROP;
        left -= p[1];
        p += p[1];
    }
    return FSM_OK;
}

#endif
