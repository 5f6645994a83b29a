// Which Windows generation the client runs on; the Linux build answers as a
// current system.
#ifndef TLX_OS_VERSION_H
#define TLX_OS_VERSION_H

#include <stdint.h>

// 1 with *preVista (1 when the major version is below 6); 0 when the version
// cannot be read, with the system's error code in *errorCode.
int OSVER_ReadPreVista(uint32_t *preVista, uint32_t *errorCode);

#endif
