// PPP-over-TLS framing and the glue between the connection and the PPP engine.
#include "net_ppp.h"

#include <string.h>

#include <new>

#include "cp_wrapper.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "net_ssl.h"
#include "pcap_writer.h"
#include "ppp.h"
#include "str.h"
#include "tunlex.h"

static const char *const kModule = "net_ppp";

enum : uint32_t {
    IPCP_CORE_MODE = 1,       // address required, DNS and NBNS requested
    IPCP_CORE_ACCEPT = 0x28,  // the gateway's address acknowledged, its DNS options rejected
    VSP_CORE_MAX_CONFIGURE = 5,
    VSP_OPTION_URL = 1,
    PPP_CORE_ECHO_INTERVAL = 8,
    PPP_CORE_MRU = 1400,
    PPP_CORE_TEXT_CHARS = 63,
    PPP_CORE_RADIUS_CHARS = 255
};

static TUNLEX_Connection *Conn(void *context)
{
    return static_cast<TUNLEX_Connection *>(context);
}

static void PutBE32(uint8_t *out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

static uint32_t GetBE32(const uint8_t *in)
{
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | in[3];
}

void TUNLEX_FrameHeaderEncode(const TUNLEX_FrameHeader *header, uint8_t out[TUNLEX_FRAME_HEADER_SIZE])
{
    PutBE32(out, header->magic);
    PutBE32(out + 4, header->length);
}

void TUNLEX_FrameHeaderDecode(const uint8_t in[TUNLEX_FRAME_HEADER_SIZE], TUNLEX_FrameHeader *header)
{
    header->magic = GetBE32(in);
    header->length = GetBE32(in + 4);
}

const char *NETPPP_EventName(uint32_t event)
{
    switch (event) {
    case PPP_EVENT_UP: return "PPP_EVENT_UP";
    case PPP_EVENT_DOWN: return "PPP_EVENT_DOWN";
    case PPP_EVENT_STARTED: return "PPP_EVENT_STARTED";
    case PPP_EVENT_FINISHED: return "PPP_EVENT_FINISHED";
    default: return "N/A";
    }
}

// ---- the link of one attempt ----

static void FillPppConfig(PPP_Config *cfg, TUNLEX_Connection *conn)
{
    cfg->backoff = 1;
    cfg->echoInterval = PPP_CORE_ECHO_INTERVAL;
    cfg->maxLostEchoes = 1;
    cfg->skipEchoOnTraffic = 1;
    cfg->mru = PPP_CORE_MRU;
    cfg->perform = PPP_AUTH_ALL;
    cfg->demand = PPP_AUTH_NONE;
    STR_Copy(cfg->userName, sizeof cfg->userName, conn->config.user, PPP_CORE_TEXT_CHARS);
    STR_Copy(cfg->password, sizeof cfg->password, conn->config.password, PPP_CORE_TEXT_CHARS);
    STR_LCopy(cfg->passwordUtf8, conn->config.passwordUtf8, sizeof cfg->passwordUtf8);
    STR_Copy(cfg->radiusState, sizeof cfg->radiusState, conn->config.RadiusState,
             PPP_CORE_RADIUS_CHARS);
    STR_Copy(cfg->otp, sizeof cfg->otp, conn->config.otp, PPP_CORE_TEXT_CHARS);
    cfg->output = NETPPP_Output;
    cfg->eventCallback = PPPHandle_PPP_EventHandler;
    cfg->otpPromptCallback = NETPPP_SaveCredentials;
    cfg->user = conn;
}

int NETPPP_Start(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    PPP_Context *ppp = new (std::nothrow) PPP_Context();
    conn->ppp = ppp;
    if (!ppp) {
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Failed to allocate PPP context\n");
        return 0;
    }

    PPP_Config pppConfig = {};
    FillPppConfig(&pppConfig, conn);
    PPP_SetTerminationSink(CP_PppTerminated);
    PPP_Init(ppp, &pppConfig);

    IPCP_Config ipcpConfig = {};
    ipcpConfig.mode = IPCP_CORE_MODE;
    ipcpConfig.accept = IPCP_CORE_ACCEPT;
    ipcpConfig.eventCallback = PPPHandle_IPCP_EventHandler;
    ipcpConfig.user = conn;
    IPCP_Init(ppp, &ppp->ipcpRecord, &ipcpConfig);

    VSP_Config vspConfig = {};
    vspConfig.maxConfigure = VSP_CORE_MAX_CONFIGURE;
    vspConfig.surviveProtocolReject = 1;
    vspConfig.optionCallback = NETPPP_VspOption;
    vspConfig.eventCallback = PPPHandle_VSP_EventHandler;
    vspConfig.user = conn;
    VSP_Init(ppp, &ppp->vspRecord, &vspConfig);

    VSP_Open(&ppp->vspRecord);
    PPP_IPCP_Open(&ppp->ipcpRecord);
    PPP_LowerLayerUp(ppp);
    return 1;
}

int NETPPP_Stop(TUNLEX_Connection *conn)
{
    PPP_Context *ppp = conn ? conn->ppp : nullptr;
    if (!ppp)
        return 1;
    // Tearing the link down raises DOWN and FINISHED events; they are the
    // result of this stop, not news about the gateway, so a user's disconnect
    // while Connected is not reported as an IPCP failure.
    ppp->config.eventCallback = nullptr;
    ppp->ipcpRecord.config.eventCallback = nullptr;
    ppp->vspRecord.config.eventCallback = nullptr;
    PPP_LowerLayerDown(ppp);
    if (ppp->ipcp)
        NCP_Close(&ppp->ipcp->fsm);
    PPP_Close(ppp);
    return 1;
}

int NETPPP_Free(TUNLEX_Connection *conn)
{
    PPP_Context *ppp = conn ? conn->ppp : nullptr;
    if (!ppp)
        return 1;
    // Timers belong to this thread and point at the context: none may fire
    // after it is gone.
    PPP_CancelTimers(ppp);
    delete ppp;
    conn->ppp = nullptr;
    return 1;
}

// ---- framing ----

void NETPPP_BeginBatch(TUNLEX_Connection *conn)
{
    NETSSL_Cork(conn);
}

void NETPPP_FlushBatch(TUNLEX_Connection *conn)
{
    NETSSL_Flush(conn);
}

void NETPPP_Output(PKT_Buffer *packet, void *context)
{
    TUNLEX_Connection *conn = Conn(context);
    if (!packet)
        return;
    if (!conn || !conn->ssl) {
        PKT_Free(packet);
        return;
    }
    uint32_t length = PKT_Length(packet);
    if (conn->capture)
        PCAP_WriteRecord(conn->capture, PKT_Data(packet), length, PCAP_SENT);

    uint8_t *head = PKT_Prepend(packet, PKT_Data(packet), TUNLEX_FRAME_HEADER_SIZE);
    if (head) {
        TUNLEX_FrameHeader header = {TUNLEX_FRAME_MAGIC, length};
        TUNLEX_FrameHeaderEncode(&header, head);
        NETSSL_Send(conn, head, static_cast<int32_t>(TUNLEX_FRAME_HEADER_SIZE + length));
    } else {
        GUI_Print(1, 0, "No room for the frame header, frame of %lu bytes dropped\n",
                  static_cast<unsigned long>(length));
    }
    PKT_Free(packet);
}

int NETPPP_SendIP(TUNLEX_Connection *conn, PKT_Buffer *packet)
{
    if (!conn || !conn->ppp) {
        PKT_Free(packet);
        return 0;
    }
    if (!PPP_EncapsulateIP(packet, &conn->ppp->ipcpRecord))
        return 0;
    NETPPP_Output(packet, conn);
    return 1;
}

// A frame that breaks the framing ends the attempt: the stream is no longer
// in step and cannot be trusted to find the next header.
static PKT_Buffer *FramingError(TUNLEX_Connection *conn, PKT_Buffer *buf)
{
    TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL);
    PKT_Free(buf);
    return nullptr;
}

// A read that came back short. The transport has set its message and state
// for a broken stream; an abort leaves both for the connection thread.
static PKT_Buffer *ReadFailed(TUNLEX_Connection *conn, PKT_Buffer *buf, TUNLEX_State before)
{
    PKT_Free(buf);
    // A stop, or the timers ended the link while the read waited: theirs
    // are the state and the message.
    if (conn->abortFlag || conn->state.load() != before)
        return nullptr;
    if (ERRORINFO_IsEmpty(&conn->error))
        ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "Error packets from SSL stream");
    if (conn->state != TUNLEX_STATE_ERROR)
        TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL);
    return nullptr;
}

PKT_Buffer *NETPPP_ReadFrame(TUNLEX_Connection *conn)
{
    PKT_Buffer *buf = PKT_Alloc(nullptr);
    if (!buf)
        return nullptr;

    TUNLEX_State before = conn->state.load();
    uint8_t raw[TUNLEX_FRAME_HEADER_SIZE];
    if (NETSSL_ReadExact(conn, raw, TUNLEX_FRAME_HEADER_SIZE) <= 0)
        return ReadFailed(conn, buf, before);
    TUNLEX_FrameHeader header;
    TUNLEX_FrameHeaderDecode(raw, &header);
    if (header.magic != TUNLEX_FRAME_MAGIC) {
        ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "Invalid magic in SSL stream (0x%08x)",
                      header.magic);
        return FramingError(conn, buf);
    }

    PKT_Reset(buf);
    if (header.length == 0) {
        // Carries no PPP frame; reading zero bytes would look like a failure.
        PKT_Free(buf);
        return nullptr;
    }
    if (header.length > TUNLEX_FRAME_MAX_PAYLOAD || !PKT_Reserve(buf, header.length)) {
        // Nothing the gateway may send is this long (the link MRU is far
        // below); skipping it would leave the thread reading a length that
        // may be anything up to 4 GiB.
        ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule),
                      "Invalid frame length in SSL stream (%lu)",
                      static_cast<unsigned long>(header.length));
        return FramingError(conn, buf);
    }
    if (NETSSL_ReadExact(conn, PKT_Data(buf), static_cast<int32_t>(header.length)) <= 0)
        return ReadFailed(conn, buf, before);
    buf->length = static_cast<uint16_t>(header.length);

    if (conn->capture)
        PCAP_WriteRecord(conn->capture, PKT_Data(buf), header.length, PCAP_RECEIVED);
    if (!conn->ppp) {
        PKT_Free(buf);
        return nullptr;
    }
    return PPP_Input(buf, conn->ppp) ? buf : nullptr;
}

// ---- results and events ----

void NETPPP_UpdateNetworkConfig(TUNLEX_Connection *conn)
{
    PPP_Context *ppp = conn->ppp;
    if (!ppp)
        return;
    const IPCP_Config &ipcp = ppp->ipcpRecord.config;
    TUNLEX_NetworkConfig &net = conn->netcfg;
    net.ClientIP = ipcp.address;
    net.ServerIP = ipcp.peerAddress;
    net.DNS1 = ipcp.dns1;
    net.DNS2 = ipcp.dns2;
    net.NBNS1 = ipcp.nbns1;
    net.NBNS2 = ipcp.nbns2;
    if (net.DNS2 != 0 && net.DNS1 == 0) {
        net.DNS1 = net.DNS2;
        net.DNS2 = 0;
    }
    if (net.DNS1 == net.DNS2)
        net.DNS2 = 0;
    net.MTU = PPP_GetLinkMRU(ppp);
    net.MRU = PPP_GetPeerMRU(ppp);
}

// The link is negotiating, or up and being set up around it: a failure of
// the link then ends the attempt.
static bool InHandshake(const TUNLEX_Connection *conn)
{
    TUNLEX_State s = conn->state;
    return s == TUNLEX_STATE_CONNECTING || s == TUNLEX_STATE_PPP_UP;
}

static void MaybePppUp(TUNLEX_Connection *conn)
{
    if (conn->ipcpUp && conn->vspDone && conn->state == TUNLEX_STATE_CONNECTING)
        TUNLEX_SetState(conn, TUNLEX_STATE_PPP_UP, TUNLEX_KIND_UNKNOWN);
}

int PPPHandle_PPP_EventHandler(uint32_t event, void *context)
{
    TUNLEX_Connection *conn = Conn(context);
    if (event == PPP_EVENT_FINISHED && InHandshake(conn))
        TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE);
    GUI_Print(1, 0, "PPPHandle_PPP_EventHandler: %lu (%s)\n", static_cast<unsigned long>(event),
              NETPPP_EventName(event));
    return 0;
}

int PPPHandle_IPCP_EventHandler(uint32_t event, void *context)
{
    TUNLEX_Connection *conn = Conn(context);
    GUI_Print(1, 0, "PPPHandle_IPCP_EventHandler: %lu (%s)\n", static_cast<unsigned long>(event),
              NETPPP_EventName(event));
    if (event == PPP_EVENT_UP) {
        NETPPP_UpdateNetworkConfig(conn);
        if (!conn->ipcpUp) {
            conn->ipcpUp = 1;
            MaybePppUp(conn);
        }
    } else if (event == PPP_EVENT_DOWN) {
        TUNLEX_State s = conn->state;
        if (s == TUNLEX_STATE_CONNECTED || s == TUNLEX_STATE_PPP_UP)
            TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE);
    }
    return 0;
}

// FINISHED ends the vendor exchange only when the link goes on without the
// protocol (the gateway rejected it). A protocol that gave up on a gateway
// that runs it takes the link down with it, which is no exchange done.
static bool VspFinishedForGood(const TUNLEX_Connection *conn)
{
    const PPP_Context *ppp = conn->ppp;
    return ppp && ppp->vspRecord.protocolRejected && ppp->vspRecord.config.surviveProtocolReject;
}

int PPPHandle_VSP_EventHandler(uint32_t event, void *context)
{
    TUNLEX_Connection *conn = Conn(context);
    bool done = event == PPP_EVENT_UP || (event == PPP_EVENT_FINISHED && VspFinishedForGood(conn));
    if (done && !conn->vspDone) {
        conn->vspDone = 1;
        MaybePppUp(conn);
    }
    GUI_Print(1, 0, "PPPHandle_VSP_EventHandler: %lu (%s)\n", static_cast<unsigned long>(event),
              NETPPP_EventName(event));
    return 0;
}

void NETPPP_SaveCredentials(void *context)
{
    TUNLEX_Connection *conn = Conn(context);
    if (!conn || !conn->ppp)
        return;
    const PPP_Config &engine = conn->ppp->config;
    STR_LCopy(conn->config.otp, engine.otp, sizeof conn->config.otp);
    STR_LCopy(conn->config.RadiusState, engine.radiusState, sizeof conn->config.RadiusState);
    STR_LCopy(conn->config.otpPrompt, engine.otpPrompt, sizeof conn->config.otpPrompt);
}

int NETPPP_VspOption(uint8_t index, uint8_t type, const uint8_t *value, uint16_t length,
                     void *context)
{
    TUNLEX_Connection *conn = Conn(context);
    if (type != VSP_OPTION_URL) {
        GUI_Print(1, 0, "VSP: Unknown type (Index:%u Type:%u Len: %u)\n", index, type, length);
        return 0;
    }
    const char *text = reinterpret_cast<const char *>(value);
    GUI_Print(1, 0, "VSP: URL (Index:%u): %.*s\n", index, static_cast<int>(length), text ? text : "");
    if (text && conn->gatewayUrl[0] == '\0')
        STR_Copy(conn->gatewayUrl, sizeof conn->gatewayUrl, text, length);
    return 1;
}
