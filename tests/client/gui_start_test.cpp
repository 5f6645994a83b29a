// Program start, the parts every platform shares: the instance hand-over
// record and its receiver, the Windows version line, and the adapter's
// placeholder set-up through the route service.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "errorinfo.h"
#include "fake_route_service.h"
#include "gui.h"
#include "log_capture.h"
#include "net_tap.h"
#include "pipe_client.h"
#include "route_service.h"

namespace fs = std::filesystem;

namespace {

TEST(InstanceArguments, RecordIsLittleEndianUtf16AndZeroFilled)
{
    InstanceArguments args;
    memset(&args, 0xEE, sizeof args);
    ASSERT_EQ(GUI_FillInstanceArguments(&args, L"tunlex -server h\u00e9"), 1);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&args);
    EXPECT_EQ(sizeof args, 2052u);
    const uint8_t head[] = {0x78, 0x56, 0x34, 0x12, 't', 0, 'u', 0};
    EXPECT_EQ(memcmp(bytes, head, sizeof head), 0);
    EXPECT_EQ(bytes[4 + 2 * 16], 0xE9);  // the 17th character, low byte first
    EXPECT_EQ(bytes[4 + 2 * 16 + 1], 0x00);
    for (size_t i = 4 + 2 * 17; i < sizeof args; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;

    // 1023 characters fit with their NUL; 1024 do not, and nothing is left to send.
    std::wstring longest(1023, L'a');
    EXPECT_EQ(GUI_FillInstanceArguments(&args, longest.c_str()), 1);
    EXPECT_EQ(args.commandLine[1022], 'a');
    EXPECT_EQ(args.commandLine[1023], 0);
    std::wstring tooLong(1024, L'a');
    EXPECT_EQ(GUI_FillInstanceArguments(&args, tooLong.c_str()), 0);
    EXPECT_EQ(args.magic, 0u);
    EXPECT_EQ(args.commandLine[0], 0);
}

TEST(InstanceArguments, ReceiverAcceptsOnlyAWholeRecord)
{
    InstanceArguments good;
    ASSERT_EQ(GUI_FillInstanceArguments(&good, L"tunlex -server a"), 1);
    InstanceArguments badMagic = good;
    badMagic.magic = 0x12345679;
    InstanceArguments unterminated = good;
    for (uint16_t &c : unterminated.commandLine)
        c = 'x';

    std::vector<wchar_t> out(GUI_INSTANCE_CHARS);
    EXPECT_EQ(GUI_ReadInstanceArguments(0xC0FFEE, 2052, &good, out.data()), 1);
    EXPECT_EQ(std::wstring(out.data()), L"tunlex -server a");
    EXPECT_EQ(GUI_ReadInstanceArguments(0xC0FFEF, 2052, &good, out.data()), 0);
    EXPECT_EQ(GUI_ReadInstanceArguments(0xC0FFEE, 2051, &good, out.data()), 0);
    EXPECT_EQ(GUI_ReadInstanceArguments(0xC0FFEE, 2052, nullptr, out.data()), 0);
    EXPECT_EQ(GUI_ReadInstanceArguments(0xC0FFEE, 2052, &badMagic, out.data()), 0);
    EXPECT_EQ(GUI_ReadInstanceArguments(0xC0FFEE, 2052, &unterminated, out.data()), 0);
}

class Handover : public ::testing::Test {
protected:
    int Apply(std::vector<std::wstring> args, TUNLEX_Config *merged)
    {
        args.insert(args.begin(), L"vantorelle_tunlex");
        std::vector<wchar_t *> argv;
        for (std::wstring &a : args)
            argv.push_back(&a[0]);
        return GUI_ApplyHandover(static_cast<int>(argv.size()), argv.data(), merged);
    }
};

TEST_F(Handover, AServerIsShownAndOutputFilesAreSkipped)
{
    fs::path log = fs::temp_directory_path() / "tlx_handover_never_opened.log";
    fs::remove(log);
    TUNLEX_Config merged;
    LogCapture capture;
    ASSERT_EQ(Apply({L"-logfile", log.wstring(), L"-dump_ppp", log.wstring(), L"-server", L"gw",
                     L"-user", L"dave", L"-server_port", L"444"},
                    &merged),
              1);
    EXPECT_FALSE(fs::exists(log));
    EXPECT_STREQ(merged.server, "gw");
    EXPECT_STREQ(merged.user, "dave");
    EXPECT_EQ(merged.port, 444);
    EXPECT_EQ(capture.Text().rfind("Received New Configuration\r\n", 0), 0u) << capture.Text();
}

TEST_F(Handover, BadArgumentsOrNoServerShowNothing)
{
    TUNLEX_Config merged;
    LogCapture capture;
    EXPECT_EQ(Apply({L"-server", L"gw", L"-server_port", L"0"}, &merged), 0);
    EXPECT_EQ(Apply({L"-user", L"dave"}, &merged), 0);
    EXPECT_EQ(Apply({L"-?"}, &merged), 0);
    EXPECT_EQ(capture.Text(), "");
}

TEST(WindowsVersion, NamesByVersionAndProductType)
{
    const struct {
        uint32_t major, minor, type;
        const char *servicePack;
        const char *line;
    } cases[] = {
        {10, 0, 1, "", "Windows Version: 10.0 Workstation (Windows 10)\r\n"},
        {10, 0, 3, nullptr, "Windows Version: 10.0 Server (Windows Server 2016)\r\n"},
        {6, 3, 2, "", "Windows Version: 6.3 Domain Controller (Windows Server 2012 R2)\r\n"},
        {6, 1, 1, "Service Pack 1", "Windows Version: 6.1 Workstation (Windows 7 Service Pack 1)\r\n"},
        {6, 0, 3, "Service Pack 2", "Windows Version: 6.0 Server (Windows Server 2008 Service Pack 2)\r\n"},
        {5, 1, 7, "", "Windows Version: 5.1  (Windows XP)\r\n"},
        {6, 4, 1, "Service Pack 1", "Windows Version: 6.4 Workstation (N/A)\r\n"},
    };
    for (const auto &tc : cases) {
        char line[512];
        GUI_FormatWindowsVersion(line, sizeof line, tc.major, tc.minor, tc.type, tc.servicePack);
        EXPECT_STREQ(line, tc.line);
    }
}

TEST(ResetInterface, PlaceholderRequestsAndRefusalsNeverStopStartUp)
{
    FakeRouteService service([](const std::string &request) {
        return FakeSend(FakeCommandOf(request) + " FAILED");
    });
    ASSERT_TRUE(service.Ok());
    ROUTE_PipeHandle pipe = ROUTE_Service_OpenPipe();
    ASSERT_NE(pipe.handle, PIPECLIENT_NONE);

    auto owned = std::make_unique<NETTAP_Handle>();  // zeroed; only its record is read
    NETTAP_Handle &tap = *owned;
    tap.device = NETTAP_NO_DEVICE;
    tap.info.ifIndex = 7;
    snprintf(tap.info.description, sizeof tap.info.description, "TAP-Windows Adapter V9");
    snprintf(tap.info.adapterName, sizeof tap.info.adapterName, "{0000-TEST}");

    ErrorInfo chain = {};
    EXPECT_EQ(GUI_ResetInterface(&pipe, &tap, &chain), 1);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    std::vector<std::string> requests = service.Requests();
    ASSERT_EQ(requests.size(), 2u);
    char address[128], dns[128];
    snprintf(address, sizeof address, "SSL_SetIfaceAddr,{0000-TEST},0x7,0x%08x,0x%08x,0x%08x,1400",
             SVCPIPE_AddressWord(0x01010101u), SVCPIPE_AddressWord(0x00FFFFFFu),
             SVCPIPE_AddressWord(0xFFFFFFFFu));
    snprintf(dns, sizeof dns, "SSL_SetDNSIface,{0000-TEST},0x7,%s,0x00000000,0x00000000",
             SVCPIPE_DNS_CLEAR);
    EXPECT_EQ(requests[0], std::string(address, strlen(address) + 1));
    EXPECT_EQ(requests[1], std::string(dns, strlen(dns) + 1));
    ROUTE_Service_ClosePipe(&pipe);
}

}  // namespace
