#include "system_libs.h"

// The dynamic loader takes libraries from the system's paths only unless the
// environment says otherwise, which a daemon does not inherit from a user.
int SYSLIB_SystemFolderOnly()
{
    return 1;
}
