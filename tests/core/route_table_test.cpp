// The system's route table reads on every system; its rows are plausible.
#include <gtest/gtest.h>

#include <string.h>

#include "route_service.h"
#include "route_table.h"

namespace {

// A mask is a run of ones from the top (in network order).
bool Contiguous(uint32_t mask)
{
    uint8_t b[4];
    memcpy(b, &mask, 4);
    uint32_t host = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return (~host & (~host + 1)) == 0;
}

TEST(RouteTable, TheSystemTableReadsAndEachRowIsFoundAgain)
{
    ROUTE_TableRow *rows = nullptr;
    uint32_t count = 0, code = 0;
    ASSERT_EQ(ROUTE_ReadSystemTable(&rows, &count, &code), ROUTE_TABLE_OK) << code;
    for (uint32_t i = 0; i < count; i++) {
        const ROUTE_TableRow &r = rows[i];
        EXPECT_TRUE(Contiguous(r.mask)) << i;
        EXPECT_EQ(r.destination & ~r.mask, 0u) << i;
        ErrorInfo chain = {};
        EXPECT_EQ(ROUTE_FindSystemRoute(r.ifIndex, r.destination, r.mask, r.metric, &chain), 1) << i;
        EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    }
    ROUTE_FreeTable(rows);
}

}  // namespace
