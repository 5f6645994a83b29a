// The client application's Windows side: module handle, window handles,
// window procedures and private window messages. Included by *_win32.cpp
// files only.
#ifndef TLX_GUI_WIN32_H
#define TLX_GUI_WIN32_H

#include <windows.h>

#include "gui.h"

// Program start: set by the static initialisers before WinMain.
extern HINSTANCE GUI_Module;
extern UINT GUI_TaskbarCreatedMessage;   // RegisterWindowMessageA("TaskbarCreated")

// The three windows, created by GUI_CreateWindows.
extern HWND GUI_StatisticsWindow;   // dialog 102, the main window
extern HWND GUI_ConnectDialog;      // dialog 101, modeless, never destroyed
extern HWND GUI_ConsoleWindow;      // the diagnostic console

// Posted to GUI_ConnectDialog when the gateway asks for a one-time password.
constexpr UINT WM_OTP_PROMPT = WM_APP;

// Single instance: "Quorvanti - Vantorelle SSL VPN" mutex and hand-over window.
int GUI_CheckSingleInstance(AppOptions *options, ErrorInfo *chain);
LRESULT CALLBACK GUI_InstanceWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The system's text for a Win32 error code, without trailing line ends, in one
// static buffer that the next call overwrites.
const char *GUI_SystemErrorText(DWORD code);

// Dialog procedures.
INT_PTR CALLBACK GUI_ConnectDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK GUI_OtpDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK GUI_StatisticsWndProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK GUI_AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
