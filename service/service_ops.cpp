// The service's own operations table: the interface and route operations,
// and what the dispatcher looks up to judge a client's requests.
#include "iface_config.h"
#include "route_work.h"
#include "ssl_service.h"

// A default route of the interface through nextHop in the table as read now,
// or among the default routes the service removed for a full tunnel (the
// host route to the VPN gateway comes after that removal).
static bool IsDefaultGateway(uint32_t index, uint32_t nextHop)
{
    for (const RouteRecord *r = ROUTE_RemovedRoutes(); r; r = r->next)
        if (r->row.destination == 0 && r->row.mask == 0 && r->row.ifIndex == index && r->row.nextHop == nextHop)
            return true;
    const RouteSys *sys = ROUTE_SystemBackend();
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    if (sys->ReadTable(&rows, &count) != 0)
        return false;
    bool found = false;
    for (uint32_t i = 0; i < count && !found; i++)
        found = rows[i].destination == 0 && rows[i].mask == 0 && rows[i].ifIndex == index &&
                rows[i].nextHop == nextHop && nextHop != 0;
    sys->FreeTable(rows);
    return found;
}

const ServiceOps SVC_SystemOps = {
    IFACE_SetAddress,       IFACE_DeleteAddress, IFACE_SetDns,         IFACE_ResetAdapter, ROUTE_PrepareInterface,
    ROUTE_AddRoute,         ROUTE_RaiseMetric,   ROUTE_RestoreMetrics, ROUTE_CleanUpRoutes, SVCSYS_FindTapAdapter,
    IsDefaultGateway,       ROUTE_CleanUpClient, ROUTE_RecoverState,
};
