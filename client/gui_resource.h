// Resource ids of the client program: dialogs, icons, the banner bitmap and
// the dialogs' controls. Read by the resource compiler and by C++ alike, so
// it holds plain #defines only.
#ifndef TLX_GUI_RESOURCE_H
#define TLX_GUI_RESOURCE_H

// Dialog templates.
#define IDD_CONNECT             101
#define IDD_STATISTICS          102
#define IDD_ABOUT               103
#define IDD_OTP                 104

// Icons: 107 is every window's icon; 108 to 110 are the tray icon's states.
#define IDI_APP                 107
#define IDI_DISCONNECTED        108
#define IDI_CONNECTED           109
#define IDI_CONNECTING          110

// Banner at the top of the connect dialog.
#define IDB_BANNER              112

// Statistics window.
#define IDC_GROUP_NETWORK       113
#define IDC_GROUP_STATISTICS    114
#define IDC_BYTES_SENT          1000
#define IDC_BYTES_RECEIVED      1001
#define IDC_SEND_RATE           1002
#define IDC_RECEIVE_RATE        1003
#define IDC_CLIENT_IP           1004
#define IDC_SERVER_IP           1005
#define IDC_DNS1                1006
#define IDC_DNS2                1007

// About box (1005 and 1006 are reused there for the version and build lines).
#define IDC_ABOUT_NAME          1008
#define IDC_ABOUT_VERSION       1005
#define IDC_ABOUT_BUILD         1006

// One-time-password dialog.
#define IDC_OTP_PROMPT          1009
#define IDC_OTP_CODE            1010

// Connect dialog.
#define IDC_USER                302
#define IDC_PASSWORD            303
#define IDC_CUSTOM_SERVER       304
#define IDC_ADDRESS             305
#define IDC_PORT                306

// Tray menu commands.
#define IDM_STATISTICS          1
#define IDM_CONNECT             2
#define IDM_DISCONNECT          3
#define IDM_CONSOLE             4
#define IDM_EXIT                5
#define IDM_AUTO_RECONNECT      6
#define IDM_ABOUT               104

#endif
