// The service's own operations table: the interface and route operations.
#include "iface_config.h"
#include "route_work.h"
#include "ssl_service.h"

const ServiceOps SVC_SystemOps = {
    IFACE_SetAddress,       IFACE_DeleteAddress, IFACE_SetDns,         IFACE_ResetAdapter, ROUTE_PrepareInterface,
    ROUTE_AddRoute,         ROUTE_RaiseMetric,   ROUTE_RestoreMetrics, ROUTE_CleanUpRoutes,
    ROUTE_CleanUpClient,    ROUTE_RecoverState,
};
