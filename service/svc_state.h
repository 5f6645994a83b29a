// The service's undo on disk: what the route work and the adapter
// configuration would have to put back, written before each change and
// rewritten as entries are undone, so that a service that dies with changes
// outstanding leaves them to its successor, which undoes them at its start.
//
// One text file, one entry a line:
//   boot <the system start the file was written in>
//   adapter <index hex> <name>      (Windows: the name is the adapter's GUID)
//   metric <index hex> <metric hex> <automatic 0|1>
//                                   (the adapter's own interface metric
//                                   before the service set its own)
//   added|removed|raised <the 15 fields of a RouteRow, hex>
//   detail <table> <scope> <type> <flags> <source> <next-hop id>
//          <metrics set> <each set metric, lowest first>
//          <hop count> <gateway> <index> <weight> <flags> for each hop
//                                  (hex; only right after a removed line:
//                                  what the system held of that route)
// in the lists' own order (most recent first). The file goes when nothing
// is left to undo. A removed line without a detail line is a route known
// by its row alone, as an older service wrote it.
//
// Nothing on disk is trusted: the folder must be the service's own (on
// Linux every folder above it too root's or the service's, and writable by
// nobody else unless root's and sticky) and the file a plain file of the
// service's own that nobody else may read or write (no link followed), every line whole and of the service's own
// making; anything else is refused as a whole and nothing of it is undone.
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

// The adapter a client changes; written when it is new. The three lists as
// they are now; written at once. Each is written before the change it stands
// for: 0, or the error that kept it off the disk (the file is then as it was,
// and the change must not be made).
uint32_t STATE_NoteAdapter(const char *name, uint32_t index);
uint32_t STATE_NoteRoutes(const RouteRecord *added, const RouteRecord *removed, const RouteRecord *raised);
// The most route entries the file holds: the lists past it are not written
// (STATE_FULL), so that the file stays far below what its reader takes.
#define STATE_ENTRIES_MAX 256
extern const uint32_t STATE_FULL;
// A service that could not take its lock keeps no undo for its life: every
// note fails with code, logged with why. Code 0 writes them again (tests).
void STATE_SetUnkept(uint32_t code, const char *why);
// The adapter noted since the last clear; false when none was changed.
bool STATE_NotedAdapter(char *name, size_t size, uint32_t *index);
// The adapter's interface metric as it was before the service changed it
// (its metric, and whether the system chose it); written at once. The first
// noted since the last clear holds. 0, or the error that kept it off the
// disk (nothing is noted then).
uint32_t STATE_NoteMetric(uint32_t index, uint32_t metric, bool automatic);
bool STATE_NotedMetric(uint32_t *index, uint32_t *metric, bool *automatic);
// Nothing is left to undo: forgets the adapter and removes the file.
void STATE_Clear();

// The longest line the service writes is well below this; a longer one is
// no line of its own.
#define STATE_LINE_MAX 1024
// A file larger than this is no undo of the service's own.
#define STATE_FILE_MAX (256 * 1024)
#define STATE_WHY_MAX 200

struct StateContent {
    bool present;  // a file was found
    bool refused;  // ... and may not be used at all; why says why
    char why[STATE_WHY_MAX];
    char boot[64];  // empty when the file names no boot
    bool haveAdapter;
    char adapterName[128];
    uint32_t adapterIndex;
    bool haveMetric;  // the adapter's own metric settings, to be put back
    uint32_t metricIndex, metric;
    bool automaticMetric;
    std::vector<RouteRow> added, removed, raised;  // in list order
    std::vector<RouteDetail> removedDetail;        // one for each removed row
};
// The file's text: 1 when every line is an entry, else 0 with why set (the
// content is then emptied).
int STATE_Parse(const char *text, size_t length, StateContent *out);
// Checks the folder and the file and reads it. 1 when a file was found:
// refused then says whether it may be used.
int STATE_Load(StateContent *out);
// True when the file was written in this boot of the system (or names none,
// as a file of an older service does).
bool STATE_SameBoot(const StateContent *state);

// Only one service may recover and serve: an exclusive lock beside the
// file, held for the process's life. 0 when held (again), else the error
// (STATE_LOCK_TAKEN when another process holds it).
uint32_t STATE_Lock();
extern const uint32_t STATE_LOCK_TAKEN;

// ---- Platform ----
#define STATE_ENV "VANTORELLE_SERVICE_STATE"
void STATESYS_DefaultPath(char *out, size_t size);
// The folder of the file made if missing, then checked (and on Windows its
// parents' owners and where the opened folder really is checked too, its
// protection re-applied); 0, or an error with why set.
uint32_t STATESYS_CheckFolder(const char *path, char *why, size_t size);
// Writes the text as the whole file, replacing it in one step, no link
// followed. 0 or an error.
uint32_t STATESYS_Write(const char *path, const char *text, size_t length);
void STATESYS_Remove(const char *path);
enum { STATE_READ_NONE = 0, STATE_READ_OK = 1, STATE_READ_REFUSED = 2 };
// The file's text (at most STATE_FILE_MAX + 1 bytes), after the checks of
// the file itself; why says why a file is refused.
int STATESYS_Read(const char *path, std::vector<char> *text, char *why, size_t size);
// This boot of the system, as a word of [0-9a-f-], and whether a recorded
// one is this boot.
void STATESYS_Boot(char *out, size_t size);
bool STATESYS_SameBoot(const char *recorded);
uint32_t STATESYS_Lock(const char *path);
// The adapter of the file as it is today: the TAP adapter of that name (on
// Windows its GUID, whose index may have changed since); 0 and its index
// today, or an error.
uint32_t STATESYS_FindAdapter(const char *name, uint32_t recorded, uint32_t *today);
// Windows: the folder's and the file's own checks, on what the system said
// of them (the tests run them with what a system under test cannot make):
// the owner SID one the service trusts (SYSTEM, Administrators, the system's
// installer account, its own account), and why attributes are not those of a plain file or folder
// (null when they are).
bool STATESYS_TrustedOwner(const void *sid);
const char *STATESYS_AttributeFault(uint32_t attributes, bool folder);
