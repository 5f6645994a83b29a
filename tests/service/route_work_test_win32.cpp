// The Windows backends, read-only: the route table is read, and arguments
// that must not reach netsh or the route calls are refused before anything
// runs. Nothing here changes a route or an adapter.
#include "iface_config.h"
#include "route_work.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(RouteWorkWindows, ReadsTheRouteTable)
{
    RouteRow *rows = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(0u, ROUTE_SystemBackend()->ReadTable(&rows, &count));
    ASSERT_NE(nullptr, rows);
    for (uint32_t i = 0; i < count; i++) {
        // Every destination lies inside its own mask.
        EXPECT_EQ(rows[i].destination, rows[i].destination & rows[i].mask) << i;
        EXPECT_TRUE(IFACE_MaskIsPrefix(rows[i].mask)) << i;
    }
    ROUTE_SystemBackend()->FreeTable(rows);
    EXPECT_FALSE(ROUTE_Exists(0x01020304u, 0x01020304u, 1));
}

TEST(RouteWorkWindows, RefusesBadArgumentsWithInvalidParameter)
{
    const uint32_t invalid = 87;  // ERROR_INVALID_PARAMETER
    RouteRow r = {};
    EXPECT_EQ(invalid, ROUTE_Apply(3, &r, false));
    EXPECT_EQ(invalid, IFACE_SetAddress("x\" static 6.6.6.6 255.0.0.0 \"", 5, 0x0200000a, 0x00ffffff, 0, 1400));
    EXPECT_EQ(invalid, IFACE_SetAddress("{GUID}", 5, 0x0200000a, 0x00ff00ff, 0, 1400));
    EXPECT_EQ(invalid, IFACE_SetDns("a\nb", 5, true, 0, 0));
    EXPECT_EQ(invalid, IFACE_DeleteAddress("\"", 5, 0x0200000a));
    // A kept name that cannot be used skips the reset instead of failing it.
    EXPECT_EQ(0u, IFACE_ResetAdapter("\"", 5));
}

}  // namespace
