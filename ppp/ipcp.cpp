// IPCP over its automaton record inside PPP_Context.
#include "ipcp.h"

#include <string.h>

#include "gui_log.h"
#include "parse.h"
#include "pkt_buffer.h"
#include "ppp.h"

#define IPCP_TRACE(...) GUI_Trace("PPP", 7, __VA_ARGS__)

static uint8_t sRejectBuffer[FSM_LIST_CAPACITY];
static uint8_t sNakBuffer[FSM_LIST_CAPACITY];

static IPCP_Record *RecordOf(FSM *f)
{
    return reinterpret_cast<IPCP_Record *>(f);
}

int IPCP_Init(PPP_Context *ctx, IPCP_Record *rec, const IPCP_Config *config)
{
    FSM *f = &rec->fsm;
    memset(f, 0, sizeof(*f));
    f->maxConfigure = config->maxConfigure;
    f->maxTerminate = config->maxTerminate;
    f->restartTime = config->restartTime;
    f->backoff = config->backoff;
    FSM_Handlers &h = f->handlers;
    h.configureRequest = IPCP_Recv_ConfigureRequest;
    h.configureAck = FSM_NullHandler;
    h.configureNak = IPCP_Recv_ConfigureNak;
    h.configureReject = IPCP_Recv_ConfigureReject;
    h.codeReject = IPCP_Recv_CodeReject;
    h.buildRequest = IPCP_BuildConfigureRequest;
    h.send = IPCP_Send;
    h.sendArgument = rec;
    h.protocolRejected = IPCP_ProtocolRejected;
    h.terminateRequestNotice = IPCP_Recv_TerminateRequest;
    h.thisLayerUp = IPCP_ThisLayerUp;
    h.thisLayerDown = IPCP_ThisLayerDown;
    h.thisLayerFinished = IPCP_ThisLayerFinished;
    h.lowerLayerUp = IPCP_LowerLayerUp;
    h.lowerLayerDown = IPCP_LowerLayerDown;
    ctx->ipcp = rec;
    rec->context = ctx;
    rec->config = *config;
    FSM_Init(f);
    return 1;
}

void PPP_IPCP_Open(IPCP_Record *rec)
{
    IPCP_TRACE("PPP_IPCP_Open()\n");
    rec->rejected = 0;
    if (!PPP_IsNetworkPhase(rec->context))
        LCP_Open(rec->context);
    FSM_Open(&rec->fsm);
}

void IPCP_Send(PKT_Buffer *packet, void *record)
{
    IPCP_Record *rec = static_cast<IPCP_Record *>(record);
    PPP_OutputCallback output = rec->context->config.output;
    uint8_t *p = PKT_Prepend(packet, PKT_Data(packet), 2);
    if (!p || !output) {
        PKT_Free(packet);
        return;
    }
    PPP_Put16(p, IPCP_PROTOCOL);
    output(packet, rec->config.user);
}

// ---- our request ----

namespace {

// One address item of our request, in the order it is sent.
struct AddressItem {
    uint8_t type;
    uint32_t rejectedBit;
    uint32_t modeShift;         // which 2-bit mode field governs it
    uint32_t IPCP_Config::*value;
    const char *requesting;
    const char *alreadyRejected;
    uint32_t reason;
};

const AddressItem kItems[] = {
    {IPCP_OPT_ADDRESS, IPCP_REJ_ADDRESS, 0, &IPCP_Config::address, "%s: Requesting IP %s",
     "%s: Peer already rejected IP_ADDRESS once, terminating IPCP connection\n",
     PPP_TERM_IP_ADDRESS},
    {IPCP_OPT_DNS1, IPCP_REJ_DNS1, 2, &IPCP_Config::dns1, "%s: Requesting DNS1 %s",
     "%s: Peer already rejected PRIMARY_DNS once, terminating IPCP connection",
     PPP_TERM_PRIMARY_DNS},
    {IPCP_OPT_DNS2, IPCP_REJ_DNS2, 2, &IPCP_Config::dns2, "%s: Requesting DNS2 %s",
     "%s: Peer already rejected SECONDARY_DNS once, terminating IPCP connection\n",
     PPP_TERM_SECONDARY_DNS},
    {IPCP_OPT_NBNS1, IPCP_REJ_NBNS1, 4, &IPCP_Config::nbns1, "%s: Requesting NBNS1 %s",
     "%s: Peer already rejected PRIMARY_NBNS once, terminating IPCP connection",
     PPP_TERM_PRIMARY_NBNS},
    {IPCP_OPT_NBNS2, IPCP_REJ_NBNS2, 4, &IPCP_Config::nbns2, "%s: Requesting NBNS2 %s",
     "%s: Peer already rejected SECONDARY_NBNS once, terminating IPCP connection\n",
     PPP_TERM_SECONDARY_NBNS},
};

} // namespace

int IPCP_BuildConfigureRequest(PPP_OptionList *options, FSM *record)
{
    IPCP_Record *rec = RecordOf(record);
    for (const AddressItem &item : kItems) {
        uint32_t mode = (rec->config.mode >> item.modeShift) & 3;
        if (mode >= 2)
            continue;   // do not ask
        if (rec->rejected & item.rejectedBit) {
            if (mode == 1) {
                IPCP_TRACE(item.alreadyRejected, record->name);
                PPP_ReportTermination(item.reason);
                return FSM_TERMINATE;
            }
            continue;
        }
        const uint32_t &value = rec->config.*item.value;
        IPCP_TRACE(item.requesting, record->name, IP_ToString(&value));
        uint8_t opt[6] = {item.type, 6};
        memcpy(opt + 2, &value, 4);
        if (!PPP_OptionListAppend(6, options, opt))
            return FSM_NOT_OK;
    }
    return FSM_OK;
}

// ---- the gateway's request ----

int IPCP_Recv_ConfigureRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *rejectList,
                               PPP_OptionList *nakList, FSM *record)
{
    IPCP_Record *rec = RecordOf(record);
    const char *name = record->name;
    IPCP_TRACE("%s: Receive Configure-Request:\n", name);
    *rejectList = {sRejectBuffer, 0, sizeof(sRejectBuffer)};
    *nakList = {sNakBuffer, 0, sizeof(sNakBuffer)};
    uint32_t acceptAddress = rec->config.accept & 3;
    uint32_t acceptDns = (rec->config.accept >> 2) & 3;
    int r = FSM_WalkOptions(packet, length, [&](const uint8_t *opt) {
        switch (opt[0]) {
        case IPCP_OPT_ADDRESS:
            if (acceptAddress <= 1) {
                if (opt[1] == 6)
                    memcpy(&rec->config.peerAddress, opt + 2, 4);
                return true;
            }
            IPCP_TRACE("%s: Received IP_ADDRESS, rejecting\n", name);
            break;
        case IPCP_OPT_DNS1:
        case IPCP_OPT_DNS2:
            if (acceptDns <= 1)
                return true;
            IPCP_TRACE(opt[0] == IPCP_OPT_DNS1 ? "%s: Received PRIMARY_DNS, rejecting\n"
                                               : "%s: Received SECONDARY_DNS, rejecting\n",
                       name);
            break;
        case IPCP_OPT_NBNS1:
            IPCP_TRACE("%s: Received PRIMARY_NBNS, rejecting\n", name);
            break;
        case IPCP_OPT_NBNS2:
            IPCP_TRACE("%s: Received SECONDARY_NBNS, rejecting\n", name);
            break;
        case IPCP_OPT_ADDRESSES:
            IPCP_TRACE("%s: Received IP_ADDRESSES, rejecting (unsupported)\n", name);
            break;
        case IPCP_OPT_COMPRESSION:
            IPCP_TRACE("%s: Received IP_COMPRESSION, rejecting (unsupported)\n", name);
            break;
        default:
            IPCP_TRACE("%s: Received unknown option %u, rejecting", name, (unsigned)opt[0]);
            break;
        }
        return PPP_OptionListAppend(opt[1], rejectList, opt) != 0;
    });
    if (r != FSM_OK)
        return r;
    return rejectList->used > 0 ? FSM_NOT_OK : FSM_OK;
}

int IPCP_Recv_ConfigureNak(const uint8_t *packet, uint32_t length, FSM *record)
{
    IPCP_Record *rec = RecordOf(record);
    const char *name = record->name;
    IPCP_TRACE("%s: Received Configure-Nak\n", name);
    IPCP_Config &cfg = rec->config;
    return FSM_WalkOptions(packet, length, [&](const uint8_t *opt) {
        uint32_t *target = nullptr;
        switch (opt[0]) {
        case IPCP_OPT_ADDRESS:
            if (opt[1] != 6)
                return false;
            IPCP_TRACE("%s: Peer Nak'ed IP_ADDRESS (telling us to try %s instead)\n", name,
                       IP_ToString(opt + 2));
            if ((cfg.mode & IPCP_MODE_ADDRESS_MASK) != 2)
                target = &cfg.address;
            break;
        case IPCP_OPT_DNS1:
            if (opt[1] != 6)
                return false;
            IPCP_TRACE("%s: Peer Nak'ed PRIMARY_DNS (telling us to try %s instead)\n", name,
                       IP_ToString(opt + 2));
            target = &cfg.dns1;
            break;
        case IPCP_OPT_DNS2:
            if (opt[1] != 6)
                return false;
            IPCP_TRACE("%s: Peer Nak'ed SECONDARY_DNS (telling us to try %s instead)\n", name,
                       IP_ToString(opt + 2));
            target = &cfg.dns2;
            break;
        case IPCP_OPT_NBNS1:
            IPCP_TRACE("%s: Peer Nak'ed PRIMARY_NBNS\n", name);
            if (opt[1] != 6)
                return false;
            target = &cfg.nbns1;
            break;
        case IPCP_OPT_NBNS2:
            IPCP_TRACE("%s: Peer Nak'ed SECONDARY_NBNS\n", name);
            if (opt[1] != 6)
                return false;
            target = &cfg.nbns2;
            break;
        case IPCP_OPT_ADDRESSES:
            IPCP_TRACE("%s: Peer Nak'ed IP_ADDRESSES\n", name);
            break;
        case IPCP_OPT_COMPRESSION:
            IPCP_TRACE("%s: Peer Nak'ed IP_COMPRESSION\n", name);
            break;
        default:
            break;
        }
        if (target)
            memcpy(target, opt + 2, 4);
        return true;
    });
}

int IPCP_Recv_ConfigureReject(const uint8_t *packet, uint32_t length, FSM *record)
{
    IPCP_Record *rec = RecordOf(record);
    const char *name = record->name;
    IPCP_TRACE("%s: Received Configure-Reject\n", name);
    return FSM_WalkOptions(packet, length, [&](const uint8_t *opt) {
        uint32_t bit = 0;
        const char *line = nullptr;
        switch (opt[0]) {
        case IPCP_OPT_ADDRESSES: bit = IPCP_REJ_ADDRESSES; line = "%s: Peer Rejected IP_ADDRESSES\n"; break;
        case IPCP_OPT_COMPRESSION: bit = IPCP_REJ_COMPRESSION; line = "%s: Peer Rejected IP_COMPRESSION\n"; break;
        case IPCP_OPT_ADDRESS: bit = IPCP_REJ_ADDRESS; line = "%s: Peer rejected IP_ADDRESS\n"; break;
        case IPCP_OPT_DNS1: bit = IPCP_REJ_DNS1; line = "%s: Peer rejected PRIMARY_DNS\n"; break;
        case IPCP_OPT_NBNS1: bit = IPCP_REJ_NBNS1; line = "%s: Peer rejected PRIMARY_NBNS\n"; break;
        case IPCP_OPT_DNS2: bit = IPCP_REJ_DNS2; line = "%s: Peer rejected SECONDARY_DNS\n"; break;
        case IPCP_OPT_NBNS2: bit = IPCP_REJ_NBNS2; line = "%s: Peer rejected SECONDARY_NBNS\n"; break;
        default:
            IPCP_TRACE("%s: Peer rejected unknown option %u\n", name, (unsigned)opt[0]);
            return true;
        }
        IPCP_TRACE(line, name);
        rec->rejected |= bit;
        return true;
    });
}

int IPCP_Recv_CodeReject(const uint8_t *, uint32_t, FSM *record)
{
    IPCP_TRACE("%s: Received Code-Reject\n", record->name);
    return 0;
}

int IPCP_ProtocolRejected(const uint8_t *, uint32_t, FSM *record)
{
    IPCP_TRACE("%s: Protocol rejected!\n", record->name);
    return 1;
}

void IPCP_Recv_TerminateRequest(FSM *)
{
    IPCP_TRACE("IPCP_Recv_TerminateRequest\n");
}

static void RaiseEvent(IPCP_Record *rec, uint32_t event)
{
    if (rec->config.eventCallback)
        rec->config.eventCallback(event, rec->config.user);
}

void IPCP_ThisLayerUp(FSM *record)
{
    RaiseEvent(RecordOf(record), PPP_EVENT_UP);
}

void IPCP_ThisLayerDown(FSM *record)
{
    RaiseEvent(RecordOf(record), PPP_EVENT_DOWN);
}

void IPCP_ThisLayerFinished(FSM *record)
{
    PPP_Close(RecordOf(record)->context);
}

void IPCP_LowerLayerUp(FSM *record)
{
    IPCP_TRACE("IPCP_LowerLayerUp\n");
    FSM_Up(record);
}

void IPCP_LowerLayerDown(FSM *record)
{
    IPCP_TRACE("IPCP_LowerLayerDown\n");
    FSM_Down(record);
}
