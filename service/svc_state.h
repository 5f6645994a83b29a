// The service's undo on disk: what the route work and the adapter
// configuration would have to put back, written before each change and
// rewritten as entries are undone, so that a service that dies with changes
// outstanding leaves them to its successor, which undoes them at its start.
//
// One text file, one entry a line:
//   adapter <index hex> <name>
//   added|removed|raised <the 15 fields of a RouteRow, hex>
// in the lists' own order (most recent first). The file goes when nothing
// is left to undo.
#pragma once

#include "route_work.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The file: VANTORELLE_SERVICE_STATE when set, else the platform's place
// (Linux /run/vantorelle/service.state; Windows the service's folder under
// ProgramData, for SYSTEM and Administrators only). A path set here wins
// (tests); null goes back to the default.
void STATE_SetPath(const char *path);
const char *STATE_Path();

// The adapter a client changes; written when it is new.
void STATE_NoteAdapter(const char *name, uint32_t index);
// The three lists as they are now; written at once.
void STATE_NoteRoutes(const RouteRecord *added, const RouteRecord *removed, const RouteRecord *raised);
// The adapter noted since the last clear; false when none was changed.
bool STATE_NotedAdapter(char *name, size_t size, uint32_t *index);
// Nothing is left to undo: forgets the adapter and removes the file.
void STATE_Clear();

struct StateContent {
    bool present;  // a file was found
    bool haveAdapter;
    char adapterName[128];
    uint32_t adapterIndex;
    std::vector<RouteRow> added, removed, raised;  // in list order
};
// Reads the file; unreadable lines are skipped. 1 when a file was found.
int STATE_Load(StateContent *out);

// ---- Platform ----
#define STATE_ENV "VANTORELLE_SERVICE_STATE"
void STATESYS_DefaultPath(char *out, size_t size);
// Writes the text as the whole file (the folder made if needed, readable by
// the system's administrators only), replacing it in one step. 0 or an error.
uint32_t STATESYS_Write(const char *path, const char *text, size_t length);
void STATESYS_Remove(const char *path);
