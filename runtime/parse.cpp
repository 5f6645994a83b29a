// Number and IPv4 address parsing and formatting.
#include "parse.h"

#include "str.h"

#include <string.h>

namespace {

const char *SkipBlanks(const char *p)
{
    while (*p == ' ' || *p == '\t')
        p++;
    return p;
}

bool IsAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsNameByte(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' ||
           u >= 0x80;
}

// Value of a digit character in bases up to 36, or 36 for none.
uint32_t DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint32_t>(c - '0');
    if (c >= 'a' && c <= 'z')
        return static_cast<uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'Z')
        return static_cast<uint32_t>(c - 'A' + 10);
    return 36;
}

// Network-order word <-> host-order value, independent of the machine's order.
uint32_t ToHost(uint32_t net)
{
    uint8_t b[4];
    memcpy(b, &net, 4);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

uint32_t ToNet(uint32_t host)
{
    uint8_t b[4] = {uint8_t(host >> 24), uint8_t(host >> 16), uint8_t(host >> 8), uint8_t(host)};
    uint32_t net;
    memcpy(&net, b, 4);
    return net;
}

// All ones below the top n bits.
uint32_t HostMask(uint32_t n)
{
    return n >= 32 ? 0u : 0xFFFFFFFFu >> n;
}

int32_t ClampSize(uint32_t size)
{
    return size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(size);
}

// Copies and resolves the name at p; the kind, with the name's end in *after.
int ResolveName(IP_Resolver resolver, const char *p, IP_ResolveResult *result, const char **after)
{
    char name[IP_NAME_SIZE];
    if (!IP_CopyHostName(name, sizeof name, p, after))
        return IP_RESOLVE_NONE;
    memset(result, 0, sizeof *result);
    return resolver(result, name);
}

} // namespace

int NUM_ParseUnsigned(uint32_t *value, const char *text, int32_t maxDigits, const char **end,
                      int base)
{
    if (base != 0 && (base < 2 || base > 36)) {
        *value = 0;
        if (end)
            *end = text;
        return 0;
    }
    const char *p = SkipBlanks(text);
    if (base == 0) {
        base = 10;
        if (*p == '$' || *p == 'x' || *p == 'X') {
            base = 16;
            p++;
        } else if (*p == 'b' || *p == 'B') {
            base = 2;
            p++;
        } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
        } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) {
            base = 2;
            p += 2;
        } else if (p[0] == '0' && p[1] >= '0' && p[1] <= '7') {
            base = 8;
            p++;
        }
    }
    uint32_t v = 0;
    int digits = 0;
    for (; maxDigits < 0 || digits < maxDigits; p++, digits++) {
        uint32_t d = DigitValue(*p);
        if (d >= static_cast<uint32_t>(base))
            break;
        uint64_t next = uint64_t(v) * uint32_t(base) + d;
        if (next > 0xFFFFFFFFu) {
            if (end)
                *end = p;
            return 0;
        }
        v = static_cast<uint32_t>(next);
    }
    *value = v;
    if (end)
        *end = p;
    return digits;
}

int NUM_ParseSigned(int32_t *value, const char *text, int32_t maxDigits, const char **end,
                    int base)
{
    const char *p = SkipBlanks(text);
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        p++;
    }
    uint32_t u = 0;
    int digits = NUM_ParseUnsigned(&u, p, maxDigits, end, base);
    if (negative)
        u = 0u - u;
    *value = static_cast<int32_t>(u);
    return digits;
}

uint32_t IP_PrefixToMask(uint32_t prefix)
{
    return ToNet(~HostMask(prefix));
}

uint16_t IP_MaskToPrefix(const uint32_t *mask, int32_t *contiguous)
{
    uint32_t h = ToHost(*mask);
    if (h == 0) {
        if (contiguous)
            *contiguous = 1;
        return 0;
    }
    uint32_t zeros = 0;
    while (!(h & (1u << zeros)))
        zeros++;
    if (contiguous)
        *contiguous = (h >> zeros) == (0xFFFFFFFFu >> zeros);
    return static_cast<uint16_t>(32 - zeros);
}

uint16_t IP_RangeToPrefix(const IpRange *range)
{
    uint32_t start = ToHost(range->start);
    uint32_t end = ToHost(range->end);
    for (uint32_t n = 33; n-- > 0;) {
        uint32_t host = HostMask(n);
        if ((start & host) == 0 && end == start + host)
            return static_cast<uint16_t>(n);
    }
    return IP_NO_PREFIX;
}

char *IP_Format(char *out, uint32_t size, const void *addr)
{
    const uint8_t *b = static_cast<const uint8_t *>(addr);
    STR_Snprintf(out, ClampSize(size), "%u.%u.%u.%u", uint32_t(b[0]), uint32_t(b[1]),
                 uint32_t(b[2]), uint32_t(b[3]));
    return out;
}

const char *IP_ToString(const void *addr)
{
    thread_local char buffers[4][IP_TEXT_SIZE];
    thread_local uint32_t next = 0;
    char *out = buffers[next++ & 3];
    return IP_Format(out, IP_TEXT_SIZE, addr);
}

char *MAC_Format(char *out, uint32_t size, const void *mac)
{
    const uint8_t *b = static_cast<const uint8_t *>(mac);
    STR_Snprintf(out, ClampSize(size), "%02x-%02x-%02x-%02x-%02x-%02x", uint32_t(b[0]),
                 uint32_t(b[1]), uint32_t(b[2]), uint32_t(b[3]), uint32_t(b[4]), uint32_t(b[5]));
    return out;
}

const char *MAC_ToString(const void *mac)
{
    thread_local char buffers[4][MAC_TEXT_SIZE];
    thread_local uint32_t next = 0;
    char *out = buffers[next++ & 3];
    return MAC_Format(out, MAC_TEXT_SIZE, mac);
}

int IP_CopyHostName(char *out, uint32_t size, const char *text, const char **end)
{
    const char *name = SkipBlanks(text);
    const char *p = name;
    while (IsNameByte(*p))
        p++;
    size_t len = static_cast<size_t>(p - name);
    if (len + 1 > size) {
        if (end)
            *end = name;
        return 0;
    }
    memcpy(out, name, len);
    out[len] = '\0';
    if (end)
        *end = p;
    return 1;
}

int IP_ParseAddress(void *out, const char *text, const char **end, IP_Resolver resolver)
{
    const char *p = SkipBlanks(text);
    uint8_t bytes[4];
    const char *q = p;
    bool dotted = true;
    for (int i = 0; i < 4 && dotted; i++) {
        if (i > 0) {
            if (*q != '.') {
                dotted = false;
                break;
            }
            q++;
        }
        uint32_t v;
        if (NUM_ParseUnsigned(&v, q, -1, &q, 10) == 0 || v > 255)
            dotted = false;
        else
            bytes[i] = static_cast<uint8_t>(v);
    }
    if (dotted) {
        memcpy(out, bytes, 4);
        if (end)
            *end = q;
        return 1;
    }

    if (resolver && IsAsciiLetter(*p)) {
        IP_ResolveResult r;
        const char *after;
        uint32_t addr = 0;
        bool ok = false;
        switch (ResolveName(resolver, p, &r, &after)) {
        case IP_RESOLVE_ADDRESS:
            addr = r.value1;
            ok = true;
            break;
        case IP_RESOLVE_RANGE:
            addr = r.value1;
            ok = r.value1 == r.value2.end;
            break;
        case IP_RESOLVE_LIST:
            ok = r.value1 == 1 && r.value2.ranges && r.value2.ranges[0].start == r.value2.ranges[0].end;
            if (ok)
                addr = r.value2.ranges[0].start;
            break;
        default:
            break;
        }
        if (ok) {
            memcpy(out, &addr, 4);
            if (end)
                *end = after;
            return 1;
        }
    }
    if (end)
        *end = text;
    return 0;
}

int IP_ParseRange(IpRange *range, const char *text, const char **end, IP_Resolver resolver)
{
    if (end)
        *end = text;
    const char *p = SkipBlanks(text);

    if (resolver && IsAsciiLetter(*p)) {
        IP_ResolveResult r;
        int kind = ResolveName(resolver, p, &r, &p);
        if (kind == IP_RESOLVE_ADDRESS) {
            range->start = range->end = r.value1;
        } else if (kind == IP_RESOLVE_RANGE) {
            range->start = r.value1;
            range->end = r.value2.end;
        } else if (kind == IP_RESOLVE_LIST && r.value1 == 1 && r.value2.ranges) {
            *range = r.value2.ranges[0];
        } else {
            return 0;
        }
        if (kind != IP_RESOLVE_ADDRESS && range->start != range->end) {
            if (end)
                *end = p;
            return 1;
        }
    } else if (!IP_ParseAddress(&range->start, p, &p, nullptr)) {
        return 0;
    }

    p = SkipBlanks(p);
    if (*p == '/') {
        uint32_t prefix;
        uint32_t mask;
        const char *after;
        if (IP_ParseAddress(&mask, p + 1, &after, nullptr)) {
            // A dotted mask that is not a prefix mask is an error, never a number.
            int32_t contiguous;
            prefix = IP_MaskToPrefix(&mask, &contiguous);
            if (!contiguous)
                return 0;
        } else {
            int32_t n;
            if (NUM_ParseSigned(&n, p + 1, -1, &after, 10) == 0 || static_cast<uint32_t>(n) > 32)
                return 0;
            prefix = static_cast<uint32_t>(n);
        }
        uint32_t host = HostMask(prefix);
        uint32_t start = ToHost(range->start);
        if (start & host)
            return 0;
        range->end = ToNet(start + host);
        p = after;
    } else if (*p == '-') {
        if (!IP_ParseAddress(&range->end, p + 1, &p, resolver))
            return 0;
        if (ToHost(range->end) < ToHost(range->start))
            return 0;
    } else {
        range->end = range->start;
    }
    if (end)
        *end = p;
    return 1;
}
