#include "parse.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

// The system's own IPv4 text parser (C library / Winsock), the independent
// peer. Declared here so that no network header is needed; AF_INET is 2 on
// both systems.
extern "C" int inet_pton(int family, const char *text, void *out);

namespace {

const int kAfInet = 2;

std::string Addr(uint32_t net)
{
    return IP_ToString(&net);
}

// The network-order word of a dotted text, read by the system parser.
uint32_t NetOf(const char *dotted)
{
    uint32_t a = 0;
    EXPECT_EQ(inet_pton(kAfInet, dotted, &a), 1) << dotted;
    return a;
}

TEST(NumParse, UnsignedAgreesWithStrtoull)
{
    std::mt19937 rng(7);
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int i = 0; i < 200000; i++) {
        int base = 2 + int(rng() % 35);
        std::string s(rng() % 3, ' ');
        if (!s.empty() && rng() % 2)
            s[0] = '\t';
        size_t blanks = s.size();
        int len = 1 + int(rng() % 12);
        for (int k = 0; k < len; k++) {
            // Mostly digits of the base, so that long numbers occur.
            char c = rng() % 8 ? digits[rng() % base] : digits[rng() % 62];
            s += c;
        }
        const char *t = s.c_str() + blanks;
        if (t[0] == '0' && strchr("xXbB", t[1]))
            continue;  // strtoull's own prefixes
        int32_t maxDigits = rng() % 4 ? -1 : int32_t(rng() % 6);

        std::string limited = maxDigits < 0 ? s : s.substr(0, blanks + size_t(maxDigits));
        char *oracleEnd;
        errno = 0;
        unsigned long long want = strtoull(limited.c_str(), &oracleEnd, base);
        ASSERT_EQ(errno, 0) << s;
        size_t wantEnd = size_t(oracleEnd - limited.c_str());

        uint32_t value = 0xAAAAAAAAu;
        const char *end = nullptr;
        int got = NUM_ParseUnsigned(&value, s.c_str(), maxDigits, &end, base);
        size_t gotEnd = size_t(end - s.c_str());
        if (wantEnd == 0) {  // no digits at all
            ASSERT_EQ(got, 0) << s;
            ASSERT_EQ(value, 0u) << s;
            ASSERT_EQ(gotEnd, blanks) << s;
        } else if (want <= 0xFFFFFFFFull) {
            ASSERT_EQ(got, int(wantEnd - blanks)) << s << " base " << base;
            ASSERT_EQ(value, want) << s;
            ASSERT_EQ(gotEnd, wantEnd) << s;
        } else {
            // Fails at the first digit that takes the value past 32 bits.
            size_t k = blanks + 1;
            while (strtoull(s.substr(0, k).c_str(), nullptr, base) <= 0xFFFFFFFFull)
                k++;
            ASSERT_EQ(got, 0) << s;
            ASSERT_EQ(gotEnd, k - 1) << s << " base " << base;
        }
    }
}

TEST(NumParse, PrefixesLimitsAndSigns)
{
    struct Row {
        const char *text;
        int base;
        int32_t maxDigits;
        int digits;
        uint32_t value;
        int endAt;
    } rows[] = {
        {"0x1F", 0, -1, 2, 31, 4},      {"$ff", 0, -1, 2, 255, 3},
        {"017", 0, -1, 2, 15, 3},       {"09", 0, -1, 2, 9, 2},
        {"08", 0, -1, 2, 8, 2},         {"b101", 0, -1, 3, 5, 4},
        {"0b101", 0, -1, 3, 5, 5},      {"0x", 0, -1, 0, 0, 2},
        {"0", 0, -1, 1, 0, 1},          {"X7", 0, -1, 1, 7, 2},
        {"0x1F", 16, -1, 1, 0, 1},      {"4294967295", 10, -1, 10, 4294967295u, 10},
        {"4294967296", 10, -1, 0, 0, 9}, {" \t42abc", 10, -1, 2, 42, 4},
        {"12345", 10, 2, 2, 12, 2},     {"12345", 10, 0, 0, 0, 0},
        {"+5", 10, -1, 0, 0, 0},        {"zz", 36, -1, 2, 1295, 2},
        {"ffffffff", 16, -1, 8, 0xFFFFFFFFu, 8}, {"100000000", 16, -1, 0, 0, 8},
        {"7", 1, -1, 0, 0, 0},          {" 7", 37, -1, 0, 0, 0},
    };
    for (const Row &r : rows) {
        uint32_t value = 0xAAAAAAAAu;
        const char *end = nullptr;
        int got = NUM_ParseUnsigned(&value, r.text, r.maxDigits, &end, r.base);
        EXPECT_EQ(got, r.digits) << r.text;
        if (got > 0 || r.endAt == 0) {
            EXPECT_EQ(value, r.value) << r.text;
        }
        EXPECT_EQ(end - r.text, r.endAt) << r.text;
    }

    struct SignedRow {
        const char *text;
        int digits;
        int32_t value;
    } signedRows[] = {
        {"-5", 1, -5}, {"+7", 1, 7}, {"  - 12", 2, -12}, {"-2147483648", 10, INT32_MIN},
        {"4294967295", 10, -1}, {"-", 0, 0},
    };
    for (const SignedRow &r : signedRows) {
        int32_t value = 99;
        EXPECT_EQ(NUM_ParseSigned(&value, r.text, -1, nullptr, 10), r.digits) << r.text;
        EXPECT_EQ(value, r.value) << r.text;
    }
}

// Blanks removed and leading zeros stripped per number: the text inet_pton takes.
std::string Canonical(const std::string &s)
{
    std::string out, number;
    auto flush = [&] {
        size_t nz = number.find_first_not_of('0');
        out += nz == std::string::npos ? (number.empty() ? "" : "0") : number.substr(nz);
        number.clear();
    };
    for (char c : s) {
        if (c == ' ' || c == '\t')
            continue;
        if (c == '.') {
            flush();
            out += '.';
        } else {
            number += c;
        }
    }
    flush();
    return out;
}

TEST(IpParse, AddressAgreesWithInetPton)
{
    std::mt19937 rng(11);
    const char alphabet[] = "0123456789012345678901234567890123456789....  \txx+aZ";
    int accepted = 0;
    for (int i = 0; i < 200000; i++) {
        std::string s;
        if (rng() % 2) {
            // Near-addresses: four numbers with noise, so acceptance is common.
            for (int k = 0; k < 4; k++) {
                if (k)
                    s += rng() % 20 ? "." : "..";
                if (rng() % 6 == 0)
                    s += rng() % 2 ? " " : "\t";
                if (rng() % 6 == 0)
                    s += '0';
                s += std::to_string(rng() % (rng() % 8 ? 256 : 1000));
            }
            if (rng() % 4 == 0)
                s += alphabet[rng() % (sizeof alphabet - 1)];
        } else {
            size_t len = 1 + rng() % 20;
            for (size_t k = 0; k < len; k++)
                s += alphabet[rng() % (sizeof alphabet - 1)];
        }

        uint32_t peer = 0;
        bool peerOk = inet_pton(kAfInet, s.c_str(), &peer) == 1;
        uint32_t ours = 0x5A5A5A5Au;
        const char *end = nullptr;
        bool ok = IP_ParseAddress(&ours, s.c_str(), &end, nullptr) == 1;
        if (peerOk) {
            ASSERT_TRUE(ok) << s;
            ASSERT_EQ(ours, peer) << s;
            ASSERT_EQ(*end, '\0') << s;
        }
        if (ok) {
            accepted++;
            std::string canon = Canonical(s.substr(0, size_t(end - s.c_str())));
            uint32_t again = 0;
            ASSERT_EQ(inet_pton(kAfInet, canon.c_str(), &again), 1) << s << " -> " << canon;
            ASSERT_EQ(again, ours) << s;
        } else {
            ASSERT_EQ(ours, 0x5A5A5A5Au) << s;
            ASSERT_EQ(end, s.c_str()) << s;
        }
    }
    EXPECT_GT(accepted, 20000);
}

TEST(IpParse, WhereAddressParsingDiffersFromInetPton)
{
    struct Row {
        const char *text;
        const char *address;  // null: fails
        const char *rest;     // text left at the end pointer
    } rows[] = {
        {"010.1.1.1", "10.1.1.1", ""},     {"0001.2.3.4", "1.2.3.4", ""},
        {"08.1.1.1", "8.1.1.1", ""},       {" \t1.2.3.4", "1.2.3.4", ""},
        {"1. 2.\t3. 4", "1.2.3.4", ""},    {"1.2.3.4 xyz", "1.2.3.4", " xyz"},
        {"1.2.3.4abc", "1.2.3.4", "abc"},  {"1.2.3.4.5", "1.2.3.4", ".5"},
        {"1.2.3.4\n", "1.2.3.4", "\n"},    {"1 .2.3.4", nullptr, nullptr},
        {"0x7f.0.0.1", nullptr, nullptr},  {"127.1", nullptr, nullptr},
        {"167772161", nullptr, nullptr},   {"+1.2.3.4", nullptr, nullptr},
        {"1.2.3.256", nullptr, nullptr},   {"1..2.3", nullptr, nullptr},
        {"1.2.3.4294967296", nullptr, nullptr}, {"gateway", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const Row &r : rows) {
        uint32_t a = 0x5A5A5A5Au;
        const char *end = nullptr;
        int ok = IP_ParseAddress(&a, r.text, &end, nullptr);
        EXPECT_EQ(ok, r.address != nullptr) << r.text;
        if (r.address) {
            EXPECT_EQ(Addr(a), r.address) << r.text;
            EXPECT_STREQ(end, r.rest) << r.text;
        } else {
            EXPECT_EQ(a, 0x5A5A5A5Au) << r.text;
            EXPECT_EQ(end, r.text) << r.text;
        }
    }
}

TEST(IpParse, RangesAndTheirPrefixes)
{
    struct Row {
        const char *text;
        const char *start;  // null: fails
        const char *end;
        uint16_t prefix;
        const char *rest;
    } rows[] = {
        {"10.1.0.0/16", "10.1.0.0", "10.1.255.255", 16, ""},
        {"10.1.0.0 / 16 tail", "10.1.0.0", "10.1.255.255", 16, " tail"},
        {"10.1.0.0/255.255.0.0", "10.1.0.0", "10.1.255.255", 16, ""},
        {"0.0.0.0/0", "0.0.0.0", "255.255.255.255", 0, ""},
        {"1.2.3.4/32", "1.2.3.4", "1.2.3.4", 32, ""},
        {"1.2.3.4/255.255.255.255", "1.2.3.4", "1.2.3.4", 32, ""},
        {"10.0.0.1-10.0.0.5", "10.0.0.1", "10.0.0.5", IP_NO_PREFIX, ""},
        {"10.0.0.0 - 10.0.0.255", "10.0.0.0", "10.0.0.255", 24, ""},
        {"10.0.0.1-10.0.0.1", "10.0.0.1", "10.0.0.1", 32, ""},
        {"1.2.3.4", "1.2.3.4", "1.2.3.4", 32, ""},
        {"1.2.3.4.5", "1.2.3.4", "1.2.3.4", 32, ".5"},
        {"1.2.3.4  x", "1.2.3.4", "1.2.3.4", 32, "x"},
        {"10.1.0.1/16", nullptr, nullptr, 0, nullptr},
        {"10.1.0.0/255.0.255.0", nullptr, nullptr, 0, nullptr},
        {"0.0.0.0/0.255.255.255", nullptr, nullptr, 0, nullptr},  // not read as "/0"
        {"10.0.0.0/8.0.0.0", nullptr, nullptr, 0, nullptr},       // not read as "/8"
        {"10.0.0.0/33", nullptr, nullptr, 0, nullptr},
        {"10.0.0.0/-1", nullptr, nullptr, 0, nullptr},
        {"10.0.0.0/", nullptr, nullptr, 0, nullptr},
        {"10.0.0.5-10.0.0.1", nullptr, nullptr, 0, nullptr},
        {"10.0.0.5-", nullptr, nullptr, 0, nullptr},
        {"256.0.0.1", nullptr, nullptr, 0, nullptr},
        {"1.2.3", nullptr, nullptr, 0, nullptr},
    };
    for (const Row &r : rows) {
        IpRange range{};
        const char *end = nullptr;
        int ok = IP_ParseRange(&range, r.text, &end, nullptr);
        ASSERT_EQ(ok, r.start != nullptr) << r.text;
        if (!ok) {
            EXPECT_EQ(end, r.text) << r.text;
            continue;
        }
        EXPECT_EQ(Addr(range.start), r.start) << r.text;
        EXPECT_EQ(Addr(range.end), r.end) << r.text;
        EXPECT_STREQ(end, r.rest) << r.text;
        EXPECT_EQ(IP_RangeToPrefix(&range), r.prefix) << r.text;
    }
}

TEST(IpParse, MaskAndRangePrefixes)
{
    struct { const char *mask; uint16_t prefix; int32_t contiguous; } masks[] = {
        {"255.255.255.0", 24, 1}, {"255.0.255.0", 24, 0}, {"0.0.0.0", 0, 1},
        {"255.255.255.255", 32, 1}, {"128.0.0.0", 1, 1}, {"0.0.0.1", 32, 0},
    };
    for (const auto &m : masks) {
        uint32_t net = NetOf(m.mask);
        int32_t contiguous = -1;
        EXPECT_EQ(IP_MaskToPrefix(&net, &contiguous), m.prefix) << m.mask;
        EXPECT_EQ(contiguous, m.contiguous) << m.mask;
        EXPECT_EQ(IP_MaskToPrefix(&net, nullptr), m.prefix) << m.mask;
    }
    struct { const char *start, *end; uint16_t prefix; } ranges[] = {
        {"10.0.0.0", "10.0.0.255", 24}, {"10.0.0.7", "10.0.0.7", 32},
        {"0.0.0.0", "255.255.255.255", 0}, {"10.0.0.1", "10.0.0.5", IP_NO_PREFIX},
        {"128.0.0.0", "255.255.255.255", 1}, {"0.0.0.0", "127.255.255.255", 1},
        {"10.0.0.1", "10.0.0.2", IP_NO_PREFIX}, {"10.0.0.2", "10.0.0.1", IP_NO_PREFIX},
    };
    for (const auto &r : ranges) {
        IpRange range{NetOf(r.start), NetOf(r.end)};
        EXPECT_EQ(IP_RangeToPrefix(&range), r.prefix) << r.start << "-" << r.end;
    }
}

TEST(IpFormat, AddressesAndHardwareAddresses)
{
    const uint8_t a[4] = {192, 168, 1, 10};
    const uint8_t top[4] = {255, 255, 255, 255};
    const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const char *first = IP_ToString(a);
    EXPECT_STREQ(first, "192.168.1.10");
    EXPECT_STREQ(IP_ToString(top), "255.255.255.255");
    const char *third = IP_ToString(a);
    IP_ToString(a);
    EXPECT_STREQ(first, "192.168.1.10");  // four buffers in turn
    EXPECT_EQ(IP_ToString(top), first);
    EXPECT_STREQ(first, "255.255.255.255");
    EXPECT_NE(third, first);

    const char *m = MAC_ToString(mac);
    EXPECT_STREQ(m, "00-1a-2b-3c-4d-5e");
    for (int i = 0; i < 3; i++)
        EXPECT_NE(MAC_ToString(mac), m);
    EXPECT_EQ(MAC_ToString(mac), m);

    char small[8];
    memset(small, '#', sizeof small);
    EXPECT_STREQ(IP_Format(small, 6, a), "192.1");
    EXPECT_EQ(small[6], '#');
    EXPECT_STREQ(MAC_Format(small, 8, mac), "00-1a-2");
}

TEST(IpParse, HostNamesAndResolvers)
{
    char name[8];
    const char *end;
    const char *text = " \tgw-1.x_ rest";
    ASSERT_EQ(IP_CopyHostName(name, sizeof name, text, &end), 1);
    EXPECT_STREQ(name, "gw-1.x_");  // 7 characters and the NUL fit exactly
    EXPECT_STREQ(end, " rest");
    ASSERT_EQ(IP_CopyHostName(name, 7, text, &end), 0);
    EXPECT_EQ(end, text + 2);
    ASSERT_EQ(IP_CopyHostName(name, 1, "/x", &end), 1);
    EXPECT_STREQ(name, "");

    // The resolver answers by the name's first letter.
    static const IpRange one[1] = {{0x0100000A, 0x0100000A}};
    static const IpRange span[1] = {{0x0000000A, 0xFF00000A}};
    IP_Resolver resolver = [](IP_ResolveResult *r, const char *n) -> int {
        switch (n[0]) {
        case 'a': r->value1 = 0x0100000A; return IP_RESOLVE_ADDRESS;
        case 'b': r->value1 = r->value2.end = 0x0200000A; return IP_RESOLVE_RANGE;
        case 'c': r->value1 = 0x0000000A; r->value2.end = 0xFF00000A; return IP_RESOLVE_RANGE;
        case 'd': r->value1 = 1; r->value2.ranges = one; return IP_RESOLVE_LIST;
        case 'e': r->value1 = 1; r->value2.ranges = span; return IP_RESOLVE_LIST;
        case 'f': r->value1 = 2; r->value2.ranges = one; return IP_RESOLVE_LIST;
        default: return IP_RESOLVE_NONE;
        }
    };
    struct Row {
        const char *text;
        const char *address;                // IP_ParseAddress; null fails
        const char *start, *last, *rest;    // IP_ParseRange; null fails
    } rows[] = {
        {"alpha", "10.0.0.1", "10.0.0.1", "10.0.0.1", ""},
        {"alpha/24 x", "10.0.0.1", nullptr, nullptr, nullptr},  // host bits under the prefix
        {"beta", "10.0.0.2", "10.0.0.2", "10.0.0.2", ""},
        {"cat/8", nullptr, "10.0.0.0", "10.0.0.255", "/8"},     // a range is complete as it is
        {"dog - 10.0.0.9", "10.0.0.1", "10.0.0.1", "10.0.0.9", ""},  // "-" belongs to names
        {"dog-10.0.0.9", "10.0.0.1", "10.0.0.1", "10.0.0.1", ""},
        {"eel", nullptr, "10.0.0.0", "10.0.0.255", ""},
        {"fox", nullptr, nullptr, nullptr, nullptr},
        {"zed", nullptr, nullptr, nullptr, nullptr},
    };
    for (const Row &r : rows) {
        uint32_t a = 0;
        EXPECT_EQ(IP_ParseAddress(&a, r.text, nullptr, resolver), r.address != nullptr) << r.text;
        if (r.address) {
            EXPECT_EQ(Addr(a), r.address) << r.text;
        }
        IpRange range{};
        int ok = IP_ParseRange(&range, r.text, &end, resolver);
        EXPECT_EQ(ok, r.start != nullptr) << r.text;
        if (ok) {
            EXPECT_EQ(Addr(range.start), r.start) << r.text;
            EXPECT_EQ(Addr(range.end), r.last) << r.text;
            EXPECT_STREQ(end, r.rest) << r.text;
        }
    }
    // Without a resolver names fail.
    uint32_t a = 7;
    EXPECT_EQ(IP_ParseAddress(&a, "alpha", nullptr, nullptr), 0);
}

} // namespace
