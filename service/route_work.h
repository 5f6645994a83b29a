// The system's IPv4 route table, changed on the client's behalf and put back
// afterwards.
//
// Three process-wide lists remember what was changed, each pushed at its
// head and taken back most recent first:
//   AddedRoutes        routes created for the tunnel; deleted when the client goes
//   RemovedRoutes      default routes of other interfaces that were deleted;
//                      re-created when the client goes
//   RaisedMetricRoutes rows, as read before the change, of routes whose metric
//                      was raised; written back by ROUTE_RestoreMetrics only,
//                      so they outlive clients
// Every change goes through ROUTE_Apply: the system's route call first, the
// route tool as a fallback.
//
// Operations return 0 or an error code (Win32 on Windows, errno on Linux).
// Addresses are IPv4 in network byte order. Only the pipe worker calls these;
// the lists have no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#define ROUTE_ANY_INTERFACE 0xFFFFFFFFu
#define ROUTE_NO_METRIC 0xFFFFFFFFu
#define ROUTE_COMMAND_MAX 1024

// Route types and protocols, the IP Helper values.
enum {
    ROUTE_TYPE_OTHER = 1,
    ROUTE_TYPE_INVALID = 2,
    ROUTE_TYPE_DIRECT = 3,
    ROUTE_TYPE_INDIRECT = 4,
    // Not an IP Helper value. Where a route may leave over several next hops
    // (Linux), each of them is listed as a row of its own right after the
    // route's row (interface 0, no next hop): the same destination, type of
    // service and metric, the hop's interface and gateway. Such a row lets a
    // look-up see where the route leads; it is no route to change.
    ROUTE_TYPE_NEXT_HOP = 5
};
enum {
    ROUTE_PROTO_OTHER = 1,
    ROUTE_PROTO_LOCAL = 2,
    ROUTE_PROTO_NETMGMT = 3,
    ROUTE_PROTO_NT_AUTOSTATIC = 10002
};

enum { ROUTE_OP_CREATE = 0, ROUTE_OP_DELETE = 1, ROUTE_OP_UPDATE = 2 };

// One route, laid out as the IP Helper forward row, and the platform's own
// protocol word (Linux), kept so that a re-created route is as it was.
struct RouteRow {
    uint32_t destination;
    uint32_t mask;
    uint32_t policy;
    uint32_t nextHop;
    uint32_t ifIndex;
    uint32_t type;
    uint32_t protocol;
    uint32_t age;
    uint32_t nextHopAS;
    uint32_t metric1, metric2, metric3, metric4, metric5;
    uint32_t sysProtocol;  // 0 where the platform has none
};

// What the system holds of a route beyond its row, so that a route taken
// away is made again as it was, also by a successor that has only the state
// file (Linux: the kernel's table, scope, type and flags, the preferred
// source, the route's metrics entries with their lock word, a next-hop
// object, the next hops of a route over several). present 0: nothing beyond
// the row is known (Windows; an entry of an older service).
#define ROUTE_DETAIL_METRICS 20
#define ROUTE_DETAIL_HOPS 8
struct RouteHop {
    uint32_t gateway;
    uint32_t ifIndex;
    uint32_t weight;  // as the system counts it (Linux: the weight less 1)
    uint32_t flags;
};
struct RouteDetail {
    uint32_t present;
    uint32_t table;
    uint32_t scope;
    uint32_t type;
    uint32_t flags;
    uint32_t source;      // preferred source, 0 for none
    uint32_t nextHopId;   // 0 for none
    uint32_t metricsSet;  // bit n: metrics[n] is set
    uint32_t metrics[ROUTE_DETAIL_METRICS];
    uint32_t hopCount;
    RouteHop hops[ROUTE_DETAIL_HOPS];  // the first hopCount
};

struct RouteRecord {
    RouteRow row;
    RouteRecord *next;
    RouteDetail detail;  // removed routes: what the system held of it
};

uint32_t ROUTE_PrepareInterface(uint32_t index, uint32_t allNets);
uint32_t ROUTE_AddRoute(uint32_t index, uint32_t destination, uint32_t mask, uint32_t nextHop,
                        uint32_t metric);
// Raises by 2 the metric of every route to the destination whose metric is
// below 2 (any mask, any interface), so that the tunnel's own route at 1
// comes first. The routes behind them keep their order: a route the raise
// would reach or pass is moved by 2 as well, the farthest first. Each moved
// route is recorded once, before it moves (a move that fails takes its
// record back); a route recorded already is not recorded again, and a
// recorded route the system made again at its own metric takes the place
// of the copy moved before.
uint32_t ROUTE_RaiseMetric(uint32_t destination);
// Puts every raised route back at its own metric, the most recent first;
// where the system made the route again at that metric, the moved copy is
// deleted instead. Always 0.
uint32_t ROUTE_RestoreMetrics();
uint32_t ROUTE_CleanUpRoutes();   // always 0
// Everything a client changed, for a client that has gone (with or without
// its own clean-up) and for the service's end: the adapter back to its
// placeholder (its gateway route with it, DNS servers cleared), raised
// metrics written back, added routes deleted, removed routes re-created at
// the metric they had before the raise. Always 0.
uint32_t ROUTE_CleanUpClient(const char *name, uint32_t index);
// At the service's start: the service's lock is taken (STATE_Lock), then the
// changes a service that died left in the state file (STATE_Path) are undone
// as ROUTE_CleanUpClient does, each entry only after the checks a live
// request meets (the adapter a TAP adapter now; added routes only on it, or
// the one host route off the tunnel; removed and raised rows only of the
// kinds the service changes), then the file goes. A file that is not the
// service's own is refused whole. 0, or the lock's error when another copy
// of the service holds it (nothing is touched then). A lock that cannot be
// had for another reason leaves the service serving without an undo: every
// change it is asked for then fails unmade (STATE_SetUnkept).
uint32_t ROUTE_RecoverState();
// Replaces the adapter lookup of the recovery (tests); null restores the
// system's (STATESYS_FindAdapter).
void ROUTE_SetAdapterFinder(uint32_t (*find)(const char *name, uint32_t recorded, uint32_t *today));
// A route is known by its destination, mask, type of service, next hop,
// interface and metric: two that differ in their metric alone are two.
uint32_t ROUTE_SaveRemoved(const RouteRow *row);
// index ROUTE_ANY_INTERFACE matches every interface.
bool ROUTE_Exists(uint32_t destination, uint32_t mask, uint32_t index);
// A delete of a route that is not there (notFound) has what it asked for:
// 0, and a plain log line.
uint32_t ROUTE_Apply(int32_t operation, const RouteRow *row, bool quiet);
void ROUTE_Print(const RouteRow *row);

// "OTHER" ... or "Unknown(%lu)", into size bytes.
void ROUTE_TypeName(uint32_t type, char *out, size_t size);
void ROUTE_ProtocolName(uint32_t protocol, char *out, size_t size);
// The route tool's parameters for an operation; 0 for an unknown operation.
int ROUTE_FormatCommand(int32_t operation, const RouteRow *row, char *out, size_t size);

// The lists, for the tests.
const RouteRecord *ROUTE_AddedRoutes();
const RouteRecord *ROUTE_RemovedRoutes();
const RouteRecord *ROUTE_RaisedMetricRoutes();

// Runs the route tool with the parameters (Windows: the "route" program;
// Linux: the same words turned into an "ip route" argument vector). 0, or the
// error of starting it; the tool's own result is only logged.
uint32_t ROUTE_RunCommand(const char *parameters);

// ---- System backend ----

struct RouteSys {
    // The whole IPv4 table into a new array (FreeTable). 0, outOfMemory, or
    // the read error.
    uint32_t (*ReadTable)(RouteRow **rows, uint32_t *count);
    void (*FreeTable)(RouteRow *rows);
    uint32_t (*Create)(const RouteRow *row);
    uint32_t (*Delete)(const RouteRow *row);
    uint32_t (*Update)(const RouteRow *row);  // writes the row's metric
    uint32_t (*RunCommand)(const char *parameters);
    void *(*Alloc)(size_t size);
    void (*Free)(void *p);
    uint32_t outOfMemory;
    uint32_t invalidParameter;
    uint32_t alreadyExists;
    uint32_t accessDenied;
    uint32_t notSupported;
    // The route tool run to its end, for a fallback whose own result
    // decides: 0 or the error of starting it, *exitCode the tool's exit code
    // (0 when it made the change). Null: RunCommand, whose result is only
    // logged.
    uint32_t (*RunCommandToEnd)(const char *parameters, uint32_t *exitCode);
    // The metric the system counts in to every route of the interface (0 for
    // none). Null: none.
    uint32_t (*InterfaceMetric)(uint32_t index);
    uint32_t notFound;  // a delete found no such route
    // Where a route's metric is part of its key (Linux): moves the route the
    // row names, its metric included, to the metric, and touches no other.
    // Null: Update with the row at the new metric.
    uint32_t (*Move)(const RouteRow *row, uint32_t metric);
    // What the system holds of the route (the row's metric names it) beyond
    // the row, for the state file: 1 when it was described. Null: nothing.
    int (*Describe)(const RouteRow *row, RouteDetail *detail);
    // A removed route of the state file, as it was when it went, handed back
    // so that making it again makes it as the system had it: null when
    // taken, else why the detail is refused. Null: no detail is taken.
    const char *(*Recall)(const RouteRow *row, const RouteDetail *detail);
};

// The platform's backend (route_work_win32.cpp, route_work_linux.cpp).
const RouteSys *ROUTE_SystemBackend();
// Replaces the backend (tests); null restores the system's. Returns the old.
const RouteSys *ROUTE_SetSystem(const RouteSys *sys);

// False only when the system says the address is none of this host's own
// and no broadcast address of one of its networks (route_work_win32.cpp,
// route_work_linux.cpp); a failed look-up counts as one of its own.
bool ROUTE_IsLocalAddress(uint32_t address);
