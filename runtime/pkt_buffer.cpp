// Packet-buffer pool.
#include "pkt_buffer.h"

#include "gui_log.h"
#include "str.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

PKT_List g_free;
PKT_List g_inUse;
uint32_t g_usageMark = 2;       // "Buff usage" is reported when in-use reaches it

const uint32_t kPoolStart = 10;
const uintptr_t kPoisonStart = 0xBADC0FFE;
const uintptr_t kPoisonCursor = 0xDEADF00D;

void ListAppend(PKT_List *list, PKT_Buffer *buf)
{
    buf->next = nullptr;
    buf->prev = list->tail;
    if (list->tail)
        list->tail->next = buf;
    else
        list->head = buf;
    list->tail = buf;
    buf->owner = list;
    list->count++;
}

void ListUnlink(PKT_List *list, PKT_Buffer *buf)
{
    if (buf->prev)
        buf->prev->next = buf->next;
    else
        list->head = buf->next;
    if (buf->next)
        buf->next->prev = buf->prev;
    else
        list->tail = buf->prev;
    list->count--;
    buf->next = buf->prev = nullptr;
    buf->owner = nullptr;
}

PKT_Buffer *NewBuffer()
{
    PKT_Buffer *buf = static_cast<PKT_Buffer *>(calloc(1, sizeof(PKT_Buffer)));
    if (buf)
        PKT_InitGuards(buf, buf->data, PKT_CAPACITY);
    return buf;
}

uint32_t Headroom(const PKT_Buffer *buf)
{
    return static_cast<uint32_t>(buf->start - buf->area);
}

// pos lies in [data start, end]. Compared as integers: a caller's pointer may
// belong to another object entirely.
bool InPacket(const PKT_Buffer *buf, const uint8_t *pos)
{
    uintptr_t p = reinterpret_cast<uintptr_t>(pos);
    uintptr_t s = reinterpret_cast<uintptr_t>(buf->start);
    return p >= s && p - s <= buf->length;
}

} // namespace

int PKT_PoolInit(void)
{
    // Normally called once. On a second call the free buffers are released;
    // buffers still in use are cut loose, so that a late PKT_Free of one is
    // refused instead of linking it into the new lists.
    while (g_free.head) {
        PKT_Buffer *buf = g_free.head;
        ListUnlink(&g_free, buf);
        free(buf);
    }
    while (g_inUse.head)
        ListUnlink(&g_inUse, g_inUse.head);
    g_free = PKT_List{};
    g_inUse = PKT_List{};
    g_usageMark = 2;
    for (uint32_t i = 0; i < kPoolStart; i++) {
        PKT_Buffer *buf = NewBuffer();
        if (!buf)
            break;
        ListAppend(&g_free, buf);
    }
    return 1;
}

PKT_Buffer *PKT_Alloc(PKT_Buffer **out)
{
    if (out)
        *out = nullptr;
    if (g_inUse.count >= g_usageMark) {
        g_usageMark = g_inUse.count + 1;
        fprintf(stderr, "Buff usage: %lu\n", static_cast<unsigned long>(g_usageMark));
    }
    PKT_Buffer *buf;
    if (g_free.count != 0) {
        buf = g_free.head;
        ListUnlink(&g_free, buf);
    } else {
        buf = NewBuffer();
        if (!buf)
            return nullptr;
    }
    ListAppend(&g_inUse, buf);
    if (out)
        *out = buf;
    return buf;
}

void PKT_Free(PKT_Buffer *buf)
{
    if (!buf)
        return;
    // A buffer not on the in-use list would corrupt both lists if unlinked.
    if (buf->owner != &g_inUse) {
        GUI_Print(1, 0, "Free Error: buffer %p is not in use (%s)\n", static_cast<void *>(buf),
                  buf->owner == &g_free ? "freed twice" : "unknown");
        return;
    }
    buf->start = reinterpret_cast<uint8_t *>(kPoisonStart);
    buf->cursor = reinterpret_cast<uint8_t *>(kPoisonCursor);
    ListUnlink(&g_inUse, buf);
    ListAppend(&g_free, buf);
}

void PKT_Release(PKT_Buffer *buf)
{
    PKT_Free(buf);
}

uint8_t *PKT_Data(const PKT_Buffer *buf)
{
    return buf->cursor;
}

uint32_t PKT_Length(const PKT_Buffer *buf)
{
    return static_cast<uint32_t>(buf->start + buf->length - buf->cursor);
}

void PKT_InitGuards(PKT_Buffer *buf, uint8_t *area, uint32_t capacity)
{
    buf->area = area;
    buf->capacity = capacity;
    uint32_t value = static_cast<uint32_t>(rand()) ^ 0xBEEFBABEu;
    buf->guard = value;
    buf->Magic1 = buf->Magic2 = buf->Magic3 = buf->Magic4 = value;
    buf->magic5At = area + capacity;
    memcpy(buf->magic5At, &value, sizeof value);
    PKT_Verify(buf);
}

void PKT_VerifyAt(const PKT_Buffer *buf, const char *file, int line)
{
    for (const char *p = file; *p; p++) {
        if (*p == '/' || *p == '\\')
            file = p + 1;
    }
    uint32_t magic5;
    memcpy(&magic5, buf->magic5At, sizeof magic5);
    const struct {
        const char *name;
        uint32_t value;
    } words[] = {
        {"Magic1", buf->Magic1}, {"Magic2", buf->Magic2}, {"Magic3", buf->Magic3},
        {"Magic4", buf->Magic4}, {"Magic5", magic5},
    };
    for (const auto &w : words) {
        if (w.value != buf->guard)
            GUI_Print(1, 0, "Verify Error \"%s\": 0x%08X != 0x%08x(%s:%d)\n", w.name, w.value,
                      buf->guard, file, line);
    }
}

uint8_t *PKT_Reset(PKT_Buffer *buf)
{
    buf->linkType = 0;
    buf->start = buf->cursor = buf->area + PKT_HEADROOM;
    buf->length = 0;
    STR_LCopy(buf->tag, "PPP", sizeof buf->tag);
    PKT_Verify(buf);
    return buf->cursor;
}

int PKT_Reserve(PKT_Buffer *buf, uint32_t n)
{
    if (n >= 65536)
        return 0;
    uint32_t used = Headroom(buf);
    uint32_t room = buf->capacity - used;
    if (room >= n)
        return 1;
    uint32_t shortfall = n - room;
    if (shortfall > used)
        return 0;
    memmove(buf->start - shortfall, buf->start, buf->length);
    buf->start -= shortfall;
    buf->cursor -= shortfall;
    return 1;
}

uint8_t *PKT_Prepend(PKT_Buffer *buf, uint8_t *pos, uint32_t n)
{
    if (!InPacket(buf, pos) || n > buf->capacity) {
        PKT_Verify(buf);
        return nullptr;
    }
    uint32_t head = static_cast<uint32_t>(pos - buf->start);
    uint32_t tail = buf->length - head;
    uint32_t used = Headroom(buf);
    if (head < tail && used >= n) {
        if (head > 0)
            memmove(buf->start - n, buf->start, head);
        if (buf->cursor <= pos)
            buf->cursor -= n;
        buf->start -= n;
        buf->length = static_cast<uint16_t>(buf->length + n);
        PKT_Verify(buf);
        return pos - n;
    }
    uint32_t endRoom = buf->capacity - used - buf->length;
    if (endRoom < n) {
        PKT_Verify(buf);
        return nullptr;
    }
    if (tail > 0)
        memmove(pos + n, pos, tail);
    if (buf->cursor > pos)
        buf->cursor += n;
    buf->length = static_cast<uint16_t>(buf->length + n);
    PKT_Verify(buf);
    return pos;
}

int PKT_Cut(PKT_Buffer *buf, uint8_t *pos, uint32_t n)
{
    // Lengths often come from the peer: refuse anything outside the packet.
    if (!InPacket(buf, pos) || n > static_cast<uint32_t>(buf->start + buf->length - pos)) {
        PKT_Verify(buf);
        return 0;
    }
    uint32_t head = static_cast<uint32_t>(pos - buf->start);
    uint32_t tail = buf->length - head - n;
    if (head < tail) {
        if (head > 0)
            memmove(buf->start + n, buf->start, head);
        buf->start += n;
        if (buf->cursor <= pos)
            buf->cursor += n;
        else if (buf->cursor < pos + n)
            buf->cursor = pos + n;
    } else {
        if (tail > 0)
            memmove(pos, pos + n, tail);
        if (buf->cursor >= pos + n)
            buf->cursor -= n;
        else if (buf->cursor > pos)
            buf->cursor = pos;
    }
    buf->length = static_cast<uint16_t>(buf->length - n);
    PKT_Verify(buf);
    return 1;
}

uint32_t PKT_PoolFreeCount(void)
{
    return g_free.count;
}

uint32_t PKT_PoolInUseCount(void)
{
    return g_inUse.count;
}
