// The connection context: creation, setters and getters, the state setter and
// the texts of states and reasons.
#include "tunlex.h"

#include <new>

#include "gui_log.h"
#include "os_version.h"
#include "parse.h"
#include "str.h"

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
