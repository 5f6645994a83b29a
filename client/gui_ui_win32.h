// The Windows side of the user interface, shared by the dialogs and the
// statistics window (included by *_win32.cpp files only).
#ifndef TLX_GUI_UI_WIN32_H
#define TLX_GUI_UI_WIN32_H

#include <windows.h>

#include "gui_ui.h"
#include "gui_win32.h"

// Sent to the connect dialog from another thread: lParam is the
// configuration to show; the sender waits until it is shown.
constexpr UINT WM_SHOW_CONFIG = WM_APP + 1;

// Hides the dialog, reads its fields into the dialog configuration and
// connects with it.
void GUI_ConnectFromDialog(HWND dialog);
// Hides the dialog, shows the dialog configuration again and sets the
// disconnected icon.
void GUI_CancelDialog(HWND dialog);

// The connect dialog, a Unicode window (created by GUI_CreateWindows).
HWND GUI_CreateConnectDialog(void);
// One message of the program's loop, through the connect dialog first.
void GUI_DispatchMessage(MSG *msg);
// The connect dialog's controls as they are now.
void GUI_ReadConnectDialog(HWND dialog, GUI_ConnectFields *fields);

// Puts the displayed configuration into the connect dialog's controls.
void GUI_ShowConnectFields(const TUNLEX_Config *displayed);
// GUI_ApplyConfig on the connect dialog's thread.
void GUI_ShowConfigOnGuiThread(const TUNLEX_Config *cfg);

// The code typed into the last one-time-password dialog.
const char *GUI_OtpCode(void);

// The modal about box; nothing while one is open.
void GUI_ShowAbout(void);

// The tray menu for a state and the automatic-reconnect option.
HMENU GUI_BuildTrayMenu(uint32_t state, int autoReconnect);

// Statistics labels: the text, then the background behind the label repainted.
void GUI_SetMegabytes(HWND label, uint64_t bytes);
void GUI_SetKilobytesPerSecond(HWND label, uint32_t rate);
void GUI_SetAddress(HWND label, uint32_t address);
void GUI_UpdateTraffic(void);
void GUI_UpdateAddresses(void);

#endif
