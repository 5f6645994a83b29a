// The undo file on Linux disk: its folder and the file itself must be the
// service's own before a byte of it is read, no link is followed on the
// way in or out, and one lock keeps a second service away.
#include "netcfg_fakes.h"
#include "svc_state.h"

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

}  // namespace
