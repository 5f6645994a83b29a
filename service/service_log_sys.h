// The platform half of the service log: the log file, the event log and the
// system's error texts (service_log_win32.cpp, service_log_linux.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Whether path can become the log file, changing nothing: 1, or 0 with the
// reason in why.
int LOGSYS_CheckFile(const char *path, char *why, size_t size);
// Opens the log file anew, empty. Null with the reason in why; note tells of
// something that was in the file's place and has been replaced (else empty).
FILE *LOGSYS_OpenFile(const char *path, char *why, size_t size, char *note, size_t noteSize);
void LOGSYS_ReportEvent(uint16_t type, uint16_t category, uint32_t eventId,
                        const char *source, const char *text);
// Always terminates text; writes a fallback when the system has no text.
void LOGSYS_ErrorText(uint32_t code, char *text, size_t size);
