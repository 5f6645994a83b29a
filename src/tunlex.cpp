// The connection context (creation, setters and getters, the state setter,
// the texts of states and reasons), the connection thread with its clean-up,
// pump and timers, and the connection control the client drives it with.
#include "tunlex.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "cp_wrapper.h"
#include "gui_log.h"
#include "net_iface.h"
#include "net_ppp.h"
#include "net_socket.h"
#include "net_ssl.h"
#include "net_tap.h"
#include "net_tcp.h"
#include "os_version.h"
#include "parse.h"
#include "pkt_buffer.h"
#include "route_service.h"
#include "str.h"
#include "sync.h"
#include "timer.h"
#include "tunlex_thread.h"

static const char *const kModule = "tunlex";

static const char *const kStateNames[] = {
    "Disconnected", "Connecting", "Connecting PPP Up", "Connected", "OTP Prompted", "Error",
};

// Kinds 5 and 9 have no text of their own.
static const char *const kKindNames[] = {
    "Unknown", "Proxy", "Socket Closed", "SSL", "SSL Handshake", "N/A",
    "PPP Handshake", "PPP Handshake Timeout", "Authentication", "N/A",
};

TUNLEX_Connection *TUNLEX_Create(void)
{
    TUNLEX_Connection *conn = new (std::nothrow) TUNLEX_Connection();
    if (!conn)
        return nullptr;
    conn->state = TUNLEX_STATE_DISCONNECTED;
    conn->kind = TUNLEX_KIND_UNKNOWN;
    conn->socket = -1;
    conn->config.port = CONFIG_DEFAULT_PORT;
    return conn;
}

void TUNLEX_SetCapture(TUNLEX_Connection *conn, PcapWriter *writer)
{
    if (conn)
        conn->capture = writer;
}

int TUNLEX_SetStateCallback(TUNLEX_Connection *conn, TUNLEX_StateCallback callback, void *user)
{
    if (!conn)
        return 0;
    conn->stateCallback = callback;
    conn->stateUser = user;
    return 1;
}

int TUNLEX_SetExitCallback(TUNLEX_Connection *conn, TUNLEX_ExitCallback callback, void *user)
{
    if (!conn)
        return 0;
    conn->exitCallback = callback;
    conn->exitUser = user;
    return 1;
}

void TUNLEX_SetRouteClient(TUNLEX_Connection *conn, ROUTE_PipeHandle *client)
{
    if (conn)
        conn->routeClient = client;
}

const char *TUNLEX_GetServer(const TUNLEX_Connection *conn)
{
    return conn ? conn->config.server : "";
}

uint16_t TUNLEX_GetPort(const TUNLEX_Connection *conn)
{
    return conn ? conn->config.port : 0;
}

uint32_t TUNLEX_GetClientIP(const TUNLEX_Connection *conn)
{
    return conn ? conn->netcfg.ClientIP : 0;
}

ErrorInfo *TUNLEX_GetError(TUNLEX_Connection *conn)
{
    return conn ? &conn->error : nullptr;
}

TUNLEX_Statistics *TUNLEX_GetStatistics(TUNLEX_Connection *conn)
{
    return conn ? &conn->stats : nullptr;
}

TUNLEX_State TUNLEX_GetState(const TUNLEX_Connection *conn)
{
    return conn ? conn->state.load() : TUNLEX_STATE_DISCONNECTED;
}

TUNLEX_NetworkConfig *TUNLEX_GetNetworkConfig(TUNLEX_Connection *conn)
{
    return conn ? &conn->netcfg : nullptr;
}

void TUNLEX_SetState(TUNLEX_Connection *conn, TUNLEX_State state, TUNLEX_ErrorKind kind)
{
    if (!conn)
        return;
    conn->state = state;
    if (state == TUNLEX_STATE_ERROR)
        GUI_Print(1, 0, "Error Event: %u\n", static_cast<uint32_t>(kind));
    if (state != TUNLEX_STATE_CONNECTING && state != TUNLEX_STATE_ERROR)
        kind = TUNLEX_KIND_UNKNOWN;
    conn->kind = kind;
    if (conn->stateCallback)
        conn->stateCallback(conn, conn->stateUser, state, kind);
}

const char *TUNLEX_StateName(uint32_t state)
{
    return state < sizeof kStateNames / sizeof kStateNames[0] ? kStateNames[state] : "N/A";
}

const char *TUNLEX_KindName(uint32_t kind)
{
    return kind < sizeof kKindNames / sizeof kKindNames[0] ? kKindNames[kind] : "N/A";
}

const char *TUNLEX_StateText(uint32_t state, uint32_t kind)
{
    if (state == TUNLEX_STATE_CONNECTING || state == TUNLEX_STATE_ERROR)
        return STR_TempPrintf("%s (%s)", TUNLEX_StateName(state), TUNLEX_KindName(kind));
    return TUNLEX_StateName(state);
}

int TUNLEX_IsPreVista(ErrorInfo *chain)
{
    uint32_t preVista = 1;
    uint32_t code = 0;
    if (OSVER_ReadPreVista(&preVista, &code))
        return preVista ? 1 : 0;
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to determine OS version (GetLastError: %lu)",
                      static_cast<unsigned long>(code));
    return 1;
}

const char *TUNLEX_IpToString(uint32_t address)
{
    // Per thread: the GUI and the connection thread both format addresses.
    enum { SLOTS = 5, SLOT_SIZE = 128 };
    thread_local char slots[SLOTS][SLOT_SIZE];
    thread_local uint32_t last = 0;
    last = (last + 1) % SLOTS;
    return IP_Format(slots[last], SLOT_SIZE, &address);
}

// ---------------------------------------------------------------------------
// Adapter and route-service tables

static std::atomic<const TUNLEX_AdapterOps *> g_adapterOps{nullptr};
static std::atomic<const TUNLEX_RouteOps *> g_routeOps{nullptr};
static std::atomic<uint32_t> g_timeoutDivisor{1};
static std::atomic<uint32_t> g_backoffDivisor{1};

void TUNLEX_SetAdapterOps(const TUNLEX_AdapterOps *ops)
{
    g_adapterOps.store(ops);
}

void TUNLEX_SetRouteOps(const TUNLEX_RouteOps *ops)
{
    g_routeOps.store(ops);
}

void TUNLEX_TestSetTimeDivisors(uint32_t timeouts, uint32_t backoff)
{
    g_timeoutDivisor.store(timeouts ? timeouts : 1);
    g_backoffDivisor.store(backoff ? backoff : 1);
}

// The adapter record, or null when the connection runs without adapter.
static const TUNLEX_InterfaceInfo *AdapterRecord(const TUNLEX_Connection *conn)
{
    const TUNLEX_AdapterOps *ops = g_adapterOps.load();
    if (!conn || !conn->tap || !ops || !ops->GetInfo)
        return nullptr;
    return ops->GetInfo(conn->tap);
}

// ---------------------------------------------------------------------------
// Connection thread

enum : uint32_t {
    HANDSHAKE_TIMEOUT_S = 30,
    ADDRESS_TIMEOUT_S = 30,
    REAPPLY_INTERVAL_S = 5,
    ROUTE_TICK_S = 1,
    ROUTE_READD_S = 3,
    ROUTE_TIMEOUT_S = 15,
    RATE_INTERVAL_S = 1,
    IDLE_SETUP_MS = 20,
    IDLE_CONNECTED_MS = 5,     // without a wake-up: plain sleeps
    IDLE_WAIT_MS = 1000,       // with one: the longest wait; an armed timer ends it sooner
    READER_WAIT_US = 200,      // the reader's time from a ready adapter to the queue
    PUMP_BURST = 32,  // packets per pass and direction: the adapter queue's size
    IDLE_HANDSHAKE_MS = 5,
    ABORT_POLL_MS = 50,
    HOST_MASK = 0xFFFFFFFFu,
    HOST_ROUTE_METRIC = 2
};

static const char kGreeting[] = "TUNLEX 1.0\n\n";

// The thread's own values for its whole life.
struct ThreadLocals {
    uint32_t reconnectAllowed;
    uint32_t established;
    uint32_t attempt;
    const TUNLEX_InterfaceInfo *adapter;
};

enum AttemptOutcome { ATTEMPT_ENDED, ATTEMPT_STOPPED };

static bool Aborted(const TUNLEX_Connection *conn)
{
    return conn->abortFlag.load() != 0;
}

static void SetIfEmpty(TUNLEX_Connection *conn, int32_t line, const char *text)
{
    if (ERRORINFO_IsEmpty(&conn->error))
        ERRORINFO_Set(&conn->error, kModule, line, "%s", text);
}

// The adapter's mask: 255.255.255.0 whatever the host's byte order.
static uint32_t AdapterMask(void)
{
    static const uint8_t bytes[4] = {255, 255, 255, 0};
    uint32_t mask;
    memcpy(&mask, bytes, sizeof mask);
    return mask;
}

// Arms one of the thread's set-up timers, seconds scaled by the test divisor.
static void ArmTimer(uint32_t seconds, uint32_t oneShot, TIMER_Callback callback, void *context)
{
    uint64_t us = static_cast<uint64_t>(seconds) * 1000000u / g_timeoutDivisor.load();
    if (us < 1000)
        us = 1000;
    TIMER_Add(static_cast<uint32_t>(us / 1000000u), static_cast<uint32_t>(us % 1000000u), oneShot,
              callback, context);
}

// The reconnection wait, scaled by the test divisor, in short slices. 1 when
// the abort flag ended it.
static int SleepAbortable(const TUNLEX_Connection *conn, uint32_t seconds)
{
    uint64_t ms = static_cast<uint64_t>(seconds) * 1000u / g_backoffDivisor.load();
    uint64_t end = RT_TickCount64() + ms;
    for (;;) {
        if (Aborted(conn))
            return 1;
        uint64_t now = RT_TickCount64();
        if (now >= end)
            return 0;
        uint64_t left = end - now;
        RT_SleepMs(static_cast<uint32_t>(left < uint64_t{ABORT_POLL_MS} ? left : uint64_t{ABORT_POLL_MS}));
    }
}

uint32_t TUNLEX_ReconnectDelay(uint32_t attempt)
{
    if (attempt <= 3)
        return 0;
    if (attempt >= TUNLEX_MAX_RECONNECTS)
        return TUNLEX_RECONNECT_GIVE_UP;
    uint32_t wait = 6 * attempt - 18;
    return wait < 60 ? wait : 60;
}

uint32_t TUNLEX_WantedGateway(const TUNLEX_Connection *conn)
{
    if (!conn || conn->config.noRoutes || conn->config.routeCount != 0)
        return 0;
    return conn->netcfg.ServerIP;
}

TUNLEX_DnsRequest TUNLEX_ChooseDnsRequest(uint32_t haveDns1, uint32_t haveDns2, uint32_t wantDns1,
                                          uint32_t wantDns2)
{
    if (wantDns1 == 0 && wantDns2 == 0)
        return {1, 0, 0};
    if (haveDns2 != 0 && haveDns2 != wantDns2)
        return {1, wantDns1, wantDns2};
    return {0, haveDns1 != wantDns1 ? wantDns1 : 0, haveDns2 != wantDns2 ? wantDns2 : 0};
}

int TUNLEX_SendGreeting(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    (void)chain;
    return NETSSL_Send(conn, kGreeting, static_cast<int32_t>(sizeof kGreeting - 1));
}

void TUNLEX_ResetRates(TUNLEX_Connection *conn)
{
    if (!conn)
        return;
    TUNLEX_Statistics *s = &conn->stats;
    s->sendRate = 0;
    s->receiveRate = 0;
    s->ringIndex = 0;
    for (uint32_t i = 0; i < TUNLEX_RATE_SLOTS; ++i) {
        s->sentSnapshots[i] = s->bytesSent;
        s->receivedSnapshots[i] = s->bytesReceived;
    }
}

static uint32_t RateSince(uint64_t counter, uint64_t snapshot)
{
    return snapshot < counter ? static_cast<uint32_t>((counter - snapshot) >> 2) : 0;
}

void TUNLEX_RateTimer(void *connection)
{
    TUNLEX_Connection *conn = static_cast<TUNLEX_Connection *>(connection);
    if (!conn || Aborted(conn) || conn->state.load() != TUNLEX_STATE_CONNECTED) {
        TIMER_Cancel(TUNLEX_RateTimer, connection);
        return;
    }
    TUNLEX_Statistics *s = &conn->stats;
    uint32_t i = (s->ringIndex + 1) % TUNLEX_RATE_SLOTS;
    s->ringIndex = i;
    s->sendRate = RateSince(s->bytesSent, s->sentSnapshots[i]);
    s->sentSnapshots[i] = s->bytesSent;
    s->receiveRate = RateSince(s->bytesReceived, s->receivedSnapshots[i]);
    s->receivedSnapshots[i] = s->bytesReceived;
}

void TUNLEX_PppHandshakeTimeout(void *connection)
{
    TUNLEX_SetState(static_cast<TUNLEX_Connection *>(connection), TUNLEX_STATE_ERROR,
                    TUNLEX_KIND_PPP_TIMEOUT);
}

void TUNLEX_TickCounter(void *counter)
{
    if (counter)
        ++*static_cast<uint32_t *>(counter);
}

// Whether the adapter shows what the address wait waits for.
static bool AdapterComplete(const TUNLEX_Connection *conn, const TUNLEX_InterfaceInfo *info)
{
    const TUNLEX_NetworkConfig *n = &conn->netcfg;
    return info->address == n->ClientIP && info->gateway == TUNLEX_WantedGateway(conn) &&
           info->dns1 == n->DNS1 && info->dns2 == n->DNS2;
}

void TUNLEX_AddressSetupTimeout(void *connection)
{
    TUNLEX_Connection *conn = static_cast<TUNLEX_Connection *>(connection);
    if (!conn)
        return;
    ERRORINFO_Clear(&conn->error, ERRORINFO_AT(kModule));
    const TUNLEX_InterfaceInfo *adapter = AdapterRecord(conn);
    TUNLEX_InterfaceInfo info = {};
    NETIFACE_Key key = {NETIFACE_BY_INDEX, adapter ? adapter->ifIndex : 0};
    const TUNLEX_NetworkConfig *n = &conn->netcfg;
    const char *text;
    bool dnsWrong = false;
    if (!adapter || !NETIFACE_Lookup(&key, &info, nullptr, nullptr))
        text = "Unable to retrive information for TUN/TAP interface";
    else if (info.address != n->ClientIP)
        text = "Unable to update interface address for TUN/TAP interface";
    else if (info.gateway != TUNLEX_WantedGateway(conn))
        text = "Unable to update gateway address for TUN/TAP interface";
    else if (info.dns1 == n->DNS1 && info.dns2 == n->DNS2)
        text = "Unable to update address for TUN/TAP interface";
    else {
        text = "Unable to update DNS address for TUN/TAP interface";
        dnsWrong = true;
    }
    ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "%s", text);
    // The DNS servers are the one value the client reads from somewhere of
    // its own on some systems: say where, and what was there.
    char source[1400];
    if (dnsWrong && NETIFACE_DescribeDnsSource(source, sizeof source))
        ERRORINFO_Append(&conn->error, ERRORINFO_AT(kModule), "%s", source);
    TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_TIMEOUT);
}

// A route-service request failed: its chain goes to the log as INFO.
static void ReportAsInfo(TUNLEX_Connection *conn)
{
    GUI_PrintErrorChain(0, &conn->error);
    ERRORINFO_Clear(&conn->error, ERRORINFO_AT(kModule));
}

void TUNLEX_ReapplyAddress(void *connection)
{
    TUNLEX_Connection *conn = static_cast<TUNLEX_Connection *>(connection);
    const TUNLEX_InterfaceInfo *adapter = AdapterRecord(conn);
    if (!conn || !adapter || conn->state.load() != TUNLEX_STATE_PPP_UP)
        return;
    const TUNLEX_RouteOps *route = g_routeOps.load();
    TUNLEX_InterfaceInfo info = {};
    NETIFACE_Key key = {NETIFACE_BY_INDEX, adapter->ifIndex};
    if (!NETIFACE_Lookup(&key, &info, nullptr, &conn->error)) {
        GUI_PrintErrorChain(1, &conn->error);
        return;
    }
    const TUNLEX_NetworkConfig *n = &conn->netcfg;
    uint32_t wanted = TUNLEX_WantedGateway(conn);
    if (info.gateway != 0 && wanted == 0 &&
        (!route || !route->RemoveGateway(conn->routeClient, conn->tap, info.gateway, &conn->error)))
        ReportAsInfo(conn);
    bool addressWrong = info.address != n->ClientIP;
    bool gatewayWrong = wanted != 0 && info.gateway != wanted;
    if (addressWrong || gatewayWrong) {
        GUI_Print(1, 0, "\r\n");
        if (addressWrong)
            GUI_Print(1, 0, "IPAddres: Is %s  Wants: %s\r\n", TUNLEX_IpToString(info.address),
                      TUNLEX_IpToString(n->ClientIP));
        if (gatewayWrong)
            GUI_Print(1, 0, " Gateway: Is %s  Wants: %s\r\n", TUNLEX_IpToString(info.gateway),
                      TUNLEX_IpToString(wanted));
        if (!route || !route->SetAddressIface(conn->routeClient, conn->tap, n->ClientIP,
                                              AdapterMask(), wanted, n->MTU, &conn->error))
            ReportAsInfo(conn);
    }
    if (info.dns1 != n->DNS1 || info.dns2 != n->DNS2) {
        GUI_Print(1, 0, "\r\n");
        if (info.dns1 != n->DNS1)
            GUI_Print(1, 0, "    DNS1: Is %s  Wants: %s\r\n", TUNLEX_IpToString(info.dns1),
                      TUNLEX_IpToString(n->DNS1));
        if (info.dns2 != n->DNS2)
            GUI_Print(1, 0, "    DNS2: Is %s  Wants: %s\r\n", TUNLEX_IpToString(info.dns2),
                      TUNLEX_IpToString(n->DNS2));
        TUNLEX_DnsRequest dns = TUNLEX_ChooseDnsRequest(info.dns1, info.dns2, n->DNS1, n->DNS2);
        if (!route || !route->SetDNSIface(conn->routeClient, conn->tap, dns.clear, dns.dns1,
                                          dns.dns2, &conn->error))
            ReportAsInfo(conn);
    }
}

// A frame from the gateway to the adapter; 1 when it moved.
static int PumpToAdapter(TUNLEX_Connection *conn, const TUNLEX_AdapterOps *tap, PKT_Buffer *packet)
{
    uint32_t length = PKT_Length(packet);
    if (length == 0xFFFFFFFFu) {
        GUI_Print(1, 0, "TAP Unable to get size: %u bytes\n", length);
        PKT_Release(packet);
        return 0;
    }
    if (tap && conn->tap && tap->Send && tap->Send(conn->tap, packet)) {
        conn->stats.bytesReceived += length;
        return 1;
    }
    GUI_Print(1, 0, "TAP Unable to send: %u bytes\n", length);
    PKT_Release(packet);
    return 0;
}

// A packet from the adapter into the tunnel; 1 when it moved.
static int PumpToTunnel(TUNLEX_Connection *conn, PKT_Buffer *packet)
{
    uint32_t length = PKT_Length(packet);
    if (length == 0xFFFFFFFFu) {
        GUI_Print(1, 0, "PPP Unable to get size: %u bytes\n", length);
        PKT_Release(packet);
        return 0;
    }
    if (NETPPP_SendIP(conn, packet)) {
        conn->stats.bytesSent += length;
        return 1;
    }
    GUI_Print(1, 0, "PPP Unable to send: %u bytes\n", length);
    return 0;
}

// One pass moves what is waiting on either side, up to a queue's worth each
// way, so that a busy link costs one pass (and one TLS write) per burst
// rather than per packet, and the timers still run between bursts.
int TUNLEX_Pump(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    (void)chain;
    if (!conn)
        return 0;
    const TUNLEX_AdapterOps *tap = g_adapterOps.load();
    int moved = 0;
    for (uint32_t i = 0; i < PUMP_BURST && NETTCP_Readable(conn); i++) {
        PKT_Buffer *packet = NETPPP_ReadFrame(conn);
        if (!packet)
            break;
        moved |= PumpToAdapter(conn, tap, packet);
    }
    if (!tap || !conn->tap || !tap->Receive)
        return moved;
    NETPPP_BeginBatch(conn);
    for (uint32_t i = 0; i < PUMP_BURST; i++) {
        PKT_Buffer *packet = tap->Receive(conn->tap);
        if (!packet)
            break;
        moved |= PumpToTunnel(conn, packet);
    }
    NETPPP_FlushBatch(conn);
    return moved;
}

void TUNLEX_TearDown(TUNLEX_Connection *conn)
{
    if (!conn)
        return;
    const TUNLEX_RouteOps *route = g_routeOps.load();
    const TUNLEX_AdapterOps *tap = g_adapterOps.load();
    if (conn->routeClient && route && route->ClientStatus)
        route->ClientStatus(conn->routeClient, 0);
    if (conn->tap) {
        if (route && route->CleanUp)
            route->CleanUp(conn->routeClient, nullptr);
        if (tap && tap->SetMediaStatus)
            tap->SetMediaStatus(conn->tap, 0);
    }
    if (conn->ppp) {
        NETPPP_Stop(conn);
        NETPPP_Free(conn);
    }
    if (conn->ssl) {
        NETSSL_Shutdown(conn);
        NETSSL_Free(conn);
    }
    if (conn->socket != -1)
        NETTCP_Close(conn);
    memset(&conn->netcfg, 0, sizeof conn->netcfg);
    conn->ipcpUp = 0;
    conn->vspDone = 0;
    conn->gatewayUrl[0] = 0;
}

static bool SameTextIgnoringCase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

// The gateway certificate: fetched, stored on first use, else compared
// without regard to case. ATTEMPT_ENDED with a message on failure, else -1.
static int CheckFingerprint(TUNLEX_Connection *conn, ThreadLocals *t)
{
    char *fingerprint = NETSSL_GetFingerprint(conn, &conn->error);
    if (!fingerprint) {
        SetIfEmpty(conn, __LINE__, "Unable to fetch SSL fingerprint");
        return ATTEMPT_ENDED;
    }
    int result = -1;
    if (!conn->config.fingerprint[0]) {
        STR_LCopy(conn->config.fingerprint, fingerprint, sizeof conn->config.fingerprint);
    } else if (!SameTextIgnoringCase(conn->config.fingerprint, fingerprint)) {
        ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "SSL Fingerprint missmatch");
        ERRORINFO_Append(&conn->error, ERRORINFO_AT(kModule),
                         "The gateway's certificate has the fingerprint %s", fingerprint);
        TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_PHASE);
        t->established = 0;
        result = ATTEMPT_ENDED;
    }
    free(fingerprint);
    return result;
}

// The PPP handshake: until PPP is up, has failed, or the abort flag is seen.
static void AwaitPpp(TUNLEX_Connection *conn)
{
    ArmTimer(HANDSHAKE_TIMEOUT_S, 1, TUNLEX_PppHandshakeTimeout, conn);
    while (!Aborted(conn) && conn->state.load() == TUNLEX_STATE_CONNECTING) {
        CP_PollTimers();
        bool leave = false;
        while (!NETTCP_Readable(conn)) {
            if (Aborted(conn)) {
                leave = true;
                break;
            }
            if (conn->state.load() != TUNLEX_STATE_CONNECTING || NETSSL_Pending(conn, 0))
                break;
            RT_SleepMs(IDLE_HANDSHAKE_MS);
            CP_PollTimers();
        }
        if (leave || Aborted(conn) || conn->state.load() != TUNLEX_STATE_CONNECTING)
            break;
        if (PKT_Buffer *packet = NETPPP_ReadFrame(conn))
            PKT_Release(packet);
    }
    TIMER_Cancel(TUNLEX_PppHandshakeTimeout, conn);
}

static void HandshakeFailureMessage(TUNLEX_Connection *conn)
{
    if (ERRORINFO_IsEmpty(&conn->error) && conn->state.load() == TUNLEX_STATE_ERROR) {
        TUNLEX_ErrorKind kind = conn->kind.load();
        const char *text = "Unknown error during handshake";
        if (kind == TUNLEX_KIND_SSL_HANDSHAKE || kind == TUNLEX_KIND_PPP_HANDSHAKE)
            text = "PPP Handshake error";
        else if (kind == TUNLEX_KIND_PPP_TIMEOUT)
            text = "PPP Handshake timeout";
        SetIfEmpty(conn, __LINE__, text);
    }
    SetIfEmpty(conn, __LINE__, "Handshake failed for unknown reason");
}

// The adapter's address and DNS servers. 0 ends the attempt.
static int ConfigureAdapter(TUNLEX_Connection *conn, const TUNLEX_InterfaceInfo *adapter)
{
    const TUNLEX_AdapterOps *tap = g_adapterOps.load();
    const TUNLEX_RouteOps *route = g_routeOps.load();
    const TUNLEX_NetworkConfig *n = &conn->netcfg;
    GUI_Print(1, 0, "\r\nSSL VPN Interface Info\r\n---------------------------\r\n");
    NETIFACE_Print(adapter, nullptr);
    if (tap->SetMediaStatus)
        tap->SetMediaStatus(conn->tap, 1);
    if (!tap->ConfigTun || !tap->ConfigTun(conn->tap, n->ClientIP, AdapterMask(), &conn->error)) {
        SetIfEmpty(conn, __LINE__, "Unable to send IP to TUN/TAP");
        return 0;
    }
    if (!route ||
        !route->SetAddressIface(conn->routeClient, conn->tap, n->ClientIP, AdapterMask(),
                                TUNLEX_WantedGateway(conn), n->MTU, &conn->error) ||
        !route->SetDNSIface(conn->routeClient, conn->tap, 1, n->DNS1, n->DNS2, &conn->error)) {
        GUI_PrintErrorChain(2, &conn->error);
        return 0;
    }
    return 1;
}

// The address wait: until the adapter shows the negotiated values.
static void AwaitAddress(TUNLEX_Connection *conn, const TUNLEX_InterfaceInfo *adapter)
{
    ArmTimer(ADDRESS_TIMEOUT_S, 1, TUNLEX_AddressSetupTimeout, conn);
    ArmTimer(REAPPLY_INTERVAL_S, 0, TUNLEX_ReapplyAddress, conn);
    uint32_t shown[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    static const char *const labels[4] = {"%sCurrent IP:  %s \n", "%sCurrent GW:  %s \n",
                                          "%sCurrent DNS1:  %s \n", "%sCurrent DNS2:  %s \n"};
    NETIFACE_Key key = {NETIFACE_BY_INDEX, adapter->ifIndex};
    while (!Aborted(conn) && conn->state.load() == TUNLEX_STATE_PPP_UP) {
        TUNLEX_InterfaceInfo info = {};
        int found = NETIFACE_Lookup(&key, &info, nullptr, &conn->error);
        if (found) {
            const uint32_t now[4] = {info.address, info.gateway, info.dns1, info.dns2};
            bool first = true;
            for (int i = 0; i < 4; ++i) {
                if (now[i] == shown[i])
                    continue;
                GUI_Print(1, 0, labels[i], (i == 0 || first) ? "\n" : "",
                          TUNLEX_IpToString(now[i]));
                shown[i] = now[i];
                first = false;
            }
            GUI_Print(1, 0, ".");
        }
        if (!TUNLEX_Pump(conn, &conn->error))
            RT_SleepMs(IDLE_SETUP_MS);
        CP_PollTimers();
        if (found && AdapterComplete(conn, &info))
            break;
    }
    TIMER_Cancel(TUNLEX_AddressSetupTimeout, conn);
    TIMER_Cancel(TUNLEX_ReapplyAddress, conn);
}

// The route set-up, only with an adapter and a route client (client routes
// included: without an adapter they could never be confirmed). 0 ends the
// attempt.
static int SetUpRoutes(TUNLEX_Connection *conn, const TUNLEX_InterfaceInfo *adapter,
                       const TUNLEX_RouteOps *route)
{
    // A full tunnel only when the routes are ours to take: with no-routes
    // set the adapter gets no gateway, so no other default route may go.
    int allNets = conn->config.routeCount == 0 && !conn->config.noRoutes;
    if (!route->Init(conn->routeClient, adapter, allNets, &conn->error)) {
        GUI_PrintErrorChain(2, &conn->error);
        return 0;
    }
    if (!conn->config.noRoutes) {
        const TUNLEX_InterfaceInfo *local = &conn->localInterface;
        // An unknown mask (0) would make every gateway look local.
        if (local->mask != 0 &&
            (local->address & local->mask) == (conn->serverAddress & local->mask)) {
            GUI_Print(1, 0, "Local server no single host route needed\n");
        } else {
            GUI_Print(1, 0, "Adding single host route for %s (gateway: %s)\n",
                      TUNLEX_IpToString(conn->serverAddress), TUNLEX_IpToString(local->gateway));
            if (!route->Add(conn->routeClient, local, conn->serverAddress, HOST_MASK,
                            local->gateway, HOST_ROUTE_METRIC, &conn->error)) {
                GUI_PrintErrorChain(1, &conn->error);
                ERRORINFO_Clear(&conn->error, ERRORINFO_AT(kModule));
            }
        }
    }
    if (conn->state.load() != TUNLEX_STATE_PPP_UP)
        return 0;
    if (conn->config.routeCount == 0 || !route->AddRoutes || !route->CheckRoutes)
        return 1;
    GUI_Print(1, 0, "\nAdding the routes included in the configuration file...\r\n");
    route->AddRoutes(conn);
    uint32_t ticks = 0, successes = 0;
    ArmTimer(ROUTE_TICK_S, 0, TUNLEX_TickCounter, &ticks);
    ArmTimer(ROUTE_READD_S, 0, route->AddRoutes, conn);
    if (route->RouteTimeout)
        ArmTimer(ROUTE_TIMEOUT_S, 1, route->RouteTimeout, conn);
    while (!Aborted(conn) && conn->state.load() == TUNLEX_STATE_PPP_UP) {
        if (ticks) {
            ticks = 0;
            ++successes;
            if (!route->CheckRoutes(conn, &conn->error))
                successes = 0;
            else if (successes >= 2)
                break;
        }
        if (!TUNLEX_Pump(conn, &conn->error))
            RT_SleepMs(IDLE_SETUP_MS);
        CP_PollTimers();
    }
    TIMER_Cancel(TUNLEX_TickCounter, &ticks);
    TIMER_Cancel(route->AddRoutes, conn);
    if (route->RouteTimeout)
        TIMER_Cancel(route->RouteTimeout, conn);
    if (successes >= 2)
        GUI_Print(1, 0, "All routes found successfully\r\n");
    return 1;
}

// The wake-up the adapter's reader gives the Connected loop's idle wait; one
// for the process, made on first use (null without resources: plain sleeps).
static NETSOCK_Wake *IdleWake(void)
{
    static NETSOCK_Wake *const wake = [] {
        NETSOCK_Wake *w = NETSOCK_WakeCreate();
        NETTAP_SetIdleWake(w);
        return w;
    }();
    return wake;
}

// Nothing moved: wait until the gateway sends or the adapter has a packet,
// and until the next timer is due. Records read ahead are not waited for;
// what was sent left before (the pump flushes every burst).
//
// Where the adapter can be waited on, this wait ends together with the
// reader's, not after the reader's wake-up of it, and the packet is read
// here unless the reader already is reading it: a lone packet then waits
// for this thread's wake-up alone. When the adapter was ready and no packet
// came (the reader pauses, or it threw the packet away), *adapterQuiet
// leaves the adapter out of the waits until the pump moves something.
static void IdleWait(TUNLEX_Connection *conn, NETSOCK_Wake *wake, int *adapterQuiet)
{
    uint32_t code = 0;
    // Armed before this look: a disconnect after it signals the wake.
    if (Aborted(conn) || NETSSL_Buffered(conn))
        return;
    uint32_t ms = TIMER_MsUntilNext(IDLE_WAIT_MS);
    if (ms == 0)
        return;
    const TUNLEX_AdapterOps *tap = g_adapterOps.load();
    // Going idle ends a burst: the first packet after the wait is a lone
    // one, while a busy link's packets all go the device's way.
    if (tap && conn->tap && tap->EndBurst)
        tap->EndBurst(conn->tap);
    intptr_t device = NETTAP_NO_DEVICE;
    if (!*adapterQuiet && tap && conn->tap && tap->WaitHandle && tap->AwaitQueued)
        device = tap->WaitHandle(conn->tap);
    int deviceReady = 0;
    if (!wake || NETSOCK_WaitReadWakeOrDevice(conn->socket, wake, device, ms, &code, &deviceReady) < 0) {
        RT_SleepMs(IDLE_CONNECTED_MS);
        return;
    }
    if (deviceReady && !tap->AwaitQueued(conn->tap, READER_WAIT_US))
        *adapterQuiet = 1;
}

// Connected, until the link fails or the abort flag is seen.
static void RunConnected(TUNLEX_Connection *conn, ThreadLocals *t)
{
    const TUNLEX_RouteOps *route = g_routeOps.load();
    t->attempt = 0;
    t->established = 1;
    // Messages the set-up left behind would stand in for the drop's own.
    ERRORINFO_Clear(&conn->error, ERRORINFO_AT(kModule));
    TUNLEX_SetState(conn, TUNLEX_STATE_CONNECTED, TUNLEX_KIND_UNKNOWN);
    if (conn->routeClient && route && route->ClientStatus)
        route->ClientStatus(conn->routeClient, 1);
    GUI_Print(1, 0,
              "\r\n----------------------------\r\nConnection Established\r\n"
              "----------------------------\r\n");
    TIMER_Add(RATE_INTERVAL_S, 0, 0, TUNLEX_RateTimer, conn);
    CP_PollTimers();
    NETSOCK_Wake *wake = IdleWake();
    int adapterQuiet = 0;
    while (!Aborted(conn) && conn->state.load() == TUNLEX_STATE_CONNECTED) {
        // Armed before the pump looks for work, so that a packet the adapter
        // queues after that look still cuts the idle wait short.
        NETSOCK_WakeArm(wake);
        if (TUNLEX_Pump(conn, &conn->error))
            adapterQuiet = 0;
        else
            IdleWait(conn, wake, &adapterQuiet);
        CP_PollTimers();
    }
    TIMER_Cancel(TUNLEX_RateTimer, conn);
}

static AttemptOutcome RunAttempt(TUNLEX_Connection *conn, ThreadLocals *t)
{
    ++t->attempt;
    if (t->established)
        GUI_Print(1, 0, "Reconnect attempt %u of %u\n", t->attempt,
                  static_cast<uint32_t>(TUNLEX_MAX_RECONNECTS));
    ERRORINFO_Clear(&conn->error, ERRORINFO_AT(kModule));
    if (conn->state.load() != TUNLEX_STATE_DISCONNECTED) {
        SetIfEmpty(conn, __LINE__, "Connection not in init state");
        return ATTEMPT_ENDED;
    }
    TUNLEX_SetState(conn, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_UNKNOWN);
    if (!NETTCP_Connect(conn, &conn->error)) {
        SetIfEmpty(conn, __LINE__, "Unable to connect to server");
        return ATTEMPT_ENDED;
    }
    TUNLEX_SetState(conn, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_SSL_HANDSHAKE);
    if (!NETSSL_Connect(conn, &conn->error)) {
        SetIfEmpty(conn, __LINE__, "SSL Connection failure");
        return ATTEMPT_ENDED;
    }
    if (CheckFingerprint(conn, t) == ATTEMPT_ENDED)
        return ATTEMPT_ENDED;
    if (!TUNLEX_SendGreeting(conn, &conn->error)) {
        SetIfEmpty(conn, __LINE__, "SSL VPN handshake failed");
        TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL_HANDSHAKE);
        return ATTEMPT_ENDED;
    }
    CP_PollTimers();
    TUNLEX_SetState(conn, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_PPP_PHASE);
    if (!NETPPP_Start(conn, &conn->error)) {
        SetIfEmpty(conn, __LINE__, "PPP handshake failed");
        return ATTEMPT_ENDED;
    }
    AwaitPpp(conn);
    if (Aborted(conn)) {
        ERRORINFO_Clear(&conn->error, ERRORINFO_AT(kModule));
        return ATTEMPT_STOPPED;
    }
    if (conn->state.load() != TUNLEX_STATE_PPP_UP) {
        HandshakeFailureMessage(conn);
        return ATTEMPT_ENDED;
    }

    const TUNLEX_InterfaceInfo *adapter = t->adapter;
    if (adapter) {
        if (!ConfigureAdapter(conn, adapter))
            return ATTEMPT_ENDED;
        if (Aborted(conn))
            return ATTEMPT_STOPPED;
        if (conn->state.load() != TUNLEX_STATE_PPP_UP)
            return ATTEMPT_ENDED;
        memset(&conn->stats, 0, sizeof conn->stats);
        AwaitAddress(conn, adapter);
        TUNLEX_InterfaceInfo info = {};
        uint32_t oper = 0;
        NETIFACE_Key key = {NETIFACE_BY_INDEX, adapter->ifIndex};
        if (NETIFACE_Lookup(&key, &info, &oper, nullptr)) {
            GUI_Print(1, 0, "\r\nInterface Information\r\n----------------------------\n");
            NETIFACE_Print(&info, &oper);
        }
    }

    if (Aborted(conn))
        return ATTEMPT_STOPPED;
    if (conn->state.load() != TUNLEX_STATE_PPP_UP)
        return ATTEMPT_ENDED;
    const TUNLEX_RouteOps *route = g_routeOps.load();
    if (adapter && conn->routeClient && route && !SetUpRoutes(conn, adapter, route))
        return ATTEMPT_ENDED;

    if (Aborted(conn))
        return ATTEMPT_STOPPED;
    if (conn->state.load() != TUNLEX_STATE_PPP_UP)
        return ATTEMPT_ENDED;
    RunConnected(conn, t);
    return Aborted(conn) ? ATTEMPT_STOPPED : ATTEMPT_ENDED;
}

// The attempt's clean-up on this thread, with every timer it armed.
static void EndAttempt(TUNLEX_Connection *conn)
{
    TIMER_Cancel(TIMER_ANY_CALLBACK, conn);
    TUNLEX_TearDown(conn);
}

static void CallExit(TUNLEX_Connection *conn)
{
    if (conn->exitCallback)
        conn->exitCallback(conn, conn->exitUser, conn->state.load(), conn->kind.load());
}

// tornDown: the attempt's clean-up has run already (a stop during the
// reconnection wait), so the route service hears of the end only once.
static uint32_t StoppedExit(TUNLEX_Connection *conn, bool tornDown)
{
    if (!ERRORINFO_IsEmpty(&conn->error))
        GUI_PrintErrorChain(1, &conn->error);
    if (!tornDown)
        EndAttempt(conn);
    conn->abortFlag = 0;
    memset(&conn->config, 0, sizeof conn->config);
    TUNLEX_ResetRates(conn);
    TUNLEX_SetState(conn, TUNLEX_STATE_DISCONNECTED, TUNLEX_KIND_UNKNOWN);
    CallExit(conn);
    return 0;
}

static uint32_t FailedExit(TUNLEX_Connection *conn)
{
    conn->abortFlag = 0;
    memset(&conn->config, 0, sizeof conn->config);
    TUNLEX_ResetRates(conn);
    if (ERRORINFO_IsEmpty(&conn->error))
        ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "Unknown error (%lu): %s",
                      static_cast<unsigned long>(__LINE__),
                      TUNLEX_StateText(conn->state.load(), conn->kind.load()));
    if (conn->state.load() != TUNLEX_STATE_ERROR)
        TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_UNKNOWN);
    CallExit(conn);
    return 1;
}

uint32_t TUNLEX_ConnectionThread(void *connection)
{
    TUNLEX_Connection *conn = static_cast<TUNLEX_Connection *>(connection);
    if (!conn)
        return 1;
    // Every wait for the route service on this thread sees the abort flag.
    ROUTE_Service_WatchAbort(&conn->abortFlag);
    ThreadLocals t = {};
    t.reconnectAllowed = conn->config.autoReconnect ? 1 : 0;
    conn->abortFlag = 0;
    t.adapter = AdapterRecord(conn);
    for (;;) {
        // Every wait sees the abort flag, so a disconnect can end any step:
        // that is a stop, not a failure.
        if (RunAttempt(conn, &t) == ATTEMPT_STOPPED || Aborted(conn))
            return StoppedExit(conn, false);
        EndAttempt(conn);
        if (!t.reconnectAllowed || !t.established)
            return FailedExit(conn);
        TUNLEX_SetState(conn, TUNLEX_STATE_DISCONNECTED, TUNLEX_KIND_UNKNOWN);
        uint32_t wait = TUNLEX_ReconnectDelay(t.attempt);
        if (wait == TUNLEX_RECONNECT_GIVE_UP) {
            ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule),
                          "To many reconnect attempts, giving up");
            return FailedExit(conn);
        }
        if (wait == 0)
            continue;
        if (!ERRORINFO_IsEmpty(&conn->error))
            GUI_PrintErrorChain(1, &conn->error);
        char text[256];
        snprintf(text, sizeof text, "Reconnecting in %u seconds (%u of %d).\n", wait, t.attempt,
                 static_cast<int>(TUNLEX_MAX_RECONNECTS));
        GUI_Print(1, 0, "%s", text);
        GUI_Notify(2, text);
        if (SleepAbortable(conn, wait))
            return StoppedExit(conn, true);
    }
}

// ---------------------------------------------------------------------------
// Connection control

int TUNLEX_InitLayers(ErrorInfo *chain)
{
    if (!CP_Init(RT_TickCount32, 1000)) {
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to initialize emulation layer");
        return 0;
    }
    if (!NETTCP_Init(chain)) {
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to initialize TCP layer");
        return 0;
    }
    if (!NETSSL_Init(chain)) {
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to initialize OpenSSL");
        return 0;
    }
    return 1;
}

void TUNLEX_SetTap(TUNLEX_Connection *conn, NETTAP_Handle *tap, int packetDump)
{
    if (!conn)
        return;
    conn->tap = tap;
    const TUNLEX_AdapterOps *ops = g_adapterOps.load();
    if (tap && ops && ops->SetPacketDump)
        ops->SetPacketDump(tap, packetDump);
}

int TUNLEX_SetConfig(TUNLEX_Connection *conn, const TUNLEX_Config *config, ErrorInfo *chain)
{
    if (!conn)
        return 0;
    if (conn->state.load() != TUNLEX_STATE_DISCONNECTED) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Can only set config values when disconnected");
        return 0;
    }
    GUI_Print(1, 0, "Using configuration\r\n");
    CONFIG_Print(config);
    // Before anything is asked of the route service: nothing is changed.
    if (!CONFIG_CheckRoutes(config, chain))
        return 0;
    return CONFIG_Copy(&conn->config, config, chain);
}

TUNLEX_Config *TUNLEX_GetConfig(TUNLEX_Connection *conn)
{
    if (!conn)
        return nullptr;
    if (conn->state.load() == TUNLEX_STATE_CONNECTED && !conn->config.fingerprint[0]) {
        if (char *fingerprint = NETSSL_GetFingerprint(conn, nullptr)) {
            STR_LCopy(conn->config.fingerprint, fingerprint, sizeof conn->config.fingerprint);
            free(fingerprint);
        }
    }
    return &conn->config;
}

static int FailIfEmpty(ErrorInfo *chain, int32_t line, const char *text)
{
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, kModule, line, "%s", text);
    return 0;
}

enum : uint32_t {
    STOP_FIRST_WAIT_MS = 100,
    STOP_CHECK_MS = 100,
    STOP_CHECKS = 10,
    // The whole disconnect, the clean-up's exchanges with the route service
    // included, stays within the 1.1 s the thread is given; replies that
    // come later are read away by the next exchange.
    STOP_BUDGET_MS = 900
};

// The attempt clean-up on the GUI thread, its waits for the route service
// bounded by what is left of the disconnect's time.
static void TearDownWithin(TUNLEX_Connection *conn, uint64_t started)
{
    uint64_t spent = RT_TickCount64() - started;
    ROUTE_Service_SetWaitBudget(spent < STOP_BUDGET_MS ? static_cast<int64_t>(STOP_BUDGET_MS - spent) : 0);
    TUNLEX_TearDown(conn);
    ROUTE_Service_SetWaitBudget(-1);
}

int TUNLEX_Connect(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    if (!conn)
        return 0;
    if (conn->state.load() != TUNLEX_STATE_DISCONNECTED)
        return FailIfEmpty(chain, __LINE__, "Connection in wrong state");
    if (!conn->config.server[0])
        return FailIfEmpty(chain, __LINE__, "No server specified");
    if (conn->config.port == 0)
        return FailIfEmpty(chain, __LINE__, "No port specified");
    if (conn->thread) {
        // The last thread may still be in its exit callback after its final
        // state change; two threads must never drive one context.
        if (!TUNLEX_ThreadWait(conn->thread, STOP_FIRST_WAIT_MS + STOP_CHECKS * STOP_CHECK_MS))
            return FailIfEmpty(chain, __LINE__, "Connection in wrong state");
        TUNLEX_ThreadClose(conn->thread);
        conn->thread = nullptr;
    }
    conn->thread = TUNLEX_ThreadCreate(TUNLEX_ConnectionThread, conn);
    if (!conn->thread)
        return FailIfEmpty(chain, __LINE__, "Unable to create connection thread");
    return 1;
}

// 0 when the thread may still run: then it keeps the thread record and
// everything of the connection (its TLS, PPP and socket), which are not
// torn down, and the connection keeps its state, so that no new attempt
// starts on it.
static bool KillThread(TUNLEX_Connection *conn)
{
    if (!TUNLEX_ThreadStop(conn->thread, 1)) {
        GUI_Print(1, 0, "Unable to stop the connection thread; its connection is left to it\n");
        return false;
    }
    TUNLEX_ThreadClose(conn->thread);
    conn->thread = nullptr;
    TUNLEX_ResetRates(conn);
    return true;
}

static int LeftToThread(ErrorInfo *chain)
{
    ERRORINFO_Append(chain, ERRORINFO_AT(kModule), "The connection thread did not stop");
    return 0;
}

int TUNLEX_Disconnect(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    if (!conn)
        return 0;
    uint64_t started = RT_TickCount64();
    if (conn->thread) {
        uint32_t code = 0;
        bool readable = TUNLEX_ThreadExitCode(conn->thread, &code) != 0;
        if (readable) {
            conn->abortFlag = 1;
            NETSOCK_WakeSignal(IdleWake());   // an idle Connected loop sees it at once
            TUNLEX_ThreadWait(conn->thread, STOP_FIRST_WAIT_MS);
            for (uint32_t i = 0;; ++i) {
                readable = TUNLEX_ThreadExitCode(conn->thread, &code) != 0;
                if (!readable || code != TUNLEX_THREAD_STILL_ACTIVE || i == STOP_CHECKS)
                    break;
                TUNLEX_ThreadWait(conn->thread, STOP_CHECK_MS);
            }
            if (readable && code == TUNLEX_THREAD_STILL_ACTIVE && !KillThread(conn))
                return LeftToThread(chain);
        }
        if (!readable) {
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Error checking thread status");
            if (!KillThread(conn))
                return LeftToThread(chain);
            TearDownWithin(conn, started);
            memset(&conn->config, 0, sizeof conn->config);
            conn->abortFlag = 0;
            ERRORINFO_Append(chain, ERRORINFO_AT(kModule), "Fatal error, thread terminating");
            TUNLEX_SetState(conn, TUNLEX_STATE_DISCONNECTED, TUNLEX_KIND_UNKNOWN);
            return 0;
        }
    }
    TearDownWithin(conn, started);
    memset(&conn->config, 0, sizeof conn->config);
    conn->abortFlag = 0;
    TUNLEX_SetState(conn, TUNLEX_STATE_DISCONNECTED, TUNLEX_KIND_UNKNOWN);
    return 1;
}

int TUNLEX_IsRunning(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    if (!conn || !conn->thread)
        return 0;
    uint32_t code = 0;
    if (!TUNLEX_ThreadExitCode(conn->thread, &code)) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to get connection state");
        return 0;
    }
    return code == TUNLEX_THREAD_STILL_ACTIVE;
}
