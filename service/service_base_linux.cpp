// The framework on Linux: "run" is a foreground daemon that serves until it
// receives SIGTERM, SIGINT or SIGHUP; there is no service manager to
// register with, so install and remove do nothing.
#include "service_base.h"
#include "service_base_sys.h"
#include "service_log.h"

#include <atomic>
#include <csignal>
#include <ctime>
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
        // A worker that ended at its start ends the program too.
        const timespec tick = {0, 100 * 1000 * 1000};
        while (sigtimedwait(&stopSignals, nullptr, &tick) < 0 && !SVC_WorkerEnded()) {
        }
        ControlHandler(SVC_CONTROL_STOP);
        SVC_WaitForStop();  // with the signals still blocked: a second one waits too
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

namespace {

struct DebugStop {
    CServiceBase *service;
    sigset_t signals;
    std::atomic<bool> done{false};
};

// Waits for a stop signal while the worker runs; a signal stops the worker
// the way the service's stop does (which waits for its end step).
void *WaitForStop(void *arg)
{
    DebugStop *d = static_cast<DebugStop *>(arg);
    const timespec tick = {0, 100 * 1000 * 1000};
    while (!d->done.load()) {
        if (sigtimedwait(&d->signals, nullptr, &tick) > 0) {
            LOG_Print("Stop requested.\r\n");
            try {
                d->service->OnServiceStop();
            } catch (...) {
                LOG_Print("ERROR: the stop failed\r\n");
            }
            break;
        }
    }
    return nullptr;
}

}  // namespace

void SVCSYS_RunDebug(CServiceBase *service)
{
    DebugStop d;
    d.service = service;
    sigemptyset(&d.signals);
    sigaddset(&d.signals, SIGTERM);
    sigaddset(&d.signals, SIGINT);
    sigaddset(&d.signals, SIGHUP);
    // Blocked before any thread starts, so that no thread dies of them and
    // only the waiter below takes them.
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &d.signals, &old);
    pthread_t waiter;
    bool waiting = pthread_create(&waiter, nullptr, WaitForStop, &d) == 0;
    service->RunWorker();
    d.done = true;
    if (waiting)
        pthread_join(waiter, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
