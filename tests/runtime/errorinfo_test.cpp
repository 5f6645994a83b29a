#include "errorinfo.h"
#include "errorinfo_sys.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// A chain head as a caller keeps it on its stack, cleared on the way out.
struct Chain {
    ErrorInfo head{nullptr, "", 0, nullptr};
    ~Chain() { ERRORINFO_Clear(&head, "test", 0); }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> out;
        for (const ErrorInfo *e = &head; e && e->message; e = e->next)
            out.push_back(e->message);
        return out;
    }
};

using Texts = std::vector<std::string>;

void Fill(Chain &c, int entries)
{
    for (int i = 1; i <= entries; i++)
        ASSERT_EQ(ERRORINFO_Append(&c.head, "fill", i, "entry %d", i), 1);
}

TEST(ErrorInfo, SettersOnChainsOfEachLength)
{
    struct Row {
        const char *what;
        int entries;
        int (*op)(ErrorInfo *);
        int result;
        Texts after;
        bool placed;  // the last entry carries the caller's file and line
    } rows[] = {
        {"set replaces", 3, [](ErrorInfo *e) { return ERRORINFO_Set(e, "m", 7, "new %s", "text"); },
         1, {"new text"}, true},
        {"set empty text", 3, [](ErrorInfo *e) { return ERRORINFO_Set(e, "m", 7, "%s", ""); }, 0, {},
         true},
        {"append to empty", 0, [](ErrorInfo *e) { return ERRORINFO_Append(e, "m", 7, "a%d", 1); }, 1,
         {"a1"}, true},
        {"append behind", 1, [](ErrorInfo *e) { return ERRORINFO_Append(e, "m", 7, "b"); }, 1,
         {"entry 1", "b"}, true},
        {"append empty text", 3, [](ErrorInfo *e) { return ERRORINFO_Append(e, "m", 7, "%s", ""); },
         0, {"entry 1", "entry 2", "entry 3"}, false},
        {"append empty to empty", 0,
         [](ErrorInfo *e) { return ERRORINFO_Append(e, "m", 7, "%s", ""); }, 0, {}, true},
    };
    for (const Row &r : rows) {
        Chain c;
        Fill(c, r.entries);
        EXPECT_EQ(r.op(&c.head), r.result) << r.what;
        EXPECT_EQ(c.Texts(), r.after) << r.what;
        EXPECT_EQ(ERRORINFO_Count(&c.head), r.after.size()) << r.what;
        const ErrorInfo *last = &c.head;
        while (last->next)
            last = last->next;
        EXPECT_EQ(std::string(last->file) == "m" && last->line == 7, r.placed) << r.what;
    }
}

TEST(ErrorInfo, NullChainIsAcceptedEverywhere)
{
    EXPECT_EQ(ERRORINFO_Set(nullptr, "m", 1, "x"), 1);
    EXPECT_EQ(ERRORINFO_Append(nullptr, "m", 1, "x"), 1);
    EXPECT_EQ(ERRORINFO_SetSystem(nullptr, 2, "m", 1, "x"), 1);
    ERRORINFO_Clear(nullptr, "m", 1);
    EXPECT_EQ(ERRORINFO_IsEmpty(nullptr), 1);
    Chain src;
    Fill(src, 1);
    EXPECT_EQ(ERRORINFO_Copy(nullptr, &src.head), 1);
}

TEST(ErrorInfo, InnermostMessageWins)
{
    auto inner = [](ErrorInfo *err) {
        ERRORINFO_Set(err, ERRORINFO_AT("inner"), "inner failed");
        return 0;
    };
    auto outer = [&](ErrorInfo *err) {
        if (!inner(err) && ERRORINFO_IsEmpty(err))
            ERRORINFO_Set(err, ERRORINFO_AT("outer"), "outer failed");
        return 0;
    };
    Chain c;
    outer(&c.head);
    EXPECT_EQ(c.Texts(), Texts{"inner failed"});
    EXPECT_STREQ(c.head.file, "inner");
}

TEST(ErrorInfo, SetMayQuoteTheMessageItReplaces)
{
    Chain c;
    Fill(c, 2);
    ASSERT_EQ(ERRORINFO_Set(&c.head, "m", 1, "wrapped: %s", c.head.message), 1);
    EXPECT_EQ(c.Texts(), Texts{"wrapped: entry 1"});
}

TEST(ErrorInfo, LongMessagesAreCut)
{
    Chain c;
    std::string big(5000, 'x');
    ASSERT_EQ(ERRORINFO_Set(&c.head, "m", 1, "%s", big.c_str()), 1);
    EXPECT_EQ(strlen(c.head.message), size_t(ERRORINFO_MAX_TEXT));
}

TEST(ErrorInfo, CopyTakesOnlyTheHead)
{
    Chain src, dst;
    Fill(src, 3);
    Fill(dst, 2);
    ASSERT_EQ(ERRORINFO_Copy(&dst.head, &src.head), 1);
    EXPECT_EQ(dst.Texts(), Texts{"entry 1"});
    EXPECT_NE(dst.head.message, src.head.message);
    EXPECT_STREQ(dst.head.file, "fill");
    EXPECT_EQ(dst.head.line, 1);

    Chain empty;
    EXPECT_EQ(ERRORINFO_Copy(&dst.head, &empty.head), 0);
    EXPECT_EQ(dst.Texts(), Texts{});
    Fill(dst, 1);
    EXPECT_EQ(ERRORINFO_Copy(&dst.head, nullptr), 0);
    EXPECT_EQ(dst.Texts(), Texts{});

    Fill(dst, 2);
    EXPECT_EQ(ERRORINFO_Copy(&dst.head, &dst.head), 1);
    EXPECT_EQ(dst.Texts(), (Texts{"entry 1", "entry 2"}));
}

TEST(ErrorInfo, SystemTextFollowsTheCallersText)
{
    // Code 2 is "file not found" in both systems' tables; texts differ by system.
    Chain c;
    ASSERT_EQ(ERRORINFO_SetSystem(&c.head, 2, "m", 5, "open %s", "x"), 1);
    std::string known = c.head.message;
    EXPECT_EQ(known.rfind("open x\n", 0), 0u) << known;
    EXPECT_GT(known.size(), strlen("open x\n"));
    EXPECT_EQ(c.head.line, 5);

    Fill(c, 2);
    ASSERT_EQ(ERRORINFO_SetSystem(&c.head, 0x12345678u, "m", 6, "open"), 1);
    EXPECT_EQ(c.Texts(), Texts{"open\n"});

    // On Windows (where long has 32 bits) 193's text holds an insert, which
    // must come back as it stands rather than fail.
    char text[ERRORINFO_MAX_TEXT + 1];
    size_t n = ERRORINFO_SystemText(193, text, sizeof text);
    if (sizeof(long) == 4) {
        EXPECT_GT(n, 0u);
        EXPECT_NE(strstr(text, "%1"), nullptr) << text;
    }
    EXPECT_EQ(n, strlen(text));
    n = ERRORINFO_SystemText(2, text, 4);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(strlen(text), 3u);
}

TEST(ErrorInfo, ThreadsKeepTheirOwnMessages)
{
    auto worker = [](int id, bool *clean) {
        Chain c;
        for (int i = 0; i < 20000; i++) {
            ERRORINFO_Set(&c.head, "t", i, "thread %d message %d", id, i);
            ERRORINFO_Append(&c.head, "t", i, "thread %d extra", id);
            std::string want = "thread " + std::to_string(id) + " message " + std::to_string(i);
            if (c.Texts() != Texts{want, "thread " + std::to_string(id) + " extra"})
                *clean = false;
        }
    };
    bool clean1 = true, clean2 = true;
    std::thread a(worker, 1, &clean1), b(worker, 2, &clean2);
    a.join();
    b.join();
    EXPECT_TRUE(clean1);
    EXPECT_TRUE(clean2);
}

} // namespace
