// The option-negotiation automaton (RFC 1661 section 4) over one FSM record.
//
// Order inside a transition: the actions first, then the state is written
// (which stops the restart timer on entering INITIAL, STARTING, CLOSED,
// STOPPED or OPENED), then the layer action, so that a layer action that
// re-enters the automaton sees the new state. The one exception is Down in
// STOPPED, which runs This-Layer-Started before it writes STARTING.
#include "fsm.h"

#include <string.h>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "timer.h"

#define FSM_TRACE(level, ...) GUI_Trace("PPP", (level), __VA_ARGS__)

static const char *const kStateNames[] = {"NONE",    "INITIAL",  "STARTING", "CLOSED",
                                          "STOPPED", "CLOSING",  "STOPPING", "REQ_SENT",
                                          "ACK_RCVD", "ACK_SENT", "OPENED"};

const char *FSM_StateName(uint32_t state)
{
    return state <= FSM_STATE_OPENED ? kStateNames[state] : "[unknown state]";
}

int FSM_NullHandler(const uint8_t *, uint32_t, FSM *)
{
    return 0;
}

int PPP_OptionListAppend(uint32_t count, PPP_OptionList *list, const void *bytes)
{
    uint32_t room = list->capacity > list->used ? list->capacity - list->used : 0;
    uint32_t n = count < room ? count : room;
    if (n > 0) {
        memcpy(list->data + list->used, bytes, n);
        list->used += n;
    }
    return n == count;
}

// ---- state, timer and layer actions ----

static void SetState(FSM *f, FSM_State next);

static void CancelTimer(FSM *f)
{
    FSM_TRACE(7, "%s: CancelTimer\n", f->name);
    if (f->timerArmed) {
        TIMER_Cancel(FSM_Timeout, f);
        f->timerArmed = 0;
    }
}

static void SetState(FSM *f, FSM_State next)
{
    FSM_TRACE(11, "%s: Changing state from %s to %s\n", f->name, FSM_StateName(f->state),
              FSM_StateName(next));
    f->state = next;
    switch (next) {
    case FSM_STATE_INITIAL:
    case FSM_STATE_STARTING:
    case FSM_STATE_CLOSED:
    case FSM_STATE_STOPPED:
    case FSM_STATE_OPENED:
        if (f->timerArmed)
            CancelTimer(f);
        break;
    default:
        break;
    }
}

// A layer action: its trace line, then the protocol's handler when it has one.
static void LayerAction(FSM *f, FSM_LayerAction handler, const char *action)
{
    FSM_TRACE(7, "%s: %s\n", f->name, action);
    if (handler)
        handler(f);
}

static void ThisLayerUp(FSM *f) { LayerAction(f, f->handlers.thisLayerUp, "This-Layer-Up"); }
static void ThisLayerDown(FSM *f) { LayerAction(f, f->handlers.thisLayerDown, "This-Layer-Down"); }
static void ThisLayerStarted(FSM *f) { LayerAction(f, f->handlers.thisLayerStarted, "This-Layer-Started"); }
static void ThisLayerFinished(FSM *f)
{
    LayerAction(f, f->handlers.thisLayerFinished, "This-Layer-Finished");
}

static void InitTimer(FSM *f)
{
    FSM_TRACE(7, "%s: InitTimer\n", f->name);
    f->restartCount = 0;
    f->timeout = f->restartTime;
}

static void ArmTimer(FSM *f, uint32_t seconds, uint32_t microseconds)
{
    if (TIMER_Add(seconds, microseconds, 1, FSM_Timeout, f))
        f->timerArmed = 1;
}

static void ZeroTimer(FSM *f)
{
    FSM_TRACE(7, "%s: ZeroTimer\n", f->name);
    f->restartCount = 0;
    f->timeout = f->restartTime;
    if (f->timerArmed)
        CancelTimer(f);
    ArmTimer(f, f->restartTime, 0);
}

static void Backoff(FSM *f)
{
    if (f->backoff) {
        f->timeout *= 2;
        if (f->timeout > FSM_MAX_TIMEOUT || f->timeout == 0)
            f->timeout = FSM_MAX_TIMEOUT;
    }
}

// ---- building packets ----

static PKT_Buffer *NewPacket(uint32_t room)
{
    PKT_Buffer *b = PKT_Alloc(nullptr);
    if (!b)
        return nullptr;
    PKT_Reset(b);
    PKT_Verify(b);
    if (!PKT_Reserve(b, room)) {
        PKT_Free(b);
        return nullptr;
    }
    return b;
}

static void WriteHeader(uint8_t *p, uint8_t code, uint8_t id, uint16_t length)
{
    p[0] = code;
    p[1] = id;
    PPP_Put16(p + 2, length);
}

static void SendPacket(FSM *f, PKT_Buffer *b, uint32_t length)
{
    b->length = (uint16_t)length;
    if (f->handlers.send)
        f->handlers.send(b, f->handlers.sendArgument);
    else
        PKT_Free(b);
}

// Restart counter exhausted (TO-). Returns 1 when it moved the state.
static int GiveUp(FSM *f)
{
    FSM_State next;
    switch (f->state) {
    case FSM_STATE_CLOSING:
        next = FSM_STATE_CLOSED;
        break;
    case FSM_STATE_STOPPING:
    case FSM_STATE_REQ_SENT:
    case FSM_STATE_ACK_RCVD:
    case FSM_STATE_ACK_SENT:
        next = FSM_STATE_STOPPED;
        break;
    default:
        return 0;
    }
    CancelTimer(f);
    SetState(f, next);
    ThisLayerFinished(f);
    return 1;
}

static int SendTerminateRequest(FSM *f);

// Gives up the layer after a handler answered 3. The state names where the
// caller must stop: the layer is now CLOSING (or further).
static void TerminateLayer(FSM *f)
{
    InitTimer(f);
    if (SendTerminateRequest(f))
        return;
    SetState(f, FSM_STATE_CLOSING);
    ThisLayerDown(f);
}

// scr. Returns 1 when it changed the state itself (TO- or the builder gave
// up): the event that called it must then stop.
static int SendConfigureRequest(FSM *f)
{
    FSM_TRACE(10, "%s: Send Configure-Request\n", f->name);
    if (f->restartCount >= f->maxConfigure)
        return GiveUp(f);
    if (!f->timerArmed) {
        if (f->restartCount == 0) {
            FSM_TRACE(10, "Registering resend in %ld micro seconds\n",
                      (long)f->firstDelayMs * 1000L);
            ArmTimer(f, f->firstDelayMs / 1000, (f->firstDelayMs % 1000) * 1000);
        } else {
            FSM_TRACE(10, "Registering resend in %d s\n", (int)f->timeout);
            ArmTimer(f, f->timeout, 0);
        }
    }
    Backoff(f);
    f->restartCount++;

    PKT_Buffer *b = NewPacket(FSM_LIST_CAPACITY);
    if (!b)
        return 0;
    uint8_t id = f->nextId++;
    f->requestId = id;
    PPP_OptionList list = {b->start, 4, FSM_LIST_CAPACITY};
    int r = f->handlers.buildRequest ? f->handlers.buildRequest(&list, f) : 0;
    if (r == FSM_OK) {
        WriteHeader(b->start, FSM_CODE_CONFIGURE_REQUEST, id, (uint16_t)list.used);
        SendPacket(f, b, list.used);
        return 0;
    }
    PKT_Free(b);
    if (r == FSM_TERMINATE) {
        TerminateLayer(f);
        return 1;
    }
    return 0;
}

// str. Returns 1 when it gave up (TO-) and so changed the state.
static int SendTerminateRequest(FSM *f)
{
    FSM_TRACE(10, "%s: Send Terminate-Request\n", f->name);
    if (f->restartCount >= f->maxTerminate)
        return GiveUp(f);
    if (!f->timerArmed) {
        FSM_TRACE(10, "Registering resend in %d s\n", (int)f->timeout);
        ArmTimer(f, f->timeout, 0);
    }
    Backoff(f);
    f->restartCount++;
    PKT_Buffer *b = NewPacket(4);
    if (!b)
        return 0;
    uint8_t id = f->nextId++;
    f->terminateId = id;
    WriteHeader(b->start, FSM_CODE_TERMINATE_REQUEST, id, 4);
    SendPacket(f, b, 4);
    return 0;
}

// sca: repeats the request's identifier, length and options.
static void SendConfigureAck(FSM *f, const uint8_t *req, uint32_t length)
{
    FSM_TRACE(7, "%s: Send Configure-Ack\n", f->name);
    if (length < 4)
        return;
    PKT_Buffer *b = NewPacket(length);
    if (!b)
        return;
    WriteHeader(b->start, FSM_CODE_CONFIGURE_ACK, req[1], (uint16_t)length);
    memcpy(b->start + 4, req + 4, length - 4);
    SendPacket(f, b, length);
}

static int ListHasData(const PPP_OptionList *l)
{
    return l->data != nullptr && l->used != 0;
}

// scn: the Reject list wins over the Nak list. A list that does not fit
// whole behind the header is not sent at all.
static void SendConfigureNakReject(FSM *f, const uint8_t *req, const PPP_OptionList *rej,
                                   const PPP_OptionList *nak)
{
    uint8_t code;
    const PPP_OptionList *src;
    if (ListHasData(rej)) {
        FSM_TRACE(10, "%s: Send Configure-Reject\n", f->name);
        code = FSM_CODE_CONFIGURE_REJECT;
        src = rej;
    } else if (ListHasData(nak)) {
        FSM_TRACE(10, "%s: Send Configure-Nak\n", f->name);
        code = FSM_CODE_CONFIGURE_NAK;
        src = nak;
    } else {
        return;
    }
    PKT_Buffer *b = NewPacket(FSM_LIST_CAPACITY);
    if (!b)
        return;
    PPP_OptionList list = {b->start, 4, FSM_LIST_CAPACITY};
    if (!PPP_OptionListAppend(src->used, &list, src->data)) {
        PKT_Free(b);
        return;
    }
    WriteHeader(b->start, code, req[1], (uint16_t)list.used);
    SendPacket(f, b, list.used);
}

// sta: with the received packet's identifier, or a fresh one without.
static void SendTerminateAck(FSM *f, const uint8_t *received)
{
    FSM_TRACE(10, "%s: Send Terminate-Ack\n", f->name);
    PKT_Buffer *b = NewPacket(4);
    if (!b)
        return;
    uint8_t id = received ? received[1] : f->nextId++;
    WriteHeader(b->start, FSM_CODE_TERMINATE_ACK, id, 4);
    SendPacket(f, b, 4);
}

// scj: the rejected packet cut to the peer MRU, the header on top.
static void SendCodeReject(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Send Code-Reject\n", f->name);
    uint32_t n = length < f->peerMRU ? length : f->peerMRU;
    PKT_Buffer *b = NewPacket(n + 4);
    if (!b)
        return;
    WriteHeader(b->start, FSM_CODE_CODE_REJECT, f->nextId++, (uint16_t)(n + 4));
    memcpy(b->start + 4, packet, n);
    SendPacket(f, b, n + 4);
}

// ---- administrative events ----

void FSM_Init(FSM *f)
{
    if (f->firstDelayMs == 0)
        f->firstDelayMs = 150;
    if (f->maxConfigure == 0)
        f->maxConfigure = 5;
    if (f->maxTerminate == 0)
        f->maxTerminate = 2;
    if (f->restartTime == 0)
        f->restartTime = f->backoff ? 1 : 3;
    f->peerMRU = FSM_DEFAULT_MRU;
    SetState(f, FSM_STATE_INITIAL);
    if (f->timerArmed)
        CancelTimer(f);
}

void FSM_Up(FSM *f)
{
    switch (f->state) {
    case FSM_STATE_INITIAL:
        SetState(f, FSM_STATE_CLOSED);
        break;
    case FSM_STATE_STARTING:
        InitTimer(f);
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        break;
    default:
        break;
    }
}

void FSM_Down(FSM *f)
{
    switch (f->state) {
    case FSM_STATE_CLOSED:
    case FSM_STATE_CLOSING:
        SetState(f, FSM_STATE_INITIAL);
        break;
    case FSM_STATE_STOPPED:
        ThisLayerStarted(f);
        SetState(f, FSM_STATE_STARTING);
        break;
    case FSM_STATE_STOPPING:
    case FSM_STATE_REQ_SENT:
    case FSM_STATE_ACK_RCVD:
    case FSM_STATE_ACK_SENT:
        SetState(f, FSM_STATE_STARTING);
        break;
    case FSM_STATE_OPENED:
        SetState(f, FSM_STATE_STARTING);
        ThisLayerDown(f);
        break;
    default:
        break;
    }
}

void FSM_Open(FSM *f)
{
    switch (f->state) {
    case FSM_STATE_INITIAL:
        SetState(f, FSM_STATE_STARTING);
        ThisLayerStarted(f);
        break;
    case FSM_STATE_CLOSED:
        InitTimer(f);
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        break;
    case FSM_STATE_CLOSING:
        SetState(f, FSM_STATE_STOPPING);
        FSM_Down(f);
        FSM_Up(f);
        break;
    case FSM_STATE_STOPPED:
    case FSM_STATE_STOPPING:
    case FSM_STATE_OPENED:
        FSM_Down(f);
        FSM_Up(f);
        break;
    default:
        break;
    }
}

void FSM_Close(FSM *f)
{
    switch (f->state) {
    case FSM_STATE_STARTING:
        SetState(f, FSM_STATE_INITIAL);
        ThisLayerFinished(f);
        break;
    case FSM_STATE_STOPPED:
        SetState(f, FSM_STATE_CLOSED);
        break;
    case FSM_STATE_STOPPING:
        SetState(f, FSM_STATE_CLOSING);
        break;
    case FSM_STATE_REQ_SENT:
    case FSM_STATE_ACK_RCVD:
    case FSM_STATE_ACK_SENT:
        InitTimer(f);
        if (SendTerminateRequest(f))
            return;
        SetState(f, FSM_STATE_CLOSING);
        break;
    case FSM_STATE_OPENED:
        InitTimer(f);
        if (SendTerminateRequest(f))
            return;
        SetState(f, FSM_STATE_CLOSING);
        ThisLayerDown(f);
        break;
    default:
        break;
    }
}

void FSM_Timeout(void *record)
{
    FSM *f = static_cast<FSM *>(record);
    FSM_TRACE(7, "%s: Resend #%lu\n", f->name, (unsigned long)f->restartCount);
    f->timerArmed = 0;
    switch (f->state) {
    case FSM_STATE_CLOSING:
    case FSM_STATE_STOPPING:
        SendTerminateRequest(f);
        break;
    case FSM_STATE_REQ_SENT:
    case FSM_STATE_ACK_SENT:
        SendConfigureRequest(f);
        break;
    case FSM_STATE_ACK_RCVD:
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        break;
    default:
        break;
    }
}

int FSM_LayerRunning(const FSM *f)
{
    switch (f->state) {
    case FSM_STATE_REQ_SENT:
    case FSM_STATE_ACK_RCVD:
    case FSM_STATE_ACK_SENT:
    case FSM_STATE_OPENED:
        return 1;
    default:
        return 0;
    }
}

// A handler answered 3. Without a lower layer (INITIAL, STARTING) there is no
// link to carry a Terminate-Request; a layer that is closed or closing has
// already told its owner it went down, and a late packet must not start a
// second termination or raise This-Layer-Down again.
static void HandlerGaveUp(FSM *f)
{
    if (!FSM_LayerRunning(f))
        return;
    TerminateLayer(f);
}

// ---- received packets ----

void FSM_Recv_UnknownCode(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(0, "%s: Receive Unknown code %u\n", f->name, (unsigned)packet[0]);
    if (f->state == FSM_STATE_INITIAL || f->state == FSM_STATE_STARTING)
        return;
    SendCodeReject(f, packet, length);
}

void FSM_Recv_ConfigureRequest(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Configure-Request\n", f->name);
    if (!f->handlers.configureRequest) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    PPP_OptionList rej = {nullptr, 0, 0};
    PPP_OptionList nak = {nullptr, 0, 0};
    int r = f->handlers.configureRequest(packet, length, &rej, &nak, f);
    if (r == FSM_TERMINATE) {
        HandlerGaveUp(f);
        return;
    }
    if (r == FSM_OK) {
        switch (f->state) {
        case FSM_STATE_CLOSED:
            SendTerminateAck(f, packet);
            break;
        case FSM_STATE_STOPPED:
            InitTimer(f);
            if (SendConfigureRequest(f))
                return;
            SendConfigureAck(f, packet, length);
            SetState(f, FSM_STATE_ACK_SENT);
            break;
        case FSM_STATE_REQ_SENT:
            SendConfigureAck(f, packet, length);
            SetState(f, FSM_STATE_ACK_SENT);
            break;
        case FSM_STATE_ACK_RCVD:
            SendConfigureAck(f, packet, length);
            SetState(f, FSM_STATE_OPENED);
            ThisLayerUp(f);
            break;
        case FSM_STATE_ACK_SENT:
            SendConfigureAck(f, packet, length);
            break;
        case FSM_STATE_OPENED:
            if (SendConfigureRequest(f))
                return;
            SendConfigureAck(f, packet, length);
            SetState(f, FSM_STATE_ACK_SENT);
            ThisLayerDown(f);
            break;
        default:
            break;
        }
    } else if (r == FSM_NOT_OK) {
        switch (f->state) {
        case FSM_STATE_CLOSED:
            SendTerminateAck(f, packet);
            break;
        case FSM_STATE_STOPPED:
            InitTimer(f);
            if (SendConfigureRequest(f))
                return;
            SendConfigureNakReject(f, packet, &rej, &nak);
            SetState(f, FSM_STATE_REQ_SENT);
            break;
        case FSM_STATE_REQ_SENT:
        case FSM_STATE_ACK_RCVD:
            SendConfigureNakReject(f, packet, &rej, &nak);
            break;
        case FSM_STATE_ACK_SENT:
            SendConfigureNakReject(f, packet, &rej, &nak);
            SetState(f, FSM_STATE_REQ_SENT);
            break;
        case FSM_STATE_OPENED:
            if (SendConfigureRequest(f))
                return;
            SendConfigureNakReject(f, packet, &rej, &nak);
            SetState(f, FSM_STATE_REQ_SENT);
            ThisLayerDown(f);
            break;
        default:
            break;
        }
    }
}

void FSM_Recv_ConfigureAck(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Configure-Ack\n", f->name);
    if (!f->handlers.configureAck) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    if (packet[1] != f->requestId)
        return;
    if (f->handlers.configureAck(packet, length, f) != FSM_OK)
        return;
    switch (f->state) {
    case FSM_STATE_CLOSED:
    case FSM_STATE_STOPPED:
        SendTerminateAck(f, packet);
        break;
    case FSM_STATE_REQ_SENT:
        InitTimer(f);
        SetState(f, FSM_STATE_ACK_RCVD);
        break;
    case FSM_STATE_ACK_RCVD:
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        break;
    case FSM_STATE_ACK_SENT:
        InitTimer(f);
        SetState(f, FSM_STATE_OPENED);
        ThisLayerUp(f);
        break;
    case FSM_STATE_OPENED:
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        ThisLayerDown(f);
        break;
    default:
        break;
    }
}

// RCN and RCJ share one row.
static void ConfigureNakOrReject(FSM *f, const uint8_t *packet, uint32_t length,
                                 FSM_PacketHandler check)
{
    if (!check) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    if (packet[1] != f->requestId)
        return;
    int r = check(packet, length, f);
    if (r == FSM_TERMINATE) {
        HandlerGaveUp(f);
        return;
    }
    if (r != FSM_OK)
        return;
    switch (f->state) {
    case FSM_STATE_CLOSED:
    case FSM_STATE_STOPPED:
        SendTerminateAck(f, nullptr);
        break;
    case FSM_STATE_REQ_SENT:
    case FSM_STATE_ACK_SENT:
        InitTimer(f);
        SendConfigureRequest(f);
        break;
    case FSM_STATE_ACK_RCVD:
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        break;
    case FSM_STATE_OPENED:
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        ThisLayerDown(f);
        break;
    default:
        break;
    }
}

void FSM_Recv_ConfigureNak(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Configure-Nak\n", f->name);
    ConfigureNakOrReject(f, packet, length, f->handlers.configureNak);
}

void FSM_Recv_ConfigureReject(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Configure-Reject\n", f->name);
    ConfigureNakOrReject(f, packet, length, f->handlers.configureReject);
}

void FSM_Recv_TerminateRequest(FSM *f, const uint8_t *packet, uint32_t)
{
    FSM_TRACE(10, "%s: Receive Terminate-Request\n", f->name);
    if (f->handlers.terminateRequestNotice)
        f->handlers.terminateRequestNotice(f);
    switch (f->state) {
    case FSM_STATE_CLOSED:
    case FSM_STATE_STOPPED:
    case FSM_STATE_CLOSING:
    case FSM_STATE_STOPPING:
    case FSM_STATE_REQ_SENT:
        SendTerminateAck(f, packet);
        break;
    case FSM_STATE_ACK_RCVD:
    case FSM_STATE_ACK_SENT:
        SendTerminateAck(f, packet);
        SetState(f, FSM_STATE_REQ_SENT);
        break;
    case FSM_STATE_OPENED:
        ZeroTimer(f);
        SendTerminateAck(f, packet);
        SetState(f, FSM_STATE_STOPPING);
        ThisLayerDown(f);
        break;
    default:
        break;
    }
}

void FSM_Recv_TerminateAck(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Terminate-Ack\n", f->name);
    if (length < 4 || packet[1] != f->terminateId)
        return;
    switch (f->state) {
    case FSM_STATE_CLOSING:
        SetState(f, FSM_STATE_CLOSED);
        ThisLayerFinished(f);
        break;
    case FSM_STATE_STOPPING:
        SetState(f, FSM_STATE_STOPPED);
        ThisLayerFinished(f);
        break;
    case FSM_STATE_ACK_RCVD:
        SetState(f, FSM_STATE_REQ_SENT);
        break;
    case FSM_STATE_OPENED:
        if (SendConfigureRequest(f))
            return;
        SetState(f, FSM_STATE_REQ_SENT);
        ThisLayerDown(f);
        break;
    default:
        break;
    }
}

void FSM_ApplyRejectVerdict(int verdict, FSM *f)
{
    if (verdict == 0) {
        if (f->state == FSM_STATE_ACK_RCVD)
            SetState(f, FSM_STATE_REQ_SENT);
        return;
    }
    if (verdict != 1)
        return;
    switch (f->state) {
    case FSM_STATE_CLOSED:
    case FSM_STATE_STOPPED:
        ThisLayerFinished(f);
        break;
    case FSM_STATE_CLOSING:
        // The state is written before This-Layer-Finished: the layer action
        // may close other layers that re-enter this record.
        SetState(f, FSM_STATE_CLOSED);
        ThisLayerFinished(f);
        break;
    case FSM_STATE_STOPPING:
    case FSM_STATE_REQ_SENT:
    case FSM_STATE_ACK_RCVD:
    case FSM_STATE_ACK_SENT:
        SetState(f, FSM_STATE_STOPPED);
        ThisLayerFinished(f);
        break;
    case FSM_STATE_OPENED:
        InitTimer(f);
        if (SendTerminateRequest(f))
            return;
        SetState(f, FSM_STATE_STOPPING);
        ThisLayerDown(f);
        break;
    default:
        break;
    }
}

void FSM_Recv_CodeReject(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Code-Reject\n", f->name);
    if (!f->handlers.codeReject) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    FSM_ApplyRejectVerdict(f->handlers.codeReject(packet, length, f), f);
}

void FSM_Recv_ProtocolReject(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Protocol-Reject\n", f->name);
    if (!f->handlers.protocolReject) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    FSM *target = f;
    int verdict = f->handlers.protocolReject(packet, length, &target);
    FSM_ApplyRejectVerdict(verdict, target ? target : f);
}

// Echo-Request and Reset-Request: the reply is built in place and the
// handler appends its body.
static void Reply(FSM *f, const uint8_t *packet, uint32_t length, FSM_ReplyHandler handler,
                  uint8_t replyCode, const char *sentLine)
{
    if (!handler) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    PKT_Buffer *b = NewPacket(FSM_LIST_CAPACITY);
    if (!b)
        return;
    PPP_OptionList reply = {b->start, 4, FSM_LIST_CAPACITY};
    if (handler(packet, length, &reply, f) != FSM_OK) {
        PKT_Free(b);
        return;
    }
    FSM_TRACE(10, sentLine, f->name);
    WriteHeader(b->start, replyCode, packet[1], (uint16_t)reply.used);
    SendPacket(f, b, reply.used);
}

void FSM_Recv_EchoRequest(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Echo-Request\n", f->name);
    Reply(f, packet, length, f->handlers.echoRequest, FSM_CODE_ECHO_REPLY,
          "%s: Sending Echo-Reply\n");
}

void FSM_Recv_EchoReply(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Echo-Reply\n", f->name);
    if (packet[1] != f->echoId)
        return;
    if (!f->handlers.echoReply) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    f->handlers.echoReply(packet, length, f);
}

void FSM_Recv_DiscardRequest(FSM *f, const uint8_t *packet, uint32_t length)
{
    if (!f->handlers.discardRequest) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    f->handlers.discardRequest(packet, length, f);
}

void FSM_Recv_ResetRequest(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Reset-Request\n", f->name);
    Reply(f, packet, length, f->handlers.resetRequest, FSM_CODE_RESET_ACK,
          "%s: Sending Reset-Reply\n");
}

void FSM_Recv_ResetReply(FSM *f, const uint8_t *packet, uint32_t length)
{
    FSM_TRACE(10, "%s: Receive Reset-Reply\n", f->name);
    if (packet[1] != f->resetId)
        return;
    if (!f->handlers.resetReply) {
        FSM_Recv_UnknownCode(f, packet, length);
        return;
    }
    f->handlers.resetReply(packet, length, f);
}

void FSM_Input(const uint8_t *packet, uint32_t count, FSM *f)
{
    if (count < 4)
        return;
    uint32_t length = PPP_Get16(packet + 2);
    if (length > count)
        return;
    switch (packet[0]) {
    case FSM_CODE_CONFIGURE_REQUEST: FSM_Recv_ConfigureRequest(f, packet, length); break;
    case FSM_CODE_CONFIGURE_ACK: FSM_Recv_ConfigureAck(f, packet, length); break;
    case FSM_CODE_CONFIGURE_NAK: FSM_Recv_ConfigureNak(f, packet, length); break;
    case FSM_CODE_CONFIGURE_REJECT: FSM_Recv_ConfigureReject(f, packet, length); break;
    case FSM_CODE_TERMINATE_REQUEST: FSM_Recv_TerminateRequest(f, packet, length); break;
    case FSM_CODE_TERMINATE_ACK: FSM_Recv_TerminateAck(f, packet, length); break;
    case FSM_CODE_CODE_REJECT: FSM_Recv_CodeReject(f, packet, length); break;
    case FSM_CODE_PROTOCOL_REJECT: FSM_Recv_ProtocolReject(f, packet, length); break;
    case FSM_CODE_ECHO_REQUEST: FSM_Recv_EchoRequest(f, packet, length); break;
    case FSM_CODE_ECHO_REPLY: FSM_Recv_EchoReply(f, packet, length); break;
    case FSM_CODE_DISCARD_REQUEST: FSM_Recv_DiscardRequest(f, packet, length); break;
    case FSM_CODE_IDENTIFICATION: break;
    case FSM_CODE_RESET_REQUEST: FSM_Recv_ResetRequest(f, packet, length); break;
    case FSM_CODE_RESET_ACK: FSM_Recv_ResetReply(f, packet, length); break;
    default: FSM_Recv_UnknownCode(f, packet, length); break;
    }
}
