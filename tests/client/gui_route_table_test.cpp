#include "gui_console.h"

#include "log_capture.h"
#include "route_table.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    memcpy(&v, bytes, 4);
    return v;
}

std::vector<ROUTE_TableRow> g_routes;
std::vector<GUI_AdapterAddress> g_addresses;
bool g_routesFail = false, g_addressesFail = false;

template <typename T>
T *CopyOut(const std::vector<T> &from)
{
    T *out = static_cast<T *>(malloc((from.size() + 1) * sizeof(T)));
    if (!from.empty())
        memcpy(out, from.data(), from.size() * sizeof(T));
    return out;
}

ROUTE_TableResult FixtureRoutes(ROUTE_TableRow **rows, uint32_t *count, uint32_t *code)
{
    *rows = nullptr;
    *count = 0;
    if (g_routesFail) {
        *code = 5;
        return ROUTE_TABLE_FAILED;
    }
    *rows = CopyOut(g_routes);
    *count = static_cast<uint32_t>(g_routes.size());
    return ROUTE_TABLE_OK;
}

int FixtureAddresses(GUI_AdapterAddress **rows, uint32_t *count)
{
    *rows = nullptr;
    *count = 0;
    if (g_addressesFail)
        return 0;
    *rows = CopyOut(g_addresses);
    *count = static_cast<uint32_t>(g_addresses.size());
    return 1;
}

const char kHead[] =
    "\nSystem route table\n"
    "   Network         Netmask         Gateway          Interface       Metric   Age\n"
    "-------------------------------------------------------\n";

class RouteTablePrint : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_routes.clear();
        g_addresses.clear();
        g_routesFail = g_addressesFail = false;
        ROUTE_SetTableReader(FixtureRoutes);
        GUI_SetAddressReader(FixtureAddresses);
    }
    void TearDown() override
    {
        ROUTE_SetTableReader(nullptr);
        GUI_SetAddressReader(nullptr);
    }
};

TEST_F(RouteTablePrint, EachRouteWithTheAddressesOfItsInterface)
{
    g_routes = {
        {Ip(0, 0, 0, 0), Ip(0, 0, 0, 0), Ip(192, 168, 1, 1), 2, 25},
        {Ip(10, 8, 0, 0), Ip(255, 255, 0, 0), 0, 7, 1},
        {Ip(127, 0, 0, 0), Ip(255, 0, 0, 0), 0, 9, 306},
        {Ip(172, 16, 0, 0), Ip(255, 255, 0, 0), 0, 12, 5},
    };
    g_addresses = {
        {2, Ip(192, 168, 1, 10), 1},
        {9, 0, 0},               // not convertible
        {2, Ip(10, 0, 0, 5), 1},
        {9, Ip(127, 0, 0, 1), 1},
    };
    // An adapter with more addresses than the column's 127 characters hold.
    std::string many;
    for (uint8_t i = 0; i < 12; i++) {
        g_addresses.push_back({12, Ip(172, 16, 100, static_cast<uint8_t>(100 + i)), 1});
        many += (i ? "; 172.16.100." : "172.16.100.") + std::to_string(100 + i);
    }

    LogCapture log;
    EXPECT_EQ(GUI_PrintRouteTable(), 1);
    std::string expected = std::string(kHead) +
        "00 0.0.0.0         0.0.0.0         192.168.1.1      192.168.1.10; 10.0.0.5 25       0  \n"
        "01 10.8.0.0        255.255.0.0     0.0.0.0          ???             1        0  \n"
        "02 127.0.0.0       255.0.0.0       0.0.0.0          ---; 127.0.0.1  306      0  \n"
        "03 172.16.0.0      255.255.0.0     0.0.0.0          " + many.substr(0, 127) + " 5        0  \n"
        "\n";
    EXPECT_EQ(log.Text(), expected);
}

TEST_F(RouteTablePrint, AnEmptyTablePrintsTheFrameAndAFailedReadSaysSo)
{
    {
        LogCapture log;
        EXPECT_EQ(GUI_PrintRouteTable(), 1);
        EXPECT_EQ(log.Text(), std::string(kHead) + "\n");
    }
    g_routes = {{Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), 0, 3, 1}};
    for (bool *failing : {&g_routesFail, &g_addressesFail}) {
        g_routesFail = g_addressesFail = false;
        *failing = true;
        LogCapture log;
        EXPECT_EQ(GUI_PrintRouteTable(), 0);
        EXPECT_EQ(log.Text(), std::string(kHead) + "\nError while getting system route table.\n");
    }
}

} // namespace

namespace {

// The system's own readers: every address is tied to an interface, and the
// loopback address is among them in network byte order.
TEST(RouteTableSystem, TheMachinesAddressesAndRoutesPrint)
{
    GUI_AdapterAddress *rows = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(GUI_ReadAdapterAddresses(&rows, &count), 1);
    bool loopback = false;
    for (uint32_t i = 0; i < count; i++) {
        EXPECT_NE(rows[i].ifIndex, 0u);
        loopback = loopback || (rows[i].valid && rows[i].address == Ip(127, 0, 0, 1));
    }
    GUI_FreeAdapterAddresses(rows);
    EXPECT_TRUE(loopback);

    LogCapture log;
    EXPECT_EQ(GUI_PrintRouteTable(), 1);
    EXPECT_EQ(log.Text().find("Error while getting system route table."), std::string::npos);
}

} // namespace
