// Recorders for the route service's tests: a fake operations table, the
// events and status reports, and the text log read back from its file.
#pragma once

#include "service_base.h"
#include "service_log.h"
#include "ssl_service.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace svcfake {

struct Calls {
    std::mutex lock;
    std::vector<std::string> log;  // "Op(args)" per call
    uint32_t result = 0;           // what every fallible operation returns
    uint32_t resetResult = 0;
    std::atomic<int> cleanUps{0};
    void (*duringPrepare)() = nullptr;  // runs inside PrepareInterface
    // The TAP adapters the fake system has; its route table, the default
    // routes the service removed, and its own addresses.
    std::vector<std::pair<std::string, uint32_t>> adapters;
    std::vector<RouteRow> table, removed;
    std::vector<uint32_t> local;
};

// A row of the fake table: destination, mask and next hop as a.b.c.d text.
inline RouteRow Row(const char *destination, const char *mask, const char *nextHop, uint32_t ifIndex,
                    uint32_t metric = 0, uint32_t type = ROUTE_TYPE_INDIRECT)
{
    auto ip = [](const char *text) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d);
        uint8_t bytes[4] = {(uint8_t)a, (uint8_t)b, (uint8_t)c, (uint8_t)d};
        uint32_t v;
        memcpy(&v, bytes, 4);
        return v;
    };
    RouteRow r = {};
    r.destination = ip(destination);
    r.mask = ip(mask);
    r.nextHop = ip(nextHop);
    r.ifIndex = ifIndex;
    r.metric1 = metric;
    r.type = r.nextHop == 0 && type == ROUTE_TYPE_INDIRECT ? (uint32_t)ROUTE_TYPE_DIRECT : type;
    r.protocol = ROUTE_PROTO_NETMGMT;
    return r;
}

// The fake host: interface 7 (192.168.1.10/24, default route via
// 192.168.1.1) and the TAP adapter 12 with its tunnel network.
inline void ResetHost(Calls &c)
{
    c.table = {Row("0.0.0.0", "0.0.0.0", "192.168.1.1", 7), Row("192.168.1.0", "255.255.255.0", "0.0.0.0", 7),
               Row("10.0.0.0", "255.255.255.0", "0.0.0.0", 12)};
    c.removed.clear();
    c.local = {Row("192.168.1.10", "0.0.0.0", "0.0.0.0", 7).destination,
               Row("192.168.1.255", "0.0.0.0", "0.0.0.0", 7).destination};
}
inline Calls &calls()
{
    static Calls c;
    return c;
}

inline void Record(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> hold(calls().lock);
    calls().log.push_back(buf);
}

inline std::vector<std::string> TakeCalls()
{
    std::lock_guard<std::mutex> hold(calls().lock);
    std::vector<std::string> out;
    out.swap(calls().log);
    return out;
}

inline void Reset()
{
    TakeCalls();
    calls().result = 0;
    calls().resetResult = 0;
    calls().cleanUps = 0;
    calls().duringPrepare = nullptr;
    calls().adapters = {{"{AB-CD}", 5}, {"{AB-CD}", 12}, {"{AB-CD}", 18}, {"{AB-CD}", 31},
                        {"{A}", 1}, {"{B}", 2}, {"{X}", 1}, {"{A}", 3}};
    ResetHost(calls());
}

inline uint32_t SetAddress(const char *n, uint32_t i, uint32_t a, uint32_t m, uint32_t g, uint32_t mtu)
{
    Record("SetAddress(%s,%u,%08x,%08x,%08x,%u)", n, i, a, m, g, mtu);
    return calls().result;
}
inline uint32_t DeleteAddress(const char *n, uint32_t i, uint32_t a)
{
    Record("DeleteAddress(%s,%u,%08x)", n, i, a);
    return calls().result;
}
inline uint32_t SetDns(const char *n, uint32_t i, bool clear, uint32_t d1, uint32_t d2)
{
    Record("SetDns(%s,%u,%d,%08x,%08x)", n, i, clear ? 1 : 0, d1, d2);
    return calls().result;
}
inline uint32_t ResetAdapter(const char *n, uint32_t i)
{
    Record("ResetAdapter(%s,%u)", n, i);
    return calls().resetResult;
}
inline uint32_t PrepareInterface(uint32_t i, uint32_t all)
{
    Record("PrepareInterface(%u,%u)", i, all);
    if (calls().duringPrepare)
        calls().duringPrepare();
    return calls().result;
}
inline uint32_t AddRoute(uint32_t i, uint32_t d, uint32_t m, uint32_t h, uint32_t metric)
{
    Record("AddRoute(%u,%08x,%08x,%08x,%u)", i, d, m, h, metric);
    return calls().result;
}
inline uint32_t RaiseMetric(uint32_t d)
{
    Record("RaiseMetric(%08x)", d);
    return calls().result;
}
inline uint32_t RestoreMetrics()
{
    Record("RestoreMetrics()");
    return calls().result;
}
inline uint32_t CleanUpRoutes()
{
    Record("CleanUpRoutes()");
    calls().cleanUps++;
    return calls().result;
}

inline uint32_t FindTapAdapter(const char *n, uint32_t i)
{
    std::lock_guard<std::mutex> hold(calls().lock);
    for (const auto &a : calls().adapters)
        if (a.first == n && a.second == i)
            return 0;
    return 19;
}
inline int JudgeHostRoute(uint32_t destination, uint32_t tunnel, uint32_t index, uint32_t nextHop)
{
    std::lock_guard<std::mutex> hold(calls().lock);
    std::vector<RouteRecord> removed(calls().removed.size());
    for (size_t i = 0; i < removed.size(); i++)
        removed[i] = RouteRecord{calls().removed[i], i + 1 < removed.size() ? &removed[i + 1] : nullptr, {}};
    const std::vector<RouteRow> &t = calls().table;
    return SVC_JudgeHostRoute(t.data(), (uint32_t)t.size(), removed.empty() ? nullptr : &removed[0], destination,
                              tunnel, index, nextHop);
}
inline bool IsLocalAddress(uint32_t address)
{
    std::lock_guard<std::mutex> hold(calls().lock);
    for (uint32_t a : calls().local)
        if (a == address)
            return true;
    return false;
}

inline uint32_t CleanUpClient(const char *name, uint32_t index)
{
    Record("CleanUpClient(%s,%u)", name, (unsigned)index);
    calls().cleanUps++;
    return calls().result;
}

inline uint32_t RecoverState()
{
    return 0;
}

inline const ServiceOps *Ops()
{
    static const ServiceOps ops = {SetAddress,  DeleteAddress, SetDns,         ResetAdapter, PrepareInterface,
                                   AddRoute,    RaiseMetric,   RestoreMetrics, CleanUpRoutes, FindTapAdapter,
                                   JudgeHostRoute, IsLocalAddress, CleanUpClient, RecoverState};
    return &ops;
}

struct Event {
    uint16_t type, category;
    uint32_t id;
    std::string source, text;
};
inline std::mutex &eventLock()
{
    static std::mutex m;
    return m;
}
inline std::vector<Event> &events()
{
    static std::vector<Event> e;
    return e;
}
inline void EventSink(uint16_t type, uint16_t category, uint32_t id, const char *source, const char *text)
{
    std::lock_guard<std::mutex> hold(eventLock());
    events().push_back({type, category, id, source, text});
}
inline std::vector<Event> TakeEvents()
{
    std::lock_guard<std::mutex> hold(eventLock());
    std::vector<Event> out;
    out.swap(events());
    return out;
}

inline std::vector<SvcStatus> &statuses()
{
    static std::vector<SvcStatus> s;
    return s;
}
inline void StatusSink(void *, const SvcStatus *s)
{
    statuses().push_back(*s);
}

// The text log goes to a file of this run's own, read back whole.
inline std::string LogPath()
{
    static const std::string path = [] {
        const char *dir = getenv("TMPDIR");
        std::string base = dir && *dir ? dir : (getenv("TEMP") ? getenv("TEMP") : "/tmp");
        return base + "/tlx-service-test-" + std::to_string(std::random_device{}()) + ".log";
    }();
    return path;
}
// Removes the log file when the program ends (it asks for the path first, so
// the path outlives it).
struct LogFileRemover {
    LogFileRemover() { LogPath(); }
    ~LogFileRemover()
    {
        LOG_CloseFile();
        remove(LogPath().c_str());
    }
};
inline LogFileRemover logFileRemover;

inline void StartLog()
{
    LOG_OpenFile(LogPath().c_str());
}
inline std::string ReadLog()
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace svcfake
