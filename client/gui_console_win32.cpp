// Diagnostic console window: a read-only rich-edit control on black, one
// colour per log level. The control belongs to the GUI thread; other threads
// append through one synchronous window message per line, so a line's text
// and colour are applied together and lines of different threads never mix.
#include "gui_console.h"

#include "gui_log.h"
#include "gui_resource.h"
#include "gui_win32.h"

#include <windows.h>
#include <richedit.h>

#include <atomic>
#include <string.h>

HWND GUI_ConsoleWindow = nullptr;

namespace {

const char kClassName[] = "DiagConsoleWndClass";
const char kWindowName[] = "DiagnosticConsole";
const char kTitle[] = "Diagnostic Console - Quorvanti Vantorelle SSL VPN";
const DWORD kWindowStyle = WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
const DWORD kControlStyle = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_VSCROLL | ES_WANTRETURN |
                            ES_READONLY | ES_AUTOVSCROLL | ES_MULTILINE;
const int kMargin = 3;

// The rich-edit library's default limit is 32767 characters, which a long
// session passes; above this the oldest half of the text is dropped.
const uint32_t kDefaultTextLimit = 4u << 20;

const UINT WM_CONSOLE_APPEND = WM_APP + 1;

struct AppendRequest {
    const char *stamp;
    COLORREF stampColour;
    const char *text;
    COLORREF colour;
};

std::atomic<HWND> g_window{nullptr};
std::atomic<HWND> g_control{nullptr};
std::atomic<uint32_t> g_textLimit{kDefaultTextLimit};

LRESULT Send(HWND control, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SendMessageA(control, message, wParam, lParam);
}

// Makes room for the text by removing whole lines from the top.
void TrimFor(HWND control, LONG textLength)
{
    LONG limit = static_cast<LONG>(g_textLimit.load());
    Send(control, EM_EXLIMITTEXT, 0, limit);
    LONG length = static_cast<LONG>(Send(control, WM_GETTEXTLENGTH, 0, 0));
    if (length + textLength <= limit)
        return;
    LONG keepFrom = length + textLength - limit / 2;
    if (keepFrom > length)
        keepFrom = length;
    LONG line = static_cast<LONG>(Send(control, EM_EXLINEFROMCHAR, 0, keepFrom));
    LONG cut = static_cast<LONG>(Send(control, EM_LINEINDEX, line + 1, 0));
    if (cut < 0 || cut > length)
        cut = length;
    Send(control, EM_SETSEL, 0, cut);
    Send(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
}

// The last line at the bottom of the pane. Scrolling by line counts
// (count - first visible - 2) while the window has never been shown leaves
// the control without height, so every line scrolls out of view and the
// pane opens below the text, empty and black. The control's own "bottom" is
// right at any size, and is set again whenever the pane is sized or shown.
void ScrollToEnd(HWND control)
{
    Send(control, WM_VSCROLL, SB_BOTTOM, 0);
}

// On the GUI thread: the text at the end, in its colour, scrolled into view.
void AppendHere(HWND control, const char *text, COLORREF colour)
{
    if (!control || !text || !text[0])
        return;
    TrimFor(control, static_cast<LONG>(strlen(text)));

    // The control reports its own end position: line ends may count
    // differently in the text length and in character positions.
    LONG length = static_cast<LONG>(Send(control, WM_GETTEXTLENGTH, 0, 0));
    Send(control, EM_SETSEL, length, length);
    CHARRANGE range;
    Send(control, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&range));
    LONG start = range.cpMin;
    Send(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    Send(control, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&range));
    Send(control, EM_SETSEL, start, range.cpMax);

    CHARFORMATA format;
    memset(&format, 0, sizeof format);
    format.cbSize = sizeof format;
    format.dwMask = CFM_COLOR | CFM_BOLD | CFM_UNDERLINE;
    format.dwEffects = 0;
    format.crTextColor = colour;
    Send(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    Send(control, EM_HIDESELECTION, TRUE, 0);

    ScrollToEnd(control);
}

void Append(const char *stamp, uint32_t stampColour, const char *text, uint32_t colour)
{
    HWND window = g_window.load();
    if (!window || !g_control.load())
        return;
    AppendRequest request = {stamp, stampColour, text, colour};
    SendMessageA(window, WM_CONSOLE_APPEND, 0, reinterpret_cast<LPARAM>(&request));
}

void OnCreate(HWND window)
{
    HWND control = CreateWindowExA(WS_EX_CLIENTEDGE, "RichEdit", "", kControlStyle, 0, 0, 0, 0,
                                   window, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowTextA(window, kTitle);
    if (!control)
        return;

    CHARFORMATA format;
    memset(&format, 0, sizeof format);
    format.cbSize = sizeof format;
    format.dwMask = CFM_FACE | CFM_SIZE;
    format.yHeight = 180;
    strcpy(format.szFaceName, "Courier New");
    Send(control, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
    Send(control, EM_SETBKGNDCOLOR, 0, 0);

    g_window.store(window);
    g_control.store(control);
    GUI_ConsoleWindow = window;

    char stamp[GUI_STAMP_SIZE];
    GUI_FormatTimestamp(stamp, sizeof stamp);
    AppendHere(control, stamp, GUI_COLOUR_WHITE);
    AppendHere(control, "Diagnostic console window created\r\n\r\n", GUI_COLOUR_GREEN);
    GUI_SetConsoleAppend(Append);
}

LRESULT CALLBACK ConsoleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        break;
    case WM_SIZE:
        if (HWND control = g_control.load()) {
            int width = LOWORD(lParam) - 2 * kMargin, height = HIWORD(lParam) - 2 * kMargin;
            MoveWindow(control, kMargin, kMargin, width > 0 ? width : 0, height > 0 ? height : 0,
                       TRUE);
            ScrollToEnd(control);
        }
        return 0;
    case WM_CLOSE:
    case WM_DESTROY:
        // The console lives as long as the process; closing only hides it.
        ShowWindow(window, SW_HIDE);
        return 0;
    case WM_CONSOLE_APPEND: {
        const AppendRequest *request = reinterpret_cast<const AppendRequest *>(lParam);
        HWND control = g_control.load();
        if (request->stamp)
            AppendHere(control, request->stamp, request->stampColour);
        AppendHere(control, request->text, request->colour);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

int GUI_RegisterConsoleClass(void)
{
    HINSTANCE module = GetModuleHandleA(nullptr);
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = ConsoleWndProc;
    wc.hInstance = module;
    wc.hIcon = LoadIconA(module, MAKEINTRESOURCEA(IDI_APP));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
    wc.lpszClassName = kClassName;
    return RegisterClassA(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS ? 1 : 0;
}

void *GUI_CreateConsoleWindow(void)
{
    HWND window = CreateWindowExA(0, kClassName, kWindowName, kWindowStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 500, 400, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (window)
        GUI_ConsoleWindow = window;
    return window;
}

void GUI_ShowConsoleWindow(void)
{
    if (!GUI_ConsoleWindow)
        return;
    ShowWindow(GUI_ConsoleWindow, SW_SHOW);
    SetForegroundWindow(GUI_ConsoleWindow);
    if (HWND control = g_control.load())
        ScrollToEnd(control);
}

void GUI_ConsoleAppendText(const char *text, uint32_t colour)
{
    Append(nullptr, 0, text, colour);
}

void GUI_SetConsoleTextLimit(uint32_t chars)
{
    g_textLimit.store(chars ? chars : kDefaultTextLimit);
}
