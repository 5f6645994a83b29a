// The format engine against the platform snprintf, its deliberate
// differences, and the copies and text buffers around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "str.h"

namespace {

const unsigned char kCanary = 0xA5;

// Formats with the engine at every output size from 0 to full + 2 and checks
// each against the expected text: the full length returned, the text cut at
// size - 1 and terminated, and not one byte written past size.
template <typename... A>
bool Sweep(const std::string &want, const char *format, A... args)
{
    const int32_t full = static_cast<int32_t>(want.size());
    std::vector<unsigned char> buf(static_cast<size_t>(full) + 3 + 16);
    for (int32_t size = 0; size <= full + 2; size++) {
        memset(buf.data(), kCanary, buf.size());
        int32_t n = STR_Snprintf(reinterpret_cast<char *>(buf.data()), size, format, args...);
        int32_t kept = size == 0 ? 0 : std::min(size - 1, full);
        bool ok = n == (size == 0 ? 0 : full);
        ok = ok && memcmp(buf.data(), want.data(), static_cast<size_t>(kept)) == 0;
        ok = ok && (size == 0 || buf[static_cast<size_t>(kept)] == 0);
        for (size_t i = static_cast<size_t>(size == 0 ? 0 : kept + 1); ok && i < buf.size(); i++)
            ok = buf[i] == kCanary;
        if (!ok) {
            std::string got(reinterpret_cast<char *>(buf.data()), static_cast<size_t>(kept));
            ADD_FAILURE() << "format \"" << format << "\" size " << size << ": returned " << n
                          << " \"" << got << "\", want " << full << " \"" << want << "\"";
            return false;
        }
    }
    return true;
}

// The platform printf as the independent oracle.
template <typename... A>
bool SameAsPlatform(const char *format, A... args)
{
    char want[512];
    int n = snprintf(want, sizeof want, format, args...);
    if (n < 0 || n >= static_cast<int>(sizeof want)) {
        ADD_FAILURE() << "oracle failed on " << format;
        return false;
    }
    return Sweep(std::string(want, static_cast<size_t>(n)), format, args...);
}

// Width and precision fields of the grid; a star takes its value as an argument.
struct Field {
    const char *text;
    bool star;
    int value;
};
const Field kWidths[] = {{"", false, 0},  {"1", false, 0}, {"2", false, 0},  {"7", false, 0},
                         {"12", false, 0}, {"*", true, 7},  {"*", true, -7}};
const Field kPrecisions[] = {{"", false, 0},  {".1", false, 0}, {".3", false, 0},
                             {".8", false, 0}, {".*", true, 5}};

// Every subset of the flags, in the order given.
std::vector<std::string> FlagSets(const std::string &flags)
{
    std::vector<std::string> sets;
    for (unsigned mask = 0; mask < (1u << flags.size()); mask++) {
        std::string s;
        for (size_t i = 0; i < flags.size(); i++)
            if (mask & (1u << i))
                s += flags[i];
        sets.push_back(s);
    }
    return sets;
}

// One specification amid literal text, "%%" and two more conversions, so that
// an argument taken wrongly shows in the text after it.
template <typename T>
bool CheckSpec(const std::string &spec, const Field &w, const Field &p, T value)
{
    std::string format = "<" + spec + ">%d|%%|%s";
    const char *f = format.c_str();
    const int after = -4711;
    const char *tail = "end";
    if (w.star && p.star)
        return SameAsPlatform(f, w.value, p.value, value, after, tail);
    if (w.star)
        return SameAsPlatform(f, w.value, value, after, tail);
    if (p.star)
        return SameAsPlatform(f, p.value, value, after, tail);
    return SameAsPlatform(f, value, after, tail);
}

// Runs the grid of one argument type; stops early after a few failures.
template <typename T>
int RunGrid(const std::string &flags, const std::string &length, const std::string &conversions,
            const std::vector<T> &values)
{
    int failures = 0;
    int cases = 0;
    for (char c : conversions)
        for (const std::string &fl : FlagSets(flags))
            for (const Field &w : kWidths)
                for (const Field &p : kPrecisions)
                    for (T v : values) {
                        std::string spec = "%" + fl + w.text + p.text + length + c;
                        cases++;
                        if (!CheckSpec(spec, w, p, v) && ++failures > 10)
                            return cases;
                    }
    return cases;
}

template <typename T>
std::vector<T> WithRandom(std::vector<T> values, int count, uint32_t seed)
{
    std::mt19937_64 rng(seed);
    for (int i = 0; i < count; i++)
        values.push_back(static_cast<T>(rng()));
    return values;
}

TEST(StrFormatGrid, SignedIntegersMatchPlatform)
{
    std::vector<int> values = WithRandom<int>({0, 1, -1, 9, -9, 10, -10, 255, -255, INT_MIN, INT_MAX}, 4, 1);
    EXPECT_GT(RunGrid<int>("-0+ ", "", "di", values), 10000);
    std::vector<long long> wide = WithRandom<long long>(
        {0, -1, 1ll << 40, -(1ll << 40), LLONG_MIN, LLONG_MAX}, 2, 2);
    RunGrid<long long>("-0+ ", "ll", "di", wide);
}

TEST(StrFormatGrid, UnsignedIntegersMatchPlatform)
{
    std::vector<unsigned> values = WithRandom<unsigned>(
        {0, 1, 7, 8, 9, 10, 15, 16, 255, 256, 0x7FFFFFFFu, 0x80000000u, UINT_MAX}, 3, 3);
    EXPECT_GT(RunGrid<unsigned>("-0#", "", "uoxX", values), 10000);
    std::vector<unsigned long long> wide = WithRandom<unsigned long long>(
        {0, 1, 1ull << 40, 1ull << 63, ULLONG_MAX}, 2, 4);
    RunGrid<unsigned long long>("-0#", "ll", "uoxX", wide);
}

TEST(StrFormatGrid, CharactersAndStringsMatchPlatform)
{
    const Field precisions[] = {{"", false, 0},  {".0", false, 0}, {".1", false, 0},
                                {".2", false, 0}, {".5", false, 0}, {".14", false, 0}, {".*", true, 3}};
    const char *texts[] = {"", "a", "abc", "hello", "hello, world"};
    for (const std::string &fl : FlagSets("-"))
        for (const Field &w : kWidths) {
            for (int c : {'A', 'z', ' ', '~'})
                CheckSpec("%" + fl + w.text + "c", w, kPrecisions[0], c);
            for (const Field &p : precisions)
                for (const char *t : texts)
                    CheckSpec("%" + fl + w.text + p.text + "s", w, p, t);
        }
    // A precision bounds the read: the array has no NUL.
    const char unterminated[3] = {'x', 'y', 'z'};
    SameAsPlatform("[%.3s][%.2s]", unterminated, unterminated);
}

TEST(StrFormatGrid, FloatsMatchPlatformWhereTheDigitsAgree)
{
    // Multiples of 1/64 have at most six decimals: no rounding ties.
    std::mt19937 rng(5);
    std::vector<double> fixed = {0.0, 1.0 / 64, -1.0 / 64, 0.5, 1.0, -1.0, 15624.984375};
    for (int i = 0; i < 300; i++)
        fixed.push_back(static_cast<int>(rng() % 2000001 - 1000000) / 64.0);
    for (const char *f : {"%f", "%12f", "%-12f|", "%+f", "%012f", "% f"})
        for (double v : fixed)
            SameAsPlatform(f, v);

    std::vector<double> mantissas = {0.0};
    for (int j = 0; j < 576; j += 7) {
        mantissas.push_back(1 + j / 64.0);
        mantissas.push_back(-(1 + j / 64.0));
    }
    for (const char *f : {"%e", "%E", "%15e", "%-15E|", "%+e"})
        for (double v : mantissas)
            SameAsPlatform(f, v);

    std::vector<double> general = {0.0, 1e-4, 1e-3, 1e-2, 0.1, 1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7};
    for (int i = 0; i < 100; i++)
        general.push_back(static_cast<double>(rng() % 1000000));
    // no widths here: MinGW's own printf drops the width of "%10g" of 1e5
    for (const char *f : {"%g", "%G", "%+g"})
        for (double v : general)
            SameAsPlatform(f, v);

    // alternate forms and precisions where no rounding tie arises
    SameAsPlatform("%#.0f|%#.0e|%#g|%#G", 3.0, 3.0, 100.0, 0.5);
    SameAsPlatform("%.3e|%.2f|%10.3f|%-+9.1f|", 1.5, 1.5, -2.25, 7.5);
}

template <typename... A>
void ExpectEngine(const std::string &want, const char *format, A... args)
{
    Sweep(want, format, args...);
}

TEST(StrFormat, DeliberateDifferencesFromPlatform)
{
    // the sign flags apply to every conversion
    ExpectEngine("+5| 5|+a", "%+u|% u|%+x", 5u, 5u, 10u);
    ExpectEngine("+abc| abc|+A", "%+s|% s|%+c", "abc", "abc", 'A');
    ExpectEngine("+Inf|+NaN", "%+f|%+f", HUGE_VAL, std::nan(""));
    // '0' pads strings and characters too
    ExpectEngine("000ab|0000A|00Inf", "%05s|%05c|%05f", "ab", 'A', HUGE_VAL);
    // h is ignored
    ExpectEngine("65537|1ff", "%hd|%hhx", 65537, 0x1FF);
    // a zero value always prints, and precision 0 keeps the zero flag
    ExpectEngine("0|0|0|00003", "%.0d|%.d|%.0x|%05.0d", 0, 0, 0u, 3);
    // a negative * precision counts as 0
    ExpectEngine("[]", "[%.*s]", -1, "abc");
    // %p: plain hex, "0x" only with '#'
    ExpectEngine("0|1234|0x1234", "%p|%p|%#p", static_cast<void *>(nullptr),
                 reinterpret_cast<void *>(0x1234), reinterpret_cast<void *>(0x1234));
    // unusable string pointers print "(null)", whatever the precision
    ExpectEngine("(null)|(null)|(null)", "%.3s|%s|%s", static_cast<const char *>(nullptr),
                 reinterpret_cast<const char *>(0x1234),
                 reinterpret_cast<const char *>(UINTPTR_MAX - 0x10));
    // unknown conversions print nothing and take no argument
    ExpectEngine(" 7", "%y %d", 7);
    ExpectEngine("u5|64d5|d5|ab5", "%zu%d|%I64d%d|%1$d%d|a%nb%d", 5, 5, 5, 5);
    // flags, widths and lengths in any order
    ExpectEngine("3    |    3|0003", "%5-d|%l5d|%.2.4d", 3, 3, 3);
    ExpectEngine("005|5", "%. 3d|%.-3d", 5, 5);
    // one l keeps 32 bits on every build; ll is 64-bit for o, x and X too
    ExpectEngine("-5|4294967295|123456789abcdef", "%ld|%lu|%llx", -5, 4294967295u,
                 0x123456789ABCDEFull);
    // %% ignores flags and width
    ExpectEngine("%|%", "%5%|%+%", 0);
    // infinities and NaNs
    ExpectEngine("Inf|-Inf|NaN|NaN", "%f|%f|%E|%f", HUGE_VAL, -HUGE_VAL, std::nan(""), -std::nan(""));
    // the engine's own digits: no sign on -0, half-up rounding, precision
    // counted from the units place, digits below the precision dropped, and
    // no more than 15 significant digits
    ExpectEngine("0.000000|3|123.456789|1.2345678e+04|0.000000e+00", "%f|%.0f|%g|%e|%e", -0.0,
                 2.5, 123.456789, 12345.678, 1e-10);
    ExpectEngine("1152921504606840000", "%.0f", 1152921504606846976.0);
    // the format may end inside a specification
    ExpectEngine("ab", "ab%-5", 0);
}

TEST(StrFormat, LayoutsLeftOpenFollowC)
{
    ExpectEngine("0x0001f|0x001f|     005|-0005|00010", "%#.5x|%#06x|%8.3d|%05d|%#.5o", 0x1Fu, 0x1Fu, 5, -5, 8u);
}

TEST(StrFormat, SystemFormats)
{
    ExpectEngine("0a|0088|0x0800|-5|4294967295|   ab|ab   ", "%02x|%04x|0x%04x|%d|%u|%5s|%-5s", 10u, 0x88u,
                 0x800u, -5, 4294967295u, "ab", "ab");
    ExpectEngine("-1099511627776|18446744073709551615", "%lld|%llu", -(1ll << 40), ULLONG_MAX);
    ExpectEngine("[  PPP:  7] ", "[%5s:%3d] ", "PPP", 7);
}

// The engine without the compiler's format checks, for formats it would flag.
int32_t Unchecked(char *out, int32_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int32_t n = STR_Vsnprintf(out, size, format, ap);
    va_end(ap);
    return n;
}

TEST(StrFormat, HugeWidthsAndPrecisionsAreCutNotSpun)
{
    // counted fills: these would otherwise write or loop for a billion characters
    const int32_t clamp = 0x3FFFFFFF;
    char buf[16];
    EXPECT_EQ(clamp, Unchecked(buf, sizeof buf, "%*d", INT_MIN, 5));
    EXPECT_STREQ("5              ", buf);
    EXPECT_EQ(clamp, Unchecked(buf, sizeof buf, "%2147483647d", 5));
    EXPECT_EQ(clamp, Unchecked(buf, sizeof buf, "%.*d", INT_MAX, 42));
    EXPECT_STREQ("000000000000000", buf);
    EXPECT_EQ(INT32_MAX, Unchecked(buf, sizeof buf, "%*d%*d%*d", INT_MAX, 1, INT_MAX, 2, INT_MAX, 3));
    // a width that wraps negative pads nothing
    EXPECT_EQ(1, Unchecked(buf, sizeof buf, "%4294967295d", 5));
    EXPECT_EQ(1, Unchecked(buf, sizeof buf, "%2147483648d", 5));
}

TEST(StrFormat, FloatPaddingNeverOverruns)
{
    ExpectEngine("1000000000000000000000000000000.000000", "%f", 1e30);
    ExpectEngine("1." + std::string(40, '0'), "%.40f", 1.0);
    ExpectEngine("1." + std::string(40, '0') + "e+00", "%.40e", 1.0);
    ExpectEngine("0." + std::string(39, '0') + "1", "%.40f", 1e-40);
    ExpectEngine("1e+300", "%g", 1e300);
    char buf[8];
    EXPECT_EQ(1024 * 1024 + 2, STR_Snprintf(buf, sizeof buf, "%.1048576f", 1.0));
    EXPECT_STREQ("1.00000", buf);
}

TEST(StrFormat, CharacterZeroIsStoredAndCounted)
{
    ExpectEngine(std::string("a\0b", 3), "a%cb", 0);
    char buf[16];
    TextBuf tb = {buf, sizeof buf, 0};
    EXPECT_EQ(1, TEXTBUF_Printf(&tb, "x%cy", 0));
    EXPECT_EQ(3, tb.length);
    EXPECT_EQ('\0', tb.data[tb.length]);
}

// --- Copies and text buffers ------------------------------------------------------

TEST(StrCopy, TruncatesAndRefuses)
{
    struct Row {
        uint32_t size;
        uint32_t max;
        const char *want;  // null: destination untouched
        uint32_t result;
    } rows[] = {
        {4, 10, "abc", 3},          {4, 2, "ab", 2},         {1, 10, "", 0},
        {0, 10, nullptr, 0},        {4, 0xFFFFFFFFu, nullptr, 0},
        {0x40000000u, 10, nullptr, 0}, {7, 6, "abcdef", 6}, {8, 0xFFFFFFFEu, "abcdef", 6},
    };
    for (const Row &r : rows) {
        char dst[8];
        memset(dst, '#', sizeof dst);
        EXPECT_EQ(r.result, STR_Copy(dst, r.size, "abcdef", r.max)) << r.size << "/" << r.max;
        if (r.want)
            EXPECT_STREQ(r.want, dst);
        else
            EXPECT_EQ('#', dst[0]);
    }
    char dst[8];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(6u, STR_LCopy(dst, "abcdef", 4));
    EXPECT_STREQ("abc", dst);
    EXPECT_EQ(6u, STR_LCopy(dst, "abcdef", 0));
    EXPECT_EQ('a', dst[0]);
    EXPECT_EQ(0u, STR_LCopy(dst, "abcdef", 0x40000000u));
}

TEST(TextBuf, OperationsKeepTheBufferTerminated)
{
    char store[8];
    TextBuf tb = {store, sizeof store, 0};
    EXPECT_EQ(7, TEXTBUF_Assign(&tb, "abcdefghij"));
    EXPECT_STREQ("abcdefg", store);
    EXPECT_EQ(7, TEXTBUF_Append(&tb, "x", 1));  // full: nothing
    tb.length = 3;
    EXPECT_EQ(3, TEXTBUF_Terminate(&tb));
    EXPECT_EQ(5, TEXTBUF_Append(&tb, "xyz", 2));
    EXPECT_STREQ("abcxy", store);
    EXPECT_EQ(5, TEXTBUF_Append(&tb, "q", 0));
    EXPECT_STREQ("xy", TEXTBUF_Tail(&tb, 2));
    EXPECT_EQ(store, TEXTBUF_Tail(&tb, 9));
    EXPECT_EQ(store + 5, TEXTBUF_Tail(&tb, -3));
    TEXTBUF_Truncate(&tb, 9);
    EXPECT_EQ(5, tb.length);
    TEXTBUF_Truncate(&tb, -1);
    EXPECT_EQ(0, tb.length);
    EXPECT_STREQ("", store);

    // AppendChar writes no NUL and stops at the last byte; Terminate restores
    for (char c : std::string("123456789"))
        TEXTBUF_AppendChar(&tb, c);
    EXPECT_EQ(7, tb.length);
    tb.length = 100;
    EXPECT_EQ(7, TEXTBUF_Terminate(&tb));
    EXPECT_STREQ("1234567", store);

    // capacity 0 touches nothing
    char canary = '#';
    TextBuf empty = {&canary, 0, 5};
    EXPECT_EQ(0, TEXTBUF_Terminate(&empty));
    TEXTBUF_Clear(&empty);
    TEXTBUF_AppendChar(&empty, 'x');
    EXPECT_EQ(0, TEXTBUF_Printf(&empty, "%d", 1));
    EXPECT_EQ('#', canary);
}

TEST(TextBuf, AppendPrintfSeparatesItemsWithOneBlank)
{
    char store[32];
    TextBuf tb = {store, sizeof store, 0};
    TEXTBUF_Clear(&tb);
    EXPECT_EQ(1, TEXTBUF_AppendPrintf(&tb, "id=%u", 7u));
    EXPECT_EQ(1, TEXTBUF_AppendPrintf(&tb, "len=%d", 12));
    EXPECT_EQ(1, TEXTBUF_AppendPrintf(&tb, "%s", "end "));
    EXPECT_EQ(1, TEXTBUF_AppendPrintf(&tb, "x"));
    EXPECT_STREQ("id=7 len=12 end x", store);
    EXPECT_EQ(1, TEXTBUF_Printf(&tb, "%s", "fresh"));
    EXPECT_STREQ("fresh", store);
    EXPECT_EQ(0, TEXTBUF_Printf(&tb, "%40s", "cut"));
    EXPECT_EQ(31, tb.length);
    EXPECT_EQ(31, TEXTBUF_EnsureSpace(&tb));  // full: no blank
}

int Appendf(char *buf, int32_t size, int32_t *length, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = STR_VAppendf(buf, size, length, format, ap);
    va_end(ap);
    return r;
}

TEST(StrFormat, VAppendfCountsAFullBufferAsCut)
{
    char buf[8];
    int32_t length = 0;
    EXPECT_EQ(0, Appendf(buf, 8, &length, "%s", "1234567"));
    EXPECT_EQ(7, length);
    length = 0;
    EXPECT_EQ(1, Appendf(buf, 8, &length, "%s", "123456"));
    EXPECT_EQ(6, length);
    EXPECT_EQ(0, Appendf(buf, 8, &length, "%s", "7"));
    EXPECT_EQ(7, length);
    length = 3;
    EXPECT_EQ(1, Appendf(buf, 8, &length, "%d", 9));
    EXPECT_STREQ("1239", buf);
    // a stale length: cut and terminated at the end, or taken as 0 when absurd
    length = 100;
    EXPECT_EQ(0, Appendf(buf, 8, &length, "x"));
    EXPECT_EQ(7, length);
    EXPECT_EQ('\0', buf[7]);
    length = 0x40000000;
    EXPECT_EQ(1, Appendf(buf, 8, &length, "xy"));
    EXPECT_STREQ("xy", buf);
    EXPECT_EQ(0, Appendf(buf, 8, nullptr, "x"));
    EXPECT_STREQ("", buf);
}

TEST(StrFormat, TempPrintfRotatesSixteenBuffersPerThread)
{
    const char *first = STR_TempPrintf("%d", 0);
    std::vector<const char *> seen = {first};
    for (int i = 1; i < 16; i++)
        seen.push_back(STR_TempPrintf("%d", i));
    EXPECT_STREQ("0", first);
    EXPECT_EQ(first, STR_TempPrintf("%s", std::string(300, 'x').c_str()));
    EXPECT_EQ(199u, strlen(first));
    const char *other = nullptr;
    std::thread([&] { other = STR_TempPrintf("t"); }).join();
    for (const char *p : seen)
        EXPECT_NE(p, other);
}

TEST(StrNames, LookupStopsAfterTenThousandRows)
{
    std::vector<NameEntry> table;
    for (int i = 0; i < 10001; i++)
        table.push_back({i, "row"});
    table[9999].name = "last";
    table[10000].name = "beyond";
    table.push_back({0, nullptr});
    EXPECT_STREQ("last", STR_LookupName(table.data(), 9999, "none"));
    EXPECT_STREQ("none", STR_LookupName(table.data(), 10000, "none"));

    const NameEntry small[] = {{1, "Configure-Request"}, {-2, "minus"}, {3, nullptr}, {4, "hidden"}};
    char buf[16];
    EXPECT_STREQ("minus", STR_NameOrNumber(small, -2, buf, sizeof buf, nullptr));
    EXPECT_STREQ("4294967295", STR_NameOrNumber(small, -1, buf, sizeof buf, nullptr));
    EXPECT_STREQ("code 0x04", STR_NameOrNumber(small, 4, buf, sizeof buf, "code 0x%02x"));
}

TEST(StrNumbers, IntegerTextBoundaries)
{
    char out[40];
    EXPECT_EQ(0, STR_UIntToText(out, 2, 0, 10, 0));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, STR_UIntToText(out, sizeof out, 5, 37, 0));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, STR_UIntToText(out, 32, 0xFFFFFFFFu, 2, 0));
    EXPECT_STREQ("", out);
    EXPECT_EQ(32, STR_UIntToText(out, 33, 0xFFFFFFFFu, 2, 0));
    EXPECT_EQ(std::string(32, '1'), out);
    EXPECT_EQ(1, STR_UIntToText(out, 3, 0, 10, 0));
    EXPECT_STREQ("0", out);
    EXPECT_EQ(7, STR_UIntToText(out, sizeof out, 0xFFFFFFFFu, 36, 0));
    EXPECT_STREQ("1z141z3", out);
    EXPECT_EQ(8, STR_UIntToText(out, sizeof out, 0xDEADBEEFu, 16, 1));
    EXPECT_STREQ("DEADBEEF", out);
    EXPECT_EQ(3, STR_UIntToText(out, sizeof out, 100, 7, 0));
    EXPECT_STREQ("202", out);

    EXPECT_EQ(20, STR_UInt64ToDecimal(out, 21, UINT64_MAX, 10));
    EXPECT_STREQ("18446744073709551615", out);
    EXPECT_EQ(0, STR_UInt64ToDecimal(out, 20, UINT64_MAX, 10));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, STR_UInt64ToDecimal(out, sizeof out, 5, 16));
    EXPECT_EQ(1, STR_UInt64ToDecimal(out, 3, 0, 10));
    EXPECT_STREQ("0", out);
}

TEST(StrNumbers, FloatClassificationFromTheBits)
{
    EXPECT_TRUE(STR_IsInf(HUGE_VAL));
    EXPECT_TRUE(STR_IsInf(-HUGE_VAL));
    EXPECT_FALSE(STR_IsInf(std::nan("")));
    EXPECT_TRUE(STR_IsNaN(std::nan("")));
    EXPECT_FALSE(STR_IsNaN(1e308));
    EXPECT_FALSE(STR_IsInf(1e308));
    char digits[STR_FLOAT_DIGITS];
    int32_t point;
    EXPECT_EQ(15, STR_FloatDigits(1.0 / 3, 20, digits, &point));
    EXPECT_EQ(0, point);
    EXPECT_EQ(1, STR_FloatDigits(0.0, 6, digits, &point));
    EXPECT_STREQ("0", digits);
    EXPECT_EQ(1, point);
    char exponent[8];
    EXPECT_EQ(5, STR_FormatExponent(exponent, 'E', -300));
    EXPECT_STREQ("E-300", exponent);
}

// --- Callers -------------------------------------------------------------------
// An unsupported conversion takes no argument, so every later one is shifted
// (a later %s then reads an integer as a pointer), and GCC's checks on Linux
// accept %zu, %hd and the like. Every format literal handed to the engine is
// checked here, and so are copies asked for "no limit", which copy nothing.

// Blanks comments out (keeping line breaks), leaving literals alone.
std::string WithoutComments(const std::string &text)
{
    std::string out = text;
    for (size_t i = 0; i < out.size(); i++) {
        char c = out[i];
        if (c == '"' || c == '\'') {
            for (i++; i < out.size() && out[i] != c && out[i] != '\n'; i++)
                if (out[i] == '\\')
                    i++;
        } else if (c == '/' && i + 1 < out.size() && out[i + 1] == '/') {
            for (; i < out.size() && out[i] != '\n'; i++)
                out[i] = ' ';
        } else if (c == '/' && i + 1 < out.size() && out[i + 1] == '*') {
            size_t end = out.find("*/", i + 2);
            end = end == std::string::npos ? out.size() : end + 2;
            for (; i < end; i++)
                if (out[i] != '\n')
                    out[i] = ' ';
            i--;
        }
    }
    return out;
}

// The arguments of the call whose '(' is at open, split at top-level commas.
std::vector<std::string> CallArguments(const std::string &text, size_t open)
{
    std::vector<std::string> args(1);
    int depth = 0;
    for (size_t i = open + 1; i < text.size(); i++) {
        char c = text[i];
        if (c == '"' || c == '\'') {
            size_t start = i;
            for (i++; i < text.size() && text[i] != c; i++)
                if (text[i] == '\\')
                    i++;
            args.back() += text.substr(start, i - start + 1);
            continue;
        }
        if (c == '(' || c == '[' || c == '{')
            depth++;
        if (c == ')' || c == ']' || c == '}') {
            if (depth-- == 0)
                return args;
        }
        if (c == ',' && depth == 0)
            args.emplace_back();
        else
            args.back() += c;
    }
    return {};
}

// The text of adjacent string literals; false when the argument is no literal.
bool LiteralText(const std::string &arg, std::string *text, bool *pieced)
{
    size_t i = arg.find_first_not_of(" \t\r\n");
    if (i == std::string::npos || arg[i] != '"')
        return false;
    *pieced = false;
    text->clear();
    while (i < arg.size()) {
        if (arg[i] == '"') {
            for (i++; i < arg.size() && arg[i] != '"'; i++) {
                if (arg[i] == '\\') {
                    *text += '?';  // an escape: never part of a specification here
                    i++;
                } else {
                    *text += arg[i];
                }
            }
            i++;
        } else if (strchr(" \t\r\n", arg[i])) {
            i++;
        } else {
            *pieced = true;  // a macro between literals, e.g. PRIu32
            return true;
        }
    }
    return true;
}

// "" when the engine prints the format as its author meant, else the fault.
std::string FormatFault(const std::string &f)
{
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] != '%')
            continue;
        size_t j = i + 1;
        while (j < f.size() && strchr("-+ #0123456789.*", f[j]))
            j++;
        size_t longs = 0;
        while (j < f.size() && f[j] == 'l') {
            j++;
            longs++;
        }
        if (j >= f.size())
            return "ends inside a specification";
        std::string spec = f.substr(i, j - i + 1);
        if (!strchr("diuoxXpcseEfgG%", f[j]))
            return "unsupported conversion " + spec;
        if (longs > 2 || (longs && strchr("pcseEfgG%", f[j])))
            return "length on " + spec;
        i = j;
    }
    return "";
}

TEST(StrCallers, FormatsAndCopyLimitsSuitTheEngine)
{
    const char *root = getenv("TLX_SOURCE_DIR");
    if (!root || !std::filesystem::is_directory(std::filesystem::path(root) / "runtime"))
        GTEST_SKIP() << "TLX_SOURCE_DIR not readable";
    struct User {
        const char *name;
        size_t formatArg;
    } users[] = {{"STR_Snprintf", 2},   {"STR_Vsnprintf", 2},        {"STR_TempPrintf", 0},
                 {"TEXTBUF_Printf", 1}, {"TEXTBUF_AppendPrintf", 1}, {"STR_VAppendf", 3},
                 {"STR_VFormat", 1},    {"STR_NameOrNumber", 4}};
    const char *noLimit[] = {"0xFFFFFFFF", "0xffffffff", "0xFFFFFFFFu", "0xffffffffu", "-1",
                             "UINT32_MAX", "UINT_MAX", "~0u", "~0U", "(uint32_t)-1",
                             "static_cast<uint32_t>(-1)", "(unsignedint)-1", "(unsigned)-1"};
    std::vector<std::string> faults;
    int checked = 0;
    for (const char *dir : {"runtime", "ppp", "src", "client", "include", "service"}) {
        std::filesystem::path base = std::filesystem::path(root) / dir;
        if (!std::filesystem::is_directory(base))
            continue;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(base)) {
            std::string ext = entry.path().extension().string();
            std::string file = entry.path().filename().string();
            if ((ext != ".cpp" && ext != ".h") || file == "str.cpp" || file == "str.h")
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            std::string text = WithoutComments(ss.str());
            auto where = [&](size_t pos) {
                return std::string(dir) + "/" + file + ":" +
                       std::to_string(1 + std::count(text.begin(), text.begin() + pos, '\n'));
            };
            auto calls = [&](const std::string &name, auto check) {
                for (size_t pos = text.find(name); pos != std::string::npos; pos = text.find(name, pos + 1)) {
                    if (pos > 0 && (isalnum(static_cast<unsigned char>(text[pos - 1])) || text[pos - 1] == '_'))
                        continue;
                    size_t open = text.find_first_not_of(" \t\r\n", pos + name.size());
                    if (open == std::string::npos || text[open] != '(')
                        continue;
                    check(CallArguments(text, open), where(pos));
                }
            };
            for (const User &u : users)
                calls(u.name, [&](const std::vector<std::string> &args, const std::string &at) {
                    std::string literal;
                    bool pieced;
                    if (args.size() <= u.formatArg || !LiteralText(args[u.formatArg], &literal, &pieced))
                        return;
                    checked++;
                    std::string fault = pieced ? "format pieced from macros" : FormatFault(literal);
                    if (!fault.empty())
                        faults.push_back(at + ": " + fault + " in \"" + literal + "\"");
                });
            auto bare = [](std::string s) {
                s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return isspace(static_cast<unsigned char>(c)); }),
                        s.end());
                return s;
            };
            calls("STR_Copy", [&](const std::vector<std::string> &args, const std::string &at) {
                if (args.size() == 4)
                    for (const char *n : noLimit)
                        if (bare(args[3]) == n)
                            faults.push_back(at + ": STR_Copy with maximum " + n + " copies nothing");
            });
            calls("TEXTBUF_Append", [&](const std::vector<std::string> &args, const std::string &at) {
                if (args.size() == 3 && bare(args[2])[0] == '-')
                    faults.push_back(at + ": TEXTBUF_Append with a negative count appends nothing");
            });
        }
    }
    for (const std::string &f : faults)
        ADD_FAILURE() << f;
    RecordProperty("formats_checked", checked);
}

}  // namespace
