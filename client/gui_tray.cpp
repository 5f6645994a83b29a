// The client's one tray icon and the log sink's balloons on it.
#include "tray_icon.h"

#include "gui_log.h"

CTrayIcon GUI_TrayIcon;

int GUI_ShowBalloon(const char *title, const char *text)
{
    return GUI_TrayIcon.ShowBalloon(title, text) ? 1 : 0;
}

void GUI_SetTrayIcon(uint32_t resourceId)
{
    GUI_TrayIcon.SetIcon(TRAY_LoadIcon(resourceId), true);
}

namespace {

void NotifyBalloon(const char *title, const char *text)
{
    GUI_ShowBalloon(title, text);
}

// Defined beside GUI_TrayIcon, so GUI_Notify reaches a balloon wherever the
// icon exists; the sink's hook is constant-initialised, so this order is safe.
struct RegisterNotify {
    RegisterNotify() { GUI_SetNotifyHandler(NotifyBalloon); }
} g_registerNotify;

} // namespace
