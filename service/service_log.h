// The route service's text log (standard output and an optional log file),
// its event log (the Application event log on Windows, syslog on Linux) and
// the small text helpers every part of the service uses.
//
// All text is single-byte. Formats are the C library's: a %lu argument must
// be cast to (unsigned long), a %s argument is a char pointer.
//
// Error codes are Win32 error codes on Windows and errno values on Linux.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
#define SVC_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define SVC_PRINTF(f, a)
#endif

// The service's name: the SCM key, the event source and the first insertion
// string of every event.
#define SVC_SERVICE_NAME "QuorvantiVantorelleTUNLEX"
#define SVC_DISPLAY_NAME "Quorvanti Vantorelle SSL VPN"
// Windows: the event source's message library, in bin below the program's
// folder (the install registers it there and judges who may change it).
#define SVC_MESSAGE_LIBRARY "NoticeCatalog.dll"

// Event types (the event log's values) and the ids of the message table.
enum {
    SVC_EVENT_SUCCESS = 0,
    SVC_EVENT_ERROR = 1,
    SVC_EVENT_WARNING = 2,
    SVC_EVENT_INFO = 4,
    SVC_EVENT_AUDIT_SUCCESS = 8,
    SVC_EVENT_AUDIT_FAILURE = 16
};
#define SVC_EVENT_ID_INFO 0x400003E8u   // informational, message 1000
#define SVC_EVENT_ID_ERROR 0xC00003E9u  // error, message 1001
#define SVC_EVENT_CATEGORY_INFO 1
#define SVC_EVENT_CATEGORY_ERROR 2

#define SVC_LOG_LINE_MAX 2048
#define SVC_ERROR_TEXT_MAX 2048
#define SVC_IP_SLOTS 5
#define SVC_IP_SLOT_MAX 128

// Formats a text for the log (the format carries its own "\r\n") and
// writes it to standard output and, when one is open, to the log file; both
// are flushed at once. Longer texts are cut at SVC_LOG_LINE_MAX - 1 bytes.
// Returns the formatter's result.
int LOG_Print(const char *format, ...) SVC_PRINTF(1, 2);

// Opens the log file (write, binary, committed on flush; on Windows other
// writers are denied). An earlier log file is closed first. 1 or 0.
int LOG_OpenFile(const char *path);
// Closes the log file and forgets one named by LOG_SetFile.
void LOG_CloseFile();

// The log file of the command line comes in two steps, so that a copy of the
// service that another copy's lock refuses changes nothing of that copy's
// log: LOG_SetFile checks the name and changes nothing (1, or 0 with the
// reason in why); LOG_StartFile, once the service holds its lock, opens the
// file anew (on Linux: a file that is not the service's own is replaced by
// one that is) and writes the lines printed since, up to SVC_LOG_EARLY_MAX
// bytes of them. A file that another copy of the service writes (on Windows:
// holds open) is neither emptied nor written. LOG_StartFile returns 1 (also
// when no file is named), or 0 with the reason in why; the name is forgotten
// then.
#define SVC_LOG_EARLY_MAX 65536
#define SVC_LOG_PATH_MAX 1024
#define SVC_LOG_WHY_MAX 256
int LOG_SetFile(const char *path, char *why, size_t size);
int LOG_StartFile(char *why, size_t size);

// Reports one event under the service's name and echoes it on standard
// output as "%8s: %s\r\n" (type name, text). Type 1 is written as an error
// event (id SVC_EVENT_ID_ERROR, category 2), every other type as information
// (SVC_EVENT_ID_INFO, category 1). Failures of the event log are not reported.
void EVENTLOG_Write(uint16_t type, const char *text);

// An error event with the text "<what> failed w/err 0x%08lx".
void EVENTLOG_WriteError(uint32_t code, const char *what);

// "SUCCESS", "ERROR", "WARNING", "INFO", "AUDIT_SUCCESS", "AUDIT_FAILURE" or "N/A".
const char *EVENTLOG_TypeName(uint16_t type);

// Where events go. The default (null) is the system's event log; a test puts
// its own recorder here. Returns the sink that was set before.
typedef void (*EVENTLOG_Sink)(uint16_t type, uint16_t category, uint32_t eventId,
                              const char *source, const char *text);
EVENTLOG_Sink EVENTLOG_SetSink(EVENTLOG_Sink sink);

// True on Windows older than Vista (or when the version cannot be read);
// always false on Linux.
bool IsLegacyWindows();

// The system's text for an error code, without trailing CR and LF, in one
// static buffer that the next call overwrites.
const char *GetErrorText(uint32_t code);

// Dotted text of an IPv4 address in network byte order, in one of five static
// slots used in turn: a sixth call overwrites the first call's text.
const char *SVC_IpToString(uint32_t address);
