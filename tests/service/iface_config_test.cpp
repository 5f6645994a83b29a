#include "netcfg_fakes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace netfake;

namespace {

typedef std::vector<std::string> Lines;

Lines Commands()
{
    Lines c;
    c.swap(ifaces().commands);
    return c;
}

const char *GUID = "{4D36E972-E325-11CE-BFC1-08002BE10318}";

TEST(IfaceConfig, AddressChangeRunsTheAddressAndMtuCommands)
{
    Scope scope;
    struct Case {
        bool legacy;
        const char *gateway;
        const char *address;
    } cases[] = {
        {false, "10.0.0.1", "interface ip set address 18 static 10.0.0.2 255.255.255.0 gateway=10.0.0.1 gwmetric=2"},
        {false, "0.0.0.0", "interface ip set address 18 static 10.0.0.2 255.255.255.0"},
        {false, "255.255.255.255", "interface ip set address 18 static 10.0.0.2 255.255.255.0 gateway=none"},
        {true, "10.0.0.1",
         "interface ip set address \"{4D36E972-E325-11CE-BFC1-08002BE10318}\" static 10.0.0.2 255.255.255.0 "
         "gateway=10.0.0.1 gwmetric=2"},
    };
    for (const Case &c : cases) {
        ifaces().legacy = c.legacy;
        EXPECT_EQ(0u, IFACE_SetAddress(GUID, 18, Ip("10.0.0.2"), Ip("255.255.255.0"), Ip(c.gateway), 1400));
        std::string mtu = c.legacy ? "interface ipv4 set subinterface \"" + std::string(GUID) + "\" mtu=1400"
                                   : "interface ipv4 set subinterface 18 mtu=1400";
        EXPECT_EQ((Lines{c.address, mtu}), Commands()) << c.address;
    }
    // The last change, as the backend saw it.
    ASSERT_EQ(8u, ifaces().steps.size());
    const IfaceStep &address = ifaces().steps[6], &mtu = ifaces().steps[7];
    EXPECT_EQ(IFACE_STEP_SET_ADDRESS, address.kind);
    EXPECT_EQ(18u, address.index);
    EXPECT_EQ(Ip("10.0.0.2"), address.address);
    EXPECT_EQ(Ip("255.255.255.0"), address.mask);
    EXPECT_EQ(Ip("10.0.0.1"), address.gateway);
    EXPECT_EQ(IFACE_STEP_SET_MTU, mtu.kind);
    EXPECT_EQ(1400u, mtu.mtu);
}

TEST(IfaceConfig, DnsCommandsKeepEachServersOwnText)
{
    Scope scope;
    EXPECT_EQ(0u, IFACE_SetDns(GUID, 18, true, Ip("10.1.1.1"), Ip("10.2.2.2")));
    EXPECT_EQ((Lines{"interface ip delete dns 18 all", "interface ip set dns 18 static 10.1.1.1",
                     "interface ip add dns name=18 addr=10.2.2.2 index=2"}),
              Commands());

    EXPECT_EQ(0u, IFACE_SetDns(GUID, 18, false, 0, 0));
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(0u, IFACE_SetDns(GUID, 18, false, 0, Ip("10.2.2.2")));
    EXPECT_EQ(Lines{"interface ip add dns name=18 addr=10.2.2.2 index=2"}, Commands());
}

TEST(IfaceConfig, AStepThatCannotStartEndsTheSequenceWithItsCode)
{
    Scope scope;
    ifaces().failAt = 2;
    ifaces().failCode = 2;
    EXPECT_EQ(2u, IFACE_SetDns(GUID, 18, true, Ip("10.1.1.1"), Ip("10.2.2.2")));
    EXPECT_EQ(Lines{"interface ip delete dns 18 all"}, Commands());
    EXPECT_NE(std::string::npos,
              ReadLog().find("ERROR: Failed to execute \"netsh\" \"interface ip set dns 18 static 10.1.1.1\", error 2 ("));

    ifaces().failAt = 1;
    EXPECT_EQ(2u, IFACE_SetAddress(GUID, 18, Ip("10.0.0.2"), Ip("255.255.255.0"), 0, 1400));
    EXPECT_TRUE(Commands().empty());  // no MTU step after a failed address
}

TEST(IfaceConfig, DeleteAddressRemovesItWithAllGateways)
{
    Scope scope;
    EXPECT_EQ(0u, IFACE_DeleteAddress(GUID, 18, Ip("10.0.0.1")));
    EXPECT_EQ(Lines{"interface ip delete address 18 address=10.0.0.1 gateway=all"}, Commands());
}

TEST(IfaceConfig, UnusableArgumentsAreRefusedBeforeAnythingRuns)
{
    Scope scope;
    ifaces().legacy = true;
    const std::string tooLong(IFACE_NAME_MAX, 'a');
    const char *names[] = {"x\" static 6.6.6.6 255.0.0.0 \"", "tap\r\nnameserver 6.6.6.6", tooLong.c_str(), nullptr};
    for (const char *name : names) {
        EXPECT_EQ((uint32_t)INVALID, IFACE_SetAddress(name, 18, Ip("10.0.0.2"), Ip("255.255.255.0"), 0, 1400));
        EXPECT_EQ((uint32_t)INVALID, IFACE_DeleteAddress(name, 18, Ip("10.0.0.2")));
        EXPECT_EQ((uint32_t)INVALID, IFACE_SetDns(name, 18, true, Ip("10.1.1.1"), 0));
    }
    EXPECT_EQ((uint32_t)INVALID, IFACE_SetAddress(GUID, 18, Ip("10.0.0.2"), Ip("255.0.255.0"), 0, 1400));
    EXPECT_TRUE(Commands().empty());

    EXPECT_TRUE(IFACE_NameIsSafe(""));  // before any client said its name
    EXPECT_TRUE(IFACE_NameIsSafe(std::string(IFACE_NAME_MAX - 1, 'a').c_str()));
    EXPECT_TRUE(IFACE_MaskIsPrefix(0));
    EXPECT_TRUE(IFACE_MaskIsPrefix(Ip("255.255.255.255")));
    EXPECT_TRUE(IFACE_MaskIsPrefix(Ip("255.255.254.0")));
    EXPECT_FALSE(IFACE_MaskIsPrefix(Ip("0.255.255.255")));
}

TEST(IfaceConfig, ResetSetsThePlaceholderAndClearsDns)
{
    Scope scope;
    EXPECT_EQ(0u, IFACE_ResetAdapter("", 0));
    EXPECT_EQ((Lines{"interface ip set address 0 static 1.1.1.1 255.255.255.0 gateway=none",
                     "interface ipv4 set subinterface 0 mtu=1400", "interface ip delete dns 0 all"}),
              Commands());

    // A kept name that cannot be used must not end the worker: nothing runs.
    ifaces().legacy = true;
    EXPECT_EQ(0u, IFACE_ResetAdapter("bad\"name", 5));
    EXPECT_TRUE(Commands().empty());

    ifaces().legacy = false;
    ifaces().failAt = 3;
    ifaces().failCode = 1155;
    EXPECT_EQ(1155u, IFACE_ResetAdapter(GUID, 5));
}

TEST(IfaceConfig, MetricFailureWarnsAndReturnsTheCode)
{
    Scope scope;
    EXPECT_EQ(0u, IFACE_SetMetric(18));
    EXPECT_TRUE(events().empty());
    ifaces().metricResult = 1168;
    EXPECT_EQ(1168u, IFACE_SetMetric(18));
    EXPECT_EQ((std::vector<uint32_t>{18, 18}), ifaces().metricCalls);
    ASSERT_EQ(1u, events().size());
    EXPECT_EQ(SVC_EVENT_INFO, events()[0].type);
    EXPECT_EQ("Warning: Unable to automatically set interface metric. Please manually configure TUNLEX interface "
              "metric to '0'.",
              events()[0].text);
    EXPECT_EQ(events()[0].text + "\r\n", ReadLog());
}

TEST(IfaceConfig, DnsFileIsConfigurable)
{
    IFACE_SetDnsFile("/tmp/elsewhere/resolv.conf");
    EXPECT_STREQ("/tmp/elsewhere/resolv.conf", IFACE_DnsFile());
    IFACE_SetDnsFile(nullptr);
    EXPECT_STRNE("", IFACE_DnsFile());
}

}  // namespace
