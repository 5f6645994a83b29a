// Fakes of the interface and route backends: an in-memory route table and a
// recorder of interface steps, with failures to order. The text log goes to
// a file of this process's own and is read back whole.
#pragma once

#include "iface_config.h"
#include "route_work.h"
#include "service_log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace netfake {

// Codes the fakes use (distinct from every real one in the tests).
enum : uint32_t {
    NO_MEMORY = 9014,
    INVALID = 9087,
    EXISTS = 9010,
    DENIED = 9005,
    UNSUPPORTED = 9050,
    NOT_FOUND = 9168
};

// Dotted text to an address in network byte order.
inline uint32_t Ip(const char *text)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d);
    uint8_t bytes[4] = {(uint8_t)a, (uint8_t)b, (uint8_t)c, (uint8_t)d};
    uint32_t v;
    memcpy(&v, bytes, 4);
    return v;
}

inline RouteRow Row(const char *dest, const char *mask, const char *hop, uint32_t ifIndex, uint32_t metric,
                    uint32_t protocol = ROUTE_PROTO_NETMGMT, uint32_t type = ROUTE_TYPE_INDIRECT)
{
    RouteRow r = {};
    r.destination = Ip(dest);
    r.mask = Ip(mask);
    r.nextHop = Ip(hop);
    r.ifIndex = ifIndex;
    r.metric1 = metric;
    r.protocol = protocol;
    r.type = type;
    r.metric2 = r.metric3 = r.metric4 = r.metric5 = ROUTE_NO_METRIC;
    return r;
}

struct RouteState {
    std::vector<RouteRow> table;
    std::vector<std::string> calls;     // "Create 10.0.0.0/255.0.0.0 if 5 m 2", ...
    std::vector<std::string> commands;  // route tool parameters
    uint32_t readResult = 0;            // ReadTable fails with this when nonzero
    uint32_t failCreate = 0, failDelete = 0, failUpdate = 0;  // one failure each
    int allocsLeft = -1;                // -1: no limit
    // Routes known by their metric too, as a kernel that keys them so
    // (MetricKeyedBackend): two that differ in it alone are two.
    bool metricKeyed = false;
    RouteDetail detail = {};            // what Describe says of every route
    const char *recallFault = nullptr;  // what Recall answers
};

inline RouteState &routes()
{
    static RouteState s;
    return s;
}

inline bool Same(const RouteRow &a, const RouteRow &b)
{
    return a.destination == b.destination && a.mask == b.mask && a.nextHop == b.nextHop && a.ifIndex == b.ifIndex;
}

inline bool SameHere(const RouteRow &a, const RouteRow &b)
{
    return Same(a, b) && (!routes().metricKeyed || a.metric1 == b.metric1);
}

inline std::string Describe(const char *op, const RouteRow *r)
{
    char text[160];
    std::string d = SVC_IpToString(r->destination);
    std::string m = SVC_IpToString(r->mask);
    snprintf(text, sizeof(text), "%s %s/%s if %u m %u", op, d.c_str(), m.c_str(), r->ifIndex, r->metric1);
    return text;
}

inline uint32_t Take(uint32_t *failure)
{
    uint32_t f = *failure;
    *failure = 0;
    return f;
}

inline uint32_t ReadTable(RouteRow **rows, uint32_t *count)
{
    RouteState &s = routes();
    if (s.readResult)
        return s.readResult;
    *count = (uint32_t)s.table.size();
    *rows = static_cast<RouteRow *>(malloc((s.table.size() + 1) * sizeof(RouteRow)));
    if (!s.table.empty())
        memcpy(*rows, s.table.data(), s.table.size() * sizeof(RouteRow));
    return 0;
}
inline void FreeTable(RouteRow *rows)
{
    free(rows);
}
inline uint32_t Create(const RouteRow *r)
{
    RouteState &s = routes();
    s.calls.push_back(Describe("Create", r));
    if (uint32_t f = Take(&s.failCreate))
        return f;
    for (const RouteRow &t : s.table)
        if (SameHere(t, *r))
            return EXISTS;
    s.table.push_back(*r);
    return 0;
}
inline uint32_t Delete(const RouteRow *r)
{
    RouteState &s = routes();
    s.calls.push_back(Describe("Delete", r));
    if (uint32_t f = Take(&s.failDelete))
        return f;
    for (size_t i = 0; i < s.table.size(); i++) {
        if (SameHere(s.table[i], *r)) {
            s.table.erase(s.table.begin() + (long)i);
            return 0;
        }
    }
    return NOT_FOUND;
}
inline uint32_t Update(const RouteRow *r)
{
    RouteState &s = routes();
    s.calls.push_back(Describe("Update", r));
    if (uint32_t f = Take(&s.failUpdate))
        return f;
    for (RouteRow &t : s.table) {
        if (Same(t, *r)) {
            t.metric1 = r->metric1;
            return 0;
        }
    }
    return NOT_FOUND;
}
// The route the row names, its metric included, to the metric; logged as an
// update to it.
inline uint32_t Move(const RouteRow *r, uint32_t metric)
{
    RouteState &s = routes();
    RouteRow to = *r;
    to.metric1 = metric;
    s.calls.push_back(Describe("Update", &to));
    if (uint32_t f = Take(&s.failUpdate))
        return f;
    for (const RouteRow &t : s.table)
        if (Same(t, *r) && t.metric1 == metric)
            return EXISTS;
    for (RouteRow &t : s.table) {
        if (Same(t, *r) && t.metric1 == r->metric1) {
            t.metric1 = metric;
            return 0;
        }
    }
    return NOT_FOUND;
}
inline uint32_t RunCommand(const char *parameters)
{
    routes().commands.push_back(parameters);
    return 0;
}
inline void *Alloc(size_t size)
{
    RouteState &s = routes();
    if (s.allocsLeft == 0)
        return nullptr;
    if (s.allocsLeft > 0)
        s.allocsLeft--;
    return malloc(size);
}

inline int DescribeRoute(const RouteRow *, RouteDetail *d)
{
    *d = routes().detail;
    return (int)d->present;
}
// "Recall <the row> src <source>": the detail handed back with its route.
inline const char *RecallRoute(const RouteRow *r, const RouteDetail *d)
{
    RouteState &s = routes();
    s.calls.push_back(Describe("Recall", r) + " src " + SVC_IpToString(d->source));
    return s.recallFault;
}

inline const RouteSys *RouteBackend()
{
    static const RouteSys sys = {ReadTable, FreeTable, Create, Delete, Update,     RunCommand, Alloc,
                                 free,      NO_MEMORY, INVALID, EXISTS, DENIED, UNSUPPORTED, nullptr, nullptr,
                                 NOT_FOUND, nullptr,   DescribeRoute, RecallRoute};
    return &sys;
}

// The table keyed by metric too, with a move of its own (set metricKeyed).
inline const RouteSys *MetricKeyedBackend()
{
    static RouteSys sys;
    sys = *RouteBackend();
    sys.Move = Move;
    return &sys;
}

struct IfaceState {
    std::vector<std::string> commands;  // the netsh parameters of every step run
    std::vector<IfaceStep> steps;
    bool legacy = false;
    uint32_t failAt = 0;       // the step number (1 = first) that cannot start
    uint32_t failCode = 0;
    uint32_t metricResult = 0;
    std::vector<uint32_t> metricCalls;
    // The adapter's own metric settings as the system reports them, and
    // every put back ("index metric automatic").
    uint32_t ownMetric = 25;
    bool ownAutomatic = true;
    uint32_t getMetricResult = 0;
    std::vector<std::string> metricPuts;
};

inline IfaceState &ifaces()
{
    static IfaceState s;
    return s;
}

inline bool Legacy()
{
    return ifaces().legacy;
}
inline uint32_t RunStep(const IfaceStep *step)
{
    IfaceState &s = ifaces();
    if (s.failAt != 0 && s.commands.size() + 1 == s.failAt)
        return s.failCode;
    s.commands.push_back(step->command);
    s.steps.push_back(*step);
    return 0;
}
inline uint32_t SetMetric(uint32_t index)
{
    ifaces().metricCalls.push_back(index);
    return ifaces().metricResult;
}

inline uint32_t GetMetric(uint32_t, uint32_t *metric, bool *automatic)
{
    *metric = ifaces().ownMetric;
    *automatic = ifaces().ownAutomatic;
    return ifaces().getMetricResult;
}
inline uint32_t PutMetric(uint32_t index, uint32_t metric, bool automatic)
{
    ifaces().metricPuts.push_back(std::to_string(index) + " " + std::to_string(metric) + " " +
                                  (automatic ? "1" : "0"));
    return 0;
}

inline const IfaceSys *IfaceBackend()
{
    static const IfaceSys sys = {"netsh", Legacy, RunStep, SetMetric, INVALID, false, GetMetric, PutMetric};
    return &sys;
}

struct Event {
    uint16_t type;
    std::string text;
};
inline std::vector<Event> &events()
{
    static std::vector<Event> e;
    return e;
}
inline void EventSink(uint16_t type, uint16_t, uint32_t, const char *, const char *text)
{
    events().push_back({type, text});
}

inline std::string LogPath()
{
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir)
        dir = getenv("TEMP");
    return std::string(dir && *dir ? dir : "/tmp") + "/tlx-netcfg-" +
           std::to_string((unsigned long long)(uintptr_t)&events()) + ".log";
}
inline std::string ReadLog()
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Puts both fakes in place with a clean state, and takes them away again.
struct Scope {
    Scope()
    {
        routes() = RouteState();
        ifaces() = IfaceState();
        events().clear();
        oldRoutes = ROUTE_SetSystem(RouteBackend());
        oldIfaces = IFACE_SetSystem(IfaceBackend());
        ROUTE_CleanUpRoutes();
        ROUTE_RestoreMetrics();
        routes() = RouteState();
        EVENTLOG_SetSink(EventSink);
        LOG_OpenFile(LogPath().c_str());
    }
    ~Scope()
    {
        ROUTE_SetSystem(RouteBackend());
        ROUTE_CleanUpRoutes();
        ROUTE_RestoreMetrics();
        ROUTE_SetSystem(nullptr);
        IFACE_SetSystem(nullptr);
        EVENTLOG_SetSink(nullptr);
        LOG_CloseFile();
        remove(LogPath().c_str());
    }
    const RouteSys *oldRoutes;
    const IfaceSys *oldIfaces;
};

inline size_t Count(const RouteRecord *list)
{
    size_t n = 0;
    for (; list; list = list->next)
        n++;
    return n;
}

inline size_t Occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

}  // namespace netfake
