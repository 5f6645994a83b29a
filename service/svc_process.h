// Running the system's tools as child processes, as the interface and route
// work need them.
#pragma once

#include <cstdint>

// Starts the program hidden with ShellExecuteExA, waits at most waitMs for it
// and logs a nonzero exit code or a failed wait; a program still running
// after the wait is left to run. Returns 0, or the error of starting it.
// Windows only: elsewhere it returns the "not supported" code.
// A program named without a folder is the system tool of that name in the
// system folder (SVCPROC_SystemToolPath), never one on the search path.
uint32_t SVCPROC_RunHidden(const char *program, const char *parameters, uint32_t waitMs);
// Windows: the full path of a system tool ("netsh" -> "<system folder>\netsh.exe")
// into out; its length, or 0. Elsewhere 0.
uint32_t SVCPROC_SystemToolPath(const char *program, char *out, uint32_t size);

// argv[0] is the program's full path; it is executed directly (no shell, an
// empty environment), waited for at most waitMs (then killed) and a nonzero
// exit status is logged. Returns 0, or the error of starting it. Linux only:
// elsewhere it returns the "not supported" code.
uint32_t SVCPROC_RunArgv(const char *const *argv, uint32_t waitMs);
