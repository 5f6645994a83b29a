#include "service_fakes.h"

#include <gtest/gtest.h>

#include <string>
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
        if (c.stderrText)
            EXPECT_EQ(c.stderrText, err);
        else
            EXPECT_EQ("Unable to open logfile \"" + missingDir + "\"\r\n", err);
        EXPECT_EQ(c.usage ? USAGE : "", out);
    }
    // The last case left the log file open: the log reaches it.
    LOG_Print("into the file\r\n");
    LOG_CloseFile();
    EXPECT_EQ("into the file\r\n", ReadLog());
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
        SVC_SetStatusSink(nullptr);
        EVENTLOG_SetSink(nullptr);
        SVC_Instance = nullptr;
    }
    // The reported (state, check point) pairs, taken.
    std::vector<std::pair<uint32_t, uint32_t>> Reports()
    {
        std::vector<std::pair<uint32_t, uint32_t>> r;
        for (const SvcStatus &s : statuses()) {
            EXPECT_EQ(0u, s.waitHint);
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
    EXPECT_EQ((R{{SVC_STOP_PENDING, 1}, {SVC_RUNNING, 0}}), Reports());
    EXPECT_EQ((T{"Service Stop failed w/err 0x00000005"}), EventTexts());
    svc.how = 2;
    ControlHandler(SVC_CONTROL_STOP);
    EXPECT_EQ((R{{SVC_STOP_PENDING, 2}, {SVC_RUNNING, 0}}), Reports());
    EXPECT_EQ((T{"Service failed to stop."}), EventTexts());
    svc.how = 0;
    ControlHandler(SVC_CONTROL_STOP);
    EXPECT_EQ((R{{SVC_STOP_PENDING, 3}, {SVC_STOPPED, 0}}), Reports());
    EXPECT_TRUE(EventTexts().empty());
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
