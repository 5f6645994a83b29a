// The undo file on Linux disk: its folder and the file itself must be the
// service's own before a byte of it is read, no link is followed on the
// way in or out, and one lock keeps a second service away.
#include "netcfg_fakes.h"
#include "route_detail_linux.h"
#include "svc_state.h"

#include <linux/rtnetlink.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int Shell(const std::string &command)
{
    return system(command.c_str());
}

class StateDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to hand files to another user";
        root_ = "/tmp/tlx-statedisk-" + std::to_string((long)getpid());
        mkdir(root_.c_str(), 0755);
        dir_ = root_ + "/state";
        path_ = dir_ + "/service.state";
        good_ = "adapter 14 tlxtun\n";
    }
    void TearDown() override
    {
        STATE_SetPath(nullptr);
        if (!root_.empty())
            Shell("rm -rf " + root_);
    }
    // A file as the service would have written it, then the row's changes.
    void Plant(const std::string &change)
    {
        Shell("rm -rf " + dir_ + " && mkdir -m 0700 " + dir_);
        FILE *f = fopen((root_ + "/good").c_str(), "w");
        fputs(good_.c_str(), f);
        fclose(f);
        Shell("install -m 0600 " + root_ + "/good " + path_);
        ASSERT_EQ(0, Shell("cd " + dir_ + " && " + change));
    }
    std::string root_, dir_, path_, good_;
};

TEST_F(StateDisk, OnlyAFileOfTheServicesOwnInAFolderOfItsOwnIsRead)
{
    const struct {
        const char *change;
        bool refused;
        const char *why;
    } rows[] = {
        // What the service itself leaves, and what an administrator may do
        // to it without opening it to others.
        {"true", false, ""},
        {"chmod 0755 .", false, ""},
        {"chmod 0400 service.state", false, ""},
        // Anyone else's hand in it.
        {"chown 65534 .", true, "is not the service's own (owner 65534, mode 700)"},
        {"chmod 0770 .", true, "is not the service's own (owner 0, mode 770)"},
        {"chmod 1777 .", true, "is not the service's own (owner 0, mode 777)"},
        {"cd .. && mv state elsewhere && ln -s elsewhere state", true, "no folder"},
        {"chmod 0644 service.state", true, "that only it may read (owner 0, mode 644)"},
        {"chown 65534 service.state", true, "(owner 65534, mode 600)"},
        {"mv service.state real && ln -s real service.state", true, "cannot be opened as a plain file"},
        {"ln -s ../good service.state.x && mv -T service.state.x service.state", true,
         "cannot be opened as a plain file"},
        {"rm service.state && mkfifo -m 0600 service.state", true, "not a plain file"},
        {"rm service.state && mkdir -m 0700 service.state", true, "not a plain file"},
        // The folders above it: nobody else may swap the service's folder
        // for one of theirs, or take it away. A sticky folder of root's (as
        // /tmp is) lets nobody rename what is not theirs.
        {"chmod 1777 ..", false, ""},
        {"chown 65534 ..", true, "above its folder may be changed by others (owner 65534, mode 0755)"},
        {"chmod 0775 ..", true, "above its folder may be changed by others (owner 0, mode 0775)"},
        {"chmod 0757 ..", true, "(owner 0, mode 0757)"},
        {"chown 65534 .. && chmod 1777 ..", true, "(owner 65534, mode 1777)"},
    };
    STATE_SetPath(path_.c_str());
    for (const auto &row : rows) {
        SCOPED_TRACE(row.change);
        Plant(row.change);
        StateContent c;
        ASSERT_EQ(1, STATE_Load(&c));
        EXPECT_EQ(row.refused, c.refused) << c.why;
        EXPECT_NE(std::string::npos, std::string(c.why).find(row.why)) << c.why;
        EXPECT_EQ(!row.refused, c.haveAdapter);
        Shell("chown 0 " + root_ + " && chmod 0755 " + root_);
    }
}

// The same rule for a folder above the service's that is reached through a
// link, and for the folder a link leads to.
TEST_F(StateDisk, TheFoldersAboveAreCheckedAsWrittenAndAsTheLinksLead)
{
    const struct {
        const char *setUp;  // run in the test's folder; "link" leads to "real"
        bool refused;
    } rows[] = {
        {"mkdir -m 0755 real && ln -s real link", false},
        {"mkdir -m 0755 real && ln -s real link && chown -h 65534 link", true},
        {"mkdir -m 0777 real && ln -s real link", true},
        {"mkdir -m 0755 real && chown 65534 real && ln -s real link", true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.setUp);
        Shell("cd " + root_ + " && rm -rf real link");
        ASSERT_EQ(0, Shell("cd " + root_ + " && " + row.setUp));
        ASSERT_EQ(0, Shell("mkdir -m 0700 " + root_ + "/real/state"));
        char why[STATE_WHY_MAX] = "";
        EXPECT_EQ(row.refused, STATESYS_CheckFolder((root_ + "/link/state/service.state").c_str(), why, sizeof(why)) != 0);
        EXPECT_EQ(row.refused, std::string(why).find("above its folder") != std::string::npos) << why;
    }
}

// Writing and removing follow no link either, and leave a folder of
// another's as it is.
TEST_F(StateDisk, TheWriterFollowsNoLinkAndKeepsOutOfAForeignFolder)
{
    STATE_SetPath(path_.c_str());
    const std::string victim = root_ + "/victim";
    Plant("ln -s " + victim + " service.state.new");
    FILE *f = fopen(victim.c_str(), "w");
    fputs("keep\n", f);
    fclose(f);
    std::string text = "adapter 15 other\n";
    EXPECT_NE(0u, STATESYS_Write(path_.c_str(), text.data(), text.size()));
    EXPECT_EQ(0, Shell("grep -qx keep " + victim));
    StateContent c;
    ASSERT_EQ(1, STATE_Load(&c));
    EXPECT_STREQ("tlxtun", c.adapterName) << "the file is as it was";

    Plant("chown 65534 .");
    EXPECT_NE(0u, STATESYS_Write(path_.c_str(), text.data(), text.size()));
    STATESYS_Remove(path_.c_str());
    struct stat st;
    EXPECT_EQ(0, stat(path_.c_str(), &st)) << "nothing is removed from a folder of another's";

    // A folder that is missing is made: nobody else may write in it, and
    // the service's group may reach the socket beside the file.
    Shell("rm -rf " + dir_);
    EXPECT_EQ(0u, STATESYS_Write(path_.c_str(), text.data(), text.size()));
    ASSERT_EQ(0, stat(dir_.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    ASSERT_EQ(0, stat(path_.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(StateDisk, ASecondProcessDoesNotGetTheLock)
{
    STATE_SetPath(path_.c_str());
    Plant("true");
    ASSERT_EQ(0u, STATE_Lock());
    EXPECT_EQ(0u, STATE_Lock()) << "held already";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child's copy of the lock is let go first: it stands for a
        // process of its own.
        std::string elsewhere = root_ + "/elsewhere/service.state";
        _exit(STATESYS_Lock(elsewhere.c_str()) == 0 && STATESYS_Lock(path_.c_str()) == STATE_LOCK_TAKEN ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Another file's lock is another lock.
    std::string other = root_ + "/other/service.state";
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(STATESYS_Lock(other.c_str()) == 0 ? 0 : 1);
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A removed route's detail from the file is judged as its row is before
// anything of it reaches the kernel: every value a route of another link can
// have passes, anything else refuses the entry and says why.
TEST(StateRecovery, TheKernelsDetailOfARouteIsJudgedAsStrictlyAsItsRow)
{
    using netfake::Ip;
    const RouteRow row = netfake::Row("0.0.0.0", "0.0.0.0", "198.51.100.1", 7, 2);
    auto base = [] {
        RouteDetail d = {};
        d.present = 1;
        d.table = RT_TABLE_MAIN;
        d.type = RTN_UNICAST;
        return d;
    };
    auto metric = [&](uint32_t i, uint32_t value) {
        RouteDetail d = base();
        d.metricsSet = 1u << i;
        d.metrics[i] = value;
        return d;
    };
    auto hops = [&](RouteHop first, RouteHop second) {
        RouteDetail d = base();
        d.hopCount = 2;
        d.hops[0] = first;
        d.hops[1] = second;
        return d;
    };
    auto with = [&](RouteDetail d, uint32_t RouteDetail::*field, uint32_t value) {
        d.*field = value;
        return d;
    };
    RouteRow wideProtocol = row;
    wideProtocol.sysProtocol = 0x100;
    const struct {
        const char *what;
        RouteRow row;
        RouteDetail detail;
        const char *why;  // null: taken
    } cases[] = {
        {"a plain route", row, base(), nullptr},
        {"on-link, scope link, from DHCP", row,
         with(with(base(), &RouteDetail::flags, RTNH_F_ONLINK), &RouteDetail::scope, RT_SCOPE_LINK), nullptr},
        {"source, MTU locked, MSS, initial window", row,
         [&] {
             RouteDetail d = metric(RTAX_LOCK, 1u << RTAX_MTU);
             d.source = Ip("198.51.100.2");
             d.metricsSet |= 1u << RTAX_MTU | 1u << RTAX_ADVMSS | 1u << RTAX_INITCWND | 1u << RTAX_FEATURES;
             d.metrics[RTAX_MTU] = 1400;
             d.metrics[RTAX_ADVMSS] = 1360;
             d.metrics[RTAX_INITCWND] = 10;
             d.metrics[RTAX_FEATURES] = RTAX_FEATURE_ECN;
             return d;
         }(),
         nullptr},
        {"a next-hop object", row, with(base(), &RouteDetail::nextHopId, 7), nullptr},
        {"two next hops, one on link and weighted", row,
         hops({Ip("198.51.100.1"), 7, 0, 0}, {Ip("10.0.0.1"), 9, 2, RTNH_F_ONLINK}), nullptr},
        {"another table", row, with(base(), &RouteDetail::table, 100), "its table is not the main table"},
        {"no unicast route", row, with(base(), &RouteDetail::type, RTN_BLACKHOLE), "it is no unicast route"},
        {"host scope", row, with(base(), &RouteDetail::scope, RT_SCOPE_HOST), "a scope no route of another link"},
        {"a flag the kernel sets itself", row, with(base(), &RouteDetail::flags, RTNH_F_DEAD),
         "flags the kernel sets only itself"},
        {"a protocol past a byte", wideProtocol, base(), "a protocol or type of service out of range"},
        {"a multicast source", row, with(base(), &RouteDetail::source, Ip("224.0.0.1")),
         "its preferred source is no unicast address"},
        {"an object and next hops", row,
         with(hops({Ip("198.51.100.1"), 7, 0, 0}, {Ip("10.0.0.1"), 9, 0, 0}), &RouteDetail::nextHopId, 7),
         "both a next-hop object and next hops"},
        {"too many next hops", row, with(base(), &RouteDetail::hopCount, ROUTE_DETAIL_HOPS + 1),
         "more next hops than an entry holds"},
        {"metric 0", row, metric(RTAX_UNSPEC, 1), "a metric the kernel does not know"},
        {"a metric past the kernel's last", row, metric(RTAX_MAX + 1, 1), "a metric the kernel does not know"},
        {"the congestion control, which is text", row, metric(RTAX_CC_ALGO, 1), "a metric the kernel does not know"},
        {"a lock on an unknown metric", row, metric(RTAX_LOCK, 1u << (RTAX_MAX + 1)), "a lock on a metric"},
        {"an MTU of 67", row, metric(RTAX_MTU, 67), "an MTU out of range"},
        {"an MTU past 65535", row, metric(RTAX_MTU, 0x10000), "an MTU out of range"},
        {"an MSS of 0", row, metric(RTAX_ADVMSS, 0), "an advertised MSS out of range"},
        {"a hop limit of 256", row, metric(RTAX_HOPLIMIT, 256), "a hop limit out of range"},
        {"an unknown TCP feature", row, metric(RTAX_FEATURES, 1u << 7), "a TCP feature the kernel does not know"},
        {"a next hop without its link", row, hops({Ip("198.51.100.1"), 7, 0, 0}, {Ip("10.0.0.1"), 0, 0, 0}),
         "a next hop without its interface"},
        {"a next hop through a broadcast", row,
         hops({Ip("198.51.100.1"), 7, 0, 0}, {Ip("255.255.255.255"), 9, 0, 0}), "gateway is no unicast address"},
        {"a next hop's weight past a byte", row, hops({Ip("198.51.100.1"), 7, 256, 0}, {Ip("10.0.0.1"), 9, 0, 0}),
         "weight out of range"},
        {"a next hop said dead", row, hops({Ip("198.51.100.1"), 7, 0, RTNH_F_DEAD}, {Ip("10.0.0.1"), 9, 0, 0}),
         "a next hop's flags"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const char *why = RDETAIL_Fault(&c.row, &c.detail);
        if (!c.why) {
            EXPECT_EQ(nullptr, why) << why;
            // What is taken reads back from the message made of it as it was.
            std::vector<unsigned char> message;
            ASSERT_EQ(1, RDETAIL_Message(&c.row, &c.detail, &message));
            RouteDetail back;
            EXPECT_EQ(nullptr, RDETAIL_Of(reinterpret_cast<const nlmsghdr *>(message.data()), &back));
            EXPECT_EQ(0, memcmp(&c.detail, &back, sizeof(back)));
        } else {
            ASSERT_NE(nullptr, why);
            EXPECT_NE(nullptr, strstr(why, c.why)) << why;
        }
    }
}

}  // namespace
