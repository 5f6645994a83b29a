// The service's log file on Linux: nobody but the service (and the service
// group, where the system has one) may read it, however it was before.
#include "service_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ServiceLogLinux, TheLogFileIsReadableByTheServiceAlone)
{
    std::string path = "/tmp/tlx-logmode-" + std::to_string((long)getpid()) + ".log";
    group *g = getgrnam("vantorelle");
    const mode_t wanted = g ? 0640 : 0600;
    for (int before : {-1, 0644, 0666, 0600}) {
        SCOPED_TRACE(before);
        unlink(path.c_str());
        if (before >= 0) {
            int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(0, fchmod(fd, (mode_t)before));
            ASSERT_EQ(4, write(fd, "old\n", 4));
            close(fd);
        }
        ASSERT_TRUE(LOG_OpenFile(path.c_str()));
        LOG_Print("a line\r\n");
        LOG_CloseFile();
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(wanted, st.st_mode & 0777);
        if (g && geteuid() == 0) {
            EXPECT_EQ(g->gr_gid, st.st_gid);
        }
        EXPECT_EQ(8, st.st_size) << "the file starts anew";
    }
    unlink(path.c_str());
}

}  // namespace
