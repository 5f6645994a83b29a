#include "vsp.h"

#include <string.h>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "ppp.h"

namespace {

const uint8_t kOrganisation[3] = {0x40, 0x84, 0x93};
const uint8_t kKind = 0x00;

enum {
    VSP_INDEX_LIMIT = 32,           // indexes are bits of a 32-bit mask
    VSP_OPTION_HEADER = 4,          // index, type, 16-bit value length
    VSP_PACKET_HEADER = 4 + VSP_HEADER_LENGTH,
    VSP_REJECT_CAPACITY = 1500
};

// The Reject list of a received Configure-Request; one thread drives the
// engine, and the automaton sends the list before the next request arrives.
uint8_t g_rejectBuffer[VSP_REJECT_CAPACITY];

VSP_Record *Record(FSM *fsm)
{
    return reinterpret_cast<VSP_Record *>(fsm);
}

void Event(VSP_Record *record, uint32_t event)
{
    if (record->config.eventCallback)
        record->config.eventCallback(event, record->config.user);
}

// Length, organisation identifier, kind and the sender's magic number.
int HeaderValid(const uint8_t *packet, uint32_t length, uint32_t magic)
{
    if (length < VSP_PACKET_HEADER)
        return 0;
    if (memcmp(packet + 8, kOrganisation, sizeof(kOrganisation)) != 0 || packet[11] != kKind)
        return 0;
    return PPP_Get32(packet + 4) == magic;
}

// Walks the options of a Configure-Request or Configure-Ack. Calls visit for
// each whole option and stops quietly at a truncated one. Returns 1 when the
// walk ended, 0 at an index out of range, -1 when visit refused to go on.
template <typename Visit>
int WalkOptions(const uint8_t *packet, uint32_t length, const VSP_Record *record, Visit visit)
{
    uint32_t pos = VSP_PACKET_HEADER;
    while (length - pos >= VSP_OPTION_HEADER) {
        uint8_t index = packet[pos];
        uint8_t type = packet[pos + 1];
        uint32_t valueLength = PPP_Get16(packet + pos + 2);
        if (index >= VSP_INDEX_LIMIT)
            return 0;
        if (valueLength > length - pos - VSP_OPTION_HEADER)
            break;
        GUI_Trace("PPP", 7, "%s: Received Index: %u, Type: %u (len: %u)", record->fsm.name,
                  (uint32_t)index, (uint32_t)type, valueLength);
        if (!visit(index, type, packet + pos + VSP_OPTION_HEADER, (uint16_t)valueLength))
            return -1;
        pos += VSP_OPTION_HEADER + valueLength;
    }
    return 1;
}

// The index bytes of a Configure-Nak or Configure-Reject.
int RecvRefusal(const uint8_t *packet, uint32_t length, VSP_Record *record)
{
    if (!HeaderValid(packet, length, record->context->peerMagic)) {
        GUI_Trace("PPP", 5, "Failed to parser packet");
        return FSM_NOT_OK;
    }
    // All indexes are checked before any is taken, so a bad packet leaves no trace.
    uint32_t bits = 0;
    for (uint32_t pos = VSP_PACKET_HEADER; pos < length; pos++) {
        uint8_t index = packet[pos];
        if (index >= VSP_INDEX_LIMIT || index >= record->config.optionCount) {
            GUI_Trace("PPP", 5, "Failed to parser packet");
            return FSM_NOT_OK;
        }
        bits |= 1u << index;
    }
    record->refusedIndexes |= bits;
    return FSM_OK;
}

} // namespace

int VSP_WriteHeader(PPP_OptionList *list, VSP_Record *record)
{
    uint8_t header[VSP_HEADER_LENGTH];
    PPP_Put32(header, record->context->ourMagic);
    memcpy(header + 4, kOrganisation, sizeof(kOrganisation));
    header[7] = kKind;
    return PPP_OptionListAppend(sizeof(header), list, header);
}

void VSP_Init(PPP_Context *context, VSP_Record *record, VSP_Config *config)
{
    if (config->optionCount > VSP_MAX_OPTIONS)
        config->optionCount = VSP_MAX_OPTIONS;

    memset(&record->fsm, 0, sizeof(record->fsm));
    record->fsm.maxConfigure = config->maxConfigure;
    record->fsm.maxTerminate = config->maxTerminate;
    record->fsm.restartTime = config->restartTime;
    record->fsm.backoff = config->backoff;

    FSM_Handlers *h = &record->fsm.handlers;
    h->send = VSP_Send;
    h->sendArgument = record;
    h->buildRequest = VSP_BuildConfigureRequest;
    h->configureRequest = VSP_Recv_ConfigureRequest;
    h->configureAck = VSP_Recv_ConfigureAck;
    h->configureNak = VSP_Recv_ConfigureNak;
    h->configureReject = VSP_Recv_ConfigureReject;
    h->codeReject = VSP_Recv_CodeReject;
    h->protocolRejected = VSP_ProtocolRejected;
    h->thisLayerUp = VSP_ThisLayerUp;
    h->thisLayerDown = VSP_ThisLayerDown;
    h->thisLayerFinished = VSP_ThisLayerFinished;
    h->lowerLayerUp = VSP_LowerLayerUp;
    h->lowerLayerDown = VSP_LowerLayerDown;

    context->vsp = record;
    record->context = context;
    record->config = *config;
    FSM_Init(&record->fsm);
}

void VSP_Open(VSP_Record *record)
{
    GUI_Trace("PPP", 7, "%s: Open", record->fsm.name);
    if (!PPP_IsNetworkPhase(record->context))
        LCP_Open(record->context);
    FSM_Open(&record->fsm);
}

void VSP_Close(VSP_Record *record)
{
    GUI_Trace("PPP", 7, "%s: Close", record->fsm.name);
    FSM_Close(&record->fsm);
}

void VSP_Send(PKT_Buffer *packet, void *argument)
{
    VSP_Record *record = static_cast<VSP_Record *>(argument);
    PPP_OutputCallback output = record->context->config.output;
    uint8_t *room = output ? PKT_Prepend(packet, packet->start, 2) : nullptr;
    if (!room) {
        PKT_Free(packet);
        return;
    }
    PPP_Put16(room, VSP_PROTOCOL);
    output(packet, record->config.user);
}

int VSP_BuildConfigureRequest(PPP_OptionList *options, FSM *fsm)
{
    VSP_Record *record = Record(fsm);
    if (!VSP_WriteHeader(options, record))
        return 1;
    if (!record->config.addOption || record->config.optionCount == 0)
        return 0;

    uint32_t added = 0;
    uint32_t settled = record->ackedIndexes | record->refusedIndexes;
    for (uint32_t index = 0; index < record->config.optionCount; index++) {
        if (settled & (1u << index))
            continue;
        uint32_t mark = options->used;
        if (!record->config.addOption((uint8_t)index, options, record->config.user)) {
            options->used = mark; // never a partial option on the wire
            return added == 0 ? 1 : 0;
        }
        added++;
    }
    return 0;
}

int VSP_Recv_ConfigureRequest(const uint8_t *packet, uint32_t length, PPP_OptionList *rejectList,
                              PPP_OptionList * /*nakList*/, FSM *fsm)
{
    VSP_Record *record = Record(fsm);
    rejectList->data = g_rejectBuffer;
    rejectList->used = 0;
    rejectList->capacity = sizeof(g_rejectBuffer);

    if (!HeaderValid(packet, length, record->context->peerMagic))
        return FSM_DROP;

    int refused = 0;
    int walked = WalkOptions(packet, length, record,
                             [&](uint8_t index, uint8_t type, const uint8_t *value, uint16_t n) {
        VSP_OptionCallback accept = record->config.optionCallback;
        if (accept && accept(index, type, value, n, record->config.user))
            return 1;
        if (rejectList->used == 0 && !VSP_WriteHeader(rejectList, record))
            return 0;
        if (!PPP_OptionListAppend(1, rejectList, &index))
            return 0;
        refused = 1;
        return 1;
    });
    if (walked != 1)
        return FSM_DROP;
    return refused ? FSM_NOT_OK : FSM_OK;
}

int VSP_Recv_ConfigureAck(const uint8_t *packet, uint32_t length, FSM *fsm)
{
    VSP_Record *record = Record(fsm);
    // The Ack repeats our own request, so it carries our magic number.
    if (!HeaderValid(packet, length, record->context->ourMagic)) {
        GUI_Trace("PPP", 5, "Failed to parser packet");
        return FSM_DROP;
    }
    uint32_t bits = 0;
    int walked = WalkOptions(packet, length, record,
                             [&](uint8_t index, uint8_t, const uint8_t *, uint16_t) {
        bits |= 1u << index;
        return 1;
    });
    if (walked != 1) {
        GUI_Trace("PPP", 5, "Failed to parser packet");
        return FSM_DROP;
    }
    record->ackedIndexes |= bits;
    return FSM_OK;
}

int VSP_Recv_ConfigureNak(const uint8_t *packet, uint32_t length, FSM *fsm)
{
    return RecvRefusal(packet, length, Record(fsm));
}

int VSP_Recv_ConfigureReject(const uint8_t *packet, uint32_t length, FSM *fsm)
{
    return RecvRefusal(packet, length, Record(fsm));
}

int VSP_Recv_CodeReject(const uint8_t *, uint32_t, FSM *fsm)
{
    GUI_Trace("PPP", 7, "%s: Received Code-Reject\n", fsm->name);
    return FSM_DROP;
}

int VSP_ProtocolRejected(const uint8_t *, uint32_t, FSM *fsm)
{
    VSP_Record *record = Record(fsm);
    GUI_Trace("PPP", 7, "%s: Protocol rejected!\n", record->fsm.name);
    record->protocolRejected = 1;
    return FSM_NOT_OK;
}

void VSP_ThisLayerUp(FSM *fsm)
{
    VSP_Record *record = Record(fsm);
    GUI_Trace("PPP", 7, "%s: This-Layer-Up\n", record->fsm.name);
    Event(record, PPP_EVENT_UP);
}

void VSP_ThisLayerDown(FSM *fsm)
{
    VSP_Record *record = Record(fsm);
    GUI_Trace("PPP", 7, "%s: This-Layer-Down\n", record->fsm.name);
    Event(record, PPP_EVENT_DOWN);
}

void VSP_ThisLayerFinished(FSM *fsm)
{
    VSP_Record *record = Record(fsm);
    GUI_Trace("PPP", 7, "%s: This-Layer-Finished\n", record->fsm.name);
    if (record->protocolRejected && record->config.surviveProtocolReject) {
        // The gateway does not run the protocol; the link goes on without it.
        Event(record, PPP_EVENT_FINISHED);
        return;
    }
    // The protocol gave up on a gateway that runs it (or may not be rejected):
    // the link is closed, and the core must not take this for a finished
    // exchange, so no FINISHED goes out.
    PPP_Close(record->context);
}

void VSP_LowerLayerUp(FSM *fsm)
{
    GUI_Trace("PPP", 10, "%s: Lower-Layer-Up", fsm->name);
    FSM_Up(fsm);
}

void VSP_LowerLayerDown(FSM *fsm)
{
    GUI_Trace("PPP", 10, "%s: Lower-Layer-Down", fsm->name);
    FSM_Down(fsm);
}
