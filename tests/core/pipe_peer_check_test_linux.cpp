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

#include "pipe_client.h"
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
        EXPECT_EQ(PIPECLIENT_OPEN_FAILED, r);
        EXPECT_EQ(static_cast<uint32_t>(EACCES), code);
        EXPECT_EQ(PIPECLIENT_NONE, handle);
    }
    PIPECLIENT_Close(handle);
}

INSTANTIATE_TEST_SUITE_P(Users, OtherServer, ::testing::Values(0u, 65534u));

}  // namespace
