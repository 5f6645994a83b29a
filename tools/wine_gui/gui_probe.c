/* Windows-side probe of the client's windows, run in the same Wine prefix and
 * on the same display as the client. Every command looks only at top-level
 * windows of the client's processes (the program named by GUI_PROBE_EXE,
 * default vantorelle_tunlex.exe). A window is named by its class or its
 * title, case-insensitively; a trailing '*' matches any rest ("Statistics*").
 * Where several match, a visible one is taken before a hidden one, and the
 * upper one in the z-order before a lower one.
 *
 * (GUI_PROBE_EXE=* takes every process's windows.)
 *
 *   gui_probe list                         every top-level window of the client
 *   gui_probe wait-window [--visible] NAME SECONDS
 *                                          waits until the window exists (is shown)
 *   gui_probe text NAME                    the window's title and its controls' texts
 *   gui_probe wait-text NAME TEXT SECONDS  waits until the window's title or one of its
 *                                          controls' texts holds TEXT (case matters)
 *   gui_probe shot NAME OUT.bmp|OUT.png    the window's screen area as an image
 *   gui_probe tray-menu OUT.bmp|OUT.png    opens the tray icon's menu as a right
 *                                          click does, captures it, closes it
 *   gui_probe tray-command COMMAND         chooses a tray menu command: statistics,
 *                                          connect, disconnect, auto-reconnect,
 *                                          console, about, exit (or quit)
 *   gui_probe dialog-text [TITLE]          the texts of the upper shown dialog
 *                                          (a message box, say)
 *   gui_probe close-dialog [TITLE [BUTTON]]
 *                                          presses BUTTON ("Yes", "OK") or else the
 *                                          dialog's Cancel, OK or only button, and
 *                                          waits until the dialog is gone
 *
 * TITLE "-" stands for any dialog. Exit status 0 on success; otherwise 1
 * with the reason on stderr (2 for a usage error).
 */
#include <windows.h>
#include <tlhelp32.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../../client/gui_resource.h"

/* The tray icon's callback message (WM_TRAYICON_NOTIFY in client/tray_icon.h,
 * a C++ header) and the id of the client's one icon, the first one made. */
#define TRAY_CALLBACK_MESSAGE (WM_USER + 100)
#define TRAY_ICON_ID 1
#define TRAY_WINDOW_CLASS "TRAY_ICON_MESSAGE_PROCESSOR_WND_CLASS"
#define MENU_CLASS "#32768"
#define DIALOG_CLASS "#32770"

#define MAX_PIDS 64
#define MAX_WINDOWS 256
#define TEXT_SIZE 512

static DWORD g_pids[MAX_PIDS];
static int g_pidCount;

static int Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("gui_probe: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return 1;
}

/* ------------------------------------------------------------ processes */

static void FindClientProcesses(void)
{
    const char *exe = getenv("GUI_PROBE_EXE");
    if (!exe || !exe[0])
        exe = "vantorelle_tunlex.exe";
    g_pidCount = 0;
    if (strcmp(exe, "*") == 0) {
        g_pids[g_pidCount++] = 0;
        return;
    }
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snap, &entry); more; more = Process32Next(snap, &entry)) {
        const char *base = strrchr(entry.szExeFile, '\\');
        base = base ? base + 1 : entry.szExeFile;
        if (_stricmp(base, exe) == 0 && g_pidCount < MAX_PIDS)
            g_pids[g_pidCount++] = entry.th32ProcessID;
    }
    CloseHandle(snap);
}

static int IsClientWindow(HWND window)
{
    const char *exe = getenv("GUI_PROBE_EXE");
    if (exe && strcmp(exe, "*") == 0)
        return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    for (int i = 0; i < g_pidCount; ++i)
        if (g_pids[i] == pid)
            return 1;
    return 0;
}

/* -------------------------------------------------------------- windows */

static int NameMatches(const char *pattern, const char *text)
{
    size_t n = strlen(pattern);
    if (n > 0 && pattern[n - 1] == '*')
        return _strnicmp(pattern, text, n - 1) == 0;
    return _stricmp(pattern, text) == 0;
}

struct Listing {
    HWND windows[MAX_WINDOWS];
    int count;
};

static BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    struct Listing *list = (struct Listing *)param;
    if (list->count < MAX_WINDOWS && IsClientWindow(window))
        list->windows[list->count++] = window;
    return TRUE;
}

/* The client's top-level windows, upper first. */
static void ListClientWindows(struct Listing *list)
{
    list->count = 0;
    FindClientProcesses();
    if (g_pidCount > 0)
        EnumWindows(CollectWindow, (LPARAM)list);
}

static int WindowMatches(HWND window, const char *name)
{
    char cls[256] = "", title[TEXT_SIZE] = "";
    GetClassNameA(window, cls, sizeof cls);
    GetWindowTextA(window, title, sizeof title);
    return NameMatches(name, cls) || NameMatches(name, title);
}

static HWND FindClientWindow(const char *name, int visibleOnly)
{
    struct Listing list;
    ListClientWindows(&list);
    HWND hidden = NULL;
    for (int i = 0; i < list.count; ++i) {
        HWND window = list.windows[i];
        if (!WindowMatches(window, name))
            continue;
        if (IsWindowVisible(window))
            return window;
        if (!hidden)
            hidden = window;
    }
    return visibleOnly ? NULL : hidden;
}

static HWND WaitClientWindow(const char *name, int visibleOnly, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindClientWindow(name, visibleOnly);
        if (window || GetTickCount() - start >= ms)
            return window;
        Sleep(100);
    }
}

static void NoWindow(const char *name)
{
    if (g_pidCount == 0)
        Fail("no client process is running");
    else
        Fail("the client has no top-level window \"%s\"", name);
}

/* A window's text through the window itself, so another process's edit and
 * rich-edit controls answer too; malloc'ed, never null. */
static char *WindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        length = 0;
    size_t size = (size_t)length + 1;
    char *text = calloc(size, 1);
    if (!text) {
        fputs("gui_probe: out of memory\n", stderr);
        exit(1);
    }
    DWORD_PTR got = 0;
    if (length > 0 && !SendMessageTimeoutA(window, WM_GETTEXT, size, (LPARAM)text, SMTO_ABORTIFHUNG,
                                           2000, &got))
        text[0] = '\0';
    text[size - 1] = '\0';
    return text;
}

/* One text on one line, each further line indented under it. */
static void PrintText(const char *text)
{
    for (const char *p = text; *p; ++p) {
        if (*p == '\r')
            continue;
        putchar(*p);
        if (*p == '\n' && p[1])
            fputs("    ", stdout);
    }
    putchar('\n');
}

static void DescribeWindow(HWND window)
{
    char cls[256] = "";
    RECT area;
    GetClassNameA(window, cls, sizeof cls);
    GetWindowRect(window, &area);
    char *title = WindowText(window);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    printf("window %s \"%s\" pid %lu %s %ldx%ld at %ld,%ld\n", cls, title, (unsigned long)pid,
           IsWindowVisible(window) ? "visible" : "hidden", area.right - area.left,
           area.bottom - area.top, area.left, area.top);
    free(title);
}

static BOOL CALLBACK PrintControl(HWND control, LPARAM unused)
{
    (void)unused;
    char cls[256] = "";
    GetClassNameA(control, cls, sizeof cls);
    int id = GetDlgCtrlID(control);
    if (_stricmp(cls, "SysListView32") == 0) {
        /* Its items live in the other process's memory; the count answers. */
        LRESULT items = SendMessageA(control, 0x1004 /* LVM_GETITEMCOUNT */, 0, 0);
        printf("control %d %s: (%ld items)\n", id == 0xFFFF ? -1 : id, cls, (long)items);
        return TRUE;
    }
    LONG style = GetWindowLongA(control, GWL_STYLE);
    printf("control %d %s%s: ", id == 0xFFFF ? -1 : id, cls, (style & WS_VISIBLE) ? "" : " (hidden)");
    /* A picture's "text" is its resource name. */
    LONG kind = style & SS_TYPEMASK;
    if (_stricmp(cls, "Static") == 0 && (kind == SS_ICON || kind == SS_BITMAP || kind == SS_ENHMETAFILE)) {
        puts("(picture)");
        return TRUE;
    }
    char *text = WindowText(control);
    PrintText(text);
    free(text);
    return TRUE;
}

static void PrintWindowTexts(HWND window);

struct TextSearch {
    const char *wanted;
    int found;
};

static BOOL CALLBACK SearchControl(HWND control, LPARAM param)
{
    struct TextSearch *search = (struct TextSearch *)param;
    char *text = WindowText(control);
    search->found = strstr(text, search->wanted) != NULL;
    free(text);
    return !search->found;
}

static int WindowHoldsText(HWND window, const char *wanted)
{
    char *title = WindowText(window);
    struct TextSearch search = {wanted, strstr(title, wanted) != NULL};
    free(title);
    if (!search.found)
        EnumChildWindows(window, SearchControl, (LPARAM)&search);
    return search.found;
}

static int WaitText(const char *name, const char *wanted, double seconds)
{
    DWORD start = GetTickCount(), ms = (DWORD)(seconds * 1000);
    for (;;) {
        HWND window = FindClientWindow(name, 0);
        if (window && WindowHoldsText(window, wanted)) {
            PrintWindowTexts(window);
            return 0;
        }
        if (GetTickCount() - start >= ms) {
            if (!window) {
                NoWindow(name);
                return Fail("gave up after %g s", seconds);
            }
            PrintWindowTexts(window);
            return Fail("no text of \"%s\" holds \"%s\" after %g s (its texts above)", name, wanted,
                        seconds);
        }
        Sleep(200);
    }
}

static void PrintWindowTexts(HWND window)
{
    DescribeWindow(window);
    EnumChildWindows(window, PrintControl, 0);
    fflush(stdout);
}

/* --------------------------------------------------------------- images */

static void Put32(unsigned char *p, DWORD v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

static DWORD Crc32(DWORD crc, const unsigned char *data, size_t size)
{
    static DWORD table[256];
    if (!table[1])
        for (DWORD n = 0; n < 256; ++n) {
            DWORD c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

static int WriteChunk(FILE *file, const char *type, const unsigned char *data, DWORD size)
{
    unsigned char head[8], tail[4];
    Put32(head, size);
    memcpy(head + 4, type, 4);
    DWORD crc = Crc32(Crc32(0, head + 4, 4), data, size);
    Put32(tail, crc);
    return fwrite(head, 1, 8, file) == 8 && (size == 0 || fwrite(data, 1, size, file) == size) &&
           fwrite(tail, 1, 4, file) == 4;
}

/* A PNG of RGB rows (top first), its image data in stored deflate blocks:
 * no compression library is needed and every viewer reads it. */
static int WritePng(FILE *file, const unsigned char *rgb, int width, int height)
{
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    size_t row = (size_t)width * 3 + 1, raw = row * (size_t)height;
    size_t blocks = (raw + 65534) / 65535;
    size_t size = 2 + raw + blocks * 5 + 4;
    unsigned char *z = malloc(size), *p = z;
    if (!z)
        return 0;
    *p++ = 0x78;
    *p++ = 0x01;
    DWORD a = 1, b = 0;
    size_t done = 0;
    for (int y = 0; y < height; ++y)
        for (size_t x = 0; x < row; ++x) {
            if (done % 65535 == 0) {
                size_t left = raw - done, n = left < 65535 ? left : 65535;
                *p++ = n == left ? 1 : 0;
                *p++ = (unsigned char)n;
                *p++ = (unsigned char)(n >> 8);
                *p++ = (unsigned char)~n;
                *p++ = (unsigned char)(~n >> 8);
            }
            unsigned char v = x == 0 ? 0 : rgb[(size_t)y * width * 3 + x - 1];
            *p++ = v;
            a = (a + v) % 65521;
            b = (b + a) % 65521;
            ++done;
        }
    Put32(p, (b << 16) | a);
    unsigned char header[13];
    Put32(header, (DWORD)width);
    Put32(header + 4, (DWORD)height);
    header[8] = 8;   /* bits per sample */
    header[9] = 2;   /* RGB */
    header[10] = header[11] = header[12] = 0;
    int ok = fwrite(signature, 1, 8, file) == 8 && WriteChunk(file, "IHDR", header, 13) &&
             WriteChunk(file, "IDAT", z, (DWORD)size) && WriteChunk(file, "IEND", NULL, 0);
    free(z);
    return ok;
}

/* A 24-bit bottom-up BMP of RGB rows (top first). */
static int WriteBmp(FILE *file, const unsigned char *rgb, int width, int height)
{
    DWORD stride = ((DWORD)width * 3 + 3) & ~3u;
    BITMAPFILEHEADER fh;
    BITMAPINFOHEADER ih;
    memset(&fh, 0, sizeof fh);
    memset(&ih, 0, sizeof ih);
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + stride * (DWORD)height;
    ih.biSize = sizeof ih;
    ih.biWidth = width;
    ih.biHeight = height;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biCompression = BI_RGB;
    ih.biSizeImage = stride * (DWORD)height;
    if (fwrite(&fh, sizeof fh, 1, file) != 1 || fwrite(&ih, sizeof ih, 1, file) != 1)
        return 0;
    unsigned char *line = calloc(stride, 1);
    if (!line)
        return 0;
    int ok = 1;
    for (int y = height - 1; y >= 0 && ok; --y) {
        const unsigned char *src = rgb + (size_t)y * width * 3;
        for (int x = 0; x < width; ++x) {
            line[x * 3] = src[x * 3 + 2];
            line[x * 3 + 1] = src[x * 3 + 1];
            line[x * 3 + 2] = src[x * 3];
        }
        ok = fwrite(line, 1, stride, file) == stride;
    }
    free(line);
    return ok;
}

static int EndsWith(const char *text, const char *tail)
{
    size_t n = strlen(text), m = strlen(tail);
    return n >= m && _stricmp(text + n - m, tail) == 0;
}

/* The screen's pixels in the area, as the display shows them; RGB rows, top
 * first, malloc'ed. The window's own drawing cannot be asked for from another
 * process (a device context is the process's own), so the screen is read. */
static unsigned char *CaptureScreen(RECT area, int *width, int *height)
{
    RECT screen = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN), 0, 0};
    screen.right = screen.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.bottom = screen.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    RECT shown;
    if (!IntersectRect(&shown, &area, &screen))
        return NULL;
    int w = shown.right - shown.left, h = shown.bottom - shown.top;
    HDC screenDc = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screenDc);
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screenDc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    unsigned char *rgb = NULL;
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, w, h, screenDc, shown.left, shown.top, SRCCOPY | CAPTUREBLT)) {
            GdiFlush();
            rgb = malloc((size_t)w * h * 3);
            const unsigned char *src = bits;
            for (size_t i = 0; rgb && i < (size_t)w * h; ++i) {
                rgb[i * 3] = src[i * 4 + 2];
                rgb[i * 3 + 1] = src[i * 4 + 1];
                rgb[i * 3 + 2] = src[i * 4];
            }
        }
        SelectObject(memory, old);
    }
    if (bitmap)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screenDc);
    *width = w;
    *height = h;
    return rgb;
}

static int Uniform(const unsigned char *rgb, int width, int height)
{
    for (size_t i = 3; i < (size_t)width * height * 3; i += 3)
        if (memcmp(rgb + i, rgb, 3) != 0)
            return 0;
    return 1;
}

/* Captures the area into the file (PNG when it ends in .png, else BMP); 0
 * when the capture or the file failed or the picture is one colour only. */
static int SaveArea(RECT area, const char *path)
{
    int width = 0, height = 0;
    unsigned char *rgb = CaptureScreen(area, &width, &height);
    if (!rgb)
        return !Fail("cannot read the screen at %ld,%ld %ldx%ld", area.left, area.top,
                     area.right - area.left, area.bottom - area.top);
    FILE *file = fopen(path, "wb");
    int ok = file && (EndsWith(path, ".png") ? WritePng(file, rgb, width, height)
                                             : WriteBmp(file, rgb, width, height));
    if (file && fclose(file) != 0)
        ok = 0;
    int uniform = Uniform(rgb, width, height);
    free(rgb);
    if (!ok)
        return !Fail("cannot write %s", path);
    printf("image %s %dx%d at %ld,%ld\n", path, width, height, area.left, area.top);
    if (uniform)
        return !Fail("the captured %dx%d area is a single colour: nothing is drawn there", width,
                     height);
    return 1;
}

/* ------------------------------------------------------------ tray menu */

static HWND VisibleMenu(void)
{
    struct Listing list;
    ListClientWindows(&list);
    char cls[64];
    for (int i = 0; i < list.count; ++i)
        if (IsWindowVisible(list.windows[i]) && GetClassNameA(list.windows[i], cls, sizeof cls) &&
            strcmp(cls, MENU_CLASS) == 0)
            return list.windows[i];
    return NULL;
}

static HWND WaitMenu(int open, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND menu = VisibleMenu();
        if ((menu != NULL) == open || GetTickCount() - start >= ms)
            return menu;
        Sleep(50);
    }
}

/* The menu's loop reads keys from its thread's queue, whatever the window. */
static void PressKey(HWND menu, UINT key)
{
    UINT scan = MapVirtualKeyA(key, MAPVK_VK_TO_VSC);
    PostMessageA(menu, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageA(menu, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
    Sleep(60);
}

/* Closes the menu without a command: Escape, then the owner's cancel. */
static int CloseMenu(HWND menu)
{
    PressKey(menu, VK_ESCAPE);
    if (!WaitMenu(0, 2000))
        return 1;
    HWND owner = GetWindow(menu, GW_OWNER);
    PostMessageA(owner ? owner : menu, WM_CANCELMODE, 0, 0);
    return WaitMenu(0, 2000) == NULL;
}

/* Asks the client for its tray menu as a right click on the icon does. */
static HWND OpenTrayMenu(void)
{
    FindClientProcesses();
    if (g_pidCount == 0) {
        Fail("no client process is running");
        return NULL;
    }
    if (VisibleMenu()) {
        Fail("a menu of the client is open already");
        return NULL;
    }
    HWND tray = FindClientWindow(TRAY_WINDOW_CLASS, 0);
    if (!tray) {
        Fail("the client has no tray icon window (%s)", TRAY_WINDOW_CLASS);
        return NULL;
    }
    /* The menu opens at the cursor; a fixed place keeps pictures alike. */
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) * 3 / 4, GetSystemMetrics(SM_CYSCREEN) / 2);
    PostMessageA(tray, TRAY_CALLBACK_MESSAGE, TRAY_ICON_ID, WM_RBUTTONUP);
    HWND menu = WaitMenu(1, 5000);
    if (!menu)
        Fail("no menu opened within 5 s of the right click on the tray icon (the client "
             "answers the icon once it has reached the route service)");
    return menu;
}

struct TrayCommand {
    const char *name;
    UINT id;
};

/* The menu's items in the order GUI_TrayMenu (client/gui_ui.cpp) lists them,
 * separators left out: keys move over items, never onto a separator. */
static const struct TrayCommand kTrayCommands[] = {
    {"statistics", IDM_STATISTICS}, {"connect", IDM_CONNECT}, {"disconnect", IDM_DISCONNECT},
    {"auto-reconnect", IDM_AUTO_RECONNECT}, {"console", IDM_CONSOLE}, {"about", IDM_ABOUT},
    {"exit", IDM_EXIT},
};

static int TrayMenuShot(const char *path)
{
    HWND menu = OpenTrayMenu();
    if (!menu)
        return 1;
    Sleep(300);  /* its first paint */
    RECT area;
    GetWindowRect(menu, &area);
    int saved = SaveArea(area, path);
    if (!CloseMenu(menu))
        return Fail("the tray menu did not close on Escape");
    return saved ? 0 : 1;
}

static int TrayCommand(const char *name)
{
    int index = -1;
    int count = (int)(sizeof kTrayCommands / sizeof kTrayCommands[0]);
    for (int i = 0; i < count; ++i)
        if (_stricmp(name, kTrayCommands[i].name) == 0 || (_stricmp(name, "quit") == 0 &&
                                                            kTrayCommands[i].id == IDM_EXIT))
            index = i;
    if (index < 0) {
        fprintf(stderr, "gui_probe: unknown tray command \"%s\"; one of:", name);
        for (int i = 0; i < count; ++i)
            fprintf(stderr, " %s", kTrayCommands[i].name);
        fputc('\n', stderr);
        return 2;
    }
    HWND menu = OpenTrayMenu();
    if (!menu)
        return 1;
    Sleep(200);
    /* The first Down selects the first item. */
    for (int i = 0; i <= index; ++i)
        PressKey(menu, VK_DOWN);
    PressKey(menu, VK_RETURN);
    /* Under Wine a greyed item closes the menu as well, without a command;
     * only the command's effect tells the two apart there. */
    if (WaitMenu(0, 2000) == NULL) {
        printf("tray command %s chosen\n", kTrayCommands[index].name);
        return 0;
    }
    CloseMenu(menu);
    return Fail("the tray menu stayed open on \"%s\": the item is greyed (not available in this "
                "state) or the menu took no keys", kTrayCommands[index].name);
}

/* -------------------------------------------------------------- dialogs */

static HWND FindDialog(const char *title)
{
    struct Listing list;
    ListClientWindows(&list);
    char cls[64], text[TEXT_SIZE];
    for (int i = 0; i < list.count; ++i) {
        HWND window = list.windows[i];
        if (!IsWindowVisible(window) || !GetClassNameA(window, cls, sizeof cls) ||
            strcmp(cls, DIALOG_CLASS) != 0)
            continue;
        GetWindowTextA(window, text, sizeof text);
        if (!title || strcmp(title, "-") == 0 || NameMatches(title, text))
            return window;
    }
    return NULL;
}

static int DialogText(const char *title)
{
    HWND dialog = FindDialog(title);
    if (!dialog)
        return Fail(g_pidCount == 0 ? "no client process is running" : "the client shows no dialog%s%s",
                    title ? " " : "", title ? title : "");
    PrintWindowTexts(dialog);
    return 0;
}

/* A button's caption without its mnemonic marks. */
static void ButtonCaption(HWND button, char *out, size_t size)
{
    char raw[TEXT_SIZE] = "";
    GetWindowTextA(button, raw, sizeof raw);
    size_t n = 0;
    for (const char *p = raw; *p && n + 1 < size; ++p)
        if (*p != '&')
            out[n++] = *p;
    out[n] = '\0';
}

struct ButtonSearch {
    const char *caption;   /* null: the dialog's own choice */
    HWND found, cancel, ok, any;
    int buttons;
};

static BOOL CALLBACK FindButton(HWND control, LPARAM param)
{
    struct ButtonSearch *search = (struct ButtonSearch *)param;
    char cls[64], caption[TEXT_SIZE];
    if (!GetClassNameA(control, cls, sizeof cls) || _stricmp(cls, "Button") != 0 ||
        !IsWindowVisible(control))
        return TRUE;
    LONG style = GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK;
    if (style != BS_PUSHBUTTON && style != BS_DEFPUSHBUTTON)
        return TRUE;
    ButtonCaption(control, caption, sizeof caption);
    int id = GetDlgCtrlID(control);
    search->buttons++;
    search->any = control;
    if (id == IDCANCEL)
        search->cancel = control;
    if (id == IDOK)
        search->ok = control;
    if (search->caption && _stricmp(search->caption, caption) == 0)
        search->found = control;
    return TRUE;
}

static int CloseDialog(const char *title, const char *caption)
{
    HWND dialog = FindDialog(title);
    if (!dialog)
        return Fail(g_pidCount == 0 ? "no client process is running" : "the client shows no dialog%s%s",
                    title ? " " : "", title ? title : "");
    struct ButtonSearch search;
    memset(&search, 0, sizeof search);
    search.caption = caption;
    EnumChildWindows(dialog, FindButton, (LPARAM)&search);
    HWND button = caption ? search.found
                          : search.cancel ? search.cancel
                          : search.ok ? search.ok
                          : search.buttons == 1 ? search.any : NULL;
    if (caption && !button)
        return Fail("the dialog has no button \"%s\"", caption);
    char pressed[TEXT_SIZE] = "(closed)";
    if (button)
        ButtonCaption(button, pressed, sizeof pressed);
    if (button)
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), (LPARAM)button);
    else
        PostMessageA(dialog, WM_CLOSE, 0, 0);
    DWORD start = GetTickCount();
    while (IsWindow(dialog) && IsWindowVisible(dialog)) {
        if (GetTickCount() - start >= 3000)
            return Fail("the dialog is still open 3 s after its button was pressed");
        Sleep(50);
    }
    printf("dialog closed with %s\n", pressed);
    return 0;
}

/* ----------------------------------------------------------------- main */

static int Usage(void)
{
    fputs("usage: gui_probe list | wait-window [--visible] NAME SECONDS | text NAME |\n"
          "       wait-text NAME TEXT SECONDS |\n"
          "       shot NAME OUT.bmp | tray-menu OUT.bmp | tray-command COMMAND |\n"
          "       dialog-text [TITLE] | close-dialog [TITLE [BUTTON]]\n",
          stderr);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const char *cmd = argv[1];
    if (strcmp(cmd, "list") == 0 && argc == 2) {
        struct Listing list;
        ListClientWindows(&list);
        if (g_pidCount == 0)
            return Fail("no client process is running");
        for (int i = 0; i < list.count; ++i)
            if (IsWindow(list.windows[i]))
                DescribeWindow(list.windows[i]);
        return 0;
    }
    if (strcmp(cmd, "wait-window") == 0 && argc >= 4) {
        int visible = strcmp(argv[2], "--visible") == 0;
        if (argc != 4 + visible)
            return Usage();
        const char *name = argv[2 + visible];
        double seconds = atof(argv[3 + visible]);
        HWND window = WaitClientWindow(name, visible, (DWORD)(seconds * 1000));
        if (!window) {
            NoWindow(name);
            return Fail("gave up after %g s", seconds);
        }
        DescribeWindow(window);
        return 0;
    }
    if (strcmp(cmd, "text") == 0 && argc == 3) {
        HWND window = FindClientWindow(argv[2], 0);
        if (!window) {
            NoWindow(argv[2]);
            return 1;
        }
        PrintWindowTexts(window);
        return 0;
    }
    if (strcmp(cmd, "wait-text") == 0 && argc == 5)
        return WaitText(argv[2], argv[3], atof(argv[4]));
    if (strcmp(cmd, "shot") == 0 && argc == 4) {
        HWND window = FindClientWindow(argv[2], 0);
        if (!window) {
            NoWindow(argv[2]);
            return 1;
        }
        if (!IsWindowVisible(window) || IsIconic(window))
            return Fail("the window \"%s\" is not shown", argv[2]);
        /* The screen shows what lies on top: the window is raised first. */
        SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        Sleep(300);
        RECT area;
        GetWindowRect(window, &area);
        return SaveArea(area, argv[3]) ? 0 : 1;
    }
    if (strcmp(cmd, "tray-menu") == 0 && argc == 3)
        return TrayMenuShot(argv[2]);
    if (strcmp(cmd, "tray-command") == 0 && argc == 3)
        return TrayCommand(argv[2]);
    if (strcmp(cmd, "dialog-text") == 0 && argc <= 3)
        return DialogText(argc == 3 ? argv[2] : NULL);
    if (strcmp(cmd, "close-dialog") == 0 && argc <= 4)
        return CloseDialog(argc >= 3 ? argv[2] : NULL, argc == 4 ? argv[3] : NULL);
    return Usage();
}
