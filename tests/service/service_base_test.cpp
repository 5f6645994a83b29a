#include "service_fakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace svcfake;

namespace {

struct CommandLine {
    std::vector<std::string> args;
    int mode;
    const char *stderrText;
    bool usage;  // the usage is printed on standard output
};

const char USAGE[] = "Parameters:\r\n -logfile <file>\r\n -run      to run the service (default)\r\n"
                     " -install  to install the service.\r\n -remove   to remove the service.\r\n"
                     " -debug    to run the service in debug mode.\r\n";

int Parse(const std::vector<std::string> &args, std::string *err, std::string *out)
{
    std::vector<char *> argv;
    std::string prog = "vantorelle_tunlex_service";
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (std::string &a : copy)
        argv.push_back(a.data());
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    int mode = SVC_ParseCommandLine((int)argv.size(), argv.data());
    *out = ::testing::internal::GetCapturedStdout();
    *err = ::testing::internal::GetCapturedStderr();
    return mode;
}

TEST(ServiceCommandLine, Table)
{
    const std::string missingDir = LogPath() + ".missing/x.log";
    const CommandLine cases[] = {
        {{}, SVC_MODE_RUN, "", false},
        {{"-run"}, SVC_MODE_RUN, "", false},
        {{"-debug"}, SVC_MODE_DEBUG, "", false},
        {{"-install", "-remove"}, SVC_MODE_REMOVE, "", false},
        {{"/remove"}, SVC_MODE_REMOVE, "", false},
        {{"/install", "-run"}, SVC_MODE_RUN, "", false},
        {{"-?"}, SVC_MODE_USAGE, "", false},
        {{"-help", "-install"}, SVC_MODE_USAGE, "", false},
        {{"/help", "stray"}, SVC_MODE_USAGE, "", false},  // the rest is not read
        {{"install"}, SVC_MODE_ERROR, "Invalid argument \"install\"\r\n", false},
        {{"-debug", "x"}, SVC_MODE_ERROR, "Invalid argument \"x\"\r\n", false},
        {{"-DEBUG"}, SVC_MODE_ERROR, "Unhandled argument \"-DEBUG\"\r\n", true},
        {{"--help"}, SVC_MODE_ERROR, "Unhandled argument \"--help\"\r\n", true},
        {{"-"}, SVC_MODE_ERROR, "Unhandled argument \"-\"\r\n", true},
        {{"-logfile"}, SVC_MODE_ERROR, "Missing file argument\r\n", false},
        {{"-debug", "-logfile", missingDir}, SVC_MODE_ERROR,
         nullptr /* "Unable to open logfile" with the name */, false},
        {{"-logfile", LogPath(), "-install"}, SVC_MODE_INSTALL, "", false},
    };
    for (const CommandLine &c : cases) {
        std::string joined;
        for (const std::string &a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        std::string err, out;
        EXPECT_EQ(c.mode, Parse(c.args, &err, &out));
        if (c.stderrText) {
            EXPECT_EQ(c.stderrText, err);
        } else {
            // The reason on a line of its own.
            const std::string first = "Unable to open logfile \"" + missingDir + "\"\r\n  ";
            EXPECT_EQ(first, err.substr(0, first.size()));
            EXPECT_GT(err.size(), first.size() + 2);
            EXPECT_EQ("\r\n", err.substr(err.size() - 2));
        }
        EXPECT_EQ(c.usage ? USAGE : "", out);
    }
    // The last case named the log file. It stays as it was until the
    // service holds its lock; then it starts anew with what was printed
    // meanwhile.
    {
        std::ofstream old(LogPath(), std::ios::binary);
        old << "the running copy's line\r\n";
    }
    LOG_Print("before the lock\r\n");
    EXPECT_EQ("the running copy's line\r\n", ReadLog());
    char why[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX] = "";
    ASSERT_TRUE(LOG_StartFile(why, sizeof(why))) << why;
    LOG_Print("into the file\r\n");
    LOG_CloseFile();
    EXPECT_EQ("before the lock\r\ninto the file\r\n", ReadLog());
}

TEST(ServiceCommandLine, MainExitCodes)
{
    std::string prog = "vantorelle_tunlex_service", help = "-help", bad = "install";
    char *helpArgs[] = {prog.data(), help.data()};
    char *badArgs[] = {prog.data(), bad.data()};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(0, SVC_Main(2, helpArgs));
    EXPECT_EQ(USAGE, ::testing::internal::GetCapturedStdout());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, SVC_Main(2, badArgs));
    ::testing::internal::GetCapturedStderr();
}

// A service whose operations fail as told: 0 succeeds, 1 throws a code,
// 2 throws something else.
class ScriptedService : public CServiceBase {
public:
    int how = 0;
    void Act(uint32_t code)
    {
        if (how == 1)
            throw code;
        if (how == 2)
            throw "broken";
    }
    void OnServiceStart(uint32_t, char **) override { Act(1058); }
    void OnServiceStop() override { Act(5); }
    void OnServicePause() override { Act(6); }
    void OnServiceContinue() override { Act(7); }
    void OnServiceShutdown() override { Act(8); }
};

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        statuses().clear();
        TakeEvents();
        SVC_SetStatusSink(StatusSink);
        EVENTLOG_SetSink(EventSink);
        SVC_ResetCheckPoint();
    }
    void TearDown() override
    {
        SVC_WaitForStop();
        SVC_SetStopTick(oldTick_);
        SVC_SetStatusSink(nullptr);
        EVENTLOG_SetSink(nullptr);
        SVC_Instance = nullptr;
    }
    // The reported (state, check point) pairs, taken.
    std::vector<std::pair<uint32_t, uint32_t>> Reports()
    {
        std::vector<std::pair<uint32_t, uint32_t>> r;
        for (const SvcStatus &s : statuses()) {
            // Only a pending stop names how long to wait for its next report.
            EXPECT_EQ(s.currentState == SVC_STOP_PENDING ? SVC_STOP_WAIT_HINT_MS : 0u, s.waitHint);
            EXPECT_EQ(SVC_TYPE_OWN_PROCESS, s.serviceType);
            EXPECT_EQ(SVC_ACCEPT_STOP_SHUTDOWN, s.controlsAccepted);
            r.push_back({s.currentState, s.checkPoint});
        }
        statuses().clear();
        return r;
    }
    std::vector<std::string> EventTexts()
    {
        std::vector<std::string> t;
        for (const Event &e : TakeEvents())
            t.push_back(e.text);
        return t;
    }
    ScriptedService svc;
    uint32_t oldTick_ = SVC_SetStopTick(2000);
    using R = std::vector<std::pair<uint32_t, uint32_t>>;
    using T = std::vector<std::string>;
};

TEST_F(ServiceControl, StopReportsPendingThenStoppedOrTheStateBefore)
{
    svc.status.currentState = SVC_RUNNING;
    svc.how = 1;
    ControlHandler(SVC_CONTROL_STOP);  // no instance: must not be reached
    SVC_Instance = &svc;
    ControlHandler(SVC_CONTROL_STOP);
    SVC_WaitForStop();
    EXPECT_EQ((R{{SVC_STOP_PENDING, 1}, {SVC_RUNNING, 0}}), Reports());
    EXPECT_EQ((T{"Service Stop failed w/err 0x00000005"}), EventTexts());
    svc.how = 2;
    ControlHandler(SVC_CONTROL_STOP);  // a failed stop does not block the next one
    SVC_WaitForStop();
    EXPECT_EQ((R{{SVC_STOP_PENDING, 2}, {SVC_RUNNING, 0}}), Reports());
    EXPECT_EQ((T{"Service failed to stop."}), EventTexts());
    svc.how = 0;
    ControlHandler(SVC_CONTROL_STOP);
    SVC_WaitForStop();
    EXPECT_EQ((R{{SVC_STOP_PENDING, 3}, {SVC_STOPPED, 0}}), Reports());
    EXPECT_TRUE(EventTexts().empty());
}

// A stop whose worker takes its time: it runs until the test lets it go
// (or gives up after 10 s, so that a handler that waits for it fails
// instead of hanging), then succeeds or throws as told.
class SlowStopService : public CServiceBase {
public:
    std::atomic<bool> entered{false}, release{false};
    int how = 0;
    void OnServiceStop() override
    {
        entered = true;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!release && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (how == 1)
            throw (uint32_t)1053;
    }
};

TEST_F(ServiceControl, StopReturnsFromTheHandlerAndRaisesTheCheckPointUntilTheWorkerEnds)
{
    SVC_SetStopTick(20);
    for (int how : {0, 1}) {
        SCOPED_TRACE(how ? "failed stop" : "stop");
        SVC_ResetCheckPoint();
        SlowStopService slow;
        slow.how = how;
        slow.status.currentState = SVC_RUNNING;
        SVC_Instance = &slow;
        auto start = std::chrono::steady_clock::now();
        ControlHandler(SVC_CONTROL_STOP);
        // The handler is back while the worker still cleans up.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!slow.entered && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_TRUE(slow.entered.load());
        // Controls meanwhile change nothing: no second stop, no early STOPPED.
        ControlHandler(SVC_CONTROL_STOP);
        ControlHandler(SVC_CONTROL_SHUTDOWN);
        ControlHandler(SVC_CONTROL_INTERROGATE);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        slow.release = true;
        SVC_WaitForStop();
        R reports = Reports();
        ASSERT_GE(reports.size(), 4u);  // the first pending report, ticks, the end
        for (size_t i = 0; i + 1 < reports.size(); i++) {
            EXPECT_EQ((uint32_t)SVC_STOP_PENDING, reports[i].first) << i;
            EXPECT_EQ(i + 1, reports[i].second) << "check points rise by one from the first";
        }
        EXPECT_EQ((std::pair<uint32_t, uint32_t>{how ? SVC_RUNNING : SVC_STOPPED, 0}), reports.back());
        EXPECT_EQ(how ? T{"Service Stop failed w/err 0x0000041d"} : T{}, EventTexts());
        SVC_Instance = nullptr;
    }
}

TEST_F(ServiceControl, PauseContinueShutdownAndIgnoredControls)
{
    SVC_Instance = &svc;
    ControlHandler(SVC_CONTROL_PAUSE);
    ControlHandler(SVC_CONTROL_CONTINUE);
    ControlHandler(SVC_CONTROL_INTERROGATE);
    ControlHandler(99);
    // Every state but running and stopped takes the next check point.
    EXPECT_EQ((R{{SVC_PAUSE_PENDING, 1}, {SVC_PAUSED, 2}, {SVC_CONTINUE_PENDING, 3}, {SVC_RUNNING, 0}}), Reports());
    svc.how = 1;
    ControlHandler(SVC_CONTROL_PAUSE);
    ControlHandler(SVC_CONTROL_CONTINUE);
    ControlHandler(SVC_CONTROL_SHUTDOWN);  // a failed shutdown reports nothing
    EXPECT_EQ((R{{SVC_PAUSE_PENDING, 4}, {SVC_RUNNING, 0}, {SVC_CONTINUE_PENDING, 5}, {SVC_PAUSED, 6}}), Reports());
    EXPECT_EQ((T{"Service Pause failed w/err 0x00000006", "Service Continue failed w/err 0x00000007",
                 "Service Shutdown failed w/err 0x00000008"}),
              EventTexts());
    svc.how = 2;
    ControlHandler(SVC_CONTROL_SHUTDOWN);
    EXPECT_EQ((T{"Service failed to shut down."}), EventTexts());
    svc.how = 0;
    ControlHandler(SVC_CONTROL_SHUTDOWN);
    EXPECT_EQ((R{{SVC_STOPPED, 0}}), Reports());
}

TEST_F(ServiceControl, EntryReportsStartOrTheFailedStart)
{
    SVC_Instance = &svc;
    svc.how = 1;
    ServiceEntry(0, nullptr);
    if (!svc.statusHandle) {
        // No service control manager to register with (a test run on
        // Windows): nothing can be reported, the entry gives up quietly.
        EXPECT_TRUE(Reports().empty());
        EXPECT_EQ(1u, EventTexts().size());
        return;
    }
    EXPECT_EQ((R{{SVC_START_PENDING, 1}, {SVC_STOPPED, 0}}), Reports());
    EXPECT_EQ(1058u, svc.status.win32ExitCode);
    EXPECT_EQ((T{"Service Start failed w/err 0x00000422"}), EventTexts());
    svc.how = 2;
    ServiceEntry(0, nullptr);
    EXPECT_EQ((R{{SVC_START_PENDING, 2}, {SVC_STOPPED, 0}}), Reports());
    EXPECT_EQ(0u, svc.status.win32ExitCode);
    EXPECT_EQ((T{"Service failed to start."}), EventTexts());
    svc.how = 0;
    ServiceEntry(0, nullptr);
    EXPECT_EQ((R{{SVC_START_PENDING, 3}, {SVC_RUNNING, 0}}), Reports());
}

}  // namespace
