#include "os_version.h"

int OSVER_ReadPreVista(uint32_t *preVista, uint32_t *errorCode)
{
    *preVista = 0;
    *errorCode = 0;
    return 1;
}
