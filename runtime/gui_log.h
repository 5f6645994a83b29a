// Log sink of the client: every module reports through these functions, from
// any thread. Lines go to the diagnostic console (when one is registered),
// standard error and the log file. Formats follow the platform's C99 printf;
// pass 32-bit values to %u/%x (or cast to unsigned long for %lu).
#ifndef TLX_GUI_LOG_H
#define TLX_GUI_LOG_H

#include <stdint.h>
#include <stdio.h>

struct ErrorInfo;

enum {
    GUI_LINE_SIZE = 1024,       // one formatted line, NUL included
    GUI_STAMP_SIZE = 32,
    GUI_TRACE_THRESHOLD = 6     // GUI_Trace drops every level above this
};

// Console colours, 0x00BBGGRR.
enum : uint32_t {
    GUI_COLOUR_GREEN = 0x32FF32,
    GUI_COLOUR_ORANGE = 0x3296FF,
    GUI_COLOUR_RED = 0x3232FF,
    GUI_COLOUR_LIGHT_BLUE = 0xFF6464,
    GUI_COLOUR_LIGHT_RED = 0x6464FF,
    GUI_COLOUR_LIGHT_CYAN = 0xFFFF64,
    GUI_COLOUR_LIGHT_YELLOW = 0x64FFFF,
    GUI_COLOUR_WHITE = 0xFFFFFF
};

#define GUI_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))

// Writes the text to the console (time-stamped when timestamp != 0, coloured by
// level), then to standard error and the log file (flushed). No line end added.
int GUI_Print(int timestamp, int level, const char *fmt, ...) GUI_PRINTF(3, 4);

// GUI_Print with a time stamp, in light blue.
int GUI_Debug(const char *fmt, ...) GUI_PRINTF(1, 2);

// GUI_Debug for the console and the log file only: a detail that a user at
// the terminal has no use for on every run.
int GUI_DebugQuiet(const char *fmt, ...) GUI_PRINTF(1, 2);

// Prints a chain under "INFO" (0), "WARNING" (1), "ERROR" (2) or "" (other).
// The first entry goes to the console and the log file only; entries 2.. go
// through GUI_Print as "[tag n]: text". The chain is left unchanged.
void GUI_PrintErrorChain(int level, const ErrorInfo *chain);

// Balloon on the notification-area icon through the registered notifier;
// nothing while none is registered, nothing for an empty text. Never logs.
void GUI_Notify(int level, const char *text);

// Leveled trace "[%5s:%3d] text"; levels above GUI_TRACE_THRESHOLD are dropped.
// A line without a line end gets "\r\n".
void GUI_Trace(const char *module, int level, const char *fmt, ...) GUI_PRINTF(3, 4);

// The "-logfile" stream, or null. The sink only writes and flushes it.
void GUI_SetLogFile(FILE *file);
FILE *GUI_GetLogFile(void);

// Console destination. The console module registers its append function; one
// call carries one whole line: an optional time stamp (stamp null or "") in
// stampColour, then the text in colour. It is called without any sink lock
// held, from any thread: the console marshals to its own thread.
typedef void (*GUI_ConsoleAppend)(const char *stamp, uint32_t stampColour,
                                  const char *text, uint32_t colour);
void GUI_SetConsoleAppend(GUI_ConsoleAppend append);

// Balloon destination of GUI_Notify: title "Info", "Warning", "Error" or "".
typedef void (*GUI_NotifyHandler)(const char *title, const char *text);
void GUI_SetNotifyHandler(GUI_NotifyHandler handler);

// Test seam: sees every GUI_Trace call at every level, before the threshold,
// with the caller's formatted text (no prefix). Null to remove.
typedef void (*GUI_TraceTap)(const char *module, int level, const char *text);
void GUI_SetTraceTap(GUI_TraceTap tap);

// Colour rules, exposed for the console and for tests.
uint32_t GUI_PrintColour(int level);
uint32_t GUI_TraceColour(int level, const char *line);
const char *GUI_ErrorTag(int level);

// "[YYYY-MM-DD hh:mm:ss] " of the local time; "" when the time is unavailable.
void GUI_FormatTimestamp(char *out, uint32_t size);

#endif
