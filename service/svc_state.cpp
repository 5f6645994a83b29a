#include "svc_state.h"
#include "service_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static char s_path[1024];
static bool s_haveAdapter;
static char s_adapterName[128];
static uint32_t s_adapterIndex;
static std::string s_routes;  // the route lines as last written
static unsigned s_entries;    // ... and how many they are
static bool s_haveMetric;
static uint32_t s_metricIndex, s_metric;
static bool s_automaticMetric;

void STATE_SetPath(const char *path)
{
    snprintf(s_path, sizeof(s_path), "%s", path ? path : "");
}

const char *STATE_Path()
{
    static char chosen[1024];
    if (s_path[0])
        return s_path;
    const char *env = getenv(STATE_ENV);
    if (env && *env)
        snprintf(chosen, sizeof(chosen), "%s", env);
    else
        STATESYS_DefaultPath(chosen, sizeof(chosen));
    return chosen;
}

static void AppendRow(std::string *text, const char *kind, const RouteRow *r)
{
    char line[256];
    snprintf(line, sizeof(line),
             "%s %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32
             " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 "\n",
             kind, r->destination, r->mask, r->policy, r->nextHop, r->ifIndex, r->type, r->protocol, r->age,
             r->nextHopAS, r->metric1, r->metric2, r->metric3, r->metric4, r->metric5, r->sysProtocol);
    *text += line;
}

// A detail the reader would not take (more hops or metrics than an entry
// holds) is left out: the route is then known by its row, as before.
static void AppendDetail(std::string *text, const RouteDetail *d)
{
    if (!d->present || d->hopCount > ROUTE_DETAIL_HOPS || (d->metricsSet >> ROUTE_DETAIL_METRICS) != 0)
        return;
    char line[STATE_LINE_MAX];
    int n = snprintf(line, sizeof(line), "detail %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32
                     " %" PRIx32,
                     d->table, d->scope, d->type, d->flags, d->source, d->nextHopId, d->metricsSet);
    for (uint32_t i = 0; i < ROUTE_DETAIL_METRICS; i++)
        if (d->metricsSet & (1u << i))
            n += snprintf(line + n, sizeof(line) - (size_t)n, " %" PRIx32, d->metrics[i]);
    n += snprintf(line + n, sizeof(line) - (size_t)n, " %" PRIx32, d->hopCount);
    for (uint32_t i = 0; i < d->hopCount; i++) {
        const RouteHop *h = &d->hops[i];
        n += snprintf(line + n, sizeof(line) - (size_t)n, " %" PRIx32 " %" PRIx32 " %" PRIx32 " %" PRIx32,
                      h->gateway, h->ifIndex, h->weight, h->flags);
    }
    *text += line;
    *text += "\n";
}

static uint32_t s_unkept;
static char s_unkeptWhy[STATE_WHY_MAX];

void STATE_SetUnkept(uint32_t code, const char *why)
{
    s_unkept = code;
    snprintf(s_unkeptWhy, sizeof(s_unkeptWhy), "%s", code && why ? why : "");
}

static std::string AdapterLine(bool have, const char *name, uint32_t index)
{
    if (!have)
        return "";
    char line[200];
    snprintf(line, sizeof(line), "adapter %" PRIx32 " %s\n", index, name);
    return line;
}

static std::string MetricLine(bool have, uint32_t index, uint32_t metric, bool automatic)
{
    if (!have)
        return "";
    char line[64];
    snprintf(line, sizeof(line), "metric %" PRIx32 " %" PRIx32 " %d\n", index, metric, automatic ? 1 : 0);
    return line;
}

static std::string NotedMetricLine()
{
    return MetricLine(s_haveMetric, s_metricIndex, s_metric, s_automaticMetric);
}

// The whole file from its parts; nothing of the caller's state changes here,
// so that a file that could not be written leaves it as the disk has it.
static uint32_t Write(const std::string &adapter, const std::string &metric, const std::string &routes)
{
    if (s_unkept != 0) {
        LOG_Print("ERROR: No undo is kept (%s): the change is not made\r\n", s_unkeptWhy);
        return s_unkept;
    }
    std::string text = adapter + metric + routes;
    if (text.empty()) {
        STATESYS_Remove(STATE_Path());
        return 0;
    }
    char boot[64];
    STATESYS_Boot(boot, sizeof(boot));
    if (boot[0])
        text = "boot " + std::string(boot) + "\n" + text;
    // The entries' own bound keeps far below this; the reader refuses a file
    // past it whole, and every change it stands for would be lost.
    if (text.size() > STATE_FILE_MAX / 4) {
        LOG_Print("ERROR: The state file would be %lu bytes: the change is not made\r\n", (unsigned long)text.size());
        return STATE_FULL;
    }
    uint32_t code = STATESYS_Write(STATE_Path(), text.data(), text.size());
    if (code != 0)
        LOG_Print("ERROR: Unable to write the state file \"%s\": %lu (%s); the change is not made\r\n", STATE_Path(),
                  (unsigned long)code, GetErrorText(code));
    return code;
}

uint32_t STATE_NoteAdapter(const char *name, uint32_t index)
{
    char safe[sizeof(s_adapterName)];
    size_t n = 0;
    // The name is one line of the file: control characters would split it.
    for (const char *p = name ? name : ""; *p && n + 1 < sizeof(safe); p++)
        safe[n++] = (unsigned char)*p < 0x20 || *p == 0x7F ? '?' : *p;
    safe[n] = '\0';
    if (s_haveAdapter && s_adapterIndex == index && strcmp(s_adapterName, safe) == 0)
        return 0;
    uint32_t code = Write(AdapterLine(true, safe, index), NotedMetricLine(), s_routes);
    if (code != 0)
        return code;
    s_haveAdapter = true;
    s_adapterIndex = index;
    memcpy(s_adapterName, safe, n + 1);
    return 0;
}

uint32_t STATE_NoteRoutes(const RouteRecord *added, const RouteRecord *removed, const RouteRecord *raised)
{
    std::string text;
    unsigned entries = 0;
    for (const RouteRecord *r = added; r; r = r->next, entries++)
        AppendRow(&text, "added", &r->row);
    for (const RouteRecord *r = removed; r; r = r->next, entries++) {
        AppendRow(&text, "removed", &r->row);
        AppendDetail(&text, &r->detail);
    }
    for (const RouteRecord *r = raised; r; r = r->next, entries++)
        AppendRow(&text, "raised", &r->row);
    if (text == s_routes)
        return 0;
    // Fewer entries are always written: they are what is left to undo.
    if (entries > STATE_ENTRIES_MAX && entries > s_entries) {
        LOG_Print("ERROR: The state file holds the most route entries it may (%u): the change is not made\r\n",
                  (unsigned)STATE_ENTRIES_MAX);
        return STATE_FULL;
    }
    uint32_t code = Write(AdapterLine(s_haveAdapter, s_adapterName, s_adapterIndex), NotedMetricLine(), text);
    if (code == 0) {
        s_routes = text;
        s_entries = entries;
    }
    return code;
}

uint32_t STATE_NoteMetric(uint32_t index, uint32_t metric, bool automatic)
{
    if (s_haveMetric)
        return 0;
    uint32_t code = Write(AdapterLine(s_haveAdapter, s_adapterName, s_adapterIndex),
                          MetricLine(true, index, metric, automatic), s_routes);
    if (code != 0)
        return code;
    s_haveMetric = true;
    s_metricIndex = index;
    s_metric = metric;
    s_automaticMetric = automatic;
    return 0;
}

bool STATE_NotedMetric(uint32_t *index, uint32_t *metric, bool *automatic)
{
    if (!s_haveMetric)
        return false;
    *index = s_metricIndex;
    *metric = s_metric;
    *automatic = s_automaticMetric;
    return true;
}

bool STATE_NotedAdapter(char *name, size_t size, uint32_t *index)
{
    if (!s_haveAdapter)
        return false;
    snprintf(name, size, "%s", s_adapterName);
    *index = s_adapterIndex;
    return true;
}

void STATE_Clear()
{
    s_haveAdapter = false;
    s_adapterName[0] = '\0';
    s_adapterIndex = 0;
    s_haveMetric = false;
    s_metricIndex = s_metric = 0;
    s_automaticMetric = false;
    s_routes.clear();
    s_entries = 0;
    // Without the lock the file on disk is not this copy's: it may be the
    // undo a service that died left, to be read once the lock can be had.
    if (s_unkept == 0)
        STATESYS_Remove(STATE_Path());
}

static bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

static uint32_t HexValue(char c)
{
    return c <= '9' ? (uint32_t)(c - '0') : (uint32_t)(c - 'a' + 10);
}

// " <1 to 8 hex digits>": the text after it, or null.
static const char *Field(const char *p, uint32_t *field)
{
    if (!p || *p != ' ')
        return nullptr;
    p++;
    uint32_t value = 0;
    int digits = 0;
    for (; IsHex(*p); p++, digits++)
        value = value << 4 | HexValue(*p);
    if (digits == 0 || digits > 8)
        return nullptr;
    *field = value;
    return p;
}

static bool ParseRow(const char *fields, RouteRow *r)
{
    uint32_t *v[15] = {&r->destination, &r->mask,      &r->policy,  &r->nextHop, &r->ifIndex,
                       &r->type,        &r->protocol,  &r->age,     &r->nextHopAS, &r->metric1,
                       &r->metric2,     &r->metric3,   &r->metric4, &r->metric5, &r->sysProtocol};
    const char *p = fields;
    for (uint32_t *field : v)
        p = Field(p, field);
    return p && *p == '\0';
}

// What AppendDetail writes: the values are the system's to judge (the
// recovery asks it), the form is judged here.
static bool ParseDetail(const char *fields, RouteDetail *d)
{
    *d = RouteDetail();
    uint32_t *head[7] = {&d->table, &d->scope, &d->type, &d->flags, &d->source, &d->nextHopId, &d->metricsSet};
    const char *p = fields;
    for (uint32_t *field : head)
        p = Field(p, field);
    if (!p || (d->metricsSet >> ROUTE_DETAIL_METRICS) != 0)
        return false;
    for (uint32_t i = 0; i < ROUTE_DETAIL_METRICS; i++)
        if (d->metricsSet & (1u << i))
            p = Field(p, &d->metrics[i]);
    p = Field(p, &d->hopCount);
    if (!p || d->hopCount > ROUTE_DETAIL_HOPS)
        return false;
    for (uint32_t i = 0; i < d->hopCount; i++) {
        RouteHop *h = &d->hops[i];
        p = Field(Field(Field(Field(p, &h->gateway), &h->ifIndex), &h->weight), &h->flags);
    }
    if (!p || *p != '\0')
        return false;
    d->present = 1;
    return true;
}

static void Reset(StateContent *out)
{
    out->refused = false;
    out->why[0] = '\0';
    out->boot[0] = '\0';
    out->haveAdapter = false;
    out->adapterName[0] = '\0';
    out->adapterIndex = 0;
    out->haveMetric = false;
    out->metricIndex = out->metric = 0;
    out->automaticMetric = false;
    out->added.clear();
    out->removed.clear();
    out->raised.clear();
    out->removedDetail.clear();
}

// "adapter <index> <name>": the name as STATE_NoteAdapter writes it.
static bool ParseAdapter(const char *fields, StateContent *out)
{
    uint32_t index = 0;
    if (out->haveAdapter || !(fields = Field(fields, &index)) || *fields++ != ' ' || !*fields)
        return false;
    if (strlen(fields) >= sizeof(out->adapterName))
        return false;
    for (const char *p = fields; *p; p++)
        if ((unsigned char)*p < 0x20 || *p == 0x7F)
            return false;
    out->haveAdapter = true;
    out->adapterIndex = index;
    snprintf(out->adapterName, sizeof(out->adapterName), "%s", fields);
    return true;
}

// "metric <index> <metric> <0|1>", once.
static bool ParseMetric(const char *fields, StateContent *out)
{
    uint32_t index = 0, metric = 0;
    if (out->haveMetric || !(fields = Field(Field(fields, &index), &metric)))
        return false;
    if (fields[0] != ' ' || (fields[1] != '0' && fields[1] != '1') || fields[2] != '\0')
        return false;
    out->haveMetric = true;
    out->metricIndex = index;
    out->metric = metric;
    out->automaticMetric = fields[1] == '1';
    return true;
}

static bool ParseBoot(const char *fields, StateContent *out)
{
    if (out->boot[0] || *fields++ != ' ' || !*fields || strlen(fields) >= sizeof(out->boot))
        return false;
    for (const char *p = fields; *p; p++)
        if (!IsHex(*p) && *p != '-')
            return false;
    snprintf(out->boot, sizeof(out->boot), "%s", fields);
    return true;
}

// One line, its end taken off: false when it is no entry. detailMay says
// whether the line before was a removed route still without its detail.
static bool ParseLine(const char *line, StateContent *out, bool *detailMay)
{
    bool may = *detailMay;
    *detailMay = false;
    if (strncmp(line, "detail", 6) == 0)
        return may && ParseDetail(line + 6, &out->removedDetail.back());
    static const struct {
        const char *word;
        std::vector<RouteRow> StateContent::*list;
    } kinds[] = {{"added", &StateContent::added}, {"removed", &StateContent::removed},
                 {"raised", &StateContent::raised}};
    if (strncmp(line, "boot", 4) == 0)
        return ParseBoot(line + 4, out);
    if (strncmp(line, "adapter", 7) == 0)
        return ParseAdapter(line + 7, out);
    if (strncmp(line, "metric", 6) == 0)
        return ParseMetric(line + 6, out);
    for (const auto &k : kinds) {
        size_t n = strlen(k.word);
        RouteRow r = {};
        if (strncmp(line, k.word, n) == 0) {
            if (!ParseRow(line + n, &r))
                return false;
            (out->*k.list).push_back(r);
            if (k.list == &StateContent::removed) {
                out->removedDetail.push_back(RouteDetail());
                *detailMay = true;
            }
            return true;
        }
    }
    return false;
}

static int Refuse(StateContent *out, const char *why, size_t lineNumber)
{
    Reset(out);
    out->refused = true;
    snprintf(out->why, sizeof(out->why), "line %lu %s", (unsigned long)lineNumber, why);
    return 0;
}

int STATE_Parse(const char *text, size_t length, StateContent *out)
{
    Reset(out);
    if (length > STATE_FILE_MAX) {
        out->refused = true;
        snprintf(out->why, sizeof(out->why), "larger than %u bytes", (unsigned)STATE_FILE_MAX);
        return 0;
    }
    char line[STATE_LINE_MAX];
    size_t number = 0;
    bool detailMay = false;
    for (size_t at = 0; at < length;) {
        const char *start = text + at;
        const char *nl = static_cast<const char *>(memchr(start, '\n', length - at));
        size_t n = nl ? (size_t)(nl - start) : length - at;
        at += n + (nl ? 1 : 0);
        number++;
        // Whole lines only: the tail of a line too long for the buffer is no
        // entry of its own.
        if (n >= sizeof(line))
            return Refuse(out, "is longer than any entry", number);
        if (!nl)
            return Refuse(out, "has no end", number);
        if (memchr(start, '\0', n))
            return Refuse(out, "holds a NUL", number);
        memcpy(line, start, n);
        line[n] = '\0';
        if (n > 0 && line[n - 1] == '\r')
            line[n - 1] = '\0';
        if (!ParseLine(line, out, &detailMay))
            return Refuse(out, "is no entry", number);
    }
    return 1;
}

int STATE_Load(StateContent *out)
{
    Reset(out);
    out->present = false;
    char why[STATE_WHY_MAX] = "";
    if (STATESYS_CheckFolder(STATE_Path(), why, sizeof(why)) != 0) {
        // A folder that is not the service's own may hold a file of anyone's.
        out->present = true;
        out->refused = true;
        snprintf(out->why, sizeof(out->why), "%s", why);
        return 1;
    }
    std::vector<char> text;
    int read = STATESYS_Read(STATE_Path(), &text, why, sizeof(why));
    if (read == STATE_READ_NONE)
        return 0;
    out->present = true;
    if (read == STATE_READ_REFUSED) {
        out->refused = true;
        snprintf(out->why, sizeof(out->why), "%s", why);
        return 1;
    }
    STATE_Parse(text.data(), text.size(), out);
    return 1;
}

bool STATE_SameBoot(const StateContent *state)
{
    return state->boot[0] == '\0' || STATESYS_SameBoot(state->boot);
}

uint32_t STATE_Lock()
{
    return STATESYS_Lock(STATE_Path());
}
