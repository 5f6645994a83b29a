// The route service's client: every change to the machine's network set-up
// is asked of the service over its pipe (service_pipe_protocol.h), one
// request and one reply at a time. Also a lookup in the system route table.
//
// Every request waits at most ROUTE_SERVICE_REPLY_TIMEOUT_MS for its reply.
// A reply counts only when it is exactly "<command> OK"; the service's error
// code is not passed on. The wrappers log their failures and leave the chain
// alone, with the one exception of ROUTE_Service_ClientHello.
#ifndef TLX_ROUTE_SERVICE_H
#define TLX_ROUTE_SERVICE_H

#include <stdint.h>

#include <atomic>

#include "errorinfo.h"
#include "tunlex.h"

struct NETTAP_Handle;

enum : uint32_t {
    ROUTE_PENDING_MAX = 8,          // exchanges given up whose replies are still owed
    ROUTE_PENDING_NAME_SIZE = 32
};

// The pipe to the service; handle PIPECLIENT_NONE (-1) when there is none.
// An exchange given up before its reply came (time-out, abort, wait budget)
// is recorded, oldest first: the service answers in request order, so the
// next exchange reads those late replies away before it takes its own.
struct ROUTE_PipeHandle {
    intptr_t handle;
    char pending[ROUTE_PENDING_MAX][ROUTE_PENDING_NAME_SIZE] = {};
    uint32_t pendingCount = 0;
};

enum : uint32_t {
    // Long enough for the slowest command (several netsh and route runs of
    // the service); only a service that never answers reaches it.
    ROUTE_SERVICE_REPLY_TIMEOUT_MS = 60000,
    ROUTE_SERVICE_WRITE_TIMEOUT_MS = 5000,
    ROUTE_SERVICE_ABORT_CHECK_MS = 50,
    ROUTE_ANY = 0xFFFFFFFFu,      // "any interface" / "any metric" of ROUTE_FindSystemRoute
    ROUTE_ADDED_METRIC = 2
};

// The time-out of every reply; 0 restores ROUTE_SERVICE_REPLY_TIMEOUT_MS
// (tests).
void ROUTE_Service_SetReplyTimeout(uint32_t ms);

// Limits of the calling thread's waits for replies. The connection thread
// names its abort flag: once the flag is set, no exchange of that thread
// waits longer than ROUTE_SERVICE_ABORT_CHECK_MS (requests are still sent,
// their replies not awaited). A budget of budgetMs from now (negative: none)
// bounds every wait that follows, as a disconnect's clean-up needs.
void ROUTE_Service_WatchAbort(const std::atomic<uint32_t> *abortFlag);
void ROUTE_Service_SetWaitBudget(int64_t budgetMs);

// Opens the pipe; a busy pipe is waited for 10 s at a time. The handle, or
// one whose handle is -1 (with a "DEBUG: ..." line in the log).
ROUTE_PipeHandle ROUTE_Service_OpenPipe(void);

// Closes the pipe and marks it invalid. The client program never closes its
// pipe (the process's end tells the service); tests and a second hello do.
void ROUTE_Service_ClosePipe(ROUTE_PipeHandle *pipe);

// One exchange: "<command>" or "<command>,<arguments>" with its NUL, then
// the reply. 1 when the reply is "<command> OK". A request that would not fit
// the 2048-byte buffer whole is not sent. Logs "Service: %s OK/FAILED". The
// chain is not used. Replies owed to earlier exchanges that were given up
// are read away first, and a reply that names another command is skipped
// (logged) within the same deadline. A request whose reply is not awaited
// because the connection is stopping (abort flag, wait budget) returns 0
// with one "not awaited" line and no failure line; so do the wrappers.
int ROUTE_Service_Call(ROUTE_PipeHandle *pipe, ErrorInfo *chain, const char *command,
                       const char *format, ...) __attribute__((format(gnu_printf, 4, 5)));

// Opens the process's pipe and says "ClientHello" with the adapter's GUID
// name and index. The process's pipe, or null with "Unable to setup service
// communication" or "Failed to communicate with service" (if the chain is
// empty), then an entry that says what was found (no service, a service
// busy with another caller, a refused, dropped or unanswered hello), and
// "ERROR: %s" in the log.
ROUTE_PipeHandle *ROUTE_Service_ClientHello(ErrorInfo *chain, const NETTAP_Handle *tap);

// Route commands; the interface record gives its index.
int ROUTE_Service_Init(ROUTE_PipeHandle *pipe, const TUNLEX_InterfaceInfo *iface, int allNets,
                       ErrorInfo *chain);
int ROUTE_Service_Add(ROUTE_PipeHandle *pipe, const TUNLEX_InterfaceInfo *iface,
                      uint32_t destination, uint32_t mask, uint32_t gateway, uint32_t metric,
                      ErrorInfo *chain);
int ROUTE_Service_CleanUp(ROUTE_PipeHandle *pipe, ErrorInfo *chain);
int ROUTE_Service_FixDefaultRoute(ROUTE_PipeHandle *pipe, ErrorInfo *chain);
int ROUTE_Service_FixRoute(ROUTE_PipeHandle *pipe, uint32_t destination, ErrorInfo *chain);
int ROUTE_Service_RestoreRoutes(ROUTE_PipeHandle *pipe, ErrorInfo *chain);

// Adapter commands: nothing is sent (0, no log line) unless the adapter is a
// supported one.
int SSL_Service_TUNLEX_SetAddressIface(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap,
                                       uint32_t address, uint32_t mask, uint32_t gateway,
                                       uint32_t mtu, ErrorInfo *chain);
int SSL_Service_TUNLEX_RemoveGateway(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap,
                                     uint32_t gateway, ErrorInfo *chain);
int SSL_Service_TUNLEX_SetDNSIface(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap, int clearDns,
                                   uint32_t dns1, uint32_t dns2, ErrorInfo *chain);

// "ClientStatus,Established" or "ClientStatus,Failed"; a failure is logged.
void ROUTE_Service_ClientStatus(ROUTE_PipeHandle *pipe, int established);

// 1 when the system route table has a row with this destination and mask
// (and this interface index and first metric, unless ROUTE_ANY); the first
// such row in table order. Logs "Found %s ..." or "Failed to find %s ...".
// A table that cannot be read: 0 with its message (if the chain is empty).
int ROUTE_FindSystemRoute(uint32_t ifIndex, uint32_t destination, uint32_t mask, uint32_t metric,
                          ErrorInfo *chain);

#endif
