// Interface lookup: finds one network adapter of the machine by TAP
// description, interface index or IPv4 address and fills its record. Each
// call reads the system's list anew; nothing is cached and no lock is taken.
#ifndef TLX_NET_IFACE_H
#define TLX_NET_IFACE_H

#include <stdint.h>

#include "errorinfo.h"
#include "tunlex.h"

enum NETIFACE_KeyKind : uint32_t {
    NETIFACE_BY_TAP = 0,        // down, description starts with a TAP driver's name
    NETIFACE_BY_INDEX = 2,      // value: interface index
    NETIFACE_BY_ADDRESS = 3     // value: IPv4 address, network order; 0 matches any
};

struct NETIFACE_Key {
    uint32_t kind;              // NETIFACE_KeyKind; any other value matches nothing
    uint32_t value;
};

// Operational status as the system's adapter list reports it (1..7).
enum {
    NETIFACE_OPER_UP = 1,
    NETIFACE_OPER_DOWN = 2,
    NETIFACE_OPER_TESTING = 3,
    NETIFACE_OPER_UNKNOWN = 4,
    NETIFACE_OPER_DORMANT = 5,
    NETIFACE_OPER_NOT_PRESENT = 6,
    NETIFACE_OPER_LOWER_LAYER_DOWN = 7
};

// The TAP driver descriptions the BY_TAP key accepts (prefixes, case-sensitive).
extern const char *const NETIFACE_TapDescriptions[2];

// What a user whose machine has no such adapter reads: the descriptions
// looked for and how this system's adapter gets one (one line).
const char *NETIFACE_TapHint(void);

// 1 when the first adapter in system order matching the key was found; info
// (zeroed first) and operStatus are filled when given. 0 when none matched
// (no message) or the list could not be read (message, if the chain is empty).
int NETIFACE_Lookup(const NETIFACE_Key *key, TUNLEX_InterfaceInfo *info, uint32_t *operStatus,
                    ErrorInfo *chain);

// The same on the system's list alone, without the test hook (each system's
// own file).
int NETIFACE_SystemLookup(const NETIFACE_Key *key, TUNLEX_InterfaceInfo *info,
                          uint32_t *operStatus, ErrorInfo *chain);

// Tests stand in for the machine's adapters here: a hook that answers 1 or 0
// decides the lookup (and fills info and operStatus, when given, itself); -1
// leaves it to the system's list. Null removes it; set it while no
// connection runs.
typedef int (*NETIFACE_LookupHook)(const NETIFACE_Key *key, TUNLEX_InterfaceInfo *info,
                                   uint32_t *operStatus);
void NETIFACE_TestSetLookupHook(NETIFACE_LookupHook hook);

// Logs the record in 6 lines, and its status in a 7th when operStatus is given.
void NETIFACE_Print(const TUNLEX_InterfaceInfo *info, const uint32_t *operStatus);

// Text of an operational status: "Up" .. "Lower Layer Down", else "N/A".
const char *NETIFACE_OperStatusName(uint32_t operStatus);

// Linux has no DNS servers per adapter: every adapter reports the first two
// IPv4 "nameserver" lines of this resolver file (null: "/etc/resolv.conf").
// The Windows build ignores it.
void NETIFACE_SetResolverFile(const char *path);

// Linux: one line for a DNS wait that ran out, naming the resolver file the
// lookups read and what it holds now, and where the route service writes
// its servers; 1 written. Windows reads each adapter's own servers: 0.
int NETIFACE_DescribeDnsSource(char *out, uint32_t size);

#endif
