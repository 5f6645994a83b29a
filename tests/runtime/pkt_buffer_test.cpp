#include "pkt_buffer.h"

#include "capture_file.h"
#include "gui_log.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_consoleLines;

void CollectConsole(const char *, uint32_t, const char *text, uint32_t)
{
    g_consoleLines.push_back(text);
}

int CountContaining(const std::vector<std::string> &lines, const std::string &what)
{
    int n = 0;
    for (const auto &l : lines)
        n += l.find(what) != std::string::npos;
    return n;
}

// Every test starts from a fresh pool and sees the sink through the console hook.
class PktPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        PKT_PoolInit();
        g_consoleLines.clear();
        GUI_SetConsoleAppend(CollectConsole);
    }
    void TearDown() override
    {
        for (PKT_Buffer *b : held_)
            PKT_Free(b);
        GUI_SetConsoleAppend(nullptr);
        EXPECT_EQ(PKT_PoolInUseCount(), 0u);
    }
    PKT_Buffer *Take()
    {
        PKT_Buffer *b = PKT_Alloc(nullptr);
        EXPECT_NE(b, nullptr);
        held_.push_back(b);
        return b;
    }
    void Give(PKT_Buffer *b)
    {
        held_.erase(std::find(held_.begin(), held_.end(), b));
        PKT_Free(b);
    }
    std::vector<PKT_Buffer *> held_;
};

TEST_F(PktPool, GrowsPastTheInitialTenAndReusesFreedBuffersInOrder)
{
    EXPECT_EQ(PKT_PoolFreeCount(), 10u);
    EXPECT_EQ(PKT_PoolInUseCount(), 0u);

    PKT_Buffer *first = nullptr;
    EXPECT_EQ(PKT_Alloc(&first), first);
    PKT_Free(first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first->start), 0xBADC0FFEu);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first->cursor), 0xDEADF00Du);

    // The freed buffer went behind the nine untouched ones.
    for (int i = 0; i < 9; i++)
        EXPECT_NE(Take(), first) << i;
    EXPECT_EQ(Take(), first);
    EXPECT_EQ(PKT_PoolFreeCount(), 0u);
    PKT_Buffer *grown = Take();
    EXPECT_EQ(PKT_PoolInUseCount(), 11u);

    // Freeing one from the middle keeps the others on the in-use list.
    Give(held_[4]);
    EXPECT_EQ(PKT_PoolInUseCount(), 10u);
    EXPECT_EQ(PKT_PoolFreeCount(), 1u);
    EXPECT_EQ(grown->owner, held_.back()->owner);
}

TEST_F(PktPool, ReportsUsageWhenTheHighWaterMarkRises)
{
    StderrCapture err;
    for (int i = 0; i < 5; i++)
        PKT_Free(PKT_Alloc(nullptr));
    EXPECT_EQ(err.Text(), "");
    Take();
    Take();
    EXPECT_EQ(err.Text(), "");
    Take();
    EXPECT_EQ(err.Text(), "Buff usage: 3\n");
    Take();
    EXPECT_EQ(err.Text(), "Buff usage: 3\nBuff usage: 4\n");
}

TEST_F(PktPool, NullAndDoubleFreeLeaveTheListsIntact)
{
    StderrCapture err;
    PKT_Free(nullptr);
    PKT_Release(nullptr);

    PKT_Buffer *a = PKT_Alloc(nullptr);
    PKT_Buffer *keep = Take();
    PKT_Free(a);
    PKT_Free(a);
    EXPECT_EQ(CountContaining(g_consoleLines, "freed twice"), 1);
    EXPECT_EQ(PKT_PoolInUseCount(), 1u);
    EXPECT_EQ(PKT_PoolFreeCount(), 9u);

    // Were the buffer linked twice, two of these would be the same.
    std::vector<PKT_Buffer *> got;
    for (int i = 0; i < 11; i++)
        got.push_back(Take());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(std::unique(got.begin(), got.end()), got.end());
    EXPECT_EQ(std::count(got.begin(), got.end(), keep), 0);
}

TEST_F(PktPool, ABufferHeldAcrossAPoolRestartIsNotTakenBack)
{
    PKT_Buffer *old = PKT_Alloc(nullptr);
    StderrCapture quiet;
    PKT_PoolInit();
    PKT_Free(old);
    EXPECT_EQ(CountContaining(g_consoleLines, "not in use"), 1);
    EXPECT_EQ(PKT_PoolFreeCount(), 10u);
    EXPECT_EQ(PKT_PoolInUseCount(), 0u);
    free(old);  // cut loose from the pool, so its holder's to release
}

TEST_F(PktPool, ResetReserveAndPrependAtTheirLimits)
{
    PKT_Buffer *b = Take();
    uint8_t *c = PKT_Reset(b);
    EXPECT_EQ(c, b->area + PKT_HEADROOM);
    EXPECT_EQ(c, PKT_Data(b));
    EXPECT_EQ(b->start, c);
    EXPECT_EQ(b->length, 0);
    EXPECT_STREQ(b->tag, "PPP");

    struct { uint32_t n; int ok; uint32_t headroomAfter; } reserve[] = {
        {1948, 1, 100}, {2048, 1, 0}, {2049, 0, 100}, {65536, 0, 100}, {0xFFFFFFFFu, 0, 100},
    };
    for (const auto &r : reserve) {
        PKT_Reset(b);
        b->length = 10;
        memset(b->start, 0x5A, 10);
        EXPECT_EQ(PKT_Reserve(b, r.n), r.ok) << r.n;
        EXPECT_EQ(uint32_t(b->start - b->area), r.headroomAfter) << r.n;
        EXPECT_EQ(b->cursor, b->start) << r.n;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(b->start), 10), std::string(10, 0x5A));
    }

    // Headers go into the headroom without moving the packet.
    PKT_Reset(b);
    b->length = 40;
    uint8_t *start = b->start;
    EXPECT_EQ(PKT_Prepend(b, start, 8), start - 8);
    EXPECT_EQ(b->start - b->area, 92);
    EXPECT_EQ(b->length, 48);

    // On an empty packet the end is used.
    PKT_Reset(b);
    EXPECT_EQ(PKT_Prepend(b, b->start, 8), b->area + PKT_HEADROOM);
    EXPECT_EQ(b->start, b->area + PKT_HEADROOM);

    // A cut at the data start moves the start, not the bytes.
    PKT_Reset(b);
    b->length = 10;
    for (int i = 0; i < 10; i++)
        b->start[i] = uint8_t(i);
    EXPECT_EQ(PKT_Cut(b, b->start, 2), 1);
    EXPECT_EQ(b->start, b->area + PKT_HEADROOM + 2);
    EXPECT_EQ(b->cursor, b->start);
    EXPECT_EQ(b->start[0], 2);
    EXPECT_EQ(PKT_Length(b), 8u);
    EXPECT_EQ(CountContaining(g_consoleLines, "Verify Error"), 0);
}

TEST_F(PktPool, DamagedGuardsAreReportedOnEveryCheckedOperation)
{
    struct { const char *name; void (*damage)(PKT_Buffer *); } rows[] = {
        {"\"Magic3\"", [](PKT_Buffer *b) { b->Magic3 ^= 1; }},
        {"\"Magic5\"", [](PKT_Buffer *b) { b->magic5At[0] ^= 0xFF; }},  // one byte past the data
    };
    StderrCapture quiet;
    for (const auto &row : rows) {
        PKT_Buffer *b = Take();
        PKT_Reset(b);
        g_consoleLines.clear();
        row.damage(b);
        PKT_Reset(b);
        b->length = 4;
        EXPECT_EQ(PKT_Cut(b, b->start, 1), 1);
        EXPECT_NE(PKT_Prepend(b, b->start, 1), nullptr);
        EXPECT_EQ(CountContaining(g_consoleLines, "Verify Error"), 3) << row.name;
        EXPECT_EQ(CountContaining(g_consoleLines, row.name), 3) << row.name;
        EXPECT_EQ(b->length, 4);
    }
}

// A packet mirrored by a vector and a cursor index; random window operations,
// including positions and lengths outside the packet, must keep the two equal.
TEST_F(PktPool, WindowOperationsMatchAModel)
{
    PKT_Buffer *b = Take();
    std::mt19937 rng(12345);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<uint8_t> model;
    size_t cursor = 0;
    uint8_t next = 0;

    auto checkSame = [&](int step) {
        ASSERT_LE(b->area, b->start) << step;
        ASSERT_LE(b->start, b->cursor) << step;
        ASSERT_LE(b->cursor, b->start + b->length) << step;
        ASSERT_LE(b->start + b->length, b->area + PKT_CAPACITY) << step;
        ASSERT_EQ(b->length, model.size()) << step;
        ASSERT_EQ(size_t(b->cursor - b->start), cursor) << step;
        ASSERT_EQ(PKT_Length(b), model.size() - cursor) << step;
        ASSERT_TRUE(std::equal(model.begin(), model.end(), b->start)) << step;
    };

    PKT_Reset(b);
    for (int step = 0; step < 20000; step++) {
        int len = int(model.size());
        int pos = pick(-3, len + 3);
        uint32_t n = uint32_t(pick(0, 4) == 0 ? pick(0, 2100) : pick(0, 40));
        uint8_t *p = b->start + pos;
        uint32_t headroom = uint32_t(b->start - b->area);
        uint32_t endRoom = PKT_CAPACITY - headroom - uint32_t(len);
        switch (pick(0, 9)) {
        case 0:
            if (pick(0, 20) == 0) {
                PKT_Reset(b);
                model.clear();
                cursor = 0;
            }
            break;
        case 1: {  // a writer appends at the end
            if (PKT_Reserve(b, uint32_t(len) + n) && uint32_t(len) + n <= PKT_CAPACITY) {
                for (uint32_t i = 0; i < n; i++, next++) {
                    b->start[len + i] = next;
                    model.push_back(next);
                }
                b->length = uint16_t(len + n);
            }
            break;
        }
        case 2:
        case 3:
        case 4: {
            uint8_t *room = PKT_Prepend(b, p, n);
            bool inside = pos >= 0 && pos <= len;
            if (!inside || n > headroom + endRoom) {
                ASSERT_EQ(room, nullptr) << step;
            }
            if (inside && n <= endRoom) {
                ASSERT_NE(room, nullptr) << step;
            }
            if (room) {
                ASSERT_EQ(room, b->start + pos) << step;
                for (uint32_t i = 0; i < n; i++, next++)
                    room[i] = next;
                model.insert(model.begin() + pos, room, room + n);
                if (cursor > size_t(pos))
                    cursor += n;
            }
            break;
        }
        case 5:
        case 6:
        case 7: {
            bool inside = pos >= 0 && pos <= len && n <= uint32_t(len - pos);
            ASSERT_EQ(PKT_Cut(b, p, n), inside ? 1 : 0) << step;
            if (inside) {
                model.erase(model.begin() + pos, model.begin() + pos + n);
                if (cursor >= size_t(pos) + n)
                    cursor -= n;
                else if (cursor > size_t(pos))
                    cursor = size_t(pos);
            }
            break;
        }
        default:  // a parser consumes bytes
            cursor = size_t(pick(0, len));
            b->cursor = b->start + cursor;
            break;
        }
        checkSame(step);
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ(CountContaining(g_consoleLines, "Verify Error"), 0);
}

} // namespace
