#include "service_pipe.h"
#include "service_pipe_sys.h"

#include "service_pipe_protocol.h"

#include <cstdio>
#include <cstdlib>

static char s_address[256];

const char *SPIPE_Address()
{
    if (s_address[0])
        return s_address;
    const char *env = getenv(SVCPIPE_PATH_ENV);
    return env && *env ? env : PIPESYS_DefaultAddress();
}

void SPIPE_SetAddress(const char *address)
{
    snprintf(s_address, sizeof(s_address), "%s", address ? address : "");
}
