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

static void Write()
{
    std::string text;
    if (s_haveAdapter) {
        char line[200];
        snprintf(line, sizeof(line), "adapter %" PRIx32 " %s\n", s_adapterIndex, s_adapterName);
        text += line;
    }
    text += s_routes;
    if (text.empty()) {
        STATESYS_Remove(STATE_Path());
        return;
    }
    uint32_t code = STATESYS_Write(STATE_Path(), text.data(), text.size());
    if (code != 0)
        LOG_Print("ERROR: Unable to write the state file \"%s\": %lu (%s)\r\n", STATE_Path(), (unsigned long)code,
                  GetErrorText(code));
}

void STATE_NoteAdapter(const char *name, uint32_t index)
{
    char safe[sizeof(s_adapterName)];
    size_t n = 0;
    // The name is one line of the file: control characters would split it.
    for (const char *p = name ? name : ""; *p && n + 1 < sizeof(safe); p++)
        safe[n++] = (unsigned char)*p < 0x20 || *p == 0x7F ? '?' : *p;
    safe[n] = '\0';
    if (s_haveAdapter && s_adapterIndex == index && strcmp(s_adapterName, safe) == 0)
        return;
    s_haveAdapter = true;
    s_adapterIndex = index;
    memcpy(s_adapterName, safe, n + 1);
    Write();
}

void STATE_NoteRoutes(const RouteRecord *added, const RouteRecord *removed, const RouteRecord *raised)
{
    std::string text;
    for (const RouteRecord *r = added; r; r = r->next)
        AppendRow(&text, "added", &r->row);
    for (const RouteRecord *r = removed; r; r = r->next)
        AppendRow(&text, "removed", &r->row);
    for (const RouteRecord *r = raised; r; r = r->next)
        AppendRow(&text, "raised", &r->row);
    if (text == s_routes)
        return;
    s_routes = text;
    Write();
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
    s_routes.clear();
    STATESYS_Remove(STATE_Path());
}

static bool ParseRow(const char *fields, RouteRow *r)
{
    uint32_t *v[15] = {&r->destination, &r->mask,      &r->policy,  &r->nextHop, &r->ifIndex,
                       &r->type,        &r->protocol,  &r->age,     &r->nextHopAS, &r->metric1,
                       &r->metric2,     &r->metric3,   &r->metric4, &r->metric5, &r->sysProtocol};
    const char *p = fields;
    for (uint32_t *field : v) {
        char *end;
        while (*p == ' ')
            p++;
        if (!*p)
            return false;
        unsigned long long value = strtoull(p, &end, 16);
        if (end == p || value > 0xFFFFFFFFull || (*end != ' ' && *end != '\n' && *end != '\0'))
            return false;
        *field = (uint32_t)value;
        p = end;
    }
    return true;
}

int STATE_Load(StateContent *out)
{
    out->present = false;
    out->haveAdapter = false;
    out->adapterName[0] = '\0';
    out->adapterIndex = 0;
    out->added.clear();
    out->removed.clear();
    out->raised.clear();
    FILE *f = fopen(STATE_Path(), "r");
    if (!f)
        return 0;
    out->present = true;
    char line[512];
    while (fgets(line, sizeof(line), f)) {
        line[strcspn(line, "\r\n")] = '\0';
        RouteRow r = {};
        if (strncmp(line, "adapter ", 8) == 0) {
            char *end;
            unsigned long index = strtoul(line + 8, &end, 16);
            if (end == line + 8 || *end != ' ')
                continue;
            out->haveAdapter = true;
            out->adapterIndex = (uint32_t)index;
            snprintf(out->adapterName, sizeof(out->adapterName), "%s", end + 1);
        } else if (strncmp(line, "added ", 6) == 0 && ParseRow(line + 6, &r)) {
            out->added.push_back(r);
        } else if (strncmp(line, "removed ", 8) == 0 && ParseRow(line + 8, &r)) {
            out->removed.push_back(r);
        } else if (strncmp(line, "raised ", 7) == 0 && ParseRow(line + 7, &r)) {
            out->raised.push_back(r);
        }
    }
    fclose(f);
    return 1;
}
