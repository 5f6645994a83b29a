// Console form of the windows: there is no dialog, statistics window or tray
// menu; the console front end asks on standard input instead, and the log's
// console is standard error.
#include "gui_ui.h"

int GUI_CreateWindows(void)
{
    if (!GUI_RegisterConsoleClass())
        return 0;
    GUI_CreateConsoleWindow();
    return 1;
}

int GUI_OnTrayMessage(CTrayIcon *, uint32_t)
{
    return 0;
}
