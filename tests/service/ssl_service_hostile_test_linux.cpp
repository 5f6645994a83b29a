// The route service as a hostile local caller meets it: the real program in
// a network namespace of the test's own, a tun link there that carries the
// TAP description, callers as root and as an unprivileged user. Every
// refused request leaves the namespace's addresses and routes byte for byte
// as they were; the client's own requests change exactly what they ask and
// the routes come back when the client goes.
#include "netns_fixture.h"
#include "service_pipe.h"
#include "service_pipe_protocol.h"
#include "ssl_service.h"
#include "svc_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <string>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof(b), "0x%x", v);
    return b;
}

// An address a.b.c.d as the client writes it.
std::string Word(int a, int b, int c, int d)
{
    char s[16];
    snprintf(s, sizeof(s), "0x%08x", (unsigned)(a | b << 8 | c << 16 | d << 24));
    return s;
}

class HostileCaller : public netns::NetnsTest {
protected:
    void SetUp() override
    {
        netns::NetnsTest::SetUp();
        if (IsSkipped() || name.empty())
            return;
        const char *bin = getenv("TLX_BINARY_DIR");
        if (!bin)
            GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
        program_ = std::string(bin) + "/service/vantorelle_tunlex_service";
        if (access(program_.c_str(), X_OK) != 0)
            GTEST_SKIP() << program_ << " is not built";
        std::string out;
        for (const char *step : {"tuntap add dev tlxtun mode tun", "link set tlxtun alias \"TAP-Windows Adapter V9\"",
                                 "link set tlxtun up"})
            out += Ip(step);
        ASSERT_EQ("", out);
        tap_ = Index("tlxtun");
        dir_ = "/tmp/tlx-hostile-" + std::to_string((long)getpid()) + "-" + name;
        mkdir(dir_.c_str(), 0755);  // open to all: the socket's own mode must keep them out
        socket_ = dir_ + "/pipe.sock";
        dns_ = dir_ + "/resolv.conf";
        log_ = dir_ + "/service.log";
        stateDir_ = dir_ + "/state";
        state_ = stateDir_ + "/service.state";
        Start();
    }
    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 300 && waitpid(pid_, &status, WNOHANG) == 0; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, WNOHANG);
        }
        if (!dir_.empty())
            netns::Shell("rm -rf " + dir_);
        netns::NetnsTest::TearDown();
    }

    // The program in the namespace, with the socket, resolver and state
    // files of this test. A prologue runs first, in a mount namespace of the
    // program's own (the program replaces the shell: the pid is its own).
    pid_t Launch(const std::string &log, const char *mode, const std::string &errors = "/dev/null",
                 const std::string &prologue = "")
    {
        std::vector<std::string> args = {"/usr/bin/env", "ip", "netns", "exec", name, program_,
                                         "-logfile", log, mode};
        if (!prologue.empty())
            args = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                    prologue + " && exec ip netns exec " + name + " " + program_ + " -logfile " + log + " " + mode};
        pid_t pid = fork();
        if (pid == 0) {
            // The service group, for this program only: a group file of the
            // test's own in /etc/group's place.
            if (!groupFile_.empty() &&
                (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount(groupFile_.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0))
                _exit(126);
            setenv(SVCPIPE_PATH_ENV, socket_.c_str(), 1);
            setenv(SVCPIPE_DNS_FILE_ENV, dns_.c_str(), 1);
            setenv("VANTORELLE_SERVICE_STATE", state_.c_str(), 1);
            int null = open("/dev/null", O_WRONLY);
            int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(null, 1);
            dup2(err >= 0 ? err : null, 2);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    // The service ended: by a stop signal (a clean end) or killed.
    void Stop(int sig)
    {
        if (pid_ <= 0)
            return;
        kill(pid_, sig);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    void Start(const std::string &prologue = "")
    {
        pid_ = Launch(log_, "-run", "/dev/null", prologue);
        ASSERT_GE(pid_, 0);
        SPIPE_SetAddress(socket_.c_str());
        SvcPipeClient *c = nullptr;
        auto until = Clock::now() + std::chrono::seconds(5);
        while (SPIPE_Connect(&c) != 0 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_NE(nullptr, c) << "the service does not serve " << socket_;
        SPIPE_Close(c);
        // Let the worker take the closed connection and wait for the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    SvcPipeClient *Connect()
    {
        SvcPipeClient *c = nullptr;
        EXPECT_EQ(0u, SPIPE_Connect(&c));
        return c;
    }

    // One message as given; the reply text, or "<none>" when none came.
    static std::string Send(SvcPipeClient *c, const std::string &message, uint32_t ms = 5000)
    {
        if (!c || SPIPE_Send(c, message.data(), (uint32_t)message.size()) != 0)
            return "<not sent>";
        char buf[SVCPIPE_SERVICE_BUFFER];
        uint32_t len = 0;
        if (SPIPE_Receive(c, buf, sizeof(buf), &len, ms) != 0)
            return "<none>";
        return std::string(buf, len && buf[len - 1] == '\0' ? len - 1 : len);
    }
    static std::string Call(SvcPipeClient *c, const std::string &request)
    {
        return Send(c, request + std::string(1, '\0'));
    }

    std::string State()
    {
        return Ip("-4 -j addr") + "\n" + Ip("-4 -j route show table all") + "\n" + netns::Shell("cat " + dns_);
    }
    std::string Hello()
    {
        return "ClientHello,tlxtun," + Hex(tap_);
    }

    std::string Log()
    {
        return netns::Shell("cat " + log_);
    }

    // The service again, now with a service group (kServiceGid) whose
    // members may connect.
    void StartWithServiceGroup()
    {
        Stop(SIGTERM);
        groupFile_ = dir_ + "/group";
        netns::Shell("cp /etc/group " + groupFile_ + " && echo 'vantorelle:x:" + std::to_string(kServiceGid) +
                     ":' >>" + groupFile_);
        Start();
    }

    // Runs body in a child as user kMember, a member of the service group
    // only; the child's exit code.
    static bool BecomeMember()
    {
        gid_t g = kServiceGid;
        return setgroups(1, &g) == 0 && setgid(kMember) == 0 && setuid(kMember) == 0;
    }
    static int AsMember(const std::function<int()> &body)
    {
        pid_t child = fork();
        if (child == 0)
            _exit(BecomeMember() ? body() : 120);
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static constexpr gid_t kServiceGid = 4242;
    static constexpr uid_t kMember = 65534;
    std::string program_, dir_, socket_, dns_, log_, stateDir_, state_, groupFile_;
    pid_t pid_ = -1;
    uint32_t tap_ = 0;
};

TEST_F(HostileCaller, AnUnprivilegedUserCannotConnect)
{
    struct stat st;
    ASSERT_EQ(0, stat(socket_.c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    group *g = getgrnam("vantorelle");
    EXPECT_EQ(g ? 0660u : 0600u, st.st_mode & 0777);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", socket_.c_str());
        _exit(connect(fd, (sockaddr *)&addr, sizeof(addr)) == 0 ? 1 : errno == EACCES ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    // Still serving root.
    SvcPipeClient *c = Connect();
    EXPECT_EQ("ClientHello OK", Call(c, Hello()));
    SPIPE_Close(c);
}

TEST_F(HostileCaller, RefusedRequestsChangeNothingAndTheServiceServesOn)
{
    const std::string tap = Hex(tap_), eth = Hex(this->eth);
    const std::string mask24 = Word(255, 255, 255, 0), host = Word(255, 255, 255, 255);
    const std::string big4k = std::string(4096, 'A');
    const struct {
        bool hello;  // sent on a connection that made its ClientHello
        std::string message;
        std::string reply;
    } rows[] = {
        // Before any ClientHello.
        {false, "ROUTE_Init," + tap + ",0x1", "ROUTE_Init FAILED,0x00000057"},
        {false, "SSL_SetIfaceAddr,tlxeth," + eth + "," + Word(6, 6, 6, 6) + "," + mask24 + ",0x0,1400",
         "SSL_SetIfaceAddr FAILED,0x00000057"},
        {false, "ROUTE_Add," + eth + ",0x00000000,0x00000000," + Word(198, 51, 100, 66) + ",1",
         "ROUTE_Add FAILED,0x00000057"},
        // A hello naming the physical interface, or shell words and quotes.
        {false, "ClientHello,tlxeth," + eth, "ClientHello FAILED,0x00000057"},
        {false, "ClientHello,tlxtun," + eth, "ClientHello FAILED,0x00000057"},
        {false, "ClientHello,tlxtun;ip link del tlxeth," + tap, "ClientHello FAILED,0x00000057"},
        {false, "ClientHello,\"tlxtun\"," + tap, "ClientHello FAILED,0x00000057"},
        // Unknown commands, missing and extra fields.
        {true, "ROUTE_Delete," + eth, "Unknown command"},
        {true, "ROUTE_Init," + tap, "Unknown command"},
        {true, "ROUTE_Add," + tap + ",0x0000000a,0x000000ff," + Word(10, 99, 0, 1) + ",2,9", "Unknown command"},
        {true, "SSL_SetDNSIface,tlxtun," + tap + ",true", "Unknown command"},
        // Every command on another index than the hello's.
        {true, "ROUTE_Init," + eth + ",0x1", "ROUTE_Init FAILED,0x00000057"},
        {true, "SSL_SetIfaceAddr,tlxeth," + eth + "," + Word(6, 6, 6, 6) + "," + mask24 + ",0x0,576",
         "SSL_SetIfaceAddr FAILED,0x00000057"},
        {true, "SSL_SetIfaceAddr,tlxtun," + eth + "," + Word(6, 6, 6, 6) + "," + mask24 + ",0x0,576",
         "SSL_SetIfaceAddr FAILED,0x00000057"},
        {true, "SSL_RemoveGateway,tlxeth," + eth + "," + Word(198, 51, 100, 2), "SSL_RemoveGateway FAILED,0x00000057"},
        {true, "SSL_SetDNSIface,tlxeth," + eth + ",true," + Word(6, 6, 6, 6) + ",0x0",
         "SSL_SetDNSIface FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(8, 8, 8, 8) + "," + host + "," + Word(198, 51, 100, 66) + ",1",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(8, 8, 0, 0) + "," + Word(255, 255, 0, 0) + "," +
                   Word(198, 51, 100, 1) + ",1",
         "ROUTE_Add FAILED,0x00000057"},
        // Values.
        {true, "ROUTE_Add," + tap + "," + Word(10, 0, 0, 0) + "," + Word(255, 0, 255, 0) + "," + Word(10, 99, 0, 1) +
                   ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + tap + "," + Word(10, 0, 0, 1) + "," + Word(255, 0, 0, 0) + "," + Word(10, 99, 0, 1) +
                   ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + tap + "," + Word(10, 0, 0, 0) + "," + Word(255, 0, 0, 0) + "," + Word(10, 99, 0, 1) +
                   ",+2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(224, 0, 0, 1) + "," + mask24 + ",0x0,1400",
         "SSL_SetIfaceAddr FAILED,0x00000057"},
        {true, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," + mask24 + ",0x0,100",
         "SSL_SetIfaceAddr FAILED,0x00000057"},
        {true, "SSL_SetDNSIface,tlxtun," + tap + ",true," + Word(255, 255, 255, 255) + ",0x0",
         "SSL_SetDNSIface FAILED,0x00000057"},
        {true, "SSL_SetDNSIface,tlxtun," + tap + ",true\nnameserver 6.6.6.6," + Word(10, 99, 0, 53) + ",0x0",
         "Unknown command"},
        // The host route through a next hop that is not the interface's gateway.
        {true, "ROUTE_Add," + eth + "," + Word(203, 0, 113, 9) + "," + host + "," + Word(198, 51, 100, 66) + ",2",
         "ROUTE_Add FAILED,0x00000057"},
        // The host route off the tunnel: never to this host, its loopback,
        // link-local or "this" network, broadcast or multicast, and only the
        // way the destination goes now.
        {true, "ROUTE_Add," + eth + "," + Word(127, 0, 0, 1) + "," + host + "," + Word(198, 51, 100, 1) + ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(0, 1, 2, 3) + "," + host + "," + Word(198, 51, 100, 1) + ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(169, 254, 1, 1) + "," + host + "," + Word(198, 51, 100, 1) + ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(224, 0, 0, 5) + "," + host + "," + Word(198, 51, 100, 1) + ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + host + "," + host + "," + Word(198, 51, 100, 1) + ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(198, 51, 100, 2) + "," + host + ",0x00000000,2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(198, 51, 100, 255) + "," + host + ",0x00000000,2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(10, 0, 0, 5) + "," + host + "," + Word(198, 51, 100, 1) + ",2",
         "ROUTE_Add FAILED,0x00000057"},
        {true, "ROUTE_Add," + eth + "," + Word(203, 0, 113, 9) + "," + host + ",0x00000000,2",
         "ROUTE_Add FAILED,0x00000057"},
        // Framing: no NUL, a NUL inside, bytes that are no ASCII, 4 KB and 64 KB.
        {true, "ROUTE_FixDefaultRoute", "Unknown command"},
        {true, std::string("ROUTE_FixDefaultRoute\0ROUTE_Init,", 32) + tap + ",0x1", "Unknown command"},
        {true, "ROUTE_FixRoute," + Word(8, 8, 8, 8) + "\xff", "Unknown command"},
        {true, big4k, "Unknown command"},
        {true, std::string(64 * 1024, 'B'), "Unknown command"},
    };
    const std::string before = State();
    SvcPipeClient *bound = Connect();
    ASSERT_EQ("ClientHello OK", Call(bound, Hello()));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message.substr(0, 80));
        std::string message = row.message;
        if (message.size() < 4096 && message != "ROUTE_FixDefaultRoute")
            message += '\0';
        if (row.hello) {
            EXPECT_EQ(row.reply, Send(bound, message));
        } else {
            SvcPipeClient *c = nullptr;
            // The service takes the next client once the bound one is gone.
            SPIPE_Close(bound);
            c = Connect();
            EXPECT_EQ(row.reply, Send(c, message));
            SPIPE_Close(c);
            bound = Connect();
            ASSERT_EQ("ClientHello OK", Call(bound, Hello()));
        }
        EXPECT_EQ(before, State());
    }
    SPIPE_Close(bound);

    // Two callers: the second waits until the first has gone.
    SvcPipeClient *first = Connect(), *second = nullptr;
    ASSERT_EQ("ClientHello OK", Call(first, Hello()));
    bool busy = SPIPE_Connect(&second) != 0;
    if (!busy) {
        EXPECT_EQ("<none>", Send(second, Hello() + std::string(1, '\0'), 300));
    }
    SPIPE_Close(first);
    if (busy) {
        second = Connect();
        EXPECT_EQ("ClientHello OK", Call(second, Hello()));
    } else {
        char buf[64];
        uint32_t len = 0;
        ASSERT_EQ(0u, SPIPE_Receive(second, buf, sizeof(buf), &len, 5000));
        EXPECT_EQ(std::string("ClientHello OK") + '\0', std::string(buf, len));
    }
    // Route 65 is refused.
    for (int i = 1; i <= 65; i++) {
        std::string add = "ROUTE_Add," + tap + "," + Word(10, 200, i, 0) + "," + mask24 + "," + Word(10, 99, 0, 1) + ",2";
        EXPECT_EQ(i <= 64 ? "ROUTE_Add OK" : "ROUTE_Add FAILED,0x00000057", Call(second, add)) << i;
    }
    // A caller that goes in the middle of its exchange: its routes are undone.
    SPIPE_Close(second);
    auto until = Clock::now() + std::chrono::seconds(5);
    while (State() != before && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(before, State());
    SvcPipeClient *c = Connect();
    std::string add = std::string("ROUTE_Add,") + tap + "," + Word(10, 201, 0, 0) + "," + mask24 + "," +
                      Word(10, 99, 0, 1) + ",2";
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    std::string msg = add + std::string(1, '\0');
    SPIPE_Send(c, msg.data(), (uint32_t)msg.size());
    SPIPE_Close(c);
    until = Clock::now() + std::chrono::seconds(5);
    while (State() != before && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(before, State());
    c = Connect();
    EXPECT_EQ("ClientHello OK", Call(c, Hello()));
    SPIPE_Close(c);
}

// A second hello on a connection is refused: the routes stay at 64 for the
// connection, and the clean-up removes every one of them.
TEST_F(HostileCaller, ASecondHelloNeitherRaisesTheRouteCapNorHidesRoutesFromTheCleanUp)
{
    const std::string tap = Hex(tap_), mask24 = Word(255, 255, 255, 0);
    const std::string before = State();
    SvcPipeClient *c = Connect();
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    auto add = [&](int i) {
        return Call(c, "ROUTE_Add," + tap + "," + Word(10, 200, i, 0) + "," + mask24 + "," + Word(10, 99, 0, 1) + ",2");
    };
    for (int i = 1; i <= 64; i++)
        ASSERT_EQ("ROUTE_Add OK", add(i)) << i;
    EXPECT_EQ("ClientHello FAILED,0x00000057", Call(c, Hello()));
    for (int i = 65; i <= 70; i++)
        EXPECT_EQ("ROUTE_Add FAILED,0x00000057", add(i)) << i;
    std::string routes = Ip("-4 route show dev tlxtun");
    size_t count = 0;
    for (size_t at = routes.find("10.200."); at != std::string::npos; at = routes.find("10.200.", at + 1))
        count++;
    EXPECT_EQ(64u, count);
    SPIPE_Close(c);
    auto until = Clock::now() + std::chrono::seconds(10);
    while (State() != before && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(before, State());
    EXPECT_NE(std::string::npos, netns::Shell("cat " + log_).find("ClientHello refused"));
}

// The host route to the VPN gateway on hosts that reach it in other ways
// than through the default gateway of the interface: each row sets up the
// host (a second uplink "tlxup"), asks for host routes as the client would
// and puts the host back.
TEST_F(HostileCaller, TheHostRouteOnHostsThatReachTheGatewayInOtherWays)
{
    std::string made;
    for (const char *step : {"link add tlxup type veth peer name tlxupp", "link set tlxupp up", "link set tlxup up"})
        made += Ip(step);
    ASSERT_EQ("", made);
    const std::string up = Hex(Index("tlxup")), eth = Hex(this->eth), host = Word(255, 255, 255, 255);
    const std::string gw = Word(203, 0, 113, 9);
    const struct {
        const char *what;
        std::vector<std::string> setUp, putBack;  // ip commands
        std::vector<std::pair<std::string, std::string>> adds;  // interface and next hop, the reply
        const char *made;  // what "ip route show 203.0.113.9" shows of the route made
    } rows[] = {
        {"a /32 uplink with an on-link default route",
         {"addr add 100.64.0.5/32 dev tlxup", "route del default", "route add default dev tlxup"},
         {"route del default", "route add default via 198.51.100.1 dev tlxeth proto static",
          "addr flush dev tlxup"},
         {{up + ",0x00000000", "ROUTE_Add OK"}},
         "203.0.113.9 dev tlxup"},
        {"the gateway's network on another interface, without a default route there",
         {"addr add 100.64.0.5/24 dev tlxup", "route add 203.0.113.0/24 via 100.64.0.1 dev tlxup"},
         {"addr flush dev tlxup"},
         {{eth + "," + Word(198, 51, 100, 1), "ROUTE_Add FAILED,0x00000057"},
          {up + "," + Word(100, 64, 0, 1), "ROUTE_Add OK"}},
         "203.0.113.9 via 100.64.0.1 dev tlxup"},
        {"several default routes: a next hop none of them has, then the one of the second",
         {"addr add 100.64.0.5/24 dev tlxup", "route add default via 100.64.0.1 dev tlxup metric 5"},
         {"addr flush dev tlxup"},
         {{up + "," + Word(100, 64, 0, 7), "ROUTE_Add FAILED,0x00000057"},
          {up + "," + Word(100, 64, 0, 1), "ROUTE_Add OK"}},
         "203.0.113.9 via 100.64.0.1 dev tlxup"},
    };
    const std::string pristine = State();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::string out;
        for (const std::string &step : row.setUp)
            out += Ip(step);
        ASSERT_EQ("", out);
        const std::string before = State();
        SvcPipeClient *c = Connect();
        ASSERT_EQ("ClientHello OK", Call(c, Hello()));
        for (const auto &add : row.adds)
            EXPECT_EQ(add.second, Call(c, "ROUTE_Add," + add.first.substr(0, add.first.find(',')) + "," + gw + "," +
                                              host + "," + add.first.substr(add.first.find(',') + 1) + ",2"))
                << add.first;
        EXPECT_NE(std::string::npos, Ip("route show 203.0.113.9").find(row.made)) << Ip("route show 203.0.113.9");
        SPIPE_Close(c);
        auto until = Clock::now() + std::chrono::seconds(5);
        while (State() != before && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(before, State());
        for (const std::string &step : row.putBack)
            out += Ip(step);
        EXPECT_EQ(pristine, State());
    }
}

// A hello binds only a tun link that the caller may use: one of its own
// user or group (each that is set), one of nobody only for root, and never
// a link that is no tun, whatever its alias says. A refused hello leaves
// the link as it was.
TEST_F(HostileCaller, AHelloBindsOnlyATunLinkTheCallerMayUse)
{
    StartWithServiceGroup();
    const std::string member = std::to_string(kMember), group = std::to_string(kServiceGid);
    const struct {
        const char *name;
        std::string link;  // how tlxother is made
        bool asMember;  // else as root
        bool accepted;
    } rows[] = {
        {"the member's own tun", "tuntap add dev tlxother mode tun user " + member, true, true},
        {"a tun of the member's group", "tuntap add dev tlxother mode tun group " + group, true, true},
        {"the member's own tun of its group", "tuntap add dev tlxother mode tun user " + member + " group " + group,
         true, true},
        {"another user's tun", "tuntap add dev tlxother mode tun user 1234", true, false},
        {"a tun of another group", "tuntap add dev tlxother mode tun group 999", true, false},
        {"the member's own tun of another group", "tuntap add dev tlxother mode tun user " + member + " group 999",
         true, false},
        {"a tun of nobody", "tuntap add dev tlxother mode tun", true, false},
        {"a link that is no tun", "link add tlxother type veth peer name tlxotherp", true, false},
        {"another user's tun, for root", "tuntap add dev tlxother mode tun user 1234", false, true},
        {"a tun of nobody, for root", "tuntap add dev tlxother mode tun", false, true},
        {"a link that is no tun, for root", "link add tlxother type veth peer name tlxotherp", false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::string out = Ip(row.link);
        for (const char *step : {"link set tlxother alias \"TAP-Windows Adapter V9\"", "link set tlxother mtu 1500",
                                 "addr add 192.0.2.7/24 dev tlxother", "link set tlxother up"})
            out += Ip(step);
        ASSERT_EQ("", out);
        const std::string hello = "ClientHello,tlxother," + Hex(Index("tlxother"));
        const std::string before = State();
        std::string reply;
        if (row.asMember) {
            int rc = AsMember([&] {
                SvcPipeClient *c = nullptr;
                if (SPIPE_Connect(&c) != 0)
                    return 3;
                std::string r = Call(c, hello);
                SPIPE_Close(c);
                return r == "ClientHello OK" ? 0 : r == "ClientHello FAILED,0x00000057" ? 1 : 2;
            });
            reply = rc == 0 ? "ClientHello OK" : rc == 1 ? "ClientHello FAILED,0x00000057" : "<" + std::to_string(rc) + ">";
        } else {
            SvcPipeClient *c = Connect();
            reply = Call(c, hello);
            SPIPE_Close(c);
        }
        EXPECT_EQ(row.accepted ? "ClientHello OK" : "ClientHello FAILED,0x00000057", reply);
        if (!row.accepted) {
            EXPECT_EQ(before, State());
        }
        // The connection's end is taken before the link goes.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ("", Ip("link del tlxother"));
    }
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("is not the caller's (user " + member + ") to use")) << log;
    EXPECT_NE(std::string::npos, log.find("carries the adapter's description but is no tun link")) << log;
}

// Members that connect in a loop and never say hello: each holds the service
// for its hello deadline at most, and the client, whose connection waits in
// the queue meanwhile, is served within its own wait every time.
TEST_F(HostileCaller, MembersConnectingInALoopDoNotHoldOutTheClient)
{
    StartWithServiceGroup();
    const std::string path = socket_;
    auto loop = [path] {
        // Until the test ends it, or the service has gone.
        for (int refused = 0; refused < 100;) {
            int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
            if (connect(fd, (sockaddr *)&addr, sizeof(addr)) == 0) {
                refused = 0;
                pollfd p = {fd, POLLIN, 0};
                poll(&p, 1, 30000);  // until the service ends it
            } else {
                refused++;
                usleep(10000);
            }
            close(fd);
        }
        return 0;
    };
    struct Loops {
        std::vector<pid_t> pids;
        ~Loops()
        {
            for (pid_t child : pids) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            }
        }
    } loops;
    for (int i = 0; i < 2; i++) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            _exit(BecomeMember() ? loop() : 120);
        }
        loops.pids.push_back(child);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int attempt = 0; attempt < 3; attempt++) {
        SCOPED_TRACE(attempt);
        // As the client does: a connect that finds the queue full is tried
        // again for SVCPIPE_BUSY_WAIT_MS; then the hello and its reply.
        auto start = Clock::now();
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        int fd = -1;
        while (Clock::now() - start < std::chrono::milliseconds(SVCPIPE_BUSY_WAIT_MS)) {
            fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (connect(fd, (sockaddr *)&addr, sizeof(addr)) == 0)
                break;
            close(fd);
            fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_GE(fd, 0) << "the pipe stayed busy";
        std::string hello = Hello() + std::string(1, '\0');
        ASSERT_EQ((ssize_t)hello.size(), send(fd, hello.data(), hello.size(), MSG_NOSIGNAL));
        pollfd p = {fd, POLLIN, 0};
        char buf[64] = "";
        ssize_t n = poll(&p, 1, 30000) == 1 ? recv(fd, buf, sizeof(buf) - 1, 0) : -1;
        EXPECT_EQ("ClientHello OK", std::string(buf, n > 0 ? (size_t)n - 1 : 0));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
        close(fd);
    }
}

// A resolver file another user blocks (a folder of theirs in the place of its
// temporary copy): the DNS request fails instead of claiming the servers are
// set, and the clean-up and the next client are served as ever.
TEST_F(HostileCaller, ABlockedResolverFileFailsTheDnsRequestOnly)
{
    const std::string tap = Hex(tap_);
    ASSERT_EQ("", netns::Shell("mkdir " + dns_ + ".new && touch " + dns_ + ".new/keep && chown -R 65534 " + dns_ +
                               ".new"));
    for (const std::string &request :
         {"SSL_SetDNSIface,tlxtun," + tap + ",true," + Word(10, 99, 0, 53) + ",0x0",
          "SSL_SetDNSIface,tlxtun," + tap + ",true,0x0,0x0", "SSL_SetDNSIface,tlxtun," + tap + ",false,0x0," +
          Word(10, 99, 0, 54)}) {
        SCOPED_TRACE(request);
        SvcPipeClient *c = Connect();
        ASSERT_EQ("ClientHello OK", Call(c, Hello()));
        EXPECT_EQ("SSL_SetDNSIface FAILED,0x00000011", Call(c, request));  // 17: the name is taken
        EXPECT_EQ("ROUTE_CleanUp OK", Call(c, "ROUTE_CleanUp"));
        SPIPE_Close(c);
    }
    SvcPipeClient *c = Connect();
    EXPECT_EQ("ClientHello OK", Call(c, Hello()));
    SPIPE_Close(c);
    EXPECT_NE(std::string::npos, Log().find("could not be emptied"));
}

// What the real client sends, split tunnel and full tunnel: each change as
// asked, and the routes back as they were once the client has gone.
TEST_F(HostileCaller, TheClientsOwnRequestsWorkAndTheRoutesComeBack)
{
    const std::string tap = Hex(tap_), eth = Hex(this->eth);
    const std::string ethBefore = Ip("-j route show dev tlxeth");
    for (const char *allNets : {"0x0", "0x1"}) {
        SCOPED_TRACE(allNets);
        SvcPipeClient *c = Connect();
        ASSERT_EQ("ClientHello OK", Call(c, Hello()));
        EXPECT_EQ("ROUTE_FixDefaultRoute OK", Call(c, "ROUTE_FixDefaultRoute"));
        EXPECT_EQ("SSL_SetIfaceAddr OK",
                  Call(c, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," + Word(255, 255, 255, 0) +
                              ",0x00000000,1400"));
        EXPECT_EQ("SSL_SetDNSIface OK", Call(c, "SSL_SetDNSIface,tlxtun," + tap + ",true," + Word(10, 99, 0, 53) +
                                                     "," + Word(10, 99, 0, 54)));
        EXPECT_EQ("ROUTE_Init OK", Call(c, "ROUTE_Init," + tap + "," + allNets));
        // The host route to the VPN gateway through the interface's gateway,
        // also after a full tunnel took that interface's default route away.
        EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + eth + "," + Word(203, 0, 113, 9) + "," +
                                              Word(255, 255, 255, 255) + "," + Word(198, 51, 100, 1) + ",2"));
        EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + tap + "," + Word(198, 19, 7, 0) + "," +
                                              Word(255, 255, 255, 0) + "," + Word(10, 99, 0, 1) + ",2"));
        EXPECT_EQ("ClientStatus OK", Call(c, "ClientStatus,Established"));
        EXPECT_NE(std::string::npos, Ip("-j route show 203.0.113.9").find("\"gateway\":\"198.51.100.1\""));
        EXPECT_NE(std::string::npos, Ip("-j route show 198.19.7.0/24").find("\"dev\":\"tlxtun\""));
        EXPECT_NE(std::string::npos, Ip("-j addr show dev tlxtun").find("\"local\":\"10.99.0.2\""));
        EXPECT_NE(std::string::npos, netns::Shell("cat " + dns_).find("nameserver 10.99.0.53\nnameserver 10.99.0.54"));
        // The connection ends, and the program exits.
        EXPECT_EQ("ClientStatus OK", Call(c, "ClientStatus,Failed"));
        EXPECT_EQ("ROUTE_CleanUp OK", Call(c, "ROUTE_CleanUp"));
        EXPECT_EQ("ROUTE_RestoreRoutes OK", Call(c, "ROUTE_RestoreRoutes"));
        SPIPE_Close(c);
        auto until = Clock::now() + std::chrono::seconds(5);
        while ((Ip("-j route show 198.19.7.0/24") != "[]\n" || Ip("-j route show default") == "[]\n") &&
               Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ("[]\n", Ip("-j route show 203.0.113.9"));
        EXPECT_EQ("[]\n", Ip("-j route show 198.19.7.0/24"));
        EXPECT_EQ(ethBefore, Ip("-j route show dev tlxeth"));
    }
}

// ---- The undo file and a second copy of the service ----

std::string BootId()
{
    std::string id = netns::Shell("cat /proc/sys/kernel/random/boot_id");
    return id.substr(0, id.find('\n'));
}

// A route line as the service writes it: a static route it made.
std::string RouteLine(const char *kind, uint32_t dest, uint32_t mask, uint32_t hop, uint32_t index)
{
    char line[256];
    snprintf(line, sizeof(line), "%s %x %x 0 %x %x 4 3 0 0 1 ffffffff ffffffff ffffffff ffffffff 4\n", kind, dest,
             mask, hop, index);
    return line;
}

uint32_t Addr(int a, int b, int c, int d)
{
    return (uint32_t)(a | b << 8 | c << 16 | d << 24);
}

bool WaitExited(pid_t pid, int ms, int *status)
{
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (waitpid(pid, status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
}

// The service killed in a session; before its successor starts, the TAP
// link is replaced by an ordinary link of the same name at the same index.
// The successor puts back what it did to the other interface, and leaves
// the ordinary link as it is.
TEST_F(HostileCaller, ASuccessorLeavesAnOrdinaryLinkInTheTapLinksPlaceAsItIs)
{
    const std::string tap = Hex(tap_), eth = Hex(this->eth);
    SvcPipeClient *c = Connect();
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    EXPECT_EQ("SSL_SetIfaceAddr OK", Call(c, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," +
                                                 Word(255, 255, 255, 0) + ",0x00000000,1400"));
    EXPECT_EQ("ROUTE_Init OK", Call(c, "ROUTE_Init," + tap + ",0x1"));
    EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + eth + "," + Word(203, 0, 113, 9) + "," +
                                          Word(255, 255, 255, 255) + "," + Word(198, 51, 100, 1) + ",2"));
    EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + tap + "," + Word(198, 19, 7, 0) + "," + Word(255, 255, 255, 0) +
                                          "," + Word(10, 99, 0, 1) + ",2"));
    ASSERT_EQ("[]\n", Ip("-j route show default dev tlxeth")) << "the full tunnel took the default route";
    Stop(SIGKILL);
    SPIPE_Close(c);
    struct stat st;
    ASSERT_EQ(0, stat(state_.c_str(), &st)) << "the undo is on disk";

    std::string out;
    for (std::string step : {std::string("link del tlxtun"), "link add tlxtun index " + std::to_string(tap_) + " type veth peer name tlxtunp",
                             std::string("addr add 192.0.2.5/24 dev tlxtun"), std::string("link set tlxtun up"), std::string("link set tlxtunp up")})
        out += Ip(step);
    ASSERT_EQ("", out);
    ASSERT_EQ(tap_, Index("tlxtun"));
    const std::string ordinary = Ip("-4 -j addr show dev tlxtun") + Ip("-j route show dev tlxtun");
    Start();
    EXPECT_EQ(ordinary, Ip("-4 -j addr show dev tlxtun") + Ip("-j route show dev tlxtun"));
    EXPECT_NE(std::string::npos, Ip("-j route show default").find("\"gateway\":\"198.51.100.1\""))
        << "the other interface's default route is back";
    EXPECT_EQ("[]\n", Ip("-j route show 203.0.113.9")) << "the host route off the tunnel is gone";
    EXPECT_NE(std::string::npos,
              Log().find("adapter \"tlxtun\" (index " + std::to_string(tap_) + ") is no TAP adapter of this system now"))
        << Log();
    EXPECT_NE(0, stat(state_.c_str(), &st)) << "the file goes once it has been dealt with";
}

// Files the service did not write, or that are not where only it may write:
// nothing of them is undone. The first row is the service's own file, which
// is undone, to show the others fail for their own reason.
TEST_F(HostileCaller, AStateFileThatIsNotTheServicesOwnChangesNothing)
{
    const std::string boot = "boot " + BootId() + "\n";
    char tapLine[64], ethLine[64];
    snprintf(tapLine, sizeof(tapLine), "adapter %x tlxtun\n", tap_);
    snprintf(ethLine, sizeof(ethLine), "adapter %x tlxeth\n", this->eth);
    const struct {
        const char *name;
        std::string text;
        std::string change;  // run in the state folder after the file is made
        bool undone;
        std::string logged;
    } rows[] = {
        {"the service's own file", boot + tapLine, "true", true, "Undoing the changes a previous service left"},
        {"a file naming another interface", boot + ethLine, "true", false,
         "adapter \"tlxeth\" (index " + std::to_string(this->eth) + ") is no TAP adapter of this system now"},
        {"an added route on another interface", boot + RouteLine("added", 0, 0, Addr(198, 51, 100, 1), this->eth),
         "true", false, "neither on the TAP adapter nor the one host route off the tunnel"},
        {"a file in a folder of another user", boot + tapLine, "chown 65534 .", false,
         "is not the service's own (owner 65534, mode 700)"},
        {"a folder others may write in", boot + tapLine, "chmod 0777 .", false, "is not the service's own"},
        {"a symlinked file", boot + tapLine, "mv service.state ../planted && ln -s ../planted service.state", false,
         "cannot be opened as a plain file"},
        {"a file others may read", boot + tapLine, "chmod 0644 service.state", false, "that only it may read"},
        {"garbage", std::string("\x7f" "ELF\x02\x01\x01\0\0\0 adapter 3 tlxtun\n", 27), "true", false,
         "is refused and nothing of it is undone"},
        {"an over-long line", boot + std::string(STATE_LINE_MAX - 1, 'A') + tapLine, "true", false,
         "is longer than any entry"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Stop(SIGTERM);
        // The TAP link with an address of its own, which a reset would replace.
        Ip("addr flush dev tlxtun");
        ASSERT_EQ("", Ip("addr add 10.99.0.2/24 dev tlxtun"));
        const std::string before = State();
        netns::Shell("rm -rf " + stateDir_ + " " + dir_ + "/planted && mkdir -m 0700 " + stateDir_);
        FILE *f = fopen(state_.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(row.text.data(), 1, row.text.size(), f);
        fclose(f);
        chmod(state_.c_str(), 0600);
        ASSERT_EQ("", netns::Shell("cd " + stateDir_ + " && " + row.change));
        Start();
        std::string log = Log();
        EXPECT_NE(std::string::npos, log.find(row.logged)) << log;
        if (row.undone) {
            // Reset to its resting state: no IPv4 address at all.
            EXPECT_EQ(std::string::npos, Ip("-j addr show dev tlxtun").find("\"family\":\"inet\""));
        } else {
            EXPECT_EQ(before, State());
        }
        // Still serving.
        SvcPipeClient *c = Connect();
        EXPECT_EQ("ClientHello OK", Call(c, Hello()));
        SPIPE_Close(c);
    }
}

// A second copy of the service started beside a live session: it leaves the
// adapter and the routes as they are, says why, ends with a failure, and
// the first service serves on.
TEST_F(HostileCaller, ASecondServiceBesideALiveSessionTouchesNothing)
{
    const std::string tap = Hex(tap_), eth = Hex(this->eth);
    SvcPipeClient *c = Connect();
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    EXPECT_EQ("SSL_SetIfaceAddr OK", Call(c, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," +
                                                 Word(255, 255, 255, 0) + ",0x00000000,1400"));
    EXPECT_EQ("SSL_SetDNSIface OK",
              Call(c, "SSL_SetDNSIface,tlxtun," + tap + ",true," + Word(10, 99, 0, 53) + ",0x0"));
    EXPECT_EQ("ROUTE_Init OK", Call(c, "ROUTE_Init," + tap + ",0x1"));
    EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + eth + "," + Word(203, 0, 113, 9) + "," +
                                          Word(255, 255, 255, 255) + "," + Word(198, 51, 100, 1) + ",2"));
    EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + tap + "," + Word(198, 19, 7, 0) + "," + Word(255, 255, 255, 0) +
                                          "," + Word(10, 99, 0, 1) + ",2"));
    const std::string during = State();
    const std::string errors = dir_ + "/second.err";
    for (const char *mode : {"-run", "-debug"}) {
        // A log of its own, and the running copy's log, which it leaves as it is.
        for (bool sameLog : {false, true}) {
            SCOPED_TRACE(std::string(mode) + (sameLog ? " with the running copy's log" : ""));
            std::string log = sameLog ? log_ : dir_ + "/second" + mode + ".log";
            const std::string running = Log();
            struct stat before = {};
            stat(log_.c_str(), &before);
            pid_t second = Launch(log, mode, errors);
            ASSERT_GE(second, 0);
            int status = 0;
            ASSERT_TRUE(WaitExited(second, 5000, &status)) << "the second copy does not end";
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "status " << status;
            EXPECT_EQ(during, State());
            // Where the by-hand start shows it: the terminal.
            std::string shown = netns::Shell("cat " + errors);
            EXPECT_NE(std::string::npos, shown.find("Another copy of the service is running")) << shown;
            struct stat after = {};
            stat(log_.c_str(), &after);
            EXPECT_EQ(before.st_ino, after.st_ino);
            EXPECT_EQ(running, Log()) << "the running copy's log is its own";
            if (!sameLog) {
                std::string text = netns::Shell("cat " + log);
                EXPECT_NE(std::string::npos, text.find("Another copy of the service is running")) << text;
                EXPECT_EQ(std::string::npos, text.find("Undoing")) << text;
            }
            EXPECT_EQ("ClientStatus OK", Call(c, "ClientStatus,Established"));
        }
    }
    SPIPE_Close(c);
}

// A caller that connects and stays silent holds the service only until its
// hello deadline: the client behind it has its ClientHello answered well
// within 15 s, and the silent caller's connection is ended.
TEST_F(HostileCaller, ASilentCallerDoesNotHoldOutTheClient)
{
    SvcPipeClient *silent = Connect();
    ASSERT_NE(nullptr, silent);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the service has taken it
    auto start = Clock::now();
    SvcPipeClient *c = nullptr;
    auto until = start + std::chrono::seconds(15);
    while (SPIPE_Connect(&c) != 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(nullptr, c);
    std::string hello = Hello() + std::string(1, '\0');
    EXPECT_EQ("ClientHello OK", Send(c, hello, 15000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    char buf[64];
    uint32_t len = 0;
    EXPECT_EQ(SPIPE_CLOSED, SPIPE_Receive(silent, buf, sizeof(buf), &len, 1000));
    SPIPE_Close(silent);
    SPIPE_Close(c);
    EXPECT_NE(std::string::npos, netns::Shell("cat " + log_).find("NOTICE: The client made no ClientHello within"));
}

// A caller that sends requests and never reads the replies is dropped, its
// route undone as for a caller that goes, and the next client is served.
TEST_F(HostileCaller, ACallerThatNeverReadsIsDroppedAndCleanedUp)
{
    const std::string tap = Hex(tap_);
    const std::string before = State();
    SvcPipeClient *c = Connect();
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    ASSERT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + tap + "," + Word(10, 200, 1, 0) + "," + Word(255, 255, 255, 0) +
                                          "," + Word(10, 99, 0, 1) + ",2"));
    ASSERT_NE("[]\n", Ip("-j route show 10.200.1.0/24"));
    std::atomic<int> sent{0};
    std::thread flood([&] {
        const std::string msg = std::string("ClientStatus,Established") + '\0';
        while (sent < 200000 && SPIPE_Send(c, msg.data(), (uint32_t)msg.size()) == 0)
            sent++;
    });
    auto until = Clock::now() + std::chrono::seconds(30);
    while (State() != before && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(before, State());
    SvcPipeClient *next = Connect();
    EXPECT_EQ("ClientHello OK", Call(next, Hello()));
    flood.join();
    EXPECT_LT(sent.load(), 200000);
    SPIPE_Close(next);
    SPIPE_Close(c);
    EXPECT_NE(std::string::npos, netns::Shell("cat " + log_).find("NOTICE: The client took no reply within"));
}

// A session that is silent for longer than both limits stays up: its
// address, DNS and routes stay, and its requests are still served.
TEST_F(HostileCaller, AnIdleSessionOutlivesTheLimits)
{
    const std::string tap = Hex(tap_);
    SvcPipeClient *c = Connect();
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    EXPECT_EQ("SSL_SetIfaceAddr OK", Call(c, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," +
                                                 Word(255, 255, 255, 0) + ",0x00000000,1400"));
    EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + tap + "," + Word(198, 19, 7, 0) + "," + Word(255, 255, 255, 0) +
                                          "," + Word(10, 99, 0, 1) + ",2"));
    EXPECT_EQ("ClientStatus OK", Call(c, "ClientStatus,Established"));
    const std::string during = State();
    std::this_thread::sleep_for(std::chrono::milliseconds(SVC_HELLO_DEADLINE_MS + SVC_REPLY_DEADLINE_MS + 1000));
    EXPECT_EQ(during, State());
    EXPECT_EQ("ClientStatus OK", Call(c, "ClientStatus,Established"));
    EXPECT_EQ("ROUTE_CleanUp OK", Call(c, "ROUTE_CleanUp"));
    SPIPE_Close(c);
    EXPECT_EQ(std::string::npos, netns::Shell("cat " + log_).find("NOTICE: The client"));
}

// The closing log line of a refused request names the refusal's reason,
// not the system's text for its code.
TEST_F(HostileCaller, ARefusalsLogLineNamesItsReason)
{
    SvcPipeClient *c = Connect();
    EXPECT_EQ("ROUTE_Init FAILED,0x00000057", Call(c, "ROUTE_Init," + Hex(tap_) + ",0x1"));
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    EXPECT_EQ("SSL_SetIfaceAddr FAILED,0x00000057",
              Call(c, "SSL_SetIfaceAddr,tlxtun," + Hex(tap_) + "," + Word(10, 99, 0, 2) + "," + Word(255, 255, 255, 0) +
                          ",0x0,100"));
    SPIPE_Close(c);
    const std::string log = netns::Shell("cat " + log_);
    EXPECT_NE(std::string::npos,
              log.find("ROUTE_Init," + Hex(tap_) + ",0x1  FAILED (refused: no ClientHello on this connection yet)\r\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find(",0x0,100  FAILED (refused: the MTU is not ")) << log;
    EXPECT_EQ(std::string::npos, log.find("(Error: 87")) << log;
}

// ---- The undo is kept before anything is changed ----

// A request whose undo cannot be written changes nothing and fails: a full
// file system under the state file, a folder the service does not take as
// its own from the start (the lock cannot be had), one that another user
// takes over in the middle of the session. The service says so, and serves
// on what changes nothing.
TEST_F(HostileCaller, NoChangeIsMadeWhoseUndoCannotBeKept)
{
    const std::string tap = Hex(tap_), eth = Hex(this->eth), mask24 = Word(255, 255, 255, 0);
    const struct {
        const char *what;
        std::string prologue;  // before the service starts, in its own mount namespace
        std::string during;    // after it started
        const char *logged;
    } rows[] = {
        {"a full file system",
         "mount -t tmpfs -o size=64k,mode=0700 tmpfs " + stateDir_ + " && (dd if=/dev/zero of=" + stateDir_ +
             "/fill bs=4096 2>/dev/null; true)",
         "", "No space left on device); the change is not made"},
        {"a folder others may write in", "chmod 0777 " + stateDir_, "",
         "no change is made while no undo can be kept"},
        {"the folder above taken over by another user mid-session", "true", "chown 65534 " + dir_,
         "above its folder may be changed by others (owner 65534"},
    };
    const std::vector<std::string> changes = {
        "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," + mask24 + "," + Word(10, 99, 0, 1) + ",1400",
        "SSL_SetDNSIface,tlxtun," + tap + ",true," + Word(10, 99, 0, 53) + ",0x0",
        "ROUTE_FixDefaultRoute",
        "ROUTE_Init," + tap + ",0x1",
        "ROUTE_Add," + tap + "," + Word(198, 19, 7, 0) + "," + mask24 + "," + Word(10, 99, 0, 1) + ",2",
        "ROUTE_Add," + eth + "," + Word(203, 0, 113, 9) + "," + Word(255, 255, 255, 255) + "," +
            Word(198, 51, 100, 1) + ",2",
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Stop(SIGTERM);
        netns::Shell("rm -rf " + stateDir_ + " && mkdir -m 0700 " + stateDir_ + " && chown 0 " + dir_);
        const std::string before = State();
        Start(row.prologue);
        if (!row.during.empty()) {
            ASSERT_EQ("", netns::Shell(row.during));
        }
        SvcPipeClient *c = Connect();
        ASSERT_EQ("ClientHello OK", Call(c, Hello()));
        for (const std::string &change : changes) {
            SCOPED_TRACE(change);
            std::string reply = Call(c, change);
            EXPECT_EQ(change.substr(0, change.find(',')) + " FAILED", reply.substr(0, reply.find(',')));
            EXPECT_EQ(before, State());
        }
        // The client's clean-up puts its adapter at rest, which needs no
        // undo of its own: the service serves on.
        EXPECT_EQ("ROUTE_CleanUp OK", Call(c, "ROUTE_CleanUp"));
        EXPECT_EQ("ClientStatus OK", Call(c, "ClientStatus,Established"));
        SPIPE_Close(c);
        EXPECT_NE(std::string::npos, Log().find(row.logged)) << Log();
    }
    netns::Shell("chown 0 " + dir_);
}

// A member re-sends a route the kernel refuses (its next hop this host's
// loopback), each time at a new metric, then thousands of such routes: the
// undo holds no entry for any of them, the file stays small, the routes
// past the client's bound are refused, and after kill -9 the successor puts
// the host's three default routes back exactly.
TEST_F(HostileCaller, RefusedRoutesLeaveNoEntryAndAKilledSessionComesBackExactly)
{
    std::string made;
    for (const char *step : {"link add tlxup type veth peer name tlxupp", "link set tlxupp up", "link set tlxup up",
                             "addr add 100.64.0.5/24 dev tlxup",
                             "route add default via 100.64.0.1 dev tlxup metric 5 proto static",
                             "route add default via 198.51.100.3 dev tlxeth metric 9 proto static"})
        made += Ip(step);
    ASSERT_EQ("", made);
    const std::string tap = Hex(tap_), mask24 = Word(255, 255, 255, 0), loopback = Word(127, 0, 0, 1);
    const std::string routesBefore = Ip("-4 -j route show table all");
    ASSERT_EQ(3u, netns::CountMatching(Ip("-4 -j route show default"), {"\"dst\":\"default\""}));
    SvcPipeClient *c = Connect();
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    EXPECT_EQ("SSL_SetIfaceAddr OK", Call(c, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," +
                                                 mask24 + "," + Word(10, 99, 0, 1) + ",1400"));
    EXPECT_EQ("ROUTE_Init OK", Call(c, "ROUTE_Init," + tap + ",0x1"));
    for (const char *dev : {"\"dev\":\"tlxeth\"", "\"dev\":\"tlxup\""})
        ASSERT_EQ(0u, netns::CountMatching(Ip("-4 -j route show default"), {dev})) << dev;
    auto entries = [&](const char *kind) {
        std::string text = netns::Shell("cat " + state_);
        size_t n = 0;
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
            n += text.compare(at, strlen(kind), kind) == 0;
            if (text.find('\n', at) == std::string::npos)
                break;
        }
        return n;
    };
    ASSERT_EQ(3u, entries("removed "));
    for (int metric = 1; metric <= 100; metric++) {
        std::string reply =
            Call(c, "ROUTE_Add," + tap + "," + Word(198, 19, 7, 0) + "," + mask24 + "," + loopback + "," +
                        std::to_string(metric));
        ASSERT_EQ(0u, reply.rfind("ROUTE_Add FAILED,", 0)) << reply;
        ASSERT_NE("ROUTE_Add FAILED,0x00000057", reply) << "refused by the kernel, not the service";
    }
    EXPECT_EQ(0u, entries("added "));
    // 3,000 more over 1,000 networks: the client's 63 other routes are
    // tried, every one after them is refused by the service itself.
    size_t refused = 0;
    for (int i = 0; i < 3000; i++) {
        int j = i % 1000;
        std::string reply = Call(c, "ROUTE_Add," + tap + "," + Word(10, 200 + j / 256, j % 256, 0) + "," + mask24 +
                                        "," + loopback + "," + std::to_string(1 + i % 9999));
        ASSERT_EQ(0u, reply.rfind("ROUTE_Add FAILED,", 0)) << reply;
        refused += reply == "ROUTE_Add FAILED,0x00000057";
    }
    EXPECT_EQ(3000u - 63u * 3u, refused);
    struct stat st;
    ASSERT_EQ(0, stat(state_.c_str(), &st));
    EXPECT_LT(st.st_size, 2048) << "three removed routes and the adapter";
    EXPECT_EQ(0u, entries("added "));
    Stop(SIGKILL);
    SPIPE_Close(c);
    Start();
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Ip("-4 -j route show table all") != routesBefore && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(routesBefore, Ip("-4 -j route show table all"));
    EXPECT_EQ(std::string::npos, Ip("-j addr show dev tlxtun").find("\"family\":\"inet\""));
    EXPECT_NE(0, stat(state_.c_str(), &st)) << "the file goes once it has been dealt with";
}

// The successor of a killed service on a file system that has filled up
// meanwhile: it cannot write the file again as it undoes, and puts the
// adapter and the routes back all the same.
TEST_F(HostileCaller, ASuccessorOnAFullFileSystemPutsEverythingBack)
{
    const std::string tap = Hex(tap_), eth = Hex(this->eth);
    const std::string routesBefore = Ip("-4 -j route show table all");
    SvcPipeClient *c = Connect();
    ASSERT_EQ("ClientHello OK", Call(c, Hello()));
    EXPECT_EQ("SSL_SetIfaceAddr OK", Call(c, "SSL_SetIfaceAddr,tlxtun," + tap + "," + Word(10, 99, 0, 2) + "," +
                                                 Word(255, 255, 255, 0) + "," + Word(10, 99, 0, 1) + ",1400"));
    EXPECT_EQ("ROUTE_Init OK", Call(c, "ROUTE_Init," + tap + ",0x1"));
    EXPECT_EQ("ROUTE_Add OK", Call(c, "ROUTE_Add," + eth + "," + Word(203, 0, 113, 9) + "," +
                                          Word(255, 255, 255, 255) + "," + Word(198, 51, 100, 1) + ",2"));
    ASSERT_EQ("[]\n", Ip("-j route show default dev tlxeth"));
    Stop(SIGKILL);
    SPIPE_Close(c);
    const std::string kept = dir_ + "/kept.state";
    ASSERT_EQ("", netns::Shell("cp -p " + state_ + " " + kept));
    Start("mount -t tmpfs -o size=64k,mode=0700 tmpfs " + stateDir_ + " && cp -p " + kept + " " + state_ +
          " && (dd if=/dev/zero of=" + stateDir_ + "/fill bs=4096 2>/dev/null; true)");
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Ip("-4 -j route show table all") != routesBefore && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(routesBefore, Ip("-4 -j route show table all"));
    EXPECT_EQ(std::string::npos, Ip("-j addr show dev tlxtun").find("\"family\":\"inet\""));
    EXPECT_NE(std::string::npos, Log().find("Undoing the changes a previous service left")) << Log();
}

}  // namespace
