// Start-up of the timer service and the packet pool, the timer poll and
// adapter packets into pool buffers (the termination sink: cp_wrapper_sink).
#include "cp_wrapper.h"

#include <string.h>

#include "gui_log.h"
#include "pkt_buffer.h"
#include "pkt_describe.h"
#include "str.h"

int CP_Init(TIMER_TickSource32 tickSource, uint32_t ticksPerSecond)
{
    int ok = TIMER_Init32(CP_TIMER_BLOCKS, CP_TIMER_RECORDS_PER_BLOCK, ticksPerSecond, tickSource);
    PKT_PoolInit();
    return ok ? 1 : 0;
}

void CP_PollTimers(void)
{
    TIMER_RunExpired();
}

PKT_Buffer *PKT_FromTap(const void *bytes, uint32_t n)
{
    PKT_Buffer *buf = PKT_Alloc(nullptr);
    if (!buf)
        return nullptr;
    PKT_Reset(buf);
    if (!PKT_Reserve(buf, n)) {
        PKT_Free(buf);
        return nullptr;
    }
    if (n)
        memcpy(PKT_Data(buf), bytes, n);
    buf->length = static_cast<uint16_t>(n);
    STR_LCopy(buf->tag, "TAP", sizeof buf->tag);
    return buf;
}

void PKT_Dump(const PKT_Buffer *packet)
{
    if (!packet)
        return;
    char storage[2048];
    TextBuf text = {storage, static_cast<int32_t>(sizeof storage), 0};
    storage[0] = '\0';
    PKT_Describe(&text, packet);
    if (text.length > 0)
        GUI_Print(1, 0, "--------------------------------\n%s\n", text.data);
}
