// The service's log file on Linux: nobody but the service (and the service
// group, where the system has one) may read it, however it was before, and
// whatever somebody else put in its place is replaced, never written through.
#include "service_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Read(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int Shell(const std::string &command)
{
    return system(command.c_str());
}

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

// What may be in the log file's place when the service starts. A file that
// is not the service's own is made anew (its other names, its link's target
// and anybody's open copy keep what they had); a folder is refused.
TEST(ServiceLogLinux, WhatIsNotTheServicesOwnIsMadeAnew)
{
    const std::string dir = "/tmp/tlx-logplace-" + std::to_string((long)getpid());
    const std::string log = dir + "/service.log", other = dir + "/other";
    const struct {
        const char *name;
        std::string setUp;
        bool needsRoot;
        bool replaced;  // a new file; else the service's own, emptied
        const char *refused;  // the reason, when the file is refused
    } rows[] = {
        {"nothing there", "true", false, true, nullptr},
        {"the service's own", "echo old >" + log + " && chmod 0600 " + log, false, false, nullptr},
        {"another user's file", "echo old >" + log + " && chown 65534 " + log, true, true, nullptr},
        {"a file others may write", "echo old >" + log + " && chmod 0666 " + log, false, true, nullptr},
        {"a file the group may write", "echo old >" + log + " && chmod 0620 " + log, false, true, nullptr},
        {"a link to another file", "echo old >" + other + " && ln -s " + other + " " + log, false, true, nullptr},
        {"a dangling link", "ln -s " + other + " " + log, false, true, nullptr},
        {"a second name of another file", "echo old >" + other + " && chmod 0600 " + other + " && ln " + other +
                                              " " + log, false, true, nullptr},
        {"a pipe", "mkfifo -m 0600 " + log, false, true, nullptr},
        {"a folder", "mkdir " + log, false, false, "a folder is in its place"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsRoot && geteuid() != 0)
            continue;  // nobody else's file can be made without root
        ASSERT_EQ(0, Shell("rm -rf " + dir + " && mkdir -m 0755 " + dir + " && " + row.setUp));
        struct stat before = {};
        lstat(log.c_str(), &before);
        char why[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX] = "";
        if (row.refused) {
            EXPECT_FALSE(LOG_SetFile(log.c_str(), why, sizeof(why)));
            EXPECT_NE(std::string::npos, std::string(why).find(row.refused)) << why;
            continue;
        }
        ASSERT_TRUE(LOG_SetFile(log.c_str(), why, sizeof(why))) << why;
        LOG_Print("early\r\n");
        struct stat now = {};
        lstat(log.c_str(), &now);
        EXPECT_EQ(before.st_ino, now.st_ino) << "nothing changes before the start";
        ASSERT_TRUE(LOG_StartFile(why, sizeof(why))) << why;
        LOG_Print("a line\r\n");
        LOG_CloseFile();
        ASSERT_EQ(0, lstat(log.c_str(), &now));
        EXPECT_TRUE(S_ISREG(now.st_mode));
        EXPECT_EQ(geteuid(), now.st_uid);
        EXPECT_EQ(1u, now.st_nlink);
        EXPECT_EQ(0u, now.st_mode & 022);
        if (!row.replaced) {
            EXPECT_EQ(before.st_ino, now.st_ino);
        }
        std::string text = Read(log);
        EXPECT_EQ(0u, text.find("early\r\n")) << text;
        EXPECT_NE(std::string::npos, text.find("a line\r\n")) << text;
        EXPECT_EQ(std::string::npos, text.find("old")) << text;
        bool wasOther = row.replaced && before.st_ino != 0;
        EXPECT_EQ(wasOther, text.find("NOTICE: The log file \"" + log + "\" was not the service's own") !=
                                std::string::npos) << text;
        if (access(other.c_str(), F_OK) == 0) {
            EXPECT_EQ("old\n", Read(other));
        }
    }
    Shell("rm -rf " + dir);
}

// The running copy's log file, named by a second copy: untouched until the
// second copy starts it, and then too while the running copy writes it.
TEST(ServiceLogLinux, TheRunningCopysFileIsUntouched)
{
    const std::string log = "/tmp/tlx-lograce-" + std::to_string((long)getpid()) + ".log";
    {
        std::ofstream running(log, std::ios::binary);
        running << "the running copy's line\r\n";
    }
    chmod(log.c_str(), 0600);
    int running = open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(running, 0);
    char why[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX] = "";
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "named only");
        ASSERT_TRUE(LOG_SetFile(log.c_str(), why, sizeof(why))) << why;
        LOG_Print("ERROR: another copy runs\r\n");
        if (held) {
            ASSERT_EQ(0, flock(running, LOCK_EX | LOCK_NB));
            EXPECT_FALSE(LOG_StartFile(why, sizeof(why)));
            EXPECT_NE(std::string::npos, std::string(why).find("another copy of the service writes it")) << why;
        }
        LOG_Print("after\r\n");
        LOG_CloseFile();
        EXPECT_EQ("the running copy's line\r\n", Read(log));
    }
    close(running);
    unlink(log.c_str());
}

}  // namespace
