// Number and IPv4 address parsing and formatting.
//
// Parsers work on NUL-terminated text, never allocate, and report failure by a
// result of 0 together with an end pointer. Addresses are four bytes in network
// order (the first dotted number first), or a uint32_t holding those bytes.
#ifndef TLX_PARSE_H
#define TLX_PARSE_H

#include <stdint.h>

// Both ends belong to the range; network order.
struct IpRange {
    uint32_t start;
    uint32_t end;
};

// What a resolver fills in (see IP_Resolver).
struct IP_ResolveResult {
    uint32_t reserved;          // not read by the parsers
    uint32_t value1;            // address, range start, or count of ranges
    union {
        uint32_t end;           // range end (kind 2)
        const IpRange *ranges;  // value1 ranges (kind 3)
    } value2;
};

enum {
    IP_RESOLVE_NONE = 0,
    IP_RESOLVE_ADDRESS = 1,     // value1
    IP_RESOLVE_RANGE = 2,       // value1 .. value2.end
    IP_RESOLVE_LIST = 3         // value1 ranges at value2.ranges
};

// Turns a host name into addresses; returns one of IP_RESOLVE_*.
typedef int (*IP_Resolver)(IP_ResolveResult *result, const char *name);

enum {
    IP_TEXT_SIZE = 16,          // "255.255.255.255" + NUL
    MAC_TEXT_SIZE = 20,
    IP_NAME_SIZE = 128,         // host names handed to a resolver
    IP_NO_PREFIX = 0xFFFF       // IP_RangeToPrefix: not one prefix block
};

// Skips blanks and tabs; base 0 takes a prefix ("$", "x", "X", "0x", "0X" hex;
// "b", "B", "0b", "0B" binary; "0" + octal digit octal), else decimal.
// maxDigits < 0: no limit. Returns the digits taken; 0 for no digits or a
// 32-bit overflow (end then at the overflowing digit). end may be null.
int NUM_ParseUnsigned(uint32_t *value, const char *text, int32_t maxDigits,
                      const char **end, int base);

// Optional "+" or "-" first; the value is taken modulo 2^32.
int NUM_ParseSigned(int32_t *value, const char *text, int32_t maxDigits,
                    const char **end, int base);

// Prefix of a network-order mask: 32 minus its trailing zero bits.
// *contiguous (may be null): 1 for a proper prefix mask, else 0.
uint16_t IP_MaskToPrefix(const uint32_t *mask, int32_t *contiguous);

// Network-order mask of a prefix length; 0 gives 0, 32 or more all ones.
uint32_t IP_PrefixToMask(uint32_t prefix);

// 0..32 when the range is exactly one prefix block, else IP_NO_PREFIX.
uint16_t IP_RangeToPrefix(const IpRange *range);

// "%u.%u.%u.%u" of the four bytes at addr; cut to size, always terminated.
char *IP_Format(char *out, uint32_t size, const void *addr);
// The same into the next of four per-thread buffers (valid for four more calls).
const char *IP_ToString(const void *addr);

// "%02x-%02x-%02x-%02x-%02x-%02x" of the six bytes at mac.
char *MAC_Format(char *out, uint32_t size, const void *mac);
const char *MAC_ToString(const void *mac);

// Copies a host name (letters, digits, ".", "_", "-", bytes from 0x80) after
// blanks. 1 copied; 0 too long for size (end at the name's start).
int IP_CopyHostName(char *out, uint32_t size, const char *text, const char **end);

// Four decimal numbers below 256 joined by single dots; blanks and tabs allowed
// first and after each dot; text after the address is left to the caller.
// On failure out is untouched, end at the very start, result 0.
int IP_ParseAddress(void *out, const char *text, const char **end, IP_Resolver resolver);

// An address; "address/prefix"; "address/dotted mask" (contiguous); or
// "address-address" (not reversed). On failure: 0, end at the very start.
int IP_ParseRange(IpRange *range, const char *text, const char **end, IP_Resolver resolver);

#endif
