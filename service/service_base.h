// The service framework: the status the service reports to the service
// control manager, the dispatch of control requests to virtual operations,
// the service entry, and the program's command line and modes.
//
// An operation signals failure by throwing its error code as a uint32_t; the
// framework catches that and any other thrown value. This is the only place
// in the service where exceptions are used.
#pragma once

#include <cstdint>

// Service states and controls (the service control manager's values).
enum {
    SVC_STOPPED = 1,
    SVC_START_PENDING = 2,
    SVC_STOP_PENDING = 3,
    SVC_RUNNING = 4,
    SVC_CONTINUE_PENDING = 5,
    SVC_PAUSE_PENDING = 6,
    SVC_PAUSED = 7
};
enum {
    SVC_CONTROL_STOP = 1,
    SVC_CONTROL_PAUSE = 2,
    SVC_CONTROL_CONTINUE = 3,
    SVC_CONTROL_INTERROGATE = 4,
    SVC_CONTROL_SHUTDOWN = 5
};
#define SVC_TYPE_OWN_PROCESS 0x10u
#define SVC_ACCEPT_STOP_SHUTDOWN 5u

// The layout of the system's service status record.
struct SvcStatus {
    uint32_t serviceType;
    uint32_t currentState;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceSpecificExitCode;
    uint32_t checkPoint;
    uint32_t waitHint;
};

class CServiceBase {
public:
    CServiceBase();
    virtual ~CServiceBase();

    virtual void OnServiceStart(uint32_t argc, char **argv);
    virtual void RunWorker();
    virtual void OnServiceStop();
    virtual void OnServicePause();
    virtual void OnServiceContinue();
    virtual void OnServiceShutdown();

    // The whole stop, to its end: STOP_PENDING with a wait hint and a check
    // point raised every tick while OnServiceStop runs, then STOPPED (or the
    // state before, after an error event).
    void DoStop();
    void DoPause();
    void DoContinue();
    void DoShutdown();
    void ReportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint = 0);
    // Reports only while the last report is still the expected state; false
    // when another report came first.
    bool ReportStatusFrom(uint32_t expected, uint32_t state, uint32_t exitCode);

    SvcStatus status;
    void *statusHandle;  // null until the control handler is registered

private:
    void ReportLocked(uint32_t state, uint32_t exitCode, uint32_t waitHint);
};

// The one service object; ServiceEntry and ControlHandler reach it here.
extern CServiceBase *SVC_Instance;

void ServiceEntry(uint32_t argc, char **argv);
void ControlHandler(uint32_t control);

// Where status reports go: the service control manager by default (null);
// a test puts its own recorder here. Returns the sink set before.
typedef void (*SVC_StatusSink)(void *statusHandle, const SvcStatus *status);
SVC_StatusSink SVC_SetStatusSink(SVC_StatusSink sink);

// The check-point counter (starts at 1).
void SVC_ResetCheckPoint();

// A stop control does not stop on the control handler's thread: the handler
// starts DoStop on a thread of its own and returns; controls that come while
// that stop runs are ignored. SVC_WaitForStop waits for a stop so started to
// end (at once when none is under way); the program calls it before the
// service object goes.
#define SVC_STOP_WAIT_HINT_MS 10000u
void SVC_WaitForStop();
// How often a stop in progress raises its check point (ms); returns the
// period set before. Tests shorten it.
uint32_t SVC_SetStopTick(uint32_t ms);

// Modes of the command line.
enum { SVC_MODE_ERROR = -1, SVC_MODE_USAGE = 0, SVC_MODE_RUN, SVC_MODE_DEBUG, SVC_MODE_INSTALL, SVC_MODE_REMOVE };

// Reads the arguments after the program name: each is "-" or "/" and an
// option word ("?", "help", "install", "run", "debug", "remove", "logfile"
// FILE; exact case); a later mode wins; "logfile" names the log file and
// checks it (LOG_SetFile): it is opened once the service holds its lock, or
// at once to install or remove. Errors are written to standard error (an
// unknown word also prints the usage) and give SVC_MODE_ERROR.
int SVC_ParseCommandLine(int argc, char **argv);

void PrintUsage();

// The program: parses the command line and runs the mode. Returns the exit
// code, 0 or -1. The log file is closed before it returns.
int SVC_Main(int argc, char **argv);

// Install, remove and the event source (the SCM and registry on Windows; on
// Linux the first two only say that there is nothing to do). Install and
// remove return 1 when done, 0 after a failure (the program then ends with
// -1).
int SERVICE_Install();
int SERVICE_Remove();
int SERVICE_RegisterEventSource();

