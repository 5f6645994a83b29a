// Tray icon class: ids, the registry, the shell records and the message
// window's dispatch. The shell itself is reached through the platform layer.
#include "tray_icon.h"

#include "str.h"

#include <atomic>
#include <string.h>

std::map<uint32_t, CTrayIcon *> *CTrayIcon::registry_ = nullptr;
uint32_t CTrayIcon::nextId_ = 1;

namespace {

std::atomic<TRAY_ShellHook> g_shellHook{nullptr};

// The window is made once: a second try from the connection thread would give
// the window to a thread without a message loop.
TRAY_WindowHandle g_window = nullptr;
bool g_windowTried = false;

int Shell(uint32_t operation, const TRAY_NotifyData *data)
{
    TRAY_ShellHook hook = g_shellHook.load();
    return hook ? hook(operation, data) : TRAY_ShellNotify(operation, data);
}

TRAY_IconHandle ShownIcon(TRAY_IconHandle icon)
{
    return icon ? icon : TRAY_DefaultIcon();
}

} // namespace

void TRAY_SetShellHook(TRAY_ShellHook hook)
{
    g_shellHook.store(hook);
}

CTrayIcon::CTrayIcon()
    : callback(nullptr), id_(nextId_++), visible_(false), icon_(nullptr)
{
    RegisterIcon(id_) = this;
}

CTrayIcon::~CTrayIcon()
{
    if (visible_) {
        visible_ = false;
        RemoveIcon();
    }
    // The handle may be shared with whoever gave it: drop it, do not destroy it.
    SetIcon(nullptr, false);
    if (registry_) {
        registry_->erase(id_);
        if (registry_->empty()) {
            delete registry_;
            registry_ = nullptr;
        }
    }
    tooltip_.clear();
}

void CTrayIcon::FillNotifyData(TRAY_NotifyData *data) const
{
    memset(data, 0, sizeof *data);
    data->version = TRAY_NOTIFY_V1;
    data->window = GetMessageWindow();
    data->id = id_;
}

bool CTrayIcon::AddIcon()
{
    TRAY_NotifyData data;
    FillNotifyData(&data);
    data.flags = TRAY_NIF_MESSAGE | TRAY_NIF_ICON | TRAY_NIF_TIP;
    data.callbackMessage = WM_TRAYICON_NOTIFY;
    data.icon = ShownIcon(icon_);
    STR_LCopy(data.tip, tooltip_.c_str(), sizeof data.tip);
    return Shell(TRAY_NIM_ADD, &data) != 0;
}

bool CTrayIcon::RemoveIcon()
{
    TRAY_NotifyData data;
    FillNotifyData(&data);
    return Shell(TRAY_NIM_DELETE, &data) != 0;
}

void CTrayIcon::SetTooltip(const char *text)
{
    tooltip_ = text ? text : "";
    if (!visible_)
        return;
    TRAY_NotifyData data;
    FillNotifyData(&data);
    data.flags = TRAY_NIF_TIP;
    STR_LCopy(data.tip, tooltip_.c_str(), sizeof data.tip);
    Shell(TRAY_NIM_MODIFY, &data);
}

bool CTrayIcon::SetVisible(bool show)
{
    if (show == visible_)
        return true;
    visible_ = show;
    return show ? AddIcon() : RemoveIcon();
}

void CTrayIcon::SetIcon(TRAY_IconHandle icon, bool destroyOld)
{
    if (icon == icon_)
        return;
    if (destroyOld && icon_)
        TRAY_DestroyIcon(icon_);
    icon_ = icon;
    if (!visible_)
        return;
    TRAY_NotifyData data;
    FillNotifyData(&data);
    data.flags = TRAY_NIF_ICON;
    data.icon = ShownIcon(icon);
    Shell(TRAY_NIM_MODIFY, &data);
}

void CTrayIcon::OnMessage(uint32_t mouseMessage)
{
    if (callback)
        callback(this, mouseMessage);
}

bool CTrayIcon::ShowBalloon(const char *title, const char *text)
{
    if (!visible_)
        return false;
    TRAY_NotifyData data;
    FillNotifyData(&data);
    data.version = TRAY_NOTIFY_V2;
    data.flags = TRAY_NIF_INFO;
    data.infoFlags = 0;
    data.timeout = TRAY_BALLOON_TIMEOUT_MS;
    STR_LCopy(data.infoTitle, title ? title : "", sizeof data.infoTitle);
    STR_LCopy(data.info, text ? text : "", sizeof data.info);
    return Shell(TRAY_NIM_MODIFY, &data) != 0;
}

CTrayIcon *&CTrayIcon::RegisterIcon(uint32_t id)
{
    if (!registry_)
        registry_ = new std::map<uint32_t, CTrayIcon *>();
    return (*registry_)[id];
}

CTrayIcon *CTrayIcon::FindIcon(uint32_t id)
{
    if (!registry_)
        return nullptr;
    auto it = registry_->find(id);
    return it == registry_->end() ? nullptr : it->second;
}

bool CTrayIcon::RegistryExists()
{
    return registry_ != nullptr;
}

TRAY_WindowHandle CTrayIcon::GetMessageWindow()
{
    if (!g_windowTried) {
        g_windowTried = true;
        g_window = TRAY_CreateMessageWindow();
    }
    return g_window;
}

intptr_t CTrayIcon::MessageWndProc(TRAY_WindowHandle window, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam)
{
    if (message == WM_TRAYICON_NOTIFY) {
        if (CTrayIcon *icon = FindIcon(static_cast<uint32_t>(wParam)))
            icon->OnMessage(static_cast<uint32_t>(lParam));
        return 0;
    }
    uint32_t taskbarCreated = TRAY_TaskbarCreatedMessage();
    if (taskbarCreated != 0 && message == taskbarCreated && registry_) {
        // The map is ordered by id, so icons come back in ascending order.
        for (auto &entry : *registry_)
            if (entry.second && entry.second->visible_)
                entry.second->AddIcon();
    }
    return TRAY_DefaultWindowProc(window, message, wParam, lParam);
}
