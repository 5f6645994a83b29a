// The route service's client against a stand-in service on the real pipe:
// the exact bytes of every request, how replies are judged, time-outs, a
// closed or busy service, and the route-table lookup over a fixture table.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "errorinfo.h"
#include "fake_route_service.h"
#include "ip_address.h"
#include "log_capture.h"
#include "net_tap.h"
#include "net_tap_device.h"
#include "pipe_client.h"
#include "route_service.h"
#include "route_table.h"
#include "str.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Msg(const char *text)
{
    return std::string(text) + std::string(1, '\0');
}

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A TUN/TAP handle with no device: index 12 and the given description.
struct Tap {
    explicit Tap(const char *description = "TAP-Windows Adapter V9", const char *guid = "{4A5B-77}")
    {
        TUNLEX_InterfaceInfo info = {};
        info.ifIndex = 12;
        STR_LCopy(info.adapterName, guid, sizeof info.adapterName);
        STR_LCopy(info.description, description, sizeof info.description);
        handle = NETTAP_NewHandle(&info);
    }
    ~Tap() { NETTAP_Free(handle, nullptr); }
    NETTAP_Handle *handle;
};

// A stand-in service and a pipe opened to it.
class RouteServiceTest : public ::testing::Test {
protected:
    void Open(FakeHandler handler = FakeOk)
    {
        service_.reset(new FakeRouteService(handler));
        ASSERT_TRUE(service_->Ok());
        pipe_ = ROUTE_Service_OpenPipe();
        ASSERT_NE(pipe_.handle, PIPECLIENT_NONE);
    }
    void TearDown() override
    {
        ROUTE_Service_ClosePipe(&pipe_);
        service_.reset();
        ROUTE_Service_SetReplyTimeout(0);
    }
    std::unique_ptr<FakeRouteService> service_;
    ROUTE_PipeHandle pipe_ = {PIPECLIENT_NONE};
};

TEST_F(RouteServiceTest, EveryCommandSendsItsExactRequest)
{
    FakeRouteService service;
    ASSERT_TRUE(service.Ok());
    Tap tap;
    ErrorInfo chain = {};
    ROUTE_PipeHandle *pipe = ROUTE_Service_ClientHello(&chain, tap.handle);
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    const TUNLEX_InterfaceInfo *info = NETTAP_GetInfo(tap.handle);
    const uint32_t net10 = Ip(10, 0, 0, 0), gw = Ip(10, 0, 0, 1);

    struct Row {
        std::function<int()> call;
        const char *request;
    };
    const Row rows[] = {
        {[&] { return ROUTE_Service_Init(pipe, info, 1, &chain); }, "ROUTE_Init,0xc,0x1"},
        {[&] {
             return ROUTE_Service_Add(pipe, info, net10, Ip(255, 0, 0, 0), Ip(192, 168, 1, 1), 2,
                                      &chain);
         },
         "ROUTE_Add,0xc,0x0000000a,0x000000ff,0x0101a8c0,2"},
        {[&] { return ROUTE_Service_CleanUp(pipe, &chain); }, "ROUTE_CleanUp"},
        {[&] { return ROUTE_Service_FixDefaultRoute(pipe, &chain); }, "ROUTE_FixDefaultRoute"},
        {[&] { return ROUTE_Service_FixRoute(pipe, net10, &chain); }, "ROUTE_FixRoute,0x0000000a"},
        {[&] { return ROUTE_Service_RestoreRoutes(pipe, &chain); }, "ROUTE_RestoreRoutes"},
        {[&] {
             return SSL_Service_TUNLEX_SetAddressIface(pipe, tap.handle, Ip(10, 0, 0, 2),
                                                       Ip(255, 255, 255, 0), gw, 1400, &chain);
         },
         "SSL_SetIfaceAddr,{4A5B-77},0xc,0x0200000a,0x00ffffff,0x0100000a,1400"},
        {[&] {
             return SSL_Service_TUNLEX_SetAddressIface(pipe, tap.handle, Ip(1, 1, 1, 1),
                                                       Ip(255, 255, 255, 0), 0xFFFFFFFFu, 1400,
                                                       &chain);
         },
         "SSL_SetIfaceAddr,{4A5B-77},0xc,0x01010101,0x00ffffff,0xffffffff,1400"},
        {[&] { return SSL_Service_TUNLEX_RemoveGateway(pipe, tap.handle, gw, &chain); },
         "SSL_RemoveGateway,{4A5B-77},0xc,0x0100000a"},
        {[&] {
             return SSL_Service_TUNLEX_SetDNSIface(pipe, tap.handle, 1, Ip(10, 0, 0, 53), 0,
                                                   &chain);
         },
         "SSL_SetDNSIface,{4A5B-77},0xc,true,0x3500000a,0x00000000"},
        {[&] {
             return SSL_Service_TUNLEX_SetDNSIface(pipe, tap.handle, 0, 0, Ip(172, 16, 0, 9),
                                                   &chain);
         },
         "SSL_SetDNSIface,{4A5B-77},0xc,false,0x00000000,0x090010ac"},
        {[&] { ROUTE_Service_ClientStatus(pipe, 1); return 1; }, "ClientStatus,Established"},
        {[&] { ROUTE_Service_ClientStatus(pipe, 0); return 1; }, "ClientStatus,Failed"},
    };
    LogCapture log;
    std::vector<std::string> expected = {Msg("ClientHello,{4A5B-77},0xc")};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.request);
        EXPECT_EQ(row.call(), 1);
        expected.push_back(Msg(row.request));
    }
    EXPECT_EQ(service.Requests(), expected);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    const std::string text = log.Text();
    EXPECT_EQ(text.find("failed"), std::string::npos) << text;
    for (const char *line : {"ROUTE_Service_CleanUp\n", "ROUTE_Service_FixDefaultRoute\n",
                             "ROUTE_Service_RestoreRoutes\n", "SSL_Service_TUNLEX_RemoveGateway\n",
                             "Service: ROUTE_Add OK\r\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    ROUTE_Service_ClosePipe(pipe);
}

TEST_F(RouteServiceTest, RepliesAreJudgedByTheirExactText)
{
    std::string reply;
    Open([&](const std::string &) { return FakeReply{FakeReply::SEND, reply, 0}; });
    ROUTE_Service_SetReplyTimeout(300);    // a reply in another command's name is waited past
    TUNLEX_InterfaceInfo info = {};
    info.ifIndex = 12;
    struct Row {
        std::string reply;
        int ok;
    };
    const Row rows[] = {
        {Msg("ROUTE_Add OK"), 1},
        {"ROUTE_Add OK", 1},                                   // no NUL: cut at the byte count
        {Msg("ROUTE_Add OK") + "trailing bytes", 1},           // cut at the first NUL
        {Msg("ROUTE_Add FAILED,0x00000057"), 0},
        {Msg("Unknown command"), 0},
        {Msg("ROUTE_Add OK "), 0},
        {Msg("ROUTE_Add ok"), 0},
        {Msg("ROUTE_Add OKAY"), 0},
        {Msg("ROUTE_Add"), 0},
        {Msg("ROUTE_Init OK"), 0},                              // another command's word
        {std::string(2040, 'x') + Msg("ROUTE_Add OK"), 0},     // no reply is that long
        {std::string(3000, 'x') + Msg("ROUTE_Add OK"), 0},
        {Msg("ROUTE_Add OK"), 1},                              // still in step afterwards
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.reply.substr(0, 40));
        reply = row.reply;
        LogCapture log;
        EXPECT_EQ(ROUTE_Service_Add(&pipe_, &info, 0, 0, 0, 2, nullptr), row.ok);
        const std::string text = log.Text();
        if (row.ok) {
            EXPECT_NE(text.find("Service: ROUTE_Add OK\r\n"), std::string::npos) << text;
        } else {
            EXPECT_NE(text.find("Service: ROUTE_Add FAILED\r\n"), std::string::npos) << text;
            EXPECT_NE(text.find("DEBUG: ROUTE_Service_Add() failed.\n"), std::string::npos) << text;
        }
    }
}

TEST_F(RouteServiceTest, RequestsThatCannotBeSentWholeAreNotSent)
{
    Open();
    ErrorInfo chain = {};
    // The buffer holds 2047 characters and the NUL.
    const std::string fits(2047 - strlen("ROUTE_Add,"), '1');
    const std::string tooLong(fits.size() + 1, '1');
    EXPECT_EQ(ROUTE_Service_Call(&pipe_, &chain, "ROUTE_Add", "%s", tooLong.c_str()), 0);
    EXPECT_EQ(ROUTE_Service_Call(&pipe_, &chain, std::string(2048, 'C').c_str(), nullptr), 0);
    EXPECT_EQ(ROUTE_Service_Call(&pipe_, &chain, "ROUTE_Add", "%s", fits.c_str()), 1);
    // An adapter name that would not stay one field.
    Tap comma("TAP-Windows Adapter V9", "{4A5B,77}"), empty("TAP-Windows Adapter V9", "");
    EXPECT_EQ(SSL_Service_TUNLEX_RemoveGateway(&pipe_, comma.handle, 0, &chain), 0);
    EXPECT_EQ(SSL_Service_TUNLEX_SetDNSIface(&pipe_, empty.handle, 1, 0, 0, &chain), 0);
    ASSERT_TRUE(service_->WaitRequests(1, 2000));
    EXPECT_EQ(service_->Requests(), std::vector<std::string>{Msg(("ROUTE_Add," + fits).c_str())});
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
}

TEST_F(RouteServiceTest, NothingIsSentWithoutAPipeOrASupportedAdapter)
{
    Open();
    Tap other("Intel(R) Ethernet Connection"), tap;
    ROUTE_PipeHandle none = {PIPECLIENT_NONE};
    LogCapture log;
    EXPECT_EQ(SSL_Service_TUNLEX_SetDNSIface(&pipe_, other.handle, 1, 0, 0, nullptr), 0);
    EXPECT_EQ(SSL_Service_TUNLEX_SetAddressIface(&pipe_, other.handle, 0, 0, 0, 1400, nullptr), 0);
    EXPECT_EQ(SSL_Service_TUNLEX_RemoveGateway(&pipe_, nullptr, 0, nullptr), 0);
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(ROUTE_Service_Call(nullptr, nullptr, "ROUTE_CleanUp", nullptr), 0);
    EXPECT_EQ(ROUTE_Service_Call(&none, nullptr, "ROUTE_CleanUp", nullptr), 0);
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(ROUTE_Service_FixRoute(&none, 0, nullptr), 0);
    EXPECT_EQ(log.Text(), "DEBUG: ROUTE_Service_FixRoute() failed.\n");
    // The supported adapter's request is the only one that arrives.
    EXPECT_EQ(SSL_Service_TUNLEX_SetDNSIface(&pipe_, tap.handle, 1, 0, 0, nullptr), 1);
    EXPECT_EQ(service_->Requests(),
              std::vector<std::string>{Msg("SSL_SetDNSIface,{4A5B-77},0xc,true,0x00000000,0x00000000")});
}

TEST_F(RouteServiceTest, AServiceThatNeverAnswersIsGivenUpAfterTheTimeOut)
{
    Open([](const std::string &request) {
        return FakeCommandOf(request) == "ROUTE_CleanUp" ? FakeReply{FakeReply::SWALLOW, "", 0}
                                                         : FakeOk(request);
    });
    ROUTE_Service_SetReplyTimeout(200);
    LogCapture log;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ROUTE_Service_CleanUp(&pipe_, nullptr), 0);
    EXPECT_GE(MsSince(start), 180);
    EXPECT_LT(MsSince(start), 3000);
    const std::string text = log.Text();
    EXPECT_NE(text.find("DEBUG: ReadFile from pipe failed w/error "), std::string::npos) << text;
    EXPECT_NE(text.find("Service: ROUTE_CleanUp FAILED\r\n"), std::string::npos) << text;
    ROUTE_Service_SetReplyTimeout(0);
    EXPECT_EQ(ROUTE_Service_FixDefaultRoute(&pipe_, nullptr), 1);
}

// A reply that comes after its exchange was given up never answers a later
// request, whether it is already waiting or still on its way.
TEST_F(RouteServiceTest, ALateReplyDoesNotAnswerTheNextRequest)
{
    for (int gapMs : {0, 500}) {
        SCOPED_TRACE(gapMs);
        Open([](const std::string &request) {
            return FakeCommandOf(request) == "ROUTE_FixRoute" ? FakeSend("ROUTE_FixRoute OK", 300)
                                                              : FakeOk(request);
        });
        ROUTE_Service_SetReplyTimeout(100);
        EXPECT_EQ(ROUTE_Service_FixRoute(&pipe_, 0, nullptr), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        ROUTE_Service_SetReplyTimeout(3000);
        EXPECT_EQ(ROUTE_Service_CleanUp(&pipe_, nullptr), 1);
        EXPECT_EQ(ROUTE_Service_RestoreRoutes(&pipe_, nullptr), 1);
        EXPECT_EQ(service_->Requests().size(), 3u);
        TearDown();
    }
}

// A reply to the same command that comes after its exchange was given up
// (time-out, abort flag, wait budget) is read away by the next exchange and
// never taken as its answer; an abort flag ends a wait within 100 ms.
TEST_F(RouteServiceTest, ALateReplyToTheSameCommandNeverAnswersTheNewerRequest)
{
    enum Cut { TIMEOUT, ABORT, BUDGET };
    for (Cut cut : {TIMEOUT, ABORT, BUDGET}) {
        SCOPED_TRACE(cut);
        std::atomic<int> served{0};
        // The first FixRoute is answered OK late; every later one is refused.
        Open([&](const std::string &request) {
            return served++ == 0 ? FakeSend(FakeCommandOf(request) + " OK", 400)
                                 : FakeSend(FakeCommandOf(request) + " FAILED,0x00000005");
        });
        std::atomic<uint32_t> abortFlag{0};
        std::thread setter;
        if (cut == TIMEOUT)
            ROUTE_Service_SetReplyTimeout(100);
        if (cut == BUDGET)
            ROUTE_Service_SetWaitBudget(100);
        if (cut == ABORT) {
            ROUTE_Service_WatchAbort(&abortFlag);
            setter = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                abortFlag = 1;
            });
        }
        Clock::time_point start = Clock::now();
        EXPECT_EQ(ROUTE_Service_FixRoute(&pipe_, 0, nullptr), 0);
        EXPECT_LT(MsSince(start), 250);
        if (setter.joinable())
            setter.join();
        ROUTE_Service_WatchAbort(nullptr);
        ROUTE_Service_SetWaitBudget(-1);
        ROUTE_Service_SetReplyTimeout(3000);
        EXPECT_EQ(pipe_.pendingCount, 1u);
        EXPECT_EQ(ROUTE_Service_FixRoute(&pipe_, 0, nullptr), 0);   // its own answer: FAILED
        EXPECT_EQ(pipe_.pendingCount, 0u);
        EXPECT_EQ(service_->Requests().size(), 2u);
        TearDown();
    }
}

// With the abort flag already set a request is still sent (the service
// hears of the clean-up) but its reply is not awaited.
TEST_F(RouteServiceTest, AfterAnAbortRequestsAreSentWithoutWaiting)
{
    Open([](const std::string &request) { return FakeSend(FakeCommandOf(request) + " OK", 1500); });
    std::atomic<uint32_t> abortFlag{1};
    ROUTE_Service_WatchAbort(&abortFlag);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ROUTE_Service_CleanUp(&pipe_, nullptr), 0);
    EXPECT_LT(MsSince(start), 100);
    ROUTE_Service_WatchAbort(nullptr);
    EXPECT_TRUE(service_->WaitRequests(1, 1000));
    EXPECT_EQ(ROUTE_Service_CleanUp(&pipe_, nullptr), 1);   // after the late reply, its own
    EXPECT_EQ(service_->Requests().size(), 2u);
}

// A reply nobody recorded as owed (a thread stopped inside its exchange)
// names another command: it is skipped, and every later exchange still gets
// its own reply, whether the orphan is already waiting, still on its way, or
// behind a late reply the record knows of.
TEST_F(RouteServiceTest, AnOrphanReplyDoesNotPutLaterExchangesOutOfStep)
{
    struct Row {
        const char *name;
        bool lateFirst;            // a FixRoute given up before, its reply still owed
        uint32_t orphanDelayMs;    // how long the orphan's reply takes
    };
    const Row rows[] = {
        {"waiting", false, 0},
        {"on its way", false, 300},
        {"behind a recorded late reply", true, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::atomic<int> fixRoutes{0};
        Open([&](const std::string &request) {
            const std::string command = FakeCommandOf(request);
            if (command == "ROUTE_Init")
                return FakeSend("ROUTE_Init OK", row.orphanDelayMs);
            if (command == "ROUTE_FixRoute")
                return fixRoutes++ == 0 && row.lateFirst ? FakeSend("ROUTE_FixRoute OK", 300)
                                                         : FakeSend("ROUTE_FixRoute FAILED,0x00000005");
            return FakeOk(request);
        });
        if (row.lateFirst) {
            ROUTE_Service_SetReplyTimeout(100);
            EXPECT_EQ(ROUTE_Service_FixRoute(&pipe_, 0, nullptr), 0);
            ASSERT_EQ(pipe_.pendingCount, 1u);
            ROUTE_Service_SetReplyTimeout(3000);
        }
        const std::string orphan = Msg("ROUTE_Init,0xc,0x1");
        uint32_t code = 0;
        ASSERT_EQ(PIPECLIENT_Write(pipe_.handle, orphan.data(), static_cast<uint32_t>(orphan.size()),
                                   1000, &code), 1);
        LogCapture log;
        EXPECT_EQ(ROUTE_Service_FixDefaultRoute(&pipe_, nullptr), 1);
        EXPECT_EQ(ROUTE_Service_FixRoute(&pipe_, 0, nullptr), 0);    // its own answer: FAILED
        EXPECT_EQ(ROUTE_Service_RestoreRoutes(&pipe_, nullptr), 1);
        EXPECT_EQ(ROUTE_Service_FixDefaultRoute(&pipe_, nullptr), 1);
        EXPECT_EQ(pipe_.pendingCount, 0u);
        const std::string text = log.Text();
        EXPECT_NE(text.find("DEBUG: Skipped a reply to another request: \"ROUTE_Init OK\".\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(service_->Requests().size(), row.lateFirst ? 6u : 5u);
        TearDown();
    }
}

// A disconnect's requests that are sent without waiting (abort flag, wait
// budget spent) say once that their reply is not awaited and report no
// failure; a refusal that does arrive in time is still a failure.
TEST_F(RouteServiceTest, RequestsNotAwaitedAreNoFailures)
{
    enum Cut { ABORT, BUDGET };
    for (Cut cut : {ABORT, BUDGET}) {
        SCOPED_TRACE(cut);
        Open([](const std::string &request) {
            return FakeCommandOf(request) == "ROUTE_FixRoute"
                       ? FakeSend("ROUTE_FixRoute FAILED,0x00000057")
                       : FakeSend(FakeCommandOf(request) + " OK", 400);
        });
        std::atomic<uint32_t> abortFlag{1};
        if (cut == ABORT)
            ROUTE_Service_WatchAbort(&abortFlag);
        else
            ROUTE_Service_SetWaitBudget(150);
        LogCapture log;
        testing::internal::CaptureStderr();
        ROUTE_Service_ClientStatus(&pipe_, 0);
        EXPECT_EQ(ROUTE_Service_CleanUp(&pipe_, nullptr), 0);
        // A detail of every stop: the log has it, the terminal does not.
        const std::string terminal = testing::internal::GetCapturedStderr();
        EXPECT_EQ(terminal.find("not awaited"), std::string::npos) << terminal;
        std::string text = log.Text();
        EXPECT_EQ(text.find("FAILED"), std::string::npos) << text;
        EXPECT_EQ(text.find("failed"), std::string::npos) << text;
        for (const char *command : {"ClientStatus", "ROUTE_CleanUp"}) {
            const std::string line = std::string("DEBUG: Reply to ") + command + " not awaited";
            size_t at = text.find(line);
            EXPECT_NE(at, std::string::npos) << text;
            EXPECT_EQ(text.find(line, at + 1), std::string::npos) << text;
        }
        if (cut == BUDGET) {
            // The late replies are read away first; the refusal counts.
            ROUTE_Service_SetWaitBudget(3000);
            LogCapture refused;
            EXPECT_EQ(ROUTE_Service_FixRoute(&pipe_, 0, nullptr), 0);
            text = refused.Text();
            EXPECT_NE(text.find("Service: ROUTE_FixRoute FAILED\r\n"), std::string::npos) << text;
            EXPECT_NE(text.find("DEBUG: ROUTE_Service_FixRoute() failed.\n"), std::string::npos) << text;
        }
        ROUTE_Service_WatchAbort(nullptr);
        ROUTE_Service_SetWaitBudget(-1);
        TearDown();
    }
}

TEST_F(RouteServiceTest, AClosedServiceFailsAtOnce)
{
    Open([](const std::string &) { return FakeReply{FakeReply::CLOSE, "", 0}; });
    LogCapture log;
    Clock::time_point start = Clock::now();
    ROUTE_Service_ClientStatus(&pipe_, 0);
    EXPECT_EQ(ROUTE_Service_RestoreRoutes(&pipe_, nullptr), 0);
    EXPECT_LT(MsSince(start), 2000);
    const std::string text = log.Text();
    EXPECT_NE(text.find("DEBUG: ROUTE_Connection. Failed   FAILED\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DEBUG: ROUTE_Service_RestoreRoutes() failed.\n"), std::string::npos) << text;
}

TEST_F(RouteServiceTest, ClientHelloReportsAMissingOrRefusingService)
{
    Tap tap;
    {
        FakeRouteService place;
        FakeSetPipeName(place.Name() + "_missing");
        ErrorInfo chain = {};
        LogCapture log;
        EXPECT_EQ(ROUTE_Service_ClientHello(&chain, tap.handle), nullptr);
        EXPECT_STREQ(chain.message, "Unable to setup service communication");
        const std::string text = log.Text();
        EXPECT_NE(text.find("DEBUG: Could not connect to named pipe. Error "), std::string::npos)
            << text;
        EXPECT_NE(text.find("ERROR: Unable to setup service communication\r\n"), std::string::npos)
            << text;
        ERRORINFO_Clear(&chain, nullptr, 0);
    }
    FakeRouteService refusing([](const std::string &request) {
        return FakeSend(FakeCommandOf(request) + " FAILED,0x00000000");
    });
    ErrorInfo chain = {};
    EXPECT_EQ(ROUTE_Service_ClientHello(&chain, tap.handle), nullptr);
    EXPECT_STREQ(chain.message, "Failed to communicate with service");
    ASSERT_TRUE(refusing.WaitRequests(1, 2000));
    ERRORINFO_Clear(&chain, nullptr, 0);
    // An earlier error stays the one reported.
    ERRORINFO_Set(&chain, ERRORINFO_AT("test"), "earlier");
    EXPECT_EQ(ROUTE_Service_ClientHello(&chain, tap.handle), nullptr);
    EXPECT_STREQ(chain.message, "earlier");
    ERRORINFO_Clear(&chain, nullptr, 0);
}

// Behind the start-up's own text the chain says what the client found: no
// service, a service busy with another caller, or one that refused or
// dropped the hello.
TEST_F(RouteServiceTest, ClientHelloSaysWhatItFound)
{
    Tap tap;
    enum Kind { MISSING, BUSY, REFUSING, CLOSING, SILENT };
    struct Row {
        Kind kind;
        const char *first, *found;
    } const rows[] = {
        {MISSING, "Unable to setup service communication", "The route service is not running"},
        {BUSY, "Unable to setup service communication",
         "The route service is busy with another caller"},
        {REFUSING, "Failed to communicate with service",
         "The route service refused the ClientHello: \"ClientHello FAILED,0x00000057\""},
        {CLOSING, "Failed to communicate with service",
         "The route service closed the pipe without answering the ClientHello"},
        {SILENT, "Failed to communicate with service",
         "The route service did not answer the ClientHello within"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.found);
        FakeRouteService service([&](const std::string &request) {
            if (row.kind == CLOSING)
                return FakeReply{FakeReply::CLOSE, "", 0};
            if (row.kind == SILENT)
                return FakeReply{FakeReply::SWALLOW, "", 0};
            return FakeSend(FakeCommandOf(request) + " FAILED,0x00000057");
        });
        ASSERT_TRUE(service.Ok());
        if (row.kind == MISSING)
            FakeSetPipeName(service.Name() + "_missing");
        if (row.kind == BUSY) {
            ASSERT_TRUE(service.MakeBusy());
        }
        ROUTE_Service_SetReplyTimeout(row.kind == SILENT ? 200 : 0);
        ErrorInfo chain = {};
        EXPECT_EQ(ROUTE_Service_ClientHello(&chain, tap.handle), nullptr);
        EXPECT_STREQ(chain.message, row.first);
        ASSERT_EQ(ERRORINFO_Count(&chain), 2u);
        EXPECT_EQ(std::string(chain.next->message).find(row.found), 0u) << chain.next->message;
        ERRORINFO_Clear(&chain, nullptr, 0);
        ROUTE_Service_SetReplyTimeout(0);
    }
}

TEST_F(RouteServiceTest, ABusyPipeIsWaitedForAndOpenedOnceFree)
{
    FakeRouteService service;
    ASSERT_TRUE(service.Ok());
    ASSERT_TRUE(service.MakeBusy());
    intptr_t handle = PIPECLIENT_NONE;
    uint32_t code = 0;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(PIPECLIENT_Open(300, &handle, &code), PIPECLIENT_BUSY_TIMEOUT);
    EXPECT_GE(MsSince(start), 250);
    EXPECT_EQ(handle, PIPECLIENT_NONE);

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        service.ReleaseBusy();
    });
    EXPECT_EQ(PIPECLIENT_Open(5000, &handle, &code), PIPECLIENT_OPENED);
    release.join();
    ROUTE_PipeHandle pipe = {handle};
    EXPECT_EQ(ROUTE_Service_RestoreRoutes(&pipe, nullptr), 1);
    ROUTE_Service_ClosePipe(&pipe);
}

// ------------------------------------------------------------ route table

std::vector<ROUTE_TableRow> g_rows;
ROUTE_TableResult g_result = ROUTE_TABLE_OK;

ROUTE_TableResult FixtureTable(ROUTE_TableRow **rows, uint32_t *count, uint32_t *code)
{
    *rows = nullptr;
    *count = 0;
    if (g_result == ROUTE_TABLE_FAILED)
        *code = 122;
    if (g_result != ROUTE_TABLE_OK)
        return g_result;
    *rows = static_cast<ROUTE_TableRow *>(malloc((g_rows.size() + 1) * sizeof(ROUTE_TableRow)));
    if (!g_rows.empty())
        memcpy(*rows, g_rows.data(), g_rows.size() * sizeof(ROUTE_TableRow));
    *count = static_cast<uint32_t>(g_rows.size());
    return ROUTE_TABLE_OK;
}

class RouteTableFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_result = ROUTE_TABLE_OK;
        // destination, mask, next hop, index, metric
        g_rows = {
            {0, 0, Ip(192, 168, 1, 1), 3, 25},
            {Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), Ip(192, 168, 1, 1), 3, 10},
            {Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), Ip(10, 8, 0, 1), 7, 2},
            {Ip(10, 1, 0, 0), Ip(255, 255, 0, 0), Ip(10, 8, 0, 1), 7, 2},
        };
        ROUTE_SetTableReader(FixtureTable);
    }
    void TearDown() override { ROUTE_SetTableReader(nullptr); }
};

TEST_F(RouteTableFixture, FindSystemRouteMatchesDestinationMaskAndTheGivenFilters)
{
    const uint32_t A = ROUTE_ANY;
    struct Row {
        uint32_t index, destination, mask, metric;
        int found;
    };
    const Row rows[] = {
        {A, Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), A, 1},
        {7, Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), A, 1},     // the second row matches
        {7, Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), 10, 0},    // metric 10 is on index 3
        {A, Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), 10, 1},
        {3, Ip(10, 0, 0, 0), Ip(255, 255, 0, 0), A, 0},   // mask differs
        {A, Ip(10, 1, 0, 0), Ip(255, 255, 0, 0), 2, 1},
        {3, Ip(10, 1, 0, 0), Ip(255, 255, 0, 0), A, 0},
        {A, 0, 0, A, 1},
        {7, 0, 0, A, 0},
        {A, Ip(10, 2, 0, 0), Ip(255, 255, 0, 0), A, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.index << " " << TUNLEX_IpToString(row.destination));
        ErrorInfo chain = {};
        LogCapture log;
        EXPECT_EQ(ROUTE_FindSystemRoute(row.index, row.destination, row.mask, row.metric, &chain),
                  row.found);
        std::string dotted = TUNLEX_IpToString(row.destination);
        EXPECT_EQ(log.Text(), (row.found ? "Found " : "Failed to find ") + dotted +
                                  " in the route table.\r\n");
        EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    }
}

TEST_F(RouteTableFixture, AnUnreadableTableFailsWithItsMessage)
{
    struct Row {
        ROUTE_TableResult result;
        const char *message;
    };
    const Row rows[] = {{ROUTE_TABLE_NO_MEMORY, "Unable to allocate routing table."},
                        {ROUTE_TABLE_FAILED, "Unable to execute GetIpForwardTable, error 122"}};
    for (const Row &row : rows) {
        g_result = row.result;
        ErrorInfo chain = {};
        EXPECT_EQ(ROUTE_FindSystemRoute(ROUTE_ANY, 0, 0, ROUTE_ANY, &chain), 0);
        EXPECT_STREQ(chain.message, row.message);
        // An earlier error is kept; no chain at all is fine too.
        EXPECT_EQ(ROUTE_FindSystemRoute(ROUTE_ANY, 0, 0, ROUTE_ANY, &chain), 0);
        EXPECT_EQ(ERRORINFO_Count(&chain), 1u);
        EXPECT_EQ(ROUTE_FindSystemRoute(ROUTE_ANY, 0, 0, ROUTE_ANY, nullptr), 0);
        ERRORINFO_Clear(&chain, nullptr, 0);
    }
}

TEST(RouteServiceProtocol, AddressWordsAreTheNetworkBytesReadLittleEndian)
{
    EXPECT_EQ(SVCPIPE_AddressWord(Ip(10, 0, 0, 0)), 0x0000000au);
    EXPECT_EQ(SVCPIPE_AddressWord(Ip(192, 168, 1, 1)), 0x0101a8c0u);
    EXPECT_EQ(SVCPIPE_AddressWord(Ip(255, 255, 255, 0)), 0x00ffffffu);
    EXPECT_EQ(SVCPIPE_AddressFromWord(0x0101a8c0u), Ip(192, 168, 1, 1));
    EXPECT_EQ(SVCPIPE_AddressFromWord(SVCPIPE_AddressWord(Ip(1, 2, 3, 4))), Ip(1, 2, 3, 4));
}

}  // namespace
