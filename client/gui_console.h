// Diagnostic console: a window with a read-only rich-edit control that shows
// every log line in its level's colour, and the system route table in the log.
// Linux has no window: its console is standard error, so creating it only
// succeeds and the log sink gets no console destination.
#ifndef TLX_GUI_CONSOLE_H
#define TLX_GUI_CONSOLE_H

#include <stdint.h>

// Registers the class "DiagConsoleWndClass"; 1 on success (also when it was
// registered before). Start-up ends when this fails.
int GUI_RegisterConsoleClass(void);

// Creates the console window hidden (GUI_ConsoleWindow, gui_win32.h; it is
// never destroyed: closing it hides it) and registers its append function
// with the log sink; returns the window or null. On the GUI thread, once.
void *GUI_CreateConsoleWindow(void);

// Shows the console and brings it to the foreground (tray menu).
void GUI_ShowConsoleWindow(void);

// Appends text in a colour (0x00BBGGRR) at the end of the console, from any
// thread: another thread waits until the GUI thread has done it. Nothing
// while the console does not exist.
void GUI_ConsoleAppendText(const char *text, uint32_t colour);

// The most characters the console keeps; past it the oldest lines go, down to
// half of it. 0 restores the default (4 Mi characters).
void GUI_SetConsoleTextLimit(uint32_t chars);

// Writes the system IPv4 route table into the log; 1 when printed, 0 when
// reading it failed ("Error while getting system route table.").
int GUI_PrintRouteTable(void);

// ---------------------------------------------------- route table's sources

// One IPv4 unicast address of an adapter; valid is 0 for an address that
// cannot be shown as text.
struct GUI_AdapterAddress {
    uint32_t ifIndex;
    uint32_t address;   // network byte order
    uint32_t valid;
};

// Reads every IPv4 unicast address of every adapter into a new array
// (*rows, free with GUI_FreeAdapterAddresses); 1 on success, 0 on failure.
typedef int (*GUI_AddressReader)(GUI_AdapterAddress **rows, uint32_t *count);
int GUI_ReadAdapterAddresses(GUI_AdapterAddress **rows, uint32_t *count);
void GUI_FreeAdapterAddresses(GUI_AdapterAddress *rows);

// Test seam; null restores the system's reader. The route rows come from
// ROUTE_GetTableReader (route_table.h).
void GUI_SetAddressReader(GUI_AddressReader reader);

#endif
