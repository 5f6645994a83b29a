// IPv4 addresses for tests, written as their four bytes. Header-only.
#pragma once

#include <stdint.h>
#include <string.h>

// a.b.c.d in network byte order, as the code under test keeps addresses.
inline uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    memcpy(&v, bytes, 4);
    return v;
}
