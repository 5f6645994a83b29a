// The console front end as a program: its start-up messages and clean errors,
// and whole runs inside a network namespace of the test's own with a tun link
// as the adapter, the test gateway, and a stand-in route service.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_route_service.h"
#include "host_tool.h"
#include "service_pipe_protocol.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "";
}

std::string Quote(const std::string &text)
{
    return "'" + text + "'";
}

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The lines appear in this order in text (others may lie between them).
::testing::AssertionResult InOrder(const std::string &text, const std::vector<std::string> &lines)
{
    size_t at = 0;
    for (const std::string &line : lines) {
        size_t found = text.find(line, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "missing or out of order: \"" << line
                                                 << "\"\n--- output ---\n" << text;
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

// One run of the client program, optionally inside a namespace, with its
// output (both streams) in a file and its standard input from a pipe.
class ClientRun {
public:
    ClientRun(const std::string &program, const std::string &netns,
              const std::vector<std::string> &args, const std::string &input,
              const fs::path &home, const fs::path &output, bool leakCheck = true)
        : output_(output)
    {
        int in[2];
        if (pipe(in) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            close(in[1]);
            int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            setenv("XDG_CONFIG_HOME", home.c_str(), 1);
            if (!leakCheck)
                setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            std::vector<std::string> all;
            if (!netns.empty())
                all = {"ip", "netns", "exec", netns};
            all.push_back(program);
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char *> argv;
            for (std::string &a : all)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        if (!input.empty() && write(in[1], input.data(), input.size()) < 0)
            perror("write");
        close(in[1]);
    }
    ~ClientRun()
    {
        if (pid_ > 0 && status_ == kRunning) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    static constexpr int kRunning = -1000;

    std::string Output() const { return ReadFile(output_); }
    bool WaitFor(const std::string &text, int ms)
    {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            if (Output().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Signal(int sig) { kill(pid_, sig); }
    // The exit code (0..255), or kRunning after the time-out.
    int Wait(int ms)
    {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (status_ == kRunning && Clock::now() < until) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }

private:
    fs::path output_;
    pid_t pid_ = -1;
    int status_ = kRunning;
};

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string bin = Env("TLX_BINARY_DIR");
        if (bin.empty())
            GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
        program_ = bin + "/vantorelle_tunlex";
        if (access(program_.c_str(), X_OK) != 0)
            GTEST_SKIP() << program_ << " is not built";
        scratch_ = fs::temp_directory_path() / ("tlx_frontend_" + std::to_string(getpid()));
        fs::create_directories(scratch_ / "home");
        // A namespace without any adapter, so that the host's links play no part.
        if (getuid() == 0 && !HostToolPath("ip").empty()) {
            netns_ = "tlxfe" + std::to_string(getpid());
            if (HostToolRun("ip netns add " + netns_ + " 2>&1 && ip -n " + netns_ + " link set lo up",
                            nullptr) != 0)
                netns_.clear();
        }
    }
    void TearDown() override
    {
        if (!netns_.empty())
            HostToolRun("ip netns del " + netns_ + " 2>/dev/null", nullptr);
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }
    fs::path Out(const char *name) const { return scratch_ / name; }

    std::string program_, netns_;
    fs::path scratch_;
};

const std::vector<std::string> kBanner = {
    "Unable to find default config: N/A\n",
    "Quorvanti Vantorelle SSL VPN\r\n",
    "Version: 2.02.01.01\r\n",
    "Build: 2020-03-31 10:38 (a3c192e)\r\n",
    "Default Config:\r\n",
};

TEST_F(FrontEnd, WithoutAdapterStartUpEndsWithAClearError)
{
    ClientRun run(program_, netns_, {"-server", "127.0.0.1", "-user", "frank"}, "",
                  scratch_ / "home", Out("noadapter.txt"));
    EXPECT_EQ(run.Wait(20000), 255);
    std::vector<std::string> expected = kBanner;
    expected.push_back("[ERROR 2]: The client takes a tun link that no other client holds (down)");
    expected.push_back("ip link set tlx0 alias \"TAP-Windows Adapter V9\"\n");
    expected.push_back("Client Error: Unable to find SSL VPN TUN/TAP interface\n");
    EXPECT_TRUE(InOrder(run.Output(), expected));
}

TEST_F(FrontEnd, CommandLineErrorsEndBeforeTheBanner)
{
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-server_port", "65536"}, "Client Error: Invalid portnumber\n"},
        {{"-user"}, "Client Error: Unexpected end of parameter list\n"},
        {{"--help"}, "Client Error: Usage: vantorelle_tunlex  [-logfile <file.txt>]"},
    };
    for (const auto &tc : cases) {
        ClientRun run(program_, "", tc.args, "", scratch_ / "home", Out("args.txt"));
        EXPECT_EQ(run.Wait(20000), 255) << tc.message;
        std::string out = run.Output();
        EXPECT_NE(out.find(tc.message), std::string::npos) << out;
        EXPECT_EQ(out.find("Quorvanti Vantorelle SSL VPN"), std::string::npos) << out;
    }
}

// A whole run needs root for the namespace, the gateway and a certificate.
class FrontEndTunnel : public FrontEnd {
protected:
    void SetUp() override
    {
        FrontEnd::SetUp();
        if (IsSkipped())
            return;
        std::string bin = Env("TLX_BINARY_DIR"), src = Env("TLX_SOURCE_DIR");
        gateway_ = bin + "/tools/tlx_gateway";
        if (netns_.empty() || src.empty() || !fs::exists(gateway_) ||
            HostToolPath("openssl").empty())
            GTEST_SKIP() << "needs root, ip, openssl and the test gateway";
        cert_ = (scratch_ / "cert").string();
        ASSERT_EQ(HostToolRun("bash " + Quote(src + "/scripts/make-test-cert.sh") + " " +
                                  Quote(cert_) + " >/dev/null 2>&1",
                              nullptr),
                  0);
        // The resolver file the route service writes and the client reads:
        // without servers the adapter reports DNS 0, as the gateway hands out.
        resolver_ = scratch_ / "resolv.conf";
        std::ofstream(resolver_) << "# no servers\n";
        setenv(SVCPIPE_DNS_FILE_ENV, resolver_.c_str(), 1);
        // The adapter: a down tun link whose alias is a supported description.
        ASSERT_EQ(HostToolRun("ip -n " + netns_ + " tuntap add dev tlxfe0 mode tun && ip -n " +
                                  netns_ + " link set tlxfe0 alias 'TAP-Windows Adapter V9'",
                              nullptr),
                  0);
    }
    void TearDown() override
    {
        if (gatewayPipe_) {
            if (gatewayPid_ > 0)
                kill(gatewayPid_, SIGTERM);
            pclose(gatewayPipe_);
        }
        unsetenv(SVCPIPE_DNS_FILE_ENV);
        FrontEnd::TearDown();
    }
    // The client's arguments for a run against the gateway on port.
    static std::vector<std::string> TunnelArgs(uint16_t port)
    {
        return {"-server", "127.0.0.1", "-server_port", std::to_string(port), "-user", "user",
                "-no_gateway", "-multiple_instances"};
    }
    // The gateway inside the namespace; its port.
    uint16_t StartGateway(const std::string &args)
    {
        std::string command = "ip netns exec " + netns_ + " sh -c " +
                              Quote("echo PID $$; exec " + gateway_ + " --cert " + cert_ +
                                    "/cert.pem --key " + cert_ + "/key.pem --log " +
                                    (scratch_ / "gateway.log").string() + " --max-time 60 " + args);
        gatewayPipe_ = popen(command.c_str(), "r");
        char line[128];
        while (gatewayPipe_ && fgets(line, sizeof line, gatewayPipe_)) {
            if (!strncmp(line, "PID ", 4))
                gatewayPid_ = atoi(line + 4);
            if (!strncmp(line, "PORT ", 5))
                return static_cast<uint16_t>(atoi(line + 5));
        }
        return 0;
    }

    std::string gateway_, cert_;
    fs::path resolver_;
    FILE *gatewayPipe_ = nullptr;
    int gatewayPid_ = 0;
};

// Whole-tunnel runs keep the leak checker on: the core joins an ended
// connection thread, so OpenSSL's thread-local state is gone before exit.
constexpr bool kTunnelLeakCheck = true;

// No DNS servers and "-no_gateway": the adapter is complete once it has its
// address.
const char kGatewayNet[] = "--dns1 0.0.0.0 --dns2 0.0.0.0 ";

TEST_F(FrontEndTunnel, ConnectsThroughTheAdapterAndRestoresRoutesOnSigterm)
{
    FakeRouteService service;
    ASSERT_TRUE(service.Ok());
    uint16_t port = StartGateway(std::string(kGatewayNet) + "--auth pap");
    ASSERT_NE(port, 0);
    ClientRun run(program_, netns_, TunnelArgs(port), "secret\n",
                  scratch_ / "home", Out("tunnel.txt"), kTunnelLeakCheck);
    ASSERT_TRUE(run.WaitFor("State: Connected", 30000)) << run.Output();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(20000), 0) << run.Output();
    std::vector<std::string> expected = kBanner;
    expected.insert(expected.end(), {"Service: ClientHello OK", "Service: SSL_SetIfaceAddr",
                                     "ROUTE_Service_FixDefaultRoute", "Connecting to \"127.0.0.1\"",
                                     "State: Connected", "Connected: Assigned IP",
                                     "ROUTE_Service_RestoreRoutes"});
    EXPECT_TRUE(InOrder(run.Output(), expected));

    std::vector<std::string> commands;
    for (const std::string &r : service.Requests())
        commands.push_back(FakeCommandOf(r));
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "ClientHello");
    EXPECT_EQ(commands.back(), "ROUTE_RestoreRoutes");
    // The first connection stores its configuration as the default.
    EXPECT_TRUE(fs::exists(scratch_ / "home" / "Quorvanti" / "TUNLEX" / "default.tlxcf"));
}

// The real route service sets the address and writes the DNS servers the
// gateway hands out; the client's address wait sees them in the same file.
TEST_F(FrontEndTunnel, AddressWaitSeesTheDnsServersTheRouteServiceWrote)
{
    std::string service = Env("TLX_BINARY_DIR") + "/service/vantorelle_tunlex_service";
    if (access(service.c_str(), X_OK) != 0)
        GTEST_SKIP() << service << " is not built";
    std::string socket = (scratch_ / "service.sock").string();
    setenv(SVCPIPE_PATH_ENV, socket.c_str(), 1);
    ClientRun serviceRun(service, netns_, {"-run", "-logfile", Out("service.log").string()}, "",
                         scratch_ / "home", Out("service.txt"));
    for (int i = 0; i < 100 && !fs::exists(socket); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(socket)) << serviceRun.Output();
    uint16_t port = StartGateway("--dns1 10.99.0.53 --dns2 10.99.0.54 --auth pap");
    ASSERT_NE(port, 0);
    ClientRun run(program_, netns_, TunnelArgs(port), "secret\n",
                  scratch_ / "home", Out("dns.txt"), kTunnelLeakCheck);
    EXPECT_TRUE(run.WaitFor("State: Connected", 30000)) << run.Output();
    std::string resolver = ReadFile(resolver_);
    EXPECT_NE(resolver.find("nameserver 10.99.0.53\nnameserver 10.99.0.54\n"), std::string::npos)
        << resolver;
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(20000), 0) << run.Output();
    serviceRun.Signal(SIGTERM);
    EXPECT_EQ(serviceRun.Wait(10000), 0) << serviceRun.Output();
    unsetenv(SVCPIPE_PATH_ENV);
}

TEST_F(FrontEndTunnel, OneTimePasswordFromTheNextInputLineReconnects)
{
    FakeRouteService service;
    ASSERT_TRUE(service.Ok());
    uint16_t port =
        StartGateway(std::string(kGatewayNet) + "--auth pap --otp 246810 --connections 2");
    ASSERT_NE(port, 0);
    ClientRun run(program_, netns_, TunnelArgs(port), "secret\n246810\n",
                  scratch_ / "home", Out("otp.txt"), kTunnelLeakCheck);
    ASSERT_TRUE(run.WaitFor("State: Connected", 30000)) << run.Output();
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(20000), 0) << run.Output();
    EXPECT_TRUE(InOrder(run.Output(), {"State: OTP Prompted", "Enter your one-time password: ",
                                       "State: Connected"}));
}

// A UTF-8 line beyond ASCII: MS-CHAPv2 hashes its characters, as the gateway
// does, also when they take more bytes than the 63 PAP sends; PAP sends the
// bytes.
TEST_F(FrontEndTunnel, NonAsciiPasswordFromInputConnects)
{
    FakeRouteService service;
    ASSERT_TRUE(service.Ok());
    const std::string shortText = u8"\u043f\u0430\u0440\u043e\u043b\u044c\U0001F600";
    std::string longText;
    for (int i = 0; i < 40; ++i)
        longText += u8"\u0436";
    struct Case {
        const char *auth;
        std::string password;
    } cases[] = {{"mschapv2", shortText}, {"pap", shortText}, {"mschapv2", longText}};
    int serial = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.auth) + " " + c.password);
        uint16_t port = StartGateway(std::string(kGatewayNet) + "--once --auth " + c.auth +
                                     " --password " + c.password);
        ASSERT_NE(port, 0);
        ClientRun run(program_, netns_, TunnelArgs(port), c.password + "\n", scratch_ / "home",
                      Out(("utf8-" + std::to_string(++serial) + ".txt").c_str()), kTunnelLeakCheck);
        ASSERT_TRUE(run.WaitFor("State: Connected", 30000)) << run.Output();
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(20000), 0) << run.Output();
        kill(gatewayPid_, SIGTERM);
        pclose(gatewayPipe_);
        gatewayPipe_ = nullptr;
    }
}

TEST_F(FrontEndTunnel, RefusedPasswordEndsWithAnErrorCode)
{
    FakeRouteService service;
    ASSERT_TRUE(service.Ok());
    uint16_t port = StartGateway(std::string(kGatewayNet) + "--auth pap --reject-auth");
    ASSERT_NE(port, 0);
    ClientRun run(program_, netns_, TunnelArgs(port), "wrong\n",
                  scratch_ / "home", Out("refused.txt"), kTunnelLeakCheck);
    EXPECT_EQ(run.Wait(30000), 1) << run.Output();
    EXPECT_TRUE(InOrder(run.Output(), {"Verify that the right username and password is used",
                                       "ROUTE_Service_RestoreRoutes"}));
}

}  // namespace
