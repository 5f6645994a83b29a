// The kernel's route table as the client reads it, compared with what
// `ip -j route` reports inside a network namespace made for the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "route_service.h"
#include "route_table.h"

namespace {

bool RunIp(const std::string &args)
{
    return system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0;
}

uint32_t Dotted(const char *text)
{
    in_addr a;
    return inet_pton(AF_INET, text, &a) == 1 ? a.s_addr : 0;
}

uint32_t Mask(uint32_t prefix)
{
    return prefix ? htonl(0xFFFFFFFFu << (32 - prefix)) : 0;
}

// `ip -j route` of the main table in the namespace, one line per unicast
// route and next hop: destination, prefix, next hop, interface index, metric.
std::vector<ROUTE_TableRow> AskIp(const std::string &ns)
{
    static const char script[] =
        "import json,subprocess,sys\n"
        "ip=lambda *a: json.loads(subprocess.check_output(['ip','-n',sys.argv[1],'-j',*a]) or b'[]')\n"
        "index={l['ifname']:l['ifindex'] for l in ip('link')}\n"
        "for r in ip('-4','route','show','table','main'):\n"
        "  if r.get('type','unicast')!='unicast': continue\n"
        "  d=r['dst']; d,p=(('0.0.0.0','0') if d=='default' else (d.split('/')+['32'])[:2])\n"
        "  for h in r.get('nexthops',[r]):\n"
        "    print(d,p,h.get('gateway','0.0.0.0'),index[h['dev']],r.get('metric',0))\n";
    std::vector<ROUTE_TableRow> out;
    char path[] = "/tmp/tlx_routes_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return out;
    bool written = write(fd, script, sizeof script - 1) == static_cast<ssize_t>(sizeof script - 1);
    close(fd);
    FILE *p = written ? popen(("python3 " + std::string(path) + " " + ns).c_str(), "r") : nullptr;
    char line[256];
    while (p && fgets(line, sizeof line, p)) {
        char dst[32], gw[32];
        unsigned prefix, index, metric;
        if (sscanf(line, "%31s %u %31s %u %u", dst, &prefix, gw, &index, &metric) != 5)
            continue;
        out.push_back({Dotted(dst), Mask(prefix), Dotted(gw), index, metric});
    }
    if (p)
        pclose(p);
    unlink(path);
    return out;
}

std::string Show(const ROUTE_TableRow &r)
{
    char text[128];
    in_addr d = {r.destination}, m = {r.mask}, g = {r.nextHop};
    std::string ds = inet_ntoa(d), ms = inet_ntoa(m), gs = inet_ntoa(g);
    snprintf(text, sizeof text, "%s/%s via %s if %u metric %u", ds.c_str(), ms.c_str(), gs.c_str(),
             r.ifIndex, r.metric);
    return text;
}

std::vector<std::string> Show(const std::vector<ROUTE_TableRow> &rows)
{
    std::vector<std::string> out;
    for (const ROUTE_TableRow &r : rows)
        out.push_back(Show(r));
    return out;
}

TEST(RouteTableLinux, TheTableMatchesWhatIpReportsInANamespace)
{
    if (geteuid() != 0 ||
        system("command -v ip >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root, ip and python3";
    const std::string ns = "tlxrt" + std::to_string(getpid());
    if (!RunIp("netns add " + ns))
        GTEST_SKIP() << "ip netns add failed";
    const std::string in = "-n " + ns + " ";
    const char *const setup[] = {
        "link set lo up",
        "link add tlxr0 type veth peer name tlxr1",
        "link set tlxr0 up",
        "link set tlxr1 up",
        "addr add 10.77.0.2/24 dev tlxr0",
        "addr add 10.88.0.2/24 dev tlxr1",
        "route add default via 10.77.0.1 metric 25",
        "route add 10.1.0.0/16 via 10.77.0.1 metric 2",
        "route add 10.2.0.0/16 dev tlxr1",
        "route add 10.3.3.3 via 10.88.0.1",
        "route add 10.4.0.0/16 nexthop via 10.77.0.1 dev tlxr0 nexthop via 10.88.0.1 dev tlxr1",
        "route add blackhole 10.9.0.0/16",
        "route add 10.5.0.0/16 via 10.77.0.1 table 100",
    };
    for (const char *step : setup)
        ASSERT_TRUE(RunIp(in + step)) << step;

    std::vector<ROUTE_TableRow> expected = AskIp(ns);
    ASSERT_EQ(expected.size(), 8u);    // 2 link subnets, default, 10.1, 10.2, 10.3.3.3, 2 hops of 10.4
    std::thread t([&] {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
        close(fd);
        ROUTE_TableRow *rows = nullptr;
        uint32_t count = 0, code = 0;
        ASSERT_EQ(ROUTE_ReadSystemTable(&rows, &count, &code), ROUTE_TABLE_OK);
        EXPECT_EQ(Show(std::vector<ROUTE_TableRow>(rows, rows + count)), Show(expected));
        ROUTE_FreeTable(rows);

        // The lookup over the real table: a route on one interface only.
        uint32_t v1 = 0;
        for (const ROUTE_TableRow &r : expected)
            if (r.destination == Dotted("10.2.0.0"))
                v1 = r.ifIndex;
        EXPECT_EQ(ROUTE_FindSystemRoute(v1, Dotted("10.2.0.0"), Mask(16), ROUTE_ANY, nullptr), 1);
        EXPECT_EQ(ROUTE_FindSystemRoute(v1, Dotted("10.1.0.0"), Mask(16), ROUTE_ANY, nullptr), 0);
        EXPECT_EQ(ROUTE_FindSystemRoute(ROUTE_ANY, 0, 0, 25, nullptr), 1);
        EXPECT_EQ(ROUTE_FindSystemRoute(ROUTE_ANY, Dotted("10.5.0.0"), Mask(16), ROUTE_ANY, nullptr), 0);
        EXPECT_EQ(ROUTE_FindSystemRoute(ROUTE_ANY, Dotted("10.9.0.0"), Mask(16), ROUTE_ANY, nullptr), 0);
    });
    t.join();
    RunIp("netns del " + ns);
}

}  // namespace
