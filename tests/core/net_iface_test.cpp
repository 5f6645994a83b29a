// Interface lookup against the system's own adapter list (net_iface_test_linux.cpp
// checks it against what `ip` reports, inside a network namespace made for the test).
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "errorinfo.h"
#include "iface_checks.h"
#include "ip_address.h"
#include "log_capture.h"
#include "net_iface.h"
#include "parse.h"
#include "str.h"

namespace {

TEST(NetIface, LoopbackIsFoundByAddressAndByIndex)
{
    ErrorInfo chain = {};
    TUNLEX_InterfaceInfo byAddress;
    memset(&byAddress, 0xAB, sizeof byAddress);
    NETIFACE_Key key = {NETIFACE_BY_ADDRESS, Ip(127, 0, 0, 1)};
    ASSERT_EQ(NETIFACE_Lookup(&key, &byAddress, nullptr, &chain), 1)
        << (chain.message ? chain.message : "");
    EXPECT_EQ(byAddress.address, Ip(127, 0, 0, 1));
    EXPECT_EQ(byAddress.mask, Ip(255, 0, 0, 0));
    EXPECT_NE(byAddress.ifIndex, 0u);
    EXPECT_STRNE(byAddress.friendlyName, "");
    ExpectTerminated(byAddress);

    TUNLEX_InterfaceInfo byIndex;
    uint32_t oper = 0;
    key = {NETIFACE_BY_INDEX, byAddress.ifIndex};
    ASSERT_EQ(NETIFACE_Lookup(&key, &byIndex, &oper, &chain), 1);
    EXPECT_STREQ(byIndex.friendlyName, byAddress.friendlyName);
    EXPECT_STREQ(byIndex.adapterName, byAddress.adapterName);
    EXPECT_EQ(byIndex.mtu, byAddress.mtu);
    EXPECT_GE(oper, 1u);
    EXPECT_LE(oper, 7u);

    // Only the status wanted: found, and the same status.
    uint32_t operOnly = 0;
    EXPECT_EQ(NETIFACE_Lookup(&key, nullptr, &operOnly, &chain), 1);
    EXPECT_EQ(operOnly, oper);
    EXPECT_EQ(NETIFACE_Lookup(&key, nullptr, nullptr, nullptr), 1);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
}

TEST(NetIface, KeysThatMatchNothing)
{
    struct Row {
        const char *name;
        NETIFACE_Key key;
    };
    const Row rows[] = {
        {"kind 1", {1, Ip(127, 0, 0, 1)}},
        {"kind 4", {4, 1}},
        {"address nobody has", {NETIFACE_BY_ADDRESS, Ip(192, 0, 2, 77)}},
        {"index nobody has", {NETIFACE_BY_INDEX, 0x7FFFFFF0u}},
        {"TAP adapter", {NETIFACE_BY_TAP, 0}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ErrorInfo chain = {};
        TUNLEX_InterfaceInfo info = {};
        uint32_t oper = 99;
        EXPECT_EQ(NETIFACE_Lookup(&row.key, &info, &oper, &chain), 0);
        EXPECT_EQ(oper, 99u);
        EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    }
}

TEST(NetIface, PrintWritesTheRecordAndItsStatus)
{
    TUNLEX_InterfaceInfo info = {};
    info.ifIndex = 12;
    STR_LCopy(info.friendlyName, "Local Area Connection 2", sizeof info.friendlyName);
    STR_LCopy(info.adapterName, "{4A5B-77}", sizeof info.adapterName);
    STR_LCopy(info.description, "TAP-Windows Adapter V9", sizeof info.description);
    info.mtu = 1400;
    info.address = Ip(10, 0, 0, 2);
    info.mask = Ip(255, 255, 255, 0);
    info.gateway = Ip(10, 0, 0, 1);
    info.dns1 = Ip(10, 0, 0, 53);
    const std::string record = "Local Area Connection 2: \n"
                               "  Index: 12  MTU: 1400\n"
                               "  IP: 10.0.0.2 (255.255.255.0)  GW: 10.0.0.1\n"
                               "  DNS1: 10.0.0.53  DNS2: 0.0.0.0\n"
                               "  GUID:         {4A5B-77}\n"
                               "  Description:  TAP-Windows Adapter V9\n";
    struct Row {
        const uint32_t *oper;
        const char *status;
    };
    const uint32_t down = 2, lowerDown = 7, bad = 8;
    const Row rows[] = {{nullptr, ""},
                        {&down, "  Status: Down\r\n"},
                        {&lowerDown, "  Status: Lower Layer Down\r\n"},
                        {&bad, "  Status: N/A\r\n"}};
    for (const Row &row : rows) {
        LogCapture log;
        NETIFACE_Print(&info, row.oper);
        EXPECT_EQ(log.Text(), record + row.status);
    }
}

}  // namespace
