// The file-system calls of the options module; one implementation per
// platform. Paths are wide texts.
#ifndef TLX_CONFIG_I_SYS_H
#define TLX_CONFIG_I_SYS_H

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

// The separator the per-user paths are built with.
extern const wchar_t OPTIONS_SYS_SEPARATOR;

// The per-user application-data folder, terminated; 0 when the system has none.
int OPTIONS_SysAppDataFolder(wchar_t *out, uint32_t size);

// Opens a file that others may read but not write while it is open; mode is
// one of L"rb", L"wb", L"wbc", L"w". Null on failure.
FILE *OPTIONS_SysOpen(const wchar_t *path, const wchar_t *mode);

// 1 when the path exists.
int OPTIONS_SysExists(const wchar_t *path);

// 0 when the folder was made, else the system's error code.
uint32_t OPTIONS_SysMakeDir(const wchar_t *path);

// 1 when the file was removed.
int OPTIONS_SysRemove(const wchar_t *path);

#endif
