// The framework on Linux: "run" is a foreground daemon that serves until it
// receives SIGTERM, SIGINT or SIGHUP; there is no service manager to
// register with, so install and remove do nothing.
#include "service_base.h"
#include "service_base_sys.h"
#include "service_log.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>

static int s_statusHandle;  // stands for the handle the registration gives

void *SVCSYS_RegisterControlHandler(uint32_t *)
{
    return &s_statusHandle;
}

void SVCSYS_SetStatus(void *, const SvcStatus *) {}

uint32_t SVCSYS_RunDispatcher()
{
    // Blocked before the worker starts, so only sigwait below sees them.
    sigset_t stopSignals, old;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &old);
    ServiceEntry(0, nullptr);
    if (SVC_Instance->status.currentState == SVC_RUNNING) {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        ControlHandler(SVC_CONTROL_STOP);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return 0;
}

int SERVICE_Install()
{
    printf("%s: there is no service manager to install into on this system; "
           "start the program with -run to serve in the foreground.\r\n", SVC_SERVICE_NAME);
    return 1;  // nothing to do is no failure
}

int SERVICE_Remove()
{
    printf("%s: nothing is installed on this system; stop a running service with SIGTERM.\r\n",
           SVC_SERVICE_NAME);
    return 1;
}

int SERVICE_RegisterEventSource()
{
    return 1;  // syslog needs no registration
}
