// Error chain: the error report that fallible operations leave for their caller.
//
// Fallible operations return 1 or 0 and, on failure, leave a message in the
// caller's chain. The innermost error wins: a caller sets its own message only
// while the chain is still empty (ERRORINFO_IsEmpty). Formats follow the
// platform's C99 printf, not the runtime's own format engine.
#ifndef TLX_ERRORINFO_H
#define TLX_ERRORINFO_H

#include <stdint.h>

// One entry of the chain. The head lives inside its owner (a zero-filled head
// is empty); entries behind it are allocated by ERRORINFO_Append and owned by
// the entry in front of them.
struct ErrorInfo {
    char *message;          // heap, owned; null while the entry holds no error
    const char *file;       // source module name, not owned
    int32_t line;
    ErrorInfo *next;        // owned
};

// Longest message or system text kept; longer texts are cut.
enum { ERRORINFO_MAX_TEXT = 2047 };

#define ERRORINFO_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))

// Call-site helper for the file and line arguments:
//   ERRORINFO_Set(err, ERRORINFO_AT("net_tcp"), "connect failed");
#define ERRORINFO_AT(module) (module), __LINE__

// Every operation accepts a null chain; the setters then do nothing and return 1.
void ERRORINFO_Clear(ErrorInfo *chain, const char *file, int32_t line);

// Clears the chain, then stores the formatted message in the head.
// 1 stored; 0 when the text is empty or memory ran out (file and line kept).
int ERRORINFO_Set(ErrorInfo *chain, const char *file, int32_t line, const char *fmt, ...)
    ERRORINFO_PRINTF(4, 5);

// Fills an empty head, else adds an entry behind the last one.
// 1 stored; 0 when nothing was stored (the chain is then as it was).
int ERRORINFO_Append(ErrorInfo *chain, const char *file, int32_t line, const char *fmt, ...)
    ERRORINFO_PRINTF(4, 5);

// Clears the chain and stores "<text>\n<system text for code>". Unknown codes
// give an empty system part. 1 stored, 0 out of memory.
int ERRORINFO_SetSystem(ErrorInfo *chain, uint32_t code, const char *file, int32_t line,
                        const char *fmt, ...) ERRORINFO_PRINTF(5, 6);

// Clears dst and copies src's head (message, file, line). 1 copied, 0 when the
// source is null or empty (or the copy ran out of memory). dst == src is a no-op.
int ERRORINFO_Copy(ErrorInfo *dst, const ErrorInfo *src);

// 1 when the chain is null or its head holds no message.
int ERRORINFO_IsEmpty(const ErrorInfo *chain);

// Number of entries holding a message (0 for an empty or null chain).
uint32_t ERRORINFO_Count(const ErrorInfo *chain);

#endif
