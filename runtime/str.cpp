// Bounded strings, text buffers and the format engine.
#include "str.h"

#include <climits>
#include <cstring>

#include "sync.h"

namespace {

const char kLower[] = "0123456789abcdefghijklmnopqrstuvwxyz";
const char kUpper[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Widths and precisions are clamped here so that the counts stay in range;
// padding is a counted fill, so even this much costs nothing when cut.
const int32_t kMaxField = 0x3FFFFFFF;

// Writes the digits of v in base before end; returns where they start.
inline char *DigitsBackward(char *end, uint64_t v, uint32_t base, const char *alphabet)
{
    char *p = end;
    if (v <= UINT32_MAX) {
        uint32_t w = static_cast<uint32_t>(v);
        switch (base) {  // constant divisors for the common bases
        case 10: do { *--p = static_cast<char>('0' + w % 10); w /= 10; } while (w); break;
        case 16: do { *--p = alphabet[w & 15]; w >>= 4; } while (w); break;
        case 8:  do { *--p = static_cast<char>('0' + (w & 7)); w >>= 3; } while (w); break;
        default: do { *--p = alphabet[w % base]; w /= base; } while (w); break;
        }
        return p;
    }
    switch (base) {
    case 10: do { *--p = static_cast<char>('0' + v % 10); v /= 10; } while (v); break;
    case 16: do { *--p = alphabet[v & 15]; v >>= 4; } while (v); break;
    case 8:  do { *--p = static_cast<char>('0' + (v & 7)); v >>= 3; } while (v); break;
    default: do { *--p = alphabet[v % base]; v /= base; } while (v); break;
    }
    return p;
}

// Copies what fits of n raw bytes and keeps the buffer terminated. Raw, so
// that a %c of 0 is stored and counted like any other character.
inline void Put(TextBuf *tb, const char *p, int64_t n)
{
    int64_t room = static_cast<int64_t>(tb->capacity) - 1 - tb->length;
    if (n <= 0 || room <= 0 || tb->length < 0)
        return;
    if (n > room)
        n = room;
    memcpy(tb->data + tb->length, p, static_cast<size_t>(n));
    tb->length += static_cast<int32_t>(n);
    tb->data[tb->length] = '\0';
}

inline void Fill(TextBuf *tb, char c, int64_t n)
{
    int64_t room = static_cast<int64_t>(tb->capacity) - 1 - tb->length;
    if (n <= 0 || room <= 0 || tb->length < 0)
        return;
    if (n > room)
        n = room;
    memset(tb->data + tb->length, c, static_cast<size_t>(n));
    tb->length += static_cast<int32_t>(n);
    tb->data[tb->length] = '\0';
}

// A decimal number as NUM_ParseSigned reads it in base 10: blanks and tabs, an
// optional sign, more blanks, digits while the value fits 32 bits (an
// overflowing digit ends the number as a failure, value 0), the result taken
// modulo 2^32. Returns the end.
const char *ParseDecimal(const char *p, int32_t *value)
{
    while (*p == ' ' || *p == '\t')
        p++;
    bool negative = false;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    while (*p == ' ' || *p == '\t')
        p++;
    uint32_t v = 0;
    while (*p >= '0' && *p <= '9') {
        uint32_t d = static_cast<uint32_t>(*p - '0');
        if (v > 0x19999999u || (v == 0x19999999u && d > 5)) {
            *value = 0;
            return p;
        }
        v = v * 10 + d;
        p++;
    }
    *value = static_cast<int32_t>(negative ? 0u - v : v);
    return p;
}

struct Spec {
    bool left;
    bool alternate;
    bool zero;
    char sign;          // 0, '+', ' ' or '-'
    int32_t width;
    int32_t precision;  // -1: none
    int longs;          // count of 'l'
};

// Layout of one converted text: [blanks] [sign] [prefix] [zero pad] [zeros]
// body [blanks]. Lead() writes up to the body and returns the pad; the caller
// writes the body and calls Trail().
int64_t PadFor(const Spec &s, int64_t length)
{
    int64_t pad = static_cast<int64_t>(s.width) - length - (s.sign ? 1 : 0);
    return pad > 0 ? pad : 0;
}

void Lead(TextBuf *tb, const Spec &s, int64_t pad, const char *prefix, int32_t prefixLength,
          int64_t zeros)
{
    if (pad && !s.left && !s.zero)
        Fill(tb, ' ', pad);
    if (s.sign)
        Put(tb, &s.sign, 1);
    Put(tb, prefix, prefixLength);
    if (pad && !s.left && s.zero)
        Fill(tb, '0', pad);
    Fill(tb, '0', zeros);
}

inline void Trail(TextBuf *tb, const Spec &s, int64_t pad)
{
    if (pad && s.left)
        Fill(tb, ' ', pad);
}

int64_t EmitText(TextBuf *tb, const Spec &s, const char *text, int64_t length)
{
    int64_t pad = PadFor(s, length);
    Lead(tb, s, pad, nullptr, 0, 0);
    Put(tb, text, length);
    Trail(tb, s, pad);
    return length + pad + (s.sign ? 1 : 0);
}

// Integer layout follows C where the engine leaves it open: the precision
// counts digits only, and the '#' prefix stands before the zeros.
int64_t EmitInteger(TextBuf *tb, Spec &s, uint64_t value, char conversion)
{
    char buf[24];
    char *end = buf + sizeof buf;
    uint32_t base = conversion == 'o' ? 8 : (conversion == 'd' || conversion == 'u') ? 10 : 16;
    const char *start = DigitsBackward(end, value, base, conversion == 'X' ? kUpper : kLower);
    int64_t digits = end - start;

    const char *prefix = nullptr;
    int32_t prefixLength = 0;
    if (s.alternate && value != 0) {
        if (conversion == 'o') {
            prefix = "0";
            prefixLength = 1;
        } else if (conversion == 'x' || conversion == 'p') {
            prefix = "0x";
            prefixLength = 2;
        } else if (conversion == 'X') {
            prefix = "0X";
            prefixLength = 2;
        }
    }
    int64_t zeros = 0;
    if (s.precision > 0) {
        s.zero = false;
        if (s.precision > digits)
            zeros = s.precision - digits;
        if (zeros && conversion == 'o')
            prefixLength = 0;  // the precision zeros already lead with 0
    }
    int64_t length = prefixLength + zeros + digits;
    int64_t pad = PadFor(s, length);
    Lead(tb, s, pad, prefix, prefixLength, zeros);
    Put(tb, start, digits);
    Trail(tb, s, pad);
    return length + pad + (s.sign ? 1 : 0);
}

int64_t EmitFloat(TextBuf *tb, Spec &s, double value, char conversion)
{
    if (STR_IsNaN(value))
        return EmitText(tb, s, "NaN", 3);
    if (value < 0)
        s.sign = '-';
    if (STR_IsInf(value))
        return EmitText(tb, s, "Inf", 3);
    int32_t precision = s.precision < 0 ? 6 : s.precision;
    int64_t length = STR_FormatFloat(nullptr, value, conversion, precision, s.alternate);
    int64_t pad = PadFor(s, length);
    Lead(tb, s, pad, nullptr, 0, 0);
    STR_FormatFloat(tb, value, conversion, precision, s.alternate);
    Trail(tb, s, pad);
    return length + pad + (s.sign ? 1 : 0);
}

inline int32_t ClampField(int64_t v)
{
    return v < 0 ? 0 : v > kMaxField ? kMaxField : static_cast<int32_t>(v);
}

inline int32_t Saturate(int64_t count)
{
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

}  // namespace

// --- Copies -------------------------------------------------------------------

uint32_t STR_Copy(char *dst, uint32_t size, const char *src, uint32_t maxChars)
{
    if (!dst || size >= STR_MAX_COPY_SIZE)
        return 0;
    uint32_t n = maxChars + 1u;  // 0 for a maximum of 0xFFFFFFFF, as specified
    if (size < n)
        n = size;
    if (n == 0)
        return 0;
    uint32_t count = 0;
    if (src) {
        const void *nul = memchr(src, '\0', n - 1);
        count = nul ? static_cast<uint32_t>(static_cast<const char *>(nul) - src) : n - 1;
        memmove(dst, src, count);
    }
    dst[count] = '\0';
    return count;
}

uint32_t STR_LCopy(char *dst, const char *src, uint32_t size)
{
    if (!dst || size >= STR_MAX_COPY_SIZE)
        return 0;
    size_t length = src ? strlen(src) : 0;
    if (size >= 1) {
        size_t count = length < size - 1 ? length : size - 1;
        memmove(dst, src ? src : "", count);
        dst[count] = '\0';
    }
    return static_cast<uint32_t>(length);
}

// --- Text buffers ---------------------------------------------------------------

TextBuf *TEXTBUF_Clear(TextBuf *tb)
{
    if (!tb)
        return tb;
    if (tb->data && tb->capacity >= 1)
        tb->data[0] = '\0';
    tb->length = 0;
    return tb;
}

int32_t TEXTBUF_Terminate(TextBuf *tb)
{
    if (!tb)
        return 0;
    if (!tb->data || tb->capacity < 1 || tb->length < 0) {
        tb->length = 0;
        if (tb->data && tb->capacity >= 1)
            tb->data[0] = '\0';
        return 0;
    }
    if (tb->length > tb->capacity - 1)
        tb->length = tb->capacity - 1;
    tb->data[tb->length] = '\0';
    return tb->length;
}

int32_t TEXTBUF_Assign(TextBuf *tb, const char *text)
{
    if (!tb)
        return 0;
    uint32_t capacity = static_cast<uint32_t>(tb->capacity);
    tb->length = static_cast<int32_t>(STR_Copy(tb->data, capacity, text, capacity));
    return tb->length;
}

int32_t TEXTBUF_Append(TextBuf *tb, const char *text, int32_t count)
{
    if (!tb)
        return 0;
    if (tb->data && tb->length >= 0 && tb->length < tb->capacity - 1 && count >= 1) {
        uint32_t room = static_cast<uint32_t>(tb->capacity - tb->length);
        tb->length += static_cast<int32_t>(
            STR_Copy(tb->data + tb->length, room, text, static_cast<uint32_t>(count)));
    }
    return tb->length;
}

TextBuf *TEXTBUF_AppendChar(TextBuf *tb, char c)
{
    if (tb && tb->data && tb->length >= 0 && tb->length < tb->capacity - 1)
        tb->data[tb->length++] = c;
    return tb;
}

char *TEXTBUF_Truncate(TextBuf *tb, int32_t position)
{
    if (!tb)
        return nullptr;
    if (position <= tb->length) {
        if (position < 0)
            position = 0;
        if (tb->data && position < tb->capacity)
            tb->data[position] = '\0';
        tb->length = position;
    }
    return tb->data;
}

char *TEXTBUF_Tail(TextBuf *tb, int32_t count)
{
    if (!tb)
        return nullptr;
    if (count < 0)
        count = 0;
    if (count > tb->length)
        return tb->data;
    return tb->data + (tb->length - count);
}

int32_t TEXTBUF_EnsureSpace(TextBuf *tb)
{
    if (!tb)
        return 0;
    if (tb->data && tb->length > 0 && tb->length < tb->capacity - 1 &&
        tb->data[tb->length - 1] != ' ') {
        tb->data[tb->length++] = ' ';
        tb->data[tb->length] = '\0';
    }
    return tb->length;
}

int TEXTBUF_Printf(TextBuf *tb, const char *format, ...)
{
    if (!tb)
        return 0;
    TEXTBUF_Clear(tb);
    va_list ap;
    va_start(ap, format);
    int fitted = STR_VAppendf(tb->data, tb->capacity, &tb->length, format, ap);
    va_end(ap);
    return fitted;
}

int TEXTBUF_AppendPrintf(TextBuf *tb, const char *format, ...)
{
    if (!tb)
        return 0;
    TEXTBUF_EnsureSpace(tb);
    va_list ap;
    va_start(ap, format);
    int fitted = STR_VAppendf(tb->data, tb->capacity, &tb->length, format, ap);
    va_end(ap);
    return fitted;
}

// --- The engine -----------------------------------------------------------------

int32_t STR_VFormat(TextBuf *tb, const char *format, va_list args)
{
    if (!tb || !tb->data || !format)
        return 0;
    va_list ap;
    va_copy(ap, args);
    int64_t count = 0;
    const char *p = format;
    for (;;) {
        const char *run = p;
        while (*p && *p != '%')
            p++;
        if (p != run) {
            Put(tb, run, p - run);
            count += p - run;
        }
        if (!*p)
            break;
        p++;

        Spec s = {false, false, false, 0, 0, -1, 0};
        char conversion = 0;
        while (!conversion) {
            char c = *p;
            if (!c)
                goto done;  // the format ends inside a specification
            switch (c) {
            case '-': s.left = true; p++; break;
            case '+': s.sign = '+'; p++; break;
            case ' ': if (!s.sign) s.sign = ' '; p++; break;
            case '#': s.alternate = true; p++; break;
            case '0': s.zero = true; p++; break;
            case 'h': p++; break;
            case 'l': s.longs++; p++; break;
            case '*': {
                int64_t w = va_arg(ap, int);
                if (w < 0) {
                    s.left = true;
                    w = -w;
                }
                s.width = ClampField(w);
                p++;
                break;
            }
            case '.': {
                p++;
                int32_t v;
                if (*p == '*') {
                    v = va_arg(ap, int);
                    p++;
                } else {
                    p = ParseDecimal(p, &v);
                }
                s.precision = ClampField(v);
                break;
            }
            default:
                if (c >= '1' && c <= '9') {
                    int32_t v;
                    p = ParseDecimal(p, &v);
                    s.width = ClampField(v);  // a value wrapped negative pads nothing
                } else {
                    conversion = c;
                    p++;
                }
                break;
            }
        }

        switch (conversion) {
        case 'd':
        case 'i': {
            uint64_t magnitude;
            if (s.longs >= 2) {
                long long v = va_arg(ap, long long);
                magnitude = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<uint64_t>(v);
                if (v < 0)
                    s.sign = '-';
            } else {
                int v = va_arg(ap, int);
                magnitude = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
                if (v < 0)
                    s.sign = '-';
            }
            count += EmitInteger(tb, s, magnitude, 'd');
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            uint64_t v = s.longs >= 2 ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned);
            count += EmitInteger(tb, s, v, conversion);
            break;
        }
        case 'p': {
            uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(ap, void *));
            count += EmitInteger(tb, s, v, 'p');
            break;
        }
        case 'c': {
            char c = static_cast<char>(va_arg(ap, int));
            count += EmitText(tb, s, &c, 1);
            break;
        }
        case 's': {
            const char *text = va_arg(ap, const char *);
            int64_t length;
            if (!RT_IsValidPointer(text)) {
                text = "(null)";
                length = 6;
            } else if (s.precision >= 0) {
                // the text need not be terminated within the precision
                const void *nul = memchr(text, '\0', static_cast<size_t>(s.precision));
                length = nul ? static_cast<const char *>(nul) - text : s.precision;
            } else {
                length = static_cast<int64_t>(strlen(text));
            }
            count += EmitText(tb, s, text, length);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G':
            count += EmitFloat(tb, s, va_arg(ap, double), conversion);
            break;
        case '%':
            Put(tb, "%", 1);
            count++;
            break;
        default:
            break;  // unknown: nothing printed, no argument taken
        }
    }
done:
    va_end(ap);
    return Saturate(count);
}

int32_t STR_Vsnprintf(char *out, int32_t size, const char *format, va_list args)
{
    if (!out || size <= 0)
        return 0;
    out[0] = '\0';
    TextBuf tb = {out, size, 0};
    return STR_VFormat(&tb, format, args);
}

int32_t STR_Snprintf(char *out, int32_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int32_t n = STR_Vsnprintf(out, size, format, ap);
    va_end(ap);
    return n;
}

int STR_VAppendf(char *buffer, int32_t size, int32_t *length, const char *format, va_list args)
{
    if (!buffer || size < 1)
        return 0;
    if (!length) {
        buffer[0] = '\0';
        return 0;
    }
    if (*length < 1 || *length >= 0x40000000)
        *length = 0;
    int32_t used = *length;
    if (used < size - 1) {
        va_list ap;
        va_copy(ap, args);
        int32_t n = STR_Vsnprintf(buffer + used, size - used, format, ap);
        va_end(ap);
        if (n >= 0 && n <= size - used && n < 0x4000000 && used + n < size - 1) {
            *length = used + n;
            return 1;
        }
    }
    // cut, or filled exactly
    buffer[size - 1] = '\0';
    *length = size - 1;
    return 0;
}

const char *STR_TempPrintf(const char *format, ...)
{
    // Per thread: the GUI and the connection thread both print state texts.
    static thread_local char buffers[STR_TEMP_BUFFERS][STR_TEMP_SIZE];
    static thread_local unsigned counter;
    char *out = buffers[++counter & (STR_TEMP_BUFFERS - 1)];
    va_list ap;
    va_start(ap, format);
    STR_Vsnprintf(out, STR_TEMP_SIZE, format, ap);
    va_end(ap);
    return out;
}

// --- Name tables ----------------------------------------------------------------

const char *STR_LookupName(const NameEntry *table, int32_t key, const char *defaultText)
{
    if (!table)
        return defaultText;
    for (int i = 0; i < 10000 && table[i].name; i++) {
        if (table[i].key == key)
            return table[i].name;
    }
    return defaultText;
}

const char *STR_NameOrNumber(const NameEntry *table, int32_t key, char *out, int32_t size,
                             const char *format)
{
    const char *name = STR_LookupName(table, key, nullptr);
    if (name)
        return name;
    if (!out || size <= 0)
        return "";
    STR_Snprintf(out, size, format ? format : "%u", key);
    return out;
}

// --- Integer text ---------------------------------------------------------------

int32_t STR_UIntToText(char *out, uint32_t size, uint32_t value, uint32_t base, int upperCase)
{
    if (!out)
        return 0;
    if (size < 3 || base < 2 || base > 36) {
        if (size >= 1)
            out[0] = '\0';
        return 0;
    }
    char buf[33];
    char *end = buf + sizeof buf;
    const char *start = DigitsBackward(end, value, base, upperCase ? kUpper : kLower);
    uint32_t digits = static_cast<uint32_t>(end - start);
    if (digits + 1 > size) {
        out[0] = '\0';
        return 0;
    }
    memcpy(out, start, digits);
    out[digits] = '\0';
    return static_cast<int32_t>(digits);
}

int32_t STR_UInt64ToDecimal(char *out, uint32_t size, uint64_t value, uint32_t base)
{
    if (!out)
        return 0;
    if (size < 3 || base != 10) {
        if (size >= 1)
            out[0] = '\0';
        return 0;
    }
    char buf[20];
    char *end = buf + sizeof buf;
    const char *start = DigitsBackward(end, value, 10, kLower);
    uint32_t digits = static_cast<uint32_t>(end - start);
    if (digits + 1 > size) {
        out[0] = '\0';
        return 0;
    }
    memcpy(out, start, digits);
    out[digits] = '\0';
    return static_cast<int32_t>(digits);
}

// --- Floating point -------------------------------------------------------------

namespace {

uint64_t DoubleBits(double value)
{
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The digits of one finite magnitude, padded with zeros up to `total`
// digits; the zeros are never stored, only written.
struct FloatDigits {
    char digits[STR_FLOAT_DIGITS];
    int32_t count;
    int32_t point;
    int64_t total;
};

// Writes digit positions [from, to) and returns their count.
int64_t WriteDigits(TextBuf *tb, const FloatDigits &d, int64_t from, int64_t to)
{
    if (tb) {
        if (from < d.count)
            Put(tb, d.digits + from, (to < d.count ? to : d.count) - from);
        int64_t zeroFrom = from > d.count ? from : d.count;
        Fill(tb, '0', to - zeroFrom);
    }
    return to - from;
}

int64_t WriteText(TextBuf *tb, const char *text, int64_t length)
{
    if (tb)
        Put(tb, text, length);
    return length;
}

// "f" layout of total digits with point of them before the decimal point.
int64_t LayoutFixed(TextBuf *tb, const FloatDigits &d, bool alternate)
{
    int64_t n = 0;
    if (d.point <= 0) {
        n += WriteText(tb, "0.", 2);
        if (tb)
            Fill(tb, '0', -static_cast<int64_t>(d.point));
        n += -static_cast<int64_t>(d.point);
        n += WriteDigits(tb, d, 0, d.total);
    } else if (d.point >= d.total) {
        n += WriteDigits(tb, d, 0, d.point);  // the missing zeros come as padding
        if (alternate)
            n += WriteText(tb, ".", 1);
    } else {
        n += WriteDigits(tb, d, 0, d.point);
        n += WriteText(tb, ".", 1);
        n += WriteDigits(tb, d, d.point, d.total);
    }
    return n;
}

int64_t LayoutExponent(TextBuf *tb, const FloatDigits &d, bool alternate, char letter)
{
    int64_t n = WriteDigits(tb, d, 0, 1);
    if (d.total > 1 || alternate) {
        n += WriteText(tb, ".", 1);
        n += WriteDigits(tb, d, 1, d.total);
    }
    char exponent[8];
    n += WriteText(tb, exponent, STR_FormatExponent(exponent, letter, d.point - 1));
    return n;
}

}  // namespace

int STR_IsInf(double value)
{
    uint64_t bits = DoubleBits(value);
    return (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull &&
           (bits & 0x000FFFFFFFFFFFFFull) == 0;
}

int STR_IsNaN(double value)
{
    uint64_t bits = DoubleBits(value);
    return (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull &&
           (bits & 0x000FFFFFFFFFFFFFull) != 0;
}

int32_t STR_FloatDigits(double value, int32_t places, char *digits, int32_t *point)
{
    double x = value < 0 ? -value : value;
    int32_t count = 0;
    int32_t exponent = 0;
    if (!STR_IsInf(x) && !STR_IsNaN(x)) {
        // round: add half a unit of the last place asked for
        double unit = 1.0;
        for (int32_t i = 0; i < places && unit < 1e300; i++)
            unit *= 10.0;
        for (int32_t i = 0; i > places && unit > 1e-300; i--)
            unit /= 10.0;
        x += 0.5 / unit;
        if (x != 0) {
            double guess = x < 10 ? 1 : x < 100 ? 10 : x < 1000 ? 100 : x < 1e6 ? 1e5 : 1e8;
            exponent = x < 10 ? 0 : x < 100 ? 1 : x < 1000 ? 2 : x < 1e6 ? 5 : 8;
            double m = x / guess;
            for (int i = 0; i < 2048; i++) {
                if (m >= 10) {
                    m /= 10;
                    exponent++;
                } else if (m < 1) {
                    m *= 10;
                    exponent--;
                } else {
                    break;
                }
            }
            int64_t place = exponent;
            while (m >= 1e-9 && count < STR_FLOAT_DIGITS - 1 && place >= -static_cast<int64_t>(places)) {
                int d = static_cast<int>(m);
                if (d > 9)
                    d = 9;
                digits[count++] = static_cast<char>('0' + d);
                m = (m - d) * 10;
                place--;
            }
            while (count > 0 && digits[count - 1] == '0')
                count--;
        }
    }
    if (count == 0) {
        digits[count++] = '0';
        exponent = 0;
    }
    digits[count] = '\0';
    *point = exponent + 1;
    return count;
}

int32_t STR_FormatFloat(TextBuf *tb, double value, char conversion, int32_t precision, int alternate)
{
    if (precision < 0)
        precision = 6;
    if (precision > kMaxField)
        precision = kMaxField;
    FloatDigits d;
    int64_t n = 0;
    switch (conversion) {
    case 'f':
        d.count = STR_FloatDigits(value, precision, d.digits, &d.point);
        if (d.count == 1 && d.digits[0] == '0' && value != 0)
            d.point = 1 - precision;
        d.total = static_cast<int64_t>(d.point) + precision;
        if (d.total < d.count)
            d.total = d.count;
        n = LayoutFixed(tb, d, alternate != 0);
        break;
    case 'e':
    case 'E':
        d.count = STR_FloatDigits(value, precision + 1, d.digits, &d.point);
        d.total = static_cast<int64_t>(precision) + 1;
        if (d.total < d.count)
            d.total = d.count;
        n = LayoutExponent(tb, d, alternate != 0, conversion);
        break;
    case 'g':
    case 'G':
        if (precision == 0)
            precision = 1;
        d.count = STR_FloatDigits(value, precision, d.digits, &d.point);
        d.total = alternate && precision > d.count ? precision : d.count;
        if (d.point >= -3 && d.point <= precision)
            n = LayoutFixed(tb, d, alternate != 0);
        else
            n = LayoutExponent(tb, d, alternate != 0, conversion == 'g' ? 'e' : 'E');
        break;
    default:
        break;
    }
    return Saturate(n);
}

int32_t STR_FormatExponent(char *out, char letter, int32_t exponent)
{
    int32_t n = 0;
    out[n++] = letter;
    out[n++] = exponent < 0 ? '-' : '+';
    uint32_t magnitude = exponent < 0 ? 0u - static_cast<uint32_t>(exponent) : static_cast<uint32_t>(exponent);
    if (magnitude < 10)
        out[n++] = '0';
    char buf[12];
    char *end = buf + sizeof buf;
    const char *start = DigitsBackward(end, magnitude, 10, kLower);
    // exponents of doubles have at most four digits; keep the 8-byte promise
    if (end - start > 5)
        start = end - 5;
    memcpy(out + n, start, static_cast<size_t>(end - start));
    n += static_cast<int32_t>(end - start);
    out[n] = '\0';
    return n;
}
