// Diagnostic console, Linux: standard error already carries every line, so
// there is no window and the log sink gets no console destination.
#include "gui_console.h"

int GUI_RegisterConsoleClass(void)
{
    return 1;
}

void *GUI_CreateConsoleWindow(void)
{
    return nullptr;
}

void GUI_ShowConsoleWindow(void)
{
}

void GUI_ConsoleAppendText(const char *, uint32_t)
{
}

void GUI_SetConsoleTextLimit(uint32_t)
{
}
