#include "service_base.h"
#include "service_base_sys.h"
#include "service_log.h"
#include "ssl_service.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

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

// One report at a time: the worker may report its own end while the entry
// reports the start.
static std::mutex s_reportLock;

void CServiceBase::ReportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint)
{
    std::lock_guard<std::mutex> hold(s_reportLock);
    ReportLocked(state, exitCode, waitHint);
}

bool CServiceBase::ReportStatusFrom(uint32_t expected, uint32_t state, uint32_t exitCode)
{
    std::lock_guard<std::mutex> hold(s_reportLock);
    if (status.currentState != expected)
        return false;
    ReportLocked(state, exitCode, 0);
    return true;
}

void CServiceBase::ReportLocked(uint32_t state, uint32_t exitCode, uint32_t waitHint)
{
    status.currentState = state;
    status.win32ExitCode = exitCode;
    status.waitHint = waitHint;
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

namespace {

// How one run of OnServiceStop ended: 0 done, 1 a Win32 code thrown, 2
// anything else thrown.
struct StopOutcome {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    int how = 0;
    uint32_t code = 0;
};

std::atomic<uint32_t> s_stopTickMs{2000};

void RunStopOperation(CServiceBase *svc, StopOutcome *out)
{
    int how = 0;
    uint32_t code = 0;
    try {
        svc->OnServiceStop();
    } catch (uint32_t thrown) {
        how = 1;
        code = thrown;
    } catch (...) {
        how = 2;
    }
    std::lock_guard<std::mutex> hold(out->lock);
    out->how = how;
    out->code = code;
    out->done = true;
    out->ended.notify_one();
}

}  // namespace

uint32_t SVC_SetStopTick(uint32_t ms)
{
    return s_stopTickMs.exchange(ms ? ms : 1);
}

// The worker's clean-up (netsh runs, route tool fallbacks) can take longer
// than the service manager waits for a pending state that shows no
// progress: the stop runs on a thread of its own while this one raises the
// check point.
void CServiceBase::DoStop()
{
    uint32_t before = status.currentState;
    ReportStatus(SVC_STOP_PENDING, 0, SVC_STOP_WAIT_HINT_MS);
    StopOutcome out;
    std::thread op;
    try {
        op = std::thread(RunStopOperation, this, &out);
    } catch (...) {
        RunStopOperation(this, &out);  // no thread to be had: stop here
    }
    {
        std::unique_lock<std::mutex> hold(out.lock);
        while (!out.ended.wait_for(hold, std::chrono::milliseconds(s_stopTickMs.load()),
                                   [&out] { return out.done; }))
            ReportStatus(SVC_STOP_PENDING, 0, SVC_STOP_WAIT_HINT_MS);
    }
    if (op.joinable())
        op.join();
    if (out.how == 0) {
        ReportStatus(SVC_STOPPED, 0);
        return;
    }
    if (out.how == 1)
        EVENTLOG_WriteError(out.code, "Service Stop");
    else
        EVENTLOG_Write(SVC_EVENT_ERROR, "Service failed to stop.");
    ReportStatus(before, 0);
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
        // A worker that has ended already (its pipe not made) has reported
        // stopped: running must not follow.
        svc->ReportStatusFrom(SVC_START_PENDING, SVC_RUNNING, 0);
    } catch (uint32_t code) {
        EVENTLOG_WriteError(code, "Service Start");
        svc->ReportStatus(SVC_STOPPED, code);
    } catch (...) {
        EVENTLOG_Write(SVC_EVENT_ERROR, "Service failed to start.");
        svc->ReportStatus(SVC_STOPPED, 0);
    }
}

namespace {

// The stop the control handler started. Only the handler's thread starts
// one; SVC_WaitForStop runs once no controls come any more (or in tests,
// between them). A record on the heap: a thread still running when the
// program ends must not meet a destructor.
enum { STOP_IDLE, STOP_RUNNING, STOP_OVER };
std::atomic<int> s_stopState{STOP_IDLE};
std::thread *s_stopThread;

void StopThread(CServiceBase *svc)
{
    svc->DoStop();
    s_stopState.store(STOP_OVER);
}

// Returns at once: the service manager's control handler must not wait
// for the worker.
void StartStop(CServiceBase *svc)
{
    if (s_stopState.load() == STOP_RUNNING)
        return;
    SVC_WaitForStop();  // an earlier stop that failed has ended: its thread goes
    s_stopState.store(STOP_RUNNING);
    try {
        s_stopThread = new std::thread(StopThread, svc);
    } catch (...) {
        StopThread(svc);  // no thread to be had: the stop runs here
    }
}

}  // namespace

void SVC_WaitForStop()
{
    if (s_stopThread) {
        s_stopThread->join();
        delete s_stopThread;
        s_stopThread = nullptr;
    }
    s_stopState.store(STOP_IDLE);
}

void ControlHandler(uint32_t control)
{
    CServiceBase *svc = SVC_Instance;
    if (!svc)
        return;
    // While a stop runs its reports stand; nothing else may report.
    if (s_stopState.load() == STOP_RUNNING)
        return;
    switch (control) {
    case SVC_CONTROL_STOP: StartStop(svc); break;
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
            char why[SVC_LOG_WHY_MAX];
            if (!LOG_SetFile(argv[++i], why, sizeof(why))) {
                fprintf(stderr, "Unable to open logfile \"%s\"\r\n", argv[i]);
                fprintf(stderr, "  %s\r\n", why);
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

// Installing and removing take no lock: their log file is opened at once.
static bool StartLogFile()
{
    char why[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX];
    if (LOG_StartFile(why, sizeof(why)))
        return true;
    fprintf(stderr, "Unable to open the log file %s\r\n", why);
    return false;
}

static int RunMode(int mode)
{
    switch (mode) {
    case SVC_MODE_USAGE:
        PrintUsage();
        return 0;
    case SVC_MODE_INSTALL:
        return StartLogFile() && SERVICE_Install() ? 0 : -1;
    case SVC_MODE_REMOVE:
        return StartLogFile() && SERVICE_Remove() ? 0 : -1;
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
        SVC_WaitForStop();  // the stop thread may still be on its way out
        if (!error && svc->startError != 0)
            error = svc->startError;  // the worker said why
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
