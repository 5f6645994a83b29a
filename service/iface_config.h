// The tunnel adapter's address, mask, gateway, MTU, DNS servers and
// interface metric, set on the client's behalf.
//
// Each change is one step handed to the system's backend: on Windows one
// hidden netsh run per step (the step carries its netsh parameters), on Linux
// netlink requests and a resolver file. As with netsh, only a step that
// cannot be started at all is an error; a step the system refuses is logged
// and counts as done. The resolver file is no such refusal: a DNS step whose
// file could not be written fails its request. Input that could not be
// passed on safely (an adapter name with a quote or a control character, a
// mask that is no prefix) is refused with the backend's invalid-parameter
// code before anything runs.
//
// Every operation returns 0 or an error code (Win32 on Windows, errno on
// Linux). Addresses are IPv4 in network byte order. Only the pipe worker calls
// these; nothing here is locked.
#pragma once

#include <cstddef>
#include <cstdint>

#define IFACE_NO_GATEWAY 0xFFFFFFFFu  // gateway value: remove the gateways
#define IFACE_NAME_MAX 128             // adapter name, its NUL included
#define IFACE_DESIGNATION_MAX 256
#define IFACE_COMMAND_MAX 1024
#define IFACE_RESET_MTU 1400u

uint32_t IFACE_SetAddress(const char *name, uint32_t index, uint32_t address, uint32_t mask,
                          uint32_t gateway, uint32_t mtu);
// Deletes the address and every gateway of the adapter.
uint32_t IFACE_DeleteAddress(const char *name, uint32_t index, uint32_t address);
// clear removes every DNS server first; dns1 then replaces the list and dns2
// is added second. A server of 0 is left out.
uint32_t IFACE_SetDns(const char *name, uint32_t index, bool clear, uint32_t dns1, uint32_t dns2);
// Interface metric 1 with automatic metric off (Windows Vista on; Linux has
// no interface metric and does nothing). The adapter's own settings are
// noted in the undo file first (the first noted since the last clear holds).
// On failure logs the warning and writes the information event.
uint32_t IFACE_SetMetric(uint32_t index);
// The adapter's own metric settings noted by IFACE_SetMetric put back (at
// the noted index); 0 when none were noted. The note stays until the undo
// file is cleared.
uint32_t IFACE_RestoreMetric();
// Those settings put back as given (a successor that cannot note them).
uint32_t IFACE_PutBackMetric(uint32_t index, uint32_t metric, bool automatic);

// The adapter's placeholder before a client's routes are undone: address
// 1.1.1.1/24 without gateway, MTU 1400, no DNS servers. Returns only a
// failure to start a step (the worker ends on it); a kept adapter name that
// cannot be used is logged and nothing is run, and so is a resolver file
// that could not be emptied.
uint32_t IFACE_ResetAdapter(const char *name, uint32_t index);
// True when an address change is the placeholder's (1.1.1.1/24, gateways
// removed), from the reset above or from the client.
bool IFACE_IsPlaceholder(uint32_t address, uint32_t mask, uint32_t gateway);

// True when the adapter name may go into a command: shorter than
// IFACE_NAME_MAX, and without a double quote or a control character.
bool IFACE_NameIsSafe(const char *name);
// True when the mask is a prefix (ones, then zeros), the empty mask included.
bool IFACE_MaskIsPrefix(uint32_t mask);
// How netsh names the adapter: the quoted name on Windows older than Vista,
// the decimal index otherwise. Truncates to size.
void IFACE_Designation(char *out, size_t size, const char *name, uint32_t index, bool legacy);

// ---- System backend ----

enum IfaceStepKind {
    IFACE_STEP_SET_ADDRESS = 0,     // address, mask, gateway
    IFACE_STEP_SET_MTU = 1,         // mtu
    IFACE_STEP_DELETE_ADDRESS = 2,  // address, and all gateways
    IFACE_STEP_CLEAR_DNS = 3,
    IFACE_STEP_SET_DNS = 4,         // address: the only server
    IFACE_STEP_ADD_DNS = 5          // address: the second server
};

struct IfaceStep {
    int32_t kind;
    const char *name;
    uint32_t index;
    uint32_t address;
    uint32_t mask;
    uint32_t gateway;  // 0 keeps the gateways, IFACE_NO_GATEWAY removes them
    uint32_t mtu;
    const char *command;  // the netsh parameters of this step
};

struct IfaceSys {
    const char *tool;  // named in the start-failure line
    bool (*IsLegacy)();
    uint32_t (*Run)(const IfaceStep *step);  // 0, or the error of starting it
    uint32_t (*SetMetric)(uint32_t index);   // 0 or the failing call's code
    uint32_t invalidParameter;
    // The DNS steps write a file of the service's (Linux): a failed one
    // fails its request but ends no sequence that resets the adapter.
    bool dnsInFile;
    // The interface's own metric settings (its metric, whether the system
    // chooses it), read and put back; null where the system has no
    // interface metric. 0 or the failing call's code.
    uint32_t (*GetMetric)(uint32_t index, uint32_t *metric, bool *automatic);
    uint32_t (*PutMetric)(uint32_t index, uint32_t metric, bool automatic);
};

// The platform's backend (iface_config_win32.cpp, iface_config_linux.cpp).
const IfaceSys *IFACE_SystemBackend();
// Replaces the backend (tests); null restores the system's. Returns the old.
const IfaceSys *IFACE_SetSystem(const IfaceSys *sys);
// Whether the adapter is named by its name (older Windows) in commands.
bool IFACE_LegacySystem();

// Linux: the resolver file the DNS steps write, SVCPIPE_DnsFile() (the one
// the client reads) unless IFACE_SetDnsFile names another.
void IFACE_SetDnsFile(const char *path);
const char *IFACE_DnsFile();
