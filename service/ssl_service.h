// The route service's one service object: a worker that serves the pipe one
// client at a time, answers each request with one reply, and undoes a
// client's route changes when it goes away.
#pragma once

#include "route_work.h"
#include "service_base.h"
#include "service_pipe_protocol.h"

#include <atomic>
#include <cstdint>

#define SVC_REQUEST_MAX SVCPIPE_SERVICE_BUFFER
#define SVC_REPLY_MAX SVCPIPE_SERVICE_BUFFER
#define SVC_MAX_TOKENS SVCPIPE_MAX_FIELDS
#define SVC_ADAPTER_NAME_MAX 128
// The longest request the client ever sends, its NUL included.
#define SVC_REQUEST_LIMIT SVCPIPE_CLIENT_BUFFER
// Request length the pipe reports for a message that did not fit.
#define SVC_REQUEST_TOO_LONG (SVC_REQUEST_MAX + 1)
// Routes one client may have added at a time.
#define SVC_MAX_CLIENT_ROUTES 64
// How long a caller may take, in milliseconds: to have its ClientHello
// accepted once its connection is taken, and to take a reply the service
// writes. Neither limit measures a bound client's silence between requests.
#define SVC_HELLO_DEADLINE_MS 5000u
#define SVC_REPLY_DEADLINE_MS 10000u
// What every refused request is answered with (ERROR_INVALID_PARAMETER, on
// every system: the client reads only "OK" or not).
#define SVC_REFUSED 0x57u
// A worker that ends unasked reports SERVICE_STOPPED with the system's
// "service-specific error" (ERROR_SERVICE_SPECIFIC_ERROR) and one of the
// service's own codes.
#define SVC_SERVICE_SPECIFIC_ERROR 1066u
#define SVC_EXIT_PIPE_TAKEN 1u  // the pipe could not be made (its name taken)

// The descriptions a TAP adapter's own description begins with.
extern const char *const SVC_TapDescriptions[2];
bool SVC_IsTapDescription(const char *description);

// The interface and route operations the dispatcher performs. Each returns 0
// or an error code. The service's own table, SVC_SystemOps, holds the
// IFACE_ and ROUTE_ operations; a test gives the object a table of its own.
struct ServiceOps {
    uint32_t (*SetAddress)(const char *name, uint32_t index, uint32_t address, uint32_t mask,
                           uint32_t gateway, uint32_t mtu);
    uint32_t (*DeleteAddress)(const char *name, uint32_t index, uint32_t address);
    uint32_t (*SetDns)(const char *name, uint32_t index, bool clear, uint32_t dns1, uint32_t dns2);
    // The adapter's placeholder (address 1.1.1.1/24, no gateway, MTU 1400,
    // no DNS servers); nonzero only when a step could not be started.
    uint32_t (*ResetAdapter)(const char *name, uint32_t index);
    uint32_t (*PrepareInterface)(uint32_t index, uint32_t allNets);
    uint32_t (*AddRoute)(uint32_t index, uint32_t destination, uint32_t mask, uint32_t nextHop,
                         uint32_t metric);
    uint32_t (*RaiseMetric)(uint32_t destination);
    uint32_t (*RestoreMetrics)();
    uint32_t (*CleanUpRoutes)();
    // 0 when the system has a TAP adapter of that name and index (its
    // description is one of SVC_TapDescriptions), else an error code.
    uint32_t (*FindTapAdapter)(const char *name, uint32_t index);
    // How a host route to destination through the interface index and
    // nextHop stands to the routes the destination takes off the tunnel,
    // in the table as read now (the adapter tunnel's routes left out) and
    // among the default routes the service removed and will put back
    // (SVC_JudgeHostRoute). SVC_ROUTE_NONE also when the table cannot be read.
    int (*JudgeHostRoute)(uint32_t destination, uint32_t tunnel, uint32_t index, uint32_t nextHop);
    // False only when the system says the address is none of its own and no
    // broadcast address of one of its networks.
    bool (*IsLocalAddress)(uint32_t address);
    // The whole clean-up of a client that has gone, with the adapter of its
    // ClientHello.
    uint32_t (*CleanUpClient)(const char *name, uint32_t index);
    // At the worker's start: takes the service's lock and undoes what a
    // predecessor that died left; nonzero when another copy of the service
    // runs (the worker then ends without touching anything).
    uint32_t (*RecoverState)();
};
extern const ServiceOps SVC_SystemOps;

// What SVC_JudgeHostRoute finds.
enum {
    SVC_ROUTE_TAKEN = 0,         // one of the most specific routes goes that way
    SVC_ROUTE_NONE = 1,          // no route holds the destination
    SVC_ROUTE_OTHER_IFACE = 2,   // the most specific routes leave by other interfaces
    SVC_ROUTE_OTHER_NEXT_HOP = 3 // ... by that interface, with another next hop
};
// Judges a host route among rows (a table as read) and the removed default
// routes: is (index, nextHop) that of one of the most specific routes for
// the destination that are not the tunnel adapter's? Every route of that
// prefix counts whatever its metric: the metrics of default routes are
// raised for the tunnel before the host route comes, and the host reaches
// the gateway by any of them. A route out of no interface (unreachable,
// blackhole) has interface 0 and matches no request; a route over several
// next hops is met through the rows of its hops (ROUTE_TYPE_NEXT_HOP).
int SVC_JudgeHostRoute(const RouteRow *rows, uint32_t count, const RouteRecord *removed, uint32_t destination,
                       uint32_t tunnel, uint32_t index, uint32_t nextHop);

// A route a client added: what makes it the same route again.
struct ClientRoute {
    uint32_t index, destination, mask;
};

// Pipe states.
enum { PIPE_CONNECTING = 0, PIPE_READING = 1, PIPE_WRITING = 2 };

struct PipeSys;  // the platform's pipe instance and wake-up

class CSSLService : public CServiceBase {
public:
    // Throws the error code when the stopped event cannot be made.
    explicit CSSLService(const ServiceOps *ops = &SVC_SystemOps);
    ~CSSLService() override;

    void OnServiceStart(uint32_t argc, char **argv) override;
    void RunWorker() override;
    void OnServiceStop() override;

    void QueueWorker();
    static void WorkItemThunk(void *context);
    // The pipe made, or the failure logged and written as an error event.
    bool MakePipe(const char *when);
    // The worker's end without a stop: pipe closed, stopped event set, and
    // under the service manager SERVICE_STOPPED with the Win32 code, or with
    // the service-specific one when that is not 0.
    void EndUnasked(uint32_t win32Code, uint32_t specificCode);
    bool HasStopped();  // the worker has run its end step

    // Pipe (platform half). Initialize, Open and Exchange return 1 or 0;
    // Exchange returns 1 when a request is in the request buffer.
    int PIPE_Initialize();
    int PIPE_Open();
    int PIPE_Exchange();
    void PIPE_Disconnect();  // ends the client's connection
    void PIPE_Close();       // closes the pipe instance
    void PIPE_Wake();        // ends any wait of the worker (from another thread)
    // Pipe (shared half): empties the buffers so that the next step is a
    // connect; logs a failure to make the pipe and keeps its code.
    void PIPE_ResetExchange();
    void PIPE_ReportCreateFailure(uint32_t code);
    // Logs the end of a connection whose caller ran out of time: for its
    // ClientHello (hello) or for taking a reply.
    void PIPE_ReportLimit(bool hello);

    // Checks the request's framing, tokenises it, runs the pre-step of
    // ROUTE_CleanUp, and dispatches. 0 when the worker must end.
    int CMD_Handle();
    // Forgets the adapter binding and the routes of the client that went.
    void CMD_ResetClient();
    void CMD_Dispatch(char **tokens, uint32_t count);
    void CMD_Reply(const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    std::atomic<int32_t> stopping;
    void *stoppedEvent;
    uint32_t lastError;
    // Nonzero when the worker ended at its start without serving (another
    // copy of the service holds the lock): the program's exit says so.
    uint32_t startError;
    PipeSys *pipe;
    char request[SVC_REQUEST_MAX + 1];  // one more byte: a request always ends in a NUL
    uint32_t requestLength;
    char reply[SVC_REPLY_MAX];
    uint32_t replyLength;
    int32_t pending;
    int32_t pipeState;
    // The adapter the client named in its ClientHello on this connection and
    // the service found to be a TAP adapter; every later command is bound
    // to it. Set only by an accepted ClientHello, cleared for each client.
    bool bound;
    char adapterName[SVC_ADAPTER_NAME_MAX];
    uint32_t adapterIndex;
    ClientRoute routes[SVC_MAX_CLIENT_ROUTES];  // added since the hello or the last clean-up
    uint32_t routeCount;
    const ServiceOps *ops;
    // SVC_HELLO_DEADLINE_MS and SVC_REPLY_DEADLINE_MS; tests shorten them.
    std::atomic<uint32_t> helloDeadlineMs{SVC_HELLO_DEADLINE_MS};
    std::atomic<uint32_t> replyDeadlineMs{SVC_REPLY_DEADLINE_MS};
};

// The platform's events and thread pool (ssl_service_win32.cpp,
// ssl_service_linux.cpp). The event functions return 0 or an error code.
uint32_t SVCSYS_EventCreate(void **event);  // manual reset, not signalled
void SVCSYS_EventSet(void *event);
uint32_t SVCSYS_EventWait(void *event);
bool SVCSYS_EventIsSet(void *event);
void SVCSYS_EventClose(void *event);
uint32_t SVCSYS_QueueWork(void (*fn)(void *), void *context);
// Whether the pipe is made before the recovery: where its creation fails
// while another process holds it (Windows), so that a second copy cannot
// take it; elsewhere the lock the recovery takes comes first.
bool SVCSYS_PipeBeforeRecovery();
extern const uint32_t SVCSYS_OutOfMemory;
uint32_t PIPESYS_Create(PipeSys **pipe);  // the wake-up, for the object's life
void PIPESYS_Destroy(PipeSys *pipe);
// The system's TAP adapter lookup (ServiceOps::FindTapAdapter): Windows by
// adapter name (the GUID), Linux by link name (the alias carries the
// description; for the caller being served, only a tun link of the caller's
// user or group, or any tun link for root). 0, or an error code.
uint32_t SVCSYS_FindTapAdapter(const char *name, uint32_t index);
