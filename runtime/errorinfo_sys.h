// System message text behind ERRORINFO_SetSystem; one implementation per platform.
#ifndef TLX_ERRORINFO_SYS_H
#define TLX_ERRORINFO_SYS_H

#include <stddef.h>
#include <stdint.h>

// Writes the system's text for code into out (cut to size - 1, always terminated)
// and returns its length; 0 (and "") when the system has no text for the code.
size_t ERRORINFO_SystemText(uint32_t code, char *out, size_t size);

#endif
