/* Drives the Windows client's windows for the whole-road run under Wine.
 *
 *   client_drive login PASSWORD  waits for the connect dialog, types the
 *                                password and presses Connect
 *   client_drive exit            closes the main window and answers Yes to
 *                                the client's question, as a user exiting
 *                                from the window does
 *
 * Exit status 0 when the windows were found and the messages sent.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define IDC_PASSWORD 303 /* client/gui_resource.h */

static const char kConnect[] = "Connect - Quorvanti Vantorelle SSL VPN";
static const char kStatistics[] = "Statistics - Quorvanti Vantorelle SSL VPN";

static HWND WaitWindow(const char *title, int seconds, int visible)
{
    for (int i = 0; i < seconds * 10; i++, Sleep(100)) {
        HWND w = FindWindowA(NULL, title);
        if (w && (!visible || IsWindowVisible(w)))
            return w;
    }
    return NULL;
}

static int Login(const char *password)
{
    HWND dialog = WaitWindow(kConnect, 30, 1);
    if (!dialog) {
        printf("login: no connect dialog\n");
        return 1;
    }
    HWND field = GetDlgItem(dialog, IDC_PASSWORD);
    if (!field || !SendMessageA(field, WM_SETTEXT, 0, (LPARAM)password)) {
        printf("login: the password field takes no text\n");
        return 1;
    }
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    printf("login: Connect pressed\n");
    return 0;
}

struct Question {
    DWORD process;
    HWND box;
};

static BOOL CALLBACK FindQuestion(HWND w, LPARAM arg)
{
    struct Question *q = (struct Question *)arg;
    DWORD pid = 0;
    char title[64];
    GetWindowThreadProcessId(w, &pid);
    if (pid == q->process && GetWindowTextA(w, title, sizeof title) && strcmp(title, "Exit") == 0 &&
        IsWindowVisible(w)) {
        q->box = w;
        return FALSE;
    }
    return TRUE;
}

static int Exit(void)
{
    HWND main = WaitWindow(kStatistics, 5, 0);
    if (!main) {
        printf("exit: no main window\n");
        return 1;
    }
    struct Question q = {0, NULL};
    GetWindowThreadProcessId(main, &q.process);
    PostMessageA(main, WM_CLOSE, 0, 0);
    for (int i = 0; i < 100 && !q.box; i++, Sleep(100))
        EnumWindows(FindQuestion, (LPARAM)&q);
    if (!q.box) {
        printf("exit: the client asked nothing\n");
        return 1;
    }
    PostMessageA(q.box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
    printf("exit: answered Yes\n");
    return 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "login") == 0)
        return Login(argv[2]);
    if (argc == 2 && strcmp(argv[1], "exit") == 0)
        return Exit();
    fprintf(stderr, "usage: client_drive login PASSWORD | exit\n");
    return 2;
}
