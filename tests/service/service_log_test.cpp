#include "service_fakes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace svcfake;

namespace {

TEST(ServiceLog, PrintGoesToStdoutAndIsFlushedToTheFileAtOnce)
{
    StartLog();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(11, LOG_Print("route %s\r\n", "add"));
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ("route add\r\n", out);
    EXPECT_EQ("route add\r\n", ReadLog());  // read while the file is still open

    // A text longer than the line buffer is cut, the result is the full length.
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(3000, LOG_Print("%s", std::string(3000, 'x').c_str()));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ("route add\r\n" + std::string(SVC_LOG_LINE_MAX - 1, 'x'), ReadLog());
    LOG_CloseFile();

    // Without a log file the text only reaches standard output.
    ::testing::internal::CaptureStdout();
    LOG_Print("alone\r\n");
    EXPECT_EQ("alone\r\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(std::string::npos, ReadLog().find("alone"));
}

TEST(ServiceLog, EventsReportIdCategoryAndEchoOnce)
{
    TakeEvents();
    StartLog();
    EVENTLOG_SetSink(EventSink);
    ::testing::internal::CaptureStdout();
    EVENTLOG_Write(SVC_EVENT_WARNING, "careful");
    EVENTLOG_Write(SVC_EVENT_INFO, "fine");
    EVENTLOG_WriteError(5, "Service Stop");
    std::string out = ::testing::internal::GetCapturedStdout();
    EVENTLOG_SetSink(nullptr);
    LOG_CloseFile();

    std::vector<Event> ev = TakeEvents();
    ASSERT_EQ(3u, ev.size());
    EXPECT_EQ(SVC_EVENT_ID_INFO, ev[0].id);
    EXPECT_EQ(SVC_EVENT_CATEGORY_INFO, ev[0].category);
    EXPECT_EQ(SVC_EVENT_ID_INFO, ev[1].id);
    EXPECT_EQ(SVC_EVENT_ID_ERROR, ev[2].id);
    EXPECT_EQ(SVC_EVENT_CATEGORY_ERROR, ev[2].category);
    EXPECT_EQ(SVC_EVENT_ERROR, ev[2].type);
    EXPECT_EQ("Service Stop failed w/err 0x00000005", ev[2].text);
    EXPECT_EQ(SVC_SERVICE_NAME, ev[2].source);
    EXPECT_EQ(" WARNING: careful\r\n    INFO: fine\r\n   ERROR: Service Stop failed w/err 0x00000005\r\n", out);
    EXPECT_EQ("", ReadLog());  // the echo is not part of the text log
}

TEST(ServiceLog, TypeNames)
{
    const struct {
        uint16_t type;
        const char *name;
    } names[] = {{0, "SUCCESS"}, {1, "ERROR"},          {2, "WARNING"},          {4, "INFO"},
                 {8, "AUDIT_SUCCESS"}, {16, "AUDIT_FAILURE"}, {3, "N/A"}, {32, "N/A"}};
    for (const auto &n : names)
        EXPECT_STREQ(n.name, EVENTLOG_TypeName(n.type)) << n.type;
}

TEST(ServiceLog, IpTextRingOfFiveSlots)
{
    const uint8_t bytes[4] = {10, 0, 0, 1};
    uint32_t addr;
    memcpy(&addr, bytes, 4);
    const char *first = SVC_IpToString(addr);
    EXPECT_STREQ("10.0.0.1", first);
    const char *slots[4];
    for (int i = 0; i < 4; i++) {
        slots[i] = SVC_IpToString(0xFFFFFFFFu);
        EXPECT_NE(first, slots[i]);
    }
    EXPECT_STREQ("10.0.0.1", first);  // untouched by the next four
    const char *sixth = SVC_IpToString(0);
    EXPECT_EQ(first, sixth);
    EXPECT_STREQ("0.0.0.0", first);
    EXPECT_STREQ("255.255.255.255", slots[0]);
}

TEST(ServiceLog, ErrorTextHasNoLineEnd)
{
    for (uint32_t code : {2u, 5u, 87u, 0x7FFF1234u}) {
        std::string text = GetErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(std::string::npos, text.find_first_of("\r\n")) << code;
    }
}

}  // namespace
