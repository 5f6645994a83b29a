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

// ---- Adapter and route service, as the connection thread sees them ----
//
// The TUN/TAP adapter and the route-service client are reached through these
// tables, which their modules register at start-up. Without an adapter table
// (or without an adapter recorded) the thread runs as a connection without
// adapter: the adapter address, the address wait and the route set-up are
// skipped, and packets from the tunnel are dropped. Without a route table the
// route-service requests count as failed (the status reports are skipped).
struct PKT_Buffer;

struct TUNLEX_AdapterOps {
    // The adapter's interface record; null without handle.
    const TUNLEX_InterfaceInfo *(*GetInfo)(const NETTAP_Handle *tap);
    int (*SetMediaStatus)(NETTAP_Handle *tap, int connected);
    int (*ConfigTun)(NETTAP_Handle *tap, uint32_t address, uint32_t mask, ErrorInfo *chain);
    // 1 written (packet taken over), 0 failed (packet still the caller's).
    int (*Send)(NETTAP_Handle *tap, PKT_Buffer *packet);
    // The oldest packet read from the adapter, or null; never waits.
    PKT_Buffer *(*Receive)(NETTAP_Handle *tap);
    void (*SetPacketDump)(NETTAP_Handle *tap, int on);
    // The end of a burst of Sends, before an idle wait; may be null.
    void (*EndBurst)(NETTAP_Handle *tap);
    // The idle wait's look at the adapter (both may be null): a descriptor
    // to wait on (NETTAP_WaitHandle), and the short wait for the reader's
    // packet once it is ready (NETTAP_AwaitQueued).
    intptr_t (*WaitHandle)(NETTAP_Handle *tap);
    int (*AwaitQueued)(NETTAP_Handle *tap, uint32_t us);
};

struct TUNLEX_RouteOps {
    int (*SetAddressIface)(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap, uint32_t address,
                           uint32_t mask, uint32_t gateway, uint32_t mtu, ErrorInfo *chain);
    int (*RemoveGateway)(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap, uint32_t gateway,
                         ErrorInfo *chain);
    int (*SetDNSIface)(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap, int clear, uint32_t dns1,
                       uint32_t dns2, ErrorInfo *chain);
    int (*Init)(ROUTE_PipeHandle *pipe, const TUNLEX_InterfaceInfo *adapter, int allNets,
                ErrorInfo *chain);
    int (*Add)(ROUTE_PipeHandle *pipe, const TUNLEX_InterfaceInfo *iface, uint32_t destination,
               uint32_t mask, uint32_t gateway, uint32_t metric, ErrorInfo *chain);
    int (*CleanUp)(ROUTE_PipeHandle *pipe, ErrorInfo *chain);
    void (*ClientStatus)(ROUTE_PipeHandle *pipe, int established);
    // The configured client routes; the two callbacks get the connection.
    void (*AddRoutes)(void *connection);
    int (*CheckRoutes)(TUNLEX_Connection *conn, ErrorInfo *chain);
    void (*RouteTimeout)(void *connection);
};

// Null removes a table. Set before any connection starts.
void TUNLEX_SetAdapterOps(const TUNLEX_AdapterOps *ops);
void TUNLEX_SetRouteOps(const TUNLEX_RouteOps *ops);

// ---- Connection thread ----

// The thread procedure: attempts, reconnection, and the stopped (0) or
// failed (1) exit. The argument is the TUNLEX_Connection.
uint32_t TUNLEX_ConnectionThread(void *connection);

// Releases what an attempt made (PPP, TLS, socket) and reports the end to the
// route service and the adapter. Safe to call twice and on any thread.
void TUNLEX_TearDown(TUNLEX_Connection *conn);

// One pass of the data pump, at most one packet each way. 1 when one moved.
int TUNLEX_Pump(TUNLEX_Connection *conn, ErrorInfo *chain);

// Sends the 12 bytes "TUNLEX 1.0\n\n".
int TUNLEX_SendGreeting(TUNLEX_Connection *conn, ErrorInfo *chain);

// Rates 0, ring index 0, every snapshot set to its counter.
void TUNLEX_ResetRates(TUNLEX_Connection *conn);

// Timer callbacks; the context is the connection (the tick counter: a
// uint32_t counter).
void TUNLEX_RateTimer(void *connection);
void TUNLEX_PppHandshakeTimeout(void *connection);
void TUNLEX_AddressSetupTimeout(void *connection);
void TUNLEX_ReapplyAddress(void *connection);
void TUNLEX_TickCounter(void *counter);

enum : uint32_t {
    TUNLEX_MAX_RECONNECTS = 18,
    TUNLEX_RECONNECT_GIVE_UP = 0xFFFFFFFFu
};

// Seconds to wait after attempt n of a reconnection failed: 0 for the first
// three, then min(6n - 18, 60); TUNLEX_RECONNECT_GIVE_UP from n = 18.
uint32_t TUNLEX_ReconnectDelay(uint32_t attempt);

// The DNS request that re-applies the negotiated servers to an adapter.
struct TUNLEX_DnsRequest {
    int clear;          // 1 replaces the adapter's list
    uint32_t dns1;
    uint32_t dns2;
};
TUNLEX_DnsRequest TUNLEX_ChooseDnsRequest(uint32_t haveDns1, uint32_t haveDns2, uint32_t wantDns1,
                                          uint32_t wantDns2);

// The adapter's gateway the address wait expects: the gateway's tunnel
// address for a full tunnel (no-routes clear, no client routes), else 0.
uint32_t TUNLEX_WantedGateway(const TUNLEX_Connection *conn);

// Test seam: the thread's set-up time-outs (PPP handshake, address wait,
// route wait) and its reconnection waits run these many times faster (1, 1
// restores real time; the rate timer and the PPP engine's own timers are
// never scaled).
void TUNLEX_TestSetTimeDivisors(uint32_t timeouts, uint32_t backoff);

// ---- Connection control (GUI thread) ----

// Once per process: the timer service on the system tick and the packet
// pool, the socket library, OpenSSL.
int TUNLEX_InitLayers(ErrorInfo *chain);

// Records the adapter (borrowed) and passes the packet-dump flag to it.
void TUNLEX_SetTap(TUNLEX_Connection *conn, NETTAP_Handle *tap, int packetDump);

// Copies the configuration; only while Disconnected.
int TUNLEX_SetConfig(TUNLEX_Connection *conn, const TUNLEX_Config *config, ErrorInfo *chain);

// The configuration copy. While Connected an empty fingerprint field is first
// filled from the live TLS connection.
TUNLEX_Config *TUNLEX_GetConfig(TUNLEX_Connection *conn);

// Starts the connection thread; only while Disconnected, with a server and a port.
int TUNLEX_Connect(TUNLEX_Connection *conn, ErrorInfo *chain);

// Asks the thread to stop, gives it about 1.1 s, stops it if it has not
// ended (Windows only: Linux waits for it), cleans up once more, zeroes the
// configuration copy and sets Disconnected.
int TUNLEX_Disconnect(TUNLEX_Connection *conn, ErrorInfo *chain);

// 1 while the connection thread runs.
int TUNLEX_IsRunning(TUNLEX_Connection *conn, ErrorInfo *chain);

#endif
