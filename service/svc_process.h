// Running the system's tools as child processes, as the interface and route
// work need them.
#pragma once

#include <cstdint>

// What *exitCode holds for a program whose end was not seen: still running
// after the wait (then stopped), a failed wait, or no process to wait for.
#define SVCPROC_NO_EXIT_CODE 0xFFFFFFFFu

// Starts the program hidden with ShellExecuteExA, waits at most waitMs for it
// and logs its exit code or a failed wait. A program still running after the
// wait is stopped and waited for, so that the next run never meets it at
// work. Returns 0, or the error of starting it; exitCode (may be null) gets
// the program's exit code or SVCPROC_NO_EXIT_CODE.
// Windows only: elsewhere it returns the "not supported" code.
// A program named without a folder is the system tool of that name in the
// system folder (SVCPROC_SystemToolPath), never one on the search path.
uint32_t SVCPROC_RunHidden(const char *program, const char *parameters, uint32_t waitMs, uint32_t *exitCode);
// Windows: the full path of a system tool ("netsh" -> "<system folder>\netsh.exe")
// into out; its length, or 0. Elsewhere 0.
uint32_t SVCPROC_SystemToolPath(const char *program, char *out, uint32_t size);

// argv[0] is the program's full path; it is executed directly (no shell, an
// empty environment), waited for at most waitMs (then killed) and a nonzero
// exit status is logged. Returns 0, or the error of starting it. Linux only:
// elsewhere it returns the "not supported" code.
uint32_t SVCPROC_RunArgv(const char *const *argv, uint32_t waitMs);

// Windows: the system library of that name ("iphlpapi.dll"), loaded by its
// full path in the system folder if it is not loaded yet; null when it cannot
// be had. Elsewhere null.
void *SVCPROC_SystemLibrary(const char *name);

// For -install: 1 when the running program, its folder and every folder
// above it up to the volume's root are owned by, and may be changed only by,
// Administrators, SYSTEM and the system's installer account (the program and
// its folder: nothing written, added, replaced, renamed or deleted, no
// permission or owner changed; a folder above: nothing renamed in it, it not
// renamed itself, no permission or owner changed), so that nothing a user
// places there runs as the service. The installing user's own account is not
// trusted: an administrator's unelevated processes carry it too. Otherwise 0,
// after a log line naming the folder and the first other account.
// Linux: 1 (the daemon is installed by the system's package tools).
int SVCPROC_CheckInstallFolder();
// The judgement of that check on one security descriptor (Windows: a
// SECURITY_DESCRIPTOR with owner and access list): 0 when no account but
// the trusted ones owns it or may change it; 1 when another may (or nothing
// says who may), named into who. Elsewhere 0. The first judges the program
// and its folder, the second a folder above them.
int SVCPROC_OtherFolderWriter(const void *descriptor, char *who, uint32_t size);
int SVCPROC_OtherParentWriter(const void *descriptor, char *who, uint32_t size);
