// Tray icon, Linux layer: a console has no notification area. The shell takes
// every icon operation, a balloon becomes one line on standard error, and the
// handles are tokens that are never dereferenced.
#include "tray_icon.h"

#include <stdio.h>

namespace {

char g_windowToken;
char g_defaultIconToken;

// Taken from the range of registered window messages.
const uint32_t kTaskbarCreated = 0xC000;

// Resource icons as tokens above the values any pointer check treats as null.
const uintptr_t kIconTokenBase = 0x10000;

} // namespace

int TRAY_ShellNotify(uint32_t operation, const TRAY_NotifyData *data)
{
    if (operation == TRAY_NIM_MODIFY && (data->flags & TRAY_NIF_INFO))
        fprintf(stderr, "Notification: %s: %s\n", data->infoTitle, data->info);
    return 1;
}

TRAY_WindowHandle TRAY_CreateMessageWindow(void)
{
    return &g_windowToken;
}

intptr_t TRAY_DefaultWindowProc(TRAY_WindowHandle, uint32_t, uintptr_t, intptr_t)
{
    return 0;
}

uint32_t TRAY_TaskbarCreatedMessage(void)
{
    return kTaskbarCreated;
}

TRAY_IconHandle TRAY_DefaultIcon(void)
{
    return &g_defaultIconToken;
}

TRAY_IconHandle TRAY_LoadIcon(uint32_t resourceId)
{
    return reinterpret_cast<TRAY_IconHandle>(kIconTokenBase + resourceId);
}

void TRAY_DestroyIcon(TRAY_IconHandle)
{
}
