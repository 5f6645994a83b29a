// The connection context: the tunnel core's face towards the client.
//
// One TUNLEX_Connection lives for the whole process. The GUI thread creates it,
// registers the callbacks and borrowed handles, and reads it; the connection
// thread drives it. Every state change goes through TUNLEX_SetState, which
// reports it to the state callback on the calling thread.
#ifndef TLX_TUNLEX_H
#define TLX_TUNLEX_H

#include <stdint.h>

#include <atomic>

#include "config.h"
#include "errorinfo.h"

// Defined by the modules that own them.
struct PPP_Context;       // PPP engine, one per attempt
struct PcapWriter;        // capture file, borrowed
struct NETTAP_Handle;     // TUN/TAP adapter, borrowed
struct NETSSL_Handle;     // TLS connection, one per attempt
struct ROUTE_PipeHandle;  // route-service pipe, borrowed
struct TUNLEX_Thread;     // the connection thread's system handle

enum TUNLEX_State : uint32_t {
    TUNLEX_STATE_DISCONNECTED = 0,
    TUNLEX_STATE_CONNECTING = 1,
    TUNLEX_STATE_PPP_UP = 2,
    TUNLEX_STATE_CONNECTED = 3,
    TUNLEX_STATE_OTP_PROMPTED = 4,
    TUNLEX_STATE_ERROR = 5
};

// The reason that goes with the states Connecting and Error.
enum TUNLEX_ErrorKind : uint32_t {
    TUNLEX_KIND_UNKNOWN = 0,
    TUNLEX_KIND_PROXY = 1,
    TUNLEX_KIND_SOCKET_CLOSED = 2,
    TUNLEX_KIND_SSL = 3,
    TUNLEX_KIND_SSL_HANDSHAKE = 4,
    TUNLEX_KIND_PPP_PHASE = 5,
    TUNLEX_KIND_PPP_HANDSHAKE = 6,
    TUNLEX_KIND_PPP_TIMEOUT = 7,
    TUNLEX_KIND_AUTHENTICATION = 8,
    TUNLEX_KIND_ROUTE_TIMEOUT = 9
};

// What IPCP negotiated; addresses in network byte order.
struct TUNLEX_NetworkConfig {
    uint32_t ClientIP;
    uint32_t ServerIP;
    uint32_t DNS1;
    uint32_t DNS2;
    uint32_t NBNS1;
    uint32_t NBNS2;
    uint32_t MTU;       // the smaller of our MRU and the gateway's
    uint32_t MRU;       // the gateway's
};

constexpr uint32_t TUNLEX_RATE_SLOTS = 4;

// IPv4 traffic counters; rates in bytes per second over the last 4 seconds.
struct TUNLEX_Statistics {
    uint64_t bytesSent;
    uint64_t bytesReceived;
    uint32_t sendRate;
    uint32_t receiveRate;
    uint32_t ringIndex;                          // slot written last, 0..3
    uint64_t sentSnapshots[TUNLEX_RATE_SLOTS];
    uint64_t receivedSnapshots[TUNLEX_RATE_SLOTS];
};

constexpr uint32_t TUNLEX_FRIENDLY_NAME_SIZE = 132;
constexpr uint32_t TUNLEX_ADAPTER_NAME_SIZE = 260;
constexpr uint32_t TUNLEX_DESCRIPTION_SIZE = 132;
constexpr uint32_t TUNLEX_URL_SIZE = 2048;

// One network adapter; texts always terminated, addresses in network order
// (0 when absent).
struct TUNLEX_InterfaceInfo {
    uint32_t ifIndex;
    char friendlyName[TUNLEX_FRIENDLY_NAME_SIZE];
    char adapterName[TUNLEX_ADAPTER_NAME_SIZE];   // GUID text with braces
    char description[TUNLEX_DESCRIPTION_SIZE];
    uint32_t mtu;
    uint32_t address;
    uint32_t mask;
    uint32_t gateway;
    uint32_t dns1;
    uint32_t dns2;
};

struct TUNLEX_Connection;

// Called for every TUNLEX_SetState (also without a change) and, the exit
// callback, once when the connection thread ends; on the calling thread.
typedef void (*TUNLEX_StateCallback)(TUNLEX_Connection *conn, void *user, TUNLEX_State state,
                                     TUNLEX_ErrorKind kind);
typedef void (*TUNLEX_ExitCallback)(TUNLEX_Connection *conn, void *user, TUNLEX_State state,
                                    TUNLEX_ErrorKind kind);

// The one connection context. The abort flag, state and kind cross threads
// and are atomic; the other shared words are written by one side at a time
// and readers accept a value one update old.
struct TUNLEX_Connection {
    std::atomic<uint32_t> abortFlag;     // 1 asks the connection thread to stop
    std::atomic<TUNLEX_State> state;
    std::atomic<TUNLEX_ErrorKind> kind;
    TUNLEX_Config config;                // copy of the current connection's configuration
    int32_t socket;                      // -1 when none
    uint32_t serverAddress;              // network order, 0 without connection
    uint32_t localAddress;
    TUNLEX_InterfaceInfo localInterface; // adapter carrying the TCP connection
    TUNLEX_Statistics stats;
    TUNLEX_NetworkConfig netcfg;
    NETSSL_Handle *ssl;                  // null without TLS
    PPP_Context *ppp;                    // null outside an attempt
    PcapWriter *capture;                 // borrowed; null when not capturing
    NETTAP_Handle *tap;                  // borrowed
    TUNLEX_Thread *thread;               // null before the first connect
    ErrorInfo error;                     // errors of the current or last attempt
    ROUTE_PipeHandle *routeClient;       // borrowed; null without the service
    uint32_t ipcpUp;
    uint32_t vspDone;
    char gatewayUrl[TUNLEX_URL_SIZE];    // first URL option of this attempt
    void *stateUser;
    TUNLEX_StateCallback stateCallback;
    void *exitUser;
    TUNLEX_ExitCallback exitCallback;
};

// A zeroed context in state Disconnected with socket -1 and port 443; null
// without memory. It is never freed.
TUNLEX_Connection *TUNLEX_Create(void);

void TUNLEX_SetCapture(TUNLEX_Connection *conn, PcapWriter *writer);
int TUNLEX_SetStateCallback(TUNLEX_Connection *conn, TUNLEX_StateCallback callback, void *user);
int TUNLEX_SetExitCallback(TUNLEX_Connection *conn, TUNLEX_ExitCallback callback, void *user);
void TUNLEX_SetRouteClient(TUNLEX_Connection *conn, ROUTE_PipeHandle *client);

// Getters accept a null context: "", 0, null, Disconnected.
const char *TUNLEX_GetServer(const TUNLEX_Connection *conn);
uint16_t TUNLEX_GetPort(const TUNLEX_Connection *conn);
uint32_t TUNLEX_GetClientIP(const TUNLEX_Connection *conn);
ErrorInfo *TUNLEX_GetError(TUNLEX_Connection *conn);
TUNLEX_Statistics *TUNLEX_GetStatistics(TUNLEX_Connection *conn);
TUNLEX_State TUNLEX_GetState(const TUNLEX_Connection *conn);
TUNLEX_NetworkConfig *TUNLEX_GetNetworkConfig(TUNLEX_Connection *conn);

// Stores the state, logs "Error Event: %u" for Error, keeps the kind only for
// Connecting and Error (else Unknown), then calls the state callback.
void TUNLEX_SetState(TUNLEX_Connection *conn, TUNLEX_State state, TUNLEX_ErrorKind kind);

// Texts; "N/A" for values without one. StateText joins "%s (%s)" for
// Connecting and Error in STR_TempPrintf's rotating buffers.
const char *TUNLEX_StateName(uint32_t state);
const char *TUNLEX_KindName(uint32_t kind);
const char *TUNLEX_StateText(uint32_t state, uint32_t kind);

// 1 before Windows Vista, or when the version cannot be read (then with
// "Unable to determine OS version (GetLastError: %lu)" if the chain is empty).
int TUNLEX_IsPreVista(ErrorInfo *chain);

// Dotted text of a network-order address in one of this thread's 5 rotating
// 128-byte slots: a text stays valid for four further calls on the thread.
const char *TUNLEX_IpToString(uint32_t address);

#endif
