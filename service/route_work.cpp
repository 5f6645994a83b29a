#include "route_work.h"
#include "iface_config.h"
#include "service_log.h"
#include "svc_state.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <functional>
#include <vector>

static const RouteSys *s_sys;
static RouteRecord *s_added;
static RouteRecord *s_removed;
static RouteRecord *s_raised;

const RouteSys *ROUTE_SetSystem(const RouteSys *sys)
{
    const RouteSys *old = s_sys ? s_sys : ROUTE_SystemBackend();
    s_sys = sys;
    return old;
}

static const RouteSys *Sys()
{
    return s_sys ? s_sys : ROUTE_SystemBackend();
}

const RouteRecord *ROUTE_AddedRoutes()
{
    return s_added;
}
const RouteRecord *ROUTE_RemovedRoutes()
{
    return s_removed;
}
const RouteRecord *ROUTE_RaisedMetricRoutes()
{
    return s_raised;
}

static const char *OperationWord(int32_t operation)
{
    switch (operation) {
    case ROUTE_OP_CREATE: return "Create";
    case ROUTE_OP_DELETE: return "Delete";
    default: return "Update";
    }
}

void ROUTE_TypeName(uint32_t type, char *out, size_t size)
{
    static const char *const names[] = {nullptr, "OTHER", "INVALID", "DIRECT", "INDIRECT"};
    if (type >= 1 && type <= 4)
        snprintf(out, size, "%s", names[type]);
    else
        snprintf(out, size, "Unknown(%lu)", (unsigned long)type);
}

void ROUTE_ProtocolName(uint32_t protocol, char *out, size_t size)
{
    static const struct {
        uint32_t value;
        const char *name;
    } names[] = {{1, "OTHER"},  {2, "LOCAL"},  {3, "NETMGMT"}, {4, "ICMP"},          {5, "EGP"},
                 {6, "GGP"},    {7, "HELLO"},  {8, "RIP"},     {9, "IS_IS"},         {10, "ES_IS"},
                 {11, "CISCO"}, {12, "BBN"},   {13, "OSPF"},   {14, "BGP"},          {10002, "NT_AUTOSTATIC"},
                 {10006, "NT_STATIC"},         {10007, "NT_STATIC_NON_DOD"}};
    for (const auto &n : names) {
        if (n.value == protocol) {
            snprintf(out, size, "%s", n.name);
            return;
        }
    }
    snprintf(out, size, "Unknown(%lu)", (unsigned long)protocol);
}

void ROUTE_Print(const RouteRow *row)
{
    if (!row)
        return;
    char type[30], proto[30];
    ROUTE_TypeName(row->type, type, sizeof(type));
    ROUTE_ProtocolName(row->protocol, proto, sizeof(proto));
    LOG_Print(" Dest: %15s Mask: %15s Policy: 0x%lx NextHop: %15s Index: 0x%-8lx Type: %8s Proto: %8s "
              "Metric1: %lu\r\n",
              SVC_IpToString(row->destination), SVC_IpToString(row->mask), (unsigned long)row->policy,
              SVC_IpToString(row->nextHop), (unsigned long)row->ifIndex, type, proto,
              (unsigned long)row->metric1);
}

int ROUTE_FormatCommand(int32_t operation, const RouteRow *row, char *out, size_t size)
{
    // Three slots of the address ring at most per line.
    const char *dest = SVC_IpToString(row->destination);
    const char *mask = SVC_IpToString(row->mask);
    const char *hop = SVC_IpToString(row->nextHop);
    switch (operation) {
    case ROUTE_OP_CREATE:
        snprintf(out, size, "ADD %s MASK %s %s METRIC %lu IF %lu", dest, mask, hop,
                 (unsigned long)row->metric1, (unsigned long)row->ifIndex);
        return 1;
    case ROUTE_OP_DELETE:
        // Narrowed to this one route: the destination alone would take every
        // route to it, other interfaces' included, and nothing puts them back.
        snprintf(out, size, "DELETE %s MASK %s %s IF %lu", dest, mask, hop, (unsigned long)row->ifIndex);
        return 1;
    case ROUTE_OP_UPDATE:
        snprintf(out, size, "CHANGE %s MASK %s %s METRIC %lu IF %lu", dest, mask, hop,
                 (unsigned long)row->metric1, (unsigned long)row->ifIndex);
        return 1;
    default:
        if (size)
            out[0] = '\0';
        return 0;
    }
}

static uint32_t Call(int32_t operation, const RouteRow *row)
{
    switch (operation) {
    case ROUTE_OP_CREATE: return Sys()->Create(row);
    case ROUTE_OP_DELETE: return Sys()->Delete(row);
    default: return Sys()->Update(row);
    }
}

static void ReportFailure(int32_t operation, const RouteRow *row, uint32_t code)
{
    const RouteSys *sys = Sys();
    const char *word = OperationWord(operation);
    const char *dest = SVC_IpToString(row->destination);
    const char *mask = SVC_IpToString(row->mask);
    const char *hop = SVC_IpToString(row->nextHop);
    char text[1024];
    const char *why = code == sys->accessDenied     ? "Access denied"
                      : code == sys->notSupported     ? "Not supported"
                      : code == sys->invalidParameter ? "Invalid parameter"
                                                      : nullptr;
    if (why)
        snprintf(text, sizeof(text), "Unable to %s route: %s. (Dest: %s, Netmask: %s, Gateway: %s)", word, why,
                 dest, mask, hop);
    else
        snprintf(text, sizeof(text), "Unable to %s route. Error code: %lu (%s). (Dest: %s, Netmask: %s, Gateway: %s",
                 word, (unsigned long)code, GetErrorText(code), dest, mask, hop);
    EVENTLOG_Write(SVC_EVENT_ERROR, text);
}

static void Announce(int32_t operation, const RouteRow *row)
{
    LOG_Print("Route %s: Interface: %lu, Dest: %s, Netmask: %s, Gateway: %s, Metric: %lu\r\n",
              OperationWord(operation), (unsigned long)row->ifIndex, SVC_IpToString(row->destination),
              SVC_IpToString(row->mask), SVC_IpToString(row->nextHop), (unsigned long)row->metric1);
}

// What the system's call could not do, reported and tried with the route
// tool: 0 when the tool made it, else the call's code.
static uint32_t Fallback(int32_t operation, const RouteRow *row, uint32_t code, bool quiet)
{
    const RouteSys *sys = Sys();
    if (!quiet)
        ReportFailure(operation, row, code);
    LOG_Print("Fallback to using ROUTE command\r\n");
    // The row's metric counts the interface's in, as the system's table
    // does; the route tool takes the route's own part and adds it itself.
    RouteRow own = *row;
    uint32_t ifMetric = sys->InterfaceMetric ? sys->InterfaceMetric(row->ifIndex) : 0;
    if (ifMetric != 0)
        own.metric1 = own.metric1 > ifMetric ? own.metric1 - ifMetric : 1;
    char parameters[ROUTE_COMMAND_MAX];
    ROUTE_FormatCommand(operation, &own, parameters, sizeof(parameters));
    uint32_t exitCode = 1;
    uint32_t started = sys->RunCommandToEnd ? sys->RunCommandToEnd(parameters, &exitCode) : sys->RunCommand(parameters);
    if (started != 0 && !quiet)
        LOG_Print("ERROR: Route command failed %lu (%s)\r\n", (unsigned long)started, GetErrorText(started));
    // The tool made what the call could not: the route is as asked.
    if (started == 0 && exitCode == 0)
        return 0;
    return code;
}

// A route that is not there to delete has gone already (the system took a
// link's routes with it, say): nothing failed.
static bool AlreadyGone(int32_t operation, const RouteRow *row, uint32_t code)
{
    if (operation != ROUTE_OP_DELETE || code == 0 || code != Sys()->notFound)
        return false;
    LOG_Print("Route already gone: Interface: %lu, Dest: %s, Netmask: %s, Gateway: %s, Metric: %lu\r\n",
              (unsigned long)row->ifIndex, SVC_IpToString(row->destination), SVC_IpToString(row->mask),
              SVC_IpToString(row->nextHop), (unsigned long)row->metric1);
    return true;
}

uint32_t ROUTE_Apply(int32_t operation, const RouteRow *row, bool quiet)
{
    const RouteSys *sys = Sys();
    if (operation != ROUTE_OP_CREATE && operation != ROUTE_OP_DELETE && operation != ROUTE_OP_UPDATE)
        return sys->invalidParameter;
    if (!quiet)
        Announce(operation, row);
    uint32_t code = Call(operation, row);
    if (operation == ROUTE_OP_CREATE && code == sys->alreadyExists) {
        if (ROUTE_Apply(ROUTE_OP_DELETE, row, true) == 0)
            code = sys->Create(row);
    }
    if (code == 0 || AlreadyGone(operation, row, code))
        return 0;
    return Fallback(operation, row, code, quiet);
}

// The route the row names, its metric included, to another metric.
static uint32_t MoveRoute(const RouteRow *row, uint32_t metric)
{
    RouteRow to = *row;
    to.metric1 = metric;
    if (!Sys()->Move)
        return ROUTE_Apply(ROUTE_OP_UPDATE, &to, false);
    Announce(ROUTE_OP_UPDATE, &to);
    uint32_t code = Sys()->Move(row, metric);
    return code == 0 ? 0 : Fallback(ROUTE_OP_UPDATE, &to, code, false);
}

// A fresh table; its failures are logged and reported here.
static uint32_t ReadTable(RouteRow **rows, uint32_t *count, bool withCode)
{
    const RouteSys *sys = Sys();
    *rows = nullptr;
    *count = 0;
    uint32_t code = sys->ReadTable(rows, count);
    if (code == 0)
        return 0;
    if (code == sys->outOfMemory) {
        LOG_Print("Unable to allocate routing table.\r\n");
        EVENTLOG_Write(SVC_EVENT_ERROR, "Unable to allocate routing table.");
    } else {
        if (withCode)
            LOG_Print("Unable to execute GetIpForwardTable. Error %lu\r\n", (unsigned long)code);
        else
            LOG_Print("Unable to execute GetIpForwardTable.\r\n");
        EVENTLOG_WriteError(code, "Unable to execute GetIpForwardTable.");
    }
    *rows = nullptr;
    *count = 0;
    return code;
}

static void FreeTable(RouteRow *rows)
{
    if (rows)
        Sys()->FreeTable(rows);
}

static bool InTable(const RouteRow *rows, uint32_t count, uint32_t destination, uint32_t mask, uint32_t index)
{
    for (uint32_t i = 0; i < count; i++)
        if (rows[i].destination == destination && rows[i].mask == mask &&
            (index == ROUTE_ANY_INTERFACE || rows[i].ifIndex == index))
            return true;
    return false;
}

bool ROUTE_Exists(uint32_t destination, uint32_t mask, uint32_t index)
{
    RouteRow *rows;
    uint32_t count;
    if (ReadTable(&rows, &count, false) != 0)
        return false;
    bool found = InTable(rows, count, destination, mask, index);
    FreeTable(rows);
    return found;
}

static RouteRecord *NewRecord(const RouteRow *row)
{
    RouteRecord *r = static_cast<RouteRecord *>(Sys()->Alloc(sizeof(RouteRecord)));
    if (!r) {
        LOG_Print("Unable to allocate route list item.\r\n");
        EVENTLOG_Write(SVC_EVENT_ERROR, "Unable to allocate route list item.");
        return nullptr;
    }
    memset(r, 0, sizeof(*r));
    r->row = *row;
    return r;
}

static void Push(RouteRecord **list, RouteRecord *r)
{
    r->next = *list;
    *list = r;
}

// The lists on disk, before the change they stand for is made and after an
// entry is undone. 0, or the error that kept them off the disk.
static uint32_t Note()
{
    return STATE_NoteRoutes(s_added, s_removed, s_raised);
}

// A new entry at the head of its list, on disk before the caller makes the
// change it stands for. When it cannot be written it is taken back (and
// freed): a change whose undo is not kept is not made.
static uint32_t PushNoted(RouteRecord **list, RouteRecord *r)
{
    Push(list, r);
    uint32_t code = Note();
    if (code != 0) {
        *list = r->next;
        Sys()->Free(r);
    }
    return code;
}

static bool Unlink(RouteRecord **list, RouteRecord *gone)
{
    for (RouteRecord **p = list; *p; p = &(*p)->next)
        if (*p == gone) {
            *p = gone->next;
            return true;
        }
    return false;
}

// Takes an entry out of its list, wherever it is, and the file follows.
static void Forget(RouteRecord **list, RouteRecord *gone)
{
    if (!Unlink(list, gone))
        return;
    Sys()->Free(gone);
    Note();
}

static bool SameRoute(const RouteRow *a, const RouteRow *b)
{
    return a->destination == b->destination && a->mask == b->mask && a->nextHop == b->nextHop &&
           a->ifIndex == b->ifIndex;
}

// The same route but for its metric.
static bool SamePlace(const RouteRow *a, const RouteRow *b)
{
    return SameRoute(a, b) && a->policy == b->policy;
}

// One route as the system keys it: two that differ only in their metric are
// two routes.
static bool SameIdentity(const RouteRow *a, const RouteRow *b)
{
    return SamePlace(a, b) && a->metric1 == b->metric1;
}

uint32_t ROUTE_SaveRemoved(const RouteRow *row)
{
    for (RouteRecord *r = s_removed; r; r = r->next)
        if (SameIdentity(&r->row, row))
            return 0;
    RouteRecord *r = NewRecord(row);
    if (!r)
        return Sys()->outOfMemory;
    // Described while it is still there: a successor that has only the file
    // makes it again as the system had it.
    if (Sys()->Describe)
        Sys()->Describe(row, &r->detail);
    return PushNoted(&s_removed, r);
}

static bool IsDefault(const RouteRow *row)
{
    return row->destination == 0 && row->mask == 0;
}

static bool IsStatic(const RouteRow *row)
{
    return row->protocol == ROUTE_PROTO_NETMGMT && row->type == ROUTE_TYPE_INDIRECT;
}

static uint32_t RemoveOtherDefault(const RouteRow *row)
{
    LOG_Print("Remove: ");
    ROUTE_Print(row);
    LOG_Print("Removing unwanted default gateway route (Dest: %s, Netmask: %s, Gateway: %s)\r\n",
              SVC_IpToString(row->destination), SVC_IpToString(row->mask), SVC_IpToString(row->nextHop));
    // Saved before it goes: a route that could not be remembered is left in
    // place rather than lost for good.
    uint32_t code = ROUTE_SaveRemoved(row);
    if (code != 0)
        return code;
    return ROUTE_Apply(ROUTE_OP_DELETE, row, false);
}

uint32_t ROUTE_PrepareInterface(uint32_t index, uint32_t allNets)
{
    uint32_t result = 0;
    if (!IFACE_LegacySystem()) {
        uint32_t code = IFACE_SetMetric(index);
        if (code != 0)
            return code;
    }
    RouteRow *rows;
    uint32_t count;
    uint32_t code = ReadTable(&rows, &count, true);
    if (code != 0)
        return code;
    for (uint32_t i = 0; i < count; i++) {
        const RouteRow *row = &rows[i];
        code = 0;
        if (row->ifIndex != index) {
            if (allNets && IsStatic(row) && IsDefault(row) && ROUTE_Exists(0, 0, row->ifIndex)) {
                code = RemoveOtherDefault(row);
            } else {
                LOG_Print("Ignore: ");
                ROUTE_Print(row);
            }
        } else if (IsStatic(row)) {
            if (IsDefault(row)) {
                LOG_Print("AllNets: ");
                ROUTE_Print(row);
            } else if (ROUTE_Exists(row->destination, row->mask, index)) {
                LOG_Print("Remove: ");
                ROUTE_Print(row);
                LOG_Print("Removing unwanted route from SSL/VPN interface (Dest: %s, Netmask: %s, Gateway: %s)\r\n",
                          SVC_IpToString(row->destination), SVC_IpToString(row->mask),
                          SVC_IpToString(row->nextHop));
                code = ROUTE_Apply(ROUTE_OP_DELETE, row, false);
            }
        } else {
            LOG_Print("Ignore: ");
            ROUTE_Print(row);
        }
        if (result == 0)
            result = code;
    }
    FreeTable(rows);
    return result;
}

// Where the system counts the interface's metric in to a route's (and
// refuses a route below it), the client's metric is the part above it.
static uint32_t WithInterfaceMetric(uint32_t index, uint32_t metric)
{
    uint32_t own = Sys()->InterfaceMetric ? Sys()->InterfaceMetric(index) : 0;
    return metric > UINT32_MAX - own ? UINT32_MAX : metric + own;
}

uint32_t ROUTE_AddRoute(uint32_t index, uint32_t destination, uint32_t mask, uint32_t nextHop, uint32_t metric)
{
    if (ROUTE_Exists(destination, mask, index))
        return 0;
    RouteRow row = {};
    row.destination = destination;
    row.mask = mask;
    row.nextHop = nextHop;
    row.ifIndex = index;
    row.type = ROUTE_TYPE_INDIRECT;
    row.protocol = ROUTE_PROTO_NETMGMT;
    row.metric1 = WithInterfaceMetric(index, metric);
    row.metric2 = row.metric3 = row.metric4 = row.metric5 = ROUTE_NO_METRIC;
    // One entry per route: a route asked for again (at another metric, once
    // it went meanwhile) takes its entry over, so that the list stays as
    // long as the routes it stands for.
    RouteRecord *r = s_added;
    while (r && !SamePlace(&r->row, &row))
        r = r->next;
    uint32_t code;
    if (r) {
        RouteRow was = r->row;
        r->row = row;
        if ((code = Note()) != 0) {
            r->row = was;
            return code;
        }
    } else {
        r = NewRecord(&row);
        if (!r)
            return Sys()->outOfMemory;
        // Listed before it is made, so that a half-made route is taken away too.
        if ((code = PushNoted(&s_added, r)) != 0)
            return code;
    }
    code = ROUTE_Apply(ROUTE_OP_CREATE, &r->row, false);
    // A route the system refused leaves nothing to undo, unless the route
    // tool made it all the same.
    if (code != 0 && !ROUTE_Exists(destination, mask, index))
        Forget(&s_added, r);
    return code;
}

static RouteRecord *Pop(RouteRecord **list)
{
    RouteRecord *r = *list;
    if (r)
        *list = r->next;
    return r;
}

uint32_t ROUTE_CleanUpRoutes()
{
    while (RouteRecord *r = Pop(&s_added)) {
        ROUTE_Apply(ROUTE_OP_DELETE, &r->row, false);
        Sys()->Free(r);
        Note();
    }
    LOG_Print("Restoring old routes..\r\n");
    while (RouteRecord *r = Pop(&s_removed)) {
        ROUTE_Apply(ROUTE_OP_CREATE, &r->row, false);
        Sys()->Free(r);
        Note();
    }
    return 0;
}

static bool IsView(const RouteRow *row)
{
    return row->type == ROUTE_TYPE_NEXT_HOP;
}

// Where each raised route was moved to, beside its record: a record read
// back from the state file has none, and its route is 2 above its own.
static std::vector<std::pair<const RouteRecord *, uint32_t>> s_movedTo;

static uint32_t MovedTo(const RouteRecord *r)
{
    for (const auto &m : s_movedTo)
        if (m.first == r)
            return m.second;
    return r->row.metric1 + 2;
}

static void SetMovedTo(const RouteRecord *r, uint32_t metric)
{
    for (auto &m : s_movedTo)
        if (m.first == r) {
            m.second = metric;
            return;
        }
    s_movedTo.push_back({r, metric});
}

static void FreeRaised(RouteRecord *r)
{
    for (size_t i = 0; i < s_movedTo.size(); i++)
        if (s_movedTo[i].first == r) {
            s_movedTo.erase(s_movedTo.begin() + (long)i);
            break;
        }
    Sys()->Free(r);
}

// The record of the route that sits at the row's place after a raise.
static RouteRecord *RaisedAt(const RouteRow *row)
{
    for (RouteRecord *r = s_raised; r; r = r->next)
        if (SamePlace(&r->row, row) && MovedTo(r) == row->metric1)
            return r;
    return nullptr;
}

// The next hops listed after a route's row: a route over several hops is
// the same route only with the same hops.
static bool SameHops(const RouteRow *rows, uint32_t count, uint32_t a, uint32_t b)
{
    for (;;) {
        a++, b++;
        bool moreA = a < count && IsView(&rows[a]), moreB = b < count && IsView(&rows[b]);
        if (moreA != moreB)
            return false;
        if (!moreA)
            return true;
        if (rows[a].nextHop != rows[b].nextHop || rows[a].ifIndex != rows[b].ifIndex)
            return false;
    }
}

// The row of the table that is the route at that metric; count when none.
static uint32_t FindAt(const RouteRow *rows, uint32_t count, const RouteRow *route, uint32_t metric)
{
    for (uint32_t i = 0; i < count; i++)
        if (!IsView(&rows[i]) && SamePlace(&rows[i], route) && rows[i].metric1 == metric)
            return i;
    return count;
}

// A raised route the system made again at its own metric (a DHCP client
// renewing its lease, say) is there twice: the copy moved before goes, and
// the route is as it was before any raise. *changed when something went.
static uint32_t DropStaleCopies(const RouteRow *rows, uint32_t count, uint32_t destination, bool *changed)
{
    uint32_t code = 0;
    *changed = false;
    for (uint32_t i = 0; i < count && code == 0; i++) {
        const RouteRow *own = &rows[i];
        if (IsView(own) || own->destination != destination || own->metric1 >= 2)
            continue;
        for (RouteRecord *r = s_raised; r; r = r->next) {
            if (!SamePlace(&r->row, own) || r->row.metric1 != own->metric1)
                continue;
            uint32_t copy = FindAt(rows, count, own, MovedTo(r));
            if (copy < count && !SameHops(rows, count, i, copy))
                break;
            if (copy < count) {
                LOG_Print("The system made the raised route again at metric %lu: its copy at %lu goes\r\n",
                          (unsigned long)own->metric1, (unsigned long)rows[copy].metric1);
                if ((code = ROUTE_Apply(ROUTE_OP_DELETE, &rows[copy], false)) != 0)
                    break;
                *changed = true;
            }
            Unlink(&s_raised, r);
            FreeRaised(r);
            Note();
            break;
        }
    }
    return code;
}

// A route of the same destination, mask and type of service as a moving one
// that the move by 2 would reach or pass: it moves too, so that none changes
// its rank among them.
static bool MovesAlong(const RouteRow *moving, const RouteRow *row)
{
    return moving->destination == row->destination && moving->mask == row->mask &&
           moving->policy == row->policy && row->metric1 >= moving->metric1 && row->metric1 - moving->metric1 <= 2;
}

// The routes a raise moves: those below metric 2, and every route that
// moves along with one of them.
static std::vector<uint32_t> RoutesToMove(const RouteRow *rows, uint32_t count, uint32_t destination)
{
    std::vector<bool> moving(count, false);
    for (uint32_t i = 0; i < count; i++)
        moving[i] = !IsView(&rows[i]) && rows[i].destination == destination && rows[i].metric1 < 2;
    for (bool grown = true; grown;) {
        grown = false;
        for (uint32_t i = 0; i < count; i++) {
            if (moving[i] || IsView(&rows[i]))
                continue;
            for (uint32_t j = 0; j < count && !moving[i]; j++)
                if (moving[j] && MovesAlong(&rows[j], &rows[i]))
                    moving[i] = grown = true;
        }
    }
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < count; i++)
        if (moving[i])
            order.push_back(i);
    // The farthest first: each lands where nothing is any more.
    std::stable_sort(order.begin(), order.end(),
                     [rows](uint32_t a, uint32_t b) { return rows[a].metric1 > rows[b].metric1; });
    return order;
}

// One route by 2, its record written before it moves. A route raised before
// keeps its one record, which follows it.
static uint32_t RaiseOne(const RouteRow *row)
{
    if (row->metric1 > UINT32_MAX - 2)
        return Sys()->invalidParameter;
    uint32_t to = row->metric1 + 2;
    LOG_Print("Update existing route with to low metric:  Dest: %s  If: 0x%lx  Metric: %lu\r\n",
              SVC_IpToString(row->destination), (unsigned long)row->ifIndex, (unsigned long)row->metric1);
    RouteRecord *r = RaisedAt(row);
    bool fresh = r == nullptr;
    uint32_t was = r ? MovedTo(r) : 0;
    if (fresh) {
        r = static_cast<RouteRecord *>(Sys()->Alloc(sizeof(RouteRecord)));
        if (!r) {
            LOG_Print("Unable to allocate backup entry for routing table metric.\r\n");
            EVENTLOG_Write(SVC_EVENT_ERROR, "Unable to allocate backup entry for routing table metric.");
            return Sys()->outOfMemory;
        }
        memset(r, 0, sizeof(*r));
        r->row = *row;
        Push(&s_raised, r);
    }
    SetMovedTo(r, to);
    uint32_t code = Note();
    if (code == 0 && (code = MoveRoute(row, to)) == 0)
        return 0;
    // Nothing moved (the route tool's own change counts as made): the record
    // would put back what was never changed.
    if (fresh) {
        Unlink(&s_raised, r);
        FreeRaised(r);
    } else {
        SetMovedTo(r, was);
    }
    Note();
    return code;
}

uint32_t ROUTE_RaiseMetric(uint32_t destination)
{
    RouteRow *rows;
    uint32_t count;
    uint32_t code = ReadTable(&rows, &count, false);
    if (code != 0)
        return code;
    bool changed = false;
    code = DropStaleCopies(rows, count, destination, &changed);
    if (code == 0 && changed) {
        FreeTable(rows);
        if ((code = ReadTable(&rows, &count, false)) != 0)
            return code;
    }
    if (code == 0)
        for (uint32_t i : RoutesToMove(rows, count, destination))
            if ((code = RaiseOne(&rows[i])) != 0)
                break;
    FreeTable(rows);
    return code;
}

// A raised route back at its own metric; where the system made it again
// there meanwhile, only the moved copy goes.
static void RestoreOne(const RouteRow *row, uint32_t at)
{
    RouteRow from = *row;
    from.metric1 = at;
    RouteRow *rows;
    uint32_t count;
    if (ReadTable(&rows, &count, false) == 0) {
        uint32_t own = FindAt(rows, count, row, row->metric1);
        uint32_t copy = FindAt(rows, count, row, at);
        bool again = own < count && (copy == count || SameHops(rows, count, own, copy));
        if (again && copy < count) {
            LOG_Print("The system made the route again at metric %lu: its copy at %lu goes\r\n",
                      (unsigned long)row->metric1, (unsigned long)at);
            ROUTE_Apply(ROUTE_OP_DELETE, &rows[copy], false);
        } else if (again) {
            LOG_Print("The route is at metric %lu already\r\n", (unsigned long)row->metric1);
        }
        FreeTable(rows);
        if (again)
            return;
    }
    MoveRoute(&from, row->metric1);
}

uint32_t ROUTE_RestoreMetrics()
{
    while (RouteRecord *r = Pop(&s_raised)) {
        const RouteRow *row = &r->row;
        uint32_t at = MovedTo(r);
        LOG_Print("Restoring route:  Dest: %s  If: 0x%lx  Metric: %lu:%lu:%lu:%lu:%lu\r\n",
                  SVC_IpToString(row->destination), (unsigned long)row->ifIndex, (unsigned long)row->metric1,
                  (unsigned long)row->metric2, (unsigned long)row->metric3, (unsigned long)row->metric4,
                  (unsigned long)row->metric5);
        // A route this client's preparation took away is made again only when
        // the client goes: it must come back with its own metric, not the
        // raised one it had when it was saved.
        // It was saved where the raise had put it (or, already back at its
        // own, is as it should be).
        RouteRecord *saved = s_removed;
        while (saved && !(SamePlace(&saved->row, row) &&
                          (saved->row.metric1 == at || saved->row.metric1 == row->metric1)))
            saved = saved->next;
        if (saved) {
            saved->row.metric1 = row->metric1;
            saved->row.metric2 = row->metric2;
            saved->row.metric3 = row->metric3;
            saved->row.metric4 = row->metric4;
            saved->row.metric5 = row->metric5;
        } else {
            RestoreOne(row, at);
        }
        FreeRaised(r);
        Note();
    }
    return 0;
}

// afterMetrics runs once the raised metrics are back and before the removed
// routes are made again.
static uint32_t CleanUpClient(const char *name, uint32_t index, void (*afterMetrics)())
{
    // The adapter first: its own default route goes with its gateway, so no
    // route of the tunnel can meet a metric that is being put back. Only an
    // adapter that was changed is touched, as it was named then.
    char changed[128];
    uint32_t changedIndex;
    if (STATE_NotedAdapter(changed, sizeof(changed), &changedIndex))
        IFACE_ResetAdapter(changed, changedIndex);
    else if (name && name[0] && index != 0)
        LOG_Print("Adapter \"%s\" (index %lu) was not changed\r\n", name, (unsigned long)index);
    // The adapter's own interface metric: it would outlive the session.
    IFACE_RestoreMetric();
    // The metrics before the routes: a default route this client's
    // preparation took away comes back with the metric it had before the
    // raise, not the raised one it had when it was saved.
    ROUTE_RestoreMetrics();
    if (afterMetrics)
        afterMetrics();
    ROUTE_CleanUpRoutes();
    STATE_Clear();
    return 0;
}

uint32_t ROUTE_CleanUpClient(const char *name, uint32_t index)
{
    return CleanUpClient(name, index, nullptr);
}

// The lists are rebuilt from the file in their own order: pushed back from
// the last entry to the first.
static void Rebuild(RouteRecord **list, const std::vector<RouteRow> &rows,
                    const std::vector<RouteDetail> *details = nullptr)
{
    for (size_t i = rows.size(); i-- > 0;) {
        RouteRecord *r = NewRecord(&rows[i]);
        if (!r)
            continue;
        if (details)
            r->detail = (*details)[i];
        Push(list, r);
    }
}

static uint32_t (*s_findAdapter)(const char *name, uint32_t recorded, uint32_t *today);

void ROUTE_SetAdapterFinder(uint32_t (*find)(const char *name, uint32_t recorded, uint32_t *today))
{
    s_findAdapter = find;
}

// What the file says is checked as a caller's request would be: what fails
// is dropped with a line that says why.
struct Recovery {
    bool sameBoot;
    bool tap;           // the file's adapter is a TAP adapter now
    uint32_t tapIndex;  // ... with this index today
    bool hostRoute;     // the one route off the tunnel was taken
    bool haveAdapter;   // the file names an adapter
    uint32_t fileIndex; // ... with this index then
    const RouteRow *table;  // the table as read at the start of the recovery
    uint32_t count;
};

static void Drop(const char *kind, const RouteRow *row, const char *why)
{
    LOG_Print("Dropped from the state file: %s route Dest: %s Netmask: %s Gateway: %s Index: %lu: %s\r\n", kind,
              SVC_IpToString(row->destination), SVC_IpToString(row->mask), SVC_IpToString(row->nextHop),
              (unsigned long)row->ifIndex, why);
}

// An address a VPN gateway can have: no loopback, link-local, multicast,
// broadcast or reserved address, and not 0.0.0.0.
static bool IsUnicastHost(uint32_t address)
{
    uint8_t b[4];
    memcpy(b, &address, 4);
    return address != 0 && b[0] != 0 && b[0] != 127 && b[0] < 224 && !(b[0] == 169 && b[1] == 254);
}

// A next hop as a caller may give it: none (an on-link uplink), or any
// address but a broadcast or multicast one (a link-local gateway included).
static bool IsNextHop(uint32_t address)
{
    uint8_t b[4];
    memcpy(b, &address, 4);
    return address != 0xFFFFFFFFu && b[0] < 224;
}

static bool IsMade(const RouteRow *row)
{
    return row->type == ROUTE_TYPE_INDIRECT && row->protocol == ROUTE_PROTO_NETMGMT;
}

// Only what ROUTE_AddRoute made for a client: a route on its adapter, or its
// one host route through another interface.
static const char *AddedFault(Recovery *rc, const RouteRow *row)
{
    if (!rc->sameBoot)
        return "the system has started since, and the route went with it";
    if (!IsMade(row))
        return "the service makes no route of that type and origin";
    if (rc->tap && row->ifIndex == rc->tapIndex)
        return nullptr;
    // A route of the adapter that is gone must not take the host route's
    // place (the index may now be another link's).
    if (!rc->tap && rc->haveAdapter && row->ifIndex == rc->fileIndex)
        return "on the file's adapter, which is no TAP adapter now";
    if (row->mask != 0xFFFFFFFFu || !IsUnicastHost(row->destination) || !IsNextHop(row->nextHop))
        return "neither on the TAP adapter nor the one host route off the tunnel";
    if (rc->hostRoute)
        return "a second host route off the tunnel";
    rc->hostRoute = true;
    return nullptr;
}

// Only a static default route of another interface, as ROUTE_PrepareInterface
// takes away; after a restart of the system only one that is missing. What
// the system held of it goes back to the system last, which judges it as
// strictly as the row is judged here.
static const char *RemovedFault(const Recovery *rc, const RouteRow *row, const RouteDetail *detail)
{
    if (!IsDefault(row) || !IsStatic(row))
        return "no static default route";
    if (rc->tap && row->ifIndex == rc->tapIndex)
        return "a default route of the adapter itself";
    if (!rc->sameBoot && InTable(rc->table, rc->count, 0, 0, row->ifIndex))
        return "the system has started since, and the interface has its default route again";
    if (detail->present && !Sys()->Recall)
        return "its detail is of no kind this system keeps";
    return nullptr;
}

// What the system held of each removed route goes back to it once the
// route's metric is the one it is made again at (the one it had before any
// raise), and is judged there as strictly as the row was here: a detail it
// refuses takes its entry, and only that one.
static void RecallRemoved()
{
    for (RouteRecord **p = &s_removed; *p;) {
        RouteRecord *r = *p;
        const char *why = r->detail.present ? Sys()->Recall(&r->row, &r->detail) : nullptr;
        if (!why) {
            p = &r->next;
            continue;
        }
        Drop("removed", &r->row, why);
        *p = r->next;
        Sys()->Free(r);
        Note();
    }
}

// Only the row of a route as ROUTE_RaiseMetric read it (its metric below 2),
// and only while that route is still there, or is one of the removed routes
// that come back (they come back with this metric, also after a restart of
// the system: the metric the route had before any raise is the one it is
// made at).
static const char *RaisedFault(const Recovery *rc, const RouteRow *row, bool raisable, const RouteRow *table,
                               uint32_t count, const std::vector<RouteRow> &removed)
{
    if (!raisable)
        return "the service raises no route of that metric";
    for (const RouteRow &r : removed)
        if (SameRoute(&r, row))
            return nullptr;
    if (!rc->sameBoot)
        return "the system has started since, and the metric went with it";
    for (uint32_t i = 0; i < count; i++)
        if (SameRoute(&table[i], row))
            return nullptr;
    return "no such route now";
}

// The raised rows of metrics the service raises: below 2, and one a raise
// moved along because a route of the same destination, mask and type of
// service below it would reach or pass it (so that none changed rank).
static std::vector<bool> Raisable(const std::vector<RouteRow> &rows)
{
    std::vector<bool> ok(rows.size());
    for (size_t i = 0; i < rows.size(); i++)
        ok[i] = rows[i].metric1 < 2;
    for (bool grown = true; grown;) {
        grown = false;
        for (size_t i = 0; i < rows.size(); i++)
            for (size_t j = 0; j < rows.size() && !ok[i]; j++)
                if (ok[j] && MovesAlong(&rows[j], &rows[i]) && rows[i].metric1 <= UINT32_MAX - 2)
                    ok[i] = grown = true;
    }
    return ok;
}

static std::vector<RouteRow> Keep(const char *kind, const std::vector<RouteRow> &rows,
                                  const std::function<const char *(const RouteRow *)> &fault)
{
    std::vector<RouteRow> kept;
    for (const RouteRow &row : rows) {
        const char *why = fault(&row);
        if (why)
            Drop(kind, &row, why);
        else
            kept.push_back(row);
    }
    return kept;
}

// The removed routes that pass, each with what the system held of it.
static std::vector<RouteRow> KeepRemoved(const Recovery *rc, const StateContent *state,
                                         std::vector<RouteDetail> *details)
{
    std::vector<RouteRow> kept;
    for (size_t i = 0; i < state->removed.size(); i++) {
        const RouteRow *row = &state->removed[i];
        RouteDetail none = {};
        const RouteDetail *detail = i < state->removedDetail.size() ? &state->removedDetail[i] : &none;
        const char *why = RemovedFault(rc, row, detail);
        if (why) {
            Drop("removed", row, why);
            continue;
        }
        kept.push_back(*row);
        details->push_back(*detail);
    }
    return kept;
}

// The lock decides whether this copy may touch anything: 0 when it holds it,
// else the error. A lock that cannot be had for another reason than another
// copy holding it (a folder that is not the service's) leaves the file
// unread and the service serving, but with no undo kept: it makes no change
// a successor could not put back, and every request for one fails.
static uint32_t TakeLock(bool *recover)
{
    uint32_t code = STATE_Lock();
    *recover = code == 0;
    if (code == 0)
        return 0;
    char text[1024];
    if (code == STATE_LOCK_TAKEN)
        snprintf(text, sizeof(text),
                 "Another copy of the service is running (it holds the lock beside \"%s\"): this one changes "
                 "nothing and does not serve",
                 STATE_Path());
    else {
        char why[STATE_WHY_MAX] = "";
        if (STATESYS_CheckFolder(STATE_Path(), why, sizeof(why)) == 0)
            snprintf(why, sizeof(why), "%s", GetErrorText(code));
        snprintf(text, sizeof(text),
                 "The lock beside \"%s\" cannot be taken (%lu: %s); nothing is undone, and no change is made "
                 "while no undo can be kept",
                 STATE_Path(), (unsigned long)code, why);
        STATE_SetUnkept(code, why);
    }
    LOG_Print("ERROR: %s\r\n", text);
    EVENTLOG_Write(SVC_EVENT_ERROR, text);
    return code == STATE_LOCK_TAKEN ? code : 0;
}

uint32_t ROUTE_RecoverState()
{
    bool recover = false;
    if (uint32_t taken = TakeLock(&recover))
        return taken;
    if (!recover)
        return 0;
    StateContent state;
    if (!STATE_Load(&state))
        return 0;
    if (state.refused) {
        char text[1024];
        snprintf(text, sizeof(text), "The state file \"%s\" is refused and nothing of it is undone: %s", STATE_Path(),
                 state.why);
        LOG_Print("ERROR: %s\r\n", text);
        EVENTLOG_Write(SVC_EVENT_ERROR, text);
        return 0;
    }
    LOG_Print("Undoing the changes a previous service left in \"%s\"\r\n", STATE_Path());
    EVENTLOG_Write(SVC_EVENT_INFO, "Undoing the changes of a previous service that did not end cleanly");
    Recovery rc = {STATE_SameBoot(&state), false, 0, false, state.haveAdapter, state.adapterIndex, nullptr, 0};
    if (!rc.sameBoot)
        LOG_Print("The file was written before the system last started: only missing default routes are made "
                  "again\r\n");
    if (state.haveAdapter) {
        uint32_t found = (s_findAdapter ? s_findAdapter : STATESYS_FindAdapter)(state.adapterName,
                                                                                state.adapterIndex, &rc.tapIndex);
        rc.tap = found == 0;
        if (!rc.tap)
            LOG_Print("Dropped from the state file: adapter \"%s\" (index %lu) is no TAP adapter of this system now "
                      "(%lu)\r\n",
                      state.adapterName, (unsigned long)state.adapterIndex, (unsigned long)found);
    }
    RouteRow *table = nullptr;
    uint32_t count = 0;
    ReadTable(&table, &count, true);
    rc.table = table;
    rc.count = count;
    std::vector<RouteRow> added = Keep("added", state.added, [&](const RouteRow *r) { return AddedFault(&rc, r); });
    std::vector<RouteDetail> details;
    std::vector<RouteRow> removed = KeepRemoved(&rc, &state, &details);
    std::vector<bool> raisable = Raisable(state.raised);
    std::vector<RouteRow> raised = Keep("raised", state.raised, [&](const RouteRow *r) {
        return RaisedFault(&rc, r, raisable[(size_t)(r - state.raised.data())], table, count, removed);
    });
    FreeTable(table);
    Rebuild(&s_added, added);
    Rebuild(&s_removed, removed, &details);
    Rebuild(&s_raised, raised);
    // The adapter's own metric settings outlive a restart: put back on the
    // file's TAP adapter (at its index today), or within the boot on the
    // index the file names when it names no adapter.
    if (state.haveMetric) {
        const char *why = nullptr;
        uint32_t metricIndex = state.metricIndex;
        if (state.haveAdapter && state.metricIndex == state.adapterIndex)
            why = rc.tap ? nullptr : "the file's adapter is no TAP adapter now";
        else if (state.haveAdapter)
            why = "not of the file's adapter";
        else if (!rc.sameBoot)
            why = "the system has started since, and the index may be another adapter's";
        if (state.haveAdapter && !why)
            metricIndex = rc.tapIndex;
        if (why)
            LOG_Print("Dropped from the state file: interface metric of adapter %lu: %s\r\n",
                      (unsigned long)state.metricIndex, why);
        else if (STATE_NoteMetric(metricIndex, state.metric, state.automaticMetric) != 0)
            IFACE_PutBackMetric(metricIndex, state.metric, state.automaticMetric);
    }
    if (rc.tap) {
        // Put back even where the file cannot be written again (a full file
        // system): the note only hands the adapter to the clean-up.
        if (STATE_NoteAdapter(state.adapterName, rc.tapIndex) != 0)
            IFACE_ResetAdapter(state.adapterName, rc.tapIndex);
        return CleanUpClient(state.adapterName, rc.tapIndex, RecallRemoved);
    }
    return CleanUpClient(nullptr, 0, RecallRemoved);
}
