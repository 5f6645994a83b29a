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

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
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

    void Start()
    {
        std::string pipeVar = std::string(SVCPIPE_PATH_ENV) + "=" + socket_;
        std::string dnsVar = std::string(SVCPIPE_DNS_FILE_ENV) + "=" + dns_;
        std::vector<std::string> args = {"/usr/bin/env", "ip", "netns", "exec", name, program_,
                                         "-logfile", log_, "-run"};
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            setenv(SVCPIPE_PATH_ENV, socket_.c_str(), 1);
            setenv(SVCPIPE_DNS_FILE_ENV, dns_.c_str(), 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
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

    std::string program_, dir_, socket_, dns_, log_;
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

}  // namespace
