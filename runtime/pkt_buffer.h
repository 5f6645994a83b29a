// Packet buffers: fixed 2048-byte buffers with headroom, a movable data window
// and a cursor, recycled through one process-wide pool that only grows.
//
// Per packet: PKT_Alloc, PKT_Reset (required: a reused buffer carries poison
// in its pointers), fill or parse, then exactly one PKT_Free/PKT_Release by
// whoever holds the buffer last. The pool has no lock: one thread at a time.
#ifndef TLX_PKT_BUFFER_H
#define TLX_PKT_BUFFER_H

#include <stdint.h>

enum {
    PKT_CAPACITY = 2048,    // data bytes per buffer
    PKT_HEADROOM = 100,     // room left in front by PKT_Reset
    PKT_TAG_SIZE = 10       // tag field, NUL included
};

struct PKT_Buffer;

struct PKT_List {
    PKT_Buffer *head;
    PKT_Buffer *tail;
    uint32_t count;
};

struct PKT_Buffer {
    uint32_t guard;                 // value all five guard words must hold
    char tag[PKT_TAG_SIZE];         // origin: "PPP" or "TAP"
    uint16_t linkType;              // 0: PPP frame or bare IPv4 packet
    uint16_t length;                // data bytes counted from start
    uint32_t Magic1;
    uint8_t *area;                  // first of the PKT_CAPACITY data bytes
    uint32_t Magic2;
    uint32_t capacity;              // PKT_CAPACITY
    uint8_t *start;                 // first byte of the packet
    uint8_t *cursor;                // first byte not yet consumed / being built
    uint32_t Magic3;
    PKT_Buffer *next;
    PKT_Buffer *prev;
    PKT_List *owner;                // free or in-use list; null between lists
    uint32_t Magic4;
    uint8_t *magic5At;              // area + capacity
    uint8_t data[PKT_CAPACITY];
    uint32_t Magic5;                // directly behind the data area
};

// Empties the pool and creates up to 10 free buffers. Always 1.
int PKT_PoolInit(void);

// Takes a buffer (free list first, FIFO); null when memory ran out.
// The result is also stored in *out (out may be null).
PKT_Buffer *PKT_Alloc(PKT_Buffer **out);

// Returns a buffer to the pool. Null is ignored; a buffer that is not in use
// (freed twice, or not from this pool) is reported and left alone.
void PKT_Free(PKT_Buffer *buf);
void PKT_Release(PKT_Buffer *buf);

uint8_t *PKT_Data(const PKT_Buffer *buf);      // the cursor
uint32_t PKT_Length(const PKT_Buffer *buf);    // bytes from the cursor to the end

void PKT_InitGuards(PKT_Buffer *buf, uint8_t *area, uint32_t capacity);

// Logs one "Verify Error" line per damaged guard word; nothing else.
void PKT_VerifyAt(const PKT_Buffer *buf, const char *file, int line);
#define PKT_Verify(buf) PKT_VerifyAt((buf), __FILE__, __LINE__)

// Prepares for a new frame: headroom PKT_HEADROOM, length 0, tag "PPP",
// link type 0. Returns the cursor.
uint8_t *PKT_Reset(PKT_Buffer *buf);

// Makes room for n bytes from the data start, moving the packet toward the
// front when needed. 1 room is there, 0 no room (buffer unchanged).
int PKT_Reserve(PKT_Buffer *buf, uint32_t n);

// Opens n bytes of room at pos (data start <= pos <= end), moving the cheaper
// side. Returns the new room, or null (buffer unchanged) when it does not fit
// or pos lies outside the packet.
uint8_t *PKT_Prepend(PKT_Buffer *buf, uint8_t *pos, uint32_t n);

// Removes the n bytes at pos, moving the cheaper side; the cursor stays on its
// byte, or the first byte after the removed ones. Returns 1, or 0 (buffer
// unchanged) when the bytes do not lie inside the packet.
int PKT_Cut(PKT_Buffer *buf, uint8_t *pos, uint32_t n);

// Pool counts, for diagnostics and tests.
uint32_t PKT_PoolFreeCount(void);
uint32_t PKT_PoolInUseCount(void);

#endif
