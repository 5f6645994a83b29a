// The service's own operations table: the interface and route operations,
// and what the dispatcher looks up to judge a client's requests.
#include "iface_config.h"
#include "route_work.h"
#include "ssl_service.h"

static uint8_t PrefixOf(uint32_t mask)
{
    uint8_t n = 0;
    for (int i = 0; i < 4; i++) {
        uint8_t b = reinterpret_cast<const uint8_t *>(&mask)[i];
        for (uint8_t bit = 0x80; bit != 0 && (b & bit); bit >>= 1)
            n++;
    }
    return n;
}

namespace {

struct Judgement {
    bool found = false;
    uint8_t prefix = 0;
    int verdict = SVC_ROUTE_NONE;
};

void Consider(Judgement *j, const RouteRow *r, uint32_t destination, uint32_t tunnel, uint32_t index,
              uint32_t nextHop)
{
    if (r->type == ROUTE_TYPE_INVALID || (r->ifIndex == tunnel && tunnel != 0))
        return;
    if ((destination & r->mask) != (r->destination & r->mask))
        return;
    uint8_t prefix = PrefixOf(r->mask);
    if (j->found && prefix < j->prefix)
        return;
    if (!j->found || prefix > j->prefix) {
        j->found = true;
        j->prefix = prefix;
        j->verdict = SVC_ROUTE_OTHER_IFACE;
    }
    // An on-link route may name the interface's own address as its next hop
    // (the Windows forward table does); the client asks for it with none.
    bool sameHop = r->nextHop == nextHop || (r->type == ROUTE_TYPE_DIRECT && nextHop == 0);
    int verdict = r->ifIndex != index ? SVC_ROUTE_OTHER_IFACE
                  : !sameHop          ? SVC_ROUTE_OTHER_NEXT_HOP
                                      : SVC_ROUTE_TAKEN;
    // The closest of the routes of this prefix: taken, then that interface.
    if (verdict == SVC_ROUTE_TAKEN || (verdict == SVC_ROUTE_OTHER_NEXT_HOP && j->verdict != SVC_ROUTE_TAKEN))
        j->verdict = verdict;
}

}  // namespace

int SVC_JudgeHostRoute(const RouteRow *rows, uint32_t count, const RouteRecord *removed, uint32_t destination,
                       uint32_t tunnel, uint32_t index, uint32_t nextHop)
{
    Judgement j;
    for (uint32_t i = 0; i < count; i++)
        Consider(&j, &rows[i], destination, tunnel, index, nextHop);
    // The default routes a full tunnel took away are the host's own way out
    // again once the client goes; the host route to the VPN gateway is asked
    // for after they went.
    for (const RouteRecord *r = removed; r; r = r->next)
        if (r->row.destination == 0 && r->row.mask == 0)
            Consider(&j, &r->row, destination, tunnel, index, nextHop);
    return j.verdict;
}

static int JudgeHostRoute(uint32_t destination, uint32_t tunnel, uint32_t index, uint32_t nextHop)
{
    const RouteSys *sys = ROUTE_SystemBackend();
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    if (sys->ReadTable(&rows, &count) != 0)
        return SVC_ROUTE_NONE;
    int verdict = SVC_JudgeHostRoute(rows, count, ROUTE_RemovedRoutes(), destination, tunnel, index, nextHop);
    sys->FreeTable(rows);
    return verdict;
}

const ServiceOps SVC_SystemOps = {
    IFACE_SetAddress,       IFACE_DeleteAddress, IFACE_SetDns,         IFACE_ResetAdapter, ROUTE_PrepareInterface,
    ROUTE_AddRoute,         ROUTE_RaiseMetric,   ROUTE_RestoreMetrics, ROUTE_CleanUpRoutes, SVCSYS_FindTapAdapter,
    JudgeHostRoute,         ROUTE_IsLocalAddress, ROUTE_CleanUpClient, ROUTE_RecoverState,
};
