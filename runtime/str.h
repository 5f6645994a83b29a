// Bounded strings, text buffers and the library's own printf-style engine.
//
// Everything here works on caller-owned storage, never allocates and never
// writes past the size it is given. Text is single-byte and NUL-terminated.
//
// The engine is NOT the platform printf. Its dialect, in short:
//   flags - + space # 0, width (digits or *), precision (. digits or .*),
//   h ignored, one l ignored (arguments stay 32-bit on every build), ll makes
//   d i u o x X take 64-bit values; conversions d i u o x X p c s e E f g G %.
//   The sign flags apply to every conversion ("%+u" of 5 is "+5"), "%p" prints
//   the pointer in hex without "0x" unless '#' is given, a bad "%s" pointer
//   prints "(null)", and an unknown conversion prints nothing and takes no
//   argument. So: pass uint32_t/int32_t with %u/%d/%x, and (unsigned) long
//   long with %ll..; never size_t, a Linux long, or the PRI* macros.
#ifndef TLX_RUNTIME_STR_H
#define TLX_RUNTIME_STR_H

#include <cstdarg>
#include <cstdint>

// The format checks of the compiler that match the engine best: GCC's printf
// archetype (on MinGW that is the msvcrt dialect, which also rejects %zu).
#if defined(__GNUC__)
#define STR_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define STR_PRINTF_FORMAT(fmt, args)
#endif

// Copies refuse destination sizes of this many bytes or more.
#define STR_MAX_COPY_SIZE 0x40000000u

// STR_TempPrintf: rotating result buffers of each thread.
#define STR_TEMP_BUFFERS 16
#define STR_TEMP_SIZE 200

// A bounded text buffer over caller-owned storage. Every operation but
// TEXTBUF_AppendChar keeps length <= capacity - 1 and data[length] == NUL.
struct TextBuf {
    char *data;
    int32_t capacity;  // bytes of storage, the terminating NUL included
    int32_t length;    // characters in use
};

// One row of a constant name table; a table ends with a row whose name is null.
struct NameEntry {
    int32_t key;
    const char *name;
};

// --- Copies -------------------------------------------------------------------

// Copies at most min(size - 1, maxChars) characters, stopping at the source's
// NUL, and terminates. n = min(size, maxChars + 1) in 32-bit arithmetic, so a
// maxChars of 0xFFFFFFFF (or a size of 0) copies and writes nothing: pass real
// limits. Returns the characters copied.
uint32_t STR_Copy(char *dst, uint32_t size, const char *src, uint32_t maxChars);

// strlcpy: copies at most size - 1 characters, terminates when size >= 1, and
// returns the source's full length (0 when the size is refused).
uint32_t STR_LCopy(char *dst, const char *src, uint32_t size);

// --- Text buffers ---------------------------------------------------------------

TextBuf *TEXTBUF_Clear(TextBuf *tb);
int32_t TEXTBUF_Terminate(TextBuf *tb);                            // -> length
int32_t TEXTBUF_Assign(TextBuf *tb, const char *text);             // -> length
int32_t TEXTBUF_Append(TextBuf *tb, const char *text, int32_t count);  // -> length
// Adds one character and no NUL; TEXTBUF_Terminate restores the invariant.
TextBuf *TEXTBUF_AppendChar(TextBuf *tb, char c);
// Cuts at position (negative: 0); a position beyond the length changes nothing.
char *TEXTBUF_Truncate(TextBuf *tb, int32_t position);             // -> data
// The last count characters (all of them when count > length).
char *TEXTBUF_Tail(TextBuf *tb, int32_t count);
// Appends one blank unless the buffer is empty, full or ends in a blank.
int32_t TEXTBUF_EnsureSpace(TextBuf *tb);                          // -> length
// Clear, then format; 1 when the text fitted, 0 when it was cut.
int TEXTBUF_Printf(TextBuf *tb, const char *format, ...) STR_PRINTF_FORMAT(2, 3);
// EnsureSpace, then format: successive calls build a blank-separated line.
int TEXTBUF_AppendPrintf(TextBuf *tb, const char *format, ...) STR_PRINTF_FORMAT(2, 3);

// --- Formatting -----------------------------------------------------------------

// The engine: appends to tb (never past its capacity) and returns the number of
// characters the conversion produced, whether or not they fitted.
int32_t STR_VFormat(TextBuf *tb, const char *format, va_list args) STR_PRINTF_FORMAT(2, 0);

// Formats into out, always terminated and cut at size - 1 characters; returns
// the full length. size <= 0: returns 0 and writes nothing.
int32_t STR_Vsnprintf(char *out, int32_t size, const char *format, va_list args)
    STR_PRINTF_FORMAT(3, 0);
int32_t STR_Snprintf(char *out, int32_t size, const char *format, ...) STR_PRINTF_FORMAT(3, 4);

// Appends to buffer[*length]; 1 when the text fitted with the length staying
// below size - 1, else 0 with the buffer cut and *length = size - 1.
int STR_VAppendf(char *buffer, int32_t size, int32_t *length, const char *format, va_list args)
    STR_PRINTF_FORMAT(4, 0);

// Formats into the next of this thread's 16 rotating 200-byte buffers (cut to
// 199 characters); the text stays valid for the next 15 calls on this thread.
const char *STR_TempPrintf(const char *format, ...) STR_PRINTF_FORMAT(1, 2);

// --- Name tables ----------------------------------------------------------------

// The name of the first row with the key among the first 10000 rows, else the default.
const char *STR_LookupName(const NameEntry *table, int32_t key, const char *defaultText);

// The table's name for the key, or else the key formatted into out with the
// given engine format ("%u" when null), returning out.
const char *STR_NameOrNumber(const NameEntry *table, int32_t key, char *out, int32_t size,
                             const char *format);

// --- Integer text ---------------------------------------------------------------

// Digits of value in base 2..36 and a NUL; returns the digit count, or 0 with
// the empty text when the base is bad, the size below 3 or the digits do not fit.
int32_t STR_UIntToText(char *out, uint32_t size, uint32_t value, uint32_t base, int upperCase);

// Decimal digits of a 64-bit value (base must be 10); same result rules.
int32_t STR_UInt64ToDecimal(char *out, uint32_t size, uint64_t value, uint32_t base);

// --- Floating point (the engine's e E f g G) --------------------------------------

#define STR_FLOAT_DIGITS 16  // digit buffer size: at most 15 digits and a NUL

int STR_IsInf(double value);
int STR_IsNaN(double value);

// Decimal digits of |value| rounded at the place 10^-places: writes up to 15
// digits and a NUL into digits (STR_FLOAT_DIGITS bytes), trailing zeros
// dropped ("0" when none remain), sets *point to the number of digits before
// the decimal point, and returns the digit count.
int32_t STR_FloatDigits(double value, int32_t places, char *digits, int32_t *point);

// Appends one finite value's text for conversion 'e', 'E', 'f', 'g' or 'G'
// without sign or width; the zeros the precision asks for are written straight
// into the bounded buffer. Returns the full length; a null tb only measures.
int32_t STR_FormatFloat(TextBuf *tb, double value, char conversion, int32_t precision,
                        int alternate);

// Writes letter, sign and at least two exponent digits ("e+05"); out needs 8
// bytes. Returns the length written.
int32_t STR_FormatExponent(char *out, char letter, int32_t exponent);

#endif
