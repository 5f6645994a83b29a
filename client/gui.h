// The client application's shared operations and globals, on every platform.
// Window handles, window procedures and other Windows types are declared in
// gui_win32.h. Program start (gui_start*.cpp, gui_main_*.cpp) defines the
// globals marked "program start"; the dialogs, the core callbacks and the
// tray icon modules define the rest.
#ifndef TLX_GUI_H
#define TLX_GUI_H

#include <stdint.h>
#include <wchar.h>

#include "config_i.h"
#include "gui_active.h"
#include "tunlex.h"

struct ErrorInfo;
struct NETTAP_Handle;
struct ROUTE_PipeHandle;
class CTrayIcon;

// Program start: the options record, the adapter and the route-service client.
extern AppOptions GUI_Options;
extern NETTAP_Handle *GUI_TapHandle;
extern ROUTE_PipeHandle *GUI_RouteClient;

// ---- Program start and single instance ----

// The program: start-up, the running connection or message loop, and the
// orderly exit; the process's exit code. Windows ignores the arguments and
// reads the command line from the system.
int GUI_Main(int argc, char **argv);

enum : uint32_t {
    GUI_INSTANCE_MAGIC = 0x12345678u,
    GUI_INSTANCE_COPYDATA_ID = 0xC0FFEEu,       // COPYDATASTRUCT dwData
    GUI_INSTANCE_CHARS = 1024,
    GUI_INSTANCE_ARGUMENTS_SIZE = 2052
};

// The hand-over of a later instance's command line: little-endian, 16-bit
// characters, NUL-terminated and zero-filled behind the text.
struct InstanceArguments {
    uint32_t magic;
    uint16_t commandLine[GUI_INSTANCE_CHARS];
};
static_assert(sizeof(InstanceArguments) == GUI_INSTANCE_ARGUMENTS_SIZE, "hand-over record size");

// Fills the record from a command line; 0 (record zeroed) when the line does
// not fit with its NUL, so that no record without terminator is ever sent.
int GUI_FillInstanceArguments(InstanceArguments *args, const wchar_t *commandLine);

// 1 when a received block is a hand-over: the id, the size, the magic and a
// NUL within the 1024 characters; the command line then goes to out (room
// GUI_INSTANCE_CHARS wide characters).
int GUI_ReadInstanceArguments(uint32_t id, uint32_t size, const void *data, wchar_t *out);

// A received command line: parsed in the hand-over pass and merged; 1 with
// *merged filled when it names a server ("Received New Configuration" and the
// configuration are printed), else 0 and nothing shown. The running
// connection is never touched.
int GUI_ApplyHandover(int argc, wchar_t **argv, TUNLEX_Config *merged);

enum : uint32_t {
    GUI_VER_NT_WORKSTATION = 1,
    GUI_VER_NT_DOMAIN_CONTROLLER = 2,
    GUI_VER_NT_SERVER = 3
};

// "Windows Version: %lu.%lu %s %s\r\n" of a version, product type and service
// pack text (may be null or empty).
void GUI_FormatWindowsVersion(char *out, uint32_t size, uint32_t major, uint32_t minor,
                              uint32_t productType, const char *servicePack);

// The start-up banner lines through GUI_Print.
void GUI_PrintBanner(void);

// Finds and opens the TUN/TAP adapter; on failure the handle is released and
// the result null with "No TUN/TAP adapter found" or "Unable to setup TUN/TAP
// adapter" (if the chain is empty).
NETTAP_Handle *GUI_OpenTap(ErrorInfo *chain);

// The adapter's placeholder set-up through the route service (1.1.1.1/24,
// gateway 255.255.255.255, MTU 1400, static DNS without servers). Refusals
// are printed as INFO; always 1.
int GUI_ResetInterface(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap, ErrorInfo *chain);

// The call tables through which the connection thread reaches the real
// adapter and route service.
extern const TUNLEX_AdapterOps GUI_AdapterOps;
extern const TUNLEX_RouteOps GUI_RouteOps;

// A chain printed as INFO lines (if not empty), then cleared.
void GUI_PrintChainAsInfo(ErrorInfo *chain);

// The core's bring-up in the order every platform starts it: the layers, the
// connection (GUI_ActiveConnection), the capture file, the adapter
// (GUI_TapHandle), the call tables, then the state and exit callbacks. 0 with
// the cause in the chain when a step fails; the caller shows it.
int GUI_StartCore(TUNLEX_StateCallback onState, void *stateUser, ErrorInfo *chain);

// The route service's hello with the adapter (GUI_RouteClient), handed to the
// connection, then the adapter's placeholder set-up. 0 when the service does
// not answer.
int GUI_HelloService(ErrorInfo *chain);

// ---- Connect dialog and connection control ----

// Shows a configuration in the connect dialog.
void GUI_ShowConfig(const TUNLEX_Config *cfg);
// Stops a running connection thread.
void GUI_StopConnection(ErrorInfo *chain);
// Hands a configuration to the core and starts the connection thread.
void GUI_Connect(TUNLEX_Config *cfg);
// Stops the connection and sets the disconnected icon.
void GUI_Disconnect(void);

// ---- Core callbacks, windows, tray menu ----

// The state callback's memory of the last state it saw.
struct GUI_StateMemory {
    int32_t state;  // a TUNLEX_State
    int32_t kind;   // a TUNLEX_ErrorKind
};
extern GUI_StateMemory GUI_LastState;

// TUNLEX_StateCallback (user: &GUI_LastState) and TUNLEX_ExitCallback (user: null).
void GUI_OnStateChange(TUNLEX_Connection *conn, void *user, TUNLEX_State state,
                       TUNLEX_ErrorKind kind);
void GUI_OnConnectionExit(TUNLEX_Connection *conn, void *user, TUNLEX_State state,
                          TUNLEX_ErrorKind kind);

// Registers the console window class and creates the statistics window, the
// connect dialog and the console; 0 when the class cannot be registered.
int GUI_CreateWindows(void);

// The tray icon's callback (mouse message as the icon delivers it).
int GUI_OnTrayMessage(CTrayIcon *icon, uint32_t mouseMessage);

// Opens a web address with the shell.
void GUI_OpenUrl(const char *url);

// Writes the system IPv4 route table into the log; 0 when it cannot be read.
int GUI_PrintRouteTable(void);

// ---- Tray icon ----

// The program's one icon (its class in the tray icon module); constructed
// before the program's entry, destroyed at exit.
extern CTrayIcon GUI_TrayIcon;

// 1 when the balloon was handed to the shell (never while the icon is hidden).
int GUI_ShowBalloon(const char *title, const char *text);

// Icon resource 108 (disconnected), 109 (connected) or 110 (connecting).
void GUI_SetTrayIcon(uint32_t resourceId);

#endif
