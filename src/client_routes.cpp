// Client routes: the adding pass, the completeness test and the time-out
// report of the route wait.
#include "client_routes.h"

#include <string.h>

#include "gui_log.h"
#include "net_tap.h"
#include "route_service.h"
#include "parse.h"
#include "sync.h"

static const uint32_t kPauseMs = 300;     // lets the table show a route before the next
static const uint32_t kPauseStepMs = 50;

uint32_t TUNLEX_RouteMask(uint32_t prefix)
{
    return IP_PrefixToMask(prefix);
}

int TUNLEX_AllNets(const TUNLEX_Connection *conn)
{
    return conn && conn->config.routeCount == 0 ? 1 : 0;
}

static uint32_t RouteCount(const TUNLEX_Connection *conn)
{
    uint32_t n = conn->config.routeCount;
    return n < CONFIG_MAX_ROUTES ? n : CONFIG_MAX_ROUTES;
}

static int OnAdapter(uint32_t ifIndex, const ConfigRoute &route, ErrorInfo *chain)
{
    return ROUTE_FindSystemRoute(ifIndex, route.network, TUNLEX_RouteMask(route.prefix), ROUTE_ANY,
                                 chain);
}

static int DefaultOnAdapter(uint32_t ifIndex, ErrorInfo *chain)
{
    return ROUTE_FindSystemRoute(ifIndex, 0, 0, ROUTE_ANY, chain);
}

// The pause after an added route; 0 when the abort flag ended it.
static int Pause(const TUNLEX_Connection *conn)
{
    for (uint32_t slept = 0; slept < kPauseMs; slept += kPauseStepMs) {
        if (conn->abortFlag.load())
            return 0;
        RT_SleepMs(kPauseStepMs);
    }
    return conn->abortFlag.load() ? 0 : 1;
}

void TUNLEX_AddRoutes(TUNLEX_Connection *conn)
{
    if (!conn || !conn->tap || conn->config.routeCount == 0)
        return;
    const TUNLEX_InterfaceInfo *adapter = NETTAP_GetInfo(conn->tap);
    uint32_t ifIndex = NETTAP_GetIndex(conn->tap);
    ErrorInfo *chain = &conn->error;
    uint32_t nextHop = conn->netcfg.ServerIP;
    for (uint32_t i = 0, n = RouteCount(conn); i < n; i++) {
        const ConfigRoute &route = conn->config.routes[i];
        uint32_t mask = TUNLEX_RouteMask(route.prefix);
        if (OnAdapter(ifIndex, route, chain))
            continue;
        // Not on the adapter, so a match is on another interface: the
        // service moves it out of the way first.
        if (ROUTE_FindSystemRoute(ROUTE_ANY, route.network, mask, ROUTE_ANY, chain) &&
            !ROUTE_Service_FixRoute(conn->routeClient, route.network, chain)) {
            GUI_PrintErrorChain(1, chain);
            TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_UNKNOWN);
            return;
        }
        GUI_Print(1, 0, "Adding route: If: %lu, Dest: %s, Netmask: %s, Gateway: %s, Metric: %lu\r\n",
                  static_cast<unsigned long>(ifIndex), TUNLEX_IpToString(route.network),
                  TUNLEX_IpToString(mask), TUNLEX_IpToString(nextHop),
                  static_cast<unsigned long>(ROUTE_ADDED_METRIC));
        if (!ROUTE_Service_Add(conn->routeClient, adapter, route.network, mask, nextHop,
                               ROUTE_ADDED_METRIC, chain))
            GUI_PrintErrorChain(1, chain);
        if (!Pause(conn))
            return;
    }
}

int TUNLEX_CheckRoutes(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    if (!conn || !conn->tap)
        return 0;
    uint32_t ifIndex = NETTAP_GetIndex(conn->tap);
    for (uint32_t i = 0, n = RouteCount(conn); i < n; i++) {
        if (!OnAdapter(ifIndex, conn->config.routes[i], chain)) {
            GUI_Print(1, 0, "Route: Missing route %s\r\n", conn->config.routes[i].text);
            return 0;
        }
    }
    // With configured routes the tunnel must not carry the default route.
    if (DefaultOnAdapter(ifIndex, chain)) {
        GUI_Print(1, 0, "Route: Default route exists.\r\n");
        return 0;
    }
    return 1;
}

void TUNLEX_RouteTimeout(TUNLEX_Connection *conn)
{
    if (!conn)
        return;
    GUI_Print(1, 0, "\r\nError: Timeout setting up routes.\r\n\r\n");
    GUI_Print(1, 0, "Route Status: \r\n");
    if (conn->tap) {
        uint32_t ifIndex = NETTAP_GetIndex(conn->tap);
        for (uint32_t i = 0, n = RouteCount(conn); i < n; i++) {
            const ConfigRoute &route = conn->config.routes[i];
            if (OnAdapter(ifIndex, route, nullptr))
                GUI_Print(1, 0, "  %-20s: OK\r\n", route.text);
            else
                GUI_Print(1, 0, "  %-20s: Missing\r\n", route.text);
        }
        if (DefaultOnAdapter(ifIndex, nullptr))
            GUI_Print(1, 0, "  %-20s: Invalid\r\n", "0.0.0.0/0");
    }
    if (conn->state.load() != TUNLEX_STATE_ERROR)
        TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_ROUTE_TIMEOUT);
}

void TUNLEX_AddRoutesTimer(void *conn)
{
    TUNLEX_AddRoutes(static_cast<TUNLEX_Connection *>(conn));
}

void TUNLEX_RouteTimeoutTimer(void *conn)
{
    TUNLEX_RouteTimeout(static_cast<TUNLEX_Connection *>(conn));
}
