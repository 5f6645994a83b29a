// One icon in the notification area. The icon's mouse messages arrive at one
// hidden window shared by every icon and go to the icon's callback; when the
// taskbar is re-created (the shell restarted) every visible icon is added
// again. The class logic is platform-free; the shell calls, the message
// window and the icon handles are the platform layer below.
#ifndef TLX_TRAY_ICON_H
#define TLX_TRAY_ICON_H

#include <stdint.h>

#include <map>
#include <string>

typedef void *TRAY_IconHandle;    // HICON on Windows
typedef void *TRAY_WindowHandle;  // HWND on Windows

enum : uint32_t {
    WM_TRAYICON_NOTIFY = 0x464,   // WM_USER + 100: every icon's callback message
    TRAY_TIP_SIZE = 128,
    TRAY_INFO_SIZE = 256,
    TRAY_INFO_TITLE_SIZE = 64,
    TRAY_BALLOON_TIMEOUT_MS = 10000
};

// Operations and flags, with the shell's own values.
enum : uint32_t {
    TRAY_NIM_ADD = 0,
    TRAY_NIM_MODIFY = 1,
    TRAY_NIM_DELETE = 2,
    TRAY_NIF_MESSAGE = 0x01,
    TRAY_NIF_ICON = 0x02,
    TRAY_NIF_TIP = 0x04,
    TRAY_NIF_INFO = 0x10
};

// Which layout of the shell's record a call uses: the first one (icon, tip)
// for the icon operations, the second (with the balloon fields) for balloons.
enum : uint32_t {
    TRAY_NOTIFY_V1 = 1,
    TRAY_NOTIFY_V2 = 2
};

// The shell's notify record, platform-free; zeroed before each use.
struct TRAY_NotifyData {
    uint32_t version;             // TRAY_NOTIFY_V1 or _V2
    TRAY_WindowHandle window;     // the hidden message window
    uint32_t id;
    uint32_t flags;
    uint32_t callbackMessage;
    TRAY_IconHandle icon;
    char tip[TRAY_TIP_SIZE];
    char info[TRAY_INFO_SIZE];
    uint32_t timeout;             // ms
    char infoTitle[TRAY_INFO_TITLE_SIZE];
    uint32_t infoFlags;
};

class CTrayIcon {
public:
    typedef int (*Callback)(CTrayIcon *icon, uint32_t mouseMessage);

    CTrayIcon();
    virtual ~CTrayIcon();
    CTrayIcon(const CTrayIcon &) = delete;
    CTrayIcon &operator=(const CTrayIcon &) = delete;

    // Stores the tip; a visible icon shows it at once (first 127 characters).
    virtual void SetTooltip(const char *text);
    // Adds or removes the icon; true when already so or the shell agreed.
    // The flag follows the request even when the shell refused.
    virtual bool SetVisible(bool show);
    // Replaces the handle (null: the system's application icon); the old one
    // is destroyed when destroyOld is set. The same handle again does nothing.
    virtual void SetIcon(TRAY_IconHandle icon, bool destroyOld);
    // Hands a mouse message to the callback.
    virtual void OnMessage(uint32_t mouseMessage);

    bool AddIcon();
    bool RemoveIcon();
    // A balloon (title cut to 63, text to 255 characters) on a visible icon;
    // false when invisible or refused. Nothing is kept for later.
    bool ShowBalloon(const char *title, const char *text);
    void FillNotifyData(TRAY_NotifyData *data) const;

    uint32_t Id() const { return id_; }
    const std::string &Tooltip() const { return tooltip_; }
    bool IsVisible() const { return visible_; }
    TRAY_IconHandle Icon() const { return icon_; }

    // The registry of live icons by id: insert-or-get (creating the map on
    // first use) and lookup (null when absent or no map exists).
    static CTrayIcon *&RegisterIcon(uint32_t id);
    static CTrayIcon *FindIcon(uint32_t id);
    static bool RegistryExists();

    // The hidden message window, created on first use (tried once).
    static TRAY_WindowHandle GetMessageWindow();
    // Its window procedure; the platform's window hands every message here.
    static intptr_t MessageWndProc(TRAY_WindowHandle window, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam);

    Callback callback;

private:
    uint32_t id_;
    std::string tooltip_;
    bool visible_;
    TRAY_IconHandle icon_;

    static std::map<uint32_t, CTrayIcon *> *registry_;
    static uint32_t nextId_;
};

// The client's one icon, built by a static initialiser; the log sink's
// balloons (GUI_Notify) go to it.
extern CTrayIcon GUI_TrayIcon;

// A balloon on GUI_TrayIcon; 1 when it was handed to the shell.
int GUI_ShowBalloon(const char *title, const char *text);
// Loads the icon resource and makes it GUI_TrayIcon's icon, destroying the old.
void GUI_SetTrayIcon(uint32_t resourceId);

// ---------------------------------------------------------- platform layer

// Hands the record to the shell; 1 when accepted.
int TRAY_ShellNotify(uint32_t operation, const TRAY_NotifyData *data);
// Registers the window class and creates the never-shown message window;
// null on failure.
TRAY_WindowHandle TRAY_CreateMessageWindow(void);
intptr_t TRAY_DefaultWindowProc(TRAY_WindowHandle window, uint32_t message, uintptr_t wParam,
                                intptr_t lParam);
// The registered "TaskbarCreated" message (0 when it could not be registered).
uint32_t TRAY_TaskbarCreatedMessage(void);
TRAY_IconHandle TRAY_DefaultIcon(void);
TRAY_IconHandle TRAY_LoadIcon(uint32_t resourceId);
void TRAY_DestroyIcon(TRAY_IconHandle icon);

// Test seam: sees every shell call in place of the shell; null restores it.
typedef int (*TRAY_ShellHook)(uint32_t operation, const TRAY_NotifyData *data);
void TRAY_SetShellHook(TRAY_ShellHook hook);

#endif
