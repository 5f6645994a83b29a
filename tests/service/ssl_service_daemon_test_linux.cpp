// The program itself on Linux: "-run" serves in the foreground until a stop
// signal, which ends it promptly even with a client connected.
#include "service_pipe.h"
#include "service_pipe_protocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <vector>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits for the child's end; its exit status, or -1000 after the time-out.
int WaitExit(pid_t pid, int ms)
{
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1000;
}

// The stop signal, and the mode: "-debug" (the way it is started by hand)
// stops as cleanly as "-run".
class Daemon : public ::testing::TestWithParam<std::tuple<int, const char *>> {};

TEST_P(Daemon, StopSignalEndsTheServiceWithAClientConnected)
{
    const char *bin = getenv("TLX_BINARY_DIR");
    if (!bin)
        GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
    std::string program = std::string(bin) + "/service/vantorelle_tunlex_service";
    if (access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << program << " is not built";
    char address[256];
    SPIPE_TestAddress(address, sizeof(address));
    std::string socketPath = std::string(address) + ".daemon";
    std::string logPath = socketPath + ".log";
    // Everything the child needs is made before the fork.
    std::string pipeVar = std::string(SVCPIPE_PATH_ENV) + "=" + socketPath;
    // A state file of its own, that no other test has written: the service
    // undoes at its start whatever it finds there.
    std::string stateVar = std::string("VANTORELLE_SERVICE_STATE=") + socketPath + ".state";
    unlink((socketPath + ".state").c_str());
    std::vector<char *> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "VANTORELLE_SERVICE_STATE=", 25) != 0)
            env.push_back(*e);
    env.push_back(pipeVar.data());
    env.push_back(stateVar.data());
    env.push_back(nullptr);
    std::string logOption = "-logfile", runOption = std::get<1>(GetParam());
    char *argv[] = {program.data(), logOption.data(), logPath.data(), runOption.data(), nullptr};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execve(argv[0], argv, env.data());
        _exit(127);
    }
    SPIPE_SetAddress(socketPath.c_str());
    SvcPipeClient *c = nullptr;
    auto until = Clock::now() + std::chrono::seconds(5);
    while (SPIPE_Connect(&c) != 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    SPIPE_SetAddress(nullptr);
    ASSERT_NE(nullptr, c);
    std::string hello = std::string("ClientStatus,Established") + '\0';
    ASSERT_EQ(0u, SPIPE_Send(c, hello.data(), (uint32_t)hello.size()));
    char buf[64];
    uint32_t len = 0;
    ASSERT_EQ(0u, SPIPE_Receive(c, buf, sizeof(buf), &len, 5000));
    // Without a ClientHello on this connection the command is refused.
    EXPECT_EQ(std::string("ClientStatus FAILED,0x00000057") + '\0', std::string(buf, len));

    ASSERT_EQ(0, kill(pid, std::get<0>(GetParam())));
    EXPECT_EQ(0, WaitExit(pid, 3000));
    EXPECT_EQ(SPIPE_CLOSED, SPIPE_Receive(c, buf, sizeof(buf), &len, 1000));
    SPIPE_Close(c);
    struct stat st;
    EXPECT_NE(0, stat(socketPath.c_str(), &st)) << "the socket file is removed";
    std::string log = ReadFile(logPath);
    EXPECT_NE(std::string::npos, log.find("Service started.. \r\n"));
    EXPECT_NE(std::string::npos, log.find("ERROR: ClientStatus refused: no ClientHello on this connection yet\r\n"));
    EXPECT_NE(std::string::npos, log.find("  Client disconnected\r\n"));
    unlink(logPath.c_str());
}

INSTANTIATE_TEST_SUITE_P(Signals, Daemon,
                         ::testing::Combine(::testing::Values(SIGTERM, SIGINT), ::testing::Values("-run", "-debug")));

}  // namespace
