// libFuzzer target over the route service's undo file reader (STATE_Parse).
// An input the reader takes is written back by the service's own writer and
// must read back as the same entries; one it refuses must leave nothing
// behind to undo. The platform half is stood in for here: the writer's file
// is a buffer, and nothing touches the disk or the system.
//
// Build and run: scripts/fuzz.sh.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "service_log.h"
#include "svc_state.h"

static std::string s_written;

void STATESYS_DefaultPath(char *out, size_t size)
{
    snprintf(out, size, "%s", "fuzz.state");
}
uint32_t STATESYS_CheckFolder(const char *, char *, size_t)
{
    return 0;
}
uint32_t STATESYS_Write(const char *, const char *text, size_t length)
{
    s_written.assign(text, length);
    return 0;
}
void STATESYS_Remove(const char *)
{
    s_written.clear();
}
int STATESYS_Read(const char *, std::vector<char> *, char *, size_t)
{
    return STATE_READ_NONE;
}
void STATESYS_Boot(char *out, size_t size)
{
    snprintf(out, size, "%s", "1");
}
bool STATESYS_SameBoot(const char *)
{
    return true;
}
uint32_t STATESYS_Lock(const char *)
{
    return 0;
}
uint32_t STATESYS_FindAdapter(const char *, uint32_t recorded, uint32_t *today)
{
    *today = recorded;
    return 0;
}
const uint32_t STATE_LOCK_TAKEN = 1;
const uint32_t STATE_FULL = 2;

int LOG_Print(const char *, ...)
{
    return 0;
}
const char *GetErrorText(uint32_t)
{
    return "";
}

static std::vector<RouteRecord> Records(const std::vector<RouteRow> &rows,
                                        const std::vector<RouteDetail> *details = nullptr)
{
    std::vector<RouteRecord> list(rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
        list[i].row = rows[i];
        list[i].next = i + 1 < rows.size() ? &list[i + 1] : nullptr;
        list[i].detail = details ? (*details)[i] : RouteDetail();
    }
    return list;
}

static bool SameDetails(const std::vector<RouteDetail> &a, const std::vector<RouteDetail> &b)
{
    return a.size() == b.size() && (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(RouteDetail)) == 0);
}

static bool SameRows(const std::vector<RouteRow> &a, const std::vector<RouteRow> &b)
{
    return a.size() == b.size() && (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(RouteRow)) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    StateContent c;
    int ok = STATE_Parse(reinterpret_cast<const char *>(data), size, &c);
    if (!ok) {
        if (!c.refused || c.why[0] == '\0' || c.haveAdapter || c.haveMetric || !c.added.empty() ||
            !c.removed.empty() || !c.raised.empty() || !c.removedDetail.empty())
            abort();
        return 0;
    }
    STATE_Clear();
    if (c.haveAdapter)
        STATE_NoteAdapter(c.adapterName, c.adapterIndex);
    if (c.haveMetric && STATE_NoteMetric(c.metricIndex, c.metric, c.automaticMetric) != 0)
        abort();
    if (c.removedDetail.size() != c.removed.size())
        abort();
    std::vector<RouteRecord> added = Records(c.added), removed = Records(c.removed, &c.removedDetail),
                             raised = Records(c.raised);
    uint32_t noted = STATE_NoteRoutes(added.empty() ? nullptr : &added[0], removed.empty() ? nullptr : &removed[0],
                                      raised.empty() ? nullptr : &raised[0]);
    // Past the writer's bound nothing is written, and the adapter stays.
    if (noted != 0) {
        if (noted != STATE_FULL || added.size() + removed.size() + raised.size() <= STATE_ENTRIES_MAX)
            abort();
        return 0;
    }
    StateContent back;
    if (!STATE_Parse(s_written.data(), s_written.size(), &back))
        abort();
    if (back.haveAdapter != c.haveAdapter || strcmp(back.adapterName, c.adapterName) != 0 ||
        back.adapterIndex != c.adapterIndex || back.haveMetric != c.haveMetric ||
        back.metricIndex != c.metricIndex || back.metric != c.metric || back.automaticMetric != c.automaticMetric ||
        !SameRows(back.added, c.added) || !SameRows(back.removed, c.removed) || !SameRows(back.raised, c.raised) ||
        !SameDetails(back.removedDetail, c.removedDetail))
        abort();
    return 0;
}
