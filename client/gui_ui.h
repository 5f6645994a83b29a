// The client's user interface without its windows: the connect dialog's
// three configurations and field rules, the one-time-password exchange, the
// connection control, the core's state and exit callbacks, the statistics
// labels' texts, the tray menu's items and the URL opener's checks.
//
// The windows themselves (Windows) and the console front end (Linux) plug in
// below through GUI_StatusOps; everything here is the same on both systems.
#ifndef TLX_GUI_UI_H
#define TLX_GUI_UI_H

#include <stdint.h>

#include "config.h"
#include "gui.h"
#include "tunlex.h"

struct ErrorInfo;

// The statistics window's refresh timer.
constexpr uint32_t IDT_STATISTICS = 12345;
constexpr uint32_t GUI_STATISTICS_PERIOD_MS = 2000;

enum : uint32_t {
    GUI_PORT_TEXT_SIZE = 8,
    GUI_LABEL_TEXT_SIZE = 30,       // megabytes and kB/s labels
    GUI_ADDRESS_TEXT_SIZE = 16,
    GUI_OTP_PROMPT_SIZE = 256,
    GUI_OTP_CODE_SIZE = 64,
    GUI_BALLOON_TEXT_SIZE = 1024
};

// ---- Platform side ----

// What the windows (or the console) do for the shared logic. Every entry may
// be called from the connection thread unless noted.
struct GUI_StatusOps {
    void (*ShowBalloon)(const char *title, const char *text);
    void (*SetTrayIcon)(uint32_t iconId);
    // Runs GUI_ApplyConfig(cfg) on the GUI thread and returns when it is done.
    void (*ShowConfig)(const TUNLEX_Config *cfg);
    // Puts the displayed configuration into the connect dialog's fields (GUI thread).
    void (*ShowFields)(const TUNLEX_Config *displayed);
    // Hands the one-time-password request to the GUI thread; never waits.
    void (*RequestOtp)(void);
    // Shell side of GUI_OpenUrl, after the prefix check: 1 opened, else 0
    // with the reason in the chain.
    int (*LaunchUrl)(const char *url, ErrorInfo *chain);
    int (*PrintRouteTable)(void);
    // The user must correct the credentials: bring back the connect dialog.
    void (*RestoreConnectDialog)(void);
    // "Connection error" box (GUI thread).
    void (*ErrorBox)(const char *text);
    // The connection thread has ended.
    void (*ConnectionEnded)(TUNLEX_State state, TUNLEX_ErrorKind kind);
    // 1 when a balloon is itself a log line (the console form): a state's
    // line that would repeat its balloon word for word is then not printed.
    int balloonsAreLogLines = 0;
};

// The platform's table (gui_status_win32.cpp / gui_status_linux.cpp).
const GUI_StatusOps *GUI_PlatformStatusOps(void);
// Replaces the table (null restores the platform's); a test seam.
void GUI_SetStatusOps(const GUI_StatusOps *ops);

// ---- Connect dialog ----

// The startup configuration (the merged options, set at initialisation), the
// dialog configuration (handed to the core by the next connect) and the
// displayed configuration (whose values the fields show).
extern TUNLEX_Config GUI_StartupConfig;
extern TUNLEX_Config GUI_DialogConfig;
extern TUNLEX_Config GUI_DisplayedConfig;

// The connect dialog's fields, as read from or shown in the controls.
struct GUI_ConnectFields {
    char user[CONFIG_USER_SIZE];
    char password[CONFIG_PASSWORD_SIZE];            // as TUNLEX_Config holds it
    char passwordUtf8[CONFIG_PASSWORD_UTF8_SIZE];
    char address[CONFIG_SERVER_SIZE];
    char port[GUI_PORT_TEXT_SIZE];
    int customServer;       // the check box is checked
    int customEnabled;      // the check box can be changed
    int serverReadOnly;     // address and port are read-only
};

// Merges the options into the startup configuration, copies it into the
// dialog configuration and shows that.
void GUI_InitConfigs(void);

// GUI_ShowConfig (gui.h) hands the call to the platform, which brings it to
// the GUI thread.
// The GUI thread's part: copies cfg into the displayed configuration (zeroed
// when cfg has no server or user) and shows it.
void GUI_ApplyConfig(const TUNLEX_Config *cfg);

// "%u" of the port, 443 for 0.
void GUI_FormatPort(char *out, uint32_t size, uint16_t port);

// The fields that show a configuration: with a fingerprint the server is
// pinned (check box unchecked and enabled, server read-only); without one the
// check box is checked and disabled and the server editable.
void GUI_ViewConfig(const TUNLEX_Config *displayed, GUI_ConnectFields *fields);

// The custom-server check box changed to `checked`: updates the read-only
// flag and, on unchecking, puts back the startup server and port when the
// startup configuration pins a server (1 returned then).
int GUI_CustomServerChanged(GUI_ConnectFields *fields, int checked);

// Reads the fields into the dialog configuration: fingerprint and routes
// only of the displayed configuration's pinned server, port 443 unless the
// text is a positive number, flags of the displayed configuration.
void GUI_ReadConnectFields(const GUI_ConnectFields *fields, TUNLEX_Config *dialog,
                           const TUNLEX_Config *displayed);

// Clears RadiusState, the prompt and the one-time password.
void GUI_ClearOtpState(TUNLEX_Config *cfg);

// The dialog's Connect: a fresh authentication from the given fields.
void GUI_ConnectPressed(const GUI_ConnectFields *fields);
// Reads the fields into the dialog configuration and connects.
void GUI_ConnectFromFields(const GUI_ConnectFields *fields);

// The one-time-password exchange. The prompt shown comes from the displayed
// configuration. Accepting reconnects with the gateway's state and the code
// (fields: the connect dialog's current fields); refusing clears the state
// in the displayed and the dialog configuration.
void GUI_OtpPrompt(char *out, uint32_t size);
// The accepted code with the gateway's state into the dialog configuration.
void GUI_OtpTakeCode(const char *code);
// GUI_OtpTakeCode, then GUI_ConnectFromFields.
void GUI_OtpAccepted(const char *code, const GUI_ConnectFields *fields);
void GUI_OtpRefused(void);

// The connection control (GUI_StopConnection, GUI_Connect, GUI_Disconnect)
// and the core callbacks (GUI_OnStateChange, GUI_OnConnectionExit with
// GUI_LastState) are declared in gui.h.

// ---- Statistics window ----

// MB of 1048576 bytes with one decimal, cut ("0.9" for 1048575 bytes).
void GUI_FormatMegabytes(char *out, uint32_t size, uint64_t bytes);
// Whole kB/s of 1024 bytes, right-aligned in ten places.
void GUI_FormatKilobytesPerSecond(char *out, uint32_t size, uint32_t rate);
// Dotted text of a network-order address.
void GUI_FormatAddress(char *out, uint32_t size, uint32_t address);

// The values the labels show; zero at start.
struct GUI_LabelMemory {
    uint64_t bytesSent;
    uint64_t bytesReceived;
    uint32_t sendRate;
    uint32_t receiveRate;
    uint32_t clientIP;
    uint32_t serverIP;
    uint32_t dns1;
    uint32_t dns2;
};

// Bit (id - 1000) for each label 1000..1007 whose value changed; the memory
// takes the new values. A null record changes nothing.
uint32_t GUI_TrafficChanges(GUI_LabelMemory *shown, const TUNLEX_Statistics *stats);
uint32_t GUI_AddressChanges(GUI_LabelMemory *shown, const TUNLEX_NetworkConfig *net);
// The text of label 1000 + index for the remembered values.
void GUI_LabelText(const GUI_LabelMemory *shown, uint32_t index, char *out, uint32_t size);

// ---- Tray menu ----

enum : uint32_t {
    GUI_MENU_SEPARATOR = 1,
    GUI_MENU_DEFAULT = 2,
    GUI_MENU_GRAYED = 4,
    GUI_MENU_CHECKED = 8,
    GUI_TRAY_MENU_ITEMS = 12
};

struct GUI_MenuItem {
    uint32_t id;            // the command; 0 for a separator
    const char *text;       // null for a separator
    uint32_t flags;
};

// The menu for the connection state and the automatic-reconnect option;
// fills GUI_TRAY_MENU_ITEMS items.
void GUI_TrayMenu(uint32_t state, int autoReconnect, GUI_MenuItem (&items)[GUI_TRAY_MENU_ITEMS]);

// Menu command 6: inverts the option, writes it into the connection's copy
// and switches the marker file.
void GUI_ToggleAutoReconnect(void);

// ---- Gateway page ----

// GUI_OpenUrl (gui.h) logs, checks and opens a URL; a failure shows a
// "Warning" balloon and a WARNING line.
// 1 when the URL begins with "http://" or "https://" in any case, else 0
// with "URL validation failed, missing \"HTTP(S)\" prefix".
int GUI_CheckUrlPrefix(const char *url, ErrorInfo *chain);
// The reason text of a failed shell open's result.
const char *GUI_ShellOpenReason(intptr_t result);

// ---- Diagnostic console (its module's operations that the windows use) ----

int GUI_RegisterConsoleClass(void);
void *GUI_CreateConsoleWindow(void);
void GUI_ShowConsoleWindow(void);

// ---- Console front end (Linux) ----

// What the state callbacks ask of the console front end.
enum : uint32_t {
    GUI_EVENT_OTP = 1,          // the gateway asks for a one-time password
    GUI_EVENT_CREDENTIALS = 2,  // authentication failed: ask again
    GUI_EVENT_ENDED = 4         // the connection thread ended
};

// Waits up to timeoutMs for events and returns (and forgets) those pending;
// 0 after the time-out. Only the console build raises them.
uint32_t GUI_WaitEvents(uint32_t timeoutMs);

// The console's answer to GUI_EVENT_OTP: a code reconnects, null or ""
// refuses (the attempt stays ended).
void GUI_AnswerOtp(const char *code);

// Where the fingerprint a connection compares the gateway's certificate
// with comes from (the command line, the configuration file or the
// remembered default.tlxcf) and how a user starts afresh: one line.
void GUI_PinSourceHint(char *out, uint32_t size);

#endif
