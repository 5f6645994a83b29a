#include "service_base.h"
#include "service_base_sys.h"
#include "service_log.h"
#include "ssl_service.h"

#include <cstdio>
#include <cstring>

CServiceBase *SVC_Instance;

static uint32_t s_checkPoint = 1;
static SVC_StatusSink s_statusSink;

CServiceBase::CServiceBase() : statusHandle(nullptr)
{
    status.serviceType = SVC_TYPE_OWN_PROCESS;
    status.currentState = SVC_START_PENDING;
    status.controlsAccepted = SVC_ACCEPT_STOP_SHUTDOWN;
    status.win32ExitCode = 0;
    status.serviceSpecificExitCode = 0;
    status.checkPoint = 0;
    status.waitHint = 0;
}

CServiceBase::~CServiceBase() {}
void CServiceBase::OnServiceStart(uint32_t, char **) {}
void CServiceBase::RunWorker() {}
void CServiceBase::OnServiceStop() {}
void CServiceBase::OnServicePause() {}
void CServiceBase::OnServiceContinue() {}
void CServiceBase::OnServiceShutdown() {}

SVC_StatusSink SVC_SetStatusSink(SVC_StatusSink sink)
{
    SVC_StatusSink old = s_statusSink;
    s_statusSink = sink;
    return old;
}

void SVC_ResetCheckPoint()
{
    s_checkPoint = 1;
}

void CServiceBase::ReportStatus(uint32_t state, uint32_t exitCode)
{
    status.currentState = state;
    status.win32ExitCode = exitCode;
    status.waitHint = 0;
    status.checkPoint = (state == SVC_RUNNING || state == SVC_STOPPED) ? 0 : s_checkPoint++;
    (s_statusSink ? s_statusSink : SVCSYS_SetStatus)(statusHandle, &status);
}

// One control operation: the pending report, the virtual operation, then the
// final report, or on failure an error event and the fallback report (none
// when fallback is 0).
struct ControlStep {
    uint32_t pending;  // 0: no first report
    void (CServiceBase::*op)();
    uint32_t done;
    const char *what;
    const char *failed;
};

static void RunControl(CServiceBase *svc, const ControlStep &step, uint32_t fallback)
{
    if (step.pending)
        svc->ReportStatus(step.pending, 0);
    try {
        (svc->*step.op)();
        svc->ReportStatus(step.done, 0);
    } catch (uint32_t code) {
        EVENTLOG_WriteError(code, step.what);
        if (fallback)
            svc->ReportStatus(fallback, 0);
    } catch (...) {
        EVENTLOG_Write(SVC_EVENT_ERROR, step.failed);
        if (fallback)
            svc->ReportStatus(fallback, 0);
    }
}

void CServiceBase::DoStop()
{
    uint32_t before = status.currentState;
    RunControl(this, {SVC_STOP_PENDING, &CServiceBase::OnServiceStop, SVC_STOPPED, "Service Stop",
                      "Service failed to stop."}, before);
}

void CServiceBase::DoPause()
{
    RunControl(this, {SVC_PAUSE_PENDING, &CServiceBase::OnServicePause, SVC_PAUSED, "Service Pause",
                      "Service failed to pause."}, SVC_RUNNING);
}

void CServiceBase::DoContinue()
{
    RunControl(this, {SVC_CONTINUE_PENDING, &CServiceBase::OnServiceContinue, SVC_RUNNING, "Service Continue",
                      "Service failed to resume."}, SVC_PAUSED);
}

void CServiceBase::DoShutdown()
{
    RunControl(this, {0, &CServiceBase::OnServiceShutdown, SVC_STOPPED, "Service Shutdown",
                      "Service failed to shut down."}, 0);
}

void ServiceEntry(uint32_t argc, char **argv)
{
    CServiceBase *svc = SVC_Instance;
    uint32_t error = 0;
    svc->statusHandle = SVCSYS_RegisterControlHandler(&error);
    if (!svc->statusHandle) {
        // Nothing can be reported without the handle: the dispatcher ends
        // the program when this entry returns.
        EVENTLOG_WriteError(error, "RegisterServiceCtrlHandler");
        return;
    }
    try {
        svc->ReportStatus(SVC_START_PENDING, 0);
        svc->OnServiceStart(argc, argv);
        svc->ReportStatus(SVC_RUNNING, 0);
    } catch (uint32_t code) {
        EVENTLOG_WriteError(code, "Service Start");
        svc->ReportStatus(SVC_STOPPED, code);
    } catch (...) {
        EVENTLOG_Write(SVC_EVENT_ERROR, "Service failed to start.");
        svc->ReportStatus(SVC_STOPPED, 0);
    }
}

void ControlHandler(uint32_t control)
{
    CServiceBase *svc = SVC_Instance;
    if (!svc)
        return;
    switch (control) {
    case SVC_CONTROL_STOP: svc->DoStop(); break;
    case SVC_CONTROL_PAUSE: svc->DoPause(); break;
    case SVC_CONTROL_CONTINUE: svc->DoContinue(); break;
    case SVC_CONTROL_SHUTDOWN: svc->DoShutdown(); break;
    default: break;  // interrogate and anything else: the last report stands
    }
}

void PrintUsage()
{
    printf("Parameters:\r\n");
    printf(" -logfile <file>\r\n");
    printf(" -run      to run the service (default)\r\n");
    printf(" -install  to install the service.\r\n");
    printf(" -remove   to remove the service.\r\n");
    printf(" -debug    to run the service in debug mode.\r\n");
}

int SVC_ParseCommandLine(int argc, char **argv)
{
    static const struct {
        const char *word;
        int mode;
    } modes[] = {
        {"?", SVC_MODE_USAGE},         {"help", SVC_MODE_USAGE},    {"install", SVC_MODE_INSTALL},
        {"run", SVC_MODE_RUN},         {"debug", SVC_MODE_DEBUG},   {"remove", SVC_MODE_REMOVE},
    };
    int mode = SVC_MODE_RUN;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-' && arg[0] != '/') {
            fprintf(stderr, "Invalid argument \"%s\"\r\n", arg);
            return SVC_MODE_ERROR;
        }
        const char *word = arg + 1;
        if (strcmp(word, "logfile") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "Missing file argument\r\n");
                return SVC_MODE_ERROR;
            }
            if (!LOG_OpenFile(argv[++i])) {
                fprintf(stderr, "Unable to open logfile \"%s\"\r\n", argv[i]);
                return SVC_MODE_ERROR;
            }
            continue;
        }
        int found = -2;
        for (const auto &m : modes)
            if (strcmp(word, m.word) == 0)
                found = m.mode;
        if (found == -2) {
            fprintf(stderr, "Unhandled argument \"%s\"\r\n", arg);
            PrintUsage();
            return SVC_MODE_ERROR;
        }
        if (found == SVC_MODE_USAGE)
            return SVC_MODE_USAGE;  // the remaining arguments are not read
        mode = found;
    }
    return mode;
}

bool SVC_WorkerEnded()
{
    CSSLService *svc = dynamic_cast<CSSLService *>(SVC_Instance);
    return svc && svc->HasStopped();
}

// Constructs the service object; null when it cannot be made.
static CSSLService *MakeService()
{
    try {
        return new CSSLService();
    } catch (uint32_t code) {
        fprintf(stderr, "Unable to create the service object w/err 0x%08lx\r\n", (unsigned long)code);
    } catch (...) {
        fprintf(stderr, "Unable to create the service object\r\n");
    }
    return nullptr;
}

static int RunMode(int mode)
{
    switch (mode) {
    case SVC_MODE_USAGE:
        PrintUsage();
        return 0;
    case SVC_MODE_INSTALL:
        return SERVICE_Install() ? 0 : -1;
    case SVC_MODE_REMOVE:
        return SERVICE_Remove() ? 0 : -1;
    case SVC_MODE_DEBUG: {
        CSSLService *svc = MakeService();
        if (!svc)
            return -1;
        SVC_Instance = svc;
        printf("Started debug mode.");
        fflush(stdout);
        SVCSYS_RunDebug(svc);
        int rc = svc->startError != 0 ? -1 : 0;
        SVC_Instance = nullptr;
        delete svc;
        return rc;
    }
    case SVC_MODE_RUN: {
        CSSLService *svc = MakeService();
        if (!svc)
            return -1;
        SVC_Instance = svc;
        uint32_t error = SVCSYS_RunDispatcher();
        if (error)
            fprintf(stderr, "Service failed to run w/err 0x%08lx\r\n", (unsigned long)error);
        if (!error && svc->startError != 0) {
            fprintf(stderr, "Service did not start: another copy of it is running\r\n");
            error = svc->startError;
        }
        // After a shutdown the service reports stopped without ending its
        // worker; the object stays for the worker while the process ends.
        if (svc->HasStopped() || error) {
            SVC_Instance = nullptr;
            delete svc;
        }
        return error ? -1 : 0;
    }
    default:
        return -1;
    }
}

int SVC_Main(int argc, char **argv)
{
    int mode = SVC_ParseCommandLine(argc, argv);
    int rc = mode == SVC_MODE_ERROR ? -1 : RunMode(mode);
    fflush(stdout);
    LOG_CloseFile();
    return rc;
}
