// The check against servers of other processes: one of root, one of an
// unprivileged user who took the service's socket path.
#include "pipe_peer_check.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "errorinfo.h"
#include "pipe_client.h"
#include "route_service.h"
#include "service_pipe_protocol.h"

namespace {

class OtherServer : public ::testing::TestWithParam<uid_t> {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to serve as another user";
        dir_ = "/tmp/tlx-peer-" + std::to_string((long)getpid());
        mkdir(dir_.c_str(), 0777);
        chmod(dir_.c_str(), 0777);
        path_ = dir_ + "/pipe.sock";
        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            if (setgid(GetParam()) != 0 || setuid(GetParam()) != 0)
                _exit(2);
            int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
            umask(0);
            if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 4) != 0)
                _exit(3);
            if (write(ready[1], "x", 1) != 1)
                _exit(4);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(1, read(ready[0], &c, 1));
        close(ready[0]);
        setenv(SVCPIPE_PATH_ENV, path_.c_str(), 1);
    }
    void TearDown() override
    {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        unsetenv(SVCPIPE_PATH_ENV);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_, path_;
    pid_t child_ = -1;
};

TEST_P(OtherServer, OnlyRootIsTalkedTo)
{
    intptr_t handle = PIPECLIENT_NONE;
    uint32_t code = 0;
    PIPECLIENT_OpenResult r = PIPECLIENT_Open(1000, &handle, &code);
    if (GetParam() == 0) {
        EXPECT_EQ(PIPECLIENT_OPENED, r) << code;
    } else {
        EXPECT_EQ(PIPECLIENT_UNTRUSTED, r);
        EXPECT_EQ(static_cast<uint32_t>(EACCES), code);
        EXPECT_EQ(PIPECLIENT_NONE, handle);
    }
    PIPECLIENT_Close(handle);
}

INSTANTIATE_TEST_SUITE_P(Users, OtherServer, ::testing::Values(0u, 65534u));

}  // namespace

namespace {

// A user the service's socket does not admit learns, behind the start-up's
// own text and what the open found, who may use the service and how to
// become one of them.
TEST(RefusedUser, IsToldWhoMayUseTheService)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    std::string dir = "/tmp/tlx-refused-" + std::to_string((long)getpid());
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 0777);
    std::string path = dir + "/pipe.sock";
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(0, bind(fd, (sockaddr *)&addr, sizeof addr));
    ASSERT_EQ(0, chmod(path.c_str(), 0600));
    ASSERT_EQ(0, listen(fd, 4));
    setenv(SVCPIPE_PATH_ENV, path.c_str(), 1);

    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(out[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        ErrorInfo chain = {};
        ROUTE_Service_ClientHello(&chain, nullptr);
        for (const ErrorInfo *e = &chain; e && e->message; e = e->next) {
            std::string line = std::string(e->message) + "\n";
            if (write(out[1], line.data(), line.size()) != (ssize_t)line.size())
                _exit(3);
        }
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, (size_t)n);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unsetenv(SVCPIPE_PATH_ENV);
    close(fd);
    unlink(path.c_str());
    rmdir(dir.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string expected = "Unable to setup service communication\n"
                                 "The route service refused the connection to its pipe " +
                                 path + " (error 13)\n" + PIPECLIENT_WhoMayUse() + "\n";
    EXPECT_EQ(expected, text);
    EXPECT_NE(text.find("usermod -aG vantorelle NAME"), std::string::npos);
}

}  // namespace
