// Client routes: the networks a configuration sends through the tunnel.
// After the adapter has its address, the connection thread makes sure each
// configured route is in the system's route table on the TUN/TAP adapter,
// asks the route service for the missing ones, and waits until the table is
// complete. All of it runs on the connection thread.
#ifndef TLX_CLIENT_ROUTES_H
#define TLX_CLIENT_ROUTES_H

#include <stdint.h>

#include "errorinfo.h"
#include "tunlex.h"

// The mask of a prefix length, network byte order (24: 255.255.255.0; 0: 0).
uint32_t TUNLEX_RouteMask(uint32_t prefix);

// 1 when the configuration names no client route (a full tunnel).
int TUNLEX_AllNets(const TUNLEX_Connection *conn);

// One adding pass: a route already on the adapter is left alone; one on
// another interface is first moved away by the service (a failure there ends
// the attempt with Error); a missing one is added through the service with
// the negotiated server address as next hop and metric 2, followed by a
// 300 ms pause (cut short by the abort flag).
void TUNLEX_AddRoutes(TUNLEX_Connection *conn);

// 1 when every configured route is on the adapter and the adapter carries no
// default route; else 0 with the reason in the log.
int TUNLEX_CheckRoutes(TUNLEX_Connection *conn, ErrorInfo *chain);

// The route wait's time-out: logs what is there and what is missing, then
// Error with TUNLEX_KIND_ROUTE_TIMEOUT unless the state is Error already.
void TUNLEX_RouteTimeout(TUNLEX_Connection *conn);

// The same two as timer callbacks (context: the connection).
void TUNLEX_AddRoutesTimer(void *conn);
void TUNLEX_RouteTimeoutTimer(void *conn);

#endif
