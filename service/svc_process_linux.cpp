#include "svc_process.h"
#include "service_log.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

uint32_t SVCPROC_RunHidden(const char *, const char *, uint32_t, uint32_t *exitCode)
{
    if (exitCode)
        *exitCode = SVCPROC_NO_EXIT_CODE;
    return ENOSYS;
}

uint32_t SVCPROC_SystemToolPath(const char *, char *, uint32_t)
{
    return 0;
}

void *SVCPROC_SystemLibrary(const char *)
{
    return nullptr;
}

int SVCPROC_CheckInstallFolder()
{
    return 1;
}

int SVCPROC_OtherFolderWriter(const void *, char *who, uint32_t size)
{
    if (size)
        who[0] = '\0';
    return 0;
}

int SVCPROC_OtherParentWriter(const void *descriptor, char *who, uint32_t size)
{
    return SVCPROC_OtherFolderWriter(descriptor, who, size);
}

static uint64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

uint32_t SVCPROC_RunArgv(const char *const *argv, uint32_t waitMs)
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return ENOMEM;
    // The tool's own words would mix into the service's log on stdout.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *const noEnvironment[] = {nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char *const *>(argv), noEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return (uint32_t)rc;
    int status = 0;
    uint64_t end = NowMs() + waitMs;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            uint32_t code = (uint32_t)errno;
            LOG_Print("Wait for object failed %lu, %lu (%s)\r\n", 0ul, (unsigned long)code, GetErrorText(code));
            return 0;
        }
        if (NowMs() >= end) {
            // No process is left behind: it would stay a zombie of the service.
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return 0;
        }
        usleep(5000);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        LOG_Print("Command returned %lu\r\n", (unsigned long)WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        LOG_Print("Command returned %lu\r\n", (unsigned long)(128 + WTERMSIG(status)));
    return 0;
}
