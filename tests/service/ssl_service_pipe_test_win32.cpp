// The pipe's own security on Windows: one instance that nobody else can add
// to or take over, and a service that does not serve when another program
// holds the name first.
#include "service_fakes.h"
#include "service_pipe.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <string>
#include <thread>

using namespace svcfake;
using Clock = std::chrono::steady_clock;

namespace {

class PipeSecurity : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reset();
        TakeEvents();
        EVENTLOG_SetSink(EventSink);
        char address[256];
        SPIPE_TestAddress(address, sizeof(address));
        name_ = std::string(address) + "_sec";
        SPIPE_SetAddress(name_.c_str());
        StartLog();
        svc = new CSSLService(Ops());
        SVC_Instance = svc;
    }
    void TearDown() override
    {
        if (started_ && !svc->HasStopped())
            svc->DoStop();
        SVC_Instance = nullptr;
        delete svc;
        SPIPE_SetAddress(nullptr);
        LOG_CloseFile();
        EVENTLOG_SetSink(nullptr);
    }
    void Start()
    {
        started_ = true;
        svc->OnServiceStart(0, nullptr);
    }
    SvcPipeClient *Connect()
    {
        SvcPipeClient *c = nullptr;
        auto until = Clock::now() + std::chrono::seconds(5);
        while (SPIPE_Connect(&c) != 0 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return c;
    }
    // A connection the service serves: a refused request is answered on it.
    // Under Wine the service's ConnectNamedPipe can answer ERROR_NO_DATA for
    // a client that has only just opened the instance; the service then makes
    // a new instance, and a client left on the old one is served by nobody.
    SvcPipeClient *ConnectServed()
    {
        auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            SvcPipeClient *c = Connect();
            if (!c)
                return nullptr;
            static const char probe[] = "ClientStatus,Probe";
            char buf[64];
            uint32_t len = 0;
            if (SPIPE_Send(c, probe, sizeof(probe)) == 0 && SPIPE_Receive(c, buf, sizeof(buf), &len, 2000) == 0)
                return c;
            SPIPE_Close(c);
        }
        return nullptr;
    }
    HANDLE Squat(DWORD instances, DWORD extraFlags)
    {
        return CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | extraFlags, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                instances, 4096, 4096, 0, nullptr);
    }
    CSSLService *svc = nullptr;
    std::string name_;
    bool started_ = false;
};

TEST_F(PipeSecurity, NoSecondInstanceWhileTheServiceRuns)
{
    Start();
    SvcPipeClient *c = ConnectServed();
    ASSERT_NE(nullptr, c);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        for (DWORD flags : {0ul, (DWORD)FILE_FLAG_FIRST_PIPE_INSTANCE}) {
            HANDLE h = Squat(PIPE_UNLIMITED_INSTANCES, flags);
            EXPECT_EQ(INVALID_HANDLE_VALUE, h) << flags;
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        }
        // Between clients too: the service keeps its one instance.
        SPIPE_Close(c);
        ASSERT_TRUE([&] {
            auto until = Clock::now() + std::chrono::seconds(5);
            while (calls().cleanUps.load() < round + 1 && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return calls().cleanUps.load() >= round + 1;
        }());
        c = ConnectServed();
        ASSERT_NE(nullptr, c);
    }
    // The client end sees one instance only.
    DWORD maxInstances = 0;
    HANDLE probe = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, probe) << "the one instance is taken by the client";
    if (probe != INVALID_HANDLE_VALUE)
        CloseHandle(probe);
    SPIPE_Close(c);
    (void)maxInstances;
}

// The service manager is told: stopped, with the service's own code, which
// its restart action counts as a failure (the install test reads those
// actions back from a real service manager).
TEST_F(PipeSecurity, ATakenNameIsNotServed)
{
    HANDLE squatter = Squat(PIPE_UNLIMITED_INSTANCES, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, squatter);
    SVC_SetStatusSink(StatusSink);
    statuses().clear();
    static int handle;
    svc->statusHandle = &handle;  // as under the service manager; the sink takes the reports
    Start();
    auto until = Clock::now() + std::chrono::seconds(5);
    while (!svc->HasStopped() && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(svc->HasStopped()) << "the worker ends instead of serving";
    std::string log = ReadLog();
    EXPECT_NE(std::string::npos, log.find("ERROR: Another program holds the pipe name")) << log;
    bool errorEvent = false, saysWhy = false;
    std::vector<Event> events = TakeEvents();
    for (const Event &e : events)
        errorEvent |= e.type == SVC_EVENT_ERROR && e.text.find("Unable to create named pipe.") != std::string::npos;
    EXPECT_TRUE(errorEvent);
    for (const Event &e : events)
        saysWhy |= e.type == SVC_EVENT_ERROR && e.text.find(name_) != std::string::npos &&
                   e.text.find("another program may hold the name") != std::string::npos;
    EXPECT_TRUE(saysWhy) << "the error event names the pipe and why";
    std::vector<SvcStatus> told = statuses();
    SVC_SetStatusSink(nullptr);
    svc->statusHandle = nullptr;
    ASSERT_FALSE(told.empty()) << "nothing told to the service manager";
    const SvcStatus &last = told.back();
    EXPECT_EQ((uint32_t)SERVICE_STOPPED, last.currentState);
    EXPECT_EQ((uint32_t)ERROR_SERVICE_SPECIFIC_ERROR, last.win32ExitCode);
    EXPECT_EQ((uint32_t)SVC_EXIT_PIPE_TAKEN, last.serviceSpecificExitCode);
    EXPECT_EQ(0u, last.checkPoint);
    for (const SvcStatus &st : told)
        EXPECT_NE((uint32_t)SERVICE_RUNNING, st.currentState) << "never running";
    CloseHandle(squatter);
}

TEST_F(PipeSecurity, TheDaclLetsInOnlyTheSystemAdministratorsAndInteractiveUsers)
{
    Start();
    SvcPipeClient *c = Connect();
    ASSERT_NE(nullptr, c);
    SPIPE_Close(c);
    // A client end of our own, to read the pipe's security with.
    HANDLE h = INVALID_HANDLE_VALUE;
    auto until = Clock::now() + std::chrono::seconds(5);
    while (h == INVALID_HANDLE_VALUE && Clock::now() < until) {
        h = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                   &dacl, nullptr, &sd));
    LPSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                      &text, nullptr));
    std::string sddl = text;
    LocalFree(text);
    LocalFree(sd);
    CloseHandle(h);
    EXPECT_NE(std::string::npos, sddl.find(";;;NU)")) << sddl;
    EXPECT_EQ(0u, sddl.find("D:P(D;")) << sddl;  // protected; the network deny first
    EXPECT_NE(std::string::npos, sddl.find(";;;SY)")) << sddl;
    EXPECT_NE(std::string::npos, sddl.find(";;;BA)")) << sddl;
    EXPECT_NE(std::string::npos, sddl.find(";;;IU)")) << sddl;
    EXPECT_EQ(std::string::npos, sddl.find(";;;AU)")) << sddl;
    EXPECT_EQ(std::string::npos, sddl.find(";;;WD)")) << sddl;
}

// The client's road to a pipe held by a silent caller: its open finds the
// one instance busy and waits for it (WaitNamedPipe, the client's 10 s);
// the service ends the silent connection at the hello deadline, so the wait
// ends and the client's ClientHello is answered.
TEST_F(PipeSecurity, ABusyPipeFreesWhenTheSilentCallerIsDropped)
{
    svc->helloDeadlineMs = 500;
    Start();
    SvcPipeClient *silent = Connect();
    ASSERT_NE(nullptr, silent);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    HANDLE h = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
    for (int tries = 0; h == INVALID_HANDLE_VALUE && tries < 3; tries++) {
        if (!WaitNamedPipeA(name_.c_str(), 10000))
            break;
        h = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    DWORD mode = PIPE_READMODE_MESSAGE, count = 0;
    ASSERT_TRUE(SetNamedPipeHandleState(h, &mode, nullptr, nullptr));
    const char hello[] = "ClientHello,{A},0x1";
    ASSERT_TRUE(WriteFile(h, hello, sizeof(hello), &count, nullptr));
    char reply[64] = "";
    ASSERT_TRUE(ReadFile(h, reply, sizeof(reply) - 1, &count, nullptr));
    EXPECT_EQ(std::string("ClientHello OK") + '\0', std::string(reply, count));
    CloseHandle(h);
    SPIPE_Close(silent);
    EXPECT_NE(std::string::npos, ReadLog().find("NOTICE: The client made no ClientHello within 500 ms"));
}

}  // namespace
